// comm.cpp: the serial link. Opening, configuring and closing the port, the receive
// thread that drains the input queue onto the screen (or into the upload's answer
// scanner), block reads and writes, and the typed keys.
#include "velka.h"

#include <algorithm>

namespace {

constexpr char kTelnetDevice[] = "\\\\.\\TELNET";
constexpr char kPortFormat[] = "%s%d";
constexpr char kComError[] = "<COM Error>";
constexpr char kIOPending[] = "\n\r<IO Pending>";
constexpr char kThreadEventFailed[] = "Failed to create event for thread!";
constexpr char kThreadErrorCaption[] = "TTY Error!";
constexpr BYTE kLastComPort = 4;
constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr BYTE kXonChar = 0x11;
constexpr BYTE kXoffChar = 0x13;
constexpr WORD kXonXoffLimit = 100;
constexpr DWORD kCloseRetryMs = 100;

// The receive thread's handle, kept for the window's thread so that it can wait for
// the thread and close the handle: the thread clears the record's copy itself.
HANDLE s_hWatchThread = nullptr;

void BuildDeviceName(HWND hWnd, BYTE bPort, char (&szName)[kDeviceNameSize]) {
    if (bPort > kLastComPort) {
        lstrcpynA(szName, kTelnetDevice, kDeviceNameSize);
        return;
    }
    char szPrefix[kPortPrefixSize] = "";
    HINSTANCE hInst = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hWnd, GWLP_HINSTANCE));
    LoadStringA(hInst, IDS_COMPREFIX, szPrefix, kPortPrefixSize);
    wsprintfA(szName, kPortFormat, szPrefix, bPort); // at most 9 + 3 + 1 bytes
}

void ShowComError(HWND hWnd) {
    char szError[kComErrorSize];
    wsprintfA(szError, kComError);
    WriteTTYBlock(hWnd, szError, lstrlenA(szError));
}

// Waits for the receive thread to end. The wait goes on dispatching sent messages,
// because the thread may be inside UpdateWindow, which needs this thread to paint. The
// empty mask is set again now and then: a thread that had just tested fConnected when
// the first one was set may have started a new event wait after it.
void WaitForReceiveThread(TTYInfo* p) {
    HANDLE hThread = s_hWatchThread;
    while (p->dwThreadID != 0) {
        const DWORD dw =
            MsgWaitForMultipleObjects(1, &hThread, FALSE, kCloseRetryMs, QS_SENDMESSAGE);
        if (dw == WAIT_OBJECT_0) break;
        if (dw == WAIT_OBJECT_0 + 1) {
            MSG msg;
            PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
            continue;
        }
        SetCommMask(p->hCommDev, 0);
        if (dw == WAIT_FAILED) Sleep(kWaitRetryMs);
    }
    CloseHandle(hThread);
    s_hWatchThread = nullptr;
}

// The thread's last acts on the record; the record may be freed right after.
DWORD EndWatch(TTYInfo* p, HANDLE hEvent, DWORD dwResult) {
    if (hEvent) CloseHandle(hEvent);
    p->hWatchThread = nullptr;
    p->dwThreadID = 0;
    return dwResult;
}

// Whether received bytes wait in the port's input queue.
bool BytesQueued(TTYInfo* p) {
    DWORD dwErrorFlags;
    COMSTAT comStat{};
    return ClearCommError(p->hCommDev, &dwErrorFlags, &comStat) && comStat.cbInQue > 0;
}

// A thread that cannot watch the port leaves a connection that would never receive: the
// window closes it and reports it failed, as any other failure to connect.
// The window may still be being created (hTTYWnd not yet known): the note waits for it.
DWORD EndWatchEarly(TTYInfo* p, HANDLE hEvent) {
    while (!hTTYWnd && p->fConnected)
        Sleep(kWaitRetryMs);
    if (p->fConnected) PostMessageA(hTTYWnd, WM_TTY_WATCHFAILED, 0, 0);
    return EndWatch(p, hEvent, 0);
}

