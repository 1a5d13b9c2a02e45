// screen_test.cpp: the output interpreter: text and hex mode, wraps, scrolling, what
// it invalidates, that a split block gives the same screen, and concurrent writers.
#include "fixture.h"

#include <atomic>
#include <random>
#include <set>
#include <thread>

namespace {

struct Options {
    BOOL fHex, fWrap, fNewLine;
};
constexpr Options kText{FALSE, TRUE, TRUE};
constexpr Options kTextNoNL{FALSE, TRUE, FALSE};
constexpr Options kTextNoWrap{FALSE, FALSE, TRUE};
constexpr Options kHex{TRUE, TRUE, TRUE};
constexpr Options kHexNoNL{TRUE, TRUE, FALSE};
constexpr Options kHexNoWrap{TRUE, FALSE, TRUE};

class ScreenTest : public VelkaTest {
  protected:
    void SetUp() override {
        VelkaTest::SetUp();
        standin::SetDefaultClientSize(2000, 2000); // the whole canvas is visible
        MakeWindow();
        standin::ClearInvalidations();
    }
    void Set(const Options& o, int nRow = 0, int nColumn = 0) {
        TTYInfo* p = Info();
        p->fHexPrint = o.fHex, p->fAutoWrap = o.fWrap, p->fNewLine = o.fNewLine;
        p->nRow = nRow, p->nColumn = nColumn;
    }
    void Write(const std::string& s) {
        EXPECT_TRUE(WriteTTYBlock(m_hWnd, s.data(), static_cast<int>(s.size())));
    }
    std::string Screen() {
        std::string s;
        for (int r = 0; r < MAXROWS; ++r)
            s += Row(r);
        return s;
    }
    void Clear() {
        TTYInfo* p = Info();
        std::fill(std::begin(p->abScreen), std::end(p->abScreen), ' ');
        p->nRow = p->nColumn = 0;
    }
};

std::string Pad(const std::string& s) {
    return s + std::string(MAXCOLS - s.size(), ' ');
}

struct WriteCase {
    const char* name;
    Options options;
    int nRow, nColumn;
    std::string input;
    int nEndRow, nEndColumn;
    std::vector<std::pair<int, std::string>> rows; // row, its start
};

const std::string k80(80, 'x');

const WriteCase kWriteCases[] = {
    {"backspace stops at column 0", kText, 3, 0, "\b\b", 3, 0, {}},
    {"backspace neither erases nor leaves the row", kText, 3, 2, "ab\b\b\bc", 3, 2, {{3, " cab"}}},
    {"CR without New Line returns on the row", kTextNoNL, 0, 0, "AB\rC", 0, 1, {{0, "CB "}}},
    {"CR with New Line also advances", kText, 0, 0, "AB\rC", 1, 1, {{0, "AB"}, {1, "C "}}},
    {"CR LF with New Line moves two rows", kText, 4, 7, "\r\n", 6, 0, {}},
    {"LF keeps the column", kText, 2, 17, "\n", 3, 17, {}},
    {"a row reached by LF keeps its old text", kTextNoNL, 0, 0, "abc\rdef\n", 1, 3, {{0, "def"}}},
    {"control and high bytes are printed",
     kText,
     0,
     0,
     Bytes("\0\a\t\f\x1b\x7f\x80\xff"),
     0,
     8,
     {{0, Bytes("\0\a\t\f\x1b\x7f\x80\xff ")}}},
    {"80 bytes wrap two rows with New Line", kText, 5, 0, k80, 7, 0, {{5, k80}}},
    {"80 bytes wrap one row without New Line", kTextNoNL, 5, 0, k80, 6, 0, {{5, k80}}},
    {"a wrap and then CR LF", kTextNoNL, 5, 0, k80 + "\r\n", 7, 0, {{5, k80}}},
    {"79 bytes do not wrap", kText, 5, 0, std::string(79, 'y'), 5, 79, {}},
    {"no wrap: column 79 takes the 85th byte",
     kTextNoWrap,
     0,
     0,
     std::string(84, 'a') + "Z",
     0,
     79,
     {{0, std::string(79, 'a') + "Z"}}},
    {"hex shows no control byte", kHex, 0, 0, "A\r\n", 0, 9, {{0, "41 0d 0a "}}},
    {"hex digits are lowercase", kHex, 0, 0, "\xff\x9c", 0, 6, {{0, "ff 9c "}}},
    {"hex: the 27th byte wraps its space",
     kHex,
     0,
     0,
     std::string(27, 'J'),
     1,
     1,
     {{0, std::string() +
              [] {
                  std::string s;
                  for (int i = 0; i < 26; ++i)
                      s += "4a ";
                  return s + "4a";
              }()},
      {1, "  "}}},
    {"hex without New Line wraps on the row",
     kHexNoNL,
     0,
     78,
     "\x12",
     0,
     1,
     {{0, std::string(78, ' ') + "12"}}},
    {"hex without wrap leaves a space in column 79",
     kHexNoWrap,
     0,
     77,
     "\x12\x34",
     0,
     79,
     {{0, std::string(77, ' ') + "12 "}}},
};

} // namespace

