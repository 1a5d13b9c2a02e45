// line.cpp: the line velka-load talks on. A serial device opened as Velka opens a port
// (8 data bits, no parity, one stop bit, raw, no flow control, DTR raised), locked so
// that two uploads never interleave; a network serial server over raw TCP; or the
// simulated board on a pty of its own. Also the rate kept in VELKA.SET and the list of
// serial devices shown when none is named. And rfc2217://HOST:PORT, Telnet with the
// COM-PORT-OPTION over TCP (telnet.cpp), which sets the server's port as a local one.
#include "load.h"
#include "setfile.h"

#include <algorithm>
#include <cerrno>
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
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

struct Rate {
    int nBaud;
    speed_t speed;
};
constexpr Rate kRates[] = {
    {9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};

constexpr int kConnectTimeoutMs = 5000;
constexpr int kBitsPerByte = 10; // start bit, 8 data bits, stop bit
constexpr int kSimStartTimeoutMs = 10000;
constexpr int kSimEndTimeoutMs = 2000;

termios gSavedPort;
int gnSavedPortFd = -1;

const Rate* FindRate(int nBaud) {
    for (const Rate& r : kRates)
        if (r.nBaud == nBaud) return &r;
    return nullptr;
}

long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

// Waits for one event on fd, or a signal, or the time; >0 ready, 0 time out, <0 signal
// or error (errno EINTR for a signal).
int WaitFd(int fd, short events, int nMs) {
    if (gnSignal) {
        errno = EINTR;
        return -1;
    }
    pollfd pfd{fd, events, 0};
    timespec ts{nMs / 1000, (nMs % 1000) * 1000000L};
    const int n = ppoll(&pfd, 1, nMs < 0 ? nullptr : &ts, &gWaitMask);
    if (n < 0 && errno == EINTR && !gnSignal) return WaitFd(fd, events, nMs);
    return n;
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

bool SetUpTty(int fd, const Rate& rate, const char* pszName) {
    termios t;
    if (tcgetattr(fd, &t) != 0) {
        Say("%s is not a serial device", pszName);
        return false;
    }
    gSavedPort = t;
    gnSavedPortFd = fd;
    cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    cfsetispeed(&t, rate.speed);
    cfsetospeed(&t, rate.speed);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        Say("%s: cannot set %d baud: %s", pszName, rate.nBaud, strerror(errno));
        return false;
    }
    // A pty has no modem lines; a real port raises DTR as Velka does.
    int nDtr = TIOCM_DTR;
    ioctl(fd, TIOCMBIS, &nDtr);
    // What the board sent before (a banner, the answer to an earlier key) is no answer.
    tcflush(fd, TCIFLUSH);
    return true;
}

// HOST:PORT, or [HOST]:PORT for an IPv6 address; a device path has a '/'.
bool SplitHostPort(const std::string& s, std::string* pHost, std::string* pPort) {
    if (s.find('/') != std::string::npos) return false;
    const size_t colon = s.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= s.size()) return false;
    const std::string port = s.substr(colon + 1);
    if (port.find_first_not_of("0123456789") != std::string::npos) return false;
    std::string host = s.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    *pHost = host;
    *pPort = port;
    return true;
}

// ---- rfc2217 (issue 34): the negotiation run on the socket, with deadlines on NowMs.
constexpr char kRfc2217Prefix[] = "rfc2217://";

