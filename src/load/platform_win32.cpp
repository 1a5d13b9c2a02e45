// platform_win32.cpp: velka-load's platform layer on Windows. A COM port is opened
// overlapped and read ahead: one read stays posted, set up to finish as soon as any byte
// is there, so a wait for the board is one WaitForMultipleObjects on that read, the keys
// and the interruption event that the console's control handler sets. TCP is Winsock with
// an event per socket. Console keys are read as input events, so the terminal's mode can
// change without a read left pending in the old one; keys from a pipe come through a thread.
#include "platform.h"
#include "platform_win32.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <setupapi.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <io.h>

constexpr DWORD kPortReadSize = 4096;

struct Port {
    HANDLE hCom = INVALID_HANDLE_VALUE;
    SOCKET sock = INVALID_SOCKET;
    WSAEVENT hSockEvent = WSA_INVALID_EVENT;
    bool fSerial = false;
    DCB saved{};
    bool fSaved = false;
    OVERLAPPED ovRead{}, ovWrite{};
    bool fReadPending = false;
    bool fFailed = false; // the read that ran ahead failed: nErr says why
    uint8_t abRead[kPortReadSize];
    DWORD nRead = 0, atRead = 0; // a finished read's bytes not yet taken
    DWORD nErr = 0;
    HANDLE hSim = nullptr;  // the simulated board's process
    HANDLE hHeld = nullptr; // the port's name held against a second velka-load
};

namespace {

constexpr DWORD kQueueSize = 4096;
constexpr DWORD kReadWaitMs = 60000; // a posted read that saw nothing ends, and is posted again
constexpr DWORD kSimStartMs = 10000;
constexpr DWORD kSimEndMs = 2000;
constexpr size_t kKeyBufferSize = 4096;
constexpr size_t kNameSize = 256;

std::atomic<int> gnSignal{0};
HANDLE ghInterrupt = nullptr; // set by the control handler; every wait wakes for it
DWORD gnLastErr = 0;

// The keys: console input events turned into bytes, or a pipe's bytes from a thread.
CRITICAL_SECTION gcsKeys;
std::string gstrKeys;
bool gfKeysEnded = false;
DWORD gnKeysErr = 0;
HANDLE ghKeysReady = nullptr; // the pipe thread's: bytes, the end or an error are there
HANDLE ghKeyThread = nullptr;
DWORD gnSavedConsoleMode = 0;
bool gfConsoleRaw = false;

std::string ErrorText(DWORD nErr) {
    char sz[kNameSize] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, nErr, 0, sz, sizeof sz, nullptr);
    std::string s(sz, n);
    while (!s.empty() &&
           (s.back() == '\n' || s.back() == '\r' || s.back() == '.' || s.back() == ' '))
        s.pop_back();
    return s.empty() ? "error " + std::to_string(nErr) : s;
}

BOOL WINAPI OnControl(DWORD nEvent) {
    int nSignal = SIGINT; // Ctrl+C and Ctrl+Break alike
    if (nEvent != CTRL_C_EVENT && nEvent != CTRL_BREAK_EVENT) nSignal = SIGTERM;
    int nNone = 0;
    gnSignal.compare_exchange_strong(nNone, nSignal);
    SetEvent(ghInterrupt);
    return TRUE;
}

DWORD MsLeft(double dDeadline) {
    if (dDeadline < 0) return INFINITE;
    const double dLeft = dDeadline - Now();
    if (dLeft <= 0) return 0;
    return static_cast<DWORD>(std::min(dLeft * 1000 + 0.999, 4.0e9));
}

bool IsHangUp(DWORD nErr) {
    return nErr == ERROR_ACCESS_DENIED || nErr == ERROR_BAD_COMMAND || nErr == ERROR_GEN_FAILURE ||
           nErr == ERROR_DEVICE_NOT_CONNECTED || nErr == ERROR_OPERATION_ABORTED ||
           nErr == ERROR_NOT_READY || nErr == ERROR_INVALID_HANDLE || nErr == WSAECONNRESET ||
           nErr == WSAECONNABORTED || nErr == WSAESHUTDOWN;
}

long FailWith(Port* p, DWORD nErr) {
    p->nErr = nErr;
    return IsHangUp(nErr) ? kIoHungUp : kIoFailed;
}

// "\\.\COM12" for COM12: CreateFile finds COM10 and above only so.
std::string DevicePath(const std::string& strDevice) {
    if (strDevice.compare(0, 4, "\\\\.\\") == 0) return strDevice;
    return "\\\\.\\" + strDevice;
}

