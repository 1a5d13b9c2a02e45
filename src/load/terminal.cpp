// terminal.cpp: the terminal of --interactive. Keys go to the board as typed, the board's
// bytes to standard output with a CR also starting a new row, until Ctrl-] (or, with keys
// from a pipe, until they have ended and the board has fallen quiet).
#include "load.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kEndTerminal = 0x1D;       // Ctrl-]
constexpr double kQuietAfterInputSeconds = 0.5; // what the board says once piped keys have ended

// The board's bytes as a terminal shows them: a CR also starts a new row.
void ShowBoardBytes(const uint8_t* pb, long n) {
    uint8_t abOut[2 * kReadSize];
    size_t nOut = 0;
    for (long i = 0; i < n; ++i) {
        abOut[nOut++] = pb[i];
        if (pb[i] == ASCII_CR) abOut[nOut++] = ASCII_LF;
    }
    if (nOut) fwrite(abOut, 1, nOut, stdout);
    fflush(stdout);
}

int EndTerminal(int nExit) {
    RestoreConsole();
    if (nExit == kExitOk) fputs("\n", stderr);
    return nExit;
}

} // namespace

int RunTerminal(Line* pLine) {
    const bool fConsole = IsConsole(Stream::In);
    if (fConsole) SetRawKeys(true);
    SayRaw("velka-load: connected to %s; %s ends\r\n", pLine->name.c_str(),
           fConsole ? "Ctrl-]" : "the end of the input");
    uint8_t ab[kReadSize];
    bool fInput = true;
    for (;;) {
        const int nReady = WaitPortOrKeys(pLine->pPort, fInput,
                                          fInput ? kForever : Now() + kQuietAfterInputSeconds);
        if (nReady == kIoInterrupted) return EndTerminal(InterruptedStatus());
        if (nReady == kIoTimedOut) return EndTerminal(kExitOk); // keys ended, board quiet
        if (nReady & kReadyPort) {
            const long n = ReadLine(pLine, ab, sizeof ab, Now());
            if (n == kIoInterrupted) return EndTerminal(InterruptedStatus());
            if (n < 0) {
                RestoreConsole();
                Say("%s", LineTrouble(pLine, n).c_str());
                return kExitTrouble;
            }
            ShowBoardBytes(ab, n);
        }
        if (!(nReady & kReadyKeys)) continue;
        const long n = ReadKeys(ab, sizeof ab);
        if (n == kIoInterrupted) return EndTerminal(InterruptedStatus());
        if (n == 0 && !fConsole) {
            fInput = false; // piped keys have ended: the board's answer to them is still shown
            continue;
        }
        if (n == 0) return EndTerminal(kExitOk); // the terminal went away
        if (n < 0) {
            RestoreConsole();
            Say("the keyboard: %s", PlatformError().c_str());
            return kExitTrouble;
        }
        const uint8_t* pEnd = static_cast<const uint8_t*>(memchr(ab, kEndTerminal, static_cast<size_t>(n)));
        const size_t nSend = pEnd ? static_cast<size_t>(pEnd - ab) : static_cast<size_t>(n);
        if (nSend) {
            const long nWritten = WriteLine(pLine, ab, nSend, kForever);
            if (nWritten == kIoInterrupted) return EndTerminal(InterruptedStatus());
            if (nWritten < 0) {
                RestoreConsole();
                Say("%s", LineTrouble(pLine, nWritten).c_str());
                return kExitTrouble;
            }
        }
        if (pEnd) return EndTerminal(kExitOk);
    }
}
