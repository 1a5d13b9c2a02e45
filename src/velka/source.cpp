// source.cpp: choosing the source file, opening it for an upload, and the line reader
// that turns it into the lines the microcontroller compiles: blanks, control bytes,
// empty lines and comments removed, and the loader directives ###, >>> and kkk obeyed.
#include "velka.h"

HANDLE ghSourceFile = nullptr;
int gfFold = 0;
BYTE gsTXBuf[kTXBufSize];
WORD gwTXCol = 0;
WORD gwSourceLine = 0;
WORD gwMaxColumn = MAXCOLS;
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
constexpr char kLineTooLong[] = "Max # of Char/Line exceeded!";
constexpr DWORD kOpenFlags = OFN_READONLY | OFN_FILEMUSTEXIST;
constexpr BYTE kTab = 0x09;

enum class ReadResult { Byte, End, Error };

// One synchronous one-byte read of the source file.
ReadResult ReadSourceByte(HWND hWnd, BYTE* pb) {
    if (!ReadFile(ghSourceFile, pb, 1, &gdwLength, nullptr)) {
        MessageBoxA(hWnd, kReadError, nullptr, MB_ICONEXCLAMATION);
        return ReadResult::Error;
    }
    return gdwLength == 0 ? ReadResult::End : ReadResult::Byte;
}

// Stores a byte in the line. Every store keeps the last place of the buffer free for
// the line's CR; bytes that would take it are dropped, so that runs of bytes the length
// check does not see (control bytes, brace pairs, closed comments) cannot overrun it.
void AppendTX(BYTE b) {
    if (gwTXCol < kTXBufSize - 1) gsTXBuf[gwTXCol++] = b;
}

void AppendCR() {
    if (gwTXCol < kTXBufSize) gsTXBuf[gwTXCol++] = ASCII_CR;
}

int SkipLine() {
    gwTXCol = 0;
    ++gwSourceLine;
    return SRC_SKIP;
}

int SendLine() {
    AppendCR();
    return SRC_LINE;
}

int CloseComment() {
    AppendTX(' ');
    return SRC_RESUME;
}

// The comment states. 0 to 2: plain comment with no, one or two '#' seen; 3: inside a
// suppressed region; 4: a '{' seen in it; 5, 6: one or two '>' after that '{'; 7: ">>>".
enum FoldState { kPlain = 0, kHash1, kHash2, kSuppress, kBrace, kGt1, kGt2, kResume };

} // namespace

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
    return 1;
}

int ReadSourceLine(HWND hWnd) {
    gwTXCol = 0;
    gfFold = 1;
    bool fBracePending = false;

    for (;;) {
        BYTE b;
        const ReadResult r = ReadSourceByte(hWnd, &b);
        if (r != ReadResult::Byte) return r == ReadResult::End ? SRC_END : SRC_ERROR;
        if (b == ASCII_LF) continue;

        if (b == ASCII_CR) {
            fBracePending = false;
            if (!gfFold) return SendLine();
            ++gwSourceLine; // an empty line, or one of comments only
            gwTXCol = 0;
            continue;
        }
        if (b == '{' && !fBracePending && (gwTXCol == 0 || gsTXBuf[gwTXCol - 1] == ' ')) {
            fBracePending = true;
            continue;
        }
        if (fBracePending) {
            fBracePending = false;
            if (b == ' ') {
                const int nResult = Fold(hWnd);
                if (nResult == SRC_RESUME) continue;
                return nResult;
            }
            AppendTX('{');
            AppendTX(b);
            gfFold = 0;
            continue;
        }
        if (b == 0x04 || b == 0x12 || b == 0x15) {
            AppendTX(b);
            gfFold = 0;
            continue;
        }
        if ((b == ' ' || b == kTab) && gfFold) continue;
        // A tab inside a line separates two words as a blank does; dropped, it would run
        // them together ("sq<TAB>dup" reaching the board as "sqdup").
        if (b == kTab) b = ' ';
        if (b < 0x20 || b > 0x7F) continue;

        AppendTX(b);
        gfFold = 0;
        if (gwTXCol > gwMaxColumn) {
            MessageBoxA(hWnd, kLineTooLong, nullptr, MB_ICONEXCLAMATION);
            return SRC_LINE;
        }
    }
}

int Fold(HWND hWnd) {
    int nState = kPlain;
    int nK = 0;

    for (;;) {
        BYTE b;
        const ReadResult r = ReadSourceByte(hWnd, &b);
        if (r != ReadResult::Byte) return r == ReadResult::End ? SRC_END : SRC_ERROR;
        if (b == ASCII_LF) continue;

        switch (nState) {
        case kPlain:
        case kHash1:
        case kHash2:
            switch (b) {
            case ASCII_CR: return nState == kPlain && gfFold ? SkipLine() : SendLine();
            case '}': return CloseComment();
            case '{': break;
            case '#': ++nState; break;
            case 'k':
                nState = kPlain;
                if (++nK == 3) return SRC_PAUSE;
                break;
            default:
                nState = kPlain;
                nK = 0;
                break;
            }
            break;
        case kSuppress:
            if (b == ASCII_CR) ++gwSourceLine;
            if (b == '{') nState = kBrace;
            break;
        case kBrace:
        case kGt1:
        case kGt2:
            switch (b) {
            case ASCII_CR:
                if (nState != kBrace) return SendLine();
                ++gwSourceLine;
                nState = kSuppress;
                break;
            case ' ':
                if (nState != kBrace) nState = kSuppress;
                break;
            case '}': return CloseComment();
            case '{': break;
            case '>': ++nState; break;
            default: nState = kSuppress; break;
            }
            break;
        case kResume:
        default:
            if (b == ASCII_CR) return SkipLine();
            if (b == '}') return CloseComment();
            break;
        }
    }
}
