/* LD_PRELOAD library giving pseudo-terminals the modem-control ioctls Wine's serial code needs.
 * Every ioctl passes through; only TIOCMGET/TIOCMBIS/TIOCMBIC/TIOCMSET that a pty slave rejects
 * are emulated: DTR and RTS are remembered per tty, CTS, DSR and CD always read as on. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

/* Pty slaves whose lines are tracked at once; the oldest slot is reused beyond that. */
#define SHIM_MAX_TTYS 16
/* Unix98 pty slaves (/dev/pts/N) use these device majors. */
#define PTY_SLAVE_MAJOR_FIRST 136
#define PTY_SLAVE_MAJOR_LAST 143
#define SHIM_OUTPUT_LINES (TIOCM_DTR | TIOCM_RTS)
#define SHIM_INPUT_LINES (TIOCM_CTS | TIOCM_DSR | TIOCM_CD)

typedef int (*ioctl_fn)(int, unsigned long, ...);

struct tty_lines {
    dev_t dev;
    int used;
    int bits; /* TIOCM_DTR | TIOCM_RTS as last set */
};

static ioctl_fn real_ioctl;
#ifdef __i386__
static ioctl_fn real_ioctl_time64;
#endif
static struct tty_lines ttys[SHIM_MAX_TTYS];
static unsigned next_slot;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

static void resolve_real(void) {
    if (!real_ioctl) real_ioctl = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
#ifdef __i386__
    if (!real_ioctl_time64) real_ioctl_time64 = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
#endif
}

__attribute__((constructor)) static void shim_init(void) { resolve_real(); }

/* Device number of fd when it is a pty slave, else 0. */
static dev_t pty_slave_dev(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    unsigned maj = major(st.st_rdev);
    if (maj < PTY_SLAVE_MAJOR_FIRST || maj > PTY_SLAVE_MAJOR_LAST) return 0;
    return st.st_rdev;
}

/* Slot for dev, claimed on first use. Caller holds lock. */
static struct tty_lines* lines_for(dev_t dev) {
    for (unsigned i = 0; i < SHIM_MAX_TTYS; i++)
        if (ttys[i].used && ttys[i].dev == dev) return &ttys[i];
    struct tty_lines* t = &ttys[next_slot];
    next_slot = (next_slot + 1) % SHIM_MAX_TTYS;
    t->dev = dev;
    t->used = 1;
    t->bits = 0;
    return t;
}

static void log_line(const char* text) {
    const char* path = getenv("VELKA_PTYSHIM_LOG");
    if (!path || !*path) return;
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    ssize_t n = write(fd, text, strlen(text));
    (void)n; /* a lost log line only shows up as a failed check in the test reading it */
    close(fd);
}

static void log_changes(int before, int after) {
    int changed = before ^ after;
    if (changed & TIOCM_DTR) log_line(after & TIOCM_DTR ? "SETDTR\n" : "CLRDTR\n");
    if (changed & TIOCM_RTS) log_line(after & TIOCM_RTS ? "SETRTS\n" : "CLRRTS\n");
}

/* Carry out a modem-control request on dev's remembered lines. */
static int emulate(dev_t dev, unsigned long request, int* arg) {
    pthread_mutex_lock(&lock);
    struct tty_lines* t = lines_for(dev);
    int before = t->bits;
    switch (request) {
    case TIOCMGET: *arg = before | SHIM_INPUT_LINES; break;
    case TIOCMBIS: t->bits = before | (*arg & SHIM_OUTPUT_LINES); break;
    case TIOCMBIC: t->bits = before & ~(*arg & SHIM_OUTPUT_LINES); break;
    default: t->bits = *arg & SHIM_OUTPUT_LINES; break; /* TIOCMSET */
    }
    log_changes(before, t->bits);
    pthread_mutex_unlock(&lock);
    return 0;
}

static int is_modem_request(unsigned long request) {
    return request == TIOCMGET || request == TIOCMBIS || request == TIOCMBIC ||
           request == TIOCMSET;
}

/* Pass the call to real, then emulate the modem requests a pty slave does not support. */
static int shim_ioctl(ioctl_fn real, int fd, unsigned long request, void* arg) {
    if (!real) {
        errno = ENOSYS;
        return -1;
    }
    int ret = real(fd, request, arg);
    if (ret == 0 || !is_modem_request(request) || !arg) return ret;
    /* Only "not supported" is emulated: after a hang-up the pty fails with EIO, as a
       vanished USB adapter would, and that must reach the caller. */
    int err = errno;
    if (err != ENOTTY && err != EINVAL) return ret;
    dev_t dev = pty_slave_dev(fd);
    if (!dev) {
        errno = err;
        return ret;
    }
    return emulate(dev, request, (int*)arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    resolve_real();
    return shim_ioctl(real_ioctl, fd, request, arg);
}

#ifdef __i386__
/* 32-bit code built with 64-bit time_t (Wine's i386 ntdll.so among it) calls this name. */
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    resolve_real();
    return shim_ioctl(real_ioctl_time64, fd, request, arg);
}
#endif
