// edit_win32.cpp: the line editor of --interactive on Windows. It takes the console's keys
// as the platform layer turns them into bytes (cursor keys as a terminal's escape
// sequences) and draws the line with carriage returns, blanks and backspaces, which every
// console takes; so the board's bytes can be shown at any moment, the line taken off and
// drawn again after them, as libedit does on Linux. The history is kept between sessions
// in %LOCALAPPDATA%\velka\history.
#include "load.h"
#include "platform_win32.h"

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr size_t kLineSize = 1024;     // characters of one edited line
constexpr size_t kHistorySize = 500;   // lines kept
constexpr size_t kEscapeSize = 8;      // the longest key sequence taken
constexpr uint8_t kEndKey = 0x1D;      // Ctrl-]
constexpr uint8_t kRepeatKey = 0x0F;   // Ctrl-O
constexpr uint8_t kRawKey = 0x14;      // Ctrl-T
constexpr uint8_t kKillLineKey = 0x15; // Ctrl-U
constexpr uint8_t kKillWordKey = 0x17; // Ctrl-W
constexpr uint8_t kEscape = 0x1B;
constexpr uint8_t kTab = 0x09;
constexpr size_t kMaxCandidates = 64; // file names listed for an ambiguous Tab

bool gfEditing = false;
DWORD gnModeBefore = 0;
std::string gstrLine; // the line being edited
size_t gnAt = 0;      // the cursor's place in it
std::string gstrRow;  // the board's row it follows
size_t gnDrawn = 0;   // characters of the line on the screen now
bool gfShown = false;
std::string gstrEscape; // a key's sequence not yet whole
std::vector<std::string> gHistory;
size_t gnRecalled = 0; // the history's line shown; gHistory.size(): the new one
std::string gstrNew;   // the new line, while an older one is recalled
std::string gstrHistoryPath;

std::string HistoryPath() {
    const char* pszBase = getenv("LOCALAPPDATA");
    if (!pszBase || !*pszBase) return "";
    const std::string strDir = std::string(pszBase) + "\\velka";
    CreateDirectoryA(strDir.c_str(), nullptr); // there already is no trouble
    return strDir + "\\history";
}

void LoadHistory() {
    gstrHistoryPath = HistoryPath();
    FILE* f = gstrHistoryPath.empty() ? nullptr : fopen(gstrHistoryPath.c_str(), "rb");
    if (!f) return;
    char sz[kLineSize + 2];
    while (fgets(sz, sizeof sz, f)) {
        std::string s = sz;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
            s.pop_back();
        if (!s.empty()) gHistory.push_back(s);
    }
    fclose(f);
    if (gHistory.size() > kHistorySize)
        gHistory.erase(gHistory.begin(), gHistory.end() - kHistorySize);
}

void AddToHistory(const std::string& strLine) {
    if (strLine.find_first_not_of(' ') == std::string::npos) return;
    if (gHistory.empty() || gHistory.back() != strLine) gHistory.push_back(strLine);
    if (gHistory.size() > kHistorySize) gHistory.erase(gHistory.begin());
    if (FILE* f = gstrHistoryPath.empty() ? nullptr : fopen(gstrHistoryPath.c_str(), "ab")) {
        fprintf(f, "%s\n", strLine.c_str());
        fclose(f);
    }
}

void Put(const std::string& s) {
    fwrite(s.data(), 1, s.size(), stdout);
}

// The row and the line as they now stand, the cursor in its place: what was drawn beyond
// the line's end blanked.
void Redraw() {
    std::string s = "\r" + gstrRow + gstrLine;
    const size_t nBlank = gnDrawn > gstrLine.size() ? gnDrawn - gstrLine.size() : 0;
    s.append(nBlank, ' ');
    s.append(nBlank + gstrLine.size() - gnAt, '\b');
    Put(s);
    fflush(stdout);
    gnDrawn = gstrLine.size();
    gfShown = true;
}

void Recall(size_t n) {
    if (gnRecalled == gHistory.size()) gstrNew = gstrLine;
    gnRecalled = n;
    gstrLine = n == gHistory.size() ? gstrNew : gHistory[n];
    gnAt = gstrLine.size();
}

// The word before the cursor and the blanks after it.
void KillWord() {
    size_t n = gnAt;
    while (n > 0 && gstrLine[n - 1] == ' ')
        --n;
    while (n > 0 && gstrLine[n - 1] != ' ')
        --n;
    gstrLine.erase(n, gnAt - n);
    gnAt = n;
}

