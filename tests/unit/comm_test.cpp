// comm_test.cpp: the serial link against the stand-in's scriptable device: the device
// calls of open, setup and close, every line setting, the failures, the receive thread's
// blocks and errors, typed keys, and a close that must not deadlock with a paint.
#include "fixture.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace {

constexpr int kConnected = MF_GRAYED | MF_DISABLED;

class CommTest : public VelkaTest {
  protected:
    void SetUp() override {
        VelkaTest::SetUp();
        m_dev = standin::AddDevice("COM1");
    }
    // Waits until the receive thread is back in its event wait.
    void Settle() {
        ASSERT_TRUE(standin::Pump([&] { return m_dev->WaitPending() && m_dev->InQueue() == 0; }));
    }
    // On the test's clock the receive thread may also rest in a pause after showing a block.
    void SettleOrPause() {
        ASSERT_TRUE(standin::Pump([&] {
            return (m_dev->WaitPending() || standin::Sleeping() > 0) && m_dev->InQueue() == 0;
        }));
    }
    bool ScreenHas(const std::string& text) {
        std::string all;
        for (int r = 0; r < MAXROWS; ++r)
            all += Row(r);
        return all.find(text) != std::string::npos;
    }
    std::shared_ptr<standin::Device> m_dev;
};

} // namespace

TEST_F(CommTest, OpenSetsUpTheDeviceInOrderAndCloseUndoesIt) {
    DCB asRead{}; // what the device reports: every field the program must leave alone set
    asRead.DCBlength = sizeof(DCB);
    asRead.BaudRate = 1200, asRead.ByteSize = 7, asRead.Parity = 2, asRead.StopBits = 2;
    asRead.fParity = 1, asRead.fOutxCtsFlow = 1, asRead.fOutxDsrFlow = 1,
    asRead.fDsrSensitivity = 1;
    asRead.fTXContinueOnXoff = 1, asRead.fErrorChar = 1, asRead.fNull = 1, asRead.fAbortOnError = 1;
    asRead.fOutX = 1, asRead.fInX = 1, asRead.fDtrControl = 2, asRead.fRtsControl = 2;
    asRead.ErrorChar = 'E', asRead.EofChar = 'F', asRead.EvtChar = 'G', asRead.XonLim = 7;
    m_dev->SetState(asRead);
    MakeWindow();
    Settle();

    auto log = m_dev->Log();
    // The receive thread sets EV_RXCHAR again at its start, in parallel with the rest.
    auto again = std::find(log.begin() + 2, log.end(), "SetCommMask 1");
    ASSERT_NE(again, log.end());
    log.erase(again);
    EXPECT_EQ(log, (std::vector<std::string>{"CreateFileA", "SetCommMask 1", "SetupComm 4096 4096",
                                             "PurgeComm 15", "SetCommTimeouts", "GetCommState",
                                             "SetCommState 19200", "SETDTR"}));
    const COMMTIMEOUTS t = m_dev->Timeouts();
    EXPECT_EQ(std::vector<DWORD>({t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier,
                                  t.ReadTotalTimeoutConstant, t.WriteTotalTimeoutMultiplier,
                                  t.WriteTotalTimeoutConstant}),
              std::vector<DWORD>({MAXDWORD, 0, 1000, 0, 1000}));
    const DCB d = m_dev->State();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(std::vector<DWORD>({d.BaudRate, d.ByteSize, d.Parity, d.StopBits, d.fBinary,
                                  d.fParity, d.fDtrControl, d.fRtsControl, d.fOutX, d.fInX}),
              std::vector<DWORD>({19200, 8, 0, 0, 1, 0, 1, 1, 0, 0}));
    EXPECT_EQ(std::vector<int>({d.XonChar, d.XoffChar, d.XonLim, d.XoffLim}),
              std::vector<int>({0x11, 0x13, 100, 100}));
    EXPECT_EQ(std::vector<DWORD>({d.fOutxCtsFlow, d.fOutxDsrFlow, d.fDsrSensitivity,
                                  d.fTXContinueOnXoff, d.fErrorChar, d.fNull, d.fAbortOnError}),
              std::vector<DWORD>(7, 1));
    EXPECT_EQ(std::string({d.ErrorChar, d.EofChar, d.EvtChar}), "EFG");
    EXPECT_TRUE(m_dev->Dtr());
    EXPECT_TRUE(Info()->fConnected);
    EXPECT_NE(Info()->dwThreadID, 0u);
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), kConnected);
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_DISCONNECT), static_cast<int>(MF_ENABLED));
    EXPECT_TRUE(standin::Caret().fExists);
    EXPECT_EQ(standin::CursorHistory().front(), standin::WaitCursor());
    EXPECT_NE(standin::CurrentCursor(), standin::WaitCursor());

    m_dev->ClearLog();
    m_dev->Receive("queued");
    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    EXPECT_EQ(Info()->dwThreadID, 0u);
    EXPECT_EQ(Info()->hWatchThread, nullptr);
    EXPECT_EQ(standin::LiveThreads(), 0);
    log = m_dev->Log();
    EXPECT_EQ(std::vector<std::string>(log.end() - 4, log.end()),
              (std::vector<std::string>{"SetCommMask 0", "CLRDTR", "PurgeComm 15", "CloseHandle"}));
    EXPECT_FALSE(m_dev->Dtr());
    EXPECT_FALSE(m_dev->IsOpen());
    EXPECT_FALSE(standin::Caret().fExists);
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), static_cast<int>(MF_ENABLED));
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_DISCONNECT), kConnected);
}

