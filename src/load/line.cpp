// line.cpp: the line velka-load talks on, as the command line names it: a serial device
// (a path, COM7, \\.\COM12), HOST:PORT for a network serial server over raw TCP, or the
// simulated board; and rfc2217://HOST:PORT, Telnet with the COM-PORT-OPTION over TCP
// (telnet.cpp), which sets the server's port as a local one is set. Also the rate (and on Windows
// the port) kept in VELKA.SET, and the list of ports shown when none is named.
#include "load.h"
#include "setfile.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int kRates[] = {9600, 19200, 38400, 57600, 115200};
constexpr int kBitsPerByte = 10;            // start bit, 8 data bits, stop bit
constexpr double kConnectSeconds = 5;       // a server that does not take the connection
constexpr double kDrainQuietSeconds = 0.05; // a server's greeting is over once it pauses
constexpr double kDrainMaxSeconds = 0.5;    // a server that never pauses is not waited for

bool IsRate(long n) {
    for (int nRate : kRates)
        if (nRate == n) return true;
    return false;
}

// HOST:PORT, or [HOST]:PORT for an IPv6 address; a device path has a separator.
bool SplitHostPort(const std::string& s, std::string* pHost, std::string* pPort) {
    for (char c : s)
        if (IsPathSeparator(c)) return false;
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

// A server's greeting, or bytes left from an earlier client, answer no line of ours. A
// server or board that keeps talking is not waited out: the drain has its own end.
void DrainLine(Line* pLine) {
    uint8_t ab[kReadSize];
    const double dEnd = Now() + kDrainMaxSeconds;
    for (;;) {
        const double dDeadline = std::min(Now() + kDrainQuietSeconds, dEnd);
        if (ReadPort(pLine->pPort, ab, sizeof ab, dDeadline) <= 0 || Now() >= dEnd) return;
    }
}

constexpr char kRfc2217Prefix[] = "rfc2217://";
constexpr size_t kSecondsSize = 32; // a number of seconds as %g prints it

// Says why a line did not open, or keeps the reason where the caller wants it kept.
bool Refuse(std::string* pstrWhy, const std::string& strWhy) {
    if (pstrWhy)
        *pstrWhy = strWhy;
    else if (!strWhy.empty())
        Say("%s", strWhy.c_str());
    return false;
}

// The Telnet negotiation on the new connection; it drops what came before, within its
// deadline.
bool OpenTelnet(int nBaud, Line* pLine, std::string* pstrWhy) {
    Port* pPort = pLine->pPort;
    long nLastIo = kIoTimedOut;
    TelnetIo io;
    io.Now = Now;
    io.Read = [pPort, &nLastIo](uint8_t* pb, size_t n, double dDeadline) -> long {
        const long nRead = ReadPort(pPort, pb, n, dDeadline);
        if (nRead < 0) nLastIo = nRead;
        return nRead < 0 ? -1 : nRead;
    };
    io.Write = [pPort, &nLastIo](const uint8_t* pb, size_t n, double dDeadline) {
        const long nWritten = WritePort(pPort, pb, n, dDeadline);
        if (nWritten <= 0) nLastIo = nWritten;
        return nWritten == static_cast<long>(n);
    };
    std::string strNotice;
    const double dDeadline = Now() + pLine->dNegotiateSeconds;
    if (!NegotiateComPort(&pLine->telnet, static_cast<uint32_t>(nBaud), io, dDeadline,
                          &strNotice)) {
        char szSeconds[kSecondsSize];
        snprintf(szSeconds, sizeof szSeconds, "%g", pLine->dNegotiateSeconds);
        if (nLastIo == kIoTimedOut)
            return Refuse(pstrWhy,
                          pLine->name + ": the server took nothing in " + szSeconds + " s");
        return Refuse(pstrWhy, nLastIo == kIoInterrupted ? "" : LineTrouble(pLine, nLastIo));
    }
    if (!strNotice.empty())
        Say("%s: %s", pLine->name.c_str() + sizeof kRfc2217Prefix - 1, strNotice.c_str());
    return true;
}

bool OpenTcp(const std::string& strHost, const std::string& strPort, int nBaud, Line* pLine,
             std::string* pstrWhy) {
    const long nPort = strtol(strPort.c_str(), nullptr, 10);
    if (nPort < 1 || nPort > 65535)
        return Refuse(pstrWhy, pLine->name + ": a port from 1 to 65535, please");
    std::string strWhy;
    pLine->pPort = OpenTcpPort(strHost, strPort, Now() + kConnectSeconds, &strWhy);
    if (!pLine->pPort)
        return Refuse(pstrWhy,
                      strWhy.empty() ? "" : "cannot connect to " + pLine->name + ": " + strWhy);
    if (pLine->fTelnet && !OpenTelnet(nBaud, pLine, pstrWhy)) {
        // Closed, so that a session waiting for the line to come back tries it again.
        CloseLine(pLine);
        return false;
    }
    if (!pLine->fTelnet) DrainLine(pLine);
    return true;
}

} // namespace

