// source_test.cpp: the line reader and loader directives as tables of file bytes to the
// results an upload gets, and the choosing and opening of the source file.
#include "fixture.h"

namespace {

// Reads the whole file the way the upload does (line 1 first, +1 after each sent line)
// and writes each result as "<line>:<bytes>" for a line, "skip<n>", "pause<n>", "end<n>".
std::vector<std::string> ReadAll(const std::string& path) {
    lstrcpynA(gszSourceName, path.c_str(), kPathSize);
    EXPECT_EQ(OpenSourceFile(nullptr), 1);
    std::vector<std::string> out;
    gwSourceLine = 1;
    for (int i = 0; i < 100; ++i) {
        const int n = ReadSourceLine(nullptr);
        const std::string line = std::to_string(gwSourceLine);
        if (n == SRC_LINE) {
            EXPECT_LE(gwTXCol, kTXBufSize);
            out.push_back(line + ":" + std::string(reinterpret_cast<char*>(gsTXBuf), gwTXCol));
            ++gwSourceLine;
        } else {
            out.push_back((n == SRC_SKIP    ? "skip"
                           : n == SRC_PAUSE ? "pause"
                           : n == SRC_ERROR ? "error"
                                            : "end") +
                          line);
        }
        if (n == SRC_END || n == SRC_ERROR) break;
    }
    CloseHandle(ghSourceFile);
    return out;
}

using Results = std::vector<std::string>;

struct ReaderCase {
    const char* name;
    std::string file;
    Results results;
};

const std::string k80(80, 'a'), k81(81, 'a');

const ReaderCase kReaderCases[] = {
    {"leading blanks go, inner and trailing stay", "  foo  bar \r\n", {"1:foo  bar \r", "end2"}},
    {"leading tabs go, an inner tab is a blank", "\t\tfoo\tbar\r", {"1:foo bar\r", "end2"}},
    {"each inner tab is a blank", ": sq\tdup * ;\t\t\\ n\t\r", {"1:: sq dup * ;  \\ n \r", "end2"}},
    {"a tab before a comment opens it", "x\t{ note } y\r", {"1:x   y\r", "end2"}},
    {"a tab counts toward the 80", k80 + "\tz\r", {"1:" + k80 + " ", "2:z\r", "end3"}},
    {"empty lines are counted", "\r\n\r\nx\r", {"3:x\r", "end4"}},
    {"a closed comment leaves a blank", "foo { note } bar\r", {"1:foo   bar\r", "end2"}},
    {"a comment runs to the line's end", "foo { note\r", {"1:foo \r", "end2"}},
    {"a comment-only line is counted", "{ note }\ry\r", {"2:y\r", "end3"}},
    {"braces without a blank are text",
     "{}\r{abc}\rx{ y }\r",
     {"1:{}\r", "2:{abc}\r", "3:x{ y }\r", "end4"}},
    {"a brace last on its line is dropped", "foo {\r", {"1:foo \r", "end2"}},
    {"the pair is content", "{a b\r{\tz\r", {"1:{a b\r", "2:{\tz\r", "end3"}},
    {"80 characters fit", k80 + "\r", {"1:" + k80 + "\r", "end2"}},
    {"81 characters are cut", k81 + "\rb\r", {"1:" + k81, "3:b\r", "end4"}},
    {"170 characters are cut twice",
     std::string(170, 'c') + "\r",
     {"1:" + std::string(81, 'c'), "2:" + std::string(81, 'c'), "3:cccccccc\r", "end4"}},
    {"only printable, 04, 12 and 15 pass",
     Bytes("\x04\x12\x15"
           "a\x80\xff\x01\x1b"
           "b\x7f\r"),
     {Bytes("1:\x04\x12\x15"
            "ab\x7f\r"),
      "end2"}},
    {"CR LF and CR alone end lines", "a\r\nb\rc\r\n", {"1:a\r", "2:b\r", "3:c\r", "end4"}},
    {"LF alone ends a line as CR does", "ab\ncd\n", {"1:ab\r", "2:cd\r", "end3"}},
    {"LF-only lines stay apart",
     std::string(50, 'a') + "\n" + std::string(50, 'b') + "\n",
     {"1:" + std::string(50, 'a') + "\r", "2:" + std::string(50, 'b') + "\r", "end3"}},
    {"mixed line ends, blank lines of each counted",
     "a\r\n\nb\n\r\nc\r\rd\n\n\re\r\n",
     {"1:a\r", "3:b\r", "5:c\r", "7:d\r", "10:e\r", "end11"}},
    {"LF ends a comment and its line",
     "x { note\ny\n{ only }\nz\n",
     {"1:x \r", "2:y\r", "4:z\r", "end5"}},
    {"LF inside a region counts and >>> ends it",
     "a\n{ ###\nb\n\n{ >>>\nc\n",
     {"1:a\r", "skip6", "6:c\r", "end7"}},
    {"LF ends kkk's line", "{ kkk\nd\n", {"pause1", "2:d\r", "end3"}},
    {"a last line without CR is never sent", "a\rb", {"1:a\r", "end2"}},
    {"a region ended by >>>", "a\r{ ###\rb\r{ >>>\rc\r", {"1:a\r", "skip5", "5:c\r", "end6"}},
    {"text before ### and after >>> is dropped",
     "x { ###\rb\r{ >>> y\rc\r",
     {"skip4", "4:c\r", "end5"}},
    {"a region ended by }", "a { ###\rb\r{ } c\r", {"3:a   c\r", "end4"}},
    {"a region ended by > and CR", "{ ###\rb\r{ >\rc\r", {"3:\r", "4:c\r", "end5"}},
    {"a region ended by >> and CR", "t { ###\r{>>\rc\r", {"2:t \r", "3:c\r", "end4"}},
    {"a brace then CR goes on suppressing", "{ ###\r{\rb\r{ >>>\rc\r", {"skip5", "5:c\r", "end6"}},
    {"other bytes after the brace fall back",
     "{ ###\r{ >x>>\rb\r{>>>\rc\r",
     {"skip5", "5:c\r", "end6"}},
    {"} does not end a region by itself", "{ ### }\rb\r", {"end3"}},
    {"#{## is ###", "{ #{##\rb\r{ >>>\rc\r", {"skip4", "4:c\r", "end5"}},
    {"# or ## before the CR send the line", "{ ##\rx { #\r", {"1:\r", "2:x \r", "end3"}},
    {"kkk pauses and leaves nothing", "{ kkk\rd\r", {"pause1", "2:d\r", "end3"}},
    {"the rest after kkk is a new line", "{ kkk }\r", {"pause1", "1:}\r", "end2"}},
    {"text before kkk is not sent", "z { kkk\rd\r", {"pause1", "2:d\r", "end3"}},
    {"kkk broken by another byte", "{ kk k kxkk\r", {"skip2", "end2"}},
    {"kkk before ### pauses", "{ kkk ###\r", {"pause1", "1:###\r", "end2"}},
    {"kkk after ### does not", "{ ### kkk\rb\r{ >>>\rc\r", {"skip4", "4:c\r", "end5"}},
    {">>> outside a region does nothing", "{ >>>\ra\r", {"skip2", "2:a\r", "end3"}},
    {"the end inside a comment", "a { note", {"end1"}},
    {"the end inside a region", "{ ###\rb", {"end2"}},
};

} // namespace