TEST_F(ScreenTest, AppliesBytesAsTheTerminalShowsThem) {
    for (const auto& c : kWriteCases) {
        SCOPED_TRACE(c.name);
        Clear();
        Set(c.options, c.nRow, c.nColumn);
        Write(c.input);
        EXPECT_EQ(Cursor(), std::make_pair(c.nEndRow, c.nEndColumn));
        for (const auto& [nRow, start] : c.rows)
            EXPECT_EQ(Row(nRow).substr(0, start.size()), start);
    }
}

// The last row of the canvas, as the picture shows it now.
bool IsLastRow(const standin::Invalidation& i, const TTYInfo* p) {
    return !i.fWhole && i.rc.left == -p->xOffset && i.rc.right == MAXCOLS * p->xChar - p->xOffset &&
           i.rc.top == (MAXROWS - 1) * p->yChar - p->yOffset &&
           i.rc.bottom == MAXROWS * p->yChar - p->yOffset;
}

TEST_F(ScreenTest, LineFeedOnTheLastRowScrollsAndLeavesThePictureToThePainter) {
    for (int r = 0; r < MAXROWS; ++r) {
        TTYInfo* p = Info();
        std::memset(p->abScreen + r * MAXCOLS, 'A' + r, MAXCOLS);
    }
    Set(kText, 29, 17);
    Write("\n");
    EXPECT_EQ(Cursor(), std::make_pair(29, 17));
    EXPECT_EQ(Row(0), std::string(80, 'B'));
    EXPECT_EQ(Row(28), std::string(80, 'A' + 29));
    EXPECT_EQ(Row(29), Pad(""));
    EXPECT_EQ(Info()->nScrolled, 1);
    auto inv = standin::Invalidations();
    ASSERT_EQ(inv.size(), 1u); // only what makes the painter come and move the picture
    EXPECT_TRUE(IsLastRow(inv[0], Info()));
    EXPECT_FALSE(inv[0].fErase);

    // 80 bytes on row 29 scroll twice with New Line, once without.
    for (const auto& [o, nScrolls] : {std::pair{kText, 2}, std::pair{kTextNoNL, 1}}) {
        Info()->nScrolled = 0;
        Set(o, 29, 0);
        Write(k80);
        EXPECT_EQ(Info()->nScrolled, nScrolls);
        EXPECT_EQ(Row(29 - nScrolls), k80);
    }
}

// The cells a block changed, as the marked rectangles cover them: each rectangle must be
// whole cells of one row, never erase, and nothing may be marked twice.
// The picture's last row, which a scroll marks, may be marked twice.
struct Marked {
    bool fWhole = false;
    bool fLastRow = false;
    std::set<std::pair<int, int>> cells; // row, column, in the picture
};

