// session.cpp: the upload of a plan over an open line. Each line waits for the board's
// answer, read by the shared scanner; a rejected line or a silent board stops everything,
// with the file's line named as compilers name it. Progress as Velka shows it (dots), or a
// progress line on a terminal; -v shows every line and its answer.
#include "load.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {

constexpr double kProgressEverySeconds = 0.1;
constexpr int kEscapedAnswerSize = 4 * kRXBufSize + 1;
constexpr double kGatherBytes = 8; // characters an answer's parts gather for
constexpr double kGatherMaxSeconds = 0.001;
constexpr unsigned kProbeEvery = 32;
constexpr int kPacedParts = 3;

bool gfProgressShown = false; // a progress line stands on standard error, unended

void ClearProgress() {
    if (gfProgressShown) fputs(EraseLineText(), stderr);
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

struct Run {
    Line* pLine;
    const Plan* pPlan;
    const UploadOptions* pOpt;
    const PlanStep* pStep; // the step under way
    bool fBar;             // a redrawn progress line on a terminal; else Velka's dots
    uint32_t nSent;
    double dStart, dDrawn;
};

// Where a line of a file is named: FILE:LINE: TEXT, then the files that include it.
void SayAt(const Run& up, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void SayAt(const Run& up, const char* fmt, ...) {
    char sz[kEscapedAnswerSize + 256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(sz, sizeof sz, fmt, ap);
    va_end(ap);
    SayRaw("%s%s\n", PlaceOf(*up.pPlan, up.pStep->nFile, up.pStep->nLine).c_str(), sz);
    SayChain(*up.pPlan, up.pStep->nFile);
}

void DrawProgress(Run* up, bool fFinal) {
    const double dNow = Now();
    if (!fFinal && dNow - up->dDrawn < kProgressEverySeconds) return;
    up->dDrawn = dNow;
    const PlanFile& file = up->pPlan->files[static_cast<size_t>(up->pStep->nFile)];
    const double dElapsed = dNow - up->dStart;
    const double dRate = dElapsed > 0 ? up->nSent / dElapsed : 0;
    fprintf(stderr, "%s%s: %u of %u lines sent, line %u of %u, %.0f lines/s, %.1f s%s",
            EraseLineText(), file.name.c_str(), up->nSent, up->pPlan->nToSend,
            std::min(up->pStep->nLine, file.nLines), file.nLines, dRate, dElapsed,
            fFinal ? " Ready\n" : "");
    gfProgressShown = !fFinal;
}

// A "{ kkk" pause: on a terminal the user goes on with Return; with none there is nobody
// to ask, so the upload goes on.
int Pause(const Run& up) {
    if (!IsConsole(Stream::In)) {
        SayAt(up, "pause ({ kkk) passed over: no terminal to wait at");
        return kExitOk;
    }
    SayAt(up, "paused ({ kkk): press Return to go on");
    FlushKeys();
    for (;;) {
        const int nReady = WaitPortOrKeys(nullptr, true, kForever);
        if (nReady == kIoInterrupted) return InterruptedStatus();
        uint8_t ab[kReadSize];
        const long n = ReadKeys(ab, sizeof ab);
        if (n == kIoInterrupted) return InterruptedStatus();
        if (n == 0) return kExitOk; // the terminal went away: nothing to wait for
        if (n < 0) {
            // Going on unasked would send what the user wanted to look at first.
            SayAt(up, "the terminal: %s", PlatformError().c_str());
            return kExitTrouble;
        }
        for (long i = 0; i < n; ++i)
            if (ab[i] == '\n' || ab[i] == '\r') return kExitOk;
    }
}

// What a failed read or write of the line comes to.
int LineFailed(const Run& up, long nIo, const char* pszWhat) {
    if (nIo == kIoInterrupted) return InterruptedStatus();
    if (nIo == kIoTimedOut) {
        SayAt(up, "%s in %g s", pszWhat, up.pOpt->dTimeout);
        return kExitNoAnswer;
    }
    SayAt(up, "%s", LineTrouble(up.pLine, nIo).c_str());
    up.pLine->fLost = true; // a hang-up, or an error that leaves the line unusable
    return kExitTrouble;
}

// Sends the step's line and waits until the scanner has seen its answer's CR.
int SendAndWait(Run* up) {
    Line* pLine = up->pLine;
    const std::string& text = up->pStep->text;
    const double dDeadline = up->pOpt->dTimeout > 0 ? Now() + up->pOpt->dTimeout : kForever;
    gwRXCol = 0;
    gUploadSync = 0;
    LogSent(text);
    const long nWritten =
        WriteLine(pLine, reinterpret_cast<const uint8_t*>(text.data()), text.size(), dDeadline);
    if (nWritten <= 0) return LineFailed(*up, nWritten, "the line took nothing more");
    // On a serial line an answer comes a character at a time, and a wake for each would cost
    // some 11 000 wakes a second at 115 200 baud. Once answers have shown that they come at
    // a wire's pace (a wire, or a board slower than one), the parts of an answer gather for
    // a few characters' time, and since the board cannot have the line's CR before the line
    // has left the wire, the wait starts only then. A board on no wire answers whole and is
    // not kept waiting. Every kProbeEvery-th line waits at once again, to see whether
    // answers still come so.
    const double dSent = Now();
    const double dOut = dSent + static_cast<double>(text.size()) * pLine->dByteSeconds;
    const double dGather = std::min(kGatherBytes * pLine->dByteSeconds, kGatherMaxSeconds);
    const bool fProbe = !pLine->fPaced || ++pLine->nSinceProbe >= kProbeEvery;
    if (fProbe)
        pLine->nSinceProbe = 0;
    else
        SleepUntil(dOut + dGather);
    int nParts = 0;
    uint8_t ab[kReadSize];
    while (gUploadSync == 0) {
        // An interruption may have come in any wait, the gathering pause's too.
        if (Interruption()) return InterruptedStatus();
        const long n = ReadLine(pLine, ab, sizeof ab, dDeadline);
        if (n <= 0) return LineFailed(*up, n, "no answer from the board");
        LogReceived(ab, static_cast<size_t>(n));
        ScanCommBlock(reinterpret_cast<const char*>(ab), static_cast<int>(n));
        ++nParts;
        // Paced: the answer came in parts, as a wire brings it, and ended no sooner than the
        // wire allows: after the line had left it, and after the answer's own bytes (the
        // echo among them) had crossed it. A late answer in one piece is a slow board, or a
        // busy machine; one in parts but sooner, a board on no wire at all, answering at once.
        if (gUploadSync == 0 && pLine->fPaced)
            SleepUntil(Now() + dGather);
        else if (fProbe && pLine->dByteSeconds > 0)
            pLine->fPaced = nParts >= kPacedParts &&
                            Now() >= std::max(dOut, dSent + gwRXCol * pLine->dByteSeconds);
    }
    return kExitOk;
}

int SendStep(Run* up) {
    const PlanStep& step = *up->pStep;
    const bool fVisible = up->pOpt->fVisible;
    if (step.fCut) SayAt(*up, "%s", gszLineTooLong);
    if (fVisible) {
        // The line as it goes, without its CR; a cut line has none, and shows whole.
        const size_t n = step.text.size() - (step.text.back() == ASCII_CR ? 1 : 0);
        printf("<%u> %.*s\n", step.nLine, static_cast<int>(n), step.text.data());
        fflush(stdout);
    }
    const int nExit = SendAndWait(up);
    if (nExit != kExitOk) return nExit;
    char szAnswer[kEscapedAnswerSize];
    EscapeAnswer(szAnswer);
    if (gUploadSync == ASCII_ERR) {
        if (fVisible) fflush(stdout);
        SayAt(*up, "%s", szAnswer);
        return kExitRejected;
    }
    if (fVisible) {
        printf("    %s\n", szAnswer);
        fflush(stdout);
    }
    ++up->nSent;
    if (up->fBar)
        DrawProgress(up, false);
    else if (!fVisible && step.nLine % 10 == 1)
        fputc('.', stderr);
    return kExitOk;
}

// The messages at a file's start and end: of the files named, in fast mode.
void BeginFile(Run* up) {
    const PlanFile& file = up->pPlan->files[static_cast<size_t>(up->pStep->nFile)];
    if (up->fBar)
        DrawProgress(up, false);
    else if (!up->pOpt->fVisible && file.nParent < 0)
        fprintf(stderr, "%s: Loading ", file.name.c_str());
}

void EndFile(Run* up, SentFiles* pSent) {
    const PlanFile& file = up->pPlan->files[static_cast<size_t>(up->pStep->nFile)];
    pSent->insert(file.id);
    if (file.nParent >= 0) return;
    if (up->fBar)
        DrawProgress(up, true);
    else
        fprintf(stderr, up->pOpt->fVisible ? "%s: Ready\n" : " Ready\n", file.name.c_str());
}

// The files named at the top of the plan, for the log.
std::string TopFiles(const Plan& plan) {
    std::string s;
    for (const PlanFile& file : plan.files)
        if (file.nParent < 0) s += (s.empty() ? "" : " ") + file.name;
    return s;
}

const char* OutcomeText(int nExit) {
    switch (nExit) {
    case kExitRejected: return "stopped: a line rejected";
    case kExitNoAnswer: return "stopped: no answer";
    case kExitTrouble: return "stopped: the line or the terminal failed";
    default: return "stopped: interrupted";
    }
}

} // namespace

// ---- The reader's platform layer.
ReadResult ReadSourceByte(SourceText* pText, uint8_t* pb) {
    if (pText->at >= pText->bytes.size()) return ReadResult::End;
    *pb = pText->bytes[pText->at++];
    return ReadResult::Byte;
}

void ReportLineTooLong(SourceText* pText) {
    pText->fCut = true; // told when the line goes up
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

int InterruptedStatus() {
    const int nSignal = Interruption();
    return nSignal ? 128 + nSignal : 0;
}

int Upload(Line* pLine, const Plan& plan, const UploadOptions& opt, SentFiles* pSent) {
    Run up{pLine, &plan, &opt, nullptr, !opt.fVisible && IsConsole(Stream::Err), 0, Now(), 0};
    if (plan.files.empty()) return kExitOk; // -i with no files: no upload to log
    gfUpError = 0;
    gfUploading = 1;
    LogEvent("upload of %s started", TopFiles(plan).c_str());
    int nExit = kExitOk;
    for (const PlanStep& step : plan.steps) {
        up.pStep = &step;
        switch (step.kind) {
        case StepKind::Begin: BeginFile(&up); break;
        case StepKind::End: EndFile(&up, pSent); break;
        case StepKind::Pause:
            if (!opt.fVisible && !up.fBar) fputc('\n', stderr);
            nExit = Pause(up);
            break;
        case StepKind::Send: nExit = SendStep(&up); break;
        }
        if (nExit != kExitOk) break;
    }
    gfUploading = 0;
    if (nExit >= 128) SayAt(up, "interrupted");
    const std::string strAt = up.pStep ? PlaceOf(plan, up.pStep->nFile, up.pStep->nLine) : "  ";
    if (nExit == kExitOk)
        LogEvent("upload of %s went up; lines sent: %u", TopFiles(plan).c_str(), up.nSent);
    else
        LogEvent("upload of %s %s at %.*s", TopFiles(plan).c_str(), OutcomeText(nExit),
                 static_cast<int>(strAt.size()) - 2, strAt.c_str());
    return nExit;
}
