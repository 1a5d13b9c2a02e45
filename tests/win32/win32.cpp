// win32.cpp: the Win32 stand-in of the host build. Each function does the least the
// program relies on and records what the tests look at. One mutex guards all state and
// one condition variable wakes every wait; window procedures and hooks are always called
// with the mutex released, on the thread the real system would use.
#include "standin.h"

#include "rcfile.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>

namespace {

using Lock = std::unique_lock<std::mutex>;
std::mutex gMu;
std::condition_variable gCv;

thread_local DWORD tlsThreadId = 0;
thread_local DWORD tlsLastError = 0;
std::atomic<DWORD> gNextThreadId{100};

DWORD CurrentThread() {
    if (!tlsThreadId) tlsThreadId = gNextThreadId++;
    return tlsThreadId;
}

[[noreturn]] void Fatal(const char* what) {
    std::fprintf(stderr, "win32 stand-in: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

template <class Pred> void WaitL(Lock& lk, Pred pred, const char* what) {
    if (!gCv.wait_for(lk, std::chrono::milliseconds(standin::kWatchdogMs), pred)) Fatal(what);
}

constexpr ULONG_PTR kPending = 0x103; // Internal of an overlapped block still in flight

// ---- Faults --------------------------------------------------------------------------
struct Fault {
    DWORD error;
    int count;
    int skip;
};
std::map<std::string, Fault> gFaults;
std::map<std::string, int> gCalls;

bool ShouldFailL(const char* function) {
    ++gCalls[function];
    auto it = gFaults.find(function);
    if (it == gFaults.end()) return false;
    Fault& f = it->second;
    if (f.skip > 0) {
        --f.skip;
        return false;
    }
    if (f.count <= 0) return false;
    --f.count;
    tlsLastError = f.error;
    return true;
}

// ---- Kernel objects ------------------------------------------------------------------
struct DeviceImpl;

struct KObject {
    enum Kind { Event, Thread, File, Device } kind = Event;
    bool fSignaled = false;
    bool fManual = true;
    bool fResumed = true;
    DWORD dwExit = 0;
    int fd = -1;
    std::string path;
    DWORD dwAccess = 0, dwShare = 0;
    std::shared_ptr<DeviceImpl> dev;
};

std::shared_ptr<KObject> NewObject(KObject::Kind kind) {
    auto obj = std::make_shared<KObject>();
    obj->kind = kind;
    return obj;
}

std::map<uintptr_t, std::shared_ptr<KObject>> gObjects;
uintptr_t gNextHandle = 0x10000;
int gLiveThreads = 0;
int gLiveLocals = 0;

uintptr_t NextHandleL() {
    return gNextHandle += 4;
}

HANDLE AddObjectL(std::shared_ptr<KObject> obj) {
    const uintptr_t h = NextHandleL();
    gObjects[h] = std::move(obj);
    return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<KObject> ObjectL(HANDLE h) {
    auto it = gObjects.find(reinterpret_cast<uintptr_t>(h));
    return it == gObjects.end() ? nullptr : it->second;
}

void SetEventL(HANDLE h) {
    if (auto obj = ObjectL(h)) obj->fSignaled = true;
    gCv.notify_all();
}

void ResetEventL(HANDLE h) {
    if (auto obj = ObjectL(h)) obj->fSignaled = false;
}

// Tests whether an object is signalled; auto-reset events are consumed.
bool TakeSignalL(HANDLE h, bool* pfValid) {
    auto obj = ObjectL(h);
    *pfValid = obj != nullptr;
    if (!obj || !obj->fSignaled) return false;
    if (obj->kind == KObject::Event && !obj->fManual) obj->fSignaled = false;
    return true;
}

// ---- Serial devices ------------------------------------------------------------------
struct PendingWait {
    OVERLAPPED* ov;
    DWORD* pMask;
};

void CompleteL(OVERLAPPED* ov, DWORD dwError, DWORD dwBytes) {
    ov->Internal = dwError;
    ov->InternalHigh = dwBytes;
    SetEventL(ov->hEvent);
}

struct DeviceImpl : standin::Device {
    std::string name;
    bool fPresent = true;
    int nOpen = 0;
    std::deque<BYTE> rx;
    std::string sent;
    std::vector<std::string> writes;
    std::vector<DWORD> readSizes;
    std::function<void(const std::string&)> onWrite;
    std::vector<std::string> log;
    DCB dcb{};
    bool fRefuse = false;
    COMMTIMEOUTS timeouts{};
    DWORD dwMask = 0;
    bool fDtr = false;
    bool fRxEvent = false;
    std::optional<PendingWait> wait;
    DWORD dwMaskChangeError = 0;
    std::deque<standin::IoPlan> readPlans, writePlans, waitPlans;
    std::set<OVERLAPPED*> incompleteOnce;

    void Receive(const std::string& bytes) override {
        Lock lk(gMu);
        rx.insert(rx.end(), bytes.begin(), bytes.end());
        if (wait && (dwMask & EV_RXCHAR)) {
            *wait->pMask = EV_RXCHAR;
            CompleteL(wait->ov, 0, 0);
            wait.reset();
        } else {
            fRxEvent = true;
        }
        gCv.notify_all();
    }
    std::string Sent() const override {
        Lock lk(gMu);
        return sent;
    }
    std::vector<std::string> Writes() const override {
        Lock lk(gMu);
        return writes;
    }
    std::vector<DWORD> ReadSizes() const override {
        Lock lk(gMu);
        return readSizes;
    }
    void OnWrite(std::function<void(const std::string&)> hook) override {
        Lock lk(gMu);
        onWrite = std::move(hook);
    }
    std::vector<std::string> Log() const override {
        Lock lk(gMu);
        return log;
    }
    void ClearLog() override {
        Lock lk(gMu);
        log.clear();
    }
    DCB State() const override {
        Lock lk(gMu);
        return dcb;
    }
    void SetState(const DCB& d) override {
        Lock lk(gMu);
        dcb = d;
    }
    void RefuseStates(bool f) override {
        Lock lk(gMu);
        fRefuse = f;
    }
    COMMTIMEOUTS Timeouts() const override {
        Lock lk(gMu);
        return timeouts;
    }
    DWORD Mask() const override {
        Lock lk(gMu);
        return dwMask;
    }
    bool Dtr() const override {
        Lock lk(gMu);
        return fDtr;
    }
    size_t InQueue() const override {
        Lock lk(gMu);
        return rx.size();
    }
    bool IsOpen() const override {
        Lock lk(gMu);
        return nOpen > 0;
    }
    bool WaitPending() const override {
        Lock lk(gMu);
        return wait.has_value();
    }
    void SetMaskChangeError(DWORD e) override {
        Lock lk(gMu);
        dwMaskChangeError = e;
    }
    void PlanRead(standin::IoPlan p) override {
        Lock lk(gMu);
        readPlans.push_back(p);
    }
    void PlanWrite(standin::IoPlan p) override {
        Lock lk(gMu);
        writePlans.push_back(p);
    }
    void PlanWait(standin::IoPlan p) override {
        Lock lk(gMu);
        waitPlans.push_back(p);
    }
    size_t PlansLeft() const override {
        Lock lk(gMu);
        return readPlans.size() + writePlans.size() + waitPlans.size();
    }
    void SetPresent(bool f) override {
        Lock lk(gMu);
        fPresent = f;
    }

    static standin::IoPlan Take(std::deque<standin::IoPlan>& plans) {
        if (plans.empty()) return {};
        standin::IoPlan p = plans.front();
        plans.pop_front();
        return p;
    }
};

std::map<std::string, std::shared_ptr<DeviceImpl>> gDevices;

std::shared_ptr<DeviceImpl> DeviceL(HANDLE h) {
    auto obj = ObjectL(h);
    return obj && obj->kind == KObject::Device ? obj->dev : nullptr;
}

// ---- Windows -------------------------------------------------------------------------
struct Window {
    std::string cls;
    WNDPROC proc = nullptr;
    DLGPROC dlgProc = nullptr;
    bool fDialog = false;
    bool fControl = false;
    std::vector<LONG_PTR> extra;
    std::map<uintptr_t, HANDLE> props;
    HMENU menu = nullptr;
    DWORD thread = 0;
    int cx = 0, cy = 0;
    bool fNeedsPaint = false;
    RECT update{};
    bool fErase = false;
    HINSTANCE inst = nullptr;
    HWND parent = nullptr;
    int nCtrlId = 0;
    std::string text;
    std::vector<std::string> style;
    bool fEnabled = true;
    bool fEnded = false;
    INT_PTR nResult = 0;
    std::vector<std::pair<std::string, LPARAM>> items;
    int nCurSel = -1;
    int nCheck = 0;
    standin::ScrollBar bars[2];
    std::vector<HWND> children;
};

std::map<uintptr_t, std::unique_ptr<Window>> gWindows;
std::map<std::string, WNDCLASSA> gClasses;
HWND gFocus = nullptr;
int gDefaultCx = 800, gDefaultCy = 600;

Window* WindowL(HWND h) {
    auto it = gWindows.find(reinterpret_cast<uintptr_t>(h));
    return it == gWindows.end() ? nullptr : it->second.get();
}

HWND NewWindowL(std::unique_ptr<Window> w) {
    const uintptr_t h = NextHandleL();
    gWindows[h] = std::move(w);
    return reinterpret_cast<HWND>(h);
}

struct Menu {
    std::map<UINT, UINT> state;
};
std::map<uintptr_t, Menu> gMenus;

void CollectMenuL(const std::vector<rcfile::MenuItem>& items, Menu& m) {
    for (const auto& item : items) {
        if (item.popup) CollectMenuL(item.items, m);
        if (item.id) m.state[static_cast<UINT>(item.id)] = MF_ENABLED;
    }
}

// ---- Message queues ------------------------------------------------------------------
struct SentMsg {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
    LRESULT result = 0;
    bool fDone = false;
};

struct Queue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMsg>> sent;
    bool fQuit = false;
    int nQuitCode = 0;
    std::function<void()> idle;
};
std::map<DWORD, Queue> gQueues;

Queue& QueueL(DWORD tid) {
    return gQueues[tid];
}

bool ThreadNeedsPaintL(DWORD tid, HWND* pWnd) {
    for (auto& [h, w] : gWindows) {
        if (w->thread == tid && w->fNeedsPaint) {
            *pWnd = reinterpret_cast<HWND>(h);
            return true;
        }
    }
    return false;
}

bool InFilter(UINT msg, UINT nMin, UINT nMax) {
    return (nMin == 0 && nMax == 0) || (msg >= nMin && msg <= nMax);
}

LRESULT ControlMessage(HWND h, UINT msg, WPARAM w, LPARAM l);

// Calls a window's procedure on the current thread, without the lock.
LRESULT CallWindow(HWND h, UINT msg, WPARAM w, LPARAM l) {
    WNDPROC proc;
    DLGPROC dlgProc;
    bool fDialog, fControl;
    {
        Lock lk(gMu);
        Window* win = WindowL(h);
        if (!win) return 0;
        proc = win->proc, dlgProc = win->dlgProc, fDialog = win->fDialog, fControl = win->fControl;
    }
    if (fControl) return ControlMessage(h, msg, w, l);
    if (fDialog) return dlgProc ? dlgProc(h, msg, w, l) : 0;
    return proc ? proc(h, msg, w, l) : 0;
}

// Handles the messages other threads sent to this one.
void ProcessSent() {
    const DWORD tid = CurrentThread();
    for (;;) {
        std::shared_ptr<SentMsg> m;
        {
            Lock lk(gMu);
            Queue& q = QueueL(tid);
            if (q.sent.empty()) return;
            m = q.sent.front();
            q.sent.pop_front();
        }
        const LRESULT r = CallWindow(m->hwnd, m->msg, m->w, m->l);
        Lock lk(gMu);
        m->result = r;
        m->fDone = true;
        gCv.notify_all();
    }
}

// ---- GDI -----------------------------------------------------------------------------
struct Font {
    LOGFONTA lf;
    bool fStock;
};
std::map<uintptr_t, Font> gFonts;
struct DC {
    HWND hwnd;
    uintptr_t font;
    COLORREF fg = 0, bk = RGB(255, 255, 255);
    int bkMode = OPAQUE;
};
std::map<uintptr_t, DC> gDCs;
uintptr_t gStockOem = 0, gStockSystem = 0;
std::function<TEXTMETRICA(const LOGFONTA&)> gMetrics;

TEXTMETRICA DefaultMetrics(const LOGFONTA& lf) {
    TEXTMETRICA tm{};
    tm.tmHeight = lf.lfHeight == 0 ? 16 : std::abs(lf.lfHeight);
    tm.tmAveCharWidth = (tm.tmHeight + 1) / 2;
    tm.tmExternalLeading = 2;
    return tm;
}

HDC NewDCL(HWND h) {
    const uintptr_t id = NextHandleL();
    gDCs[id] = DC{h, gStockSystem};
    return reinterpret_cast<HDC>(id);
}

uintptr_t AddStockFontL(LONG height) {
    Font f{};
    f.lf.lfHeight = height;
    std::snprintf(f.lf.lfFaceName, LF_FACESIZE, "<stock>");
    f.fStock = true;
    const uintptr_t id = NextHandleL();
    gFonts[id] = f;
    return id;
}

// ---- Everything else the tests see ---------------------------------------------------
bool gRecording = true;
std::vector<standin::MessageBoxCall> gBoxes;
std::deque<int> gBoxAnswers;
std::function<int(const standin::MessageBoxCall&)> gBoxHook;
std::vector<standin::Invalidation> gInvalidations;
int gInvalidationCount = 0;
int gUpdateWindows = 0; // UpdateWindow calls, from any thread
std::vector<standin::TextOutCall> gTextOuts;
std::vector<standin::ScrollWindowCall> gScrolls;
struct Caret : standin::CaretState {
    DWORD thread = 0;
} gCaret;
const HCURSOR kArrowCursor = reinterpret_cast<HCURSOR>(0x7F00);
const HCURSOR kWaitCursor = reinterpret_cast<HCURSOR>(0x7F02);
HCURSOR gCursor = kArrowCursor;
std::vector<HCURSOR> gCursorHistory;
std::vector<std::string> gDebugStrings;
bool gfDebugger = false;
std::optional<DWORD> gTicks; // the test's clock, once it has set one
int gSleeping = 0;           // threads in a Sleep on the test's clock
DWORD gVersion = 0x23F00206; // 6.2
std::map<int, std::function<void(HWND)>> gDialogScripts;
int gDialogsWithProps = 0;
std::vector<standin::ChooseFontCall> gChooseFonts;
std::function<BOOL(CHOOSEFONTA*)> gChooseFontHook;
std::vector<standin::OpenFileCall> gOpenFiles;
std::function<BOOL(OPENFILENAMEA*)> gOpenFileHook;
std::map<uintptr_t, int> gAccelTables;

void ResetL() {
    gFaults.clear(), gCalls.clear();
    gObjects.clear(), gDevices.clear();
    gWindows.clear(), gClasses.clear(), gMenus.clear(), gQueues.clear();
    gFocus = nullptr;
    gDefaultCx = 800, gDefaultCy = 600;
    gFonts.clear(), gDCs.clear();
    gStockOem = AddStockFontL(12);
    gStockSystem = AddStockFontL(16);
    gMetrics = DefaultMetrics;
    gRecording = true;
    gBoxes.clear(), gBoxAnswers.clear(), gBoxHook = nullptr;
    gInvalidations.clear(), gInvalidationCount = 0;
    gUpdateWindows = 0;
    gTextOuts.clear(), gScrolls.clear();
    gCaret = Caret{};
    gCursor = kArrowCursor, gCursorHistory.clear();
    gDebugStrings.clear();
    gfDebugger = false;
    gTicks.reset();
    gVersion = 0x23F00206;
    gDialogScripts.clear(), gDialogsWithProps = 0;
    gChooseFonts.clear(), gChooseFontHook = nullptr;
    gOpenFiles.clear(), gOpenFileHook = nullptr;
    gAccelTables.clear();
}

struct Init {
    Init() { ResetL(); }
} gInit;

std::string AbsolutePath(const std::string& name) {
    if (!name.empty() && name[0] == '/') return name;
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return name;
    return std::string(cwd) + "/" + name;
}

bool IsDeviceName(const std::string& name) {
    return name.rfind("\\\\.\\", 0) == 0 ||
           (name.size() > 3 && name.compare(0, 3, "COM") == 0 &&
            std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; }));
}

DWORD ErrnoToError(int e) {
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
    }
}

} // namespace

