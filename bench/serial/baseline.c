/* baseline.c: the least a Win32 program can do over a serial port, for the serial
 * benchmark to set Velka beside: write a line, wait for the answer's CR, and read a stream.
 * It uses the calls Velka uses (overlapped CreateFile, WaitCommEvent for EV_RXCHAR, reads
 * of at most 80 queued bytes, overlapped WriteFile), in one thread, and nothing else.
 * "upload" arms the event wait before it writes each line, as a program that listens all the
 * time must (Velka's receive thread waits again as soon as it has drained an answer);
 * "upload-after" asks for the event only once the line is out, when the answer is often in
 * already; "upload-peek" first reads what is queued and waits only when nothing is;
 * "upload-read" waits in a read started before the line goes out, instead of the event;
 * "upload-first" waits in a read of one byte started before the line goes out, with no
 * interval time-out, and then reads what is queued;
 * "listen" only waits in the event wait, as a connected terminal with nothing coming. */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define LINE_MAX_BYTES 256  /* one source line and its CR, as Velka's send buffer */
#define BLOCK_BYTES 80      /* bytes read at a time, as Velka's receive thread */
#define QUEUE_BYTES 4096    /* input and output queue of the port */
#define TIMEOUT_MS 1000     /* whole read or write */
#define ANSWER_WAIT_MS 5000 /* a board that stays silent this long ends the run */
#define MAX_LINES 100000