Marked MarkedCells(const TTYInfo* p) {
    Marked m;
    for (const auto& i : standin::Invalidations()) {
        EXPECT_FALSE(i.fErase);
        if (i.fWhole) {
            m.fWhole = true;
            continue;
        }
        if (IsLastRow(i, p)) {
            m.fLastRow = true;
            continue;
        }
        const LONG x = i.rc.left + p->xOffset, y = i.rc.top + p->yOffset;
        EXPECT_EQ(x % p->xChar, 0);
        EXPECT_EQ(y % p->yChar, 0);
        EXPECT_EQ((i.rc.bottom - i.rc.top) % p->yChar, 0);
        EXPECT_EQ((i.rc.right - i.rc.left) % p->xChar, 0);
        for (LONG r = y / p->yChar; r < (i.rc.bottom + p->yOffset) / p->yChar; ++r)
            for (LONG c = x / p->xChar; c < (i.rc.right + p->xOffset) / p->xChar; ++c)
                EXPECT_TRUE(m.cells.insert({r, c}).second) << "marked twice";
    }
    return m;
}

// Runs of cells: row, first and last column.
using Runs = std::vector<std::tuple<int, int, int>>;

TEST_F(ScreenTest, TheMarkedAreaIsExactlyTheCellsTheBlockStored) {
    const struct {
        const char* name;
        Options options;
        int nRow, nColumn;
        std::string input;
        bool fLastRow; // scrolled: the picture's last row marked for the painter
        Runs runs;     // in the picture, which is nScrolled rows behind the screen
        int nScrolled = 0;
    } kCases[] = {
        {"two letters", kText, 2, 10, "ab", false, {{2, 10, 11}}},
        {"CR back to column 0", kTextNoNL, 4, 5, "abc\rX", false, {{4, 5, 7}, {4, 0, 0}}},
        {"backspace over the run", kText, 1, 0, "ab\b\bcd", false, {{1, 0, 1}}},
        {"LF keeps the column", kTextNoNL, 0, 0, "a\nb", false, {{0, 0, 0}, {1, 1, 1}}},
        {"no wrap: column 79 overwritten",
         kTextNoWrap,
         3,
         0,
         std::string(85, 'x'),
         false,
         {{3, 0, 79}}},
        {"wrap skips a row with New Line",
         kText,
         5,
         78,
         std::string(82, 'w'),
         false,
         {{5, 78, 79}, {7, 0, 79}}},
        {"hex wrap back to the same row", kHexNoNL, 2, 75, "AB", false, {{2, 75, 79}, {2, 0, 0}}},
        {"hex cells across a wrap", kHex, 0, 78, "\x0d", false, {{0, 78, 79}, {1, 0, 0}}},
        {"control bytes alone", kText, 6, 6, "\r\n\b", false, {}},
        {"a scroll marks the picture's last row", kText, 29, 0, "a\nb", true, {}},
        {"a scroll after a row's cells", kText, 29, 78, "ab\nc", true, {{29, 78, 79}}},
        {"cells stand lower in a picture behind", kText, 10, 0, "ab", false, {{12, 0, 1}}, 2},
        {"none where the picture will uncover", kText, 28, 0, "ab", false, {}, 2},
    };
    // Marked at once, or held (as the receive thread does) in two halves and marked after.
    for (const auto& c : kCases)
        for (bool fHeld : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (fHeld ? ", held" : ""));
            TTYInfo* p = Info();
            p->xOffset = 3, p->yOffset = 5; // scrolled: rectangles move, cells do not
            Set(c.options, c.nRow, c.nColumn);
            p->nScrolled = c.nScrolled;
            standin::ClearInvalidations();
            if (fHeld) {
                HeldMarks held;
                const int nHalf = static_cast<int>(c.input.size() / 2);
                WriteTTYBlock(m_hWnd, c.input.data(), nHalf, &held);
                WriteTTYBlock(m_hWnd, c.input.data() + nHalf,
                              static_cast<int>(c.input.size()) - nHalf, &held);
                EXPECT_EQ(standin::InvalidationCount(), 0);
                MarkHeldCells(m_hWnd, &held);
                EXPECT_FALSE(held.fAny);
            } else {
                Write(c.input);
            }
            Marked m = MarkedCells(p);
            EXPECT_FALSE(m.fWhole);
            std::set<std::pair<int, int>> expected;
            for (const auto& [nRow, nFirst, nLast] : c.runs)
                for (int col = nFirst; col <= nLast; ++col)
                    expected.insert({nRow, col});
            if (!fHeld) {
                EXPECT_EQ(m.fLastRow, c.fLastRow);
                std::erase_if(m.cells, [&](const auto& cell) {
                    return m.fLastRow && cell.first == MAXROWS - 1;
                });
                std::erase_if(expected, [&](const auto& cell) {
                    return m.fLastRow && cell.first == MAXROWS - 1;
                });
                EXPECT_EQ(m.cells, expected);
                continue;
            }
            // Held: one rectangle around the cells, and the picture's last row after a scroll.
            const bool fScrolled = c.fLastRow || c.nScrolled > 0;
            for (int col = 0; fScrolled && col < MAXCOLS; ++col)
                expected.insert({MAXROWS - 1, col});
            std::set<std::pair<int, int>> box;
            if (!expected.empty()) {
                int nTop = MAXROWS, nBottom = -1, nFirst = MAXCOLS, nLast = -1;
                for (const auto& [r, col] : expected)
                    nTop = std::min(nTop, r), nBottom = std::max(nBottom, r),
                    nFirst = std::min(nFirst, col), nLast = std::max(nLast, col);
                for (int r = nTop; r <= nBottom; ++r)
                    for (int col = nFirst; col <= nLast; ++col)
                        box.insert({r, col});
            }
            for (int col = 0; m.fLastRow && col < MAXCOLS; ++col)
                m.cells.insert({MAXROWS - 1, col});
            EXPECT_EQ(m.cells, box);
        }
    EXPECT_EQ(WriteTTYBlock(m_hWnd, "x", 0), TRUE);
    EXPECT_EQ(WriteTTYBlock(m_hWnd, "x", -5), TRUE);
    EXPECT_EQ(WriteTTYBlock(nullptr, "x", 1), FALSE);
}