TEST_F(CommTest, ThePortNumberChoosesTheDevice) {
    const struct {
        BYTE bPort;
        const char* device;
    } kPorts[] = {{0, "COM0"},          {1, "COM1"},          {2, "COM2"},           {4, "COM4"},
                  {5, "\\\\.\\TELNET"}, {6, "\\\\.\\TELNET"}, {255, "\\\\.\\TELNET"}};
    MakeWindow();
    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    for (const auto& c : kPorts) {
        auto dev = standin::AddDevice(c.device);
        Info()->bPort = c.bPort;
        ASSERT_TRUE(OpenConnection(m_hWnd)) << c.device;
        EXPECT_TRUE(dev->IsOpen());
        KillTTYFocus(m_hWnd);
        CloseConnection(m_hWnd);
    }
    Info()->bPort = 3; // no such device
    EXPECT_FALSE(OpenConnection(m_hWnd));
}

TEST_F(CommTest, AFailedOpenClosesTheDeviceAndLeavesTheMenu) {
    MakeWindow();
    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    const int nHandles = standin::OpenHandles();
    struct Case {
        const char* name;
        std::function<void()> arrange;
    };
    HANDLE hOther = INVALID_HANDLE_VALUE;
    const Case kCases[] = {
        {"no device", [&] { m_dev->SetPresent(false); }},
        {"held by another program",
         [&] {
             hOther = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  0, nullptr);
         }},
        {"line settings refused", [&] { m_dev->RefuseStates(true); }},
        {"no thread", [&] { standin::FailNext("CreateThread"); }},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        const int nOpenBefore = standin::OpenHandles();
        EXPECT_FALSE(OpenConnection(m_hWnd));
        EXPECT_FALSE(Info()->fConnected);
        EXPECT_EQ(standin::OpenHandles(), nOpenBefore);
        EXPECT_EQ(standin::MenuState(m_hWnd, IDM_DISCONNECT), kConnected);
        EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), static_cast<int>(MF_ENABLED));
        EXPECT_NE(standin::CurrentCursor(), standin::WaitCursor());
        EXPECT_EQ(standin::LiveThreads(), 0);
        EXPECT_FALSE(standin::Caret().fExists);
        m_dev->SetPresent(true), m_dev->RefuseStates(false);
        if (hOther != INVALID_HANDLE_VALUE) CloseHandle(hOther), hOther = INVALID_HANDLE_VALUE;
    }
    EXPECT_EQ(standin::OpenHandles(), nHandles);
}

TEST_F(CommTest, AStateThatCannotBeReadStartsFromZeros) {
    standin::FailNext("GetCommState");
    MakeWindow();
    const DCB d = m_dev->State();
    EXPECT_EQ(d.DCBlength, 28u);
    EXPECT_EQ(d.BaudRate, 19200u);
    EXPECT_EQ(d.fParity, 0u); // the device's own 1 was never read
    EXPECT_EQ(d.EvtChar, 0);
}

