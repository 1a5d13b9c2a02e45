// dialogs_test.cpp: the help box, the Setup dialog's lists, boxes and font chooser
// against the record, and the Setup command's follow-up on a connected port.
#include "fixture.h"

namespace {

constexpr int kOptionIds[] = {IDC_NEWLINE, IDC_AUTOWRAP, IDC_HEXPRINT, IDC_LOCALECHO};

class DialogTest : public VelkaTest {
  protected:
    // Runs the Setup command with a script for the dialog (not named Setup: that hides
    // GoogleTest's guard against a misspelt SetUp, and clang warns).
    void RunSetup(std::function<void(HWND)> script) {
        standin::OnDialog(IDD_SETUP, std::move(script));
        SendMessageA(m_hWnd, WM_COMMAND, IDM_SETTINGS, 0);
    }
};

} // namespace

TEST_F(DialogTest, TheHelpBoxKeepsItsVersionLineAndClosesOnlyWithOk) {
    MakeWindow();
    for (DWORD dwVersion : {0x00000004u, 0x23F00206u, 0x0000000Au}) {
        standin::SetVersion(dwVersion);
        std::string line;
        bool fOpenAfterEscape = false;
        standin::OnDialog(IDD_ABOUT, [&](HWND d) {
            line = standin::ItemText(d, IDC_VERSION);
            standin::ClickButton(d, IDCANCEL); // Escape
            fOpenAfterEscape = !standin::DialogEnded(d);
            standin::ClickButton(d, IDOK); // Enter or a click
        });
        SendMessageA(m_hWnd, WM_COMMAND, IDM_ABOUT, 0);
        EXPECT_EQ(line, "Velka v 3.3 Terminal for Nivor");
        EXPECT_TRUE(fOpenAfterEscape);
    }
}

TEST_F(DialogTest, InitFillsTheControlsFromTheRecord) {
    auto com1 = standin::AddDevice("COM1");
    MakeWindow();
    struct Seen {
        std::vector<std::string> ports, bauds;
        std::vector<LPARAM> rates;
        int nPort, nBaud;
        bool fPortEnabled;
        std::vector<int> checks;
    };
    auto look = [](Seen& s) {
        return [&s](HWND d) {
            s.ports = standin::ComboItems(d, IDC_PORT);
            s.bauds = standin::ComboItems(d, IDC_BAUD);
            for (int i = 0; i < 5; ++i)
                s.rates.push_back(standin::ComboData(d, IDC_BAUD, i));
            s.nPort = standin::ComboSelection(d, IDC_PORT);
            s.nBaud = standin::ComboSelection(d, IDC_BAUD);
            s.fPortEnabled = standin::IsEnabled(d, IDC_PORT);
            for (int id : kOptionIds)
                s.checks.push_back(IsDlgButtonChecked(d, id));
            standin::ClickButton(d, IDCANCEL);
        };
    };
    Seen connected;
    RunSetup(look(connected));
    EXPECT_EQ(connected.ports,
              (std::vector<std::string>{"COM1", "COM2", "COM3", "COM4", "TELNET"}));
    EXPECT_EQ(connected.bauds,
              (std::vector<std::string>{"9600", "19.2k", "38.4k", "57.6k", "115.2k"}));
    EXPECT_EQ(connected.rates, (std::vector<LPARAM>{9600, 19200, 38400, 57600, 115200}));
    EXPECT_EQ(std::make_pair(connected.nPort, connected.nBaud), std::make_pair(0, 1));
    EXPECT_FALSE(connected.fPortEnabled); // no port change while connected
    EXPECT_EQ(connected.checks, (std::vector<int>{1, 1, 0, 0}));

    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    TTYInfo* p = Info();
    p->bPort = 0, p->dwBaudRate = 4800; // possible only through an edited settings file
    p->fNewLine = 0, p->fHexPrint = 1, p->fLocalEcho = 1;
    Seen odd;
    RunSetup(look(odd));
    EXPECT_EQ(std::make_pair(odd.nPort, odd.nBaud), std::make_pair(-1, -1));
    EXPECT_TRUE(odd.fPortEnabled);
    EXPECT_EQ(odd.checks, (std::vector<int>{0, 1, 1, 1}));
    EXPECT_EQ(standin::DialogsWithProps(), 0);
}