// =======================================================================================
// Test interface.

namespace standin {

void Reset() {
    Lock lk(gMu);
    if (gLiveThreads) Fatal("a test left threads running");
    ResetL();
}

void SetRecording(bool f) {
    Lock lk(gMu);
    gRecording = f;
}

void FailNext(const std::string& function, DWORD error, int count, int skip) {
    Lock lk(gMu);
    gFaults[function] = Fault{error, count, skip};
}

int Calls(const std::string& function) {
    Lock lk(gMu);
    return gCalls[function];
}

std::map<std::string, int> CallCounts() {
    Lock lk(gMu);
    std::map<std::string, int> counts;
    for (const auto& [name, n] : gCalls)
        if (n > 0) counts[name] = n; // Calls() of a function never called leaves a 0
    return counts;
}

std::vector<MessageBoxCall> MessageBoxes() {
    Lock lk(gMu);
    return gBoxes;
}

void AnswerMessageBoxes(std::vector<int> answers) {
    Lock lk(gMu);
    gBoxAnswers.assign(answers.begin(), answers.end());
}

void OnMessageBox(std::function<int(const MessageBoxCall&)> hook) {
    Lock lk(gMu);
    gBoxHook = std::move(hook);
}

void SetDefaultClientSize(int cx, int cy) {
    Lock lk(gMu);
    gDefaultCx = cx, gDefaultCy = cy;
}

void ResizeClient(HWND h, int cx, int cy) {
    {
        Lock lk(gMu);
        Window* w = WindowL(h);
        if (!w) return;
        w->cx = cx, w->cy = cy;
    }
    SendMessageA(h, WM_SIZE, SIZE_RESTORED, MAKELPARAM(cx, cy));
}

void SetFocusTo(HWND h) {
    HWND old;
    {
        Lock lk(gMu);
        old = gFocus;
        if (old == h) return;
        gFocus = h;
    }
    if (old) SendMessageA(old, WM_KILLFOCUS, 0, 0);
    if (h) SendMessageA(h, WM_SETFOCUS, 0, 0);
}

HWND Focus() {
    Lock lk(gMu);
    return gFocus;
}

bool IsWindow(HWND h) {
    Lock lk(gMu);
    return WindowL(h) != nullptr;
}

int MenuState(HWND h, UINT id) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) return -1;
    auto m = gMenus.find(reinterpret_cast<uintptr_t>(w->menu));
    if (m == gMenus.end()) return -1;
    auto it = m->second.state.find(id);
    return it == m->second.state.end() ? -1 : static_cast<int>(it->second);
}

std::vector<Invalidation> Invalidations() {
    Lock lk(gMu);
    return gInvalidations;
}

int InvalidationCount() {
    Lock lk(gMu);
    return gInvalidationCount;
}

void ClearInvalidations() {
    Lock lk(gMu);
    gInvalidations.clear();
    gInvalidationCount = 0;
}

int UpdateWindowCalls() {
    Lock lk(gMu);
    return gUpdateWindows;
}

bool NeedsPaint(HWND h) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    return w && w->fNeedsPaint;
}

