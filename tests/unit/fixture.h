// fixture.h: the common ground of the host tests: a fresh stand-in, fresh program
// globals and a private working directory for every test, the main window made the way
// WinMain makes it, and helpers to read the screen under its lock.
#pragma once

#include <gtest/gtest.h>

#include "standin.h"
#include "velka.h"

#include <string>
#include <vector>

class VelkaTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    // Registers the class once and creates the main window; hTTYWnd is set as WinMain
    // sets it once creation has returned.
    HWND MakeWindow();
    TTYInfo* Info() const { return GetTTYInfo(m_hWnd); }
    // A row of the screen as text, read under the screen lock.
    std::string Row(int nRow) const;
    std::pair<int, int> Cursor() const; // row, column
    void WriteFile(const std::string& name, const std::string& bytes) const;
    std::string ReadFile(const std::string& name) const;
    std::vector<std::string> BoxTexts() const;
    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    HWND m_hWnd = nullptr;
    HINSTANCE m_hInst = reinterpret_cast<HINSTANCE>(0x400000);
    std::string m_dir;
    std::string m_oldDir;
};

// Bytes from a string literal that may hold NULs.
template <size_t N> std::string Bytes(const char (&s)[N]) {
    return std::string(s, N - 1);
}
