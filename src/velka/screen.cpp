// screen.cpp: the output interpreter. Bytes from the port, the local echo and the
// upload's reports are applied to the 30 x 80 character screen and its cursor here;
// changed cells are only marked for the painter, never drawn.
#include "velka.h"

#include <cstring>

namespace {

constexpr int kLastRow = MAXROWS - 1;
constexpr int kLastColumn = MAXCOLS - 1;
constexpr char kWrapText[] = "\r\n";

void InvalidateCursorCell(HWND hWnd, const TTYInfo* p) {
    RECT rect;
    rect.left = p->nColumn * p->xChar - p->xOffset;
    rect.top = p->nRow * p->yChar - p->yOffset;
    rect.right = rect.left + p->xChar;
    rect.bottom = rect.top + p->yChar;
    InvalidateRect(hWnd, &rect, FALSE); // the painter fills each cell's background itself
}

void LineFeed(HWND hWnd, TTYInfo* p) {
    const int nOldRow = p->nRow++;
    if (nOldRow == kLastRow) {
        std::memmove(p->abScreen, p->abScreen + MAXCOLS, kLastRow * MAXCOLS);
        std::memset(p->abScreen + kLastRow * MAXCOLS, ' ', MAXCOLS);
        InvalidateRect(hWnd, nullptr, FALSE);
        p->nRow = kLastRow;
    }
    MoveTTYCursor(hWnd);
}

void CarriageReturn(HWND hWnd, TTYInfo* p) {
    p->nColumn = 0;
    MoveTTYCursor(hWnd);
    if (p->fNewLine) LineFeed(hWnd, p);
}

void StoreCell(HWND hWnd, TTYInfo* p, BYTE bCell) {
    p->abScreen[p->nRow * MAXCOLS + p->nColumn] = bCell;
    InvalidateCursorCell(hWnd, p);
}

void PrintTextByte(HWND hWnd, TTYInfo* p, BYTE bOut) {
    StoreCell(hWnd, p, bOut);
    if (p->nColumn < kLastColumn) {
        ++p->nColumn;
    } else if (p->fAutoWrap) {
        // A wrap acts exactly as a received CR LF would, New Line option included.
        WriteTTYBlock(hWnd, kWrapText, 2);
    }
}

void PrintHexCell(HWND hWnd, TTYInfo* p, BYTE bCell) {
    StoreCell(hWnd, p, bCell);
    if (p->nColumn < kLastColumn) {
        ++p->nColumn;
    } else if (p->fAutoWrap) {
        p->nColumn = 0;
        MoveTTYCursor(hWnd);
        if (p->fNewLine) LineFeed(hWnd, p);
    }
}

BYTE HexDigit(BYTE bValue) {
    return static_cast<BYTE>(bValue < 10 ? '0' + bValue : 'a' + (bValue - 10));
}

} // namespace

BOOL WriteTTYBlock(HWND hWnd, LPCSTR lpBlock, int nLength) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    ScreenLock lock(p);
    for (int i = 0; i < nLength; ++i) {
        const BYTE b = static_cast<BYTE>(lpBlock[i]);
        if (p->fHexPrint) {
            PrintHexCell(hWnd, p, HexDigit(b >> 4));
            PrintHexCell(hWnd, p, HexDigit(b & 0x0F));
            PrintHexCell(hWnd, p, ' ');
            continue;
        }
        switch (b) {
        case ASCII_BS:
            if (p->nColumn > 0) --p->nColumn;
            MoveTTYCursor(hWnd);
            break;
        case ASCII_LF: LineFeed(hWnd, p); break;
        case ASCII_CR: CarriageReturn(hWnd, p); break;
        default: PrintTextByte(hWnd, p, b); break;
        }
    }
    return TRUE;
}