TEST_F(ScreenTest, ASplitBlockGivesTheSameScreenAsOneBlock) {
    std::mt19937 rng(7);
    const char alphabet[] = "abc \r\n\b\x80";
    for (const Options& o : {kText, kTextNoNL, kTextNoWrap, kHex, kHexNoNL}) {
        std::string input;
        for (int i = 0; i < 300; ++i)
            input += alphabet[rng() % (sizeof alphabet - 1)];
        Clear();
        Set(o);
        Write(input);
        const std::string whole = Screen();
        const auto cursor = Cursor();
        for (size_t at = 0; at <= input.size(); at += 7) {
            Clear();
            Set(o);
            Write(input.substr(0, at));
            Write(input.substr(at));
            ASSERT_EQ(Screen(), whole) << "split at " << at;
            ASSERT_EQ(Cursor(), cursor);
        }
    }
}

// Two writers and the painter at once: a block is applied whole, every printed byte's
// cell is marked, and the cursor never leaves the screen.
TEST_F(ScreenTest, ConcurrentWritersNeverInterleaveBlocks) {
    constexpr int kBlocks = 400;
    Set(kTextNoNL);
    std::atomic<int> nDone{0};
    auto writer = [&](char c) {
        const std::string line = "\r" + std::string(79, c) + "\n";
        for (int i = 0; i < kBlocks; ++i)
            WriteTTYBlock(m_hWnd, line.data(), static_cast<int>(line.size()));
        ++nDone;
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    while (nDone < 2) {
        InvalidateRect(m_hWnd, nullptr, FALSE);
        PaintTTY(m_hWnd);
        const auto [r, c] = Cursor();
        ASSERT_TRUE(r >= 0 && r < MAXROWS && c >= 0 && c < MAXCOLS);
    }
    a.join(), b.join();
    // Each block's cells are one run, marked unless the picture's move uncovers them.
    int nRuns = 0;
    for (const auto& i : standin::Invalidations()) {
        if (i.thread == GetCurrentThreadId() || IsLastRow(i, Info())) continue; // the painter's
        EXPECT_EQ((i.rc.right - i.rc.left) / Info()->xChar, 79);
        ++nRuns;
    }
    EXPECT_GT(nRuns, 0);
    EXPECT_LE(nRuns, 2 * kBlocks);
    for (int r = 0; r < MAXROWS - 1; ++r) {
        const std::string row = Row(r).substr(0, 79);
        EXPECT_TRUE(row == std::string(79, 'a') || row == std::string(79, 'b')) << row;
    }
}