// Tab after "#include " or "#require ": the file name completed as far as the names in its
// folder agree; when they differ at once, they are listed below the line.
void Complete() {
    std::string strInsert;
    std::vector<std::string> names;
    if (!CompleteIncludeName(gstrLine.substr(0, gnAt), &strInsert, &names)) return;
    if (!strInsert.empty() && gstrLine.size() + strInsert.size() <= kLineSize) {
        gstrLine.insert(gnAt, strInsert);
        gnAt += strInsert.size();
        return;
    }
    HideEditLine();
    std::string s = "\r\n";
    for (size_t i = 0; i < names.size() && i < kMaxCandidates; ++i)
        s += names[i] + "  ";
    if (names.size() > kMaxCandidates) {
        s += '(';
        s += std::to_string(names.size() - kMaxCandidates);
        s += " more)";
    }
    Put(s + "\r\n");
}

// A whole key sequence: the cursor keys, Home, End, Delete and F5.
EditEvent TakeEscape(const std::string& s) {
    if (s == "\033[A" && gnRecalled > 0) Recall(gnRecalled - 1);
    if (s == "\033[B" && gnRecalled < gHistory.size()) Recall(gnRecalled + 1);
    if (s == "\033[C" && gnAt < gstrLine.size()) ++gnAt;
    if (s == "\033[D" && gnAt > 0) --gnAt;
    if (s == "\033[H") gnAt = 0;
    if (s == "\033[F") gnAt = gstrLine.size();
    if (s == "\033[3~" && gnAt < gstrLine.size()) gstrLine.erase(gnAt, 1);
    return s == "\033[15~" ? EditEvent::Repeat : EditEvent::None;
}

// One key byte: an event of its own, or the line edited.
EditEvent TakeKey(uint8_t b, std::string* pstrLine) {
    if (!gstrEscape.empty() || b == kEscape) {
        gstrEscape.push_back(static_cast<char>(b));
        const bool fWhole = gstrEscape.size() > 2 && (isalpha(b) || b == '~');
        if (!fWhole && gstrEscape.size() < kEscapeSize) return EditEvent::None;
        const std::string s = gstrEscape;
        gstrEscape.clear();
        return fWhole ? TakeEscape(s) : EditEvent::None;
    }
    switch (b) {
    case '\r':
    case '\n':
        *pstrLine = gstrLine;
        AddToHistory(gstrLine);
        HideEditLine();
        gstrLine.clear();
        gnAt = 0;
        gnRecalled = gHistory.size();
        return EditEvent::Line;
    case kEndKey: return EditEvent::End;
    case kRepeatKey: return EditEvent::Repeat;
    case kRawKey: return EditEvent::Raw;
    case kKillLineKey:
        gstrLine.erase(0, gnAt);
        gnAt = 0;
        return EditEvent::None;
    case kKillWordKey: KillWord(); return EditEvent::None;
    case kTab: Complete(); return EditEvent::None;
    case 0x08:
    case 0x7F:
        if (gnAt > 0) gstrLine.erase(--gnAt, 1);
        return EditEvent::None;
    default:
        if (b >= 0x20 && gstrLine.size() < kLineSize)
            gstrLine.insert(gnAt++, 1, static_cast<char>(b));
        return EditEvent::None;
    }
}

} // namespace

bool StartLineEditor(std::string* pstrWhy) {
    if (gfEditing) return true;
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(hIn, &gnModeBefore)) {
        *pstrWhy = "no console to edit lines on";
        return false;
    }
    // Keys as input events, unechoed; Ctrl+C still interrupts, as any command's does.
    SetConsoleMode(hIn, ENABLE_PROCESSED_INPUT | ENABLE_EXTENDED_FLAGS);
    if (gstrHistoryPath.empty()) LoadHistory();
    gnRecalled = gHistory.size();
    gfEditing = true;
    gfShown = false;
    return true;
}

void StopLineEditor() {
    if (!gfEditing) return;
    HideEditLine();
    gstrLine.clear();
    gnAt = 0;
    gfEditing = false;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gnModeBefore);
}

EditEvent ReadEditKeys(std::string* pstrLine) {
    if (!gfEditing) return EditEvent::None;
    uint8_t ab[kLineSize];
    const long n = ReadKeys(ab, sizeof ab);
    if (n == kIoFailed) return EditEvent::Closed;
    for (long i = 0; i < n; ++i) {
        const EditEvent event = TakeKey(ab[i], pstrLine);
        if (event == EditEvent::None) continue;
        // Keys after it (a pasted second line) wait for the session to take this event.
        UnreadKeys(ab + i + 1, static_cast<size_t>(n - i - 1));
        return event;
    }
    Redraw();
    return EditEvent::None;
}

void HideEditLine() {
    if (!gfEditing || !gfShown) return;
    std::string s = "\r" + gstrRow;
    s.append(gnDrawn, ' ');
    s += "\r" + gstrRow;
    Put(s);
    fflush(stdout);
    gnDrawn = 0;
    gfShown = false;
}

void ShowEditLine(const std::string& strRow) {
    gstrRow = strRow;
    if (gfEditing) Redraw();
}
