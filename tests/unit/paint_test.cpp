// paint_test.cpp: the painter's rows and columns for an update rectangle, the scroll
// arithmetic of size changes and scroll codes, the caret, and fonts that fail.
#include "fixture.h"

namespace {

// Cells of 8 x 16 pixels: a LOGFONT height of 14 gives tmHeight 14 and leading 2.
TEXTMETRICA Cells8x16(const LOGFONTA& lf) {
    TEXTMETRICA tm{};
    tm.tmHeight = std::abs(lf.lfHeight);
    tm.tmExternalLeading = 16 - tm.tmHeight;
    tm.tmAveCharWidth = 8;
    return tm;
}

class PaintTest : public VelkaTest {
  protected:
    void SetUp() override {
        VelkaTest::SetUp();
        standin::SetMetrics(Cells8x16);
        standin::SetDefaultClientSize(640, 480); // exactly the canvas
        MakeWindow();
    }
    void SetOffsets(int x, int y) {
        TTYInfo* p = Info();
        ScreenLock lock(p);
        p->xOffset = x, p->yOffset = y;
    }
    std::pair<int, int> Offsets() {
        TTYInfo* p = Info();
        ScreenLock lock(p);
        return {p->xOffset, p->yOffset};
    }
};

struct PaintCase {
    RECT rc;
    int xOffset, yOffset;
    int nFirstRow, nLastRow, nFirstCol, nCount;
};

const PaintCase kPaintCases[] = {
    {{0, 20, 640, 40}, 0, 0, 1, 2, 0, 80},     // rows 1 and 2 only
    {{0, 20, 640, 40}, 0, 8, 1, 2, 0, 80},     // (20 + 8) / 16 = 1, (40 + 8 - 1) / 16 = 2
    {{8, 0, 24, 16}, 0, 0, 0, 0, 1, 2},        // two cells of row 0
    {{4, 0, 12, 16}, 0, 0, 0, 0, 0, 2},        // across a cell boundary
    {{0, 470, 640, 480}, 0, 0, 29, 29, 0, 80}, // the last row
    {{0, 0, 16, 16}, 16, 32, 2, 2, 2, 2},      // scrolled
};

} // namespace

TEST_F(PaintTest, DrawsOneOpaqueRowPerUpdatedRowOfTheCanvas) {
    for (const auto& c : kPaintCases) {
        SetOffsets(c.xOffset, c.yOffset);
        standin::ClearTextOuts();
        InvalidateRect(m_hWnd, &c.rc, FALSE);
        ASSERT_TRUE(PaintTTY(m_hWnd));
        auto outs = standin::TextOuts();
        ASSERT_EQ(outs.size(), static_cast<size_t>(c.nLastRow - c.nFirstRow + 1)) << c.rc.top;
        for (size_t i = 0; i < outs.size(); ++i) {
            const int nRow = c.nFirstRow + static_cast<int>(i);
            const int x = c.nFirstCol * 8 - c.xOffset, y = nRow * 16 - c.yOffset;
            EXPECT_EQ(outs[i].x, x);
            EXPECT_EQ(outs[i].y, y);
            EXPECT_EQ(outs[i].options, static_cast<UINT>(ETO_OPAQUE | ETO_CLIPPED));
            EXPECT_EQ(outs[i].rc.right - outs[i].rc.left, c.nCount * 8);
            EXPECT_EQ(outs[i].rc.bottom - outs[i].rc.top, 16);
            EXPECT_EQ(outs[i].text, std::string(c.nCount, ' '));
            EXPECT_EQ(outs[i].bk, GetSysColor(COLOR_WINDOW));
            EXPECT_EQ(outs[i].bkMode, OPAQUE);
            EXPECT_STREQ(outs[i].font.lfFaceName, "Courier New");
        }
    }
}

