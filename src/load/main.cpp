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
  -i, --interactive    after the files (or with none) stay connected as a terminal:
                       keys go to the board, its bytes to the screen, until Ctrl-]
  -h, --help           this text

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
    static const option kOptions[] = {
        {"device", required_argument, nullptr, 'd'}, {"sim", no_argument, nullptr, kOptSim},
        {"baud", required_argument, nullptr, 'b'},   {"timeout", required_argument, nullptr, 't'},
        {"visible", no_argument, nullptr, 'v'},      {"interactive", no_argument, nullptr, 'i'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0}};
    std::string strDevice;
    bool fSim = false, fInteractive = false, fBaudGiven = false;
    int nBaud = kDefaultBaud;
    UploadOptions opt;
    int c;
    while ((c = getopt_long(argc, argv, "d:b:t:vih", kOptions, nullptr)) != -1) {
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

    CatchInterruptions();
    if (opt.dTimeout > 0) gLine.dNegotiateSeconds = opt.dTimeout; // rfc2217: within -t
    const bool fOpen =
        fSim ? StartSimulated(argv[0], nBaud, &gLine) : OpenLine(strDevice, nBaud, &gLine);
    if (!fOpen) return Finish(kExitTrouble);

    const int nExit = Upload(&gLine, plan, opt, &sent);
    if (nExit != kExitOk) return Finish(nExit);
    if (fInteractive) return Finish(RunTerminal(&gLine));
    return Finish(kExitOk);
}