bool ParseBaud(const char* psz, int* pnBaud) {
    char* pEnd = nullptr;
    const long n = strtol(psz, &pEnd, 10);
    // The whole long is compared: a value past int's range is no rate, whatever it narrows to.
    if (pEnd == psz || *pEnd != '\0' || !IsRate(n)) return false;
    *pnBaud = static_cast<int>(n);
    return true;
}

int ReadSettingsFile(const char* pszPath, int* pnBaud, std::string* pstrDevice,
                     std::string* pstrWhy) {
    FILE* f = fopen(pszPath, "rb");
    if (!f) return 0;
    uint8_t ab[kPrefBufSize] = {};
    const size_t n = fread(ab, 1, sizeof ab, f);
    fclose(f);
    // As Velka reads it: a place the file does not reach is 0.
    const int nBaud = setfile::BaudOfCode(n > setfile::kBaudAt ? ab[setfile::kBaudAt] : 0);
    *pstrDevice = DeviceOfSettingsPort(n > setfile::kPortAt ? ab[setfile::kPortAt] : 0);
    if (!IsRate(nBaud)) {
        *pstrWhy = std::to_string(nBaud) + " baud";
        return -1;
    }
    *pnBaud = nBaud;
    return 1;
}

bool OpenLine(const std::string& strDevice, int nBaud, Line* pLine, std::string* pstrWhy) {
    pLine->name = strDevice;
    pLine->device = strDevice;
    pLine->nBaud = nBaud;
    pLine->fLost = false;
    pLine->fPaced = false; // a device back from an unplug may be another board
    pLine->nSinceProbe = 0;
    std::string strHost, strPort;
    if (strDevice.compare(0, sizeof kRfc2217Prefix - 1, kRfc2217Prefix) == 0) {
        if (!SplitHostPort(strDevice.substr(sizeof kRfc2217Prefix - 1), &strHost, &strPort))
            return Refuse(pstrWhy, strDevice + ": rfc2217://HOST:PORT, please");
        pLine->fTelnet = true;
        pLine->telnet = TelnetState{};
        return OpenTcp(strHost, strPort, nBaud, pLine, pstrWhy);
    }
    if (!DeviceExists(strDevice) && SplitHostPort(strDevice, &strHost, &strPort))
        return OpenTcp(strHost, strPort, nBaud, pLine, pstrWhy);
    std::string strWhy;
    pLine->pPort = OpenSerialPort(strDevice, nBaud, &strWhy);
    if (!pLine->pPort) return Refuse(pstrWhy, strWhy);
    pLine->dByteSeconds = static_cast<double>(kBitsPerByte) / nBaud;
    return true;
}

bool StartSimulated(const char* pszArgv0, int nBaud, Line* pLine) {
    pLine->name = "the simulated board";
    std::string strWhy;
    pLine->pPort = StartSimulatedBoard(pszArgv0, nBaud, &strWhy);
    if (!pLine->pPort && !strWhy.empty()) Say("%s", strWhy.c_str());
    return pLine->pPort != nullptr;
}

void CloseLine(Line* pLine) {
    ClosePort(pLine->pPort);
    pLine->pPort = nullptr;
}

long ReadLine(Line* pLine, uint8_t* pb, size_t nMax, double dDeadline) {
    for (;;) {
        const long nRead = ReadPort(pLine->pPort, pb, nMax, dDeadline);
        if (nRead <= 0 || !pLine->fTelnet) return nRead;
        std::vector<uint8_t> reply;
        const size_t nData =
            DecodeTelnet(&pLine->telnet, pb, static_cast<size_t>(nRead), pb, &reply);
        if (!reply.empty()) {
            const long nWritten = WritePort(pLine->pPort, reply.data(), reply.size(), dDeadline);
            if (nWritten < 0) return nWritten;
        }
        if (nData > 0) return static_cast<long>(nData);
        // Commands only: the data is still to come.
        if (dDeadline >= 0 && Now() >= dDeadline) return kIoTimedOut;
    }
}

long WriteLine(Line* pLine, const uint8_t* pb, size_t n, double dDeadline) {
    if (!pLine->fTelnet) return WritePort(pLine->pPort, pb, n, dDeadline);
    std::vector<uint8_t> out;
    EncodeTelnet(&pLine->telnet, pb, n, &out);
    const long nWritten = WritePort(pLine->pPort, out.data(), out.size(), dDeadline);
    return nWritten > 0 ? static_cast<long>(n) : nWritten;
}

std::string LineTrouble(const Line* pLine, long nIo) {
    if (nIo == kIoHungUp) return pLine->name + ": the line hung up";
    return pLine->name + ": " + PortError(pLine->pPort);
}

void ListDevices() {
    const std::vector<std::string> lines = ListPorts();
    if (lines.empty()) {
        SayRaw("No serial devices are present.\n");
    } else {
        SayRaw("Serial devices present:\n");
        for (const std::string& s : lines)
            SayRaw("  %s\n", s.c_str());
    }
    SayRaw("Without a board: velka-load --sim FILE... uploads to the simulated one.\n");
}