static const char kPattern[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

static HANDLE hPort;
static OVERLAPPED osRead, osWrite, osWait;

static double Now(void) {
    static LARGE_INTEGER freq;
    LARGE_INTEGER t;
    if (!freq.QuadPart) QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart / (double)freq.QuadPart;
}

static int Fail(const char* what) {
    fprintf(stderr, "baseline: %s failed (error %lu)\n", what, GetLastError());
    return 2;
}

static int OpenPort(const char* name, DWORD baud) {
    char device[64];
    snprintf(device, sizeof device, "\\\\.\\%s", name);
    hPort = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (hPort == INVALID_HANDLE_VALUE) return Fail("CreateFile");
    SetCommMask(hPort, EV_RXCHAR);
    SetupComm(hPort, QUEUE_BYTES, QUEUE_BYTES);
    PurgeComm(hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    COMMTIMEOUTS cto = {MAXDWORD, 0, TIMEOUT_MS, 0, TIMEOUT_MS};
    SetCommTimeouts(hPort, &cto);
    DCB dcb = {0};
    dcb.DCBlength = sizeof dcb;
    GetCommState(hPort, &dcb);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(hPort, &dcb)) return Fail("SetCommState");
    osRead.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    osWrite.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    osWait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    EscapeCommFunction(hPort, SETDTR);
    return 0;
}

/* What is queued, at most max bytes; 0 when nothing is, -1 on an error. */
static int ReadQueued(char* buf, int max) {
    DWORD errors, n;
    COMSTAT stat = {0};
    ClearCommError(hPort, &errors, &stat);
    n = stat.cbInQue < (DWORD)max ? stat.cbInQue : (DWORD)max;
    if (n == 0) return 0;
    if (ReadFile(hPort, buf, n, &n, &osRead)) return (int)n;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    if (!GetOverlappedResult(hPort, &osRead, &n, TRUE)) return -1;
    return (int)n;
}

static DWORD waitMask;

/* Asks for the next EV_RXCHAR: 1 when the wait is pending, 0 when it completed at once,
 * -1 on an error. */
static int ArmWait(void) {
    waitMask = 0;
    if (WaitCommEvent(hPort, &waitMask, &osWait)) return 0;
    return GetLastError() == ERROR_IO_PENDING ? 1 : -1;
}

/* Ends a wait that ArmWait left pending: 0 on an event, -1 when it failed, -2 when none
 * came within ANSWER_WAIT_MS. */
static int FinishWait(void) {
    DWORD n;
    if (WaitForSingleObject(osWait.hEvent, ANSWER_WAIT_MS) != WAIT_OBJECT_0) {
        SetCommMask(hPort, EV_RXCHAR); /* ends the pending wait */
        GetOverlappedResult(hPort, &osWait, &n, TRUE);
        return -2;
    }
    return GetOverlappedResult(hPort, &osWait, &n, FALSE) ? 0 : -1;
}

/* Waits for EV_RXCHAR; 0 on an event, -1 on an error, -2 when none came in time. */
static int WaitForBytes(void) {
    const int armed = ArmWait();
    return armed == 1 ? FinishWait() : armed;
}

/* "upload-read" waits in a read instead of the event: a read of up to BLOCK_BYTES, started
 * before the line is written, that ends when no byte has come for 1 ms after the first (the
 * read interval; under Wine 8 the MAXDWORD interval-and-multiplier form, which should end at
 * the first byte, did not return). Not what Velka does; it shows what such a wait costs under Wine.
 */
static char readBuf[BLOCK_BYTES];

/* "upload-first" reads one byte that way, and with no interval time-out: the read ends with
 * that byte, not a millisecond after the last one; the rest of the answer is read from the
 * queue (a read of what ClearCommError says is there ends at once). */
static DWORD readSize = BLOCK_BYTES;

static int StartRead(void) {
    DWORD n;
    if (ReadFile(hPort, readBuf, readSize, &n, &osRead)) return 0;
    return GetLastError() == ERROR_IO_PENDING ? 0 : -1;
}

/* Bytes the started read brought, 0 when none came within ANSWER_WAIT_MS, -1 on an error. */
static int FinishRead(void) {
    DWORD n;
    return GetOverlappedResult(hPort, &osRead, &n, TRUE) ? (int)n : -1;
}

static void SetReadWait(DWORD interval) {
    COMMTIMEOUTS cto = {interval, 0, ANSWER_WAIT_MS, 0, TIMEOUT_MS};
    SetCommTimeouts(hPort, &cto);
}

enum { WAIT_ARMED, WAIT_AFTER, WAIT_PEEK, WAIT_READ, WAIT_FIRST };

static int WriteAll(const char* buf, DWORD len) {
    DWORD n;
    if (WriteFile(hPort, buf, len, &n, &osWrite)) return 0;
    if (GetLastError() != ERROR_IO_PENDING) return -1;
    return GetOverlappedResult(hPort, &osWrite, &n, TRUE) ? 0 : -1;
}

static int CompareDoubles(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

/* Scans bytes for the answer's end: 1 when a CR is among them. A '~' marks the line as
 * rejected. */
static int ScanBytes(const char* in, int n, int* rejected) {
    int answered = 0;
    for (int i = 0; i < n; i++) {
        if (in[i] == '~') *rejected = 1;
        if (in[i] == '\r') answered = 1;
    }
    return answered;
}

/* Reads all that is queued and scans it: 1 when a CR was among it, 0 when not, -1 on an
 * error. */
static int ScanQueued(int* rejected) {
    char in[BLOCK_BYTES];
    int n, answered = 0;
    while ((n = ReadQueued(in, BLOCK_BYTES)) > 0)
        answered |= ScanBytes(in, n, rejected);
    return n < 0 ? -1 : answered;
}

/* Starts the wait that `how` arms before a line goes out: 1 a wait is pending, 0 none is
 * (or it completed at once), -1 on an error. */
static int Arm(int how) {
    return how == WAIT_ARMED ? ArmWait() : how >= WAIT_READ ? StartRead() : 0;
}

/* Waits, the way `how` says, until the answer's CR has been read: 1 when it has, 0 when
 * the board stayed silent or the wait failed, -1 on a read error. `armed` is what Arm gave
 * before the line was written. */
static int AwaitAnswer(int how, int armed, int* rejected) {
    int answered = how == WAIT_PEEK ? ScanQueued(rejected) : 0;
    while (answered == 0) {
        if (how >= WAIT_READ) {
            const int n = armed < 0 ? -1 : FinishRead();
            if (n <= 0) return 0;
            answered = ScanBytes(readBuf, n, rejected);
        } else {
            const int rc = how != WAIT_ARMED ? WaitForBytes() : armed == 1 ? FinishWait() : armed;
            if (rc) return 0;
        }
        if (answered == 0) answered = ScanQueued(rejected);
        if (answered == 0) armed = Arm(how);
    }
    return answered;
}

/* Sends each line of the file with a CR and waits for an answer ending in CR. */
static int Upload(const char* path, int how) {
    FILE* f = fopen(path, "rb");
    if (!f) return Fail("fopen");
    static double trips[MAX_LINES];
    char line[LINE_MAX_BYTES + 2];
    int lines = 0, rejected = 0;
    if (how == WAIT_READ) SetReadWait(1);
    if (how == WAIT_FIRST) {
        SetReadWait(0);
        readSize = 1;
    }
    const double t0 = Now();
    while (lines < MAX_LINES && fgets(line, sizeof line - 1, f)) {
        size_t len = strcspn(line, "\r\n");
        if (len == 0) continue;
        line[len++] = '\r';
        const double start = Now();
        const int armed = Arm(how);
        if (WriteAll(line, (DWORD)len)) return Fail("WriteFile");
        const int answered = AwaitAnswer(how, armed, &rejected);
        if (answered < 0) return Fail("ReadFile");
        if (answered == 0) {
            fprintf(stderr, "baseline: no answer to line %d\n", lines + 1);
            return 3;
        }
        trips[lines++] = Now() - start;
        if (rejected) break;
    }
    const double seconds = Now() - t0;
    fclose(f);
    qsort(trips, (size_t)lines, sizeof trips[0], CompareDoubles);
    printf("{\"lines\": %d, \"seconds\": %.6f, \"median_ms\": %.3f, \"p90_ms\": %.3f, "
           "\"rejected\": %s}\n",
           lines, seconds, lines ? trips[lines / 2] * 1e3 : 0.0,
           lines ? trips[lines * 9 / 10] * 1e3 : 0.0, rejected ? "true" : "false");
    return 0;
}

/* Waits in the event wait for ever, as a terminal does with nothing coming, and reads what
 * comes: what staying connected costs. */
static int Listen(void) {
    char in[BLOCK_BYTES];
    DWORD n;
    printf("ready\n");
    fflush(stdout);
    for (;;) {
        const int armed = ArmWait();
        if (armed < 0) return Fail("WaitCommEvent");
        if (armed == 1 && !GetOverlappedResult(hPort, &osWait, &n, TRUE)) continue;
        while (ReadQueued(in, BLOCK_BYTES) > 0)
            ;
    }
}

/* Reads `total` bytes of the burst pattern and checks each one. */
static int Receive(long total) {
    char in[BLOCK_BYTES];
    long got = 0, wrong = 0;
    double t0 = 0;
    printf("ready\n");
    fflush(stdout);
    while (got < total) {
        int n = ReadQueued(in, BLOCK_BYTES);
        if (n < 0) return Fail("ReadFile");
        if (n == 0) {
            /* A wait that fails (Wine's does now and then on a loaded machine) is asked
             * again, as a receiver that must not stop listening does; silence ends it. */
            if (WaitForBytes() == -2) break;
            continue;
        }
        if (got == 0) t0 = Now();
        for (int i = 0; i < n; i++, got++)
            if (in[i] != kPattern[got % 64]) wrong++;
    }
    printf("{\"bytes\": %ld, \"wrong\": %ld, \"seconds\": %.6f}\n", got, wrong, Now() - t0);
    return 0;
}

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    const int how = !strcmp(mode, "upload")         ? WAIT_ARMED
                    : !strcmp(mode, "upload-after") ? WAIT_AFTER
                    : !strcmp(mode, "upload-peek")  ? WAIT_PEEK
                    : !strcmp(mode, "upload-read")  ? WAIT_READ
                    : !strcmp(mode, "upload-first") ? WAIT_FIRST
                                                    : -1;
    if (argc == 3 && !strcmp(mode, "listen")) {
        const int rc = OpenPort(argv[2], 115200);
        return rc ? rc : Listen();
    }
    if ((argc != 4 && argc != 5) || (how < 0 && strcmp(mode, "receive")) ||
        (argc == 5 && strcmp(argv[4], "hold"))) {
        fprintf(stderr,
                "usage: baseline upload|upload-after|upload-peek|upload-read|upload-first PORT FILE "
                "[hold]\n"
                "       baseline receive PORT BYTES [hold]\n"
                "       baseline listen PORT\n"
                "hold: stay until killed once done, so that its CPU time can be read\n"
                "listen: wait in the event wait until killed, reading what comes\n");
        return 2;
    }
    int rc = OpenPort(argv[2], 115200);
    if (rc) return rc;
    rc = how >= 0 ? Upload(argv[3], how) : Receive(atol(argv[3]));
    fflush(stdout);
    if (argc == 5) Sleep(INFINITE);
    return rc;
}
