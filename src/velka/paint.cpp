// paint.cpp: the screen font and cell size, the painter that shows the character
// screen, the pixel scroll state with its two scroll bars, and the block caret.
// The window is a viewport onto a fixed canvas of 80 x 30 cells.
#include "velka.h"

#include <algorithm>

namespace {

constexpr int kLastRow = MAXROWS - 1;
constexpr int kLastColumn = MAXCOLS - 1;
constexpr UINT kTextOptions = ETO_OPAQUE | ETO_CLIPPED;

// The font the painter selects: the record's own, or a fixed-pitch stock font when
// none could ever be made, so that the cell size still follows real metrics.
HFONT ScreenFont(const TTYInfo* p) {
    return p->hTTYFont ? p->hTTYFont : static_cast<HFONT>(GetStockObject(OEM_FIXED_FONT));
}

// One scroll step for either bar: clamps the step d into 0..nMax, moves the pixels
// already shown and returns the new position.
int ApplyScroll(HWND hWnd, TTYInfo* p, int nBar, int d) {
    int nPos;
    {
        ScreenLock lock(p);
        int& nOffset = nBar == SB_VERT ? p->yOffset : p->xOffset;
        const int nMax = nBar == SB_VERT ? p->yScroll : p->xScroll;
        if (nOffset + d > nMax) d = nMax - nOffset;
        if (nOffset + d < 0) d = -nOffset;
        nOffset += d;
        nPos = nOffset;
    }
    if (nBar == SB_VERT)
        ScrollWindow(hWnd, 0, -d, nullptr, nullptr);
    else
        ScrollWindow(hWnd, -d, 0, nullptr, nullptr);
    SetScrollPos(hWnd, nBar, nPos, TRUE);
    return nPos;
}

// The size step for either bar: a new client extent pulls the offset back into the new
// range, never forward.
void ApplySize(HWND hWnd, TTYInfo* p, int nBar, int nExtent) {
    int d, nPos, nMax;
    {
        ScreenLock lock(p);
        const bool fVert = nBar == SB_VERT;
        int& nSize = fVert ? p->ySize : p->xSize;
        int& nScroll = fVert ? p->yScroll : p->xScroll;
        int& nOffset = fVert ? p->yOffset : p->xOffset;
        const int nCanvas = fVert ? MAXROWS * p->yChar : MAXCOLS * p->xChar;
        nSize = nExtent;
        nScroll = std::max(0, nCanvas - nSize);
        d = std::min(nScroll, nOffset) - nOffset;
        nOffset += d;
        nPos = nOffset;
        nMax = nScroll;
    }
    if (nBar == SB_VERT)
        ScrollWindow(hWnd, 0, -d, nullptr, nullptr);
    else
        ScrollWindow(hWnd, -d, 0, nullptr, nullptr);
    SetScrollPos(hWnd, nBar, nPos, FALSE);
    SetScrollRange(hWnd, nBar, 0, nMax, TRUE);
}

// Turns a scroll code into a step; false for the codes that change nothing.
bool ScrollStep(WORD wCode, WORD wPos, int nLine, int nPage, int nOffset, int nMax, int* pd) {
    switch (wCode) {
    case SB_LINEUP: *pd = -nLine; return true;
    case SB_LINEDOWN: *pd = nLine; return true;
    case SB_PAGEUP: *pd = -nPage; return true;
    case SB_PAGEDOWN: *pd = nPage; return true;
    case SB_THUMBPOSITION: *pd = wPos - nOffset; return true;
    case SB_TOP: *pd = -nOffset; return true;
    case SB_BOTTOM: *pd = nMax - nOffset; return true;
    default: return false; // thumb tracking, end of scroll and unknown codes
    }
}

// Moves the picture up by the rows the screen has scrolled since it was last moved, within
// the canvas's part of the client area, and marks the rows that uncovers; the marks made
// meanwhile were made where their rows stood before the move, and the move takes them
// along. Called under csScreen on the window's thread, which owns the caret.
void MoveScrolledPicture(HWND hWnd, TTYInfo* p) {
    const int nRows = p->nScrolled;
    if (nRows == 0) return;
    p->nScrolled = 0;
    RECT rcCanvas{-p->xOffset, -p->yOffset, MAXCOLS * p->xChar - p->xOffset,
                  MAXROWS * p->yChar - p->yOffset};
    const RECT rcClient{0, 0, p->xSize, p->ySize};
    if (!IntersectRect(&rcCanvas, &rcCanvas, &rcClient)) return;
    if (nRows >= MAXROWS)
        InvalidateRect(hWnd, &rcCanvas, FALSE);
    else
        ScrollWindowEx(hWnd, 0, -nRows * p->yChar, &rcCanvas, &rcCanvas, nullptr, nullptr,
                       SW_INVALIDATE);
}

} // namespace

