// velka.h: the terminal's one record, the program's globals and the procedures that
// the shell, screen, serial link, upload and setup files call in one another.
// Compiled unchanged by the Windows build and by the host build against a stand-in.
#pragma once

#include <windows.h>
#include <commdlg.h>

#include <atomic>

#include "../res/resource.h"
#include "loader.h"  // the upload's rules, shared with velka-load
#include "setfile.h" // the settings file's layout, shared with velka-load

// ---------------------------------------------------------------------------------------
// Sizes. Every fixed buffer of the program takes its size from one of these.

constexpr int MAXROWS = 30;
constexpr int MAXCOLS = 80;
constexpr int kScreenCells = MAXROWS * MAXCOLS;

constexpr int kLineStrSize = 10;                              // gszLineStr: "<65535> " and its NUL
constexpr int kErrorLineStrSize = 64;                         // gszErrorLineStr
constexpr int kReportSize = kErrorLineStrSize + kLineStrSize; // an upload's closing report
constexpr int kPathSize = MAX_PATH;      // the source file's path and title (260)
constexpr int kReceiveBlockSize = 80;    // bytes read from the port at a time
constexpr int kPortPrefixSize = 10;      // "COM" loaded from the string table
constexpr int kDeviceNameSize = 32;      // "COM4", "\\.\TELNET"
constexpr int kComErrorSize = 12;        // "<COM Error>" and its NUL
constexpr int kDlgStringSize = 81;       // texts loaded for the setup dialog's lists
constexpr int kVersionTemplateSize = 81; // the help box's version line as read
constexpr int kWsprintfSize = 1025;      // wsprintfA never writes more than 1024 characters

constexpr int kQueueSize = 4096;       // input and output queue of the port
constexpr DWORD kCommTimeout = 1000;   // ms for a whole read or write
constexpr DWORD kWaitRetryMs = 50;     // pause after a failed event wait on a live port
constexpr DWORD kPaintIntervalMs = 16; // received text is painted at most once in this long

constexpr UINT kTTYProp = 256; // integer atom keying the record on a dialog
// Posted by the receive thread when it cannot watch the port it was started for.
constexpr UINT WM_TTY_WATCHFAILED = WM_APP + 1;

// ---------------------------------------------------------------------------------------
// The record. One per main window, in slot 0 of its extra window bytes.
//
// Threads. The window's thread runs everything except CommWatchProc and what it calls
// (ReadCommBlock, ScanCommBlock, WriteTTYBlock, MoveTTYCursor, UpdateWindow). The rule
// for what the two threads share:
//  - csScreen guards the screen state: abScreen, nRow, nColumn, nScrolled, the display options
//    fNewLine, fAutoWrap and fHexPrint, the cell size xChar/yChar, the scroll state
//    xSize..yOffset, wCursorState and rgbFGColour. It is held for one whole WriteTTYBlock call
//    (a wrap's CR LF included; critical sections are recursive), for the drawing part of
//    PaintTTY and around every other read or write of those fields.
//  - csScreen is never held across a call that waits for, or sends to, the other
//    thread: UpdateWindow, SendMessage, MessageBox, dialogs, waits. So the receive thread
//    forcing a paint and the window's thread painting can never deadlock on it.
//  - fConnected, hWatchThread and dwThreadID are atomic: the window's thread sets
//    fConnected and the ids, the receive thread reads fConnected once per turn and clears
//    the ids, dwThreadID last, as its final act on the record.
//  - The upload globals that both threads touch are atomic (see below); the receive
//    thread also sets ghUploadEvent so the waiting window's thread wakes at once.
//  - While bytes keep arriving, the receive thread holds back the marking of the cells it
//    wrote (HeldMarks, its own, filled under csScreen) and marks them at most once in
//    kPaintIntervalMs: at the end of a drain when that long has passed since the last
//    marking or the line was quiet that long before the drain, otherwise after it has
//    slept out the rest of the interval and read what queued meanwhile; it waits for the
//    port's event again only once such a read finds nothing, and forces the paint only of
//    a block after a quiet line. Otherwise, and during a long drain, which it marks every
//    kPaintIntervalMs, the window's thread paints on its own.
//  - A scroll does not mark the whole window: the interpreter counts it in nScrolled, and
//    the painter, on the window's thread (which owns the caret the moved pixels carry),
//    moves the picture up by that many rows before it paints. Until then every mark is
//    made where the cell's row stands in the picture not yet moved (see MarkCells). The
//    painter holds csScreen from the move to the end of its drawing, so no scroll or mark
//    falls between them.
struct TTYInfo {
    HANDLE hCommDev;
    BYTE bPort;
    BYTE abScreen[kScreenCells];
    std::atomic<BOOL> fConnected;
    BOOL fLocalEcho;
    BOOL fNewLine;
    BOOL fAutoWrap;
    BOOL fHexPrint;
    BYTE bByteSize;
    BYTE bParity;
    BYTE bStopBits;
    DWORD dwBaudRate;
    WORD wCursorState;
    HFONT hTTYFont;
    LOGFONTA lfTTYFont;
    COLORREF rgbFGColour;
    int xSize, ySize;
    int xScroll, yScroll;
    int xOffset, yOffset;
    int nColumn, nRow;
    int nScrolled; // rows scrolled since the picture on the window last moved with them
    int xChar, yChar;
    std::atomic<HANDLE> hWatchThread;
    std::atomic<DWORD> dwThreadID;
    OVERLAPPED osWrite;
    OVERLAPPED osRead;
    CRITICAL_SECTION csScreen;
};

inline TTYInfo* GetTTYInfo(HWND hWnd) {
    return hWnd ? reinterpret_cast<TTYInfo*>(GetWindowLongPtrA(hWnd, 0)) : nullptr;
}

