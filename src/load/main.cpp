// main.cpp: velka-load's command line. Every file, and all that the files include, is
// read and checked before the first byte goes out; then the files go up one after the
// other, each line waiting for the board's answer, and with --interactive the line stays
// open as a terminal. Whatever ends it, the port's and the console's settings are put back.
#include "load.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <getopt.h>

namespace {

constexpr char kUsage[] = R"(Usage: velka-load [options] FILE...

Uploads each FILE (- for standard input) to a Nivor board as Velka does: blank lines,
leading blanks, comments and the loader directives are left out, and every line waits for
the board's answer, which ends at its CR; an answer holding "~" rejects the line and stops
everything.

  -d, --device DEV     a serial device (/dev/ttyUSB0, /dev/serial/by-id/...; on Windows
                       COM7 or \\.\COM12); HOST:PORT, a network serial server carrying
                       the line over raw TCP; or rfc2217://HOST:PORT, one speaking Telnet
                       with the serial port settings of RFC 2217, which set its port's
                       rate (IPv6 as [ADDR]:PORT) (default: $VELKA_DEVICE; on Windows,
                       else the port saved in VELKA.SET in this directory)
      --sim            upload to the simulated board, started for this run
  -b, --baud RATE      9600, 19200, 38400, 57600 or 115200 (default: the rate saved in
                       VELKA.SET in this directory, else 19200); always 8 data bits, no
                       parity, one stop bit, no flow control
  -t, --timeout SECS   give up on a line whose answer has not ended in SECS seconds
                       (default 10; 0 waits for ever)
  -v, --visible        show every line with its number, and the board's answer
  -i, --interactive    after the files (or with none) stay connected as a terminal,
                       whatever became of them: lines are edited, then sent with Return
      --raw            with -i: keys go to the board as typed, Ctrl+C too (Ctrl-T switches)
      --hex            with -i: the board's bytes shown as hexadecimal, "0d 0a "
  -l, --log FILE       append to FILE, each line stamped with the time of day, what the
                       board sent, every line sent, and the session's events
  -h, --help           this text

Keys of -i: Return sends the line; Left, Right, Home, End, Backspace, Delete, Ctrl-U and
Ctrl-W edit it; Up and Down recall earlier ones (kept in $XDG_STATE_HOME/velka/history);
Tab completes a file name after #include. A line "#include FILE" uploads FILE, and
"#require FILE" does unless it went up in this session; F5 or Ctrl-O uploads the last
upload again. Ctrl+C stops an upload; Ctrl-T switches raw keys; Ctrl-] ends. A board that
goes away is waited for, and its device opened again when it is back.

In a file, a line "#include FILE" is replaced by FILE (beside the including file, else in
the working directory), "#require FILE" too unless FILE went up already; every file is
read and checked before the first byte goes out.

Progress goes to standard error: "Loading ", a dot every ten lines and " Ready" per file,
or a progress line when standard error is a terminal. A "{ kkk" pause waits for Return on
a terminal and is passed over without one. Any line ends work: CR LF, LF or CR.

Problems are reported as FILE:LINE: TEXT, LINE being the file's own line:
  FILE:LINE: ANSWER                    the board rejected the line (its answer)
  FILE:LINE: no answer from the board in N s
  FILE:LINE: Max # of Char/Line exceeded!  (the line is cut at 80, and goes on)
Exit status: 0 every file went up; 1 the board rejected a line; 2 a usage, file or device
problem; 3 no answer in time; 128+N after signal N (130 for Ctrl+C).
)";

constexpr int kOptSim = 256;
constexpr int kOptRaw = 257;
constexpr int kOptHex = 258;

Line gLine; // closed by every way out

int Finish(int nExit) {
    RestoreConsole();
    CloseLine(&gLine);
    fflush(stdout);
    // An interruption that came while the line was being closed still ends as that one.
    if (nExit < 128 && Interruption()) nExit = InterruptedStatus();
    return nExit;
}

bool ParseTimeout(const char* psz, double* pd) {
    char* pEnd = nullptr;
    const double d = strtod(psz, &pEnd);
    if (pEnd == psz || *pEnd != '\0' || !(d >= 0) || d > 1e6) return false;
    *pd = d;
    return true;
}

} // namespace