// How the receive thread paces the painting of what it writes: a forced paint costs the
// window's thread a round of drawing and, under Wine, many server requests, and a receiver
// that pays it for every block of a steady stream falls behind a fast line, where, without
// a handshake, the bytes it leaves behind are lost. So while bytes keep coming, the cells
// written are held (not marked) and shown at most once in kPaintIntervalMs; a block after a
// quiet line is shown at once. Each wake of the thread costs as much again, so while the
// screen's bytes keep coming the thread does not wait for the port's event either: it
// sleeps out the rest of the interval, reads what has queued meanwhile (at 115 200 baud
// about 190 bytes of the port's 4 096) and shows it, and waits for the event only once a
// read after a pause finds nothing.
struct Pacer {
    HeldMarks held;
    DWORD dwLastShown; // when held cells were last marked
    DWORD dwLastDrain; // when the last drain that read bytes ended
};

void ShowHeld(Pacer& pacer, DWORD dwNow, bool fPaint) {
    if (!pacer.held.fAny) return;
    MarkHeldCells(hTTYWnd, &pacer.held);
    pacer.dwLastShown = dwNow;
    if (fPaint) UpdateWindow(hTTYWnd);
}

// Hands one received block on: to the screen, or to the upload's answer scanner; true when
// it went to the screen. While more bytes are queued behind it, what is held is marked once
// the interval has passed, and the window's thread paints on its own; the end of the drain
// decides the rest.
bool DeliverBlock(const char* pBlock, int nLength, bool fMoreQueued, Pacer& pacer) {
    if (!gfUploading) {
        WriteTTYBlock(hTTYWnd, pBlock, nLength, &pacer.held);
        const DWORD dwNow = GetTickCount();
        if (fMoreQueued && dwNow - pacer.dwLastShown >= kPaintIntervalMs)
            ShowHeld(pacer, dwNow, false);
        return true;
    }
    // An upload paints what it writes itself; the receive thread forces a paint only to
    // show a rejecting answer, once the scan has ended the upload's wait.
    // The scanner's own result, not gfUploading: the window's thread clears that flag as
    // soon as an accepted last answer lets the upload finish.
    if (ScanCommBlock(pBlock, nLength)) { // the answer rejected the line: show it once
        WriteTTYBlock(hTTYWnd, reinterpret_cast<LPCSTR>(gsRXBuf), gwRXCol);
        UpdateWindow(hTTYWnd);
    }
    return false;
}

// Sleeps until kPaintIntervalMs have passed since held cells were last shown.
void SleepOutInterval(const Pacer& pacer) {
    const DWORD dwSince = GetTickCount() - pacer.dwLastShown;
    if (dwSince < kPaintIntervalMs) Sleep(kPaintIntervalMs - dwSince);
}

// Reads what is queued, at most nMaxLength bytes; *pdwQueued is the queue's count as the
// read was sized, so the caller knows whether bytes were left behind.
int ReadQueuedBlock(HWND hWnd, LPSTR lpszBlock, int nMaxLength, DWORD* pdwQueued) {
    *pdwQueued = 0;
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return 0;

    DWORD dwErrorFlags;
    COMSTAT comStat{};
    ClearCommError(p->hCommDev, &dwErrorFlags, &comStat);
    *pdwQueued = comStat.cbInQue;
    DWORD dwLength = std::min(static_cast<DWORD>(std::max(nMaxLength, 0)), comStat.cbInQue);
    if (dwLength == 0) return 0;

    if (ReadFile(p->hCommDev, lpszBlock, dwLength, &dwLength, &p->osRead))
        return static_cast<int>(dwLength);
    if (GetLastError() != ERROR_IO_PENDING) {
        ClearCommError(p->hCommDev, &dwErrorFlags, &comStat);
        return 0;
    }
    // Only a listening debugger wants the note; without one, Wine 10 still raises it as an
    // exception at milliseconds of CPU each, enough to lose bytes on a line with no handshake.
    if (IsDebuggerPresent()) OutputDebugStringA(kIOPending);
    while (!GetOverlappedResult(p->hCommDev, &p->osRead, &dwLength, TRUE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) continue;
        ShowComError(hWnd);
        ClearCommError(p->hCommDev, &dwErrorFlags, &comStat);
        break;
    }
    return static_cast<int>(std::min(dwLength, static_cast<DWORD>(nMaxLength)));
}

