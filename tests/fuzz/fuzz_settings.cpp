// fuzz_settings.cpp: libFuzzer target of the settings loader. The input is the settings
// file; what the loader builds must equal a reference decoding of its first 64 bytes, the
// face name must end in its 0 byte, and a start, a paint and a save must cope with it.
#include "fuzz_util.h"
#include "standin.h"
#include "velka.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

constexpr int kImageSize = 64; // the loader's buffer: bytes past it are not read
constexpr int kFaceAt = 8;
constexpr size_t kMaxFace = LF_FACESIZE - 1;
constexpr BYTE kCanary = 0x7E;

// The stored fields as the file gives them: signed bytes, the baud rate in units of 2400,
// offsets past the file's end read as 0, the face up to its 0 byte or 31 characters.
struct Fields {
    BYTE bPort;
    DWORD dwBaud;
    BOOL fNewLine, fAutoWrap, fLocalEcho, fHexPrint;
    LONG lHeight;
    std::string face;
};

Fields Decode(const BYTE (&img)[kImageSize]) {
    auto s = [&](int i) { return static_cast<int>(static_cast<int8_t>(img[i])); };
    Fields f{img[0], static_cast<DWORD>(s(1) * 2400), s(2), s(3), s(5), s(6), s(7), {}};
    for (size_t i = 0; i < kMaxFace && img[kFaceAt + i]; ++i)
        f.face += static_cast<char>(img[kFaceAt + i]);
    return f;
}

Fields Stored(const TTYInfo& t) {
    FUZZ_CHECK(strnlen(t.lfTTYFont.lfFaceName, LF_FACESIZE) <= kMaxFace);
    return {t.bPort,      t.dwBaudRate, t.fNewLine,           t.fAutoWrap,
            t.fLocalEcho, t.fHexPrint,  t.lfTTYFont.lfHeight, t.lfTTYFont.lfFaceName};
}

bool operator==(const Fields& a, const Fields& b) {
    return a.bPort == b.bPort && a.dwBaud == b.dwBaud && a.fNewLine == b.fNewLine &&
           a.fAutoWrap == b.fAutoWrap && a.fLocalEcho == b.fLocalEcho &&
           a.fHexPrint == b.fHexPrint && a.lHeight == b.lHeight && a.face == b.face;
}

// The file image SaveDefaults writes for these fields.
std::string Encode(const Fields& f) {
    std::string s;
    for (DWORD v : {static_cast<DWORD>(f.bPort), f.dwBaud / 2400, static_cast<DWORD>(f.fNewLine),
                    static_cast<DWORD>(f.fAutoWrap), 0u, static_cast<DWORD>(f.fLocalEcho),
                    static_cast<DWORD>(f.fHexPrint), static_cast<DWORD>(f.lHeight)})
        s += static_cast<char>(v & 0xFF);
    return s + f.face + '\0';
}

void WriteSettings(const void* p, size_t n) {
    std::ofstream(gszDefaultName, std::ios::binary | std::ios::trunc)
        .write(static_cast<const char*>(p), static_cast<std::streamsize>(n));
}

std::string ReadSettings() {
    std::stringstream s;
    s << std::ifstream(gszDefaultName, std::ios::binary).rdbuf();
    return s.str();
}

// A bare record whose unstored fields hold marks, to see that the loader leaves them.
void Mark(TTYInfo* t) {
    std::memset(t->abScreen, kCanary, kScreenCells);
    t->bByteSize = 0x11, t->bParity = 0x22, t->bStopBits = 0x33, t->wCursorState = 0x4444;
    t->rgbFGColour = 0x00556677, t->nRow = 3, t->nColumn = 4, t->xChar = 5, t->yChar = 6;
    t->lfTTYFont.lfWidth = 7, t->lfTTYFont.lfWeight = 700, t->lfTTYFont.lfCharSet = 0x99;
    t->lfTTYFont.lfPitchAndFamily = 0x31;
    std::memset(t->lfTTYFont.lfFaceName, kCanary, LF_FACESIZE);
}

