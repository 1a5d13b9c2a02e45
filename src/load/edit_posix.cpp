// edit_posix.cpp: the line editor of velka-load's terminal on POSIX, over libedit. libedit
// runs unbuffered, one key at a time, so that the session's single wait covers both the
// board and the keys. The line is drawn after the board's unfinished row, which libedit
// takes as its prompt; the board's bytes are printed with the line taken off the screen.
// The history lives in $XDG_STATE_HOME/velka/history.
#include "load.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <dirent.h>
#include <histedit.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr int kHistorySize = 1000;
constexpr double kKeySequenceSeconds = 0.3; // a key's later bytes (Esc [ A) come at once
constexpr size_t kMaxCandidates = 64;       // file names listed for an ambiguous Tab
constexpr int kDefaultColumns = 80;

EditLine* gpEl = nullptr;
History* gpHistory = nullptr;
HistEvent gHistEvent;
std::string gstrHistory; // the history file, "" when no folder for it is known
std::string gstrPrompt;  // what stands on the screen row before the line
bool gfEditing = false;  // the console is in the editor's mode
bool gfShown = false;    // the line is on the screen
EditEvent gEvent = EditEvent::None;

int Columns() {
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return kDefaultColumns;
}

char* Prompt(EditLine*) {
    return const_cast<char*>(gstrPrompt.c_str());
}

// libedit reads its keys here: the first was there when the session called, and a lone Esc
// is not waited on for ever.
int ReadEditChar(EditLine*, wchar_t* pwc) {
    const int nReady = WaitPortOrKeys(nullptr, true, Now() + kKeySequenceSeconds);
    if (nReady <= 0) {
        errno = EINTR;
        return -1;
    }
    uint8_t b;
    const long n = ReadKeys(&b, 1);
    if (n == 0) gEvent = EditEvent::Closed;
    if (n <= 0) return n == 0 ? 0 : -1;
    *pwc = b;
    return 1;
}

unsigned char OnReturn(EditLine*, int) {
    gEvent = EditEvent::Line;
    return CC_NORM;
}
unsigned char OnEnd(EditLine*, int) {
    gEvent = EditEvent::End;
    return CC_NORM;
}
unsigned char OnRepeat(EditLine*, int) {
    gEvent = EditEvent::Repeat;
    return CC_NORM;
}
unsigned char OnRaw(EditLine*, int) {
    gEvent = EditEvent::Raw;
    return CC_NORM;
}

// Tab after "#include " or "#require ": the file name so far, completed as far as the
// files of its folder agree; when they differ, they are listed.
unsigned char OnTab(EditLine* el, int) {
    const LineInfo* li = el_line(el);
    std::string strInsert;
    std::vector<std::string> names;
    if (!CompleteIncludeName(std::string(li->buffer, li->cursor), &strInsert, &names))
        return CC_ERROR;
    if (!strInsert.empty()) {
        el_insertstr(el, strInsert.c_str());
        return CC_REFRESH;
    }
    // Several, and no more in common: listed below the line, which is then drawn again.
    HideEditLine();
    fputs("\r\n", stdout);
    for (size_t i = 0; i < names.size() && i < kMaxCandidates; ++i)
        printf("%s  ", names[i].c_str());
    if (names.size() > kMaxCandidates) printf("(%zu more)", names.size() - kMaxCandidates);
    fputs("\r\n", stdout);
    ShowEditLine(gstrPrompt);
    return CC_NORM;
}

std::string HistoryPath() {
    std::string strState;
    if (const char* psz = getenv("XDG_STATE_HOME"); psz && psz[0] == '/')
        strState = psz;
    else if (const char* pszHome = getenv("HOME"))
        strState = std::string(pszHome) + "/.local/state";
    else
        return "";
    // Each folder of the path made as needed; one that is there already is no trouble.
    for (size_t at = 1; at <= strState.size(); ++at)
        if (at == strState.size() || strState[at] == '/')
            mkdir(strState.substr(0, at).c_str(), 0700);
    const std::string strDir = strState + "/velka";
    mkdir(strDir.c_str(), 0700);
    return strDir + "/history";
}

void Bind(const char* pszKey, const char* pszFunction) {
    el_set(gpEl, EL_BIND, pszKey, pszFunction, nullptr);
}

