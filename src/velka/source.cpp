// source.cpp: choosing the source file, opening it for an upload, and the window's side
// of the line reader (loader.h): the file's bytes and the reader's message boxes.
#include "velka.h"

HANDLE ghSourceFile = nullptr;
OPENFILENAMEA gofnSource;
char gszSourceName[kPathSize];
char gszSourceTitle[kPathSize];

namespace {

constexpr char kFilters[] = "Text Files (*.TXT)\0*.txt\0"
                            "Nivor Source (*.SRC)\0*.src\0"
                            "All Files (*.*)\0*.*\0"; // the literal's own NUL ends the list
constexpr char kDefaultExt[] = "txt";
constexpr char kOpenFailed[] = "Unable to open Source File!";
constexpr char kReadError[] = "File Read Error!";
constexpr DWORD kOpenFlags = OFN_READONLY | OFN_FILEMUSTEXIST;

} // namespace

// One synchronous one-byte read of the source file.
ReadResult ReadSourceByte(HWND hWnd, BYTE* pb) {
    if (!ReadFile(ghSourceFile, pb, 1, &gdwLength, nullptr)) {
        MessageBoxA(hWnd, kReadError, nullptr, MB_ICONEXCLAMATION);
        return ReadResult::Error;
    }
    return gdwLength == 0 ? ReadResult::End : ReadResult::Byte;
}

void ReportLineTooLong(HWND hWnd) {
    MessageBoxA(hWnd, gszLineTooLong, nullptr, MB_ICONEXCLAMATION);
}

void SourceFileInit(HWND hWnd) {
    gofnSource = OPENFILENAMEA{};
    gofnSource.lStructSize = OPENFILENAME_SIZE_VERSION_400A; // the classic 76-byte form
    gofnSource.hwndOwner = hWnd;
    gofnSource.lpstrFilter = kFilters;
    gofnSource.lpstrCustomFilter = nullptr;
    gofnSource.nFilterIndex = 0;
    gofnSource.nMaxFile = kPathSize;
    gofnSource.nMaxFileTitle = kPathSize;
    gofnSource.lpstrInitialDir = nullptr;
    gofnSource.lpstrTitle = nullptr;
    gofnSource.Flags = 0;
    gofnSource.lpstrDefExt = kDefaultExt;
}

void SourceOpenDlg(HWND hWnd, LPSTR lpszName, LPSTR lpszTitle) {
    gofnSource.hwndOwner = hWnd;
    gofnSource.lpstrFile = lpszName;
    gofnSource.lpstrFileTitle = lpszTitle;
    gofnSource.Flags = kOpenFlags;
    GetOpenFileNameA(&gofnSource);
}

int OpenSourceFile(HWND hWnd) {
    HANDLE hFile = CreateFileA(gszSourceName, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        MessageBoxA(hWnd, kOpenFailed, nullptr, MB_ICONEXCLAMATION);
        return 0;
    }
    ghSourceFile = hFile;
    StartSourceFile();
    return 1;
}