RECT UpdateRect(HWND h) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    return w && w->fNeedsPaint ? w->update : RECT{};
}

std::vector<TextOutCall> TextOuts() {
    Lock lk(gMu);
    return gTextOuts;
}

void ClearTextOuts() {
    Lock lk(gMu);
    gTextOuts.clear();
}

std::vector<ScrollWindowCall> ScrollWindows() {
    Lock lk(gMu);
    return gScrolls;
}

ScrollBar Bar(HWND h, int nBar) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    return w && (nBar == SB_HORZ || nBar == SB_VERT) ? w->bars[nBar] : ScrollBar{};
}

CaretState Caret() {
    Lock lk(gMu);
    return gCaret;
}

void SetMetrics(std::function<TEXTMETRICA(const LOGFONTA&)> metrics) {
    Lock lk(gMu);
    gMetrics = metrics ? std::move(metrics) : DefaultMetrics;
}

int LiveFonts() {
    Lock lk(gMu);
    return static_cast<int>(std::count_if(gFonts.begin(), gFonts.end(),
                                          [](const auto& f) { return !f.second.fStock; }));
}

HCURSOR CurrentCursor() {
    Lock lk(gMu);
    return gCursor;
}

std::vector<HCURSOR> CursorHistory() {
    Lock lk(gMu);
    return gCursorHistory;
}

HCURSOR WaitCursor() {
    return kWaitCursor;
}

std::vector<std::string> DebugStrings() {
    Lock lk(gMu);
    return gDebugStrings;
}

void SetDebuggerPresent(bool fPresent) {
    Lock lk(gMu);
    gfDebugger = fPresent;
}

void SetTicks(DWORD dwTicks) {
    Lock lk(gMu);
    gTicks = dwTicks;
    gCv.notify_all();
}

int Sleeping() {
    Lock lk(gMu);
    return gSleeping;
}

void AdvanceTicks(DWORD dwMs) {
    Lock lk(gMu);
    gTicks = gTicks.value_or(0) + dwMs;
    gCv.notify_all();
}

void SetVersion(DWORD v) {
    Lock lk(gMu);
    gVersion = v;
}

bool Pump(const std::function<bool()>& until, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (until()) return true;
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message != WM_QUIT) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
            continue;
        }
        if (std::chrono::steady_clock::now() > deadline) return until();
        Lock lk(gMu);
        const DWORD tid = CurrentThread();
        gCv.wait_for(lk, std::chrono::milliseconds(5), [&] {
            HWND h;
            return !QueueL(tid).sent.empty() || !QueueL(tid).posted.empty() ||
                   ThreadNeedsPaintL(tid, &h);
        });
    }
}

void PostKey(HWND h, WPARAM vk) {
    PostMessageA(h, WM_KEYDOWN, vk, 0);
    PostMessageA(h, WM_KEYUP, vk, 0);
}

void PostChar(HWND h, char c) {
    PostMessageA(h, WM_CHAR, static_cast<BYTE>(c), 0);
}

void SetIdleHook(std::function<void()> hook) {
    Lock lk(gMu);
    QueueL(CurrentThread()).idle = std::move(hook);
}

void OnDialog(int nTemplate, std::function<void(HWND)> script) {
    Lock lk(gMu);
    gDialogScripts[nTemplate] = std::move(script);
}

void ClickButton(HWND hDlg, int id) {
    HWND hCtl = GetDlgItem(hDlg, id);
    {
        Lock lk(gMu);
        Window* c = WindowL(hCtl);
        if (c && !c->fEnabled) return;
        if (c && std::find(c->style.begin(), c->style.end(), "BS_AUTOCHECKBOX") != c->style.end())
            c->nCheck = c->nCheck ? BST_UNCHECKED : BST_CHECKED;
    }
    SendMessageA(hDlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(hCtl));
}

void SelectComboItem(HWND hDlg, int id, int index) {
    SendDlgItemMessageA(hDlg, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

std::vector<std::string> ComboItems(HWND hDlg, int id) {
    HWND hCtl = GetDlgItem(hDlg, id);
    Lock lk(gMu);
    std::vector<std::string> out;
    if (Window* c = WindowL(hCtl))
        for (const auto& item : c->items)
            out.push_back(item.first);
    return out;
}

int ComboSelection(HWND hDlg, int id) {
    return static_cast<int>(SendDlgItemMessageA(hDlg, id, CB_GETCURSEL, 0, 0));
}

LPARAM ComboData(HWND hDlg, int id, int index) {
    return SendDlgItemMessageA(hDlg, id, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
}

bool IsEnabled(HWND hDlg, int id) {
    HWND hCtl = GetDlgItem(hDlg, id);
    Lock lk(gMu);
    Window* c = WindowL(hCtl);
    return c && c->fEnabled;
}

std::string ItemText(HWND hDlg, int id) {
    HWND hCtl = GetDlgItem(hDlg, id);
    Lock lk(gMu);
    Window* c = WindowL(hCtl);
    return c ? c->text : std::string();
}

bool DialogEnded(HWND hDlg) {
    Lock lk(gMu);
    Window* w = WindowL(hDlg);
    return !w || w->fEnded;
}

int DialogsWithProps() {
    Lock lk(gMu);
    return gDialogsWithProps;
}

std::vector<ChooseFontCall> ChooseFonts() {
    Lock lk(gMu);
    return gChooseFonts;
}

void OnChooseFont(std::function<BOOL(CHOOSEFONTA*)> hook) {
    Lock lk(gMu);
    gChooseFontHook = std::move(hook);
}

std::vector<OpenFileCall> OpenFiles() {
    Lock lk(gMu);
    return gOpenFiles;
}

void OnGetOpenFileName(std::function<BOOL(OPENFILENAMEA*)> hook) {
    Lock lk(gMu);
    gOpenFileHook = std::move(hook);
}

int OpenHandles() {
    Lock lk(gMu);
    return static_cast<int>(gObjects.size());
}

int LiveThreads() {
    Lock lk(gMu);
    return gLiveThreads;
}

int LiveLocals() {
    Lock lk(gMu);
    return gLiveLocals;
}

std::shared_ptr<Device> AddDevice(const std::string& name) {
    Lock lk(gMu);
    auto dev = std::make_shared<DeviceImpl>();
    dev->name = name;
    dev->dcb.DCBlength = sizeof(DCB);
    dev->dcb.BaudRate = CBR_9600;
    dev->dcb.ByteSize = 7;
    dev->dcb.fParity = 1;
    gDevices[name] = dev;
    return dev;
}

} // namespace standin

// =======================================================================================
// user32

ATOM RegisterClassA(const WNDCLASSA* wc) {
    Lock lk(gMu);
    if (ShouldFailL("RegisterClassA")) return 0;
    if (gClasses.count(wc->lpszClassName)) return 0;
    gClasses[wc->lpszClassName] = *wc;
    return static_cast<ATOM>(0xC000 + gClasses.size());
}

HWND CreateWindowExA(DWORD, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD, int, int, int, int,
                     HWND hWndParent, HMENU, HINSTANCE hInstance, LPVOID) {
    HWND h;
    int cx, cy;
    {
        Lock lk(gMu);
        if (ShouldFailL("CreateWindowExA")) return nullptr;
        auto it = gClasses.find(lpClassName);
        if (it == gClasses.end()) return nullptr;
        auto w = std::make_unique<Window>();
        w->cls = lpClassName;
        w->proc = it->second.lpfnWndProc;
        w->extra.assign(std::max<size_t>(1, it->second.cbWndExtra / sizeof(LONG_PTR)), 0);
        w->thread = CurrentThread();
        w->cx = cx = gDefaultCx, w->cy = cy = gDefaultCy;
        w->inst = hInstance;
        w->parent = hWndParent;
        w->text = lpWindowName ? lpWindowName : "";
        LPCSTR menuName = it->second.lpszMenuName;
        if (menuName && IS_INTRESOURCE(menuName)) {
            const auto& menus = rcfile::Load().menus;
            auto m = menus.find(static_cast<int>(reinterpret_cast<uintptr_t>(menuName)));
            if (m != menus.end()) {
                const uintptr_t hm = NextHandleL();
                CollectMenuL(m->second, gMenus[hm]);
                w->menu = reinterpret_cast<HMENU>(hm);
            }
        }
        h = NewWindowL(std::move(w));
    }
    if (CallWindow(h, WM_CREATE, 0, 0) == -1) {
        CallWindow(h, WM_DESTROY, 0, 0);
        CallWindow(h, WM_NCDESTROY, 0, 0);
        Lock lk(gMu);
        gWindows.erase(reinterpret_cast<uintptr_t>(h));
        return nullptr;
    }
    CallWindow(h, WM_SIZE, SIZE_RESTORED, MAKELPARAM(cx, cy));
    return h;
}

BOOL ShowWindow(HWND h, int nCmdShow) {
    if (nCmdShow != SW_HIDE) standin::SetFocusTo(h);
    return TRUE;
}

DWORD GetWindowThreadProcessId(HWND h, LPDWORD lpdwProcessId) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (lpdwProcessId) *lpdwProcessId = w ? 1 : 0;
    return w ? w->thread : 0;
}

BOOL UpdateWindow(HWND h) {
    {
        Lock lk(gMu);
        ++gUpdateWindows;
        Window* w = WindowL(h);
        if (!w || !w->fNeedsPaint) return w != nullptr;
    }
    SendMessageA(h, WM_PAINT, 0, 0);
    return TRUE;
}

BOOL DestroyWindow(HWND h) {
    {
        Lock lk(gMu);
        if (!WindowL(h)) return FALSE;
    }
    if (standin::Focus() == h) {
        SendMessageA(h, WM_KILLFOCUS, 0, 0);
        Lock lk(gMu);
        gFocus = nullptr;
    }
    SendMessageA(h, WM_DESTROY, 0, 0);
    SendMessageA(h, WM_NCDESTROY, 0, 0);
    Lock lk(gMu);
    if (gCaret.owner == h) gCaret = Caret{};
    gWindows.erase(reinterpret_cast<uintptr_t>(h));
    return TRUE;
}

LRESULT DefWindowProcA(HWND h, UINT msg, WPARAM, LPARAM) {
    if (msg == WM_CLOSE) DestroyWindow(h);
    return 0;
}

BOOL PostMessageA(HWND h, UINT msg, WPARAM w, LPARAM l) {
    Lock lk(gMu);
    Window* win = WindowL(h);
    if (!win) return FALSE;
    QueueL(win->thread).posted.push_back(MSG{h, msg, w, l, 0, {}});
    gCv.notify_all();
    return TRUE;
}

void PostQuitMessage(int nExitCode) {
    Lock lk(gMu);
    Queue& q = QueueL(CurrentThread());
    q.fQuit = true;
    q.nQuitCode = nExitCode;
    gCv.notify_all();
}

LRESULT SendMessageA(HWND h, UINT msg, WPARAM w, LPARAM l) {
    auto m = std::make_shared<SentMsg>(SentMsg{h, msg, w, l});
    {
        Lock lk(gMu);
        Window* win = WindowL(h);
        if (!win) return 0;
        if (win->thread == CurrentThread()) {
            lk.unlock();
            return CallWindow(h, msg, w, l);
        }
        QueueL(win->thread).sent.push_back(m);
        gCv.notify_all();
    }
    // While waiting for the other thread, answer what is sent to this one, as Windows does.
    const DWORD tid = CurrentThread();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(standin::kWatchdogMs);
    for (;;) {
        ProcessSent();
        Lock lk(gMu);
        if (m->fDone) return m->result;
        if (std::chrono::steady_clock::now() > deadline)
            Fatal("a message sent to another thread was not handled (deadlock?)");
        gCv.wait_for(lk, std::chrono::milliseconds(50),
                     [&] { return m->fDone || !QueueL(tid).sent.empty(); });
    }
}

LRESULT SendDlgItemMessageA(HWND hDlg, int id, UINT msg, WPARAM w, LPARAM l) {
    return SendMessageA(GetDlgItem(hDlg, id), msg, w, l);
}

BOOL PeekMessageA(LPMSG lpMsg, HWND hWnd, UINT nMin, UINT nMax, UINT flags) {
    ProcessSent();
    if ((flags >> 16) == QS_SENDMESSAGE) return FALSE;
    Lock lk(gMu);
    Queue& q = QueueL(CurrentThread());
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if ((hWnd && it->hwnd != hWnd) || !InFilter(it->message, nMin, nMax)) continue;
        *lpMsg = *it;
        if (flags & PM_REMOVE) q.posted.erase(it);
        return TRUE;
    }
    HWND hPaint;
    if (InFilter(WM_PAINT, nMin, nMax) && ThreadNeedsPaintL(CurrentThread(), &hPaint) &&
        (!hWnd || hWnd == hPaint)) {
        *lpMsg = MSG{hPaint, WM_PAINT, 0, 0, 0, {}};
        return TRUE;
    }
    if (q.fQuit && InFilter(WM_QUIT, nMin, nMax)) {
        *lpMsg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.nQuitCode), 0, 0, {}};
        if (flags & PM_REMOVE) q.fQuit = false;
        return TRUE;
    }
    return FALSE;
}

