// settings_test.cpp: the settings file byte for byte, what odd files read as, and that
// every stored field survives a save and the next start.
#include "fixture.h"

namespace {

const std::string kDefaultImage = Bytes("\x01\x08\x01\x01\x00\x00\x00\x0e"
                                        "Courier New\0");

class SettingsTest : public VelkaTest {
  protected:
    // The record a start with this file builds (no port, so it stays disconnected).
    TTYInfo* Start(const std::string& file) {
        if (m_hWnd) DestroyWindow(m_hWnd);
        WriteFile("VELKA.SET", file);
        MakeWindow();
        return Info();
    }
};

} // namespace

TEST_F(SettingsTest, TheDefaultsAreSavedAsTwentyBytes) {
    MakeWindow();
    EXPECT_TRUE(SaveDefaults(m_hWnd));
    EXPECT_EQ(ReadFile("VELKA.SET"), kDefaultImage);
    EXPECT_EQ(gdwLength, 20u);
    EXPECT_FALSE(SaveDefaults(nullptr));
}

TEST_F(SettingsTest, FieldsAreSavedAsSignedBytes) {
    MakeWindow();
    TTYInfo* p = Info();
    const struct {
        DWORD dwBaud;
        LONG lHeight;
        BYTE bCode, bHeight;
    } kCases[] = {{115200, -13, 48, 0xF3}, {9600, 14, 4, 0x0E},
                  {38400, 127, 16, 0x7F},  {57601, 0, 24, 0},
                  {2399, -128, 0, 0x80},   {2400 * 300, 200, 300 & 0xFF, 200}};
    for (const auto& c : kCases) {
        p->dwBaudRate = c.dwBaud, p->lfTTYFont.lfHeight = c.lHeight;
        SaveDefaults(m_hWnd);
        const std::string image = ReadFile("VELKA.SET");
        EXPECT_EQ(static_cast<BYTE>(image[1]), c.bCode) << c.dwBaud;
        EXPECT_EQ(static_cast<BYTE>(image[7]), c.bHeight) << c.lHeight;
    }
    p->fLocalEcho = 0x1FF, p->fHexPrint = -1, p->bPort = 200;
    SaveDefaults(m_hWnd);
    const std::string image = ReadFile("VELKA.SET");
    EXPECT_EQ(image.substr(0, 7), Bytes("\xc8\x2c\x01\x01\x00\xff\xff"));

    std::string face(31, 'F');
    lstrcpynA(p->lfTTYFont.lfFaceName, face.c_str(), LF_FACESIZE);
    SaveDefaults(m_hWnd);
    EXPECT_EQ(ReadFile("VELKA.SET").size(), 40u);
}

TEST_F(SettingsTest, EveryStoredFieldRoundTrips) {
    MakeWindow();
    TTYInfo* p = Info();
    p->bPort = 5, p->dwBaudRate = 57600, p->fNewLine = 0, p->fAutoWrap = 0, p->fLocalEcho = 1;
    p->fHexPrint = 1, p->lfTTYFont.lfHeight = -13;
    lstrcpynA(p->lfTTYFont.lfFaceName, "Lucida Console", LF_FACESIZE);
    p->lfTTYFont.lfWeight = 700;   // not stored
    p->rgbFGColour = RGB(1, 2, 3); // not stored
    SaveDefaults(m_hWnd);
    SaveDefaults(m_hWnd); // a second save leaves one file of the same content
    TTYInfo* q = Start(ReadFile("VELKA.SET"));
    EXPECT_EQ(std::make_tuple(q->bPort, q->dwBaudRate, q->fNewLine, q->fAutoWrap, q->fLocalEcho,
                              q->fHexPrint, q->lfTTYFont.lfHeight),
              std::make_tuple(BYTE{5}, DWORD{57600}, 0, 0, 1, 1, -13));
    EXPECT_STREQ(q->lfTTYFont.lfFaceName, "Lucida Console");
    EXPECT_EQ(q->lfTTYFont.lfWeight, 0);
    EXPECT_EQ(q->rgbFGColour, 0u);
    EXPECT_EQ(q->lfTTYFont.lfCharSet, OEM_CHARSET);
}

TEST_F(SettingsTest, OddFilesAreReadSafely) {
    std::string longFace = Bytes("\x02\x08\x01\x01\x00\x00\x00\x0e") + std::string(92, 'L');
    const struct {
        const char* name;
        std::string file;
        BYTE bPort;
        DWORD dwBaud;
        BOOL fNewLine;
        LONG lHeight;
        std::string face;
    } kCases[] = {
        {"empty", "", 0, 0, 0, 0, ""},
        {"short", Bytes("\x03\x10\x01"), 3, 38400, 1, 0, ""},
        {"byte 4 ignored",
         Bytes("\x01\x08\x01\x01\x7f\x00\x00\x0e"
               "A\0"),
         1, 19200, 1, 14, "A"},
        {"a negative baud code",
         Bytes("\x01\xc8\xff\x01\x00\x00\x00\xf3"
               "B\0"),
         1, static_cast<DWORD>(-56 * 2400), -1, -13, "B"},
        {"no 0 byte and 100 bytes", longFace, 2, 19200, 1, 14, std::string(31, 'L')},
        {"a face of 40 characters",
         Bytes("\x01\x08\x01\x01\x00\x00\x00\x0e") + std::string(40, 'M') + '\0', 1, 19200, 1, 14,
         std::string(31, 'M')},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        TTYInfo* p = Start(c.file);
        EXPECT_EQ(p->bPort, c.bPort);
        EXPECT_EQ(p->dwBaudRate, c.dwBaud);
        EXPECT_EQ(p->fNewLine, c.fNewLine);
        EXPECT_EQ(p->lfTTYFont.lfHeight, c.lHeight);
        EXPECT_EQ(std::string(p->lfTTYFont.lfFaceName), c.face);
        EXPECT_EQ(BoxTexts().back(), "Connection failed."); // no such port; nothing else said
    }
}

TEST_F(SettingsTest, FilesThatCannotBeOpenedAreLeftAlone) {
    // A file another program holds keeps the defaults, silently.
    WriteFile("VELKA.SET", Bytes("\x02\x18"));
    HANDLE hOther = CreateFileA("VELKA.SET", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    MakeWindow();
    EXPECT_EQ(Info()->bPort, 1);
    EXPECT_EQ(Info()->dwBaudRate, 19200u);
    // A save that cannot create the file fails and leaves the old one.
    EXPECT_FALSE(SaveDefaults(m_hWnd));
    CloseHandle(hOther);
    EXPECT_EQ(ReadFile("VELKA.SET"), Bytes("\x02\x18"));
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Connection failed."});
}