TEST_F(CommTest, ReceivedBytesAreReadInBlocksOfAtMost80) {
    MakeWindow();
    Settle();
    std::string bytes;
    for (int i = 0; i < 200; ++i)
        bytes += static_cast<char>('!' + i % 90);
    m_dev->Receive(bytes);
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas(bytes.substr(160)); }));
    EXPECT_EQ(m_dev->ReadSizes(), (std::vector<DWORD>{80, 80, 40}));
    EXPECT_EQ(Row(0), bytes.substr(0, 80));
    EXPECT_EQ(Row(2), bytes.substr(80, 80)); // New Line: the wrap moves two rows
}

// A receiver that has caught up after a quiet line repaints at once; one that has bytes
// queued behind a block drains first and repaints once, when the queue is empty.
TEST_F(CommTest, TheRepaintWaitsWhileMoreBytesAreQueued) {
    const struct {
        size_t nQueued;
        std::vector<DWORD> reads;
    } kCases[] = {{50, {50}}, {80, {80}}, {200, {80, 80, 40}}, {400, {80, 80, 80, 80, 80}}};
    standin::SetTicks(1000);
    MakeWindow();
    for (const auto& c : kCases) {
        SettleOrPause();
        standin::AdvanceTicks(kPaintIntervalMs); // ends the pause after the last case
        Settle();
        const int nBefore = standin::UpdateWindowCalls();
        const size_t nReads = m_dev->ReadSizes().size();
        m_dev->Receive(std::string(c.nQueued, 'q'));
        SettleOrPause();
        const auto reads = m_dev->ReadSizes();
        EXPECT_EQ(std::vector<DWORD>(reads.begin() + nReads, reads.end()), c.reads);
        EXPECT_EQ(standin::UpdateWindowCalls() - nBefore, 1) << c.nQueued << " queued";
        EXPECT_FALSE(standin::NeedsPaint(m_hWnd));
    }
    standin::AdvanceTicks(kPaintIntervalMs); // the last pause ends
    Settle();
    // The wraps moved the cursor on the receive thread, which never owns the caret.
    EXPECT_EQ(standin::Caret().nIgnoredMoves, 0);
}

// While bytes keep coming the screen is marked at most once in kPaintIntervalMs (the
// window's thread paints on its own); a block after a quiet line is painted at once. After a
// marking the thread sleeps out the interval and reads what came meanwhile, before it waits
// for the port's event again. The clock is
// the test's: nothing else moves it.
TEST_F(CommTest, AStreamIsPaintedAtMostOnceAnIntervalAndItsEndAlways) {
    const struct {
        DWORD dwAdvance;   // ms on the clock before the block
        const char* block; // nullptr: nothing arrives
        int nPaints;       // UpdateWindow calls since the start: quiet lines' blocks
        bool fMarks;       // cells were marked for the painter in this step
        bool fWaiting;     // the thread waits for the port's event afterwards, not a pause
    } kSteps[] = {
        {0, "one", 1, true, false},     // the line was quiet: at once, then a pause
        {15, "two", 1, false, false},   // queued during the pause: not yet read
        {1, nullptr, 1, true, false},   // the pause is over: read and marked
        {15, "three", 1, false, false}, // the next pause
        {1, nullptr, 1, true, false},   // read and marked
        {16, nullptr, 1, false, true},  // the pause found nothing: the event wait
        {15, "four", 2, true, false},   // 31 ms of quiet: painted at once
        {5, "five", 2, false, false},   // in the pause
        {11, nullptr, 2, true, false},  // read and marked
        {16, nullptr, 2, false, true},  // nothing held, nothing marked
    };
    standin::SetTicks(1000);
    MakeWindow();
    Settle();
    const int nPaints0 = standin::UpdateWindowCalls();
    std::string shown;
    for (const auto& st : kSteps) {
        SCOPED_TRACE(::testing::Message() << "step " << &st - kSteps + 1);
        const int nMarks = standin::InvalidationCount();
        standin::AdvanceTicks(st.dwAdvance);
        if (st.block) m_dev->Receive(st.block), shown += st.block;
        standin::Pump([&] { return standin::UpdateWindowCalls() - nPaints0 >= st.nPaints; });
        standin::Pump([] { return false; }, 20); // room for a paint too many
        if (st.fWaiting) {
            Settle();
        } else {
            EXPECT_TRUE(standin::Pump([] { return standin::Sleeping() == 1; }));
        }
        EXPECT_EQ(standin::UpdateWindowCalls() - nPaints0, st.nPaints);
        EXPECT_EQ(standin::InvalidationCount() > nMarks, st.fMarks);
        EXPECT_FALSE(standin::NeedsPaint(m_hWnd));
    }
    EXPECT_TRUE(ScreenHas(shown));
}

