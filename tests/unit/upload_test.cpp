// upload_test.cpp: the line-by-line upload against a simulated microcontroller on the
// stand-in's port, answering through the real receive thread: what the screen shows in
// both modes, the handshake's pace, rejected lines, pauses, refusals and the cancel.
#include "fixture.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <time.h>

namespace {

// Answers every line ending in CR with the pieces `answer` gives; the first piece goes at
// once, the others from a thread of its own a little later. No pieces: it stays silent.
class Micro {
  public:
    using Answer = std::function<std::vector<std::string>(const std::string& line)>;

    explicit Micro(std::shared_ptr<standin::Device> dev) : m_dev(std::move(dev)) {
        m_dev->OnWrite([this](const std::string& bytes) { Take(bytes); });
    }
    ~Micro() {
        m_dev->OnWrite(nullptr);
        for (auto& t : m_threads)
            t.join();
    }
    void SetAnswer(Answer a) {
        std::lock_guard<std::mutex> lock(m_mu);
        m_answer = std::move(a);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_lines;
    }
    int EarlyLines() {
        std::lock_guard<std::mutex> lock(m_mu);
        return m_nEarly;
    }

  private:
    void Take(const std::string& bytes) {
        std::lock_guard<std::mutex> lock(m_mu);
        m_pending += bytes;
        for (size_t at; (at = m_pending.find('\r')) != std::string::npos;) {
            const std::string line = m_pending.substr(0, at + 1);
            m_pending.erase(0, at + 1);
            if (!m_fAnswered) ++m_nEarly; // sent before the last answer's CR went out
            m_lines.push_back(line);
            auto pieces = m_answer(line.substr(0, at));
            m_fAnswered = pieces.empty();
            if (pieces.size() == 1) {
                m_fAnswered = true;
                m_dev->Receive(pieces[0]);
            } else if (!pieces.empty()) {
                m_threads.emplace_back([this, pieces] {
                    for (size_t i = 0; i < pieces.size(); ++i) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(20));
                        if (i + 1 == pieces.size()) {
                            std::lock_guard<std::mutex> lock(m_mu);
                            m_fAnswered = true;
                        }
                        m_dev->Receive(pieces[i]);
                    }
                });
            }
        }
    }

    std::shared_ptr<standin::Device> m_dev;
    std::mutex m_mu;
    Answer m_answer = [](const std::string&) { return std::vector<std::string>{" ok\r"}; };
    std::string m_pending;
    std::vector<std::string> m_lines;
    bool m_fAnswered = true;
    int m_nEarly = 0;
    std::vector<std::thread> m_threads;
};

Micro::Answer Rejecting(const std::string& word) {
    return [word](const std::string& line) {
        return std::vector<std::string>{
            line + (line.find(word) != std::string::npos ? " ~ error\r" : " ok\r")};
    };
}

class UploadTest : public VelkaTest {
  protected:
    void SetUp() override {
        VelkaTest::SetUp();
        m_dev = standin::AddDevice("COM1");
        m_micro = std::make_unique<Micro>(m_dev);
        MakeWindow();
        ASSERT_TRUE(standin::Pump([&] { return m_dev->WaitPending(); }));
        m_nHandles = standin::OpenHandles();
    }
    void TearDown() override {
        m_micro.reset();
        VelkaTest::TearDown();
    }
    void Upload(const std::string& file, bool fVisible) {
        WriteFile("prog.txt", file);
        lstrcpynA(gszSourceName, Path("prog.txt").c_str(), kPathSize);
        SendMessageA(m_hWnd, WM_COMMAND, fVisible ? IDM_UPLOADVISIBLE : IDM_UPLOADFAST, 0);
        EXPECT_EQ(ghSourceFile, nullptr);
        EXPECT_EQ(standin::OpenHandles(), m_nHandles); // the file is closed at both ends
        EXPECT_FALSE(gfUploading);
    }
    // The screen's rows without their trailing blanks, up to the last row in use.
    std::vector<std::string> Text() {
        std::vector<std::string> rows;
        for (int r = 0; r < MAXROWS; ++r) {
            std::string row = Row(r);
            rows.push_back(row.erase(row.find_last_not_of(' ') + 1));
        }
        while (!rows.empty() && rows.back().empty())
            rows.pop_back();
        return rows;
    }
    void ClearScreen() {
        TTYInfo* p = Info();
        ScreenLock lock(p);
        std::memset(p->abScreen, ' ', kScreenCells);
        p->nRow = p->nColumn = 0;
    }
    // Whether the screen holds the text anywhere (rows joined by '|').
    bool Contains(const std::string& text) {
        std::string all;
        for (const auto& r : Text())
            all += r + "|";
        return all.find(text) != std::string::npos;
    }
    bool Shows(const std::string& row) {
        auto t = Text();
        return std::find(t.begin(), t.end(), row) != t.end();
    }
    static std::vector<std::string> WithCR(const std::vector<std::string>& lines) {
        std::vector<std::string> out;
        for (const auto& l : lines)
            out.push_back(l + "\r");
        return out;
    }

