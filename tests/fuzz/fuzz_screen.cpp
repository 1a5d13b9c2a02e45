// fuzz_screen.cpp: libFuzzer target of the output interpreter (WriteTTYBlock). The
// input's bytes go to the screen once whole and once in pieces; after every call the
// screen, cursor and the area marked for repaint must equal an independent model of the
// terminal. Nothing is painted meanwhile, so the picture on the window stays where it was:
// a cell is marked where its row stands in that picture, and each scroll marks the
// picture's last row, so that the painter comes and moves the picture up.
#include "fuzz_util.h"
#include "standin.h"
#include "velka.h"

#include <array>
#include <cstring>

namespace {

// Input layout: options, start row, start column, split seed, then the received bytes.
// Options: bit 0 hex, bit 1 Auto Wrap, bit 2 New Line, bits 3-5 piece class, bit 6 the
// screen starts with a pattern instead of blanks.
constexpr size_t kHeader = 4;

// The terminal as its users see it, written byte by byte without the program's helpers.
struct Model {
    std::array<BYTE, kScreenCells> cells;
    int nRow = 0, nColumn = 0;
    bool fHex = false, fWrap = false, fNewLine = false;
    std::array<bool, kScreenCells> marked; // in the picture's rows, not the screen's
    int nScrolled = 0;                     // rows the picture is behind the screen

