// platform_posix.cpp: velka-load's platform layer on Linux. The line is a serial device
// set up with termios and locked with flock, a TCP socket, or the simulated board's pty;
// every wait is one ppoll that lets the ending signals in, so none can slip between a test
// of Interruption() and the wait.
#include "platform.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

struct Port {
    int fd = -1;
    bool fTty = false;    // a terminal device: its settings are put back at the end
    bool fSerial = false; // a real serial line, not the simulated board's pty
    termios saved{};
    pid_t pidSim = -1; // the simulated board this run started
    int nErr = 0;      // errno of the last failure
};

namespace {

struct Rate {
    int nBaud;
    speed_t speed;
};
constexpr Rate kRates[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

constexpr int kSimStartTimeoutMs = 10000;
constexpr int kSimEndTimeoutMs = 2000;
constexpr size_t kSysLineSize = 256;

volatile sig_atomic_t gnSignal = 0;
sigset_t gWaitMask; // the ending signals unblocked, for ppoll
termios gSavedConsole;
bool gfConsoleRaw = false;
int gnLastErr = 0;

void OnSignal(int nSignal) {
    if (!gnSignal) gnSignal = nSignal;
}

const Rate* FindRate(int nBaud) {
    for (const Rate& r : kRates)
        if (r.nBaud == nBaud) return &r;
    return nullptr;
}

// ppoll's time-out for a deadline; nullptr for none.
timespec* TimeLeft(double dDeadline, timespec* pts) {
    if (dDeadline < 0) return nullptr;
    const double dLeft = std::max(0.0, dDeadline - Now());
    pts->tv_sec = static_cast<time_t>(dLeft);
    pts->tv_nsec = static_cast<long>((dLeft - static_cast<double>(pts->tv_sec)) * 1e9);
    return pts;
}

// Waits for the fds (the first n of pfd); > 0 ready, kIoTimedOut, kIoInterrupted.
int WaitFds(pollfd* pfd, nfds_t n, double dDeadline) {
    for (;;) {
        if (gnSignal) return static_cast<int>(kIoInterrupted);
        timespec ts;
        const int nReady = ppoll(pfd, n, TimeLeft(dDeadline, &ts), &gWaitMask);
        if (nReady >= 0) return nReady;
        if (errno != EINTR) return static_cast<int>(kIoFailed);
    }
}

std::string DeviceGroupHint(const std::string& strDevice) {
    struct stat st;
    std::string strGroup = "dialout";
    if (stat(strDevice.c_str(), &st) == 0) {
        if (const group* g = getgrgid(st.st_gid)) strGroup = g->gr_name;
    }
    return "add yourself to the " + strGroup + " group (sudo adduser $USER " + strGroup +
           "), then log in again";
}

bool SetUpTty(Port* p, const Rate& rate, const std::string& strName, std::string* pstrWhy) {
    termios t;
    if (tcgetattr(p->fd, &t) != 0) {
        *pstrWhy = strName + " is not a serial device";
        return false;
    }
    p->saved = t;
    p->fTty = true;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, rate.speed);
    cfsetospeed(&t, rate.speed);
    if (tcsetattr(p->fd, TCSANOW, &t) != 0) {
        *pstrWhy =
            strName + ": cannot set " + std::to_string(rate.nBaud) + " baud: " + strerror(errno);
        return false;
    }
    // A pty has no modem lines; a real port raises DTR as Velka does.
    int nDtr = TIOCM_DTR;
    ioctl(p->fd, TIOCMBIS, &nDtr);
    // What the board sent before (a banner, the answer to an earlier key) is no answer.
    tcflush(p->fd, TCIFLUSH);
    return true;
}

// The simulated board's script: VELKA_NIVORSIM, else beside an installed velka-load in its
// share folder, else in the folder it was built to look in (the source tree's, or the
// package's).
std::string FindSimulator(const char* pszArgv0) {
    if (const char* psz = getenv("VELKA_NIVORSIM")) return psz;
    char szExe[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    std::string strExe = n > 0 ? std::string(szExe, static_cast<size_t>(n)) : pszArgv0;
    const std::string strDir = strExe.substr(0, strExe.rfind('/') + 1);
    const std::string strShared = strDir + "../share/velka/nivorsim/nivorsim.py";
    if (access(strShared.c_str(), R_OK) == 0) return strShared;
#ifdef VELKA_SIM_DIR
    const std::string strBuilt = VELKA_SIM_DIR "/nivorsim.py";
    if (access(strBuilt.c_str(), R_OK) == 0) return strBuilt;
#endif
    return strShared;
}

bool FindOnPath(const char* pszProgram) {
    const char* pszPath = getenv("PATH");
    std::string strPath = pszPath ? pszPath : "/usr/bin:/bin";
    size_t at = 0;
    while (at <= strPath.size()) {
        const size_t end = std::min(strPath.find(':', at), strPath.size());
        const std::string strDir = end > at ? strPath.substr(at, end - at) : ".";
        if (access((strDir + "/" + pszProgram).c_str(), X_OK) == 0) return true;
        at = end + 1;
    }
    return false;
}

// The pty the simulated board names on the first line it prints.
std::string ReadSimulatorPty(int fd) {
    std::string strPty;
    const double dDeadline = Now() + kSimStartTimeoutMs / 1000.0;
    char c;
    while (strPty.size() < PATH_MAX) {
        pollfd pfd{fd, POLLIN, 0};
        if (WaitFds(&pfd, 1, dDeadline) <= 0) break;
        if (read(fd, &c, 1) != 1 || c == '\n') break;
        strPty += c;
    }
    return strPty;
}

void EndSimulator(pid_t pid) {
    kill(pid, SIGTERM);
    const double dDeadline = Now() + kSimEndTimeoutMs / 1000.0;
    while (waitpid(pid, nullptr, WNOHANG) == 0) {
        if (Now() > dDeadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return;
        }
        usleep(10000);
    }
}

std::string ReadSysFile(const std::string& strPath) {
    FILE* f = fopen(strPath.c_str(), "r");
    if (!f) return "";
    char sz[kSysLineSize] = "";
    if (!fgets(sz, sizeof sz, f)) sz[0] = '\0';
    fclose(f);
    std::string s = sz;
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

std::string SysRoot() {
    const char* psz = getenv("VELKA_SYS_ROOT"); // for the tests: a made-up /sys and /dev
    return psz ? psz : "";
}

// "manufacturer product (serial)" of the USB device a tty hangs off, if it is one.
std::string UsbDescription(const std::string& strTtyDir) {
    char szReal[PATH_MAX];
    if (!realpath((strTtyDir + "/device").c_str(), szReal)) return "";
    std::string strDir = szReal;
    for (int i = 0; i < 6 && strDir.size() > 1; ++i) {
        const std::string strProduct = ReadSysFile(strDir + "/product");
        if (!strProduct.empty()) {
            std::string s = ReadSysFile(strDir + "/manufacturer");
            s += (s.empty() ? "" : " ") + strProduct;
            const std::string strSerial = ReadSysFile(strDir + "/serial");
            if (!strSerial.empty()) s += " (serial " + strSerial + ")";
            return s;
        }
        strDir = strDir.substr(0, strDir.rfind('/'));
    }
    return "";
}

bool IsSerialName(const char* psz) {
    for (const char* pszPrefix : {"ttyUSB", "ttyACM", "ttyAMA", "ttyS", "ttyXRUSB", "rfcomm"})
        if (strncmp(psz, pszPrefix, strlen(pszPrefix)) == 0) return true;
    return false;
}

std::vector<std::string> ListDir(const std::string& strDir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(strDir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The stable names under /dev/serial/by-id that lead to the tty.
std::string ByIdLinks(const std::string& strById, const std::vector<std::string>& byId,
                      const std::string& strName) {
    std::string s;
    for (const std::string& strLink : byId) {
        char szTarget[PATH_MAX];
        if (!realpath((strById + "/" + strLink).c_str(), szTarget)) continue;
        const std::string strTarget = szTarget;
        const size_t n = strName.size();
        if (strTarget.size() > n && strTarget.compare(strTarget.size() - n, n, strName) == 0 &&
            strTarget[strTarget.size() - n - 1] == '/')
            s += "\n      /dev/serial/by-id/" + strLink;
    }
    return s;
}

} // namespace

// ---- Time and interruption.

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// The ending signals stay blocked but while a wait (ppoll) lets them in.
void CatchInterruptions() {
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

int Interruption() {
    return gnSignal;
}

void ClearInterruption() {
    gnSignal = 0;
}

void SleepUntil(double dWhen) {
    if (dWhen > Now()) WaitFds(nullptr, 0, dWhen);
}

// ---- Files.

bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>* pBytes, std::string* pstrWhy) {
    const bool fStdin = strPath == "-";
    const int fd = fStdin ? dup(STDIN_FILENO) : open(strPath.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) {
        *pstrWhy = strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *pstrWhy = "is a directory, not a source file";
        close(fd);
        return false;
    }
    uint8_t ab[4096];
    for (;;) {
        const ssize_t n = read(fd, ab, sizeof ab);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            *pstrWhy = strerror(errno);
            close(fd);
            return false;
        }
        pBytes->insert(pBytes->end(), ab, ab + n);
    }
    close(fd);
    return true;
}

std::string FileIdentity(const std::string& strPath) {
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0) return "";
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool IsPathSeparator(char c) {
    return c == '/';
}

std::vector<std::string> ListFolder(const std::string& strDir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(strDir.empty() ? "." : strDir.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string strName = e->d_name;
            if (strName == "." || strName == "..") continue;
            struct stat st;
            const bool fDir = stat((strDir + strName).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            names.push_back(fDir ? strName + "/" : strName);
        }
        closedir(d);
    }
    return names;
}

bool IsAbsolutePath(const std::string& strPath) {
    return !strPath.empty() && strPath[0] == '/';
}

// ---- The line.

bool DeviceExists(const std::string& strDevice) {
    struct stat st;
    return stat(strDevice.c_str(), &st) == 0;
}

std::string DeviceOfSettingsPort(int) {
    return ""; // COM numbers name nothing here
}

Port* OpenSerialPort(const std::string& strDevice, int nBaud, std::string* pstrWhy) {
    const Rate* pRate = FindRate(nBaud);
    const int fd = open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int nErr = errno;
        if (nErr == EACCES)
            *pstrWhy = strDevice + ": permission denied: " + DeviceGroupHint(strDevice);
        else if (nErr == ENOENT)
            *pstrWhy = strDevice + ": no such device (velka-load without -d lists those present)";
        else
            *pstrWhy = strDevice + ": " + strerror(nErr);
        return nullptr;
    }
    Port* p = new Port;
    p->fd = fd;
    if (!isatty(fd) || !pRate) {
        *pstrWhy = strDevice + " is not a serial device";
        ClosePort(p);
        return nullptr;
    }
    // The lock serial tools on Linux take on the device itself; a second upload is refused
    // instead of mixing its lines into the first one's.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        *pstrWhy = strDevice + " is in use by another program";
        ClosePort(p);
        return nullptr;
    }
    if (!SetUpTty(p, *pRate, strDevice, pstrWhy)) {
        ClosePort(p);
        return nullptr;
    }
    p->fSerial = true;
    return p;
}

Port* OpenTcpPort(const std::string& strHost, const std::string& strPort, double dDeadline,
                  std::string* pstrWhy) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    const int nGai = getaddrinfo(strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (nGai != 0) {
        *pstrWhy = gai_strerror(nGai);
        return nullptr;
    }
    int nErr = ECONNREFUSED;
    int fdOpen = -1;
    for (addrinfo* a = pList; a && fdOpen < 0 && !gnSignal; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) {
            nErr = errno; // not "refused": the cause is here, not at the server
            continue;
        }
        nErr = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            nErr = errno;
            if (nErr == EINPROGRESS) {
                pollfd pfd{fd, POLLOUT, 0};
                const int nReady = WaitFds(&pfd, 1, dDeadline);
                socklen_t nLen = sizeof nErr;
                if (nReady > 0)
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &nErr, &nLen);
                else
                    nErr = nReady == 0 ? ETIMEDOUT : EINTR;
            }
        }
        if (nErr == 0) {
            const int nOne = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nOne, sizeof nOne);
            fdOpen = fd;
        } else {
            close(fd);
        }
    }
    freeaddrinfo(pList);
    if (fdOpen < 0) {
        *pstrWhy = gnSignal ? "" : strerror(nErr);
        return nullptr;
    }
    Port* p = new Port;
    p->fd = fdOpen;
    return p;
}

