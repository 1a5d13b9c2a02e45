// terminal.cpp: the terminal of --interactive, where a board is worked on: lines are edited
// before they go (or, in raw mode, every key goes as typed), "#include FILE" and "#require
// FILE" typed as a line upload FILE, one key uploads the last upload again, and a line that
// goes away (a board unplugged) is waited for and opened again. With keys from a pipe they
// go to the board as they come, until they have ended and the board has fallen quiet.
#include "load.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr uint8_t kEndKey = 0x1D;               // Ctrl-]
constexpr uint8_t kRawKey = 0x14;               // Ctrl-T: back to editing lines, in raw mode
constexpr double kQuietAfterInputSeconds = 0.5; // what the board says once piped keys end
constexpr double kReplugPollSeconds = 0.15;     // how often a line gone away is looked for
constexpr size_t kRowSize = 4096;               // the board's unended row, kept for the editor
constexpr size_t kShownPerByte = 5;             // "0d" and a blank, then CR LF
constexpr int kGoOn = -1;                       // the session goes on; else its exit status

struct Term {
    Line* pLine;
    const TerminalOptions* pOpt;
    SentFiles* pSent;
    bool fConsole;       // keys from a terminal: edited, or raw
    bool fConsoleOut;    // the screen is a terminal
    bool fRaw;           // keys straight to the board
    bool fInput;         // piped keys have not ended
    std::string strRow;  // the row the board has begun on the screen
    std::string strEcho; // the line just sent, whose echo is not shown again
    size_t nEchoAt;      // how much of that echo has come
    std::vector<std::string> lastUpload;
};

// Keeps the screen's unended row, on which the edited line follows.
void TrackRow(std::string* pRow, const uint8_t* pb, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t b = pb[i];
        if (b == ASCII_CR || b == ASCII_LF)
            pRow->clear();
        else if (b == ASCII_BS && !pRow->empty())
            pRow->pop_back();
        else if (b >= 0x20 && b != 0x7F && pRow->size() < kRowSize)
            pRow->push_back(static_cast<char>(b));
    }
}

// Text for the screen, the line being edited taken off it meanwhile.
void ShowText(Term* pt, const uint8_t* pb, size_t n) {
    if (n == 0) return;
    HideEditLine();
    fwrite(pb, 1, n, stdout);
    fflush(stdout);
    TrackRow(&pt->strRow, pb, n);
    ShowEditLine(pt->strRow);
}

// The board's bytes as a terminal shows them, a CR also starting a new row; or with --hex
// as two hexadecimal digits and a blank each, a new row after a CR's. The echo of the line
// just typed is not shown again, up to its first byte that differs.
void ShowBoardBytes(Term* pt, const uint8_t* pb, size_t n) {
    size_t i = 0;
    while (i < n && pt->nEchoAt < pt->strEcho.size() &&
           pb[i] == static_cast<uint8_t>(pt->strEcho[pt->nEchoAt])) {
        ++i;
        ++pt->nEchoAt;
    }
    if (i < n) pt->strEcho.clear();
    uint8_t abOut[kShownPerByte * kReadSize];
    size_t nOut = 0;
    for (; i < n; ++i) {
        const uint8_t b = pb[i];
        if (pt->pOpt->fHex) {
            nOut +=
                static_cast<size_t>(snprintf(reinterpret_cast<char*>(abOut + nOut), 4, "%02x ", b));
        } else {
            abOut[nOut++] = b;
        }
        if (b != ASCII_CR) continue;
        // A CR also starts a new row. The console's output mode makes an LF a CR LF; a file
        // or a pipe gets both.
        if (pt->fConsoleOut && !pt->pOpt->fHex) --nOut;
        if (!pt->fConsoleOut && pt->pOpt->fHex) abOut[nOut++] = ASCII_CR;
        abOut[nOut++] = ASCII_LF;
    }
    ShowText(pt, abOut, nOut);
}