bool OpenTelnet(int nBaud, Line* pLine) {
    const int fd = pLine->fd;
    auto msLeft = [](double dDeadline) {
        return std::max(0, static_cast<int>(dDeadline * 1000 - static_cast<double>(NowMs())));
    };
    TelnetIo io;
    io.Now = [] { return static_cast<double>(NowMs()) / 1000; };
    io.Read = [fd, msLeft](uint8_t* pb, size_t n, double dDeadline) -> long {
        for (;;) {
            const int nReady = WaitFd(fd, POLLIN, msLeft(dDeadline));
            if (nReady == 0) return 0;
            if (nReady < 0) return -1;
            const ssize_t nRead = read(fd, pb, n);
            if (nRead > 0) return nRead;
            if (nRead == 0) errno = 0; // the server hung up
            if (nRead == 0 || (errno != EAGAIN && errno != EINTR)) return -1;
        }
    };
    io.Write = [fd, msLeft](const uint8_t* pb, size_t n, double dDeadline) {
        while (n > 0) {
            const ssize_t nDone = write(fd, pb, n);
            if (nDone > 0) {
                pb += nDone;
                n -= static_cast<size_t>(nDone);
            } else if (nDone < 0 && errno != EAGAIN && errno != EINTR) {
                return false;
            } else if (WaitFd(fd, POLLOUT, msLeft(dDeadline)) <= 0) {
                if (!gnSignal) errno = ETIMEDOUT;
                return false;
            }
        }
        return true;
    };
    std::string strNotice;
    const double dDeadline = io.Now() + pLine->dNegotiateSeconds;
    if (!NegotiateComPort(&pLine->telnet, static_cast<uint32_t>(nBaud), io, dDeadline,
                          &strNotice)) {
        if (!gnSignal)
            Say("%s: %s", pLine->name.c_str(), errno == 0 ? "the server hung up" : strerror(errno));
        return false;
    }
    if (!strNotice.empty())
        Say("%s: %s", pLine->name.c_str() + sizeof kRfc2217Prefix - 1, strNotice.c_str());
    return true;
}