BOOL GetMessageA(LPMSG lpMsg, HWND hWnd, UINT nMin, UINT nMax) {
    const DWORD tid = CurrentThread();
    for (;;) {
        if (PeekMessageA(lpMsg, hWnd, nMin, nMax, PM_REMOVE)) return lpMsg->message != WM_QUIT;
        std::function<void()> idle;
        {
            Lock lk(gMu);
            idle = QueueL(tid).idle;
            if (!idle) {
                WaitL(
                    lk,
                    [&] {
                        HWND hp;
                        Queue& q = QueueL(tid);
                        return !q.sent.empty() || !q.posted.empty() || q.fQuit ||
                               ThreadNeedsPaintL(tid, &hp);
                    },
                    "GetMessageA waited with nothing to do and no idle hook");
                continue;
            }
        }
        idle();
    }
}

BOOL TranslateMessage(const MSG* m) {
    if (m->message != WM_KEYDOWN) return FALSE;
    const WPARAM vk = m->wParam;
    const bool fChar = vk == VK_RETURN || vk == VK_ESCAPE || vk == VK_BACK ||
                       (vk >= '0' && vk <= '9') || (vk >= 'A' && vk <= 'Z') || vk == ' ';
    if (fChar) PostMessageA(m->hwnd, WM_CHAR, vk, 0);
    return fChar;
}

LRESULT DispatchMessageA(const MSG* m) {
    return CallWindow(m->hwnd, m->message, m->wParam, m->lParam);
}

HACCEL LoadAcceleratorsA(HINSTANCE, LPCSTR lpTableName) {
    Lock lk(gMu);
    if (ShouldFailL("LoadAcceleratorsA")) return nullptr;
    const int id = static_cast<int>(reinterpret_cast<uintptr_t>(lpTableName));
    if (!rcfile::Load().accelerators.count(id)) return nullptr;
    const uintptr_t h = NextHandleL();
    gAccelTables[h] = id;
    return reinterpret_cast<HACCEL>(h);
}

int TranslateAcceleratorA(HWND h, HACCEL hAcc, LPMSG m) {
    int id = 0;
    {
        Lock lk(gMu);
        auto t = gAccelTables.find(reinterpret_cast<uintptr_t>(hAcc));
        if (t == gAccelTables.end() || m->message != WM_KEYDOWN) return 0;
        for (const auto& a : rcfile::Load().accelerators.at(t->second))
            if (static_cast<WPARAM>(a.vk) == m->wParam) id = a.id;
    }
    if (!id) return 0;
    SendMessageA(h, WM_COMMAND, MAKEWPARAM(id, 1), 0);
    return 1;
}

namespace {
DWORD TicksL() {
    if (gTicks) return *gTicks;
    return static_cast<DWORD>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count());
}

// fTestClock: a finite timeout runs on the test's clock, when it has set one.
DWORD WaitObjects(const char* function, DWORD n, const HANDLE* handles, DWORD ms, DWORD wake,
                  bool fTestClock) {
    const DWORD tid = CurrentThread();
    Lock lk(gMu);
    if (ShouldFailL(function)) return WAIT_FAILED;
    DWORD result = WAIT_TIMEOUT;
    auto ready = [&] {
        for (DWORD i = 0; i < n; ++i) {
            bool fValid;
            if (TakeSignalL(handles[i], &fValid)) return result = WAIT_OBJECT_0 + i, true;
            if (!fValid) return result = WAIT_FAILED, true;
        }
        Queue& q = QueueL(tid);
        HWND hp;
        const bool fKey = std::any_of(q.posted.begin(), q.posted.end(), [](const MSG& m) {
            return m.message >= WM_KEYFIRST && m.message <= WM_KEYLAST;
        });
        if (((wake & QS_SENDMESSAGE) && !q.sent.empty()) || ((wake & QS_KEY) && fKey) ||
            ((wake & QS_POSTMESSAGE) && !q.posted.empty()) ||
            ((wake & QS_PAINT) && ThreadNeedsPaintL(tid, &hp)))
            return result = WAIT_OBJECT_0 + n, true;
        return false;
    };
    if (ms == INFINITE) {
        WaitL(lk, ready, "MsgWaitForMultipleObjects waited too long (deadlock?)");
    } else if (fTestClock && gTicks) {
        const DWORD dwStart = *gTicks;
        WaitL(
            lk, [&] { return ready() || *gTicks - dwStart >= ms; },
            "a timed wait outlived the test's clock (deadlock?)");
    } else {
        gCv.wait_for(lk, std::chrono::milliseconds(ms), ready);
    }
    return result;
}
} // namespace

DWORD MsgWaitForMultipleObjects(DWORD n, const HANDLE* handles, BOOL, DWORD ms, DWORD wake) {
    return WaitObjects("MsgWaitForMultipleObjects", n, handles, ms, wake, false);
}

int MessageBoxA(HWND hWnd, LPCSTR lpText, LPCSTR lpCaption, UINT uType) {
    standin::MessageBoxCall call{
        hWnd,  lpText ? lpText : "", lpCaption ? lpCaption : "Error", lpCaption != nullptr,
        uType, CurrentThread()};
    std::function<int(const standin::MessageBoxCall&)> hook;
    int answer = IDOK;
    {
        Lock lk(gMu);
        if (ShouldFailL("MessageBoxA")) return 0;
        gBoxes.push_back(call);
        hook = gBoxHook;
        if (!gBoxAnswers.empty()) {
            answer = gBoxAnswers.front();
            gBoxAnswers.pop_front();
        }
    }
    ProcessSent(); // a box's own loop goes on answering sent messages
    if (hook) answer = hook(call);
    ProcessSent();
    return answer;
}

HICON LoadIconA(HINSTANCE, LPCSTR lpIconName) {
    return reinterpret_cast<HICON>(0x7000 + reinterpret_cast<uintptr_t>(lpIconName));
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR lpCursorName) {
    return lpCursorName == IDC_WAIT ? kWaitCursor : kArrowCursor;
}

HCURSOR SetCursor(HCURSOR hCursor) {
    Lock lk(gMu);
    HCURSOR old = gCursor;
    gCursor = hCursor;
    gCursorHistory.push_back(hCursor);
    return old;
}

LONG_PTR GetWindowLongPtrA(HWND h, int nIndex) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) {
        tlsLastError = ERROR_INVALID_HANDLE;
        return 0;
    }
    if (nIndex == GWLP_HINSTANCE) return reinterpret_cast<LONG_PTR>(w->inst);
    const size_t slot = static_cast<size_t>(nIndex) / sizeof(LONG_PTR);
    return nIndex >= 0 && slot < w->extra.size() ? w->extra[slot] : 0;
}