TEST_F(PaintTest, AnUpdateOutsideTheCanvasDrawsOnlyItsEdge) {
    standin::ResizeClient(m_hWnd, 1000, 1000);
    PaintTTY(m_hWnd); // the resize repaints everything first
    RECT below{0, 600, 640, 700}, right{700, 0, 900, 16};
    for (const RECT& rc : {below, right}) {
        standin::ClearTextOuts();
        InvalidateRect(m_hWnd, &rc, FALSE);
        PaintTTY(m_hWnd);
        auto outs = standin::TextOuts();
        ASSERT_EQ(outs.size(), 1u);
        EXPECT_LE(outs[0].rc.right, 640);
        EXPECT_LE(outs[0].rc.bottom, 480);
    }
    EXPECT_EQ(standin::TextOuts()[0].x, 79 * 8);
}

TEST_F(PaintTest, SizeAndScrollKeepTheOffsetsInRange) {
    HWND h = m_hWnd;
    // A window that fits hides both bars.
    EXPECT_EQ(standin::Bar(h, SB_VERT).nMax, 0);
    EXPECT_EQ(standin::Bar(h, SB_HORZ).nMax, 0);

    standin::ResizeClient(h, 300, 200); // 340 and 280 pixels do not fit
    EXPECT_EQ(standin::Bar(h, SB_HORZ).nMax, 340);
    EXPECT_EQ(standin::Bar(h, SB_VERT).nMax, 280);

    struct Step {
        int nBar;
        WORD wCode, wPos;
        BOOL fResult;
        int nOffset, nMoved; // the new offset, and how far the pixels moved
    };
    const Step kSteps[] = {
        {SB_VERT, SB_LINEDOWN, 0, TRUE, 16, -16},
        {SB_VERT, SB_PAGEDOWN, 0, TRUE, 216, -200},
        {SB_VERT, SB_PAGEDOWN, 0, TRUE, 280, -64}, // less than a page left
        {SB_VERT, SB_LINEDOWN, 0, TRUE, 280, 0},   // at the bottom
        {SB_VERT, SB_THUMBTRACK, 10, FALSE, 280, 0},
        {SB_VERT, SB_ENDSCROLL, 0, FALSE, 280, 0},
        {SB_VERT, SB_THUMBPOSITION, 40, TRUE, 40, 240},
        {SB_VERT, SB_TOP, 0, TRUE, 0, 40},
        {SB_VERT, SB_LINEUP, 0, TRUE, 0, 0},
        {SB_VERT, SB_BOTTOM, 0, TRUE, 280, -280},
        {SB_HORZ, SB_THUMBPOSITION, 400, TRUE, 340, -340}, // beyond the range
        {SB_HORZ, SB_PAGELEFT, 0, TRUE, 40, 300},
        {SB_HORZ, SB_LEFT, 0, TRUE, 0, 40},
        {SB_HORZ, SB_RIGHT, 0, TRUE, 340, -340},
    };
    for (const auto& s : kSteps) {
        const size_t nBefore = standin::ScrollWindows().size();
        const BOOL f = s.nBar == SB_VERT ? ScrollTTYVert(h, s.wCode, s.wPos)
                                         : ScrollTTYHorz(h, s.wCode, s.wPos);
        EXPECT_EQ(f, s.fResult) << s.wCode;
        const auto [x, y] = Offsets();
        EXPECT_EQ(s.nBar == SB_VERT ? y : x, s.nOffset) << s.wCode;
        auto scrolls = standin::ScrollWindows();
        if (!s.fResult) {
            EXPECT_EQ(scrolls.size(), nBefore);
            continue;
        }
        ASSERT_EQ(scrolls.size(), nBefore + 1); // also when nothing moves
        EXPECT_EQ(s.nBar == SB_VERT ? scrolls.back().dy : scrolls.back().dx, s.nMoved);
        EXPECT_EQ(standin::Bar(h, s.nBar).nPos, s.nOffset);
        EXPECT_TRUE(standin::Bar(h, s.nBar).fLastPosRedraw);
    }

    // Taller by three rows at the bottom pulls the view back; shorter leaves it.
    standin::ResizeClient(h, 300, 248);
    EXPECT_EQ(Offsets().second, 232);
    EXPECT_EQ(standin::ScrollWindows().back().dy, 0); // the horizontal step, last
    standin::ResizeClient(h, 300, 100);
    EXPECT_EQ(Offsets().second, 232);
    EXPECT_EQ(Offsets().first, 340);
    EXPECT_EQ(standin::Bar(h, SB_VERT).nMax, 380);
}

