// standin.h: what the tests see of the Win32 stand-in: the records it keeps of the
// program's calls (message boxes, menus, invalidations, drawing, caret, scroll bars),
// the answers it gives (scripted boxes and dialogs, injected failures), message pumping
// on the test's thread, and scriptable serial devices.
#pragma once

#include "windows.h"
#include "commdlg.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace standin {

// Forgets every window, object, device, hook, fault and record. Call between tests.
void Reset();
// Detailed records of invalidations and text output; counters are always kept.
void SetRecording(bool fOn);
// Every wait of the stand-in gives up (and the test fails) after this long: a deadlock
// is reported instead of hanging the run.
constexpr int kWatchdogMs = 20000;

// ---- Injected failures ---------------------------------------------------------------
// The next `count` calls of `function` (its Win32 name, e.g. "CreateEventA") fail with
// `error`, after `skip` calls that succeed. A failed GetOverlappedResult ends the operation
// with the error, as Windows reports an operation that failed.
void FailNext(const std::string& function, DWORD error = ERROR_GEN_FAILURE, int count = 1,
              int skip = 0);
// How often `function` was called so far.
int Calls(const std::string& function);
// Every function called so far that FailNext can make fail, with its Calls().
std::map<std::string, int> CallCounts();

// ---- Message boxes -------------------------------------------------------------------
struct MessageBoxCall {
    HWND owner;
    std::string text;
    std::string caption; // "Error" when the program gave none, as Windows shows
    bool fCaptionGiven;
    UINT type;
    DWORD thread;
};
std::vector<MessageBoxCall> MessageBoxes();
// Answers for the next boxes, in order; without one a box answers IDOK.
void AnswerMessageBoxes(std::vector<int> answers);
// Called while a box is "open", on the thread that opened it; its result is the answer.
void OnMessageBox(std::function<int(const MessageBoxCall&)> hook);

// ---- Windows, menus, painting --------------------------------------------------------
void SetDefaultClientSize(int cx, int cy);
// Gives the window a new client size and sends it WM_SIZE, as a user's resize does.
void ResizeClient(HWND hWnd, int cx, int cy);
void SetFocusTo(HWND hWnd); // WM_KILLFOCUS to the old focus, WM_SETFOCUS to the new
HWND Focus();
bool IsWindow(HWND hWnd);
int MenuState(HWND hWnd, UINT id); // MF_ flags of the item, -1 when there is none

struct Invalidation {
    HWND hwnd;
    bool fWhole; // NULL rectangle
    RECT rc;
    bool fErase;
    DWORD thread;
};
std::vector<Invalidation> Invalidations();
int InvalidationCount();
void ClearInvalidations();
int UpdateWindowCalls();
bool NeedsPaint(HWND hWnd);
RECT UpdateRect(HWND hWnd);

struct TextOutCall {
    HWND hwnd;
    int x, y;
    UINT options;
    RECT rc;
    std::string text;
    LOGFONTA font; // of the selected font; lfFaceName "<stock>" for a stock font
    COLORREF fg, bk;
    int bkMode;
};
std::vector<TextOutCall> TextOuts();
void ClearTextOuts();

struct ScrollWindowCall {
    HWND hwnd;
    int dx, dy;
};
std::vector<ScrollWindowCall> ScrollWindows();
struct ScrollBar {
    int nMin = 0, nMax = 0, nPos = 0;
    int nRangeCalls = 0, nPosCalls = 0;
    bool fLastPosRedraw = false, fLastRangeRedraw = false;
};
ScrollBar Bar(HWND hWnd, int nBar);

struct CaretState {
    bool fExists = false;
    HWND owner = nullptr;
    int cx = 0, cy = 0;
    int nShow = 0; // ShowCaret minus HideCaret calls
    int x = 0, y = 0;
    int nIgnoredMoves = 0; // SetCaretPos from a thread that does not own the caret
};
CaretState Caret();

// Text metrics the stand-in reports for a font of the given LOGFONT height; by default
// tmHeight = |height| (16 for 0), tmAveCharWidth = (tmHeight + 1) / 2, leading 2.
void SetMetrics(std::function<TEXTMETRICA(const LOGFONTA&)> metrics);
int LiveFonts(); // font objects created and not deleted

HCURSOR CurrentCursor();
std::vector<HCURSOR> CursorHistory();
HCURSOR WaitCursor();
std::vector<std::string> DebugStrings();
void SetDebuggerPresent(bool fPresent); // what IsDebuggerPresent answers; not attached at first
// The test's clock: once set, GetTickCount answers it, and a WaitForSingleObject with a
// finite timeout waits until the clock has moved that far (or the object is signalled).
void SetTicks(DWORD dwTicks);
void AdvanceTicks(DWORD dwMs);
int Sleeping(); // threads in a Sleep on the test's clock
void SetVersion(DWORD dwVersion);

