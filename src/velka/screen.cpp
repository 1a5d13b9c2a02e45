// screen.cpp: the output interpreter. Bytes from the port, the local echo and the
// upload's reports are applied to the 30 x 80 character screen and its cursor here;
// changed cells are only marked for the painter, never drawn.
#include "velka.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr int kLastRow = MAXROWS - 1;
constexpr int kLastColumn = MAXCOLS - 1;
constexpr char kWrapText[] = "\r\n";

// What one WriteTTYBlock call has changed and not yet marked for the painter: a run of
// adjacent cells in one row, marked as one rectangle when the run breaks or the call
// ends. Every marking is a request to the window system (under Wine a server round trip
// each), so a received block costs one or two instead of one a byte. The area marked is
// exactly the union of the cells stored; a scroll marks only what the painter needs to be
// called (see MarkScrolled). With pHeld, the runs are added to it instead.
struct Marks {
    int nRow = -1;
    int nFirst = 0, nLast = -1;
    HeldMarks* pHeld = nullptr;
};

// Marks rows nTop..nBottom of the picture, columns nFirst..nLast.
void MarkPictureCells(HWND hWnd, const TTYInfo* p, int nTop, int nBottom, int nFirst, int nLast) {
    RECT rect;
    rect.left = nFirst * p->xChar - p->xOffset;
    rect.top = nTop * p->yChar - p->yOffset;
    rect.right = (nLast + 1) * p->xChar - p->xOffset;
    rect.bottom = (nBottom + 1) * p->yChar - p->yOffset;
    InvalidateRect(hWnd, &rect, FALSE); // the painter fills each cell's background itself
}

// Marks cells of a row of the screen as it is now where that row stands in the picture the
// painter has not yet moved up by nScrolled rows; a row the move will uncover needs none,
// as the painter marks what it uncovers.
void MarkCells(HWND hWnd, const TTYInfo* p, int nRow, int nFirst, int nLast) {
    const int nPictureRow = nRow + p->nScrolled;
    if (nPictureRow < MAXROWS) MarkPictureCells(hWnd, p, nPictureRow, nPictureRow, nFirst, nLast);
}

// After a scroll: the canvas's last row of the picture is marked, so that the painter is
// called and moves the picture (which also marks the rows it uncovers).
void MarkScrolled(HWND hWnd, const TTYInfo* p) {
    if (p->nScrolled > 0) MarkPictureCells(hWnd, p, kLastRow, kLastRow, 0, kLastColumn);
}

void MarkRun(HWND hWnd, const TTYInfo* p, Marks& m) {
    if (m.nRow < 0) return;
    if (m.pHeld) {
        std::memset(m.pHeld->afCell + m.nRow * MAXCOLS + m.nFirst, true, m.nLast - m.nFirst + 1);
        m.pHeld->fAny = true;
    } else {
        MarkCells(hWnd, p, m.nRow, m.nFirst, m.nLast);
    }
    m.nRow = -1;
}

// The screen has moved up a row: counted for the painter, and held cells move with it.
void MarkScroll(HWND hWnd, TTYInfo* p, Marks& m) {
    MarkRun(hWnd, p, m);
    if (p->nScrolled < MAXROWS) ++p->nScrolled;
    if (m.pHeld) {
        std::memmove(m.pHeld->afCell, m.pHeld->afCell + MAXCOLS, kLastRow * MAXCOLS);
        std::memset(m.pHeld->afCell + kLastRow * MAXCOLS, false, MAXCOLS);
        m.pHeld->fAny = true;
    } else {
        MarkScrolled(hWnd, p);
    }
}

// Adds the cursor cell to the run when it touches it; otherwise marks the run and
// starts a new one there.
void MarkCursorCell(HWND hWnd, const TTYInfo* p, Marks& m) {
    if (m.nRow == p->nRow && p->nColumn >= m.nFirst - 1 && p->nColumn <= m.nLast + 1) {
        if (p->nColumn < m.nFirst) m.nFirst = p->nColumn;
        if (p->nColumn > m.nLast) m.nLast = p->nColumn;
        return;
    }
    MarkRun(hWnd, p, m);
    m.nRow = p->nRow;
    m.nFirst = m.nLast = p->nColumn;
}

void LineFeed(HWND hWnd, TTYInfo* p, Marks& m) {
    const int nOldRow = p->nRow++;
    if (nOldRow == kLastRow) {
        std::memmove(p->abScreen, p->abScreen + MAXCOLS, kLastRow * MAXCOLS);
        std::memset(p->abScreen + kLastRow * MAXCOLS, ' ', MAXCOLS);
        MarkScroll(hWnd, p, m);
        p->nRow = kLastRow;
    }
    MoveTTYCursor(hWnd);
}