TEST_F(PaintTest, TheCaretStandsOnTheCursorOnlyWhileConnected) {
    // Disconnected (no device): focus makes no caret and moves nothing.
    standin::SetFocusTo(nullptr);
    standin::SetFocusTo(m_hWnd);
    EXPECT_FALSE(standin::Caret().fExists);
    EXPECT_EQ(Info()->wCursorState, 0);

    Info()->fConnected = TRUE; // the caret only asks whether a port is open
    standin::SetFocusTo(nullptr);
    standin::SetFocusTo(m_hWnd);
    auto caret = standin::Caret();
    EXPECT_TRUE(caret.fExists);
    EXPECT_EQ(caret.cx, 8);
    EXPECT_EQ(caret.cy, 16);
    EXPECT_EQ(caret.nShow, 1);
    WriteTTYBlock(m_hWnd, "ab\r\nxyz\b", 8);
    EXPECT_EQ(standin::Caret().x, 2 * 8);
    EXPECT_EQ(standin::Caret().y, 2 * 16);

    // A new font with other cells: the caret made on regaining the focus has their size.
    standin::SetFocusTo(nullptr);
    EXPECT_FALSE(standin::Caret().fExists);
    Info()->lfTTYFont.lfHeight = 10;
    standin::SetMetrics(nullptr); // 5 x 12 cells
    ResetTTYScreen(m_hWnd, Info());
    standin::SetFocusTo(m_hWnd);
    EXPECT_EQ(standin::Caret().cx, 5);
    EXPECT_EQ(standin::Caret().cy, 12);
    Info()->fConnected = FALSE;
}

TEST_F(PaintTest, SmallerCellsPullTheOffsetsBackIntoTheNewRange) {
    standin::ResizeClient(m_hWnd, 300, 200);
    ScrollTTYVert(m_hWnd, SB_BOTTOM, 0);
    ScrollTTYHorz(m_hWnd, SB_RIGHT, 0);
    standin::SetMetrics(nullptr); // height 14: 7 x 16 cells
    ResetTTYScreen(m_hWnd, Info());
    EXPECT_EQ(Offsets(), std::make_pair(80 * 7 - 300, 480 - 200));
    EXPECT_EQ(standin::Bar(m_hWnd, SB_HORZ).nMax, 260);
    EXPECT_TRUE(standin::UpdateRect(m_hWnd).right > 0);
}

TEST_F(PaintTest, AFontThatCannotBeMadeNeverLeavesACellOfZero) {
    // The previous font stays.
    const int nFonts = standin::LiveFonts();
    standin::FailNext("CreateFontIndirectA");
    Info()->lfTTYFont.lfHeight = 30;
    ResetTTYScreen(m_hWnd, Info());
    EXPECT_EQ(standin::LiveFonts(), nFonts);
    EXPECT_EQ(Info()->xChar, 8);

    // No font at all: the stock fixed font, whose metrics still give a cell.
    DeleteObject(Info()->hTTYFont);
    Info()->hTTYFont = nullptr;
    standin::FailNext("CreateFontIndirectA");
    ResetTTYScreen(m_hWnd, Info());
    EXPECT_EQ(Info()->yChar, 16);
    standin::ClearTextOuts();
    InvalidateRect(m_hWnd, nullptr, FALSE);
    PaintTTY(m_hWnd);
    EXPECT_STREQ(standin::TextOuts().at(0).font.lfFaceName, "<stock>");

    // Metrics that cannot be read, or that are zero.
    standin::FailNext("GetTextMetricsA");
    ResetTTYScreen(m_hWnd, Info());
    EXPECT_EQ(std::make_pair(Info()->xChar, Info()->yChar), std::make_pair(1, 1));
    standin::SetMetrics([](const LOGFONTA&) { return TEXTMETRICA{}; });
    ResetTTYScreen(m_hWnd, Info());
    EXPECT_EQ(std::make_pair(Info()->xChar, Info()->yChar), std::make_pair(1, 1));
    InvalidateRect(m_hWnd, nullptr, FALSE);
    EXPECT_TRUE(PaintTTY(m_hWnd));
}