std::string ShortName(const std::string& strDevice) {
    return strDevice.compare(0, 4, "\\\\.\\") == 0 ? strDevice.substr(4) : strDevice;
}

bool SetUpComm(Port* p, int nBaud) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (GetCommState(p->hCom, &dcb)) {
        p->saved = dcb;
        p->fSaved = true;
    }
    dcb.BaudRate = static_cast<DWORD>(nBaud);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    // No flow control of any kind, whatever the port had before.
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fNull = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = FALSE;
    if (!SetCommState(p->hCom, &dcb)) return false;
    SetupComm(p->hCom, kQueueSize, kQueueSize);
    // No interval: the read posted ahead asks for one byte and ends with it (or after
    // kReadWaitMs with none), and what is queued behind it is then read at once. An interval
    // would hold every answer back by at least its millisecond, and the form that should end
    // at the first byte with more, MAXDWORD interval and multiplier, never ends under Wine 8.
    // A write is bounded by the session's deadline, not here.
    COMMTIMEOUTS cto{0, 0, kReadWaitMs, 0, 0};
    SetCommTimeouts(p->hCom, &cto);
    EscapeCommFunction(p->hCom, SETDTR);
    // What the board sent before (a banner, the answer to an earlier key) is no answer.
    PurgeComm(p->hCom, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
    return true;
}

// The bytes queued behind the first one: a read of no more than are there ends at once.
bool ReadQueued(Port* p) {
    COMSTAT stat{};
    DWORD nErrors = 0;
    if (!ClearCommError(p->hCom, &nErrors, &stat) || stat.cbInQue == 0) return true;
    const DWORD nWant = std::min<DWORD>(stat.cbInQue, sizeof p->abRead - p->nRead);
    ResetEvent(p->ovRead.hEvent);
    DWORD n = 0;
    if (!ReadFile(p->hCom, p->abRead + p->nRead, nWant, &n, &p->ovRead) &&
        (GetLastError() != ERROR_IO_PENDING ||
         !GetOverlappedResult(p->hCom, &p->ovRead, &n, TRUE))) {
        p->nErr = GetLastError();
        p->fFailed = true;
        return false;
    }
    p->nRead += n;
    return true;
}

// Posts the read that runs ahead, for one byte, unless one is posted or its bytes are not
// all taken. False with the error when it cannot be posted.
bool PostRead(Port* p) {
    if (p->fReadPending || p->atRead < p->nRead) return true;
    p->nRead = p->atRead = 0;
    ResetEvent(p->ovRead.hEvent);
    DWORD n = 0;
    if (ReadFile(p->hCom, p->abRead, 1, &n, &p->ovRead)) {
        p->nRead = n;
        return n == 0 || ReadQueued(p);
    }
    if (GetLastError() != ERROR_IO_PENDING) return false;
    p->fReadPending = true;
    return true;
}

// Takes the posted read's result once its event is set, and what came behind it.
bool FinishRead(Port* p) {
    DWORD n = 0;
    p->fReadPending = false;
    if (!GetOverlappedResult(p->hCom, &p->ovRead, &n, FALSE)) {
        p->nErr = GetLastError();
        p->fFailed = true;
        return false;
    }
    p->nRead = n;
    p->atRead = 0;
    return n == 0 || ReadQueued(p);
}

// The event a wait for the line waits on, with a read posted first where one runs ahead;
// nullptr when bytes are there already. *pfFailed on an error (p->nErr set).
HANDLE PortEvent(Port* p, bool* pfFailed) {
    *pfFailed = p->fFailed;
    if (p->sock != INVALID_SOCKET || p->fFailed) return p->fFailed ? nullptr : p->hSockEvent;
    for (;;) {
        if (!PostRead(p)) {
            if (!p->fFailed) p->nErr = GetLastError();
            p->fFailed = *pfFailed = true;
            return nullptr;
        }
        if (p->atRead < p->nRead) return nullptr;
        if (p->fReadPending) return p->ovRead.hEvent;
        // A read that ended at once with nothing: post another.
    }
}

long TakeRead(Port* p, uint8_t* pb, size_t nMax) {
    const DWORD n = std::min<DWORD>(static_cast<DWORD>(nMax), p->nRead - p->atRead);
    memcpy(pb, p->abRead + p->atRead, n);
    p->atRead += n;
    return static_cast<long>(n);
}

