// session.cpp: what velka-load does on an open line. The upload of one file with the
// shared reader and answer scanner: each line waits for the board's answer, a rejected
// line or a silent board stops everything, with the file's line named as compilers name
// it. Progress as Velka shows it, or a progress line on a terminal. And the plain
// terminal of --interactive.
#include "load.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

volatile sig_atomic_t gnSignal = 0;
sigset_t gWaitMask;

namespace {

constexpr uint8_t kEndTerminal = 0x1D; // Ctrl-]
constexpr long kProgressEveryMs = 100;
constexpr int kEscapedAnswerSize = 4 * kRXBufSize + 1;
constexpr int kQuietAfterInputMs = 500; // what the board says once piped keys have ended
constexpr double kGatherBytes = 8;      // characters an answer's parts gather for
constexpr double kGatherMaxSeconds = 0.001;
constexpr unsigned kProbeEvery = 32;
constexpr int kPacedParts = 3;

bool gfProgressShown = false; // a progress line stands on standard error, unended
termios gSavedTerminal;
bool gfTerminalRaw = false;

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Sleeps until then, or until one of the ending signals comes.
void SleepUntil(double dWhen) {
    const double dLeft = dWhen - Now();
    if (dLeft <= 0) return;
    const auto nSeconds = static_cast<time_t>(dLeft);
    const timespec ts{nSeconds, static_cast<long>((dLeft - static_cast<double>(nSeconds)) * 1e9)};
    ppoll(nullptr, 0, &ts, &gWaitMask);
}

void ClearProgress() {
    if (gfProgressShown) fputs("\r\033[K", stderr);
    gfProgressShown = false;
}

// The answer as one line of text: its CR and LF left out, other control bytes escaped.
void EscapeAnswer(char* psz) {
    const int n = std::min<int>(gwRXCol, kRXBufSize);
    char* p = psz;
    for (int i = 0; i < n; ++i) {
        const uint8_t b = gsRXBuf[i];
        if (b == ASCII_CR || b == ASCII_LF) continue;
        if (b < 0x20 || b >= 0x7F)
            p += snprintf(p, 5, "\\x%02X", b);
        else
            *p++ = static_cast<char>(b);
    }
    *p = '\0';
}

// Where a line of the file is named: FILE:LINE.
void SayAt(const SourceText* pText, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void SayAt(const SourceText* pText, const char* fmt, ...) {
    ClearProgress();
    fprintf(stderr, "%s:%u: ", pText->name.c_str(), gwSourceLine);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

// The lines the reader will send from the file, and the file's own lines: a dry run of the
// reader itself, so the count cannot disagree with the upload.
void CountLines(SourceText* pText, unsigned* pnToSend, unsigned* pnLines) {
    SourceText dry = *pText;
    dry.fQuiet = true;
    StartSourceFile();
    gwSourceLine = 1;
    unsigned nToSend = 0;
    for (;;) {
        const int n = ReadSourceLine(&dry);
        if (n == SRC_END || n == SRC_ERROR) break;
        if (n == SRC_LINE) {
            ++nToSend;
            ++gwSourceLine;
        }
    }
    *pnToSend = nToSend;
    *pnLines = static_cast<unsigned>(gwSourceLine - 1);
}

struct Progress {
    bool fLine; // a redrawn line on a terminal; else Velka's dots
    unsigned nToSend, nLines, nSent;
    double dStart, dDrawn;
};

void DrawProgress(const SourceText* pText, Progress* pr, bool fFinal) {
    const double dNow = Now();
    if (!fFinal && dNow - pr->dDrawn < kProgressEveryMs / 1000.0) return;
    pr->dDrawn = dNow;
    const double dElapsed = dNow - pr->dStart;
    const double dRate = dElapsed > 0 ? pr->nSent / dElapsed : 0;
    fprintf(stderr, "\r\033[K%s: %u of %u lines sent, line %u of %u, %.0f lines/s, %.1f s%s",
            pText->name.c_str(), pr->nSent, pr->nToSend,
            std::min<unsigned>(fFinal ? pr->nLines : gwSourceLine, pr->nLines), pr->nLines, dRate,
            dElapsed, fFinal ? " Ready\n" : "");
    gfProgressShown = !fFinal;
}

// A "{ kkk" pause: on a terminal the user goes on with Return; with none there is nobody
// to ask, so the upload goes on.
int Pause(const SourceText* pText) {
    if (!isatty(STDIN_FILENO)) {
        SayAt(pText, "pause ({ kkk) passed over: no terminal to wait at");
        return kExitOk;
    }
    SayAt(pText, "paused ({ kkk): press Return to go on");
    tcflush(STDIN_FILENO, TCIFLUSH);
    for (;;) {
        if (gnSignal) return 128 + gnSignal;
        pollfd pfd{STDIN_FILENO, POLLIN, 0};
        if (ppoll(&pfd, 1, nullptr, &gWaitMask) < 0) {
            if (gnSignal) return 128 + gnSignal;
            continue;
        }
        char c;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0) return kExitOk; // the terminal went away: nothing to wait for
        if (c == '\n' || c == '\r') return kExitOk;
    }
}

// Sends the line in gsTXBuf and waits until the scanner has seen its answer's CR.
int SendAndWait(Line* pLine, const SourceText* pText, const UploadOptions& opt) {
    gwRXCol = 0;
    gUploadSync = 0;
    if (!WriteToLine(pLine, gsTXBuf, gwTXCol)) {
        if (gnSignal) return 128 + gnSignal;
        SayAt(pText, "%s: %s", pLine->name.c_str(), strerror(errno));
        return kExitTrouble;
    }
    // On a serial line an answer comes a character at a time, and a wake for each would cost
    // some 11 000 wakes a second at 115 200 baud. So the parts of an answer gather for a few
    // characters' time; and since the board cannot have the line's CR before the line has
    // left the wire, once answers have shown that they come no sooner (a wire, or a board
    // slower than one), the wait starts only then. Every kProbeEvery-th line waits at once
    // again, to see whether they still do.
    const double dOut = Now() + gwTXCol * pLine->dByteSeconds;
    const double dGather = std::min(kGatherBytes * pLine->dByteSeconds, kGatherMaxSeconds);
    const bool fProbe = !pLine->fPaced || ++pLine->nSinceProbe >= kProbeEvery;
    if (fProbe)
        pLine->nSinceProbe = 0;
    else
        SleepUntil(dOut + dGather);
    int nParts = 0;
    const double dDeadline = Now() + opt.dTimeout;
    uint8_t ab[kReadSize];
    while (gUploadSync == 0) {
        // A signal may have been taken in any wait, the gathering pause's too.
        if (gnSignal) return 128 + gnSignal;
        timespec ts{}, *pts = nullptr;
        if (opt.dTimeout > 0) {
            const double dLeft = dDeadline - Now();
            if (dLeft <= 0) {
                SayAt(pText, "no answer from the board in %g s", opt.dTimeout);
                return kExitNoAnswer;
            }
            ts.tv_sec = static_cast<time_t>(dLeft);
            ts.tv_nsec = static_cast<long>((dLeft - static_cast<double>(ts.tv_sec)) * 1e9);
            pts = &ts;
        }
        pollfd pfd{pLine->fd, POLLIN, 0};
        const int nReady = ppoll(&pfd, 1, pts, &gWaitMask);
        if (nReady < 0) {
            if (gnSignal) return 128 + gnSignal;
            continue;
        }
        if (nReady == 0) continue;
        const ssize_t n = ReadFromLine(pLine, ab, sizeof ab);
        if (n > 0) {
            ScanCommBlock(reinterpret_cast<const char*>(ab), static_cast<int>(n));
            ++nParts;
            // Paced: the answer came in parts, as a wire brings it, and ended no sooner than
            // the wire allows. A late answer in one piece is a slow board, or a busy machine.
            if (gUploadSync == 0)
                SleepUntil(Now() + dGather);
            else if (fProbe && pLine->dByteSeconds > 0)
                pLine->fPaced = nParts >= kPacedParts && Now() >= dOut;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        // A pty whose other end closed reads EIO, a socket 0: the board is gone.
        SayAt(pText, "%s: %s", pLine->name.c_str(),
              n == 0 || errno == EIO ? "the line hung up" : strerror(errno));
        return kExitTrouble;
    }
    return kExitOk;
}

} // namespace

// ---- The reader's platform layer.
ReadResult ReadSourceByte(SourceText* pText, uint8_t* pb) {
    if (pText->at >= pText->bytes.size()) return ReadResult::End;
    *pb = pText->bytes[pText->at++];
    return ReadResult::Byte;
}

void ReportLineTooLong(SourceText* pText) {
    if (!pText->fQuiet) SayAt(pText, "%s", gszLineTooLong);
}

void SignalAnswer() {} // the one thread that waits is the one that scans

void Say(const char* fmt, ...) {
    ClearProgress();
    fputs("velka-load: ", stderr);
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
    fputc('\n', stderr);
}

void SayRaw(const char* fmt, ...) {
    ClearProgress();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(stderr, fmt, ap);
    va_end(ap);
}

int UploadFile(Line* pLine, SourceText* pText, const UploadOptions& opt) {
    Progress pr{};
    pr.fLine = !opt.fVisible && isatty(STDERR_FILENO);
    if (pr.fLine) CountLines(pText, &pr.nToSend, &pr.nLines);
    pText->at = 0;
    pr.dStart = pr.dDrawn = Now();

    StartSourceFile();
    gwSourceLine = 1;
    gfUpError = 0;
    gUploadSync = 0;
    gfUploading = 1;
    if (pr.fLine)
        DrawProgress(pText, &pr, false);
    else if (!opt.fVisible)
        fprintf(stderr, "%s: Loading ", pText->name.c_str());

    int nExit = kExitOk;
    for (;;) {
        gUploadSync = 0;
        const int nResult = ReadSourceLine(pText);
        if (nResult == SRC_END) break;
        if (nResult == SRC_PAUSE) {
            if (!opt.fVisible && !pr.fLine) fputc('\n', stderr);
            nExit = Pause(pText);
            if (nExit != kExitOk) break;
            continue;
        }
        if (nResult == SRC_SKIP) continue;

        if (opt.fVisible) {
            printf("<%u> %.*s\n", gwSourceLine, std::max(gwTXCol - 1, 0), gsTXBuf);
            fflush(stdout);
        }
        nExit = SendAndWait(pLine, pText, opt);
        if (nExit != kExitOk) break;
        char szAnswer[kEscapedAnswerSize];
        EscapeAnswer(szAnswer);
        if (gUploadSync == ASCII_ERR) {
            if (opt.fVisible) fflush(stdout);
            SayAt(pText, "%s", szAnswer);
            nExit = kExitRejected;
            break;
        }
        if (opt.fVisible) {
            printf("    %s\n", szAnswer);
            fflush(stdout);
        }
        ++pr.nSent;
        ++gwSourceLine;
        if (pr.fLine)
            DrawProgress(pText, &pr, false);
        else if (!opt.fVisible && gwSourceLine % 10 == 2)
            fputc('.', stderr);
    }
    gfUploading = 0;
    if (nExit >= 128) SayAt(pText, "interrupted");
    if (nExit != kExitOk) return nExit;
    if (pr.fLine)
        DrawProgress(pText, &pr, true);
    else
        fprintf(stderr, opt.fVisible ? "%s: Ready\n" : " Ready\n", pText->name.c_str());
    return kExitOk;
}

void RestoreTerminal() {
    if (gfTerminalRaw) tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
    gfTerminalRaw = false;
}

// Keys to the board, the board's bytes to standard output with a CR also starting a new
// row, until Ctrl-] (or the end of standard input when it is no terminal).
int RunTerminal(Line* pLine) {
    const bool fTty = isatty(STDIN_FILENO);
    if (fTty && tcgetattr(STDIN_FILENO, &gSavedTerminal) == 0) {
        termios t = gSavedTerminal;
        cfmakeraw(&t);
        // Ctrl+C still ends velka-load, as any command's; Ctrl+Z goes to the board, since a
        // stopped velka-load would leave the terminal raw.
        t.c_lflag |= ISIG;
        t.c_cc[VSUSP] = _POSIX_VDISABLE;
        if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &t) == 0) gfTerminalRaw = true;
    }
    SayRaw("velka-load: connected to %s; %s ends\r\n", pLine->name.c_str(),
           fTty ? "Ctrl-]" : "the end of the input");
    uint8_t ab[kReadSize];
    uint8_t abOut[2 * kReadSize];
    bool fInput = true;
    for (;;) {
        if (gnSignal) return 128 + gnSignal;
        pollfd pfd[2] = {{pLine->fd, POLLIN, 0}, {fInput ? STDIN_FILENO : -1, POLLIN, 0}};
        timespec tsQuiet{0, kQuietAfterInputMs * 1000000L};
        const int nReady = ppoll(pfd, 2, fInput ? nullptr : &tsQuiet, &gWaitMask);
        if (nReady < 0) {
            if (gnSignal) return 128 + gnSignal;
            continue;
        }
        if (nReady == 0) break; // the keys have ended and the board has fallen quiet
        if (pfd[0].revents) {
            const ssize_t n = ReadFromLine(pLine, ab, sizeof ab);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                RestoreTerminal();
                Say("%s: %s", pLine->name.c_str(),
                    n == 0 || errno == EIO ? "the line hung up" : strerror(errno));
                return kExitTrouble;
            }
            size_t nOut = 0;
            for (ssize_t i = 0; i < n; ++i) {
                abOut[nOut++] = ab[i];
                if (ab[i] == ASCII_CR) abOut[nOut++] = ASCII_LF;
            }
            if (nOut) fwrite(abOut, 1, nOut, stdout);
            fflush(stdout);
        }
        if (pfd[1].revents) {
            const ssize_t n = read(STDIN_FILENO, ab, sizeof ab);
            if (n <= 0) {
                // Piped keys have ended: the board's answer to them is still shown.
                if (n == 0 && !fTty) {
                    fInput = false;
                    continue;
                }
                break;
            }
            const uint8_t* pEnd = static_cast<const uint8_t*>(memchr(ab, kEndTerminal, n));
            const size_t nSend = pEnd ? static_cast<size_t>(pEnd - ab) : static_cast<size_t>(n);
            if (nSend && !WriteToLine(pLine, ab, nSend)) {
                if (gnSignal) return 128 + gnSignal;
                RestoreTerminal();
                Say("%s: %s", pLine->name.c_str(), strerror(errno));
                return kExitTrouble;
            }
            if (pEnd) break;
        }
    }
    RestoreTerminal();
    fputs("\n", stderr);
    return kExitOk;
}