    std::shared_ptr<standin::Device> m_dev;
    std::unique_ptr<Micro> m_micro;
    int m_nHandles = 0;
};

using Rows = std::vector<std::string>;

} // namespace

TEST_F(UploadTest, FastShowsDotsAfterLinesEndingInOne) {
    std::string file;
    std::vector<std::string> lines;
    for (int i = 1; i <= 25; ++i)
        lines.push_back("line " + std::to_string(i)), file += lines.back() + "\r\n";
    Upload(file, false);
    EXPECT_EQ(Text(), Rows{"Loading ... Ready"});
    EXPECT_EQ(m_micro->Lines(), WithCR(lines));
    EXPECT_EQ(m_micro->EarlyLines(), 0);
}

TEST_F(UploadTest, VisibleShowsEachTaggedLineOnceAccepted) {
    Upload("  a\r{ ###\rx\r{ >>>\rb { note }\r", true);
    EXPECT_EQ(Text(), (Rows{"<1> a", "<5> b", " Ready"})); // tags count every file line
    EXPECT_EQ(m_micro->Lines(), (std::vector<std::string>{"a\r", "b  \r"}));
}

TEST_F(UploadTest, NothingToSendEndsAtOnce) {
    Upload("\r\n{ only a comment }\r\n   \r", false);
    EXPECT_EQ(Text(), Rows{"Loading  Ready"});
    Upload("", true);
    EXPECT_EQ(Text(), (Rows{"Loading  Ready", " Ready"}));
    EXPECT_TRUE(m_dev->Sent().empty());
}

TEST_F(UploadTest, ARejectedLineStopsTheUploadAndItsAnswerIsShown) {
    m_micro->SetAnswer(Rejecting("bad"));
    Upload("a\rb\rbad\rd\r", true);
    // The receive thread shows the answer, this thread the report; either may come first.
    ASSERT_TRUE(standin::Pump([&] { return Contains("bad ~ error|"); }));
    EXPECT_TRUE(Contains("Source Error in line <3>|"));
    EXPECT_TRUE(Contains("|<3> "));
    EXPECT_EQ(Text().at(0), "<1> a");
    EXPECT_EQ(Text().at(1), "<2> b");
    EXPECT_EQ(m_micro->Lines().size(), 3u);
    EXPECT_EQ(gUploadSync, 0);

    // The next upload starts again from the first line.
    m_micro->SetAnswer(Rejecting("d"));
    Upload("a\rb\rc\rd\r", false);
    ASSERT_TRUE(standin::Pump([&] { return Contains("d ~ error|"); }));
    EXPECT_TRUE(Contains("Source Error in line <4>|"));
    EXPECT_TRUE(Contains("Loading ."));
    EXPECT_EQ(m_micro->Lines().size(), 7u);
}