// ---- Keys.

void AddKeys(const char* pb, size_t n) {
    EnterCriticalSection(&gcsKeys);
    if (gstrKeys.size() + n <= kKeyBufferSize) gstrKeys.append(pb, n);
    LeaveCriticalSection(&gcsKeys);
}

bool KeysThere() {
    EnterCriticalSection(&gcsKeys);
    const bool f = !gstrKeys.empty() || gfKeysEnded || gnKeysErr;
    LeaveCriticalSection(&gcsKeys);
    return f;
}

// A pipe or file on standard input cannot be waited on: a thread reads it.
DWORD WINAPI ReadPipedKeys(void*) {
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    char ab[kKeyBufferSize / 4];
    for (;;) {
        DWORD n = 0;
        const BOOL fOk = ReadFile(hIn, ab, sizeof ab, &n, nullptr);
        EnterCriticalSection(&gcsKeys);
        if (fOk && n > 0) {
            // Wait while the session has not taken what is there; pipes wait for us.
            gstrKeys.append(ab, n);
        } else if (fOk || GetLastError() == ERROR_BROKEN_PIPE ||
                   GetLastError() == ERROR_HANDLE_EOF) {
            gfKeysEnded = true;
        } else {
            gnKeysErr = GetLastError();
        }
        const bool fDone = gfKeysEnded || gnKeysErr;
        SetEvent(ghKeysReady);
        LeaveCriticalSection(&gcsKeys);
        if (fDone) return 0;
        while (true) {
            EnterCriticalSection(&gcsKeys);
            const bool fFull = gstrKeys.size() >= kKeyBufferSize / 2;
            LeaveCriticalSection(&gcsKeys);
            if (!fFull) break;
            Sleep(10); // the session takes keys far faster than they are typed or piped
        }
    }
}

// A key as the bytes a terminal sends for it.
void AddKeyEvent(const KEY_EVENT_RECORD& k) {
    if (!k.bKeyDown) return;
    const char c = k.uChar.AsciiChar;
    const char* psz = nullptr;
    switch (k.wVirtualKeyCode) {
    case VK_UP: psz = "\033[A"; break;
    case VK_DOWN: psz = "\033[B"; break;
    case VK_RIGHT: psz = "\033[C"; break;
    case VK_LEFT: psz = "\033[D"; break;
    case VK_HOME: psz = "\033[H"; break;
    case VK_END: psz = "\033[F"; break;
    case VK_DELETE: psz = "\033[3~"; break;
    case VK_F5: psz = "\033[15~"; break;
    default: break;
    }
    for (WORD i = 0; i < std::max<WORD>(k.wRepeatCount, 1); ++i) {
        if (psz)
            AddKeys(psz, strlen(psz));
        else if (c)
            AddKeys(&c, 1);
    }
}

// Turns the console's input events into key bytes; mouse, focus and size events go.
void PumpConsoleKeys() {
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    INPUT_RECORD ar[64];
    DWORD n = 0;
    while (GetNumberOfConsoleInputEvents(hIn, &n) && n > 0) {
        if (!ReadConsoleInputA(hIn, ar, std::min<DWORD>(n, 64), &n)) {
            gnKeysErr = GetLastError();
            return;
        }
        for (DWORD i = 0; i < n; ++i)
            if (ar[i].EventType == KEY_EVENT) AddKeyEvent(ar[i].Event.KeyEvent);
    }
}

HANDLE KeysEvent() {
    if (IsConsole(Stream::In)) return GetStdHandle(STD_INPUT_HANDLE);
    if (!ghKeyThread) ghKeyThread = CreateThread(nullptr, 0, ReadPipedKeys, nullptr, 0, nullptr);
    return ghKeysReady;
}