TEST_F(DialogTest, OkCopiesTheChoicesBackAndCancelKeepsThem) {
    MakeWindow();
    TTYInfo* p = Info();
    auto choose = [](int nOk) {
        return [nOk](HWND d) {
            standin::SelectComboItem(d, IDC_PORT, 4);
            standin::SelectComboItem(d, IDC_BAUD, 3);
            for (int id : kOptionIds)
                standin::ClickButton(d, id);
            standin::ClickButton(d, nOk);
        };
    };
    RunSetup(choose(IDCANCEL));
    EXPECT_EQ(std::make_tuple(p->bPort, p->dwBaudRate, p->fNewLine, p->fHexPrint),
              std::make_tuple(BYTE{1}, DWORD{19200}, TRUE, FALSE));
    gwMaxColumn = 5;
    RunSetup(choose(IDOK));
    EXPECT_EQ(std::make_tuple(p->bPort, p->dwBaudRate, p->fNewLine, p->fAutoWrap, p->fHexPrint,
                              p->fLocalEcho),
              std::make_tuple(BYTE{5}, DWORD{57600}, FALSE, FALSE, TRUE, TRUE));
    EXPECT_EQ(gwMaxColumn, 80);

    // Nothing selected: the port becomes 0, the rate stays what it was.
    p->dwBaudRate = 4800;
    RunSetup([](HWND d) {
        standin::SelectComboItem(d, IDC_PORT, -1);
        standin::ClickButton(d, IDOK);
    });
    EXPECT_EQ(p->bPort, 0);
    EXPECT_EQ(p->dwBaudRate, 4800u);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Connection failed."}); // never touched the port
}

TEST_F(DialogTest, TheFontChooserWritesIntoTheRecordAndSurvivesCancel) {
    MakeWindow();
    TTYInfo* p = Info();
    p->rgbFGColour = RGB(9, 9, 9);
    standin::OnChooseFont([](CHOOSEFONTA* cf) {
        cf->lpLogFont->lfHeight = 20;
        lstrcpynA(cf->lpLogFont->lfFaceName, "Lucida Console", LF_FACESIZE);
        cf->rgbColors = RGB(0, 0, 128);
        return TRUE;
    });
    HFONT hOld = p->hTTYFont;
    RunSetup([](HWND d) {
        standin::ClickButton(d, IDC_FONT);
        standin::ClickButton(d, IDCANCEL);
    });
    auto calls = standin::ChooseFonts();
    ASSERT_EQ(calls.size(), 1u);
    const CHOOSEFONTA& cf = calls[0].cf;
    EXPECT_EQ(cf.Flags, 0x4141u);
    EXPECT_EQ(cf.lpLogFont, &p->lfTTYFont);
    EXPECT_EQ(cf.rgbColors, RGB(9, 9, 9));
    EXPECT_EQ(cf.hDC, nullptr);
    EXPECT_EQ(cf.lStructSize, sizeof(CHOOSEFONTA));
    EXPECT_STREQ(calls[0].lfAtEntry.lfFaceName, "Courier New");
    EXPECT_EQ(p->rgbFGColour, RGB(0, 0, 128));
    EXPECT_STREQ(p->lfTTYFont.lfFaceName, "Lucida Console");
    EXPECT_NE(p->hTTYFont, hOld);
    EXPECT_EQ(p->xChar, 10);
    EXPECT_EQ(standin::LiveFonts(), 1);

    standin::OnChooseFont(nullptr); // cancelled: no change
    RunSetup([](HWND d) {
        standin::ClickButton(d, IDC_FONT);
        standin::ClickButton(d, IDOK);
    });
    EXPECT_EQ(p->rgbFGColour, RGB(0, 0, 128));
    EXPECT_EQ(p->xChar, 10);
}

TEST_F(DialogTest, ALiveLineTakesTheNewSettingsAfterEitherButton) {
    auto com1 = standin::AddDevice("COM1");
    MakeWindow();
    ASSERT_TRUE(standin::Pump([&] { return com1->WaitPending(); })); // the thread has started
    com1->ClearLog();
    RunSetup([](HWND d) {
        standin::SelectComboItem(d, IDC_BAUD, 3);
        standin::ClickButton(d, IDCANCEL);
    });
    EXPECT_EQ(com1->Log(), (std::vector<std::string>{"GetCommState", "SetCommState 19200"}));
    RunSetup([](HWND d) {
        standin::SelectComboItem(d, IDC_BAUD, 3);
        standin::ClickButton(d, IDOK);
    });
    EXPECT_EQ(com1->State().BaudRate, 57600u);
    EXPECT_TRUE(com1->IsOpen()); // changed in place
    EXPECT_TRUE(standin::MessageBoxes().empty());

    com1->RefuseStates(true);
    RunSetup([](HWND d) { standin::ClickButton(d, IDOK); });
    auto box = standin::MessageBoxes().at(0);
    EXPECT_EQ(box.text, "Disconnect before Change!");
    EXPECT_EQ(box.caption, "Velka v3.3");
    EXPECT_EQ(box.type, MB_ICONEXCLAMATION | MB_OK);
    EXPECT_TRUE(Info()->fConnected);
}