TEST_F(UploadTest, TheNextLineWaitsForTheAnswersCR) {
    const struct {
        const char* name;
        Micro::Answer answer;
        const char* report;
        bool fStaleWake; // the wake-up event is already set when the upload starts
    } kCases[] = {
        {"answer in pieces",
         [](const std::string&) {
             return std::vector<std::string>{"O", "K", "\r"};
         },
         "Loading . Ready", false},
        {"a wake left over from before",
         [](const std::string&) {
             return std::vector<std::string>{"O", "K", "\r"};
         },
         "Loading . Ready", true},
        {"bytes after the CR are dropped",
         [](const std::string&) { return std::vector<std::string>{"OK\rXYZ"}; }, "Loading . Ready",
         false},
        {"a ~ counts at a later CR",
         [](const std::string& l) {
             return l == "two" ? std::vector<std::string>{"~", "\r"}
                               : std::vector<std::string>{"ok\r"};
         },
         "Source Error in line <2>|", false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        ClearScreen();
        m_micro->SetAnswer(c.answer);
        if (c.fStaleWake) SetEvent(ghUploadEvent);
        const size_t nBefore = m_micro->Lines().size();
        Upload("one\rtwo\rthree\r", false);
        EXPECT_TRUE(Contains(c.report)) << ::testing::PrintToString(Text());
        EXPECT_EQ(m_micro->EarlyLines(), 0);
        EXPECT_EQ(m_micro->Lines().size() - nBefore, c.report[0] == 'S' ? 2u : 3u);
    }
    ASSERT_TRUE(standin::Pump([&] { return Contains("~|"); })); // the rejecting answer
    for (const auto& r : Text())
        EXPECT_EQ(r.find("XYZ"), std::string::npos);
}

TEST_F(UploadTest, AnErrorSeenBeforeTheFirstLineRejectsIt) {
    standin::OnMessageBox([&](const standin::MessageBoxCall& box) {
        EXPECT_EQ(box.text, "Continue?");
        EXPECT_EQ(box.caption, "Upload");
        EXPECT_EQ(box.type, MB_OK);
        EXPECT_EQ(box.owner, m_hWnd);
        m_dev->Receive("~"); // a stray error mark while paused
        EXPECT_TRUE(standin::Pump([] { return gfUpError.load() != 0; }));
        return IDOK;
    });
    Upload("{ kkk\ra\rb\r", false);
    standin::OnMessageBox(nullptr);
    ASSERT_TRUE(standin::Pump([&] { return Contains(" ok|"); })); // the answer, shown
    EXPECT_TRUE(Contains("Source Error in line <2>|"));
    EXPECT_EQ(m_micro->Lines(), (std::vector<std::string>{"a\r"}));
}

TEST_F(UploadTest, RefusedUploadsChangeNothing) {
    gwSourceLine = 77, gfUpError = TRUE, gUploadSync = 5;
    lstrcpynA(gszSourceName, Path("missing.txt").c_str(), kPathSize);
    SendMessageA(m_hWnd, WM_COMMAND, IDM_UPLOADFAST, 0);
    EXPECT_EQ(standin::MessageBoxes().back().text, "Unable to open Source File!");

    SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
    WriteFile("prog.txt", "a\r");
    lstrcpynA(gszSourceName, Path("prog.txt").c_str(), kPathSize);
    SendMessageA(m_hWnd, WM_COMMAND, IDM_UPLOADVISIBLE, 0); // would wait for ever
    auto box = standin::MessageBoxes().back();
    EXPECT_EQ(box.text, "Connect before Upload!");
    EXPECT_EQ(box.caption, "Velka v3.3");
    EXPECT_EQ(box.type, MB_ICONEXCLAMATION | MB_OK);
    EXPECT_EQ(box.owner, m_hWnd);
    EXPECT_EQ(std::make_tuple(gwSourceLine, gfUpError.load(), gUploadSync.load()),
              std::make_tuple(WORD{77}, TRUE, BYTE{5}));
    EXPECT_TRUE(m_dev->Sent().empty());
    EXPECT_TRUE(Text().empty());
    gfUpError = FALSE, gUploadSync = 0;
}

TEST_F(UploadTest, EscapeEndsTheWaitForASilentMicrocontroller) {
    m_micro->SetAnswer([&](const std::string&) {
        standin::PostChar(m_hWnd, 'q'); // typed while the upload runs: never sent
        standin::PostKey(m_hWnd, 'Q');
        standin::PostKey(m_hWnd, VK_ESCAPE);
        return std::vector<std::string>{};
    });
    Upload("x = 1\ry = 2\r", false);
    EXPECT_EQ(Text(), Rows{"Loading Upload cancelled in line <1>"});
    standin::Pump([] { return false; }, 50);
    EXPECT_EQ(m_dev->Sent(), "x = 1\r");
    // Answers that come later are ordinary terminal output.
    m_dev->Receive(" ok\r");
    ASSERT_TRUE(standin::Pump([&] { return Shows(" ok"); }));
}

TEST_F(UploadTest, AnAnswerLongerThanTheBufferKeepsItsMarks) {
    m_micro->SetAnswer([](const std::string&) {
        std::string a(1000, 'z');
        a[600] = '~';
        return std::vector<std::string>{a + "\r"};
    });
    Upload("long\r", true);
    EXPECT_EQ(gwRXCol, kRXBufSize);
    ASSERT_TRUE(standin::Pump([&] { return Shows(std::string(80, 'z')); }));
    std::string all;
    for (const auto& r : Text())
        all += r;
    EXPECT_EQ(std::count(all.begin(), all.end(), 'z'), kRXBufSize); // what the buffer holds
    EXPECT_TRUE(Contains("Source Error in line <1>|"));
}

// The wait sleeps on an event instead of spinning, and the window paints meanwhile.
TEST_F(UploadTest, TheWaitPaintsAndDoesNotSpin) {
    std::atomic<bool> fPaintedDuringWait{false};
    m_micro->SetAnswer([&](const std::string&) {
        InvalidateRect(m_hWnd, nullptr, FALSE);
        standin::ClearTextOuts();
        std::thread([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            fPaintedDuringWait = !standin::TextOuts().empty();
            m_dev->Receive(" ok\r");
        }).detach();
        return std::vector<std::string>{};
    });
    timespec t0, t1;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    Upload("slow\r", false);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    const double dCpuMs = (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6;
    EXPECT_LT(dCpuMs, 100.0);
    EXPECT_TRUE(fPaintedDuringWait);
    EXPECT_EQ(Text(), Rows{"Loading . Ready"});
}

TEST_F(UploadTest, NoCommandStartsWhileAnUploadRuns) {
    standin::OnMessageBox([&](const standin::MessageBoxCall& box) {
        if (box.text == "Continue?") {
            SendMessageA(m_hWnd, WM_COMMAND, IDM_UPLOADFAST, 0);
            SendMessageA(m_hWnd, WM_COMMAND, IDM_DISCONNECT, 0);
            SendMessageA(m_hWnd, WM_CLOSE, 0, 0);
        }
        return IDOK;
    });
    Upload("a\r{ kkk\rb\r", false);
    standin::OnMessageBox(nullptr);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Continue?"});
    EXPECT_EQ(m_micro->Lines(), (std::vector<std::string>{"a\r", "b\r"}));
    EXPECT_TRUE(Info()->fConnected);
    EXPECT_EQ(Text(), Rows{"Loading . Ready"});
}

TEST(IToDecString, TagsTheLineNumber) {
    const std::pair<WORD, const char*> kTags[] = {{7, "<7> "},         {10, "<10> "},
                                                  {12345, "<12345> "}, {65535, "<65535> "},
                                                  {100, "<100> "},     {0, "<> "}};
    for (const auto& [w, tag] : kTags) {
        char buf[kLineStrSize];
        EXPECT_EQ(IToDecString(w, buf), static_cast<int>(std::strlen(tag)));
        EXPECT_STREQ(buf, tag);
    }
}