bool OpenSocket(Port* p, const addrinfo* a, double dDeadline, DWORD* pnErr) {
    p->sock = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (p->sock == INVALID_SOCKET) {
        *pnErr = WSAGetLastError(); // not "refused": the cause is here, not at the server
        return false;
    }
    p->hSockEvent = WSACreateEvent();
    WSAEventSelect(p->sock, p->hSockEvent, FD_CONNECT);
    if (connect(p->sock, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0 &&
        WSAGetLastError() != WSAEWOULDBLOCK) {
        *pnErr = WSAGetLastError();
        return false;
    }
    HANDLE ah[2] = {p->hSockEvent, ghInterrupt};
    const DWORD nWait = WaitForMultipleObjects(2, ah, FALSE, MsLeft(dDeadline));
    if (nWait != WAIT_OBJECT_0) {
        *pnErr = nWait == WAIT_TIMEOUT ? WSAETIMEDOUT : WSAEINTR;
        return false;
    }
    WSANETWORKEVENTS ne{};
    WSAEnumNetworkEvents(p->sock, p->hSockEvent, &ne);
    if (ne.iErrorCode[FD_CONNECT_BIT] != 0) {
        *pnErr = static_cast<DWORD>(ne.iErrorCode[FD_CONNECT_BIT]);
        return false;
    }
    WSAEventSelect(p->sock, p->hSockEvent, FD_READ | FD_WRITE | FD_CLOSE);
    BOOL fOne = TRUE;
    setsockopt(p->sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&fOne),
               sizeof fOne);
    return true;
}

void CloseSocket(Port* p) {
    if (p->sock != INVALID_SOCKET) closesocket(p->sock);
    if (p->hSockEvent != WSA_INVALID_EVENT) WSACloseEvent(p->hSockEvent);
    p->sock = INVALID_SOCKET;
    p->hSockEvent = WSA_INVALID_EVENT;
}

// Waits for the socket's event (read, write or close), the interruption or the deadline.
long WaitSocket(Port* p, double dDeadline) {
    HANDLE ah[2] = {p->hSockEvent, ghInterrupt};
    const DWORD nWait = WaitForMultipleObjects(2, ah, FALSE, MsLeft(dDeadline));
    if (nWait == WAIT_OBJECT_0) {
        WSANETWORKEVENTS ne{};
        WSAEnumNetworkEvents(p->sock, p->hSockEvent, &ne);
        return 1;
    }
    return nWait == WAIT_TIMEOUT ? kIoTimedOut : kIoInterrupted;
}

std::string FindOnPath(const char* pszProgram) {
    char sz[MAX_PATH];
    if (SearchPathA(nullptr, pszProgram, nullptr, sizeof sz, sz, nullptr)) return sz;
    return "";
}

std::string ExeFolder() {
    char sz[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, sz, sizeof sz);
    std::string s(sz, n < sizeof sz ? n : 0);
    return s.substr(0, s.find_last_of("\\/") + 1);
}

// A free TCP port on the loopback for the simulated board to listen on; 0 if none.
unsigned FreeLoopbackPort() {
    SOCKET sock = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int nLen = sizeof addr;
    unsigned nPort = 0;
    if (sock != INVALID_SOCKET && bind(sock, reinterpret_cast<sockaddr*>(&addr), nLen) == 0 &&
        getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &nLen) == 0)
        nPort = ntohs(addr.sin_port);
    if (sock != INVALID_SOCKET) closesocket(sock);
    return nPort;
}

// Connects to the simulated board once it listens, while it runs, until the deadline.
Port* ConnectSimulator(HANDLE hProcess, const std::string& strPort, std::string* pstrWhy) {
    const double dDeadline = Now() + kSimStartMs / 1000.0;
    while (Now() < dDeadline && !gnSignal) {
        if (Port* p = OpenTcpPort("127.0.0.1", strPort, dDeadline, pstrWhy)) return p;
        if (WaitForSingleObject(hProcess, 0) == WAIT_OBJECT_0) break; // it has ended
        WaitForSingleObject(ghInterrupt, 50);
    }
    pstrWhy->clear();
    return nullptr;
}

} // namespace

// ---- Time and interruption.

double Now() {
    static LARGE_INTEGER freq;
    LARGE_INTEGER t;
    if (!freq.QuadPart) QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(freq.QuadPart);
}

void CatchInterruptions() {
    SetConsoleCtrlHandler(OnControl, TRUE);
}

int Interruption() {
    return gnSignal;
}

void ClearInterruption() {
    gnSignal = 0;
    ResetEvent(ghInterrupt);
}

void SleepUntil(double dWhen) {
    if (dWhen > Now()) WaitForSingleObject(ghInterrupt, MsLeft(dWhen));
}

// Set up before main: the interruption event and the keys' lock, and Winsock.
namespace {
struct Startup {
    Startup() {
        ghInterrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ghKeysReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        InitializeCriticalSection(&gcsKeys);
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        // The board's bytes as they came, and messages byte for byte as on Linux.
        _setmode(_fileno(stdout), _O_BINARY);
        _setmode(_fileno(stderr), _O_BINARY);
    }
} gStartup;
} // namespace

