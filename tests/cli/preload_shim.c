/* Loaded into kro with LD_PRELOAD by the tests that make system calls fail or watch what kro
 * opens. The environment variable KRO_FAILING_CALLS names, separated by commas, the families
 * that fail (or, for "unknown-type", answer as some file systems do):
 * - "random": every way a process reaches the operating system's randomness. getrandom,
 *   through the C library's wrapper or the raw system call, reports that it does not exist, and
 *   opening /dev/random or /dev/urandom is refused, so that the fallback to the devices fails too.
 * - "cache-advice": posix_fadvise and sync_file_range, as on a file system that takes neither.
 * - "stop": writes to an eventfd, which is how gen tells its signal watcher to stop. The first
 *   KRO_STOP_INTERRUPTIONS of them fail with EINTR, as if a signal handler had interrupted them;
 *   after those, every one fails with the error number KRO_STOP_ERROR when that is set, and goes
 *   through otherwise.
 * - "pread": every positional read from past the start of a file fails with EIO, as on a disk whose
 *   first sector reads and whose later ones do not. The kernel's ring of asynchronous reads cannot
 *   be made (io_uring_queue_init reports that it does not exist), so that every read is a pread.
 * - "fsync": fsync fails with EIO, as when the storage lost a write.
 * - "unknown-type": getdents64 gives every entry the type DT_UNKNOWN, as file systems that keep no
 *   types in their directories do.
 * - "fstatat": fstatat fails with EIO.
 * - "flock": flock fails with the error number KRO_FLOCK_ERROR (ENOLCK when unset), as on a file
 *   system without locks (an NFS mount without its lock service answers ENOLCK).
 * - "large-new": operator new fails for KRO_LARGE_NEW bytes and more (preload_shim_new.cpp).
 * When KRO_OPEN_LOG names a file, every open that succeeds for I/O (anything but O_PATH) adds a
 * record to it: the kind of what was opened ("regular", "directory", "device", "fifo", "socket"),
 * a space and the path as given, ended by a NUL.
 * Everything else is passed on unchanged. */

#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

/* True when KRO_FAILING_CALLS names `family`. */
static int failing(const char* family) {
    const char* list = getenv("KRO_FAILING_CALLS");
    const size_t length = strlen(family);
    while (list != NULL && *list != '\0') {
        const char* end = strchr(list, ',');
        const size_t item = end != NULL ? (size_t)(end - list) : strlen(list);
        if (item == length && strncmp(list, family, length) == 0) return 1;
        list = end != NULL ? end + 1 : NULL;
    }
    return 0;
}

static int is_random_device(const char* path) {
    return path != NULL && (strcmp(path, "/dev/random") == 0 || strcmp(path, "/dev/urandom") == 0);
}

/* The mode argument exists only when the flags create a file. */
static mode_t mode_of(int flags, va_list args) {
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) return (mode_t)va_arg(args, int);
    return 0;
}

typedef ssize_t (*getrandom_fn)(void*, size_t, unsigned int);

ssize_t getrandom(void* buf, size_t length, unsigned int flags) {
    if (!failing("random")) return ((getrandom_fn)dlsym(RTLD_NEXT, "getrandom"))(buf, length, flags);
    errno = ENOSYS;
    return -1;
}

long syscall(long number, ...) {
    if (number == SYS_getrandom && failing("random")) {
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
    if (!is_random_device(path) || !failing("random")) return 0;
    errno = EACCES;
    return 1;
}

static const char* kind_of(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0) return "unknown";
    if (S_ISREG(st.st_mode)) return "regular";
    if (S_ISDIR(st.st_mode)) return "directory";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "device";
    if (S_ISFIFO(st.st_mode)) return "fifo";
    if (S_ISSOCK(st.st_mode)) return "socket";
    return "other";
}

