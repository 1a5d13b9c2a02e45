// load.h: velka-load, the upload from a shell, written once for POSIX and Windows over the
// layer of platform.h: the line it talks on (a serial device, a network serial server or
// the simulated board), the sources and what they include, checked whole before the first
// byte goes out, the upload of them and the terminal of --interactive. Single-threaded:
// every wait is one call of the platform layer that also wakes for interruption.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "loader.h"
#include "platform.h"
#include "telnet.h"

// Exit statuses; an interruption by signal N ends with 128 + N.
constexpr int kExitOk = 0;
constexpr int kExitRejected = 1;
constexpr int kExitTrouble = 2; // usage, file or device
constexpr int kExitNoAnswer = 3;

constexpr int kDefaultBaud = 19200;
constexpr unsigned kReadSize = 4096; // the line's bytes taken at a time

// A source file held whole, as the shared reader reads it (loadplatform.h).
struct SourceText {
    std::string name; // as given, for messages
    std::vector<uint8_t> bytes;
    size_t at = 0;
    bool fCut = false; // the reader cut the line it is building at the column limit
};

struct Line {
    Port* pPort = nullptr;
    std::string name;   // as the user gave it, for messages
    std::string device; // what OpenLine opened, to open again; "" for the simulated board
    int nBaud = kDefaultBaud;
    bool fLost = false;       // the line went away (unplugged, hung up, an I/O error)
    double dByteSeconds = 0;  // a character's time on a serial line; 0 where none is known
    bool fPaced = false;      // answers come no sooner than a serial line allows
    unsigned nSinceProbe = 0; // lines since that was last seen
    // rfc2217://: Telnet on the socket; every byte read or written goes through it.
    bool fTelnet = false;
    TelnetState telnet;
    double dNegotiateSeconds = 10; // the bound on opening it (-t)
};

// ---- The plan of an upload: every file it sends, read and checked before the first byte
// goes out, and the steps that send them, includes already in their places.
struct PlanFile {
    std::string name; // as the including line (or the command line) named it
    std::string path; // where it was found
    std::string id;   // FileIdentity: the same file however named
    int nParent = -1; // the including file, or -1
    uint32_t nParentLine = 0;
    uint32_t nLines = 0; // the file's own lines
};

enum class StepKind { Begin, Send, Pause, End };

struct PlanStep {
    StepKind kind;
    int nFile;
    uint32_t nLine;    // the file's own line
    std::string text;  // Send: the line and its CR, as the reader built it
    bool fCut = false; // Send: cut at the column limit
};

struct Plan {
    std::vector<PlanFile> files;
    std::vector<PlanStep> steps;
    uint32_t nToSend = 0;
};

// Files that have gone up whole in this run or session, for #require.
using SentFiles = std::set<std::string>;

// Prints "velka-load: " and the text on standard error; keeps the progress line whole.
void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Prints the text as it stands on standard error, clearing a progress line first.
void SayRaw(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// line.cpp: the line named on the command line, and the rate.
bool ParseBaud(const char* psz, int* pnBaud);
// 1: the file gave a rate (and a port, where it names one here); 0: no such file; -1: it
// gives no rate velka-load has (*pstrWhy says what it gives).
int ReadSettingsFile(const char* pszPath, int* pnBaud, std::string* pstrDevice,
                     std::string* pstrWhy);
// pstrWhy: the reason a failure is kept there instead of said.
bool OpenLine(const std::string& strDevice, int nBaud, Line* pLine, std::string* pstrWhy = nullptr);
bool StartSimulated(const char* pszArgv0, int nBaud, Line* pLine);
void CloseLine(Line* pLine);
void ListDevices();
// The line's data, through Telnet on an rfc2217:// line: as ReadPort and WritePort.
long ReadLine(Line* pLine, uint8_t* pb, size_t nMax, double dDeadline);
long WriteLine(Line* pLine, const uint8_t* pb, size_t n, double dDeadline);
// Messages for what a read or write of the line came to.
std::string LineTrouble(const Line* pLine, long nIo);

// plan.cpp
// Reads and checks the files and all they include; false (with the message said) when one
// is missing, unreadable or includes itself.
bool MakePlan(const std::vector<std::string>& names, const SentFiles& sent, Plan* pPlan);
// "FILE:LINE: " for a step, and the include chain below a message.
std::string PlaceOf(const Plan& plan, int nFile, uint32_t nLine);
void SayChain(const Plan& plan, int nFile);
// The name a line "#include FILE" or "#require FILE" includes ("" if it is no such line),
// and whether it is a #require.
std::string IncludedName(const uint8_t* pb, size_t n, bool* pfRequire);

// session.cpp
struct UploadOptions {
    bool fVisible = false;
    double dTimeout = 10; // seconds; 0: wait for ever
};
int Upload(Line* pLine, const Plan& plan, const UploadOptions& opt, SentFiles* pSent);
// The exit status of an interruption, 0 while none has come.
int InterruptedStatus();

// terminal.cpp: the terminal of --interactive, the board's development loop.
struct TerminalOptions {
    UploadOptions upload;
    bool fRaw = false;                   // keys straight to the board from the start
    bool fHex = false;                   // the board's bytes as hexadecimal
    std::vector<std::string> lastUpload; // what the repeat key uploads
};
int RunTerminal(Line* pLine, const TerminalOptions& opt, SentFiles* pSent);

// complete.cpp: Tab after "#include " or "#require ", the text before the cursor given.
// True with what to insert, or (where the names differ at once) the names to list.
bool CompleteIncludeName(const std::string& strBefore, std::string* pstrInsert,
                         std::vector<std::string>* pCandidates);

// log.cpp: the session log of --log; each call does nothing while none is open.
bool OpenSessionLog(const std::string& strPath);
void LogReceived(const uint8_t* pb, size_t n);
void LogSent(const std::string& strLine); // its CR, if it has one, is not written
void LogEvent(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