LONG_PTR SetWindowLongPtrA(HWND h, int nIndex, LONG_PTR value) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    const size_t slot = static_cast<size_t>(nIndex) / sizeof(LONG_PTR);
    if (!w || nIndex < 0 || slot >= w->extra.size()) return 0;
    const LONG_PTR old = w->extra[slot];
    w->extra[slot] = value;
    return old;
}

HMENU GetMenu(HWND h) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    return w ? w->menu : nullptr;
}

BOOL EnableMenuItem(HMENU hMenu, UINT id, UINT uEnable) {
    Lock lk(gMu);
    auto m = gMenus.find(reinterpret_cast<uintptr_t>(hMenu));
    if (m == gMenus.end()) return -1;
    auto it = m->second.state.find(id);
    if (it == m->second.state.end()) return -1;
    const UINT old = it->second;
    it->second = uEnable & (MF_GRAYED | MF_DISABLED);
    return static_cast<BOOL>(old);
}

BOOL InvalidateRect(HWND h, const RECT* lpRect, BOOL bErase) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) return FALSE;
    ++gInvalidationCount;
    if (gRecording)
        gInvalidations.push_back(
            {h, lpRect == nullptr, lpRect ? *lpRect : RECT{}, bErase != 0, CurrentThread()});
    RECT r = lpRect ? *lpRect : RECT{0, 0, w->cx, w->cy};
    r.left = std::max<LONG>(r.left, 0), r.top = std::max<LONG>(r.top, 0);
    r.right = std::min<LONG>(r.right, w->cx), r.bottom = std::min<LONG>(r.bottom, w->cy);
    if (r.left >= r.right || r.top >= r.bottom) return TRUE; // nothing of it is visible
    if (!w->fNeedsPaint) {
        w->update = r;
    } else {
        w->update.left = std::min(w->update.left, r.left),
        w->update.top = std::min(w->update.top, r.top);
        w->update.right = std::max(w->update.right, r.right);
        w->update.bottom = std::max(w->update.bottom, r.bottom);
    }
    w->fNeedsPaint = true;
    w->fErase = w->fErase || bErase;
    gCv.notify_all();
    return TRUE;
}

HDC BeginPaint(HWND h, PAINTSTRUCT* ps) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    *ps = PAINTSTRUCT{};
    if (!w) return nullptr;
    if (w->fNeedsPaint) ps->rcPaint = w->update;
    ps->fErase = w->fErase;
    w->fNeedsPaint = false;
    w->fErase = false;
    ps->hdc = NewDCL(h);
    return ps->hdc;
}

BOOL EndPaint(HWND, const PAINTSTRUCT* ps) {
    Lock lk(gMu);
    gDCs.erase(reinterpret_cast<uintptr_t>(ps->hdc));
    return TRUE;
}

HDC GetDC(HWND h) {
    Lock lk(gMu);
    if (ShouldFailL("GetDC")) return nullptr;
    return NewDCL(h);
}

int ReleaseDC(HWND, HDC hDC) {
    Lock lk(gMu);
    return static_cast<int>(gDCs.erase(reinterpret_cast<uintptr_t>(hDC)));
}

BOOL GetClientRect(HWND h, LPRECT rc) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) return FALSE;
    *rc = RECT{0, 0, w->cx, w->cy};
    return TRUE;
}

// While it lives, invalidations are the stand-in's own (the strips a scroll uncovers), not
// the program's: they leave no record.
class UnrecordedInvalidations {
  public:
    UnrecordedInvalidations() : m_nCount(standin::InvalidationCount()) {
        Lock lk(gMu);
        m_fRecording = gRecording;
        gRecording = false;
    }
    ~UnrecordedInvalidations() {
        Lock lk(gMu);
        gRecording = m_fRecording;
        gInvalidationCount = m_nCount;
    }
    UnrecordedInvalidations(const UnrecordedInvalidations&) = delete;
    UnrecordedInvalidations& operator=(const UnrecordedInvalidations&) = delete;

  private:
    int m_nCount;
    bool m_fRecording = false;
};

BOOL ScrollWindow(HWND h, int dx, int dy, const RECT*, const RECT*) {
    int cx, cy;
    {
        Lock lk(gMu);
        Window* w = WindowL(h);
        if (!w) return FALSE;
        gScrolls.push_back({h, dx, dy});
        cx = w->cx, cy = w->cy;
    }
    // The strips the moved pixels uncover need painting; they are not the program's own
    // invalidations, so they leave no record.
    const UnrecordedInvalidations unrecorded;
    if (dy > 0) {
        RECT r{0, 0, cx, dy};
        InvalidateRect(h, &r, TRUE);
    } else if (dy < 0) {
        RECT r{0, cy + dy, cx, cy};
        InvalidateRect(h, &r, TRUE);
    }
    if (dx > 0) {
        RECT r{0, 0, dx, cy};
        InvalidateRect(h, &r, TRUE);
    } else if (dx < 0) {
        RECT r{cx + dx, 0, cx, cy};
        InvalidateRect(h, &r, TRUE);
    }
    return TRUE;
}

BOOL IntersectRect(LPRECT dst, const RECT* a, const RECT* b) {
    RECT r{std::max(a->left, b->left), std::max(a->top, b->top), std::min(a->right, b->right),
           std::min(a->bottom, b->bottom)};
    if (r.left >= r.right || r.top >= r.bottom) r = RECT{};
    *dst = r;
    return r.right > r.left;
}

// Vertical moves only, as the painter makes them. As on the platform, what needed painting
// before the move still does, and so does its copy moved along within the clip rectangle;
// SW_INVALIDATE adds the strip the move uncovers there.
int ScrollWindowEx(HWND h, int dx, int dy, const RECT* prcScroll, const RECT* prcClip, HRGN, LPRECT,
                   UINT flags) {
    RECT clip{}, moved{}, uncovered{};
    bool fMoved = false;
    {
        Lock lk(gMu);
        Window* w = WindowL(h);
        if (!w) return 0;
        gScrolls.push_back({h, dx, dy});
        const RECT rcClient{0, 0, w->cx, w->cy};
        clip = prcClip ? *prcClip : prcScroll ? *prcScroll : rcClient;
        if (w->fNeedsPaint) {
            moved = RECT{w->update.left + dx, w->update.top + dy, w->update.right + dx,
                         w->update.bottom + dy};
            fMoved = IntersectRect(&moved, &moved, &clip);
        }
        const RECT area = prcScroll ? *prcScroll : rcClient;
        uncovered = dy < 0 ? RECT{area.left, area.bottom + dy, area.right, area.bottom}
                           : RECT{area.left, area.top, area.right, area.top + dy};
    }
    const UnrecordedInvalidations unrecorded;
    if (fMoved) InvalidateRect(h, &moved, FALSE);
    if ((flags & SW_INVALIDATE) && dy != 0 && IntersectRect(&uncovered, &uncovered, &clip))
        InvalidateRect(h, &uncovered, FALSE);
    return SIMPLEREGION;
}

int SetScrollPos(HWND h, int nBar, int nPos, BOOL bRedraw) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w || (nBar != SB_HORZ && nBar != SB_VERT)) return 0;
    standin::ScrollBar& b = w->bars[nBar];
    const int old = b.nPos;
    b.nPos = std::clamp(nPos, b.nMin, std::max(b.nMin, b.nMax));
    ++b.nPosCalls;
    b.fLastPosRedraw = bRedraw != 0;
    return old;
}

BOOL SetScrollRange(HWND h, int nBar, int nMin, int nMax, BOOL bRedraw) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w || (nBar != SB_HORZ && nBar != SB_VERT)) return FALSE;
    standin::ScrollBar& b = w->bars[nBar];
    b.nMin = nMin, b.nMax = nMax;
    ++b.nRangeCalls;
    b.fLastRangeRedraw = bRedraw != 0;
    return TRUE;
}

BOOL CreateCaret(HWND h, HBITMAP, int cx, int cy) {
    Lock lk(gMu);
    if (ShouldFailL("CreateCaret")) return FALSE;
    gCaret = Caret{};
    gCaret.fExists = true;
    gCaret.owner = h;
    gCaret.cx = cx, gCaret.cy = cy;
    gCaret.thread = CurrentThread();
    return TRUE;
}

BOOL ShowCaret(HWND h) {
    Lock lk(gMu);
    if (!gCaret.fExists || gCaret.owner != h) return FALSE;
    ++gCaret.nShow;
    return TRUE;
}

BOOL HideCaret(HWND h) {
    Lock lk(gMu);
    if (!gCaret.fExists || gCaret.owner != h) return FALSE;
    --gCaret.nShow;
    return TRUE;
}

BOOL DestroyCaret() {
    Lock lk(gMu);
    if (!gCaret.fExists || gCaret.thread != CurrentThread()) return FALSE;
    gCaret = Caret{};
    return TRUE;
}

BOOL SetCaretPos(int x, int y) {
    Lock lk(gMu);
    if (!gCaret.fExists || gCaret.thread != CurrentThread()) {
        ++gCaret.nIgnoredMoves; // a caret belongs to the thread that made it
        return FALSE;
    }
    gCaret.x = x, gCaret.y = y;
    return TRUE;
}