// The debugger text goes out at a pending read only while a debugger listens.
TEST_F(CommTest, TheDebuggerTextIsWrittenOnlyWhileADebuggerIsAttached) {
    MakeWindow();
    for (bool fAttached : {false, true}) {
        SCOPED_TRACE(fAttached ? "attached" : "not attached");
        Settle();
        standin::SetDebuggerPresent(fAttached);
        const size_t nBefore = standin::DebugStrings().size();
        m_dev->PlanRead({standin::IoMode::Pending});
        m_dev->Receive(fAttached ? "<a>" : "<n>");
        ASSERT_TRUE(standin::Pump([&] { return ScreenHas(fAttached ? "<a>" : "<n>"); }));
        const auto strings = standin::DebugStrings();
        EXPECT_EQ(std::vector<std::string>(strings.begin() + nBefore, strings.end()),
                  std::vector<std::string>(fAttached ? 1 : 0, "\n\r<IO Pending>"));
    }
}

TEST_F(CommTest, TransferErrorsAreShownAndTheThreadGoesOn) {
    standin::SetDebuggerPresent(true);
    MakeWindow();
    Settle();
    m_dev->PlanRead({standin::IoMode::PendingFail, ERROR_GEN_FAILURE, 4});
    m_dev->Receive("part"); // what came before the error is still shown
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas("<COM Error>part"); }));
    Settle();
    m_dev->PlanRead({standin::IoMode::Pending, 0, 0, true}); // once incomplete, then done
    m_dev->Receive("kept");
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas("kept"); }));
    EXPECT_EQ(standin::DebugStrings(), (std::vector<std::string>(2, "\n\r<IO Pending>")));

    Settle();
    // A read that fails at once says nothing; the byte it left queued is read after a
    // pause, without waiting for more to arrive.
    m_dev->PlanRead({standin::IoMode::Fail});
    m_dev->Receive("x");
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas("x") && m_dev->InQueue() == 0; }));
    m_dev->Receive("y");
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas("xy"); }));

    // Writes that fail, at once or pending, are shown and reported as failed.
    m_dev->PlanWrite({standin::IoMode::Fail});
    EXPECT_FALSE(WriteCommBlock(m_hWnd, "a", 1));
    m_dev->PlanWrite({standin::IoMode::PendingFail});
    EXPECT_FALSE(WriteCommBlock(m_hWnd, "b", 1));
    m_dev->PlanWrite({standin::IoMode::Pending, 0, 0, true});
    EXPECT_TRUE(WriteCommBlock(m_hWnd, "c", 1));
    std::string all;
    for (int r = 0; r < MAXROWS; ++r)
        all += Row(r);
    EXPECT_EQ(std::count(all.begin(), all.end(), '<'), 3); // the pending read, both writes
    EXPECT_EQ(standin::DebugStrings().size(), 2u);         // writes say nothing to the debugger
}

TEST_F(CommTest, TypedKeysAreSentOnlyWhileConnected) {
    MakeWindow();
    Info()->fLocalEcho = TRUE;
    gUploadSync = ASCII_ACK;
    SendMessageA(m_hWnd, WM_CHAR, '\r', 0);
    EXPECT_EQ(gUploadSync, 0);
    EXPECT_EQ(m_dev->Sent(), "\r");
    EXPECT_EQ(Cursor(), std::make_pair(1, 0)); // echoed through the interpreter
    SendMessageA(m_hWnd, WM_CHAR, 0x1E1, 0);   // only the low byte counts
    EXPECT_EQ(m_dev->Sent(), "\r\xe1");

    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    gUploadSync = ASCII_ACK;
    SendMessageA(m_hWnd, WM_CHAR, 'q', 0);
    EXPECT_EQ(gUploadSync, 0);
    EXPECT_EQ(m_dev->Sent(), "\r\xe1");
    EXPECT_EQ(Row(1)[1], ' ');
    EXPECT_FALSE(ProcessTTYCharacter(m_hWnd, 'q'));
    EXPECT_FALSE(ProcessTTYCharacter(nullptr, 'q'));
}

