/* Loaded into kro with LD_PRELOAD by the tests of how gen stops its signal watcher: writes to an
 * eventfd, which is how the watcher is told to stop, fail. The first KRO_STOP_INTERRUPTIONS of
 * them fail with EINTR, as if a signal handler had interrupted them; after those, every one fails
 * with the error number KRO_STOP_ERROR when that is set, and goes through otherwise. Every other
 * call is passed on unchanged. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/types.h>
#include <unistd.h>

enum { TRACKED = 1024 };

/* The descriptors that eventfd returned and that are still open, and what the writes to them
 * meet. */
static unsigned char eventfds[TRACKED];
static long interruptions_left;
static int error_after;

static long env_number(const char* name) {
    const char* text = getenv(name);
    return text != NULL ? strtol(text, NULL, 10) : 0;
}

__attribute__((constructor)) static void read_settings(void) {
    interruptions_left = env_number("KRO_STOP_INTERRUPTIONS");
    error_after = (int)env_number("KRO_STOP_ERROR");
}

static int is_eventfd(int fd) {
    return fd >= 0 && fd < TRACKED && __atomic_load_n(&eventfds[fd], __ATOMIC_SEQ_CST);
}

int eventfd(unsigned int initial, int flags) {
    int (*real)(unsigned int, int) = (int (*)(unsigned int, int))dlsym(RTLD_NEXT, "eventfd");
    const int fd = real(initial, flags);
    if (fd >= 0 && fd < TRACKED) __atomic_store_n(&eventfds[fd], 1, __ATOMIC_SEQ_CST);
    return fd;
}

int close(int fd) {
    int (*real)(int) = (int (*)(int))dlsym(RTLD_NEXT, "close");
    if (is_eventfd(fd)) __atomic_store_n(&eventfds[fd], 0, __ATOMIC_SEQ_CST);
    return real(fd);
}

ssize_t write(int fd, const void* buf, size_t count) {
    ssize_t (*real)(int, const void*, size_t) =
        (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (!is_eventfd(fd)) return real(fd, buf, count);
    if (__atomic_fetch_sub(&interruptions_left, 1, __ATOMIC_SEQ_CST) > 0) {
        errno = EINTR;
        return -1;
    }
    if (error_after != 0) {
        errno = error_after;
        return -1;
    }
    return real(fd, buf, count);
}
