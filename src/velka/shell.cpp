// shell.cpp: start-up, the main window's class, message loop and window procedure,
// and the record's construction and release with the window.
// The window procedure only routes; each handler lives with the concern it serves.
#include "velka.h"

#include <new>

const char gszTTYClass[] = "TTYWndClass";
const char gszAppName[] = "Velka v3.3";
const char gszConnectFailed[] = "Connection failed.";
std::atomic<HWND> hTTYWnd{nullptr};
HACCEL ghAccel = nullptr;

namespace {

constexpr char kExitText[] = "exit   Velka?";
constexpr char kExitCaption[] = "Really?";
constexpr char kSaveFailed[] = "Setup not saved!";
constexpr BYTE kDefaultPitchAndFamily = FIXED_PITCH | FF_MODERN; // 0x31
constexpr char kDefaultFace[] = "Courier New";
constexpr LONG kDefaultFontHeight = 14;
constexpr DWORD kDefaultBaudRate = 19200;

// Asks before the window goes; OK lets the default procedure destroy it.
LRESULT ConfirmClose(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    if (gfUploadRunning) return 0; // the upload on the stack still uses the record
    if (MessageBoxA(hWnd, kExitText, kExitCaption, MB_ICONQUESTION | MB_OKCANCEL) == IDOK)
        return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    return 0;
}

void RunTTYCommand(HWND hWnd, WORD wCommand) {
    // Menu clicks and accelerators that reach the window while an upload runs (through a
    // message box's loop) must not start a second operation on the same port and file.
    if (gfUploadRunning) return;
    HINSTANCE hInst = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hWnd, GWLP_HINSTANCE));
    switch (wCommand) {
    case IDM_CONNECT:
        if (!OpenConnection(hWnd)) ShowAppMessage(hWnd, gszConnectFailed);
        break;
    case IDM_DISCONNECT:
        KillTTYFocus(hWnd); // before fConnected drops, or the caret would stay
        CloseConnection(hWnd);
        break;
    case IDM_SELECTSOURCE: SourceOpenDlg(hWnd, gszSourceName, gszSourceTitle); break;
    case IDM_EXIT: PostMessageA(hWnd, WM_CLOSE, 0, 0); break;
    case IDM_UPLOADFAST: UploadSource(hWnd, FALSE); break;
    case IDM_UPLOADVISIBLE: UploadSource(hWnd, TRUE); break;
    case IDM_SETTINGS: RunSettingsCommand(hWnd); break;
    case IDM_SAVESETUP:
        if (!SaveDefaults(hWnd)) ShowAppMessage(hWnd, kSaveFailed);
        break;
    case IDM_ABOUT: GoModalDialogBoxParam(hInst, IDD_ABOUT, hWnd, HelpDlgProc, 0); break;
    default: break;
    }
}

void SetRecordDefaults(TTYInfo* p) {
    p->hCommDev = nullptr;
    p->bPort = 1;
    p->fConnected = FALSE;
    p->fLocalEcho = FALSE;
    p->fNewLine = TRUE;
    p->fAutoWrap = TRUE;
    p->fHexPrint = FALSE;
    p->bByteSize = 8;
    p->bParity = NOPARITY;
    p->bStopBits = ONESTOPBIT;
    p->dwBaudRate = kDefaultBaudRate;
    p->wCursorState = 0;
    p->hTTYFont = nullptr;
    p->rgbFGColour = RGB(0, 0, 0);
    p->osRead.Offset = p->osRead.OffsetHigh = 0;
    p->osWrite.Offset = p->osWrite.OffsetHigh = 0;

    LOGFONTA& lf = p->lfTTYFont;
    lf = LOGFONTA{};
    lf.lfHeight = kDefaultFontHeight;
    lf.lfCharSet = OEM_CHARSET;
    lf.lfPitchAndFamily = kDefaultPitchAndFamily;
    lstrcpynA(lf.lfFaceName, kDefaultFace, LF_FACESIZE);
}

void FreeRecord(TTYInfo* p) {
    p->~TTYInfo();
    LocalFree(p);
}

} // namespace

void ShowAppMessage(HWND hWnd, LPCSTR lpszText) {
    MessageBoxA(hWnd, lpszText, gszAppName, MB_ICONEXCLAMATION | MB_OK);
}

void SetConnectMenu(HWND hWnd, BOOL fConnected) {
    HMENU hMenu = GetMenu(hWnd);
    EnableMenuItem(hMenu, IDM_CONNECT, fConnected ? MF_GRAYED | MF_DISABLED : MF_ENABLED);
    EnableMenuItem(hMenu, IDM_DISCONNECT, fConnected ? MF_ENABLED : MF_GRAYED | MF_DISABLED);
}

