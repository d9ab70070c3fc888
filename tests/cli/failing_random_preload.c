/* Loaded into kro with LD_PRELOAD by the tests of a failing random source: every way a process
 * reaches the operating system's randomness fails. getrandom, through the C library's wrapper
 * or the raw system call, reports that it does not exist, and opening /dev/random or
 * /dev/urandom is refused, so that the fallback to the devices fails too. Everything else is
 * passed on unchanged. */

#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <string.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

static int is_random_device(const char* path) {
    return path != NULL && (strcmp(path, "/dev/random") == 0 || strcmp(path, "/dev/urandom") == 0);
}

/* The mode argument exists only when the flags create a file. */
static mode_t mode_of(int flags, va_list args) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return (mode_t)va_arg(args, int);
    return 0;
}

ssize_t getrandom(void* buf, size_t length, unsigned int flags) {
    (void)buf;
    (void)length;
    (void)flags;
    errno = ENOSYS;
    return -1;
}

long syscall(long number, ...) {
    if (number == SYS_getrandom) {
        errno = ENOSYS;
        return -1;
    }
    long (*real)(long, ...) = (long (*)(long, ...))dlsym(RTLD_NEXT, "syscall");
    va_list args;
    va_start(args, number);
    long a[6];
    for (int i = 0; i < 6; ++i) a[i] = va_arg(args, long);
    va_end(args);
    return real(number, a[0], a[1], a[2], a[3], a[4], a[5]);
}

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);

/* True, with errno set, when `path` is a random device and its opening is refused. */
static int refused(const char* path) {
    if (!is_random_device(path)) return 0;
    errno = EACCES;
    return 1;
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return ((open_fn)dlsym(RTLD_NEXT, "open"))(path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return ((open_fn)dlsym(RTLD_NEXT, "open64"))(path, flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return ((openat_fn)dlsym(RTLD_NEXT, "openat"))(dir, path, flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return ((openat_fn)dlsym(RTLD_NEXT, "openat64"))(dir, path, flags, mode);
}

/* The fortified forms that _FORTIFY_SOURCE builds call. */
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}