// ---- Files.

bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>* pBytes, std::string* pstrWhy) {
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    const bool fStdin = strPath == "-";
    if (!fStdin) {
        const DWORD nAttr = GetFileAttributesA(strPath.c_str());
        if (nAttr != INVALID_FILE_ATTRIBUTES && (nAttr & FILE_ATTRIBUTE_DIRECTORY)) {
            *pstrWhy = "is a directory, not a source file";
            return false;
        }
        h = CreateFileA(strPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            *pstrWhy = ErrorText(GetLastError());
            return false;
        }
    }
    uint8_t ab[4096];
    bool fOk = true;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(h, ab, sizeof ab, &n, nullptr)) {
            const DWORD nErr = GetLastError();
            if (nErr == ERROR_BROKEN_PIPE || nErr == ERROR_HANDLE_EOF) break;
            *pstrWhy = ErrorText(nErr);
            fOk = false;
            break;
        }
        if (n == 0) break;
        pBytes->insert(pBytes->end(), ab, ab + n);
    }
    if (!fStdin) CloseHandle(h);
    return fOk;
}

std::string FileIdentity(const std::string& strPath) {
    HANDLE h =
        CreateFileA(strPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "";
    BY_HANDLE_FILE_INFORMATION info{};
    const BOOL fOk = GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!fOk) return "";
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
           ":" + std::to_string(info.nFileIndexLow);
}

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

