/* Check of libvelkapty.so, run with it preloaded: modem requests on a pty are emulated and
 * logged, everything else (other fds, other requests, a hung-up pty) passes through untouched.
 * Run with LD_PRELOAD set to the shim and VELKA_PTYSHIM_LOG naming a scratch file. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#define CHECK_LOG_MAX 256
#define IN_LINES (TIOCM_CTS | TIOCM_DSR | TIOCM_CD)

static int failed, passed;

static void expect(int ok, const char* what) {
    if (ok) {
        passed++;
    } else {
        failed++;
        printf("FAIL: %s (errno %d)\n", what, errno);
    }
}

static int open_pty(int* master) {
    *master = posix_openpt(O_RDWR | O_NOCTTY);
    if (*master < 0 || grantpt(*master) || unlockpt(*master)) return -1;
    return open(ptsname(*master), O_RDWR | O_NOCTTY);
}

static int get_lines(int fd) {
    int bits = -1;
    return ioctl(fd, TIOCMGET, &bits) == 0 ? bits : -1;
}

/* One modem request on the pty and the lines TIOCMGET must report afterwards. */
struct step {
    unsigned long request;
    int arg;
    int lines;
    const char* what;
};

static const struct step steps[] = {
    {TIOCMBIS, TIOCM_DTR, TIOCM_DTR | IN_LINES, "TIOCMBIS raises DTR"},
    {TIOCMBIS, TIOCM_DTR, TIOCM_DTR | IN_LINES, "raising DTR again changes nothing"},
    {TIOCMSET, TIOCM_RTS, TIOCM_RTS | IN_LINES, "TIOCMSET replaces DTR with RTS"},
    {TIOCMBIS, TIOCM_RI, TIOCM_RTS | IN_LINES, "input lines cannot be set"},
    {TIOCMBIC, TIOCM_RTS | TIOCM_CTS, IN_LINES, "TIOCMBIC drops RTS, CTS stays on"},
    {TIOCMSET, TIOCM_DTR | TIOCM_RTS, TIOCM_DTR | TIOCM_RTS | IN_LINES, "TIOCMSET both"},
};
static const char expected_log[] = "SETDTR\nCLRDTR\nSETRTS\nCLRRTS\nSETDTR\nSETRTS\n";

int main(void) {
    const char* log_path = getenv("VELKA_PTYSHIM_LOG");
    FILE* f = log_path ? fopen(log_path, "w") : NULL;
    if (!f) {
        printf("VELKA_PTYSHIM_LOG must name a writable file\n");
        return 2;
    }
    fclose(f);
    int master, other_master;
    int pty = open_pty(&master), other = open_pty(&other_master);
    expect(pty >= 0 && other >= 0, "open two ptys");

    expect(get_lines(pty) == IN_LINES, "fresh pty: CTS DSR CD on, DTR RTS off");
    for (size_t i = 0; i < sizeof steps / sizeof steps[0]; i++) {
        int arg = steps[i].arg;
        expect(ioctl(pty, steps[i].request, &arg) == 0, steps[i].what);
        expect(get_lines(pty) == steps[i].lines, steps[i].what);
    }
    expect(get_lines(other) == IN_LINES, "second pty keeps its own lines");

    int queued = -1;
    expect(ioctl(pty, TIOCINQ, &queued) == 0 && queued == 0, "TIOCINQ passes through");
    int pipefd[2];
    expect(pipe(pipefd) == 0, "pipe");
    errno = 0;
    expect(get_lines(pipefd[0]) == -1 && errno == ENOTTY, "non-tty fd keeps ENOTTY");

    close(master);
    errno = 0;
    expect(get_lines(pty) == -1 && errno == EIO, "hung-up pty reports EIO");

    char log[CHECK_LOG_MAX] = "";
    f = fopen(log_path, "r");
    size_t n = f ? fread(log, 1, sizeof log - 1, f) : 0;
    log[n] = '\0';
    if (f) fclose(f);
    expect(strcmp(log, expected_log) == 0, "log holds each change once, in order");

    printf("%s: %d passed, %d failed\n", sizeof(void*) == 4 ? "ptyshim32" : "ptyshim64", passed,
           failed);
    return failed ? 1 : 0;
}
