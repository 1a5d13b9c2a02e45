// edit_win32.cpp: the line editor of --interactive on Windows: the console's own line input
// (cursor keys, Home/End, Backspace, Delete, Escape, F7 and Up/Down for this session's
// lines), read by a thread so that the board's bytes still reach the screen meanwhile.
// Ctrl-], Ctrl-O and Ctrl-T end a read at once (the console's wake-up keys), as a key of
// their own. Every line is added to the history file under %LOCALAPPDATA%.
#include "platform.h"
#include "platform_win32.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <utility>

namespace {

constexpr DWORD kEditLineSize = 1024; // characters of one edited line
constexpr wchar_t kEndKey = 0x1D;     // Ctrl-]
constexpr wchar_t kRepeatKey = 0x0F;  // Ctrl-O
constexpr wchar_t kRawKey = 0x14;     // Ctrl-T
constexpr DWORD kWakeKeys = (1u << kEndKey) | (1u << kRepeatKey) | (1u << kRawKey);
constexpr DWORD kStopWaitMs = 1000; // a thread that does not leave its read is left to it

CRITICAL_SECTION gcsEdits;
std::deque<std::pair<EditEvent, std::string>> gEdits;
std::atomic<bool> gfEditing{false};
HANDLE ghEditThread = nullptr;
HANDLE ghEditWanted = nullptr; // auto-reset: start reading lines
HANDLE ghEditIdle = nullptr;   // manual: the thread is not in a read
HANDLE ghEditReady = nullptr;  // manual: events are queued
DWORD gnModeBefore = 0;

std::string HistoryPath() {
    const char* pszBase = getenv("LOCALAPPDATA");
    if (!pszBase || !*pszBase) return "";
    const std::string strDir = std::string(pszBase) + "\\velka";
    CreateDirectoryA(strDir.c_str(), nullptr); // there already is no trouble
    return strDir + "\\history";
}

void AddToHistory(const std::string& strLine) {
    static const std::string strPath = HistoryPath();
    if (strPath.empty() || strLine.find_first_not_of(' ') == std::string::npos) return;
    if (FILE* f = fopen(strPath.c_str(), "ab")) {
        fprintf(f, "%s\n", strLine.c_str());
        fclose(f);
    }
}

// The console has echoed the line and its end; the session shows it again where the
// board's echo goes, so the echo is taken back.
void TakeBackEcho(HANDLE hOut, COORD start) {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(hOut, &info)) return;
    const COORD now = info.dwCursorPosition;
    if (now.Y < start.Y) return; // the buffer scrolled past the start: leave it
    const DWORD nCells = static_cast<DWORD>((now.Y - start.Y) * info.dwSize.X + now.X - start.X);
    DWORD nDone = 0;
    FillConsoleOutputCharacterW(hOut, L' ', nCells, start, &nDone);
    SetConsoleCursorPosition(hOut, start);
}

std::pair<EditEvent, std::string> ReadOneLine(HANDLE hIn, HANDLE hOut) {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    const bool fOut = GetConsoleScreenBufferInfo(hOut, &info) != 0;
    wchar_t aw[kEditLineSize];
    DWORD n = 0;
    CONSOLE_READCONSOLE_CONTROL control{sizeof control, 0, kWakeKeys, 0};
    if (!ReadConsoleW(hIn, aw, kEditLineSize - 1, &n, &control)) return {EditEvent::Closed, ""};
    EditEvent event = EditEvent::Line;
    for (DWORD i = 0; i < n; ++i) {
        if (aw[i] == kEndKey) event = EditEvent::End;
        if (aw[i] == kRepeatKey) event = EditEvent::Repeat;
        if (aw[i] == kRawKey) event = EditEvent::Raw;
        if (event != EditEvent::Line) return {event, ""};
    }
    while (n > 0 && (aw[n - 1] == L'\n' || aw[n - 1] == L'\r'))
        --n;
    char sz[4 * kEditLineSize];
    const int nBytes =
        WideCharToMultiByte(CP_UTF8, 0, aw, static_cast<int>(n), sz, sizeof sz, nullptr, nullptr);
    if (fOut) TakeBackEcho(hOut, info.dwCursorPosition);
    return {event, std::string(sz, static_cast<size_t>(std::max(nBytes, 0)))};
}