    void LineFeed() {
        if (nRow < MAXROWS - 1) {
            ++nRow;
            return;
        }
        for (int r = 0; r + 1 < MAXROWS; ++r)
            for (int c = 0; c < MAXCOLS; ++c)
                cells[r * MAXCOLS + c] = cells[(r + 1) * MAXCOLS + c];
        for (int c = 0; c < MAXCOLS; ++c)
            cells[(MAXROWS - 1) * MAXCOLS + c] = ' ';
        if (nScrolled < MAXROWS) ++nScrolled;
        for (int c = 0; c < MAXCOLS; ++c)
            marked[(MAXROWS - 1) * MAXCOLS + c] = true;
    }
    void Return() {
        nColumn = 0;
        if (fNewLine) LineFeed();
    }
    void Store(BYTE b) {
        cells[nRow * MAXCOLS + nColumn] = b;
        // A row the picture's move will uncover is drawn then, unmarked.
        if (nRow + nScrolled < MAXROWS) marked[(nRow + nScrolled) * MAXCOLS + nColumn] = true;
    }
    void HexCell(BYTE b) {
        Store(b);
        if (nColumn + 1 < MAXCOLS)
            ++nColumn;
        else if (fWrap)
            Return(); // a hex wrap is a CR only
    }
    void Apply(BYTE b) {
        if (fHex) {
            static const char kDigits[] = "0123456789abcdef";
            HexCell(kDigits[b >> 4]);
            HexCell(kDigits[b & 15]);
            HexCell(' ');
            return;
        }
        switch (b) {
        case 0x08: nColumn = nColumn > 0 ? nColumn - 1 : 0; break;
        case 0x0A: LineFeed(); break;
        case 0x0D: Return(); break;
        default:
            Store(b);
            if (nColumn + 1 < MAXCOLS) {
                ++nColumn;
            } else if (fWrap) { // a text wrap is a received CR LF
                Return();
                LineFeed();
            }
            break;
        }
    }
};

HWND g_hWnd = nullptr;

void Start(TTYInfo* p, Model* m, uint8_t bOptions, int nRow, int nColumn) {
    m->fHex = bOptions & 1, m->fWrap = bOptions & 2, m->fNewLine = bOptions & 4;
    for (int i = 0; i < kScreenCells; ++i)
        m->cells[i] = (bOptions & 0x40) ? static_cast<BYTE>('A' + i % 61) : ' ';
    m->nRow = nRow, m->nColumn = nColumn;
    m->marked.fill(false), m->nScrolled = 0;

    ScreenLock lock(p);
    std::memcpy(p->abScreen, m->cells.data(), kScreenCells);
    p->nRow = nRow, p->nColumn = nColumn;
    p->nScrolled = 0; // as after a paint
    p->fHexPrint = m->fHex, p->fAutoWrap = m->fWrap, p->fNewLine = m->fNewLine;
    standin::ClearInvalidations(); // also keeps the stand-in's record from growing
}

// The marked area: exactly the model's cells, each rectangle whole cells of one row; never
// the whole window (the window is not scrolled here).
void CheckMarked(TTYInfo* p, const Model& m) {
    std::array<bool, kScreenCells> marked{};
    bool fWhole = false;
    for (const auto& i : standin::Invalidations()) {
        FUZZ_CHECK(!i.fErase);
        if (i.fWhole) {
            fWhole = true;
            continue;
        }
        FUZZ_CHECK(i.rc.left % p->xChar == 0 && i.rc.right % p->xChar == 0);
        FUZZ_CHECK(i.rc.top % p->yChar == 0 && i.rc.bottom == i.rc.top + p->yChar);
        FUZZ_CHECK(i.rc.left >= 0 && i.rc.right <= MAXCOLS * p->xChar);
        const int nRow = i.rc.top / p->yChar;
        FUZZ_CHECK(nRow >= 0 && nRow < MAXROWS);
        for (int c = i.rc.left / p->xChar; c < i.rc.right / p->xChar; ++c)
            marked[nRow * MAXCOLS + c] = true;
    }
    FUZZ_CHECK(!fWhole);
    FUZZ_CHECK(marked == m.marked);
    FUZZ_CHECK(p->nScrolled == m.nScrolled);
}

// The record against the model.
void Check(TTYInfo* p, const Model& m) {
    ScreenLock lock(p);
    FUZZ_CHECK(p->nRow >= 0 && p->nRow < MAXROWS);
    FUZZ_CHECK(p->nColumn >= 0 && p->nColumn < MAXCOLS);
    FUZZ_CHECK(p->nRow == m.nRow && p->nColumn == m.nColumn);
    FUZZ_CHECK(std::memcmp(p->abScreen, m.cells.data(), kScreenCells) == 0);
    CheckMarked(p, m);
}

// The bytes a screen that started blank may hold.
void CheckCells(TTYInfo* p, const Model& m) {
    ScreenLock lock(p);
    for (int i = 0; i < kScreenCells; ++i) {
        const BYTE b = p->abScreen[i];
        if (m.fHex)
            FUZZ_CHECK(b == ' ' || (b >= '0' && b <= '9') || (b >= 'a' && b <= 'f'));
        else
            FUZZ_CHECK(b != 0x08 && b != 0x0A && b != 0x0D); // never stored as cells
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No settings file there: the record starts from the program's defaults.
    fuzz::InDirectory dir(fuzz::MakePrivateDir("screen"));
    standin::Reset();
    standin::SetDefaultClientSize(2000, 2000);
    HINSTANCE hInst = reinterpret_cast<HINSTANCE>(0x400000);
    InitApplication(hInst);
    g_hWnd = InitInstance(hInst, SW_SHOWNORMAL);
    hTTYWnd = g_hWnd;
    FUZZ_CHECK(g_hWnd != nullptr && GetTTYInfo(g_hWnd) != nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kHeader) return 0;
    const uint8_t bOptions = data[0];
    const int nRow = data[1] % MAXROWS, nColumn = data[2] % MAXCOLS;
    const bool fBlank = !(bOptions & 0x40);
    const char* body = reinterpret_cast<const char*>(data + kHeader);
    const size_t nBody = size - kHeader;
    TTYInfo* p = GetTTYInfo(g_hWnd);
    Model m;

    // Whole.
    Start(p, &m, bOptions, nRow, nColumn);
    FUZZ_CHECK(WriteTTYBlock(g_hWnd, body, static_cast<int>(nBody)) == TRUE);
    for (size_t i = 0; i < nBody; ++i)
        m.Apply(static_cast<BYTE>(body[i]));
    Check(p, m);
    if (fBlank) CheckCells(p, m);
    std::array<BYTE, kScreenCells> whole;
    std::memcpy(whole.data(), p->abScreen, kScreenCells);
    const int nWholeRow = p->nRow, nWholeColumn = p->nColumn;

    // In pieces, the model following every piece. Empty pieces also try a negative length,
    // which must change nothing.
    Start(p, &m, bOptions, nRow, nColumn);
    fuzz::Splitter split(data[3], fuzz::kPieceClasses[(bOptions >> 3) & 7]);
    for (size_t at = 0; at < nBody;) {
        const size_t n = std::min(split.Next(), nBody - at);
        const int nLength = n == 0 && (split.Bits() & 1) ? -static_cast<int>(split.Bits() % 5 + 1)
                                                         : static_cast<int>(n);
        FUZZ_CHECK(WriteTTYBlock(g_hWnd, body + at, nLength) == TRUE);
        for (size_t i = 0; i < n; ++i)
            m.Apply(static_cast<BYTE>(body[at + i]));
        Check(p, m);
        at += n;
    }
    FUZZ_CHECK(std::memcmp(p->abScreen, whole.data(), kScreenCells) == 0);
    FUZZ_CHECK(p->nRow == nWholeRow && p->nColumn == nWholeColumn);
    if (fBlank) CheckCells(p, m);
    return 0;
}
