// fuzz_reader.cpp: libFuzzer target of the source line reader. The input is a source
// file; it is read line by line as an upload reads it, and every result is checked: the
// line fits the transmit buffer, holds no CR or LF but its final CR, and the line count
// follows the file's line ends: each CR, and each LF that does not follow a CR.
#include "fuzz_util.h"
#include "standin.h"
#include "velka.h"

#include <cstring>
#include <fstream>

namespace {

std::string g_path;

bool Unfiltered(BYTE b) {
    return (b >= 0x20 && b <= 0x7F) || b == 0x04 || b == 0x12 || b == 0x15;
}

// A line as sent: either ended by its CR, or cut by the length check, which shows its box.
void CheckLine(const uint8_t* file, size_t nConsumed, bool fCut) {
    const int n = gwTXCol;
    FUZZ_CHECK(n >= 1 && n <= kTXBufSize);
    const int nBody = fCut ? n : n - 1;
    if (!fCut) FUZZ_CHECK(gsTXBuf[n - 1] == ASCII_CR);
    // The last place of the buffer is only ever the CR's.
    FUZZ_CHECK(nBody <= kTXBufSize - 1);
    for (int i = 0; i < nBody; ++i) {
        const BYTE b = gsTXBuf[i];
        FUZZ_CHECK(b != ASCII_CR && b != ASCII_LF);
        // The filter passes printable bytes and 04, 12, 15; any other byte only stands as
        // the second half of a "{x" pair.
        if (!Unfiltered(b)) FUZZ_CHECK(i > 0 && gsTXBuf[i - 1] == '{');
    }
    if (fCut) {
        // Cut at the printable byte that went past the column limit; it is the line's last
        // byte unless the buffer was already full.
        FUZZ_CHECK(n > gwMaxColumn);
        FUZZ_CHECK(nConsumed >= 1);
        // A tab inside a line is stored as a blank, and counts as one.
        const BYTE bLast = file[nConsumed - 1] == '\t' ? ' ' : file[nConsumed - 1];
        FUZZ_CHECK(bLast >= 0x20 && bLast <= 0x7F);
        if (n < kTXBufSize - 1) FUZZ_CHECK(gsTXBuf[n - 1] == bLast);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_path = fuzz::MakePrivateDir("reader") + "/src.txt";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    standin::Reset();
    std::ofstream(g_path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    lstrcpynA(gszSourceName, g_path.c_str(), kPathSize);
    gwMaxColumn = MAXCOLS;
    FUZZ_CHECK(OpenSourceFile(nullptr) == 1);

    // As UploadSource: line 1 first, one more after each sent line.
    gwSourceLine = 1;
    size_t nConsumed = 0, nCRs = 0, nCuts = 0;
    for (;;) {
        const int nBoxes = standin::Calls("MessageBoxA");
        const int nResult = ReadSourceLine(nullptr);
        // One byte per read; only the read that finds the end takes none, and it ends
        // the file at once.
        const size_t nReads = static_cast<size_t>(standin::Calls("ReadFile"));
        FUZZ_CHECK(nResult == SRC_END ? nReads == size + 1 : nReads <= size);
        const size_t nNow = std::min(nReads, size);
        FUZZ_CHECK(nResult == SRC_END ? nNow >= nConsumed : nNow > nConsumed); // progress
        for (size_t i = nConsumed; i < nNow; ++i)
            nCRs +=
                data[i] == ASCII_CR || (data[i] == ASCII_LF && (i == 0 || data[i - 1] != ASCII_CR));
        nConsumed = nNow;
        const bool fBox = standin::Calls("MessageBoxA") != nBoxes;

        FUZZ_CHECK(nResult == SRC_LINE || nResult == SRC_SKIP || nResult == SRC_PAUSE ||
                   nResult == SRC_END);
        if (nResult == SRC_END) {
            FUZZ_CHECK(nConsumed == size && !fBox);
            FUZZ_CHECK(gwSourceLine == static_cast<WORD>(1 + nCRs + nCuts));
            break;
        }
        if (nResult == SRC_LINE) {
            CheckLine(data, nConsumed, fBox);
            // A sent line's own CR is counted by the caller's increment below.
            FUZZ_CHECK(gwSourceLine == static_cast<WORD>(1 + nCRs + nCuts - (fBox ? 0 : 1)));
            nCuts += fBox;
            ++gwSourceLine;
        } else {
            FUZZ_CHECK(!fBox);
            FUZZ_CHECK(gwSourceLine == static_cast<WORD>(1 + nCRs + nCuts));
            if (nResult == SRC_SKIP) FUZZ_CHECK(gwTXCol == 0);
        }
    }
    // The end stays the end.
    FUZZ_CHECK(ReadSourceLine(nullptr) == SRC_END);
    CloseHandle(ghSourceFile);
    ghSourceFile = nullptr;
    return 0;
}
