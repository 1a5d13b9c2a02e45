// main.cpp: velka-load's command line. Every file is checked before the first byte goes
// out; then the files go up one after the other, each line waiting for the board's
// answer, and with --interactive the line stays open as a plain terminal. Whatever ends
// it, the port's and the terminal's settings are put back first.
#include "load.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char kUsage[] = R"(Usage: velka-load [options] FILE...

Uploads each FILE (- for standard input) to a Nivor board as Velka does: blank lines,
leading blanks, comments and the loader directives are left out, and every line waits for
the board's answer, which ends at its CR; an answer holding "~" rejects the line and stops
everything.

  -d, --device DEV     a serial device (/dev/ttyUSB0, /dev/ttyACM0, /dev/serial/by-id/...)
                       or HOST:PORT, a network serial server carrying the line over raw
                       TCP, or rfc2217://HOST:PORT, one speaking Telnet with the serial
                       port settings of RFC 2217, which set its port's rate (IPv6 as
                       [ADDR]:PORT) (default: $VELKA_DEVICE)
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

void OnSignal(int nSignal) {
    if (!gnSignal) gnSignal = nSignal;
}

// The ending signals stay blocked but while a wait (ppoll) lets them in, so none can come
// between the test of gnSignal and the wait.
void CatchSignals() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int n : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(n, &sa, nullptr);
        sigaddset(&ending, n);
    }
    signal(SIGPIPE, SIG_IGN); // a server that hangs up is an error of the write
    sigprocmask(SIG_BLOCK, &ending, &gWaitMask);
    for (int n : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        sigdelset(&gWaitMask, n);
}

int Finish(int nExit) {
    RestoreTerminal();
    CloseLine(&gLine);
    fflush(stdout);
    // A signal that came while the line was being closed still ends as that signal.
    if (nExit < 128 && gnSignal) nExit = 128 + gnSignal;
    return nExit;
}

// "-" is standard input, named as compilers name it.
bool ReadSource(const char* pszPath, SourceText* pText) {
    const bool fStdin = strcmp(pszPath, "-") == 0;
    pText->name = fStdin ? "<stdin>" : pszPath;
    const int fd = fStdin ? dup(STDIN_FILENO) : open(pszPath, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        Say("%s: %s", pszPath, strerror(errno));
        if (fd >= 0) close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        Say("%s: is a directory, not a source file", pszPath);
        close(fd);
        return false;
    }
    uint8_t ab[kReadSize];
    for (;;) {
        const ssize_t n = read(fd, ab, sizeof ab);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            Say("%s: %s", pszPath, strerror(errno));
            close(fd);
            return false;
        }
        pText->bytes.insert(pText->bytes.end(), ab, ab + n);
    }
    close(fd);
    return true;
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
    if (!fSim && strDevice.empty()) {
        Say("no device named: give -d DEVICE, or set VELKA_DEVICE");
        ListSerialDevices();
        return kExitTrouble;
    }
    if (!fBaudGiven) {
        std::string strWhy;
        if (BaudFromSettingsFile("VELKA.SET", &nBaud, &strWhy) < 0) {
            Say("VELKA.SET here gives %s, not one of the rates: give -b RATE", strWhy.c_str());
            return kExitTrouble;
        }
    }

    // Every file is read before the first byte goes out.
    std::vector<SourceText> texts(static_cast<size_t>(argc - optind));
    for (int i = optind; i < argc; ++i)
        if (!ReadSource(argv[i], &texts[static_cast<size_t>(i - optind)])) return kExitTrouble;

    CatchSignals();
    if (opt.dTimeout > 0) gLine.dNegotiateSeconds = opt.dTimeout; // rfc2217: within -t
    const bool fOpen =
        fSim ? StartSimulatedBoard(argv[0], nBaud, &gLine) : OpenLine(strDevice, nBaud, &gLine);
    if (!fOpen) return Finish(kExitTrouble);

    for (SourceText& text : texts) {
        const int nExit = UploadFile(&gLine, &text, opt);
        if (nExit != kExitOk) return Finish(nExit);
    }
    if (fInteractive) return Finish(RunTerminal(&gLine));
    return Finish(kExitOk);
}