// Reads lines while the editor is on; the thread lives as long as the program, waiting
// for the editor to be wanted again.
DWORD WINAPI ReadEditedLines(void*) {
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    for (;;) {
        SetEvent(ghEditIdle);
        WaitForSingleObject(ghEditWanted, INFINITE);
        ResetEvent(ghEditIdle);
        while (gfEditing) {
            auto edit = ReadOneLine(hIn, hOut);
            if (!gfEditing) break; // stopped meanwhile: what was typed goes
            if (edit.first == EditEvent::Line) AddToHistory(edit.second);
            EnterCriticalSection(&gcsEdits);
            gEdits.push_back(edit);
            SetEvent(ghEditReady);
            LeaveCriticalSection(&gcsEdits);
            if (edit.first != EditEvent::Line && edit.first != EditEvent::Repeat) break;
        }
    }
}

struct Startup {
    Startup() {
        InitializeCriticalSection(&gcsEdits);
        ghEditWanted = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ghEditIdle = CreateEventA(nullptr, TRUE, TRUE, nullptr);
        ghEditReady = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
} gStartup;

// A Ctrl-] typed for the thread ends its read, which it then drops.
void WakeEditThread() {
    INPUT_RECORD r{};
    r.EventType = KEY_EVENT;
    r.Event.KeyEvent.bKeyDown = TRUE;
    r.Event.KeyEvent.wRepeatCount = 1;
    r.Event.KeyEvent.wVirtualKeyCode = VK_OEM_6;
    r.Event.KeyEvent.uChar.UnicodeChar = kEndKey;
    r.Event.KeyEvent.dwControlKeyState = LEFT_CTRL_PRESSED;
    DWORD n = 0;
    WriteConsoleInputW(GetStdHandle(STD_INPUT_HANDLE), &r, 1, &n);
}

} // namespace

bool EditorActive() {
    return gfEditing;
}

HANDLE EditorReadyEvent() {
    return ghEditReady;
}

bool EditorHasEvents() {
    EnterCriticalSection(&gcsEdits);
    const bool f = !gEdits.empty();
    LeaveCriticalSection(&gcsEdits);
    return f;
}

bool StartLineEditor(std::string* pstrWhy) {
    if (gfEditing) return true;
    HANDLE hIn = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(hIn, &gnModeBefore)) {
        *pstrWhy = "no console to edit lines on";
        return false;
    }
    SetConsoleMode(hIn, ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT |
                            ENABLE_INSERT_MODE | ENABLE_EXTENDED_FLAGS | ENABLE_QUICK_EDIT_MODE);
    if (!ghEditThread)
        ghEditThread = CreateThread(nullptr, 0, ReadEditedLines, nullptr, 0, nullptr);
    if (!ghEditThread) {
        *pstrWhy = "the line editor did not start";
        SetConsoleMode(hIn, gnModeBefore);
        return false;
    }
    gfEditing = true;
    SetEvent(ghEditWanted);
    return true;
}

void StopLineEditor() {
    if (!gfEditing) return;
    gfEditing = false;
    if (WaitForSingleObject(ghEditIdle, 0) != WAIT_OBJECT_0) {
        WakeEditThread();
        WaitForSingleObject(ghEditIdle, kStopWaitMs);
    }
    EnterCriticalSection(&gcsEdits);
    gEdits.clear();
    ResetEvent(ghEditReady);
    LeaveCriticalSection(&gcsEdits);
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), gnModeBefore);
}

EditEvent ReadEditKeys(std::string* pstrLine) {
    EnterCriticalSection(&gcsEdits);
    std::pair<EditEvent, std::string> edit{EditEvent::None, ""};
    if (!gEdits.empty()) {
        edit = gEdits.front();
        gEdits.pop_front();
    }
    if (gEdits.empty()) ResetEvent(ghEditReady);
    LeaveCriticalSection(&gcsEdits);
    *pstrLine = edit.second;
    return edit.first;
}

// The console draws its own line as it is edited; the board's bytes go where its cursor is.
void HideEditLine() {}

void ShowEditLine(const std::string&) {}
