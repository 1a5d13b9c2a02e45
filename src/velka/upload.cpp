// upload.cpp: the two upload commands and their line-by-line handshake. Each line goes
// out only after the microcontroller's answer to the previous one has ended in CR; an
// answer with '~' stops the upload and names the line.
#include "velka.h"

#include <algorithm>
#include <cstring>

HANDLE ghUploadEvent = nullptr;
BOOL gfUploadRunning = FALSE;
char gszLineStr[kLineStrSize];
const char gszUpStr[] = "Upload";
const char gszLoadStr[] = "Loading ";
const char gszDotStr[] = ".";
const char gszRdyStr[] = " Ready\r";
const char gszCRStr[] = "\r";
const char gszCancelLineStr[] = "Upload cancelled in line ";
char gszErrorLineStr[kErrorLineStrSize] = "Source Error in line ";

namespace {

constexpr char kNotConnected[] = "Connect before Upload!";
constexpr char kContinue[] = "Continue?";
constexpr DWORD kUploadWake = QS_PAINT | QS_SENDMESSAGE | QS_KEY;
constexpr WORD kPowersOfTen[] = {10000, 1000, 100, 10, 1};

template <size_t N> void WriteText(HWND hWnd, const char (&szText)[N]) {
    WriteTTYBlock(hWnd, szText, static_cast<int>(N - 1));
}

// Marks the upload command as running for as long as it is on the window's stack.
class UploadRunning {
  public:
    UploadRunning() { gfUploadRunning = TRUE; }
    ~UploadRunning() { gfUploadRunning = FALSE; }
    UploadRunning(const UploadRunning&) = delete;
    UploadRunning& operator=(const UploadRunning&) = delete;
};

// Drops the keys typed while the upload ran, so none reaches the port afterwards.
void DiscardTypedKeys() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
    }
}

// Waits until the scanner has seen the CR of an answer. The window keeps painting and
// answering sent messages meanwhile; Escape gives up the wait (false).
bool WaitForAnswer() {
    while (gUploadSync == 0) {
        const DWORD dw = MsgWaitForMultipleObjects(1, &ghUploadEvent, FALSE, INFINITE, kUploadWake);
        if (dw == WAIT_OBJECT_0) continue; // the wake consumed the auto-reset event
        MSG msg;
        while (PeekMessageA(&msg, nullptr, WM_KEYFIRST, WM_KEYLAST, PM_REMOVE)) {
            if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) return false;
        }
        while (PeekMessageA(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE))
            DispatchMessageA(&msg);
        PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    }
    return true;
}

// Sends the line in gsTXBuf and waits for its answer; false when the user gave up.
bool SendLineAndWait(HWND hWnd) {
    gwRXCol = 0;
    gUploadSync = 0;
    // A line that did not go out gets no answer: waiting for one would last until Escape.
    if (!WriteCommBlock(hWnd, reinterpret_cast<LPCSTR>(gsTXBuf), gwTXCol)) return false;
    return WaitForAnswer();
}

// The report goes to the screen in one block, so the receive thread's display of a
// rejected answer cannot land between its text and its tag.
void ReportLine(HWND hWnd, LPCSTR lpszText, int nTextLength, int nTagLength) {
    char szReport[kReportSize];
    const int nText = std::min(nTextLength, kReportSize - kLineStrSize - 1);
    const int nTag = std::min(nTagLength, kLineStrSize);
    std::memcpy(szReport, lpszText, static_cast<size_t>(nText));
    std::memcpy(szReport + nText, gszLineStr, static_cast<size_t>(nTag));
    szReport[nText + nTag] = static_cast<char>(ASCII_CR);
    WriteTTYBlock(hWnd, szReport, nText + nTag + 1);
}

} // namespace

BOOL CreateUploadEvent() {
    // Auto-reset, so a line costs no ResetEvent call: under Wine each is a round trip to the
    // wineserver. A signal left over from a stray CR only makes the wait test
    // gUploadSync once more and wait again.
    if (!ghUploadEvent) ghUploadEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return ghUploadEvent != nullptr;
}

void DestroyUploadEvent() {
    if (ghUploadEvent) CloseHandle(ghUploadEvent);
    ghUploadEvent = nullptr;
}

void UploadSource(HWND hWnd, BOOL fVisible) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return;
    // Without a receive thread no answer could ever end the wait.
    if (!p->fConnected) {
        ShowAppMessage(hWnd, kNotConnected);
        return;
    }
    if (!OpenSourceFile(hWnd)) return;

    UploadRunning running;
    gwSourceLine = 1;
    gfUpError = FALSE; // cleared before the scanner can see the upload start
    gUploadSync = 0;
    gfUploading = TRUE;
    if (!fVisible) WriteText(hWnd, gszLoadStr);

    for (;;) {
        gUploadSync = 0;
        const int nResult = ReadSourceLine(hWnd);
        if (nResult == SRC_END) {
            gfUploading = FALSE;
            WriteText(hWnd, gszRdyStr);
            break;
        }
        if (nResult == SRC_ERROR) { // "File Read Error!" was shown; the rest never went out
            gfUploading = FALSE;
            break;
        }
        if (nResult == SRC_PAUSE) {
            MessageBoxA(hWnd, kContinue, gszUpStr, MB_OK);
            continue;
        }
        if (nResult == SRC_SKIP) continue;

        const int nTag = IToDecString(gwSourceLine, gszLineStr);
        if (fVisible) WriteTTYBlock(hWnd, gszLineStr, nTag);
        if (!SendLineAndWait(hWnd)) {
            gfUploading = FALSE;
            ReportLine(hWnd, gszCancelLineStr, sizeof(gszCancelLineStr) - 1, nTag);
            break;
        }
        if (gUploadSync == ASCII_ERR) {
            gUploadSync = 0; // the receive thread has cleared gfUploading
            ReportLine(hWnd, gszErrorLineStr, lstrlenA(gszErrorLineStr), nTag);
            break;
        }
        if (fVisible) {
            WriteTTYBlock(hWnd, reinterpret_cast<LPCSTR>(gsTXBuf), gwTXCol);
            UpdateWindow(hWnd);
        }
        ++gwSourceLine;
        if (!fVisible && gwSourceLine % 10 == 2) WriteText(hWnd, gszDotStr);
    }
    CloseHandle(ghSourceFile);
    ghSourceFile = nullptr;
    DiscardTypedKeys();
}

void SignalAnswer() {
    SetEvent(ghUploadEvent);
}

int IToDecString(WORD wValue, LPSTR lpszBuffer) {
    int n = 0;
    lpszBuffer[n++] = '<';
    bool fDigits = false;
    for (WORD wPower : kPowersOfTen) {
        const int nDigit = wValue / wPower;
        wValue = static_cast<WORD>(wValue % wPower);
        if (nDigit != 0) fDigits = true;
        if (fDigits) lpszBuffer[n++] = static_cast<char>('0' + nDigit);
    }
    lpszBuffer[n++] = '>';
    lpszBuffer[n++] = ' ';
    lpszBuffer[n] = '\0';
    return n;
}
