// reader.cpp: the source line reader. It turns a source file into the lines the board
// compiles: leading blanks, control bytes, empty lines and comments removed, a line cut at
// the column limit, and the loader directives ###, >>> and kkk obeyed.
#include "loader.h"

const char gszLineTooLong[] = "Max # of Char/Line exceeded!";
int gfFold = 0;
uint8_t gsTXBuf[kTXBufSize];
uint16_t gwTXCol = 0;
SourceLineNumber gwSourceLine = 0;
uint16_t gwMaxColumn = kMaxLineLength;

namespace {

constexpr uint8_t kTab = 0x09;
bool gfAfterCR = false; // the last byte read was a CR

// The next byte with the line ends made one: CR, LF and CR LF each end a line, and the
// rules below see a CR for every one of them, so a file reads the same whatever editor
// saved it.
ReadResult ReadLineByte(LoaderOwner owner, uint8_t* pb) {
    for (;;) {
        const ReadResult r = ReadSourceByte(owner, pb);
        if (r != ReadResult::Byte) return r;
        const bool fSecondHalf = *pb == ASCII_LF && gfAfterCR;
        gfAfterCR = *pb == ASCII_CR;
        if (fSecondHalf) continue;
        if (*pb == ASCII_LF) *pb = ASCII_CR;
        return r;
    }
}

// Stores a byte in the line. Every store keeps the last place of the buffer free for
// the line's CR; bytes that would take it are dropped, so that runs of bytes the length
// check does not see (control bytes, brace pairs, closed comments) cannot overrun it.
void AppendTX(uint8_t b) {
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

void StartSourceFile(bool fAfterCR) {
    gfAfterCR = fAfterCR;
}

int ReadSourceLine(LoaderOwner owner) {
    gwTXCol = 0;
    gfFold = 1;
    bool fBracePending = false;

    for (;;) {
        uint8_t b;
        const ReadResult r = ReadLineByte(owner, &b);
        if (r != ReadResult::Byte) return r == ReadResult::End ? SRC_END : SRC_ERROR;

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
                const int nResult = Fold(owner);
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
            ReportLineTooLong(owner);
            return SRC_LINE;
        }
    }
}

int Fold(LoaderOwner owner) {
    int nState = kPlain;
    int nK = 0;

    for (;;) {
        uint8_t b;
        const ReadResult r = ReadLineByte(owner, &b);
        if (r != ReadResult::Byte) return r == ReadResult::End ? SRC_END : SRC_ERROR;

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
