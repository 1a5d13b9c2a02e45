// platform.h: the narrow layer under velka-load's session, one implementation for POSIX
// (platform_posix.cpp) and one for Win32 (platform_win32.cpp). It opens, reads and writes
// the line, reads keys and whole files, tells the time and catches interruption (signals,
// console control events). It reports what happened and why; it never prints or exits:
// messages, time-outs and exit statuses are the session's.
//
// Every wait here ends at a deadline (kForever: none), and also wakes for interruption.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct Port; // an open serial device, TCP connection or simulated board; each platform's own

constexpr double kForever = -1; // a deadline that never comes

// What a read or write of the line, or of the keys, came to, where not a byte count.
constexpr long kIoTimedOut = 0;
constexpr long kIoInterrupted = -1;
constexpr long kIoHungUp = -2; // the device went away or the peer closed
constexpr long kIoFailed = -3; // anything else: PortError says what

// ---- Time and interruption.
double Now(); // seconds, monotonic
// Ctrl+C and the other ending signals (on Windows the console's control events) are caught
// from here on; Interruption() then names the first that came (a signal number, SIGINT for
// Ctrl+C and Ctrl+Break), 0 while none has.
void CatchInterruptions();
int Interruption();
// Forgets the interruption that came: the session goes on after Ctrl+C ended an upload.
void ClearInterruption();
// Sleeps until then, or until an interruption.
void SleepUntil(double dWhen);

// ---- Files.
// The whole file ("-": standard input, in binary); false with the reason.
bool ReadWholeFile(const std::string& strPath, std::vector<uint8_t>* pBytes, std::string* pstrWhy);
// A name for the file itself, the same however the path names it; "" when it is not there.
std::string FileIdentity(const std::string& strPath);
bool IsPathSeparator(char c);
// The names in a folder ("" is the working directory), "." and ".." left out; a folder's
// name ends with its separator.
std::vector<std::string> ListFolder(const std::string& strDir);
bool IsAbsolutePath(const std::string& strPath);

// ---- The line.
// Whether the name is a device present here (a path, or COM7); else it may be HOST:PORT.
bool DeviceExists(const std::string& strDevice);
// The device a port number of the settings file names (1-4: COM1-COM4, 5: the network
// device), where this platform has such ports; "" where not.
std::string DeviceOfSettingsPort(int nPort);
// 8 data bits, no parity, one stop bit, no flow control of any kind, DTR raised, locked
// against a second program, and what was queued dropped. nullptr with the reason.
Port* OpenSerialPort(const std::string& strDevice, int nBaud, std::string* pstrWhy);
Port* OpenTcpPort(const std::string& strHost, const std::string& strPort, double dDeadline,
                  std::string* pstrWhy);
// Starts the simulated board for this run and opens the line to it.
Port* StartSimulatedBoard(const char* pszArgv0, int nBaud, std::string* pstrWhy);
// Puts back what the port had before, and ends a simulated board.
void ClosePort(Port* pPort);
// A serial device (not TCP, not the simulated board): its rate bounds how soon answers come.
bool IsSerialPort(const Port* pPort);
// > 0: the bytes read, as soon as any are there; else one of the kIo codes.
long ReadPort(Port* pPort, uint8_t* pb, size_t nMax, double dDeadline);
// Writes all n bytes: n, or one of the kIo codes (kIoTimedOut: the line took too little).
long WritePort(Port* pPort, const uint8_t* pb, size_t n, double dDeadline);
// Why the last call on the port failed.
std::string PortError(const Port* pPort);
// One line a port present: "COM7  USB Serial Device", "/dev/ttyUSB0  FTDI FT232R ...".
std::vector<std::string> ListPorts();

// ---- The console.
enum class Stream { In, Out, Err };
bool IsConsole(Stream stream);
// The text that erases the line the cursor stands on, from its start.
const char* EraseLineText();
// Keys one at a time, unechoed, for the terminal (Ctrl+C still interrupts, unless
// fInterruptKeys is false: then it is a key like the others); false puts the console back as
// it was. Also put back by RestoreConsole, on every way out.
bool SetRawKeys(bool fRaw, bool fInterruptKeys = true);
void RestoreConsole();
// Drops keys typed before now.
void FlushKeys();
// Waits until the line (pPort, or none) or the keys (when fKeys) have bytes, or the
// deadline: a mask of these, or kIoTimedOut, or kIoInterrupted.
constexpr int kReadyPort = 1;
constexpr int kReadyKeys = 2;
int WaitPortOrKeys(Port* pPort, bool fKeys, double dDeadline);
// > 0: the keys read; 0: the input has ended; kIoFailed: an error, PlatformError says which.
long ReadKeys(uint8_t* pb, size_t nMax);
std::string PlatformError(); // the last error of a call that was not on a port

// ---- The line editor of --interactive: a line is edited on the console before it goes,
// with a history kept between sessions (POSIX: libedit, edit_posix.cpp). Its keys come as
// WaitPortOrKeys reports them; the board's bytes are shown between HideEditLine and
// ShowEditLine, so that the line being edited is never torn.
enum class EditEvent {
    None,   // keys taken, the line still being edited
    Line,   // Return: the line, without its end
    End,    // Ctrl-]: the session ends
    Repeat, // F5 or Ctrl-O: the last upload again
    Raw,    // Ctrl-T: keys straight to the board
    Closed, // the console has gone away
};
// Puts the console in the editor's mode, nothing drawn yet; the history is read the first
// time. False with the reason.
bool StartLineEditor(std::string* pstrWhy);
// The console as it was before; the line being edited is dropped. Also done by
// RestoreConsole.
void StopLineEditor();
// Takes the keys that are there; *pstrLine gets the line of a Line event.
EditEvent ReadEditKeys(std::string* pstrLine);
// Erases the line being edited, leaving the row it followed (the board's unfinished row) as
// it stood; ShowEditLine draws it again after strRow, the board's row as it now stands.
void HideEditLine();
void ShowEditLine(const std::string& strRow);