// Holds the screen lock for a scope.
class ScreenLock {
  public:
    explicit ScreenLock(TTYInfo* p) : m_cs(&p->csScreen) { EnterCriticalSection(m_cs); }
    ~ScreenLock() { LeaveCriticalSection(m_cs); }
    ScreenLock(const ScreenLock&) = delete;
    ScreenLock& operator=(const ScreenLock&) = delete;

  private:
    CRITICAL_SECTION* m_cs;
};

// ---------------------------------------------------------------------------------------
// Globals.

// shell
extern const char gszTTYClass[];
extern const char gszAppName[];
extern const char gszConnectFailed[];
extern std::atomic<HWND> hTTYWnd; // set once window creation has returned
extern HACCEL ghAccel;

// settings
extern const char gszDefaultName[];
extern BYTE gszPrefBuf[kPrefBufSize];
extern DWORD gdwLength;
extern const DWORD BaudTable[5];

// source (the reader's own globals are in loader.h)
extern HANDLE ghSourceFile;
extern OPENFILENAMEA gofnSource;
extern char gszSourceName[kPathSize];
extern char gszSourceTitle[kPathSize];

// upload (the scanner's globals, shared with the receive thread, are in loader.h)
extern HANDLE ghUploadEvent; // set by the scanner at the CR of an answer
extern BOOL gfUploadRunning; // window's thread only: an upload command is on the stack
extern char gszLineStr[kLineStrSize];
extern const char gszUpStr[];
extern const char gszLoadStr[];
extern const char gszDotStr[];
extern const char gszRdyStr[];
extern const char gszCRStr[];
extern const char gszCancelLineStr[];
extern char gszErrorLineStr[kErrorLineStrSize];

// ---------------------------------------------------------------------------------------
// Procedures.

// shell.cpp
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpszCmdLine, int nCmdShow);
ATOM InitApplication(HINSTANCE hInstance);
HWND InitInstance(HINSTANCE hInstance, int nCmdShow);
LRESULT CALLBACK TTYWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam);
INT_PTR GoModalDialogBoxParam(HINSTANCE hInstance, int nTemplate, HWND hOwner, DLGPROC lpProc,
                              LPARAM lParam);
int CreateTTYInfo(HWND hWnd);
int DestroyTTYInfo(HWND hWnd);
void ShowAppMessage(HWND hWnd, LPCSTR lpszText);
void SetConnectMenu(HWND hWnd, BOOL fConnected);

// Cells written and not yet marked for the painter, one flag a cell in the screen's rows
// as they are now (a scroll moves the flags up with the cells).
struct HeldMarks {
    bool fAny = false;
    bool afCell[kScreenCells] = {};
};

// screen.cpp
// With pHeld, what the block changes is added to it instead of being marked at once.
BOOL WriteTTYBlock(HWND hWnd, LPCSTR lpBlock, int nLength, HeldMarks* pHeld = nullptr);
void MarkHeldCells(HWND hWnd, HeldMarks* pHeld); // marks what pHeld holds and empties it

// paint.cpp
BOOL ResetTTYScreen(HWND hWnd, TTYInfo* pTTYInfo);
BOOL PaintTTY(HWND hWnd);
BOOL SizeTTY(HWND hWnd, WORD wVertSize, WORD wHorzSize);
BOOL ScrollTTYVert(HWND hWnd, WORD wScrollCmd, WORD wScrollPos);
BOOL ScrollTTYHorz(HWND hWnd, WORD wScrollCmd, WORD wScrollPos);
BOOL SetTTYFocus(HWND hWnd);
BOOL KillTTYFocus(HWND hWnd);
BOOL MoveTTYCursor(HWND hWnd);

// comm.cpp
BOOL OpenConnection(HWND hWnd);
BOOL SetupConnection(HWND hWnd);
BOOL CloseConnection(HWND hWnd);
DWORD WINAPI CommWatchProc(LPVOID lpData);
int ReadCommBlock(HWND hWnd, LPSTR lpszBlock, int nMaxLength);
BOOL WriteCommBlock(HWND hWnd, LPCSTR lpByte, DWORD dwBytesToWrite);
BOOL ProcessTTYCharacter(HWND hWnd, BYTE bOut);
void WatchFailed(HWND hWnd); // WM_TTY_WATCHFAILED

// source.cpp
void SourceFileInit(HWND hWnd);
void SourceOpenDlg(HWND hWnd, LPSTR lpszName, LPSTR lpszTitle);
int OpenSourceFile(HWND hWnd);
// ReadSourceByte and ReportLineTooLong: the reader's platform calls (loader.h)

// upload.cpp
void UploadSource(HWND hWnd, BOOL fVisible);
// SignalAnswer: the scanner's platform call (loader.h); it sets ghUploadEvent
int IToDecString(WORD wValue, LPSTR lpszBuffer);
BOOL CreateUploadEvent();
void DestroyUploadEvent();

// settings.cpp
void LoadDefaults(TTYInfo* pTTYInfo);
BOOL SaveDefaults(HWND hWnd);

// dialogs.cpp
INT_PTR CALLBACK HelpDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SettingsDlgProc(HWND hDlg, UINT uMsg, WPARAM wParam, LPARAM lParam);
BOOL SettingsDlgInit(HWND hDlg);
void FillComboBox(HINSTANCE hInstance, HWND hCtrlWnd, int nIDString, const DWORD* pdwTable,
                  WORD wTableLen, DWORD dwCurrentSetting);
BOOL SelectTTYFont(HWND hDlg);
BOOL SettingsDlgTerm(HWND hDlg);
void RunSettingsCommand(HWND hWnd);