// Reads and hands on what is queued until a read finds nothing; returns the bytes read,
// and in *pnShown those that went to the screen. A port being closed stops it, or a device
// that never pauses would keep the thread, and CloseConnection, here for ever. EV_RXCHAR
// announces only bytes that arrive: bytes a failed read left queued are read again after a
// pause, not when (if ever) more come.
int DrainQueue(TTYInfo* p, char (&abIn)[kReceiveBlockSize], Pacer& pacer, int* pnShown) {
    int nRead = 0;
    *pnShown = 0;
    while (p->fConnected) {
        DWORD dwQueued = 0;
        const int nLength = ReadQueuedBlock(hTTYWnd, abIn, kReceiveBlockSize, &dwQueued);
        if (nLength > 0) {
            nRead += nLength;
            if (DeliverBlock(abIn, nLength, dwQueued > DWORD(nLength), pacer)) *pnShown += nLength;
            continue;
        }
        if (!BytesQueued(p)) break;
        Sleep(kWaitRetryMs);
    }
    return nRead;
}

} // namespace

BOOL OpenConnection(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    HCURSOR hOldCursor = SetCursor(LoadCursorA(nullptr, IDC_WAIT));
    char szPort[kDeviceNameSize];
    BuildDeviceName(hWnd, p->bPort, szPort);

    p->hCommDev = CreateFileA(szPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (p->hCommDev == INVALID_HANDLE_VALUE) {
        p->fConnected = FALSE;
        SetCursor(hOldCursor);
        return FALSE;
    }

    SetCommMask(p->hCommDev, EV_RXCHAR);
    SetupComm(p->hCommDev, kQueueSize, kQueueSize);
    PurgeComm(p->hCommDev, kPurgeAll);
    COMMTIMEOUTS cto{};
    cto.ReadIntervalTimeout = MAXDWORD;
    cto.ReadTotalTimeoutMultiplier = 0;
    cto.ReadTotalTimeoutConstant = kCommTimeout;
    cto.WriteTotalTimeoutMultiplier = 0;
    cto.WriteTotalTimeoutConstant = kCommTimeout;
    SetCommTimeouts(p->hCommDev, &cto);

    const BOOL fRetVal = SetupConnection(hWnd);
    if (!fRetVal) {
        p->fConnected = FALSE;
        CloseHandle(p->hCommDev);
        SetCursor(hOldCursor);
        return FALSE;
    }

    p->fConnected = TRUE;
    // Created suspended: the thread may end at once, and its clearing of dwThreadID
    // must come after the id has been stored, or CloseConnection would wait forever.
    DWORD dwThreadID = 0;
    HANDLE hThread = CreateThread(nullptr, 0, CommWatchProc, p, CREATE_SUSPENDED, &dwThreadID);
    if (!hThread) {
        p->fConnected = FALSE;
        CloseHandle(p->hCommDev);
        SetCursor(hOldCursor);
        return FALSE;
    }
    p->dwThreadID = dwThreadID;
    p->hWatchThread = hThread;
    s_hWatchThread = hThread;
    ResumeThread(hThread);

    EscapeCommFunction(p->hCommDev, SETDTR);
    SetTTYFocus(hWnd);
    SetConnectMenu(hWnd, TRUE);
    SetCursor(hOldCursor);
    return fRetVal;
}

BOOL SetupConnection(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(p->hCommDev, &dcb)) {
        dcb = DCB{}; // a state that cannot be read starts from zeros
        dcb.DCBlength = sizeof(DCB);
    }
    dcb.BaudRate = p->dwBaudRate;
    dcb.ByteSize = p->bByteSize;
    dcb.Parity = p->bParity;
    dcb.StopBits = p->bStopBits;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.XonChar = kXonChar;
    dcb.XoffChar = kXoffChar;
    dcb.XonLim = kXonXoffLimit;
    dcb.XoffLim = kXonXoffLimit;
    return SetCommState(p->hCommDev, &dcb);
}

BOOL CloseConnection(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    p->fConnected = FALSE;
    SetCommMask(p->hCommDev, 0); // ends the thread's pending event wait
    WaitForReceiveThread(p);
    EscapeCommFunction(p->hCommDev, CLRDTR);
    PurgeComm(p->hCommDev, kPurgeAll);
    CloseHandle(p->hCommDev);
    SetConnectMenu(hWnd, FALSE);
    return TRUE;
}