BOOL ResetTTYScreen(HWND hWnd, TTYInfo* p) {
    if (!p) return FALSE;

    // A font that cannot be made leaves the previous one in place.
    HFONT hNew = CreateFontIndirectA(&p->lfTTYFont);
    if (hNew) {
        if (p->hTTYFont) DeleteObject(p->hTTYFont);
        p->hTTYFont = hNew;
    }

    TEXTMETRICA tm{};
    HDC hDC = GetDC(hWnd);
    HGDIOBJ hOld = SelectObject(hDC, ScreenFont(p));
    if (!GetTextMetricsA(hDC, &tm)) tm = TEXTMETRICA{};
    SelectObject(hDC, hOld);
    ReleaseDC(hWnd, hDC);
    {
        // The painter and the interpreter divide and multiply by the cell size.
        ScreenLock lock(p);
        p->xChar = std::max<LONG>(1, tm.tmAveCharWidth);
        p->yChar = std::max<LONG>(1, tm.tmHeight + tm.tmExternalLeading);
    }

    RECT rc{};
    GetClientRect(hWnd, &rc);
    SendMessageA(hWnd, WM_SIZE, SIZE_RESTORED, MAKELPARAM(rc.right - rc.left, rc.bottom - rc.top));
    return TRUE;
}

BOOL PaintTTY(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    PAINTSTRUCT ps;
    {
        // From the move to the end of the drawing, so that no scroll or mark falls between.
        ScreenLock lock(p);
        MoveScrolledPicture(hWnd, p);
        HDC hDC = BeginPaint(hWnd, &ps);
        HGDIOBJ hOldFont = SelectObject(hDC, ScreenFont(p));
        SetTextColor(hDC, p->rgbFGColour);
        SetBkColor(hDC, GetSysColor(COLOR_WINDOW));
        SetBkMode(hDC, OPAQUE);

        const int nTop = ps.rcPaint.top, nBottom = ps.rcPaint.bottom;
        const int nLeft = ps.rcPaint.left, nRight = ps.rcPaint.right;
        const int nFirstRow = std::clamp((nTop + p->yOffset) / p->yChar, 0, kLastRow);
        const int nLastRow = std::min((nBottom + p->yOffset - 1) / p->yChar, kLastRow);
        const int nFirstCol = std::clamp((nLeft + p->xOffset) / p->xChar, 0, kLastColumn);
        const int nLastCol = std::min((nRight + p->xOffset - 1) / p->xChar, kLastColumn);
        const int nCount = nLastCol - nFirstCol + 1;

        for (int nRow = nFirstRow; nCount > 0 && nRow <= nLastRow; ++nRow) {
            const int x = nFirstCol * p->xChar - p->xOffset;
            const int y = nRow * p->yChar - p->yOffset;
            RECT rect{x, y, x + nCount * p->xChar, y + p->yChar};
            ExtTextOutA(hDC, x, y, kTextOptions, &rect,
                        reinterpret_cast<LPCSTR>(p->abScreen + nRow * MAXCOLS + nFirstCol),
                        static_cast<UINT>(nCount), nullptr);
        }
        SelectObject(hDC, hOldFont);
        EndPaint(hWnd, &ps);
    }
    MoveTTYCursor(hWnd);
    return TRUE;
}

BOOL SizeTTY(HWND hWnd, WORD wVertSize, WORD wHorzSize) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;
    ApplySize(hWnd, p, SB_VERT, wVertSize);
    ApplySize(hWnd, p, SB_HORZ, wHorzSize);
    InvalidateRect(hWnd, nullptr, TRUE);
    return TRUE;
}

// Both bars scroll by the same rules, each over its own axis of the record.
static BOOL ScrollTTY(HWND hWnd, int nBar, WORD wScrollCmd, WORD wScrollPos) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;
    const bool fVert = nBar == SB_VERT;
    int d, nLine, nPage, nOffset, nMax;
    {
        ScreenLock lock(p);
        nLine = fVert ? p->yChar : p->xChar, nPage = fVert ? p->ySize : p->xSize;
        nOffset = fVert ? p->yOffset : p->xOffset, nMax = fVert ? p->yScroll : p->xScroll;
    }
    if (!ScrollStep(wScrollCmd, wScrollPos, nLine, nPage, nOffset, nMax, &d)) return FALSE;
    ApplyScroll(hWnd, p, nBar, d);
    return TRUE;
}

BOOL ScrollTTYVert(HWND hWnd, WORD wScrollCmd, WORD wScrollPos) {
    return ScrollTTY(hWnd, SB_VERT, wScrollCmd, wScrollPos);
}

BOOL ScrollTTYHorz(HWND hWnd, WORD wScrollCmd, WORD wScrollPos) {
    return ScrollTTY(hWnd, SB_HORZ, wScrollCmd, wScrollPos);
}

BOOL SetTTYFocus(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;
    {
        ScreenLock lock(p);
        if (p->fConnected && p->wCursorState != 1) {
            CreateCaret(hWnd, nullptr, p->xChar, p->yChar);
            ShowCaret(hWnd);
            p->wCursorState = 1;
        }
    }
    MoveTTYCursor(hWnd);
    return TRUE;
}

BOOL KillTTYFocus(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;
    ScreenLock lock(p);
    if (p->fConnected && p->wCursorState != 0) {
        HideCaret(hWnd);
        DestroyCaret();
        p->wCursorState = 0;
    }
    return TRUE;
}

BOOL MoveTTYCursor(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;
    ScreenLock lock(p);
    // The caret belongs to the window's thread: the platform refuses a move from any
    // other (the receive thread's wraps and line ends), and under Wine the refusal still
    // costs a server round trip. The paint that follows puts the caret right.
    if (p->fConnected && p->wCursorState == 1 &&
        GetWindowThreadProcessId(hWnd, nullptr) == GetCurrentThreadId())
        SetCaretPos(p->nColumn * p->xChar - p->xOffset, p->nRow * p->yChar - p->yOffset);
    return TRUE;
}