TEST_F(VelkaTest, TheReaderGivesWhatTheMicrocontrollerCompiles) {
    for (const auto& c : kReaderCases) {
        SCOPED_TRACE(c.name);
        WriteFile("src.txt", c.file);
        EXPECT_EQ(ReadAll(Path("src.txt")), c.results);
    }
    // Only the cut lines asked about their length.
    EXPECT_EQ(BoxTexts(), std::vector<std::string>(4, "Max # of Char/Line exceeded!"));
    auto box = standin::MessageBoxes().at(0);
    EXPECT_FALSE(box.fCaptionGiven);
    EXPECT_EQ(box.type, MB_ICONEXCLAMATION);
}

// Bytes the length check does not see stop at the buffer's end, leaving room for the CR.
TEST_F(VelkaTest, UncheckedBytesNeverOverrunTheLineBuffer) {
    const std::string kFull(kTXBufSize - 1, '\x04');
    std::string closed = "x ";
    for (int i = 0; i < 300; ++i)
        closed += "{ }";
    const ReaderCase kCases[] = {
        {"control bytes", std::string(400, '\x04') + "\r", {"1:" + kFull + "\r", "end2"}},
        {"closed comments",
         closed + "\r",
         {"1:x " + std::string(kTXBufSize - 3, ' ') + "\r", "end2"}},
        {"after text",
         std::string(70, 'a') + std::string(300, '\x04') + "\r",
         {"1:" + std::string(70, 'a') + std::string(kTXBufSize - 71, '\x04') + "\r", "end2"}},
        {"text after a full buffer", std::string(300, '\x04') + "z\r", {"1:" + kFull, "end3"}}};
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        WriteFile("src.txt", c.file);
        EXPECT_EQ(ReadAll(Path("src.txt")), c.results);
    }
}