std::vector<std::string> ListFolder(const std::string& strDir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((strDir + "*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        const std::string strName = fd.cFileName;
        if (strName == "." || strName == "..") continue;
        names.push_back(strName + (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? "\\" : ""));
    } while (FindNextFileA(h, &fd));
    FindClose(h);
    return names;
}

bool IsAbsolutePath(const std::string& s) {
    return (!s.empty() && IsPathSeparator(s[0])) || (s.size() > 1 && s[1] == ':');
}

// ---- The line.

bool DeviceExists(const std::string& strDevice) {
    char sz[kNameSize];
    return QueryDosDeviceA(ShortName(strDevice).c_str(), sz, sizeof sz) != 0 ||
           GetFileAttributesA(strDevice.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string DeviceOfSettingsPort(int nPort) {
    if (nPort <= 0) return "";
    if (nPort > 4) return "\\\\.\\TELNET"; // as the window opens port 5
    return "COM" + std::to_string(nPort);
}

namespace {

// Windows' own drivers keep a COM port to one program; Wine does not. A mutex named after
// the port keeps two velka-loads apart there too, as flock does on Linux.
bool HoldPortName(Port* p, const std::string& strDevice) {
    std::string strName = "velka-load " + ShortName(strDevice);
    for (char& c : strName)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    // Across logon sessions where Windows lets us, else in this one.
    p->hHeld = CreateMutexA(nullptr, FALSE, ("Global\\" + strName).c_str());
    if (!p->hHeld) p->hHeld = CreateMutexA(nullptr, FALSE, strName.c_str());
    return !p->hHeld || GetLastError() != ERROR_ALREADY_EXISTS;
}

} // namespace

Port* OpenSerialPort(const std::string& strDevice, int nBaud, std::string* pstrWhy) {
    Port* p = new Port;
    if (!HoldPortName(p, strDevice)) {
        *pstrWhy = strDevice + " is in use by another program";
        ClosePort(p);
        return nullptr;
    }
    p->hCom = CreateFileA(DevicePath(strDevice).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                          OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (p->hCom == INVALID_HANDLE_VALUE) {
        const DWORD nErr = GetLastError();
        if (nErr == ERROR_ACCESS_DENIED || nErr == ERROR_SHARING_VIOLATION)
            *pstrWhy = strDevice + " is in use by another program";
        else if (nErr == ERROR_FILE_NOT_FOUND || nErr == ERROR_PATH_NOT_FOUND)
            *pstrWhy = strDevice + ": no such port (velka-load without -d lists those present)";
        else
            *pstrWhy = strDevice + ": " + ErrorText(nErr);
        ClosePort(p);
        return nullptr;
    }
    p->ovRead.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    p->ovWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!SetUpComm(p, nBaud)) {
        *pstrWhy = strDevice + ": cannot set " + std::to_string(nBaud) +
                   " baud: " + ErrorText(GetLastError());
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
        *pstrWhy = ErrorText(static_cast<DWORD>(nGai));
        return nullptr;
    }
    Port* p = new Port;
    DWORD nErr = WSAECONNREFUSED;
    bool fOpen = false;
    for (addrinfo* a = pList; a && !fOpen && !gnSignal; a = a->ai_next) {
        fOpen = OpenSocket(p, a, dDeadline, &nErr);
        if (!fOpen) CloseSocket(p);
    }
    freeaddrinfo(pList);
    if (!fOpen) {
        *pstrWhy = gnSignal ? "" : ErrorText(nErr);
        delete p;
        return nullptr;
    }
    return p;
}

Port* StartSimulatedBoard(const char*, int, std::string* pstrWhy) {
    std::string strPython;
    for (const char* psz : {"python3.exe", "python.exe", "py.exe"})
        if (strPython.empty()) strPython = FindOnPath(psz);
    if (strPython.empty()) {
        *pstrWhy = "--sim needs Python 3, which is not on the PATH (python.org has it)";
        return nullptr;
    }
    const char* pszSim = getenv("VELKA_NIVORSIM");
    const std::string strSim = pszSim ? pszSim : ExeFolder() + "nivorsim\\nivorsim.py";
    if (GetFileAttributesA(strSim.c_str()) == INVALID_FILE_ATTRIBUTES) {
        *pstrWhy = "--sim: the simulated board is not at " + strSim;
        return nullptr;
    }
    // Windows has no ptys: the board serves the line on a loopback TCP port.
    const unsigned nPort = FreeLoopbackPort();
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE hNull =
        CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hNull; // the address it prints is known already
    si.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = INVALID_HANDLE_VALUE;
    std::string strCmd = "\"" + strPython + "\" -B \"" + strSim +
                         "\" --forth --once --tcp 127.0.0.1:" + std::to_string(nPort);
    PROCESS_INFORMATION pi{};
    const BOOL fStarted =
        nPort && CreateProcessA(nullptr, &strCmd[0], nullptr, nullptr, TRUE,
                                CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi);
    if (hNull != INVALID_HANDLE_VALUE) CloseHandle(hNull);
    if (!fStarted) {
        *pstrWhy = "--sim: " + ErrorText(GetLastError());
        return nullptr;
    }
    CloseHandle(pi.hThread);
    Port* p = ConnectSimulator(pi.hProcess, std::to_string(nPort), pstrWhy);
    if (!p) {
        TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hProcess);
        if (!gnSignal) *pstrWhy = "--sim: the simulated board did not start (" + strSim + ")";
        return nullptr;
    }
    p->hSim = pi.hProcess;
    return p;
}

void ClosePort(Port* p) {
    if (!p) return;
    if (p->hCom != INVALID_HANDLE_VALUE) {
        if (p->fReadPending) {
            CancelIo(p->hCom);
            DWORD n;
            GetOverlappedResult(p->hCom, &p->ovRead, &n, TRUE);
        }
        FlushFileBuffers(p->hCom);
        if (p->fSaved) SetCommState(p->hCom, &p->saved);
        CloseHandle(p->hCom);
    }
    for (HANDLE h : {p->ovRead.hEvent, p->ovWrite.hEvent})
        if (h) CloseHandle(h);
    CloseSocket(p); // the simulated board ends when its line closes
    if (p->hHeld) CloseHandle(p->hHeld);
    if (p->hSim) {
        if (WaitForSingleObject(p->hSim, kSimEndMs) != WAIT_OBJECT_0) TerminateProcess(p->hSim, 0);
        CloseHandle(p->hSim);
    }
    delete p;
}

bool IsSerialPort(const Port* p) {
    return p->fSerial;
}

long ReadPort(Port* p, uint8_t* pb, size_t nMax, double dDeadline) {
    for (;;) {
        if (p->sock != INVALID_SOCKET) {
            const int n = recv(p->sock, reinterpret_cast<char*>(pb), static_cast<int>(nMax), 0);
            if (n > 0) return n;
            if (n == 0) return kIoHungUp;
            if (WSAGetLastError() != WSAEWOULDBLOCK) return FailWith(p, WSAGetLastError());
            const long nWait = WaitSocket(p, dDeadline);
            if (nWait <= 0) return nWait;
            continue;
        }
        bool fFailed = false;
        HANDLE hEvent = PortEvent(p, &fFailed);
        if (fFailed) return FailWith(p, p->nErr);
        if (!hEvent) return TakeRead(p, pb, nMax);
        HANDLE ah[2] = {hEvent, ghInterrupt};
        const DWORD nWait = WaitForMultipleObjects(2, ah, FALSE, MsLeft(dDeadline));
        if (nWait == WAIT_TIMEOUT) return kIoTimedOut;
        if (nWait != WAIT_OBJECT_0) return kIoInterrupted;
        if (!FinishRead(p)) return FailWith(p, p->nErr);
    }
}

long WritePort(Port* p, const uint8_t* pb, size_t n, double dDeadline) {
    if (p->sock != INVALID_SOCKET) {
        size_t nDone = 0;
        while (nDone < n) {
            const int nSent = send(p->sock, reinterpret_cast<const char*>(pb + nDone),
                                   static_cast<int>(n - nDone), 0);
            if (nSent > 0) {
                nDone += static_cast<size_t>(nSent);
                continue;
            }
            if (WSAGetLastError() != WSAEWOULDBLOCK) return FailWith(p, WSAGetLastError());
            const long nWait = WaitSocket(p, dDeadline);
            if (nWait <= 0) return nWait;
        }
        return static_cast<long>(n);
    }
    ResetEvent(p->ovWrite.hEvent);
    DWORD nDone = 0;
    if (!WriteFile(p->hCom, pb, static_cast<DWORD>(n), &nDone, &p->ovWrite)) {
        if (GetLastError() != ERROR_IO_PENDING) return FailWith(p, GetLastError());
        HANDLE ah[2] = {p->ovWrite.hEvent, ghInterrupt};
        const DWORD nWait = WaitForMultipleObjects(2, ah, FALSE, MsLeft(dDeadline));
        if (nWait != WAIT_OBJECT_0) CancelIo(p->hCom);
        const BOOL fOk = GetOverlappedResult(p->hCom, &p->ovWrite, &nDone, TRUE);
        if (nWait == WAIT_TIMEOUT) return kIoTimedOut;
        if (nWait != WAIT_OBJECT_0) return kIoInterrupted;
        if (!fOk) return FailWith(p, GetLastError());
    }
    return nDone == n ? static_cast<long>(n) : kIoTimedOut;
}

std::string PortError(const Port* p) {
    return ErrorText(p->nErr);
}

// The ports present, with the names Device Manager shows ("USB Serial Device (COM7)").
std::vector<std::string> ListPorts() {
    std::vector<std::string> lines;
    // The "Ports (COM & LPT)" class of Device Manager.
    static const GUID kPorts = {
        0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO hInfo = SetupDiGetClassDevsA(&kPorts, nullptr, nullptr, DIGCF_PRESENT);
    if (hInfo != INVALID_HANDLE_VALUE) {
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof data;
        for (DWORD i = 0; SetupDiEnumDeviceInfo(hInfo, i, &data); ++i) {
            char szName[kNameSize] = "";
            if (!SetupDiGetDeviceRegistryPropertyA(hInfo, &data, SPDRP_FRIENDLYNAME, nullptr,
                                                   reinterpret_cast<BYTE*>(szName),
                                                   sizeof szName - 1, nullptr))
                continue;
            std::string s = szName;
            const size_t open = s.rfind(" (COM");
            if (open != std::string::npos && s.back() == ')')
                s = s.substr(open + 2, s.size() - open - 3) + "  " + s.substr(0, open);
            lines.push_back(s);
        }
        SetupDiDestroyDeviceInfoList(hInfo);
    }
    // Ports no driver names (and all of them under Wine) still stand in the registry.
    HKEY hKey;
    if (lines.empty() && RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                       KEY_READ, &hKey) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            char szValue[kNameSize], szData[kNameSize];
            DWORD nValue = sizeof szValue, nData = sizeof szData, nType = 0;
            if (RegEnumValueA(hKey, i, szValue, &nValue, nullptr, &nType,
                              reinterpret_cast<BYTE*>(szData), &nData) != ERROR_SUCCESS)
                break;
            if (nType == REG_SZ) lines.push_back(std::string(szData, strnlen(szData, nData)));
        }
        RegCloseKey(hKey);
    }
    // COM2 before COM10: by the port's number, then by name.
    const auto number = [](const std::string& s) {
        return s.size() > 3 ? strtoul(s.c_str() + 3, nullptr, 10) : 0UL;
    };
    std::sort(lines.begin(), lines.end(), [&](const std::string& a, const std::string& b) {
        const unsigned long nA = number(a), nB = number(b);
        return nA != nB ? nA < nB : a < b;
    });
    return lines;
}

// ---- The console.

bool IsConsole(Stream stream) {
    DWORD nMode;
    const DWORD nStd = stream == Stream::In    ? STD_INPUT_HANDLE
                       : stream == Stream::Out ? STD_OUTPUT_HANDLE
                                               : STD_ERROR_HANDLE;
    return GetConsoleMode(GetStdHandle(nStd), &nMode) != 0;
}

const char* EraseLineText() {
    // Blanks over the row, as wide as the console: every console takes them, where escape
    // sequences need a recent one.
    static std::string strBlank;
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const SHORT nWidth = GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)
                             ? info.dwSize.X
                             : static_cast<SHORT>(80);
    strBlank.assign(1, '\r');
    strBlank.append(static_cast<size_t>(std::max<SHORT>(nWidth, 2) - 1), ' ');
    strBlank.push_back('\r');
    return strBlank.c_str();
}

