// fixture.cpp: set-up and tear-down of the host tests and their screen helpers.
#include "fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

void VelkaTest::SetUp() {
    standin::Reset();
    char tmpl[] = "/tmp/velka-test-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_dir = tmpl;
    m_oldDir = std::filesystem::current_path();
    std::filesystem::current_path(m_dir);

    hTTYWnd = nullptr;
    ghAccel = nullptr;
    gszSourceName[0] = gszSourceTitle[0] = '\0';
    std::memset(gszPrefBuf, 0, sizeof gszPrefBuf);
    gfUploading = FALSE, gfUpError = FALSE, gUploadSync = 0, gwRXCol = 0;
    gwSourceLine = 0, gwTXCol = 0, gfFold = 0, ghSourceFile = nullptr;
}

void VelkaTest::TearDown() {
    if (m_hWnd && standin::IsWindow(m_hWnd)) DestroyWindow(m_hWnd);
    EXPECT_EQ(standin::LiveThreads(), 0);
    std::filesystem::current_path(m_oldDir);
    std::filesystem::remove_all(m_dir);
    standin::Reset();
}

HWND VelkaTest::MakeWindow() {
    InitApplication(m_hInst);
    m_hWnd = InitInstance(m_hInst, SW_SHOWNORMAL);
    hTTYWnd = m_hWnd;
    return m_hWnd;
}

std::string VelkaTest::Row(int nRow) const {
    TTYInfo* p = Info();
    ScreenLock lock(p);
    return std::string(reinterpret_cast<const char*>(p->abScreen + nRow * MAXCOLS), MAXCOLS);
}

std::pair<int, int> VelkaTest::Cursor() const {
    TTYInfo* p = Info();
    ScreenLock lock(p);
    return {p->nRow, p->nColumn};
}

void VelkaTest::WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
}

std::string VelkaTest::ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> VelkaTest::BoxTexts() const {
    std::vector<std::string> out;
    for (const auto& b : standin::MessageBoxes())
        out.push_back(b.text);
    return out;
}