void CarriageReturn(HWND hWnd, TTYInfo* p, Marks& m) {
    p->nColumn = 0;
    MoveTTYCursor(hWnd);
    if (p->fNewLine) LineFeed(hWnd, p, m);
}

void StoreCell(HWND hWnd, TTYInfo* p, Marks& m, BYTE bCell) {
    p->abScreen[p->nRow * MAXCOLS + p->nColumn] = bCell;
    MarkCursorCell(hWnd, p, m);
}

void ApplyBlock(HWND hWnd, TTYInfo* p, Marks& m, LPCSTR lpBlock, int nLength);

void PrintTextByte(HWND hWnd, TTYInfo* p, Marks& m, BYTE bOut) {
    StoreCell(hWnd, p, m, bOut);
    if (p->nColumn < kLastColumn) {
        ++p->nColumn;
    } else if (p->fAutoWrap) {
        // A wrap acts exactly as a received CR LF would, New Line option included.
        ApplyBlock(hWnd, p, m, kWrapText, 2);
    }
}

void PrintHexCell(HWND hWnd, TTYInfo* p, Marks& m, BYTE bCell) {
    StoreCell(hWnd, p, m, bCell);
    if (p->nColumn < kLastColumn) {
        ++p->nColumn;
    } else if (p->fAutoWrap) {
        p->nColumn = 0;
        MoveTTYCursor(hWnd);
        if (p->fNewLine) LineFeed(hWnd, p, m);
    }
}

BYTE HexDigit(BYTE bValue) {
    return static_cast<BYTE>(bValue < 10 ? '0' + bValue : 'a' + (bValue - 10));
}

void ApplyBlock(HWND hWnd, TTYInfo* p, Marks& m, LPCSTR lpBlock, int nLength) {
    for (int i = 0; i < nLength; ++i) {
        const BYTE b = static_cast<BYTE>(lpBlock[i]);
        if (p->fHexPrint) {
            PrintHexCell(hWnd, p, m, HexDigit(b >> 4));
            PrintHexCell(hWnd, p, m, HexDigit(b & 0x0F));
            PrintHexCell(hWnd, p, m, ' ');
            continue;
        }
        switch (b) {
        case ASCII_BS:
            if (p->nColumn > 0) --p->nColumn;
            MoveTTYCursor(hWnd);
            break;
        case ASCII_LF: LineFeed(hWnd, p, m); break;
        case ASCII_CR: CarriageReturn(hWnd, p, m); break;
        default: PrintTextByte(hWnd, p, m, b); break;
        }
    }
}

} // namespace

BOOL WriteTTYBlock(HWND hWnd, LPCSTR lpBlock, int nLength, HeldMarks* pHeld) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    ScreenLock lock(p);
    Marks m;
    m.pHeld = pHeld;
    ApplyBlock(hWnd, p, m, lpBlock, nLength);
    MarkRun(hWnd, p, m);
    return TRUE;
}

void MarkHeldCells(HWND hWnd, HeldMarks* pHeld) {
    if (!pHeld->fAny) return;
    TTYInfo* p = GetTTYInfo(hWnd);
    if (p) {
        ScreenLock lock(p);
        // One rectangle around every held cell, in the picture, and its last row after a
        // scroll: each rectangle is a request to the window system, while a cell painted
        // again unchanged shows the same pixels.
        int nTop = MAXROWS, nBottom = -1, nFirst = MAXCOLS, nLast = -1;
        if (p->nScrolled > 0) {
            nTop = nBottom = kLastRow;
            nFirst = 0;
            nLast = kLastColumn;
        }
        for (int nRow = 0; nRow + p->nScrolled < MAXROWS; ++nRow) {
            const int nPictureRow = nRow + p->nScrolled;
            const bool* pRow = pHeld->afCell + nRow * MAXCOLS;
            for (int nCol = 0; nCol < MAXCOLS; ++nCol) {
                if (!pRow[nCol]) continue;
                nTop = std::min(nTop, nPictureRow);
                nBottom = std::max(nBottom, nPictureRow);
                nFirst = std::min(nFirst, nCol);
                nLast = std::max(nLast, nCol);
            }
        }
        if (nBottom >= 0) MarkPictureCells(hWnd, p, nTop, nBottom, nFirst, nLast);
    }
    std::memset(pHeld->afCell, false, sizeof pHeld->afCell);
    pHeld->fAny = false;
}