DWORD WINAPI CommWatchProc(LPVOID lpData) {
    TTYInfo* p = static_cast<TTYInfo*>(lpData);

    OVERLAPPED os{};
    os.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!os.hEvent) {
        MessageBoxA(nullptr, kThreadEventFailed, kThreadErrorCaption, MB_ICONEXCLAMATION | MB_OK);
        return EndWatchEarly(p, nullptr);
    }
    if (!SetCommMask(p->hCommDev, EV_RXCHAR)) return EndWatchEarly(p, os.hEvent);

    char abIn[kReceiveBlockSize];
    Pacer pacer;
    pacer.dwLastShown = pacer.dwLastDrain = GetTickCount() - kPaintIntervalMs;
    bool fFlowing = false; // the last drain put bytes on the screen: read again after a pause
    while (p->fConnected) {
        bool fShowNow = true;
        const bool fPaused = fFlowing;
        if (fFlowing) {
            // Nothing is held here that the pause does not show right after.
            SleepOutInterval(pacer);
        } else {
            // Entered with nothing held: every drain that holds cells is followed by a pause.
            DWORD dwEvtMask = 0;
            BOOL fWaited = WaitCommEvent(p->hCommDev, &dwEvtMask, &os);
            if (!fWaited && GetLastError() == ERROR_IO_PENDING) {
                DWORD dwTransfer;
                fWaited = GetOverlappedResult(p->hCommDev, &os, &dwTransfer, TRUE);
            }
            if (!fWaited) {
                // A failed wait ends the thread when the port is being closed; on a port
                // that is still open (a device that vanished) it must not spin a core.
                if (p->fConnected) Sleep(kWaitRetryMs);
                continue;
            }
            if (!(dwEvtMask & EV_RXCHAR)) continue;
            // A block after a quiet line is shown at once (a typed key's echo, an answer).
            fShowNow = GetTickCount() - pacer.dwLastDrain >= kPaintIntervalMs;
        }
        int nShown;
        const int nRead = DrainQueue(p, abIn, pacer, &nShown);
        fFlowing = nShown > 0;
        const DWORD dwNow = GetTickCount();
        if (nRead > 0) pacer.dwLastDrain = dwNow; // the line is quiet since the last bytes
        // Only a block after a quiet line is painted at once; the window's thread paints the
        // rest on its own, which spares this thread the round trip of a forced paint.
        if (fShowNow || dwNow - pacer.dwLastShown >= kPaintIntervalMs)
            ShowHeld(pacer, dwNow, fShowNow && !fPaused);
    }
    // The window's thread waits for this one to end: it paints what is held afterwards.
    ShowHeld(pacer, GetTickCount(), false);
    return EndWatch(p, os.hEvent, 1);
}

int ReadCommBlock(HWND hWnd, LPSTR lpszBlock, int nMaxLength) {
    DWORD dwQueued;
    return ReadQueuedBlock(hWnd, lpszBlock, nMaxLength, &dwQueued);
}

BOOL WriteCommBlock(HWND hWnd, LPCSTR lpByte, DWORD dwBytesToWrite) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    DWORD dwBytesWritten, dwErrorFlags;
    COMSTAT comStat;
    if (WriteFile(p->hCommDev, lpByte, dwBytesToWrite, &dwBytesWritten, &p->osWrite)) return TRUE;
    // A write that fails, at once or pending, is shown and reported: a key or a line that
    // never went out must not pass for sent.
    if (GetLastError() != ERROR_IO_PENDING) {
        ShowComError(hWnd);
        ClearCommError(p->hCommDev, &dwErrorFlags, &comStat);
        return FALSE;
    }
    while (!GetOverlappedResult(p->hCommDev, &p->osWrite, &dwBytesWritten, TRUE)) {
        if (GetLastError() == ERROR_IO_INCOMPLETE) continue;
        ShowComError(hWnd);
        ClearCommError(p->hCommDev, &dwErrorFlags, &comStat);
        return FALSE;
    }
    return TRUE;
}

BOOL ProcessTTYCharacter(HWND hWnd, BYTE bOut) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;
    if (!p->fConnected) return FALSE;

    const char cOut = static_cast<char>(bOut);
    WriteCommBlock(hWnd, &cOut, 1);
    if (p->fLocalEcho) WriteTTYBlock(hWnd, &cOut, 1);
    return TRUE;
}

void WatchFailed(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p || !p->fConnected) return;
    KillTTYFocus(hWnd); // as Disconnect does: before fConnected drops, or the caret stays
    CloseConnection(hWnd);
    ShowAppMessage(hWnd, gszConnectFailed);
}