INT_PTR DialogBoxParamA(HINSTANCE hInstance, LPCSTR lpTemplate, HWND hParent, DLGPROC proc,
                        LPARAM param) {
    const int id = static_cast<int>(reinterpret_cast<uintptr_t>(lpTemplate));
    HWND hDlg;
    std::function<void(HWND)> script;
    {
        Lock lk(gMu);
        if (ShouldFailL("DialogBoxParamA")) return -1;
        const auto& dialogs = rcfile::Load().dialogs;
        auto t = dialogs.find(id);
        if (t == dialogs.end()) return -1;
        auto dlg = std::make_unique<Window>();
        dlg->fDialog = true;
        dlg->dlgProc = proc;
        dlg->thread = CurrentThread();
        dlg->inst = hInstance;
        dlg->parent = hParent;
        dlg->text = t->second.caption;
        hDlg = NewWindowL(std::move(dlg));
        for (const auto& c : t->second.controls) {
            auto ctl = std::make_unique<Window>();
            ctl->fControl = true;
            ctl->cls = c.cls;
            ctl->text = c.text;
            ctl->style = c.style;
            ctl->nCtrlId = c.id;
            ctl->thread = CurrentThread();
            ctl->inst = hInstance;
            ctl->parent = hDlg;
            HWND hCtl = NewWindowL(std::move(ctl));
            WindowL(hDlg)->children.push_back(hCtl);
        }
        auto s = gDialogScripts.find(id);
        if (s != gDialogScripts.end()) script = s->second;
    }
    CallWindow(hDlg, WM_INITDIALOG, 0, param);
    ProcessSent();
    if (script)
        script(hDlg);
    else
        standin::ClickButton(hDlg, IDOK);
    ProcessSent();
    INT_PTR result;
    {
        Lock lk(gMu);
        Window* dlg = WindowL(hDlg);
        if (!dlg->fEnded) Fatal("a dialog was left open by the test's script");
        result = dlg->nResult;
    }
    CallWindow(hDlg, WM_DESTROY, 0, 0);
    Lock lk(gMu);
    Window* dlg = WindowL(hDlg);
    if (!dlg->props.empty()) ++gDialogsWithProps;
    for (HWND c : dlg->children)
        gWindows.erase(reinterpret_cast<uintptr_t>(c));
    gWindows.erase(reinterpret_cast<uintptr_t>(hDlg));
    return result;
}

BOOL EndDialog(HWND hDlg, INT_PTR nResult) {
    Lock lk(gMu);
    Window* w = WindowL(hDlg);
    if (!w || !w->fDialog) return FALSE;
    w->fEnded = true;
    w->nResult = nResult;
    return TRUE;
}

BOOL SetPropA(HWND h, LPCSTR key, HANDLE data) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w || !IS_INTRESOURCE(key)) return FALSE;
    w->props[reinterpret_cast<uintptr_t>(key)] = data;
    return TRUE;
}

HANDLE GetPropA(HWND h, LPCSTR key) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) return nullptr;
    auto it = w->props.find(reinterpret_cast<uintptr_t>(key));
    return it == w->props.end() ? nullptr : it->second;
}

HANDLE RemovePropA(HWND h, LPCSTR key) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) return nullptr;
    auto it = w->props.find(reinterpret_cast<uintptr_t>(key));
    if (it == w->props.end()) return nullptr;
    HANDLE data = it->second;
    w->props.erase(it);
    return data;
}

HWND GetDlgItem(HWND hDlg, int id) {
    Lock lk(gMu);
    Window* dlg = WindowL(hDlg);
    if (!dlg) return nullptr;
    for (HWND c : dlg->children)
        if (WindowL(c)->nCtrlId == id) return c;
    return nullptr;
}

namespace {

LRESULT ControlMessage(HWND h, UINT msg, WPARAM w, LPARAM l) {
    Lock lk(gMu);
    Window* c = WindowL(h);
    if (!c) return 0;
    const int nItems = static_cast<int>(c->items.size());
    const bool fValid = w < static_cast<WPARAM>(nItems);
    switch (msg) {
    case CB_ADDSTRING: c->items.emplace_back(reinterpret_cast<const char*>(l), 0); return nItems;
    case CB_GETCOUNT: return nItems;
    case CB_SETCURSEL:
        c->nCurSel = fValid ? static_cast<int>(w) : -1;
        return fValid ? static_cast<LRESULT>(w) : CB_ERR;
    case CB_GETCURSEL: return c->nCurSel;
    case CB_SETITEMDATA:
        if (!fValid) return CB_ERR;
        c->items[w].second = l;
        return TRUE;
    case CB_GETITEMDATA: return fValid ? c->items[w].second : CB_ERR;
    case CB_GETLBTEXT:
        if (!fValid) return CB_ERR;
        std::strcpy(reinterpret_cast<char*>(l), c->items[w].first.c_str());
        return static_cast<LRESULT>(c->items[w].first.size());
    case BM_SETCHECK: c->nCheck = static_cast<int>(w); return 0;
    case BM_GETCHECK: return c->nCheck;
    case WM_SETTEXT: c->text = reinterpret_cast<const char*>(l); return TRUE;
    case WM_GETTEXT: {
        if (w == 0) return 0;
        const size_t n = std::min(c->text.size(), static_cast<size_t>(w) - 1);
        std::memcpy(reinterpret_cast<char*>(l), c->text.data(), n);
        reinterpret_cast<char*>(l)[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    default: return 0;
    }
}

} // namespace

BOOL EnableWindow(HWND h, BOOL bEnable) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    if (!w) return FALSE;
    const BOOL fWasDisabled = !w->fEnabled;
    w->fEnabled = bEnable != 0;
    return fWasDisabled;
}

BOOL CheckDlgButton(HWND hDlg, int id, UINT uCheck) {
    SendDlgItemMessageA(hDlg, id, BM_SETCHECK, uCheck, 0);
    return TRUE;
}

UINT IsDlgButtonChecked(HWND hDlg, int id) {
    return static_cast<UINT>(SendDlgItemMessageA(hDlg, id, BM_GETCHECK, 0, 0));
}

UINT GetDlgItemTextA(HWND hDlg, int id, LPSTR lpString, int cchMax) {
    return static_cast<UINT>(SendDlgItemMessageA(hDlg, id, WM_GETTEXT, static_cast<WPARAM>(cchMax),
                                                 reinterpret_cast<LPARAM>(lpString)));
}

BOOL SetDlgItemTextA(HWND hDlg, int id, LPCSTR lpString) {
    return static_cast<BOOL>(
        SendDlgItemMessageA(hDlg, id, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)));
}

HWND GetParent(HWND h) {
    Lock lk(gMu);
    Window* w = WindowL(h);
    return w ? w->parent : nullptr;
}

int LoadStringA(HINSTANCE, UINT id, LPSTR buf, int cchMax) {
    Lock lk(gMu);
    if (cchMax <= 0) return 0;
    buf[0] = '\0';
    if (ShouldFailL("LoadStringA")) return 0;
    const auto& strings = rcfile::Load().strings;
    auto it = strings.find(static_cast<int>(id));
    if (it == strings.end()) return 0;
    const size_t n = std::min(it->second.size(), static_cast<size_t>(cchMax) - 1);
    std::memcpy(buf, it->second.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

int wsprintfA(LPSTR lpOut, LPCSTR lpFmt, ...) {
    constexpr size_t kMax = 1025; // wsprintfA writes at most 1024 characters
    va_list ap;
    va_start(ap, lpFmt);
    const int n = std::vsnprintf(lpOut, kMax, lpFmt, ap);
    va_end(ap);
    return std::min(n, static_cast<int>(kMax - 1));
}

DWORD GetSysColor(int nIndex) {
    return nIndex == COLOR_WINDOW ? RGB(255, 255, 255) : 0;
}

// =======================================================================================
// gdi32

HFONT CreateFontIndirectA(const LOGFONTA* lf) {
    Lock lk(gMu);
    if (ShouldFailL("CreateFontIndirectA")) return nullptr;
    const uintptr_t id = NextHandleL();
    gFonts[id] = Font{*lf, false};
    return reinterpret_cast<HFONT>(id);
}

BOOL DeleteObject(HGDIOBJ h) {
    Lock lk(gMu);
    auto it = gFonts.find(reinterpret_cast<uintptr_t>(h));
    if (it == gFonts.end()) return FALSE;
    if (!it->second.fStock) gFonts.erase(it);
    return TRUE;
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ h) {
    Lock lk(gMu);
    auto dc = gDCs.find(reinterpret_cast<uintptr_t>(hdc));
    if (dc == gDCs.end() || !gFonts.count(reinterpret_cast<uintptr_t>(h))) return nullptr;
    const uintptr_t old = dc->second.font;
    dc->second.font = reinterpret_cast<uintptr_t>(h);
    return reinterpret_cast<HGDIOBJ>(old);
}

HGDIOBJ GetStockObject(int i) {
    Lock lk(gMu);
    if (i == OEM_FIXED_FONT) return reinterpret_cast<HGDIOBJ>(gStockOem);
    if (i == SYSTEM_FONT) return reinterpret_cast<HGDIOBJ>(gStockSystem);
    return nullptr;
}

BOOL GetTextMetricsA(HDC hdc, TEXTMETRICA* tm) {
    std::function<TEXTMETRICA(const LOGFONTA&)> metrics;
    LOGFONTA lf;
    {
        Lock lk(gMu);
        if (ShouldFailL("GetTextMetricsA")) return FALSE;
        auto dc = gDCs.find(reinterpret_cast<uintptr_t>(hdc));
        if (dc == gDCs.end()) return FALSE;
        lf = gFonts.at(dc->second.font).lf;
        metrics = gMetrics;
    }
    *tm = metrics(lf);
    return TRUE;
}

COLORREF SetTextColor(HDC hdc, COLORREF c) {
    Lock lk(gMu);
    auto dc = gDCs.find(reinterpret_cast<uintptr_t>(hdc));
    if (dc == gDCs.end()) return 0;
    return std::exchange(dc->second.fg, c);
}

COLORREF SetBkColor(HDC hdc, COLORREF c) {
    Lock lk(gMu);
    auto dc = gDCs.find(reinterpret_cast<uintptr_t>(hdc));
    if (dc == gDCs.end()) return 0;
    return std::exchange(dc->second.bk, c);
}

int SetBkMode(HDC hdc, int mode) {
    Lock lk(gMu);
    auto dc = gDCs.find(reinterpret_cast<uintptr_t>(hdc));
    if (dc == gDCs.end()) return 0;
    return std::exchange(dc->second.bkMode, mode);
}

BOOL ExtTextOutA(HDC hdc, int x, int y, UINT options, const RECT* rc, LPCSTR s, UINT c,
                 const INT*) {
    Lock lk(gMu);
    auto dc = gDCs.find(reinterpret_cast<uintptr_t>(hdc));
    if (dc == gDCs.end()) return FALSE;
    if (gRecording) {
        const DC& d = dc->second;
        gTextOuts.push_back({d.hwnd, x, y, options, rc ? *rc : RECT{}, std::string(s, c),
                             gFonts.at(d.font).lf, d.fg, d.bk, d.bkMode});
    }
    return TRUE;
}

// =======================================================================================
// kernel32

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwAccess, DWORD dwShare, LPSECURITY_ATTRIBUTES,
                   DWORD dwDisposition, DWORD, HANDLE) {
    const std::string name = lpFileName ? lpFileName : "";
    Lock lk(gMu);
    if (ShouldFailL("CreateFileA")) return INVALID_HANDLE_VALUE;
    if (IsDeviceName(name)) {
        auto it = gDevices.find(name);
        if (it == gDevices.end() || !it->second->fPresent) {
            tlsLastError = ERROR_FILE_NOT_FOUND;
            return INVALID_HANDLE_VALUE;
        }
        DeviceImpl& dev = *it->second;
        if (dev.nOpen > 0) { // serial ports are never shared
            tlsLastError = ERROR_ACCESS_DENIED;
            return INVALID_HANDLE_VALUE;
        }
        ++dev.nOpen;
        dev.dwMask = 0;
        dev.fRxEvent = false;
        dev.log.push_back("CreateFileA");
        auto obj = NewObject(KObject::Device);
        obj->dev = it->second;
        return AddObjectL(obj);
    }
    if (name.empty()) {
        tlsLastError = ERROR_FILE_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }
    const std::string path = AbsolutePath(name);
    for (const auto& [h, o] : gObjects) {
        if (o->kind != KObject::File || o->path != path) continue;
        const bool fConflict = ((dwAccess & GENERIC_READ) && !(o->dwShare & FILE_SHARE_READ)) ||
                               ((dwAccess & GENERIC_WRITE) && !(o->dwShare & FILE_SHARE_WRITE)) ||
                               ((o->dwAccess & GENERIC_READ) && !(dwShare & FILE_SHARE_READ)) ||
                               ((o->dwAccess & GENERIC_WRITE) && !(dwShare & FILE_SHARE_WRITE));
        if (fConflict) {
            tlsLastError = ERROR_SHARING_VIOLATION;
            return INVALID_HANDLE_VALUE;
        }
    }
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        tlsLastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    int flags = (dwAccess & GENERIC_READ) && (dwAccess & GENERIC_WRITE) ? O_RDWR
                : (dwAccess & GENERIC_WRITE)                            ? O_WRONLY
                                                                        : O_RDONLY;
    if (dwDisposition == CREATE_ALWAYS) flags |= O_CREAT | O_TRUNC;
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        tlsLastError = ErrnoToError(errno);
        return INVALID_HANDLE_VALUE;
    }
    auto obj = NewObject(KObject::File);
    obj->fd = fd, obj->path = path, obj->dwAccess = dwAccess, obj->dwShare = dwShare;
    return AddObjectL(obj);
}