Port* StartSimulatedBoard(const char* pszArgv0, int nBaud, std::string* pstrWhy) {
    const std::string strSim = FindSimulator(pszArgv0);
    if (!FindOnPath("python3")) {
        *pstrWhy = "--sim needs python3, which is not installed (sudo apt-get install python3)";
        return nullptr;
    }
    if (access(strSim.c_str(), R_OK) != 0) {
        *pstrWhy = "--sim: the simulated board is not at " + strSim;
        return nullptr;
    }
    int aPipe[2];
    if (pipe2(aPipe, O_CLOEXEC) != 0) {
        *pstrWhy = std::string("--sim: ") + strerror(errno);
        return nullptr;
    }
    const pid_t pid = fork();
    if (pid < 0) {
        *pstrWhy = std::string("--sim: ") + strerror(errno);
        close(aPipe[0]);
        close(aPipe[1]);
        return nullptr;
    }
    if (pid == 0) {
        // A process group of its own: the terminal's Ctrl+C reaches velka-load only, which
        // ends the board itself.
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM); // nor does it outlive a velka-load killed outright
        dup2(aPipe[1], STDOUT_FILENO);
        const int fdNull = open("/dev/null", O_RDONLY);
        if (fdNull >= 0) dup2(fdNull, STDIN_FILENO);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        execlp("python3", "python3", "-B", strSim.c_str(), "--forth", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(aPipe[1]);
    const std::string strPty = ReadSimulatorPty(aPipe[0]);
    close(aPipe[0]);
    if (strPty.empty() || strPty[0] != '/') {
        EndSimulator(pid);
        *pstrWhy = gnSignal ? "" : "--sim: the simulated board did not start (" + strSim + ")";
        return nullptr;
    }
    Port* p = OpenSerialPort(strPty, nBaud, pstrWhy);
    if (!p) {
        EndSimulator(pid);
        return nullptr;
    }
    p->fSerial = false; // its pty takes a line at once, whatever the rate
    p->pidSim = pid;
    return p;
}

void ClosePort(Port* p) {
    if (!p) return;
    if (p->fd >= 0) {
        if (p->fTty) {
            tcdrain(p->fd);
            tcsetattr(p->fd, TCSANOW, &p->saved);
        }
        close(p->fd);
    }
    if (p->pidSim > 0) EndSimulator(p->pidSim);
    delete p;
}

bool IsSerialPort(const Port* p) {
    return p->fSerial;
}

long ReadPort(Port* p, uint8_t* pb, size_t nMax, double dDeadline) {
    for (;;) {
        const ssize_t n = read(p->fd, pb, nMax);
        if (n > 0) return n;
        // A pty whose other end closed reads EIO, a socket 0: the board is gone.
        if (n == 0 || errno == EIO || errno == ENXIO || errno == ENODEV) return kIoHungUp;
        if (errno != EAGAIN && errno != EINTR) {
            p->nErr = errno;
            return kIoFailed;
        }
        pollfd pfd{p->fd, POLLIN, 0};
        const int nReady = WaitFds(&pfd, 1, dDeadline);
        if (nReady <= 0) return nReady;
    }
}

long WritePort(Port* p, const uint8_t* pb, size_t n, double dDeadline) {
    size_t nDone = 0;
    while (nDone < n) {
        const ssize_t nWritten = write(p->fd, pb + nDone, n - nDone);
        if (nWritten > 0) {
            nDone += static_cast<size_t>(nWritten);
            continue;
        }
        if (nWritten < 0 && (errno == EIO || errno == EPIPE || errno == ECONNRESET ||
                             errno == ENXIO || errno == ENODEV))
            return kIoHungUp;
        if (nWritten < 0 && errno != EAGAIN && errno != EINTR) {
            p->nErr = errno;
            return kIoFailed;
        }
        pollfd pfd{p->fd, POLLOUT, 0};
        const int nReady = WaitFds(&pfd, 1, dDeadline);
        if (nReady <= 0) return nReady;
    }
    return static_cast<long>(n);
}

std::string PortError(const Port* p) {
    return strerror(p->nErr);
}

std::vector<std::string> ListPorts() {
    const std::string strRoot = SysRoot();
    const std::string strById = strRoot + "/dev/serial/by-id";
    const std::vector<std::string> byId = ListDir(strById);
    const std::string strClass = strRoot + "/sys/class/tty";
    std::vector<std::string> lines;
    for (const std::string& strName : ListDir(strClass)) {
        if (!IsSerialName(strName.c_str())) continue;
        const std::string strDir = strClass + "/" + strName;
        // Every PC has ttyS0 to ttyS31; only those with a UART behind them count.
        if (strName.compare(0, 4, "ttyS") == 0) {
            const std::string strType = ReadSysFile(strDir + "/type");
            if (strType.empty() || strType == "0") continue;
        }
        struct stat st;
        if (lstat((strDir + "/device").c_str(), &st) != 0) continue;
        std::string s = "/dev/" + strName;
        const std::string strUsb = UsbDescription(strDir);
        if (!strUsb.empty()) s += "  " + strUsb;
        lines.push_back(s + ByIdLinks(strById, byId, strName));
    }
    return lines;
}

// ---- The console.

bool IsConsole(Stream stream) {
    return isatty(stream == Stream::In    ? STDIN_FILENO
                  : stream == Stream::Out ? STDOUT_FILENO
                                          : STDERR_FILENO);
}

const char* EraseLineText() {
    return "\r\033[K";
}

bool SetRawKeys(bool fRaw, bool fInterruptKeys) {
    if (!fRaw) {
        RestoreConsole();
        return true;
    }
    if (gfConsoleRaw || tcgetattr(STDIN_FILENO, &gSavedConsole) != 0) return gfConsoleRaw;
    termios t = gSavedConsole;
    cfmakeraw(&t);
    t.c_oflag = gSavedConsole.c_oflag; // output as the terminal has it: LF starts a row
    // Ctrl+C still ends velka-load, as any command's, unless the keys are all the board's
    // (cfmakeraw has taken ISIG off); Ctrl+Z goes to the board, since a
    // stopped velka-load would leave the terminal raw.
    if (fInterruptKeys) t.c_lflag |= ISIG;
    t.c_cc[VSUSP] = _POSIX_VDISABLE;
    gfConsoleRaw = tcsetattr(STDIN_FILENO, TCSAFLUSH, &t) == 0;
    return gfConsoleRaw;
}

void RestoreConsole() {
    StopLineEditor();
    if (gfConsoleRaw) tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedConsole);
    gfConsoleRaw = false;
}

void FlushKeys() {
    tcflush(STDIN_FILENO, TCIFLUSH);
}

int WaitPortOrKeys(Port* p, bool fKeys, double dDeadline) {
    pollfd pfd[2] = {{p ? p->fd : -1, POLLIN, 0}, {fKeys ? STDIN_FILENO : -1, POLLIN, 0}};
    const int nReady = WaitFds(pfd, 2, dDeadline);
    if (nReady <= 0) return nReady;
    return (pfd[0].revents ? kReadyPort : 0) | (pfd[1].revents ? kReadyKeys : 0);
}

long ReadKeys(uint8_t* pb, size_t nMax) {
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, pb, nMax);
        if (n >= 0) return n;
        if (errno == EINTR && !gnSignal) continue;
        if (errno == EINTR) return kIoInterrupted;
        gnLastErr = errno;
        return kIoFailed;
    }
}

std::string PlatformError() {
    return strerror(gnLastErr);
}