// ---- Messages on the test's thread ---------------------------------------------------
// Handles sent and posted messages (and paints) of the calling thread until `until`
// holds or `timeoutMs` passes; returns whether it held.
bool Pump(const std::function<bool()>& until, int timeoutMs = 5000);
void PostKey(HWND hWnd, WPARAM vk); // WM_KEYDOWN and WM_KEYUP
void PostChar(HWND hWnd, char c);
// Called by GetMessageA on the calling thread whenever nothing is queued: it may post
// messages; a GetMessageA with nothing to do and no hook fails the test.
void SetIdleHook(std::function<void()> hook);

// ---- Dialogs -------------------------------------------------------------------------
// The script of a modal dialog, run once it is initialised; it clicks and chooses.
void OnDialog(int nTemplate, std::function<void(HWND hDlg)> script);
void ClickButton(HWND hDlg, int id); // toggles an auto check box first
void SelectComboItem(HWND hDlg, int id, int index);
std::vector<std::string> ComboItems(HWND hDlg, int id);
int ComboSelection(HWND hDlg, int id);
LPARAM ComboData(HWND hDlg, int id, int index);
bool IsEnabled(HWND hDlg, int id);
std::string ItemText(HWND hDlg, int id);
bool DialogEnded(HWND hDlg);
int DialogsWithProps(); // dialogs destroyed with a property still set

struct ChooseFontCall {
    CHOOSEFONTA cf;
    LOGFONTA lfAtEntry;
};
std::vector<ChooseFontCall> ChooseFonts();
void OnChooseFont(std::function<BOOL(CHOOSEFONTA*)> hook); // default: cancelled

struct OpenFileCall {
    OPENFILENAMEA ofn;
    std::vector<std::string> filters; // the strings of lpstrFilter, in order
    std::string fileAtEntry;
};
std::vector<OpenFileCall> OpenFiles();
void OnGetOpenFileName(std::function<BOOL(OPENFILENAMEA*)> hook); // default: cancelled

// ---- Kernel objects ------------------------------------------------------------------
int OpenHandles(); // kernel objects (events, threads, files, devices) not yet closed
int LiveThreads(); // threads created and not yet returned
int LiveLocals();  // LocalAlloc blocks not yet freed

// ---- Serial devices ------------------------------------------------------------------
enum class IoMode {
    Immediate,   // completes at once
    Pending,     // ERROR_IO_PENDING, then completes
    PendingFail, // ERROR_IO_PENDING, then GetOverlappedResult fails
    Fail,        // fails at once
};
struct IoPlan {
    IoMode mode = IoMode::Immediate;
    DWORD error = ERROR_GEN_FAILURE;
    DWORD bytes = 0;               // PendingFail: bytes delivered before the error
    bool fIncompleteFirst = false; // Pending: one ERROR_IO_INCOMPLETE before completing
};

class Device {
  public:
    virtual ~Device() = default;
    // The far end sends: the bytes join the input queue and raise EV_RXCHAR.
    virtual void Receive(const std::string& bytes) = 0;
    // What the program wrote, all of it and write by write.
    virtual std::string Sent() const = 0;
    virtual std::vector<std::string> Writes() const = 0;
    virtual std::vector<DWORD> ReadSizes() const = 0; // bytes taken by each ReadFile
    // Called on the writer's thread for each write, after it has been taken.
    virtual void OnWrite(std::function<void(const std::string&)> hook) = 0;
    // The device calls in order, e.g. "SetCommMask 1", "SetupComm 4096 4096".
    virtual std::vector<std::string> Log() const = 0;
    virtual void ClearLog() = 0;
    virtual DCB State() const = 0;
    virtual void SetState(const DCB& dcb) = 0;   // what GetCommState reports
    virtual void RefuseStates(bool fRefuse) = 0; // SetCommState fails
    virtual COMMTIMEOUTS Timeouts() const = 0;
    virtual DWORD Mask() const = 0;
    virtual bool Dtr() const = 0;
    virtual size_t InQueue() const = 0;
    virtual bool IsOpen() const = 0;
    virtual bool WaitPending() const = 0;
    // How a pending event wait ends when the mask changes: 0 completes it with an empty
    // mask; an error code fails it with that error (Wine's pty ports answer 995).
    virtual void SetMaskChangeError(DWORD dwError) = 0;
    virtual void PlanRead(IoPlan plan) = 0;
    virtual void PlanWrite(IoPlan plan) = 0;
    virtual void PlanWait(IoPlan plan) = 0;     // for WaitCommEvent
    virtual size_t PlansLeft() const = 0;       // read, write and wait plans not yet taken
    virtual void SetPresent(bool fPresent) = 0; // absent: CreateFileA finds no device
};
// A device opened by CreateFileA under `name` ("COM1", "\\\\.\\TELNET", ...).
std::shared_ptr<Device> AddDevice(const std::string& name);

} // namespace standin