TEST_F(VelkaTest, AFailedReadStopsTheFileAsAnError) {
    WriteFile("src.txt", "abc\rdef\r");
    standin::FailNext("ReadFile", ERROR_GEN_FAILURE, 1, 5);
    EXPECT_EQ(ReadAll(Path("src.txt")), (Results{"1:abc\r", "error2"}));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"File Read Error!"});
    WriteFile("src.txt", "{ ###\rb\r");
    standin::FailNext("ReadFile", ERROR_GEN_FAILURE, 1, 6); // inside the region
    EXPECT_EQ(ReadAll(Path("src.txt")), (Results{"error2"}));
    EXPECT_EQ(BoxTexts().size(), 2u);
}

TEST_F(VelkaTest, TheSourceDialogKeepsThePreviousChoice) {
    MakeWindow();
    standin::OnGetOpenFileName([&](OPENFILENAMEA* ofn) {
        lstrcpynA(ofn->lpstrFile, Path("prog.src").c_str(), ofn->nMaxFile);
        return TRUE;
    });
    SendMessageA(m_hWnd, WM_COMMAND, IDM_SELECTSOURCE, 0);
    standin::OnGetOpenFileName(nullptr); // cancelled: the name stays
    SendMessageA(m_hWnd, WM_COMMAND, IDM_SELECTSOURCE, 0);
    auto calls = standin::OpenFiles();
    ASSERT_EQ(calls.size(), 2u);
    const OPENFILENAMEA& o = calls[1].ofn;
    EXPECT_EQ(o.lStructSize, 76u);
    EXPECT_EQ(o.hwndOwner, m_hWnd);
    EXPECT_EQ(calls[1].filters,
              (std::vector<std::string>{"Text Files (*.TXT)", "*.txt", "Nivor Source (*.SRC)",
                                        "*.src", "All Files (*.*)", "*.*"}));
    EXPECT_EQ(o.nFilterIndex, 0u);
    EXPECT_EQ(o.lpstrCustomFilter, nullptr);
    EXPECT_EQ(o.Flags, 0x1001u);
    EXPECT_STREQ(o.lpstrDefExt, "txt");
    EXPECT_EQ(o.lpstrFile, gszSourceName);
    EXPECT_EQ(o.lpstrFileTitle, gszSourceTitle);
    EXPECT_EQ(std::vector<DWORD>({o.nMaxFile, o.nMaxFileTitle}), std::vector<DWORD>({260, 260}));
    EXPECT_EQ(o.lpstrInitialDir, nullptr);
    EXPECT_EQ(o.lpstrTitle, nullptr);
    EXPECT_EQ(calls[1].fileAtEntry, Path("prog.src"));
    EXPECT_EQ(std::string(gszSourceName), Path("prog.src"));
}

TEST_F(VelkaTest, ASourceThatCannotBeOpenedIsReported) {
    MakeWindow();
    WriteFile("held.txt", "x\r");
    HANDLE hWriter = CreateFileA(Path("held.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
    for (const std::string& name : {std::string(), Path("missing.txt"), Path("held.txt")}) {
        lstrcpynA(gszSourceName, name.c_str(), kPathSize);
        EXPECT_EQ(OpenSourceFile(m_hWnd), 0) << name;
    }
    CloseHandle(hWriter);
    EXPECT_EQ(OpenSourceFile(m_hWnd), 1); // a reader does not stop other readers
    CloseHandle(ghSourceFile);
    auto boxes = standin::MessageBoxes();
    ASSERT_EQ(boxes.size(), 4u); // "Connection failed." and three
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_EQ(boxes[i].text, "Unable to open Source File!");
        EXPECT_EQ(boxes[i].owner, m_hWnd);
        EXPECT_FALSE(boxes[i].fCaptionGiven);
        EXPECT_EQ(boxes[i].type, MB_ICONEXCLAMATION);
    }
}
