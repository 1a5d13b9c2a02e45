// load.h: velka-load, the upload from a shell: the line it talks on (a serial device, a
// network serial server or the simulated board), the source files, and the upload and
// terminal sessions over them. Single-threaded: every wait is one ppoll that also wakes
// for the signals that end the program.
#pragma once

#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include <sys/types.h>

#include "loader.h"
#include "telnet.h"

// Exit statuses; a signal N ends with 128 + N.
constexpr int kExitOk = 0;
constexpr int kExitRejected = 1;
constexpr int kExitTrouble = 2; // usage, file or device
constexpr int kExitNoAnswer = 3;

constexpr int kDefaultBaud = 19200;
constexpr unsigned kReadSize = 4096; // the port's bytes taken at a time

struct SourceText {
    std::string name;
    std::vector<uint8_t> bytes;
    size_t at = 0;
    bool fQuiet = false; // counting the lines ahead: no messages
};

struct Line {
    int fd = -1;
    std::string name;         // as the user gave it, for messages
    bool fTty = false;        // a terminal device: its settings are put back at the end
    pid_t pidSim = -1;        // the simulated board this run started
    double dByteSeconds = 0;  // a character's time on a serial line; 0 where none is known
    bool fPaced = false;      // answers come no sooner than a serial line allows
    unsigned nSinceProbe = 0; // lines since that was last seen
    // rfc2217://: Telnet on the socket; every byte read or written goes through it.
    bool fTelnet = false;
    TelnetState telnet;
    double dNegotiateSeconds = 10; // the bound on opening it (-t)
};

// Set by the signal handlers; 0 while none has come.
extern volatile sig_atomic_t gnSignal;
// The signal mask ppoll waits with: the ending signals unblocked.
extern sigset_t gWaitMask;

// Prints "velka-load: " and the text on standard error; keeps the progress line whole.
void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints the text as it stands on standard error, clearing a progress line first.
void SayRaw(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// line.cpp
bool ParseBaud(const char* psz, int* pnBaud);
int BaudFromSettingsFile(const char* pszPath, int* pnBaud, std::string* pstrWhy);
bool OpenLine(const std::string& strDevice, int nBaud, Line* pLine);
bool StartSimulatedBoard(const char* pszArgv0, int nBaud, Line* pLine);
void CloseLine(Line* pLine);
void ListSerialDevices();
// Writes all bytes, waiting as the line takes them; false with errno set, or when a
// signal came (gnSignal).
bool WriteAll(int fd, const uint8_t* pb, size_t n);
// The line's data: through Telnet on an rfc2217:// line, else as it stands. ReadFromLine
// returns -1 with errno EAGAIN when what came held no data.
ssize_t ReadFromLine(Line* pLine, uint8_t* pb, size_t n);
bool WriteToLine(Line* pLine, const uint8_t* pb, size_t n);

// session.cpp
struct UploadOptions {
    bool fVisible = false;
    double dTimeout = 10; // seconds; 0: wait for ever
};
int UploadFile(Line* pLine, SourceText* pText, const UploadOptions& opt);
int RunTerminal(Line* pLine);
void RestoreTerminal();