void CheckMarks(const TTYInfo& t) {
    for (int i = 0; i < kScreenCells; ++i)
        FUZZ_CHECK(t.abScreen[i] == kCanary);
    FUZZ_CHECK(t.bByteSize == 0x11 && t.bParity == 0x22 && t.bStopBits == 0x33);
    FUZZ_CHECK(t.wCursorState == 0x4444 && t.rgbFGColour == 0x00556677);
    FUZZ_CHECK(t.nRow == 3 && t.nColumn == 4 && t.xChar == 5 && t.yChar == 6);
    FUZZ_CHECK(t.lfTTYFont.lfWidth == 7 && t.lfTTYFont.lfWeight == 700);
    FUZZ_CHECK(t.lfTTYFont.lfCharSet == 0x99 && t.lfTTYFont.lfPitchAndFamily == 0x31);
    // The face and its 0 byte are written; the places after them are not touched.
    const size_t n = std::strlen(t.lfTTYFont.lfFaceName);
    for (size_t i = n + 1; i < LF_FACESIZE; ++i)
        FUZZ_CHECK(static_cast<BYTE>(t.lfTTYFont.lfFaceName[i]) == kCanary);
}

std::string g_dir;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_dir = fuzz::MakePrivateDir("settings");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::InDirectory dir(g_dir); // the program reads and writes VELKA.SET in it
    standin::Reset();
    WriteSettings(data, size);
    BYTE img[kImageSize] = {};
    std::memcpy(img, data, std::min<size_t>(size, kImageSize));
    const Fields expected = Decode(img);

    // The loader alone, on a marked record.
    {
        auto t = std::make_unique<TTYInfo>();
        Mark(t.get());
        std::memset(gszPrefBuf, 0xA5, sizeof gszPrefBuf);
        LoadDefaults(t.get());
        FUZZ_CHECK(Stored(*t) == expected);
        CheckMarks(*t);
        FUZZ_CHECK(std::memcmp(gszPrefBuf, img, kImageSize) == 0);
        // One byte a read, stopping at the end of the file or of the buffer.
        FUZZ_CHECK(standin::Calls("ReadFile") == static_cast<int>(std::min<size_t>(size + 1, 64)));
        FUZZ_CHECK(standin::OpenHandles() == 0);
    }

    // A start with this file: the window's record, its cell size, a paint and some output.
    HINSTANCE hInst = reinterpret_cast<HINSTANCE>(0x400000);
    FUZZ_CHECK(InitApplication(hInst));
    HWND hWnd = InitInstance(hInst, SW_SHOWNORMAL);
    FUZZ_CHECK(hWnd != nullptr);
    TTYInfo* p = GetTTYInfo(hWnd);
    FUZZ_CHECK(p && Stored(*p) == expected);
    FUZZ_CHECK(p->xChar >= 1 && p->yChar >= 1 && p->hTTYFont != nullptr);
    FUZZ_CHECK(!p->fConnected); // no port exists, whatever the file names
    static const char kProbe[] = "ok\r\n\b\x7f";
    FUZZ_CHECK(WriteTTYBlock(hWnd, kProbe, sizeof kProbe - 1));
    FUZZ_CHECK(p->nRow >= 0 && p->nRow < MAXROWS && p->nColumn >= 0 && p->nColumn < MAXCOLS);
    InvalidateRect(hWnd, nullptr, FALSE);
    FUZZ_CHECK(PaintTTY(hWnd));

    // Saving writes exactly the fields; a file whose baud code is not negative saves back
    // to its own first eight bytes (byte 4 cleared) and face, and loads to the same record.
    FUZZ_CHECK(SaveDefaults(hWnd));
    const std::string saved = ReadSettings();
    FUZZ_CHECK(saved == Encode(expected));
    if (static_cast<int8_t>(img[1]) >= 0) {
        std::string own(reinterpret_cast<const char*>(img), kFaceAt);
        own[4] = '\0';
        FUZZ_CHECK(saved == own + expected.face + '\0');
        auto t = std::make_unique<TTYInfo>();
        LoadDefaults(t.get());
        FUZZ_CHECK(Stored(*t) == expected);
    }
    DestroyWindow(hWnd);
    FUZZ_CHECK(standin::OpenHandles() == 0 && standin::LiveLocals() == 0);
    ghUploadEvent = nullptr;
    return 0;
}
