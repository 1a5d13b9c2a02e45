// settings.cpp: the settings file "VELKA.SET" in the current directory, a short binary
// record of port, baud code, the four display options, font height and face name.
// Read once while the window is created, written by "Save Setup".
#include "velka.h"
#include "setfile.h"

#include <cstring>

const char gszDefaultName[] = "VELKA.SET";
BYTE gszPrefBuf[kPrefBufSize];
DWORD gdwLength = 0;
const DWORD BaudTable[5] = {CBR_9600, CBR_19200, CBR_38400, CBR_57600, CBR_115200};

using namespace setfile;

namespace {

constexpr char kSaveName[] = "VELKA.$$$";       // written first, then renamed to VELKA.SET
constexpr int kMaxFaceLength = LF_FACESIZE - 1; // 31 characters and the 0 byte

int Signed(BYTE b) {
    return static_cast<signed char>(b);
}

} // namespace

void LoadDefaults(TTYInfo* p) {
    HANDLE hFile = CreateFileA(gszDefaultName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return;

    // Offsets the file does not reach read as 0; bytes past the buffer are ignored.
    std::memset(gszPrefBuf, 0, sizeof gszPrefBuf);
    for (int i = 0; i < kPrefBufSize; ++i) {
        if (!ReadFile(hFile, &gszPrefBuf[i], 1, &gdwLength, nullptr) || gdwLength == 0) break;
    }

    p->bPort = gszPrefBuf[kPortAt];
    p->dwBaudRate = static_cast<DWORD>(BaudOfCode(gszPrefBuf[kBaudAt]));
    p->fNewLine = Signed(gszPrefBuf[kNewLineAt]);
    p->fAutoWrap = Signed(gszPrefBuf[kAutoWrapAt]);
    p->fLocalEcho = Signed(gszPrefBuf[kLocalEchoAt]);
    p->fHexPrint = Signed(gszPrefBuf[kHexPrintAt]);
    p->lfTTYFont.lfHeight = Signed(gszPrefBuf[kHeightAt]);

    // A face without its 0 byte, or longer than the field, is cut to fit.
    const char* pszFace = reinterpret_cast<const char*>(gszPrefBuf + kFaceAt);
    const size_t nFace = strnlen(pszFace, kMaxFaceLength);
    std::memcpy(p->lfTTYFont.lfFaceName, pszFace, nFace);
    p->lfTTYFont.lfFaceName[nFace] = '\0';

    CloseHandle(hFile);
}

BOOL SaveDefaults(HWND hWnd) {
    TTYInfo* p = GetTTYInfo(hWnd);
    if (!p) return FALSE;

    // The settings go to a new file that replaces the old one only once fully written, so
    // a failed save leaves the settings saved before.
    HANDLE hFile = CreateFileA(kSaveName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) return FALSE;

    gszPrefBuf[kPortAt] = p->bPort;
    gszPrefBuf[kBaudAt] = CodeOfBaud(p->dwBaudRate);
    gszPrefBuf[kNewLineAt] = static_cast<BYTE>(p->fNewLine);
    gszPrefBuf[kAutoWrapAt] = static_cast<BYTE>(p->fAutoWrap);
    gszPrefBuf[kReservedAt] = 0;
    gszPrefBuf[kLocalEchoAt] = static_cast<BYTE>(p->fLocalEcho);
    gszPrefBuf[kHexPrintAt] = static_cast<BYTE>(p->fHexPrint);
    gszPrefBuf[kHeightAt] = static_cast<BYTE>(p->lfTTYFont.lfHeight);
    const size_t nFace = strnlen(p->lfTTYFont.lfFaceName, kMaxFaceLength);
    std::memcpy(gszPrefBuf + kFaceAt, p->lfTTYFont.lfFaceName, nFace);
    gszPrefBuf[kFaceAt + nFace] = 0;

    const DWORD dwSize = static_cast<DWORD>(kFaceAt + nFace + 1);
    const BOOL fWritten =
        WriteFile(hFile, gszPrefBuf, dwSize, &gdwLength, nullptr) && gdwLength == dwSize;
    CloseHandle(hFile);
    if (fWritten && MoveFileExA(kSaveName, gszDefaultName, MOVEFILE_REPLACE_EXISTING)) return TRUE;
    DeleteFileA(kSaveName);
    return FALSE;
}