/* Logs an open that succeeded for I/O, and passes its result on. */
static int logged(int fd, const char* path, int flags) {
    const char* log = getenv("KRO_OPEN_LOG");
    if (fd < 0 || log == NULL || (flags & O_PATH) != 0) return fd;
    const int saved = errno;
    const int out = ((open_fn)dlsym(RTLD_NEXT, "open"))(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (out >= 0) {
        char line[8192];
        /* The record ends in a NUL: a path may hold any other byte. */
        const int length = snprintf(line, sizeof line, "%s %s", kind_of(fd), path);
        if (length > 0) (void)!write(out, line, ((size_t)length < sizeof line ? (size_t)length : sizeof line - 1) + 1);
        close(out);
    }
    errno = saved;
    return fd;
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return logged(((open_fn)dlsym(RTLD_NEXT, "open"))(path, flags, mode), path, flags);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return logged(((open_fn)dlsym(RTLD_NEXT, "open64"))(path, flags, mode), path, flags);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return logged(((openat_fn)dlsym(RTLD_NEXT, "openat"))(dir, path, flags, mode), path, flags);
}

int openat64(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_of(flags, args);
    va_end(args);
    if (refused(path)) return -1;
    return logged(((openat_fn)dlsym(RTLD_NEXT, "openat64"))(dir, path, flags, mode), path, flags);
}

/* The fortified forms that _FORTIFY_SOURCE builds call. */
int __open_2(const char* path, int flags) {
    return open(path, flags);
}
int __open64_2(const char* path, int flags) {
    return open64(path, flags);
}

int posix_fadvise(int fd, off_t offset, off_t length, int advice) {
    if (!failing("cache-advice")) {
        typedef int (*fadvise_fn)(int, off_t, off_t, int);
        return ((fadvise_fn)dlsym(RTLD_NEXT, "posix_fadvise"))(fd, offset, length, advice);
    }
    return EIO;
}
int posix_fadvise64(int fd, off_t offset, off_t length, int advice) {
    return posix_fadvise(fd, offset, length, advice);
}

int sync_file_range(int fd, off_t offset, off_t length, unsigned int flags) {
    if (!failing("cache-advice")) {
        typedef int (*sync_fn)(int, off_t, off_t, unsigned int);
        return ((sync_fn)dlsym(RTLD_NEXT, "sync_file_range"))(fd, offset, length, flags);
    }
    errno = EIO;
    return -1;
}

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

__attribute__((constructor)) static void read_stop_settings(void) {
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
    ssize_t (*real)(int, const void*, size_t) = (ssize_t(*)(int, const void*, size_t))dlsym(RTLD_NEXT, "write");
    if (!is_eventfd(fd) || !failing("stop")) return real(fd, buf, count);
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

struct io_uring;

int io_uring_queue_init(unsigned entries, struct io_uring* ring, unsigned flags) {
    if (!failing("pread")) {
        int (*real)(unsigned, struct io_uring*, unsigned) =
            (int (*)(unsigned, struct io_uring*, unsigned))dlsym(RTLD_NEXT, "io_uring_queue_init");
        return real(entries, ring, flags);
    }
    return -ENOSYS;
}

int flock(int fd, int operation) {
    if (!failing("flock")) return ((int (*)(int, int))dlsym(RTLD_NEXT, "flock"))(fd, operation);
    const long code = env_number("KRO_FLOCK_ERROR");
    errno = code != 0 ? (int)code : ENOLCK;
    return -1;
}

/* The same for the part of the library written in C++. */
int kro_shim_failing(const char* family) {
    return failing(family);
}

typedef ssize_t (*pread_fn)(int, void*, size_t, off_t);

ssize_t pread(int fd, void* buf, size_t count, off_t offset) {
    if (offset > 0 && failing("pread")) {
        errno = EIO;
        return -1;
    }
    return ((pread_fn)dlsym(RTLD_NEXT, "pread"))(fd, buf, count, offset);
}
ssize_t pread64(int fd, void* buf, size_t count, off64_t offset) {
    if (offset > 0 && failing("pread")) {
        errno = EIO;
        return -1;
    }
    typedef ssize_t (*pread64_fn)(int, void*, size_t, off64_t);
    return ((pread64_fn)dlsym(RTLD_NEXT, "pread64"))(fd, buf, count, offset);
}

int fsync(int fd) {
    if (!failing("fsync")) return ((int (*)(int))dlsym(RTLD_NEXT, "fsync"))(fd);
    errno = EIO;
    return -1;
}

ssize_t getdents64(int fd, void* buffer, size_t length) {
    typedef ssize_t (*getdents_fn)(int, void*, size_t);
    const ssize_t got = ((getdents_fn)dlsym(RTLD_NEXT, "getdents64"))(fd, buffer, length);
    if (got <= 0 || !failing("unknown-type")) return got;
    for (ssize_t at = 0; at < got;) {
        struct dirent64* record = (struct dirent64*)((char*)buffer + at);
        record->d_type = DT_UNKNOWN;
        at += record->d_reclen;
    }
    return got;
}

typedef int (*fstatat_fn)(int, const char*, struct stat*, int);

int fstatat(int dir, const char* path, struct stat* st, int flags) {
    if (!failing("fstatat")) return ((fstatat_fn)dlsym(RTLD_NEXT, "fstatat"))(dir, path, st, flags);
    errno = EIO;
    return -1;
}
int fstatat64(int dir, const char* path, struct stat64* st, int flags) {
    typedef int (*fstatat64_fn)(int, const char*, struct stat64*, int);
    if (!failing("fstatat")) return ((fstatat64_fn)dlsym(RTLD_NEXT, "fstatat64"))(dir, path, st, flags);
    errno = EIO;
    return -1;
}
