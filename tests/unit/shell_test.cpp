// shell_test.cpp: start-up, the record's defaults and its refused creations, the main
// window's routing of messages and commands, and the exit question.
#include "fixture.h"

#include <filesystem>

namespace {

constexpr UINT kGrayed = MF_GRAYED | MF_DISABLED;

} // namespace

TEST_F(VelkaTest, ANewRecordHasTheDefaults) {
    MakeWindow();
    TTYInfo* p = Info();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->bPort, 1);
    EXPECT_EQ(p->dwBaudRate, 19200u);
    EXPECT_EQ(p->bByteSize, 8);
    EXPECT_EQ(p->bParity, NOPARITY);
    EXPECT_EQ(p->bStopBits, ONESTOPBIT);
    EXPECT_TRUE(p->fNewLine);
    EXPECT_TRUE(p->fAutoWrap);
    EXPECT_FALSE(p->fHexPrint);
    EXPECT_FALSE(p->fLocalEcho);
    EXPECT_STREQ(p->lfTTYFont.lfFaceName, "Courier New");
    EXPECT_EQ(p->lfTTYFont.lfHeight, 14);
    EXPECT_EQ(p->lfTTYFont.lfCharSet, OEM_CHARSET);
    EXPECT_EQ(p->lfTTYFont.lfPitchAndFamily, 0x31);
    EXPECT_EQ(p->lfTTYFont.lfWeight, 0);
    EXPECT_EQ(p->rgbFGColour, 0u);
    EXPECT_EQ(Cursor(), std::make_pair(0, 0));
    for (int r = 0; r < MAXROWS; ++r)
        EXPECT_EQ(Row(r), std::string(80, ' '));
    EXPECT_NE(p->hTTYFont, nullptr);
    EXPECT_EQ(p->xChar, 7);
    EXPECT_EQ(gwMaxColumn, 80);
}

TEST_F(VelkaTest, ASettingsFileReplacesItsFieldsBeforeTheFirstOpen) {
    WriteFile("VELKA.SET", Bytes("\x02\x18\x00\x01\x00\x01\x01\x0aLucida\0"));
    auto com2 = standin::AddDevice("COM2");
    MakeWindow();
    TTYInfo* p = Info();
    EXPECT_EQ(p->bPort, 2);
    EXPECT_EQ(p->dwBaudRate, 57600u);
    EXPECT_FALSE(p->fNewLine);
    EXPECT_TRUE(p->fLocalEcho && p->fHexPrint && p->fAutoWrap);
    EXPECT_STREQ(p->lfTTYFont.lfFaceName, "Lucida");
    EXPECT_EQ(p->xChar, 5); // the cell of the file's font height
    EXPECT_TRUE(p->fConnected);
    EXPECT_EQ(com2->State().BaudRate, 57600u);
    EXPECT_TRUE(standin::MessageBoxes().empty());
}

TEST_F(VelkaTest, AFailedOpenAtStartLeavesTheWindowUpAndDisconnected) {
    MakeWindow();
    ASSERT_NE(m_hWnd, nullptr);
    auto boxes = standin::MessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Connection failed.");
    EXPECT_EQ(boxes[0].caption, "Velka v3.3");
    EXPECT_EQ(boxes[0].type, MB_ICONEXCLAMATION | MB_OK);
    EXPECT_EQ(boxes[0].owner, m_hWnd);
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), static_cast<int>(MF_ENABLED));
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_DISCONNECT), static_cast<int>(kGrayed));
    EXPECT_FALSE(Info()->fConnected);
    EXPECT_FALSE(standin::Caret().fExists);

    // Connect fails again the same way and leaves the menu as it was.
    SendMessageA(m_hWnd, WM_COMMAND, IDM_CONNECT, 0);
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Connection failed.", "Connection failed."}));
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_DISCONNECT), static_cast<int>(kGrayed));
}

TEST_F(VelkaTest, ARefusedCreationAttachesAndLeaksNothing) {
    const struct {
        const char* function;
        int nSkip;
    } kFaults[] = {
        {"LocalAlloc", 0}, {"CreateEventA", 0}, {"CreateEventA", 1}, {"CreateEventA", 2}};
    for (const auto& f : kFaults) {
        SCOPED_TRACE(std::string(f.function) + " after " + std::to_string(f.nSkip));
        standin::Reset();
        standin::FailNext(f.function, ERROR_NOT_ENOUGH_MEMORY, 1, f.nSkip);
        EXPECT_EQ(WinMain(m_hInst, nullptr, nullptr, SW_SHOWNORMAL), 0);
        EXPECT_EQ(standin::OpenHandles(), 0);
        EXPECT_EQ(standin::LiveLocals(), 0);
        EXPECT_EQ(standin::LiveFonts(), 0);
        EXPECT_TRUE(standin::MessageBoxes().empty());
        EXPECT_EQ(hTTYWnd, nullptr);
    }
    standin::Reset();
    standin::FailNext("RegisterClassA");
    EXPECT_EQ(WinMain(m_hInst, nullptr, nullptr, SW_SHOWNORMAL), 0);
    EXPECT_EQ(standin::Calls("CreateWindowExA"), 0);
}