bool OpenTcp(const std::string& strHost, const std::string& strPort, int nBaud, Line* pLine) {
    const long nPort = strtol(strPort.c_str(), nullptr, 10);
    if (nPort < 1 || nPort > 65535) {
        Say("%s: a port from 1 to 65535, please", pLine->name.c_str());
        return false;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* pList = nullptr;
    const int nGai = getaddrinfo(strHost.c_str(), strPort.c_str(), &hints, &pList);
    if (nGai != 0) {
        Say("%s: %s", pLine->name.c_str(), gai_strerror(nGai));
        return false;
    }
    int nErr = ECONNREFUSED;
    for (addrinfo* a = pList; a && !gnSignal; a = a->ai_next) {
        const int fd =
            socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0) continue;
        nErr = 0;
        if (connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            nErr = errno;
            if (nErr == EINPROGRESS) {
                const int nReady = WaitFd(fd, POLLOUT, kConnectTimeoutMs);
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
            pLine->fd = fd;
            break;
        }
        close(fd);
    }
    freeaddrinfo(pList);
    if (pLine->fd < 0) {
        if (!gnSignal) Say("cannot connect to %s: %s", pLine->name.c_str(), strerror(nErr));
        return false;
    }
    // rfc2217: the negotiation drops what came before, within its deadline.
    if (pLine->fTelnet) return OpenTelnet(nBaud, pLine);
    // A server's greeting, or bytes left from an earlier client, answer no line of ours.
    uint8_t ab[kReadSize];
    while (WaitFd(pLine->fd, POLLIN, 50) > 0 && read(pLine->fd, ab, sizeof ab) > 0) {
    }
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

std::string ReadSysFile(const std::string& strPath) {
    FILE* f = fopen(strPath.c_str(), "r");
    if (!f) return "";
    char sz[256] = "";
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

} // namespace

bool ParseBaud(const char* psz, int* pnBaud) {
    char* pEnd = nullptr;
    const long n = strtol(psz, &pEnd, 10);
    if (pEnd == psz || *pEnd != '\0' || !FindRate(static_cast<int>(n))) return false;
    *pnBaud = static_cast<int>(n);
    return true;
}

// 1: the file gave a rate; 0: there is no such file; -1: it gives no rate velka-load has.
int BaudFromSettingsFile(const char* pszPath, int* pnBaud, std::string* pstrWhy) {
    FILE* f = fopen(pszPath, "rb");
    if (!f) return 0;
    uint8_t ab[kPrefBufSize] = {};
    const size_t n = fread(ab, 1, sizeof ab, f);
    fclose(f);
    // As Velka reads it: a place the file does not reach is 0.
    const int nBaud = setfile::BaudOfCode(n > setfile::kBaudAt ? ab[setfile::kBaudAt] : 0);
    if (!FindRate(nBaud)) {
        *pstrWhy = std::to_string(nBaud) + " baud";
        return -1;
    }
    *pnBaud = nBaud;
    return 1;
}

bool OpenLine(const std::string& strDevice, int nBaud, Line* pLine) {
    pLine->name = strDevice;
    std::string strHost, strPort;
    if (strDevice.compare(0, sizeof kRfc2217Prefix - 1, kRfc2217Prefix) == 0) {
        if (!SplitHostPort(strDevice.substr(sizeof kRfc2217Prefix - 1), &strHost, &strPort)) {
            Say("%s: rfc2217://HOST:PORT, please", strDevice.c_str());
            return false;
        }
        pLine->fTelnet = true;
        pLine->telnet = TelnetState{};
        return OpenTcp(strHost, strPort, nBaud, pLine);
    }
    struct stat st;
    if (stat(strDevice.c_str(), &st) != 0 && SplitHostPort(strDevice, &strHost, &strPort))
        return OpenTcp(strHost, strPort, nBaud, pLine);

    const int fd = open(strDevice.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int nErr = errno;
        if (nErr == EACCES)
            Say("%s: permission denied: %s", strDevice.c_str(), DeviceGroupHint(strDevice).c_str());
        else if (nErr == ENOENT)
            Say("%s: no such device (velka-load without -d lists those present)",
                strDevice.c_str());
        else
            Say("%s: %s", strDevice.c_str(), strerror(nErr));
        return false;
    }
    if (!isatty(fd)) {
        Say("%s is not a serial device", strDevice.c_str());
        close(fd);
        return false;
    }
    // The lock serial tools on Linux take on the device itself; a second upload is refused
    // instead of mixing its lines into the first one's.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        Say("%s is in use by another program", strDevice.c_str());
        close(fd);
        return false;
    }
    pLine->fd = fd;
    pLine->fTty = true;
    pLine->dByteSeconds = static_cast<double>(kBitsPerByte) / nBaud;
    const Rate* pRate = FindRate(nBaud);
    if (!SetUpTty(fd, *pRate, strDevice.c_str())) {
        CloseLine(pLine);
        return false;
    }
    return true;
}

bool StartSimulatedBoard(const char* pszArgv0, int nBaud, Line* pLine) {
    const std::string strSim = FindSimulator(pszArgv0);
    if (!FindOnPath("python3")) {
        Say("--sim needs python3, which is not installed (sudo apt-get install python3)");
        return false;
    }
    if (access(strSim.c_str(), R_OK) != 0) {
        Say("--sim: the simulated board is not at %s", strSim.c_str());
        return false;
    }
    int aPipe[2];
    if (pipe2(aPipe, O_CLOEXEC) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) {
        Say("--sim: %s", strerror(errno));
        return false;
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
    pLine->pidSim = pid;
    // Its first line names the pty it serves.
    std::string strPty;
    const long nDeadline = NowMs() + kSimStartTimeoutMs;
    char c;
    while (strPty.size() < PATH_MAX) {
        const long nLeft = nDeadline - NowMs();
        if (nLeft <= 0 || WaitFd(aPipe[0], POLLIN, static_cast<int>(nLeft)) <= 0) break;
        if (read(aPipe[0], &c, 1) != 1 || c == '\n') break;
        strPty += c;
    }
    close(aPipe[0]);
    if (strPty.empty() || strPty[0] != '/') {
        if (!gnSignal) Say("--sim: the simulated board did not start (%s)", strSim.c_str());
        CloseLine(pLine);
        return false;
    }
    const pid_t pidSim = pLine->pidSim;
    pLine->pidSim = -1; // OpenLine starts the line afresh
    const bool fOpen = OpenLine(strPty, nBaud, pLine);
    pLine->pidSim = pidSim;
    pLine->name = "the simulated board";
    pLine->dByteSeconds = 0; // its pty takes a line at once, whatever the rate
    if (!fOpen) CloseLine(pLine);
    return fOpen;
}

void CloseLine(Line* pLine) {
    if (pLine->fd >= 0) {
        if (pLine->fTty && gnSavedPortFd == pLine->fd) {
            tcdrain(pLine->fd);
            tcsetattr(pLine->fd, TCSANOW, &gSavedPort);
        }
        close(pLine->fd);
        pLine->fd = -1;
        gnSavedPortFd = -1;
    }
    if (pLine->pidSim > 0) {
        kill(pLine->pidSim, SIGTERM);
        const long nDeadline = NowMs() + kSimEndTimeoutMs;
        while (waitpid(pLine->pidSim, nullptr, WNOHANG) == 0) {
            if (NowMs() > nDeadline) {
                kill(pLine->pidSim, SIGKILL);
                waitpid(pLine->pidSim, nullptr, 0);
                break;
            }
            usleep(10000);
        }
        pLine->pidSim = -1;
    }
}

bool WriteAll(int fd, const uint8_t* pb, size_t n) {
    while (n > 0) {
        const ssize_t nDone = write(fd, pb, n);
        if (nDone > 0) {
            pb += nDone;
            n -= static_cast<size_t>(nDone);
            continue;
        }
        if (nDone < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (WaitFd(fd, POLLOUT, -1) < 0 && gnSignal) return false;
    }
    return true;
}

// ---- rfc2217 (issue 34): the line's data through Telnet.
ssize_t ReadFromLine(Line* pLine, uint8_t* pb, size_t n) {
    const ssize_t nRead = read(pLine->fd, pb, n);
    if (nRead <= 0 || !pLine->fTelnet) return nRead;
    static std::vector<uint8_t> vReply;
    vReply.clear();
    const size_t nData = DecodeTelnet(&pLine->telnet, pb, static_cast<size_t>(nRead), pb, &vReply);
    if (!vReply.empty() && !WriteAll(pLine->fd, vReply.data(), vReply.size())) return -1;
    if (nData == 0) errno = EAGAIN; // commands only: no hang-up
    return nData ? static_cast<ssize_t>(nData) : -1;
}

bool WriteToLine(Line* pLine, const uint8_t* pb, size_t n) {
    if (!pLine->fTelnet) return WriteAll(pLine->fd, pb, n);
    static std::vector<uint8_t> vOut;
    vOut.clear();
    EncodeTelnet(&pLine->telnet, pb, n, &vOut);
    return WriteAll(pLine->fd, vOut.data(), vOut.size());
}

void ListSerialDevices() {
    const std::string strRoot = SysRoot();
    std::vector<std::string> lines;
    // Stable names first: they say which adapter is which.
    const std::string strById = strRoot + "/dev/serial/by-id";
    std::vector<std::string> byId;
    if (DIR* d = opendir(strById.c_str())) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            byId.push_back(e->d_name);
        }
        closedir(d);
    }
    const std::string strClass = strRoot + "/sys/class/tty";
    if (DIR* d = opendir(strClass.c_str())) {
        std::vector<std::string> names;
        while (dirent* e = readdir(d))
            if (IsSerialName(e->d_name)) names.push_back(e->d_name);
        closedir(d);
        std::sort(names.begin(), names.end());
        for (const std::string& strName : names) {
            const std::string strDir = strClass + "/" + strName;
            // Every PC has ttyS0 to ttyS31; only those with a UART behind them count.
            if (strName.compare(0, 4, "ttyS") == 0) {
                const std::string strType = ReadSysFile(strDir + "/type");
                if (strType.empty() || strType == "0") continue;
            }
            struct stat st;
            if (lstat((strDir + "/device").c_str(), &st) != 0) continue;
            std::string s = "  /dev/" + strName;
            const std::string strUsb = UsbDescription(strDir);
            if (!strUsb.empty()) s += "  " + strUsb;
            for (const std::string& strLink : byId) {
                char szTarget[PATH_MAX];
                if (!realpath((strById + "/" + strLink).c_str(), szTarget)) continue;
                const std::string strTarget = szTarget;
                if (strTarget.size() >= strName.size() &&
                    strTarget.compare(strTarget.size() - strName.size(), strName.size(), strName) ==
                        0 &&
                    strTarget[strTarget.size() - strName.size() - 1] == '/')
                    s += "\n      /dev/serial/by-id/" + strLink;
            }
            lines.push_back(s);
        }
    }
    if (lines.empty()) {
        SayRaw("No serial devices are present.\n");
    } else {
        SayRaw("Serial devices present:\n");
        for (const std::string& s : lines)
            SayRaw("%s\n", s.c_str());
    }
    SayRaw("Without a board: velka-load --sim FILE... uploads to the simulated one.\n");
}