bool SetRawKeys(bool fRaw, bool fInterruptKeys) {
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (!fRaw) {
        RestoreConsole();
        return true;
    }
    if (gfConsoleRaw || !GetConsoleMode(hIn, &gnSavedConsoleMode)) return gfConsoleRaw;
    // Keys as typed, not echoed; Ctrl+C still interrupts, as any command's does, unless it
    // is to reach the board as a key.
    gfConsoleRaw = SetConsoleMode(hIn, fInterruptKeys ? ENABLE_PROCESSED_INPUT : 0) != 0;
    return gfConsoleRaw;
}

void RestoreConsole() {
    StopLineEditor();
    if (gfConsoleRaw) SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gnSavedConsoleMode);
    gfConsoleRaw = false;
}

void FlushKeys() {
    if (IsConsole(Stream::In)) FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    EnterCriticalSection(&gcsKeys);
    gstrKeys.clear();
    LeaveCriticalSection(&gcsKeys);
}

int WaitPortOrKeys(Port* p, bool fKeys, double dDeadline) {
    const bool fConsole = fKeys && IsConsole(Stream::In);
    for (;;) {
        if (gnSignal) return static_cast<int>(kIoInterrupted);
        if (fConsole) PumpConsoleKeys();
        int nReady = fKeys && KeysThere() ? kReadyKeys : 0;
        HANDLE ah[3] = {ghInterrupt};
        DWORD nHandles = 1;
        if (p) {
            bool fFailed = false;
            HANDLE hEvent = PortEvent(p, &fFailed);
            if (fFailed || !hEvent) nReady |= kReadyPort; // the read says what came
            if (hEvent) ah[nHandles++] = hEvent;
        }
        if (nReady) return nReady;
        if (fKeys) ah[nHandles++] = KeysEvent();
        const DWORD nWait = WaitForMultipleObjects(nHandles, ah, FALSE, MsLeft(dDeadline));
        if (nWait == WAIT_TIMEOUT) return static_cast<int>(kIoTimedOut);
        if (nWait == WAIT_OBJECT_0) return static_cast<int>(kIoInterrupted);
        if (p && nWait == WAIT_OBJECT_0 + 1) {
            if (p->sock == INVALID_SOCKET) FinishRead(p); // a failure: the read tells it
            return kReadyPort;
        }
        // Keys: pumped and counted at the top.
    }
}

long ReadKeys(uint8_t* pb, size_t nMax) {
    if (IsConsole(Stream::In)) PumpConsoleKeys();
    EnterCriticalSection(&gcsKeys);
    long n = static_cast<long>(std::min(nMax, gstrKeys.size()));
    memcpy(pb, gstrKeys.data(), static_cast<size_t>(n));
    gstrKeys.erase(0, static_cast<size_t>(n));
    if (n == 0 && gnKeysErr) {
        gnLastErr = gnKeysErr;
        n = kIoFailed;
    }
    if (gstrKeys.empty() && !gfKeysEnded && !gnKeysErr) ResetEvent(ghKeysReady);
    LeaveCriticalSection(&gcsKeys);
    return n;
}

void UnreadKeys(const uint8_t* pb, size_t n) {
    EnterCriticalSection(&gcsKeys);
    gstrKeys.insert(0, reinterpret_cast<const char*>(pb), n);
    if (!gstrKeys.empty()) SetEvent(ghKeysReady);
    LeaveCriticalSection(&gcsKeys);
}

std::string PlatformError() {
    return ErrorText(gnLastErr);
}