TEST_F(CommTest, BytesBeforeTheWindowIsKnownWaitForIt) {
    InitApplication(m_hInst);
    m_hWnd = InitInstance(m_hInst, SW_SHOWNORMAL); // hTTYWnd still 0, as during creation
    ASSERT_TRUE(standin::Pump([&] { return m_dev->WaitPending(); }));
    m_dev->Receive("early");
    Sleep(3 * kWaitRetryMs);
    EXPECT_EQ(m_dev->InQueue(), 5u); // nowhere to show them yet
    hTTYWnd = m_hWnd;
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas("early"); })); // no more bytes needed
    m_dev->Receive("+late");
    ASSERT_TRUE(standin::Pump([&] { return ScreenHas("early+late"); }));
}

// A thread that cannot watch the port ends; the window then closes the connection and
// reports it failed, and a new Connect works.
TEST_F(CommTest, ThreadWithoutAnEventEndsAndTheConnectionIsReportedFailed) {
    standin::FailNext("CreateEventA", ERROR_NOT_ENOUGH_MEMORY, 1, 3); // the thread's own event
    MakeWindow();
    ASSERT_TRUE(standin::Pump([&] { return !Info()->fConnected; }));
    auto box = standin::MessageBoxes().at(0);
    EXPECT_EQ(box.text, "Failed to create event for thread!");
    EXPECT_EQ(box.caption, "TTY Error!");
    EXPECT_EQ(box.owner, nullptr);
    EXPECT_EQ(box.type, MB_ICONEXCLAMATION | MB_OK);
    EXPECT_EQ(BoxTexts().back(), "Connection failed.");
    EXPECT_FALSE(m_dev->IsOpen());
    EXPECT_EQ(standin::MenuState(m_hWnd, IDM_CONNECT), static_cast<int>(MF_ENABLED));
    // The thread clears its id as its last act on the record, just before it returns.
    EXPECT_TRUE(standin::Pump([] { return standin::LiveThreads() == 0; }));
    SendMessageA(m_hWnd, WM_COMMAND, IDM_CONNECT, 0);
    EXPECT_TRUE(Info()->fConnected);
    m_dev->Receive("heard");
    EXPECT_TRUE(standin::Pump([&] { return ScreenHas("heard"); }));
}

// Data keeps arriving while the port is closed: the receive thread may be waiting in
// UpdateWindow for this thread, which is waiting for it. Wine ends the event wait with an
// error rather than an empty mask; both must end the thread.
TEST_F(CommTest, CloseWhileDataFlowsEndsTheThreadWithoutDeadlock) {
    for (DWORD dwMaskError : {0u, static_cast<DWORD>(ERROR_OPERATION_ABORTED)}) {
        m_dev->SetMaskChangeError(dwMaskError);
        if (!m_hWnd) MakeWindow();
        for (int round = 0; round < 20; ++round) {
            if (!Info()->fConnected) {
                ASSERT_TRUE(OpenConnection(m_hWnd));
            }
            std::atomic<bool> fStop{false};
            std::thread feeder([&] {
                while (!fStop)
                    m_dev->Receive("data flowing ");
            });
            standin::Pump([] { return false; }, 5);
            KillTTYFocus(m_hWnd);
            EXPECT_TRUE(CloseConnection(m_hWnd));
            fStop = true;
            feeder.join();
            EXPECT_EQ(standin::LiveThreads(), 0);
            EXPECT_EQ(Info()->dwThreadID, 0u);
        }
    }
}

TEST_F(CommTest, AFailingEventWaitDoesNotSpin) {
    MakeWindow();
    Settle();
    for (int i = 0; i < 1000; ++i)
        m_dev->PlanWait({standin::IoMode::Fail, 21});
    SetCommMask(reinterpret_cast<HANDLE>(Info()->hCommDev), EV_RXCHAR); // end the pending wait
    const int nBefore = standin::Calls("WaitCommEvent");
    standin::Pump([] { return false; }, 300);
    EXPECT_LE(standin::Calls("WaitCommEvent") - nBefore, 10);
    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    EXPECT_EQ(standin::LiveThreads(), 0);
}