// A message of the session's on a row of its own, the edited line drawn again below it.
void Tell(Term* pt, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void Tell(Term* pt, const char* fmt, ...) {
    char sz[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof sz, fmt, ap);
    va_end(ap);
    HideEditLine();
    if (!pt->strRow.empty()) fputs("\n", stdout);
    fflush(stdout);
    pt->strRow.clear();
    SayRaw("velka-load: %s\n", sz);
    ShowEditLine(pt->strRow);
}

// An upload from inside the session: whatever its outcome, the session goes on.
void UploadFiles(Term* pt, const std::vector<std::string>& names) {
    Plan plan;
    HideEditLine();
    if (MakePlan(names, *pt->pSent, &plan) &&
        Upload(pt->pLine, plan, pt->pOpt->upload, pt->pSent) >= 128)
        ClearInterruption(); // Ctrl+C ended the upload, not the session
    pt->strRow.clear();
    ShowEditLine(pt->strRow);
}

int SendToBoard(Term* pt, const uint8_t* pb, size_t n) {
    const long nWritten = WriteLine(pt->pLine, pb, n, kForever);
    if (nWritten == kIoInterrupted) return InterruptedStatus();
    if (nWritten < 0) pt->pLine->fLost = true;
    return kGoOn;
}

// A line typed and sent with Return: an upload, or a line for the board, shown once.
int TakeLine(Term* pt, const std::string& strLine) {
    const uint8_t* pb = reinterpret_cast<const uint8_t*>(strLine.data());
    bool fRequire = false;
    const std::string strName = IncludedName(pb, strLine.size(), &fRequire);
    if (!pt->pLine->pPort) {
        Tell(pt, "%s is away: nothing sent", pt->pLine->name.c_str());
        return kGoOn;
    }
    if (!strName.empty()) {
        ShowText(pt, pb, strLine.size());
        ShowText(pt, reinterpret_cast<const uint8_t*>("\n"), 1);
        // A typed #require is one as in a file: what went up whole is not sent again.
        if (fRequire && pt->pSent->count(FileIdentity(strName))) {
            Tell(pt, "%s went up already (#require)", strName.c_str());
            return kGoOn;
        }
        pt->lastUpload = {strName};
        UploadFiles(pt, pt->lastUpload);
        return kGoOn;
    }
    // The line stands where the board's echo would; in hexadecimal, the echo shows it.
    if (!pt->pOpt->fHex) {
        ShowText(pt, pb, strLine.size());
        pt->strEcho = strLine;
        pt->nEchoAt = 0;
    }
    const std::string strSent = strLine + static_cast<char>(ASCII_CR);
    LogSent(strSent);
    return SendToBoard(pt, reinterpret_cast<const uint8_t*>(strSent.data()), strSent.size());
}

// The keys edited as lines, or raw; fTell: said, when the user switched.
void SetRaw(Term* pt, bool fRaw, bool fTell) {
    pt->fRaw = fRaw;
    RestoreConsole();
    std::string strWhy;
    if (!fRaw && StartLineEditor(&strWhy)) {
        if (fTell) Tell(pt, "lines are edited before they go; Ctrl-T: keys straight to the board");
        return;
    }
    if (!fRaw) Tell(pt, "%s: keys go straight to the board", strWhy.c_str());
    pt->fRaw = true;
    SetRawKeys(true, false);
    if (fTell) Tell(pt, "keys go straight to the board, Ctrl+C too; Ctrl-T: lines edited again");
}

int TakeEditKeys(Term* pt) {
    std::string strLine;
    switch (ReadEditKeys(&strLine)) {
    case EditEvent::None: return kGoOn;
    case EditEvent::Line: return TakeLine(pt, strLine);
    case EditEvent::End:
    case EditEvent::Closed: return kExitOk;
    case EditEvent::Raw: SetRaw(pt, true, true); return kGoOn;
    case EditEvent::Repeat:
        if (pt->lastUpload.empty())
            Tell(pt, "nothing uploaded yet: type #include FILE");
        else if (!pt->pLine->pPort)
            Tell(pt, "%s is away: nothing sent", pt->pLine->name.c_str());
        else
            UploadFiles(pt, pt->lastUpload);
        return kGoOn;
    }
    return kGoOn;
}

// Raw keys, or keys from a pipe: to the board as they come, but for velka-load's own.
int TakeRawKeys(Term* pt) {
    uint8_t ab[kReadSize];
    const long n = ReadKeys(ab, sizeof ab);
    if (n == kIoInterrupted) return InterruptedStatus();
    if (n == 0 && !pt->fConsole) {
        pt->fInput = false; // piped keys have ended: the board's answer to them is still shown
        return kGoOn;
    }
    if (n == 0) return kExitOk; // the terminal went away
    if (n < 0) {
        Say("the keyboard: %s", PlatformError().c_str());
        return kExitTrouble;
    }
    size_t nSend = 0;
    while (nSend < static_cast<size_t>(n) && ab[nSend] != kEndKey &&
           !(pt->fConsole && ab[nSend] == kRawKey))
        ++nSend;
    if (nSend && pt->pLine->pPort) {
        const int nExit = SendToBoard(pt, ab, nSend);
        if (nExit != kGoOn) return nExit;
    }
    if (nSend == static_cast<size_t>(n)) return kGoOn;
    if (ab[nSend] == kEndKey) return kExitOk;
    SetRaw(pt, false, true);
    return kGoOn;
}

int TakeKeys(Term* pt) {
    return pt->fConsole && !pt->fRaw ? TakeEditKeys(pt) : TakeRawKeys(pt);
}

// The line has gone away: it is looked for until it comes back, and opened as before.
int AwaitReturn(Term* pt, long nIo) {
    Line* pLine = pt->pLine;
    const std::string strWhy = nIo == kIoHungUp ? "went away" : LineTrouble(pLine, nIo);
    CloseLine(pLine);
    pt->strEcho.clear();
    LogEvent("unplugged: %s %s", pLine->name.c_str(), strWhy.c_str());
    if (pLine->device.empty() || (!pt->fConsole && !pt->fInput)) {
        Tell(pt, "%s %s", pLine->name.c_str(), strWhy.c_str());
        return kExitTrouble;
    }
    Tell(pt, "%s %s; waiting for it to come back (Ctrl-] ends)", pLine->name.c_str(),
         strWhy.c_str());
    for (;;) {
        const int nReady = WaitPortOrKeys(nullptr, pt->fInput, Now() + kReplugPollSeconds);
        if (nReady == kIoInterrupted) return InterruptedStatus();
        if (nReady > 0 && (nReady & kReadyKeys)) {
            const int nExit = TakeKeys(pt);
            if (nExit != kGoOn) return nExit;
        }
        std::string strOpenWhy;
        if (!pLine->pPort && OpenLine(pLine->device, pLine->nBaud, pLine, &strOpenWhy)) {
            // A board that was unplugged has likely lost what went up: #require sends again.
            pt->pSent->clear();
            LogEvent("back: %s", pLine->name.c_str());
            Tell(pt, "%s is back", pLine->name.c_str());
            return kGoOn;
        }
    }
}

int EndTerminal(int nExit) {
    HideEditLine();
    RestoreConsole();
    if (nExit == kExitOk) fputs("\n", stderr);
    LogEvent("session ended");
    return nExit;
}

} // namespace

