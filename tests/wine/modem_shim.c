/* LD_PRELOAD shim for running Wine against a pseudo-terminal posing as a COM port.
 *
 * Wine's serial driver reads and sets the modem lines (TIOCMGET, TIOCMBIS, TIOCMBIC, TIOCMSET)
 * while it opens a port and while a WaitCommEvent is pending. A pty has no modem lines, so those
 * ioctls fail with ENOTTY/EINVAL and Wine ends every WaitCommEvent with ERROR_OPERATION_ABORTED.
 * On a pty slave this shim lets them succeed instead, reporting DSR, CTS and DCD up, as a
 * connected meter would. Every other descriptor and request goes to the real ioctl untouched.
 *
 * Debian's 32-bit glibc routes ioctl through __ioctl_time64 when built with 64-bit time_t, so
 * both entry points are wrapped. Built for i386 and amd64, and preloaded through "$LIB" so each
 * Wine process picks the library of its own architecture.
 *
 * Test scaffolding for tests/wine/run-wine-tests.sh; not part of the product.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

int ioctl(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...);

/* UNIX98 pty slaves (/dev/pts/N) use majors 136 to 143. */
static int is_pty_slave(int fd) {
    struct stat info;
    if (fstat(fd, &info) != 0 || !S_ISCHR(info.st_mode)) return 0;
    return major(info.st_rdev) >= 136 && major(info.st_rdev) <= 143;
}

static int is_modem_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET;
}

static int call(ioctl_fn real, int fd, unsigned long request, void* arg) {
    const int result = real(fd, request, arg);
    if (result == 0 || !is_modem_request(request)) return result;
    const int error = errno;
    if (!is_pty_slave(fd)) {
        errno = error;
        return result;
    }
    if (request == TIOCMGET) *(int*)arg = TIOCM_DSR | TIOCM_CTS | TIOCM_CAR;
    return 0;
}

/* Wine calls ioctl from several threads: the lookup result is published atomically. */
static ioctl_fn next(ioctl_fn* cache, const char* name) {
    ioctl_fn real = __atomic_load_n(cache, __ATOMIC_ACQUIRE);
    if (real == NULL) {
        real = (ioctl_fn)dlsym(RTLD_NEXT, name);
        if (real == NULL) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
        __atomic_store_n(cache, real, __ATOMIC_RELEASE);
    }
    return real;
}

int ioctl(int fd, unsigned long request, ...) {
    static ioctl_fn real;
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return call(next(&real, "ioctl"), fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
    static ioctl_fn real;
    va_list args;
    va_start(args, request);
    void* arg = va_arg(args, void*);
    va_end(args);
    return call(next(&real, "__ioctl_time64"), fd, request, arg);
}