int main(int argc, char** argv) {
    static const option kOptions[] = {{"device", required_argument, nullptr, 'd'},
                                      {"sim", no_argument, nullptr, kOptSim},
                                      {"baud", required_argument, nullptr, 'b'},
                                      {"timeout", required_argument, nullptr, 't'},
                                      {"visible", no_argument, nullptr, 'v'},
                                      {"interactive", no_argument, nullptr, 'i'},
                                      {"raw", no_argument, nullptr, kOptRaw},
                                      {"hex", no_argument, nullptr, kOptHex},
                                      {"log", required_argument, nullptr, 'l'},
                                      {"help", no_argument, nullptr, 'h'},
                                      {nullptr, 0, nullptr, 0}};
    std::string strDevice;
    bool fSim = false, fInteractive = false, fBaudGiven = false;
    int nBaud = kDefaultBaud;
    TerminalOptions term;
    UploadOptions& opt = term.upload;
    std::string strLog;
    int c;
    while ((c = getopt_long(argc, argv, "d:b:t:vil:h", kOptions, nullptr)) != -1) {
        switch (c) {
        case 'd': strDevice = optarg; break;
        case kOptSim: fSim = true; break;
        case 'b':
            if (!ParseBaud(optarg, &nBaud)) {
                Say("unknown rate %s (the rates: 9600 19200 38400 57600 115200)", optarg);
                return kExitTrouble;
            }
            fBaudGiven = true;
            break;
        case 't':
            if (!ParseTimeout(optarg, &opt.dTimeout)) {
                Say("--timeout wants seconds, e.g. 10 or 0.5 (0: for ever), not '%s'", optarg);
                return kExitTrouble;
            }
            break;
        case 'v': opt.fVisible = true; break;
        case 'i': fInteractive = true; break;
        case kOptRaw: term.fRaw = true; break;
        case kOptHex: term.fHex = true; break;
        case 'l': strLog = optarg; break;
        case 'h': fputs(kUsage, stdout); return kExitOk;
        default: fputs("Try 'velka-load --help'.\n", stderr); return kExitTrouble;
        }
    }
    if (optind == argc && !fInteractive) {
        Say("no source file named (velka-load --help tells how)");
        return kExitTrouble;
    }
    if (fSim && !strDevice.empty()) {
        Say("--sim and --device name two boards: give one");
        return kExitTrouble;
    }
    if (!fSim && strDevice.empty()) {
        if (const char* psz = getenv("VELKA_DEVICE")) strDevice = psz;
    }
    // What Velka's Save Setup kept in this directory: the rate, and on Windows the port.
    int nSavedBaud = kDefaultBaud;
    std::string strSavedDevice, strWhy;
    const int nSettings = ReadSettingsFile("VELKA.SET", &nSavedBaud, &strSavedDevice, &strWhy);
    if (!fSim && strDevice.empty()) strDevice = strSavedDevice;
    if (!fSim && strDevice.empty()) {
        Say("no device named: give -d DEVICE, or set VELKA_DEVICE");
        ListDevices();
        return kExitTrouble;
    }
    if (!fBaudGiven && nSettings < 0) {
        Say("VELKA.SET here gives %s, not one of the rates: give -b RATE", strWhy.c_str());
        return kExitTrouble;
    }
    if (!fBaudGiven && nSettings > 0) nBaud = nSavedBaud;

    Plan plan;
    SentFiles sent;
    if (!MakePlan(std::vector<std::string>(argv + optind, argv + argc), sent, &plan))
        return kExitTrouble;

    if (!strLog.empty() && !OpenSessionLog(strLog)) return kExitTrouble;

    CatchInterruptions();
    if (opt.dTimeout > 0) gLine.dNegotiateSeconds = opt.dTimeout; // rfc2217: within -t
    const bool fOpen =
        fSim ? StartSimulated(argv[0], nBaud, &gLine) : OpenLine(strDevice, nBaud, &gLine);
    if (!fOpen) return Finish(kExitTrouble);
    LogEvent("connected to %s at %d baud", gLine.name.c_str(), nBaud);

    const int nExit = Upload(&gLine, plan, opt, &sent);
    if (!fInteractive) return Finish(nExit);
    // In the session, the files can be fixed and sent again: whatever became of them, it
    // begins; the files named are what the repeat key uploads.
    if (nExit >= 128) ClearInterruption();
    for (int i = optind; i < argc; ++i)
        if (strcmp(argv[i], "-") != 0) term.lastUpload.push_back(argv[i]); // stdin is read once
    return Finish(RunTerminal(&gLine, term, &sent));
}