int RunTerminal(Line* pLine, const TerminalOptions& opt, SentFiles* pSent) {
    Term t{pLine, &opt, pSent, IsConsole(Stream::In), IsConsole(Stream::Out), opt.fRaw, true,
           "",    "",   0,     opt.lastUpload};
    if (t.fConsole) SetRaw(&t, opt.fRaw, false);
    Tell(&t, "connected to %s; %s ends", pLine->name.c_str(),
         t.fConsole ? "Ctrl-]" : "the end of the input");
    uint8_t ab[kReadSize];
    for (;;) {
        if (pLine->fLost) {
            const int nExit = AwaitReturn(&t, kIoHungUp);
            if (nExit != kGoOn) return EndTerminal(nExit);
            continue;
        }
        const int nReady = WaitPortOrKeys(pLine->pPort, t.fInput,
                                          t.fInput ? kForever : Now() + kQuietAfterInputSeconds);
        if (nReady == kIoInterrupted) return EndTerminal(InterruptedStatus());
        if (nReady == kIoTimedOut) return EndTerminal(kExitOk); // keys ended, board quiet
        if (nReady & kReadyPort) {
            const long n = ReadLine(pLine, ab, sizeof ab, Now());
            if (n == kIoInterrupted) return EndTerminal(InterruptedStatus());
            if (n < 0) {
                const int nExit = AwaitReturn(&t, n);
                if (nExit != kGoOn) return EndTerminal(nExit);
                continue;
            }
            LogReceived(ab, static_cast<size_t>(n));
            ShowBoardBytes(&t, ab, static_cast<size_t>(n));
        }
        if (nReady & kReadyKeys) {
            const int nExit = TakeKeys(&t);
            if (nExit != kGoOn) return EndTerminal(nExit);
        }
    }
}