TEST_F(VelkaTest, ClosingAsksAndOnlyOkEndsTheProgram) {
    auto com1 = standin::AddDevice("COM1");
    MakeWindow();
    standin::AnswerMessageBoxes({IDCANCEL});
    SendMessageA(m_hWnd, WM_CLOSE, 0, 0);
    auto box = standin::MessageBoxes().back();
    EXPECT_EQ(box.text, "exit   Velka?");
    EXPECT_EQ(box.caption, "Really?");
    EXPECT_EQ(box.type, MB_ICONQUESTION | MB_OKCANCEL);
    EXPECT_TRUE(standin::IsWindow(m_hWnd));
    EXPECT_TRUE(com1->IsOpen());

    SendMessageA(m_hWnd, WM_CLOSE, 0, 0); // answered with OK
    EXPECT_FALSE(standin::IsWindow(m_hWnd));
    EXPECT_FALSE(com1->IsOpen());
    EXPECT_EQ(standin::LiveThreads(), 0);
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(standin::OpenHandles(), 0);
    EXPECT_EQ(standin::LiveLocals(), 0);
    EXPECT_EQ(standin::LiveFonts(), 0);
}

TEST_F(VelkaTest, EveryCommandIsRoutedAndOthersAreIgnored) {
    standin::AddDevice("COM1");
    MakeWindow();
    std::vector<int> dialogs;
    standin::OnDialog(IDD_ABOUT,
                      [&](HWND d) { dialogs.push_back(IDD_ABOUT), standin::ClickButton(d, IDOK); });
    standin::OnDialog(IDD_SETUP, [&](HWND d) {
        dialogs.push_back(IDD_SETUP), standin::ClickButton(d, IDCANCEL);
    });

    auto command = [&](WPARAM id) { EXPECT_EQ(SendMessageA(m_hWnd, WM_COMMAND, id, 0), 0); };
    for (WPARAM id : {0u, 255u, 265u, 300u, 0xFFFFu})
        command(id);
    EXPECT_TRUE(dialogs.empty());
    EXPECT_TRUE(standin::MessageBoxes().empty());
    EXPECT_TRUE(standin::OpenFiles().empty());

    command(IDM_DISCONNECT);
    EXPECT_FALSE(Info()->fConnected);
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), static_cast<int>(MF_ENABLED));
    command(IDM_CONNECT);
    EXPECT_TRUE(Info()->fConnected);
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), static_cast<int>(kGrayed));
    command(IDM_SELECTSOURCE);
    EXPECT_EQ(standin::OpenFiles().size(), 1u);
    command(IDM_UPLOADFAST);
    command(IDM_UPLOADVISIBLE);
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{"Unable to open Source File!",
                                                    "Unable to open Source File!"}));
    command(IDM_SETTINGS);
    command(IDM_ABOUT);
    EXPECT_EQ(dialogs, (std::vector<int>{IDD_SETUP, IDD_ABOUT}));
    command(IDM_SAVESETUP);
    EXPECT_TRUE(std::filesystem::exists(Path("VELKA.SET")));
    standin::AnswerMessageBoxes({IDCANCEL});
    command(IDM_EXIT); // posts WM_CLOSE, which asks
    standin::Pump([] { return standin::MessageBoxes().size() == 3; });
    EXPECT_EQ(standin::MessageBoxes().back().text, "exit   Velka?");
}

// The whole program: WinMain's loop, the accelerators, a typed key and the exit.
TEST_F(VelkaTest, WinMainRunsTheKeysThroughTheAcceleratorsUntilExit) {
    auto com1 = standin::AddDevice("COM1");
    std::vector<std::string> events;
    standin::OnDialog(IDD_ABOUT,
                      [&](HWND d) { events.push_back("about"), standin::ClickButton(d, IDOK); });
    standin::OnDialog(IDD_SETUP,
                      [&](HWND d) { events.push_back("setup"), standin::ClickButton(d, IDOK); });
    standin::OnGetOpenFileName([&](OPENFILENAMEA*) { return events.push_back("select"), FALSE; });
    const WPARAM keys[] = {VK_F1, VK_F2, VK_F3, VK_F4, VK_F10, 'A'};
    size_t nNext = 0;
    standin::SetIdleHook([&] {
        if (nNext < std::size(keys))
            standin::PostKey(hTTYWnd, keys[nNext++]);
        else
            PostMessageA(hTTYWnd, WM_CLOSE, 0, 0);
    });
    EXPECT_EQ(WinMain(m_hInst, nullptr, nullptr, SW_SHOWNORMAL), 0);
    EXPECT_EQ(events, (std::vector<std::string>{"about", "select", "setup"}));
    EXPECT_EQ(BoxTexts(),
              (std::vector<std::string>{"Unable to open Source File!",
                                        "Unable to open Source File!", "exit   Velka?"}));
    EXPECT_EQ(com1->Sent(), "A");
    EXPECT_FALSE(com1->IsOpen());
    standin::SetIdleHook(nullptr);
}