bool CreateEditor(std::string* pstrWhy) {
    gpEl = el_init("velka-load", stdin, stdout, stderr);
    gpHistory = history_init();
    if (!gpEl || !gpHistory) {
        *pstrWhy = "the line editor cannot start";
        return false;
    }
    history(gpHistory, &gHistEvent, H_SETSIZE, kHistorySize);
    history(gpHistory, &gHistEvent, H_SETUNIQUE, 1);
    gstrHistory = HistoryPath();
    if (!gstrHistory.empty()) history(gpHistory, &gHistEvent, H_LOAD, gstrHistory.c_str());
    el_set(gpEl, EL_EDITOR, "emacs");
    el_set(gpEl, EL_HIST, history, gpHistory);
    el_set(gpEl, EL_PROMPT, Prompt);
    el_set(gpEl, EL_GETCFN, ReadEditChar);
    el_set(gpEl, EL_ADDFN, "velka-return", "send the line", OnReturn);
    el_set(gpEl, EL_ADDFN, "velka-end", "end the session", OnEnd);
    el_set(gpEl, EL_ADDFN, "velka-repeat", "the last upload again", OnRepeat);
    el_set(gpEl, EL_ADDFN, "velka-raw", "keys straight to the board", OnRaw);
    el_set(gpEl, EL_ADDFN, "velka-complete", "complete a file name", OnTab);
    Bind("^M", "velka-return");
    Bind("^J", "velka-return");
    Bind("^]", "velka-end");
    Bind("^O", "velka-repeat");
    Bind("\033[15~", "velka-repeat"); // F5: xterm and its kind
    Bind("\033[[E", "velka-repeat");  // F5: the Linux console
    Bind("^T", "velka-raw");
    Bind("^I", "velka-complete");
    Bind("^U", "vi-kill-line-prev");
    Bind("^W", "ed-delete-prev-word");
    Bind("^D", "ed-delete-next-char"); // no end of input: Ctrl-] ends
    Bind("\033[3~", "ed-delete-next-char");
    for (const char* psz : {"\033[H", "\033OH", "\033[1~", "\033[7~"})
        Bind(psz, "ed-move-to-beg");
    for (const char* psz : {"\033[F", "\033OF", "\033[4~", "\033[8~"})
        Bind(psz, "ed-move-to-end");
    return true;
}

// The line taken as sent: into the history (and its file, so a killed session keeps it),
// and the editor ready for the next one.
void TakeLine(std::string* pstrLine) {
    const LineInfo* li = el_line(gpEl);
    pstrLine->assign(li->buffer, li->lastchar);
    HideEditLine();
    if (pstrLine->find_first_not_of(' ') != std::string::npos) {
        history(gpHistory, &gHistEvent, H_ENTER, pstrLine->c_str());
        if (!gstrHistory.empty()) history(gpHistory, &gHistEvent, H_SAVE, gstrHistory.c_str());
    }
    // Leaving the unbuffered mode and entering it again empties the line and starts the
    // history's walk afresh; with nothing before it, nothing is drawn.
    const std::string strPrompt = gstrPrompt;
    gstrPrompt.clear();
    el_set(gpEl, EL_UNBUFFERED, 0);
    el_set(gpEl, EL_UNBUFFERED, 1);
    gstrPrompt = strPrompt;
}

} // namespace

bool StartLineEditor(std::string* pstrWhy) {
    if (gfEditing) return true;
    if (!gpEl && !CreateEditor(pstrWhy)) return false;
    // Entering the unbuffered mode draws the prompt; the line is shown only when asked.
    const std::string strPrompt = gstrPrompt;
    gstrPrompt.clear();
    el_set(gpEl, EL_UNBUFFERED, 1);
    gstrPrompt = strPrompt;
    gfEditing = true;
    gfShown = false;
    return true;
}

void StopLineEditor() {
    if (!gfEditing) return;
    HideEditLine();
    el_set(gpEl, EL_UNBUFFERED, 0);
    gfEditing = false;
}

EditEvent ReadEditKeys(std::string* pstrLine) {
    if (!gfEditing) return EditEvent::None;
    if (!gfShown) ShowEditLine(gstrPrompt);
    // One key a call in the unbuffered mode: every key that is there is taken.
    do {
        gEvent = EditEvent::None;
        int n = 0;
        el_gets(gpEl, &n);
        if (gEvent == EditEvent::Line) TakeLine(pstrLine);
        if (gEvent != EditEvent::None) return gEvent;
    } while (WaitPortOrKeys(nullptr, true, Now()) == kReadyKeys);
    return EditEvent::None;
}

void HideEditLine() {
    if (!gfShown) return;
    // The rows the prompt and the line take up to the cursor, as the terminal wrapped them.
    const LineInfo* li = el_line(gpEl);
    const size_t nAt = gstrPrompt.size() + static_cast<size_t>(li->cursor - li->buffer);
    const size_t nUp = nAt / static_cast<size_t>(Columns());
    if (nUp > 0) printf("\033[%zuA", nUp);
    printf("\r\033[J%s", gstrPrompt.c_str());
    fflush(stdout);
    gfShown = false;
}

void ShowEditLine(const std::string& strRow) {
    if (!gfEditing) return;
    HideEditLine();
    // The prompt is the part of the row on the cursor's screen row: what erasing it takes.
    const size_t nColumns = static_cast<size_t>(Columns());
    gstrPrompt = strRow.substr(strRow.size() - strRow.size() % nColumns);
    el_resize(gpEl);
    fputs("\r\033[K", stdout);
    fflush(stdout);
    el_set(gpEl, EL_REFRESH);
    gfShown = true;
}