int CreateTTYInfo(HWND hWnd) {
    void* pMem = LocalAlloc(LPTR, sizeof(TTYInfo));
    if (!pMem) return -1;
    TTYInfo* p = new (pMem) TTYInfo{};
    SetRecordDefaults(p);

    p->osRead.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!p->osRead.hEvent) {
        FreeRecord(p);
        return -1;
    }
    p->osWrite.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!p->osWrite.hEvent) {
        CloseHandle(p->osRead.hEvent);
        FreeRecord(p);
        return -1;
    }
    if (!CreateUploadEvent()) {
        CloseHandle(p->osWrite.hEvent);
        CloseHandle(p->osRead.hEvent);
        FreeRecord(p);
        return -1;
    }
    InitializeCriticalSection(&p->csScreen);

    FillMemory(p->abScreen, kScreenCells, ' ');
    LoadDefaults(p);

    SetWindowLongPtrA(hWnd, 0, reinterpret_cast<LONG_PTR>(p));
    gwMaxColumn = MAXCOLS;
    ResetTTYScreen(hWnd, p);

    if (!OpenConnection(hWnd)) {
        ShowAppMessage(hWnd, gszConnectFailed);
        p->fConnected = FALSE;
        SetConnectMenu(hWnd, FALSE);
    }
    SourceFileInit(hWnd);
    return 1;
}

int DestroyTTYInfo(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return 0;
    if (p->fConnected) CloseConnection(hWnd);
    CloseHandle(p->osRead.hEvent);
    CloseHandle(p->osWrite.hEvent);
    DestroyUploadEvent();
    DeleteObject(p->hTTYFont);
    DeleteCriticalSection(&p->csScreen);
    SetWindowLongPtrA(hWnd, 0, 0);
    FreeRecord(p);
    return 1;
}

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR, int nCmdShow) {
    if (!hPrevInstance && !InitApplication(hInstance)) return 0;
    hTTYWnd = InitInstance(hInstance, nCmdShow);
    if (!hTTYWnd) return 0;

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0)) {
        if (!TranslateAcceleratorA(hTTYWnd, ghAccel, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

ATOM InitApplication(HINSTANCE hInstance) {
    WNDCLASSA wc{};
    wc.style = 0;
    wc.lpfnWndProc = TTYWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = sizeof(LONG_PTR); // slot 0: the record
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_TTYICON));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszMenuName = MAKEINTRESOURCEA(IDR_TTYMENU);
    wc.lpszClassName = gszTTYClass;
    return RegisterClassA(&wc);
}

HWND InitInstance(HINSTANCE hInstance, int nCmdShow) {
    ghAccel = LoadAcceleratorsA(hInstance, MAKEINTRESOURCEA(IDR_TTYACCEL));
    HWND hWnd = CreateWindowExA(0, gszTTYClass, gszAppName, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr,
                                hInstance, nullptr);
    if (!hWnd) return nullptr;
    ShowWindow(hWnd, nCmdShow);
    UpdateWindow(hWnd);
    return hWnd;
}

LRESULT CALLBACK TTYWndProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
    switch (uMsg) {
    case WM_CREATE: return CreateTTYInfo(hWnd);
    case WM_DESTROY:
        DestroyTTYInfo(hWnd);
        PostQuitMessage(0);
        return 0;
    case WM_SIZE: SizeTTY(hWnd, HIWORD(lParam), LOWORD(lParam)); return 0;
    case WM_SETFOCUS: SetTTYFocus(hWnd); return 0;
    case WM_KILLFOCUS: KillTTYFocus(hWnd); return 0;
    case WM_PAINT: PaintTTY(hWnd); return 0;
    case WM_CLOSE: return ConfirmClose(hWnd, uMsg, wParam, lParam);
    case WM_CHAR:
        if (gfUploadRunning) return 0; // keys are not sent while a file goes out
        gUploadSync = 0;
        ProcessTTYCharacter(hWnd, static_cast<BYTE>(wParam & 0xFF));
        return 0;
    case WM_COMMAND: RunTTYCommand(hWnd, LOWORD(wParam)); return 0;
    case WM_TTY_WATCHFAILED: WatchFailed(hWnd); return 0;
    case WM_HSCROLL: ScrollTTYHorz(hWnd, LOWORD(wParam), HIWORD(wParam)); return 0;
    case WM_VSCROLL: ScrollTTYVert(hWnd, LOWORD(wParam), HIWORD(wParam)); return 0;
    default: return DefWindowProcA(hWnd, uMsg, wParam, lParam);
    }
}

INT_PTR GoModalDialogBoxParam(HINSTANCE hInstance, int nTemplate, HWND hOwner, DLGPROC lpProc,
                              LPARAM lParam) {
    return DialogBoxParamA(hInstance, MAKEINTRESOURCEA(nTemplate), hOwner, lpProc, lParam);
}