BOOL MoveFileExA(LPCSTR lpFrom, LPCSTR lpTo, DWORD dwFlags) {
    Lock lk(gMu);
    if (ShouldFailL("MoveFileExA")) return FALSE;
    const std::string from = AbsolutePath(lpFrom ? lpFrom : ""),
                      to = AbsolutePath(lpTo ? lpTo : "");
    // An open file cannot be renamed or replaced (none is opened with FILE_SHARE_DELETE).
    for (const auto& [h, o] : gObjects) {
        if (o->kind == KObject::File && (o->path == from || o->path == to)) {
            tlsLastError = ERROR_SHARING_VIOLATION;
            return FALSE;
        }
    }
    struct stat st;
    if (!(dwFlags & MOVEFILE_REPLACE_EXISTING) && stat(to.c_str(), &st) == 0) {
        tlsLastError = ERROR_ALREADY_EXISTS;
        return FALSE;
    }
    if (rename(from.c_str(), to.c_str()) != 0) {
        tlsLastError = ErrnoToError(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR lpFileName) {
    Lock lk(gMu);
    if (ShouldFailL("DeleteFileA")) return FALSE;
    if (unlink(AbsolutePath(lpFileName ? lpFileName : "").c_str()) != 0) {
        tlsLastError = ErrnoToError(errno);
        return FALSE;
    }
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD pRead, LPOVERLAPPED ov) {
    Lock lk(gMu);
    if (ShouldFailL("ReadFile")) return FALSE;
    auto obj = ObjectL(h);
    if (!obj) {
        tlsLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (obj->kind == KObject::File) {
        const ssize_t r = read(obj->fd, buf, n);
        if (r < 0) {
            tlsLastError = ErrnoToError(errno);
            return FALSE;
        }
        *pRead = static_cast<DWORD>(r);
        return TRUE;
    }
    if (obj->kind != KObject::Device || !ov) {
        tlsLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DeviceImpl& dev = *obj->dev;
    const standin::IoPlan plan = DeviceImpl::Take(dev.readPlans);
    ResetEventL(ov->hEvent);
    if (plan.mode == standin::IoMode::Fail) {
        tlsLastError = plan.error;
        return FALSE;
    }
    DWORD nTake = std::min<DWORD>(n, static_cast<DWORD>(dev.rx.size()));
    if (plan.mode == standin::IoMode::PendingFail) nTake = std::min(nTake, plan.bytes);
    for (DWORD i = 0; i < nTake; ++i) {
        static_cast<BYTE*>(buf)[i] = dev.rx.front();
        dev.rx.pop_front();
    }
    dev.readSizes.push_back(nTake);
    CompleteL(ov, plan.mode == standin::IoMode::PendingFail ? plan.error : 0, nTake);
    if (plan.mode == standin::IoMode::Immediate) {
        *pRead = nTake;
        return TRUE;
    }
    if (plan.fIncompleteFirst) dev.incompleteOnce.insert(ov);
    tlsLastError = ERROR_IO_PENDING;
    return FALSE;
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD pWritten, LPOVERLAPPED ov) {
    std::function<void(const std::string&)> hook;
    std::string bytes(static_cast<const char*>(buf), n);
    BOOL fResult;
    {
        Lock lk(gMu);
        if (ShouldFailL("WriteFile")) return FALSE;
        auto obj = ObjectL(h);
        if (!obj) {
            tlsLastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        if (obj->kind == KObject::File) {
            const ssize_t r = write(obj->fd, buf, n);
            if (r < 0) {
                tlsLastError = ErrnoToError(errno);
                return FALSE;
            }
            *pWritten = static_cast<DWORD>(r);
            return TRUE;
        }
        if (obj->kind != KObject::Device || !ov) {
            tlsLastError = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        DeviceImpl& dev = *obj->dev;
        const standin::IoPlan plan = DeviceImpl::Take(dev.writePlans);
        ResetEventL(ov->hEvent);
        if (plan.mode == standin::IoMode::Fail) {
            tlsLastError = plan.error;
            return FALSE;
        }
        dev.sent += bytes;
        dev.writes.push_back(bytes);
        hook = dev.onWrite;
        CompleteL(ov, plan.mode == standin::IoMode::PendingFail ? plan.error : 0, n);
        if (plan.mode == standin::IoMode::Immediate) {
            *pWritten = n;
            fResult = TRUE;
        } else {
            if (plan.fIncompleteFirst) dev.incompleteOnce.insert(ov);
            tlsLastError = ERROR_IO_PENDING;
            fResult = FALSE;
        }
    }
    if (hook) hook(bytes);
    if (!fResult) tlsLastError = ERROR_IO_PENDING;
    return fResult;
}

BOOL CloseHandle(HANDLE h) {
    Lock lk(gMu);
    if (ShouldFailL("CloseHandle")) return FALSE;
    auto it = gObjects.find(reinterpret_cast<uintptr_t>(h));
    if (it == gObjects.end()) {
        tlsLastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    auto obj = it->second;
    gObjects.erase(it);
    if (obj->kind == KObject::File) close(obj->fd);
    if (obj->kind == KObject::Device) {
        DeviceImpl& dev = *obj->dev;
        --dev.nOpen;
        dev.log.push_back("CloseHandle");
        if (dev.wait) {
            CompleteL(dev.wait->ov, ERROR_OPERATION_ABORTED, 0);
            dev.wait.reset();
        }
    }
    return TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCSTR) {
    Lock lk(gMu);
    if (ShouldFailL("CreateEventA")) return nullptr;
    auto obj = NewObject(KObject::Event);
    obj->fManual = bManualReset != 0;
    obj->fSignaled = bInitialState != 0;
    return AddObjectL(obj);
}

BOOL SetEvent(HANDLE h) {
    Lock lk(gMu);
    if (!ObjectL(h)) return FALSE;
    SetEventL(h);
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    Lock lk(gMu);
    if (!ObjectL(h)) return FALSE;
    ResetEventL(h);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms) {
    return WaitObjects("WaitForSingleObject", 1, &h, ms, 0, true);
}

DWORD GetTickCount() {
    Lock lk(gMu);
    return TicksL();
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, size_t, LPTHREAD_START_ROUTINE proc, LPVOID param,
                    DWORD flags, LPDWORD pId) {
    Lock lk(gMu);
    if (ShouldFailL("CreateThread")) return nullptr;
    auto obj = NewObject(KObject::Thread);
    obj->fResumed = !(flags & CREATE_SUSPENDED);
    const DWORD tid = gNextThreadId++;
    if (pId) *pId = tid;
    ++gLiveThreads;
    std::thread([obj, proc, param, tid] {
        tlsThreadId = tid;
        {
            Lock lk2(gMu);
            WaitL(
                lk2, [&] { return obj->fResumed; }, "a suspended thread was never resumed");
        }
        const DWORD r = proc(param);
        Lock lk2(gMu);
        obj->dwExit = r;
        obj->fSignaled = true;
        --gLiveThreads;
        gCv.notify_all();
    }).detach();
    return AddObjectL(obj);
}

DWORD ResumeThread(HANDLE h) {
    Lock lk(gMu);
    auto obj = ObjectL(h);
    if (!obj || obj->kind != KObject::Thread) return static_cast<DWORD>(-1);
    const DWORD old = obj->fResumed ? 0 : 1;
    obj->fResumed = true;
    gCv.notify_all();
    return old;
}

DWORD GetCurrentThreadId() {
    return CurrentThread();
}
DWORD GetLastError() {
    return tlsLastError;
}
void SetLastError(DWORD e) {
    tlsLastError = e;
}
// On the test's clock, once it has set one, as the timed waits are.
void Sleep(DWORD ms) {
    Lock lk(gMu);
    if (!gTicks) {
        lk.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return;
    }
    const DWORD dwStart = *gTicks;
    ++gSleeping;
    gCv.notify_all();
    WaitL(
        lk, [&] { return *gTicks - dwStart >= ms; }, "a Sleep outlived the test's clock");
    --gSleeping;
}

BOOL IsDebuggerPresent() {
    Lock lk(gMu);
    return gfDebugger;
}

void OutputDebugStringA(LPCSTR s) {
    Lock lk(gMu);
    gDebugStrings.emplace_back(s ? s : "");
}

LPSTR lstrcpyA(LPSTR d, LPCSTR s) {
    return std::strcpy(d, s);
}

LPSTR lstrcpynA(LPSTR d, LPCSTR s, int n) {
    if (n <= 0) return d;
    const size_t len = strnlen(s, static_cast<size_t>(n) - 1);
    std::memcpy(d, s, len);
    d[len] = '\0';
    return d;
}

int lstrlenA(LPCSTR s) {
    return s ? static_cast<int>(std::strlen(s)) : 0;
}

HLOCAL LocalAlloc(UINT, size_t n) {
    Lock lk(gMu);
    if (ShouldFailL("LocalAlloc")) return nullptr;
    ++gLiveLocals;
    return std::calloc(1, n);
}

HLOCAL LocalFree(HLOCAL p) {
    if (!p) return nullptr;
    Lock lk(gMu);
    --gLiveLocals;
    std::free(p);
    return nullptr;
}

DWORD GetVersion() {
    Lock lk(gMu);
    return gVersion;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs) {
    cs->pImpl = new std::recursive_mutex;
}
void EnterCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex*>(cs->pImpl)->lock();
}
void LeaveCriticalSection(LPCRITICAL_SECTION cs) {
    static_cast<std::recursive_mutex*>(cs->pImpl)->unlock();
}
void DeleteCriticalSection(LPCRITICAL_SECTION cs) {
    delete static_cast<std::recursive_mutex*>(cs->pImpl);
    cs->pImpl = nullptr;
}

// ---- Serial communications -----------------------------------------------------------

namespace {

// Looks up the device behind a handle and counts the call; null (with the error set)
// when the call is to fail.
std::shared_ptr<DeviceImpl> CommL(HANDLE h, const char* function) {
    if (ShouldFailL(function)) return nullptr;
    auto dev = DeviceL(h);
    if (!dev) tlsLastError = ERROR_INVALID_HANDLE;
    return dev;
}

} // namespace

BOOL SetCommMask(HANDLE h, DWORD mask) {
    Lock lk(gMu);
    auto dev = CommL(h, "SetCommMask");
    if (!dev) return FALSE;
    dev->log.push_back("SetCommMask " + std::to_string(mask));
    dev->dwMask = mask;
    if (dev->wait) { // a pending wait ends when the mask changes
        *dev->wait->pMask = 0;
        CompleteL(dev->wait->ov, dev->dwMaskChangeError, 0);
        dev->wait.reset();
    }
    return TRUE;
}

BOOL SetupComm(HANDLE h, DWORD in, DWORD out) {
    Lock lk(gMu);
    auto dev = CommL(h, "SetupComm");
    if (!dev) return FALSE;
    dev->log.push_back("SetupComm " + std::to_string(in) + " " + std::to_string(out));
    return TRUE;
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    Lock lk(gMu);
    auto dev = CommL(h, "PurgeComm");
    if (!dev) return FALSE;
    dev->log.push_back("PurgeComm " + std::to_string(flags));
    if (flags & PURGE_RXCLEAR) dev->rx.clear();
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, COMMTIMEOUTS* cto) {
    Lock lk(gMu);
    auto dev = CommL(h, "SetCommTimeouts");
    if (!dev) return FALSE;
    dev->log.push_back("SetCommTimeouts");
    dev->timeouts = *cto;
    return TRUE;
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
    Lock lk(gMu);
    auto dev = CommL(h, "GetCommState");
    if (!dev) return FALSE;
    dev->log.push_back("GetCommState");
    *dcb = dev->dcb;
    return TRUE;
}

BOOL SetCommState(HANDLE h, DCB* dcb) {
    Lock lk(gMu);
    auto dev = CommL(h, "SetCommState");
    if (!dev) return FALSE;
    dev->log.push_back("SetCommState " + std::to_string(dcb->BaudRate));
    if (dev->fRefuse) {
        tlsLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    dev->dcb = *dcb;
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE h, DWORD func) {
    Lock lk(gMu);
    auto dev = CommL(h, "EscapeCommFunction");
    if (!dev) return FALSE;
    dev->log.push_back(func == SETDTR   ? "SETDTR"
                       : func == CLRDTR ? "CLRDTR"
                                        : "EscapeCommFunction");
    if (func == SETDTR) dev->fDtr = true;
    if (func == CLRDTR) dev->fDtr = false;
    return TRUE;
}

BOOL WaitCommEvent(HANDLE h, LPDWORD pMask, LPOVERLAPPED ov) {
    Lock lk(gMu);
    auto dev = CommL(h, "WaitCommEvent");
    if (!dev) return FALSE;
    if (dev->dwMask == 0) { // nothing to wait for: the wait fails at once
        tlsLastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    const standin::IoPlan plan = DeviceImpl::Take(dev->waitPlans);
    if (plan.mode == standin::IoMode::Fail) {
        tlsLastError = plan.error;
        return FALSE;
    }
    ResetEventL(ov->hEvent);
    if (plan.mode == standin::IoMode::PendingFail) {
        CompleteL(ov, plan.error, 0);
        tlsLastError = ERROR_IO_PENDING;
        return FALSE;
    }
    if ((dev->dwMask & EV_RXCHAR) && dev->fRxEvent) {
        dev->fRxEvent = false;
        *pMask = EV_RXCHAR;
        CompleteL(ov, 0, 0);
        return TRUE;
    }
    ov->Internal = kPending;
    dev->wait = PendingWait{ov, pMask};
    tlsLastError = ERROR_IO_PENDING;
    return FALSE;
}

BOOL ClearCommError(HANDLE h, LPDWORD pErrors, COMSTAT* stat) {
    Lock lk(gMu);
    auto dev = CommL(h, "ClearCommError");
    if (!dev) return FALSE;
    if (pErrors) *pErrors = 0;
    if (stat) *stat = COMSTAT{0, static_cast<DWORD>(dev->rx.size()), 0};
    return TRUE;
}

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD pBytes, BOOL bWait) {
    Lock lk(gMu);
    auto dev = DeviceL(h);
    if (ShouldFailL("GetOverlappedResult")) {
        // As when it reports the operation's own error, the operation is over: an event wait
        // no longer pends, and bytes it would have announced are still to be announced.
        if (dev && dev->wait && dev->wait->ov == ov) dev->wait.reset();
        if (dev && !dev->rx.empty()) dev->fRxEvent = true;
        ov->Internal = tlsLastError;
        *pBytes = static_cast<DWORD>(ov->InternalHigh);
        return FALSE;
    }
    if (dev && dev->incompleteOnce.erase(ov)) {
        tlsLastError = ERROR_IO_INCOMPLETE;
        return FALSE;
    }
    if (ov->Internal == kPending) {
        if (!bWait) {
            tlsLastError = ERROR_IO_INCOMPLETE;
            return FALSE;
        }
        WaitL(
            lk, [&] { return ov->Internal != kPending; },
            "GetOverlappedResult waited too long for a transfer (deadlock?)");
    }
    *pBytes = static_cast<DWORD>(ov->InternalHigh);
    if (ov->Internal == 0) return TRUE;
    tlsLastError = static_cast<DWORD>(ov->Internal);
    return FALSE;
}

// =======================================================================================
// comdlg32

BOOL GetOpenFileNameA(LPOPENFILENAMEA ofn) {
    standin::OpenFileCall call{*ofn, {}, ofn->lpstrFile ? ofn->lpstrFile : ""};
    for (const char* p = ofn->lpstrFilter; p && *p; p += std::strlen(p) + 1)
        call.filters.emplace_back(p);
    std::function<BOOL(OPENFILENAMEA*)> hook;
    {
        Lock lk(gMu);
        gOpenFiles.push_back(call);
        hook = gOpenFileHook;
    }
    return hook ? hook(ofn) : FALSE;
}

BOOL ChooseFontA(LPCHOOSEFONTA cf) {
    std::function<BOOL(CHOOSEFONTA*)> hook;
    {
        Lock lk(gMu);
        gChooseFonts.push_back({*cf, *cf->lpLogFont});
        hook = gChooseFontHook;
    }
    return hook ? hook(cf) : FALSE;
}
