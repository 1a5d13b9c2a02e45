// shell_test.cpp: start-up, the record's defaults and its refused creations, the main
// window's routing of messages and commands, and the exit question.
#include "fixture.h"

TEST_F(VelkaTest, Smoke) {
    MakeWindow();
    ASSERT_NE(m_hWnd, nullptr);
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"Connection failed."});
}
