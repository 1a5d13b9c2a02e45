// resources_test.cpp: the resource script holds the menu, accelerators, dialogs and
// strings the program and its users rely on, with every text exactly as it must read.
#include <gtest/gtest.h>

#include "rcfile.h"
#include "velka.h"

namespace {

const rcfile::Resources& R() {
    return rcfile::Load();
}

struct ControlRow {
    int id;
    const char* cls;
    const char* flag; // one style flag that must be set
    int x, y, w, h;
    const char* text;
};

void ExpectDialog(int nId, const char* caption, std::vector<std::string> style, int x, int y, int w,
                  int h, const std::vector<ControlRow>& rows) {
    const rcfile::Dialog& d = R().dialogs.at(nId);
    EXPECT_EQ(d.caption, caption);
    EXPECT_EQ(d.style, style);
    EXPECT_EQ(std::vector<int>({d.x, d.y, d.w, d.h}), std::vector<int>({x, y, w, h}));
    EXPECT_EQ(d.fontFace, "Helv");
    EXPECT_EQ(d.fontSize, 8);
    ASSERT_EQ(d.controls.size(), rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const rcfile::Control& c = d.controls[i];
        const ControlRow& r = rows[i];
        SCOPED_TRACE(r.text);
        EXPECT_EQ(c.id, r.id);
        EXPECT_EQ(c.cls, r.cls);
        EXPECT_TRUE(c.Has(r.flag)) << r.flag;
        EXPECT_EQ(std::vector<int>({c.x, c.y, c.w, c.h}), std::vector<int>({r.x, r.y, r.w, r.h}));
        if (c.textOrdinal >= 0) {
            EXPECT_EQ(c.textOrdinal, IDI_TTYICON);
        } else {
            EXPECT_EQ(c.text, r.text);
        }
    }
}

} // namespace

TEST(Resources, MenuInItsOrder) {
    const auto& bar = R().menus.at(IDR_TTYMENU);
    ASSERT_EQ(bar.size(), 4u);
    const std::vector<std::pair<std::string, int>> file = {
        {"&Select Source\tF2", IDM_SELECTSOURCE}, {"", 0}, {"&Connect", IDM_CONNECT},
        {"&Disconnect", IDM_DISCONNECT},          {"", 0}, {"E&xit", IDM_EXIT}};
    const std::vector<std::pair<std::string, int>> upload = {
        {"&Upload Fast\tF3", IDM_UPLOADFAST}, {"&Upload Visible\tF4", IDM_UPLOADVISIBLE}};
    const std::vector<std::pair<std::string, int>> setup = {{"&Terminal\tF10", IDM_SETTINGS},
                                                            {"&Save Setup", IDM_SAVESETUP}};
    const std::pair<const char*, const std::vector<std::pair<std::string, int>>*> popups[] = {
        {"&File", &file}, {"&Upload", &upload}, {"&Setup", &setup}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(bar[i].popup);
        EXPECT_EQ(bar[i].text, popups[i].first);
        std::vector<std::pair<std::string, int>> items;
        for (const auto& item : bar[i].items)
            items.emplace_back(item.text, item.id);
        EXPECT_EQ(items, *popups[i].second);
    }
    EXPECT_FALSE(bar[3].popup);
    EXPECT_EQ(bar[3].text, "&About");
    EXPECT_EQ(bar[3].id, IDM_ABOUT);
}

TEST(Resources, AcceleratorsAreBareFunctionKeys) {
    const auto& acc = R().accelerators.at(IDR_TTYACCEL);
    const std::vector<std::pair<int, int>> expected = {{0x70, IDM_ABOUT},
                                                       {0x71, IDM_SELECTSOURCE},
                                                       {0x72, IDM_UPLOADFAST},
                                                       {0x73, IDM_UPLOADVISIBLE},
                                                       {0x79, IDM_SETTINGS}};
    ASSERT_EQ(acc.size(), expected.size());
    for (size_t i = 0; i < acc.size(); ++i) {
        EXPECT_EQ(std::make_pair(acc[i].vk, acc[i].id), expected[i]);
        EXPECT_EQ(acc[i].flags, (std::vector<std::string>{"VIRTKEY", "NOINVERT"}));
    }
}

TEST(Resources, StringsAndIcon) {
    const std::map<int, std::string> expected = {{784, "COM"},   {800, "9600"},  {801, "19.2k"},
                                                 {802, "38.4k"}, {803, "57.6k"}, {804, "115.2k"}};
    EXPECT_EQ(R().strings, expected);
    EXPECT_EQ(R().icons.at(400), "velka.ico");
}

TEST(Resources, HelpBox) {
    const char* kLeft = "SS_NOPREFIX";
    ExpectDialog(
        IDD_ABOUT, "Velka for Nivor", {"WS_POPUP", "WS_CAPTION", "DS_MODALFRAME", "DS_SETFONT"}, 25,
        25, 320, 200,
        {{528, "Static", "SS_ICON", 10, 5, 18, 20, ""},
         {529, "Static", kLeft, 45, 5, 127, 10, "Velka v 3.3 Terminal for Nivor"},
         {-1, "Static", "SS_BLACKRECT", 45, 25, 260, 1, ""},
         {1, "Button", "BS_DEFPUSHBUTTON", 177, 5, 40, 14, "OK"},
         {-1, "Static", kLeft, 20, 35, 300, 10,
          "Source code can be loaded to 'Nivor' for compilation as well as for immediate "
          "execution."},
         {-1, "Static", kLeft, 20, 45, 280, 10,
          "After processing the menu item 'Select Source': nothing happens immediately -"},
         {-1, "Static", kLeft, 20, 55, 280, 10, "file is simply selected and prepared for upload."},
         {-1, "Static", kLeft, 20, 68, 280, 10,
          "'Velka' uses a special handshake protocol for automatic timing of upload."},
         {-1, "Static", kLeft, 20, 78, 280, 10,
          "The loading process may hang up when the 'Nivor' microcontroller is not responding."},
         {-1, "Static", kLeft, 20, 88, 280, 10,
          "Then reset or power up the microcontroller - in worst case kill the 'Velka' task."},
         {-1, "Static", kLeft, 20, 100, 280, 10,
          "Source Loader Directives: (to build complex programs step by step)"},
         {-1, "Static", kLeft, 30, 110, 280, 10,
          "{ ### : suppress loading subsequent source to 'Nivor"},
         {-1, "Static", kLeft, 30, 120, 280, 10, "{ >>> : continue loading source to 'Nivor'"},
         {-1, "Static", kLeft, 30, 130, 280, 10,
          "{ kkk : pause source loading until any key is pressed"},
         {-1, "Static", kLeft, 20, 145, 280, 10,
          "When doing 'Save Setup' at 'Connected' state: check carefully that"},
         {-1, "Static", kLeft, 20, 155, 280, 10,
          "changes of parameters are effective before you save them."},
         {-1, "Static", "SS_BLACKRECT", 15, 175, 290, 1, ""},
         {-1, "Static", kLeft, 20, 180, 280, 10, ""}});
}

TEST(Resources, SetupDialog) {
    const char* kCombo = "CBS_DROPDOWNLIST";
    ExpectDialog(IDD_SETUP, "Setup", {"WS_POPUP", "WS_CAPTION", "DS_SETFONT"}, 25, 20, 200, 140,
                 {{-1, "Button", "BS_GROUPBOX", 5, 5, 115, 130, "&Terminal:"},
                  {-1, "Static", "WS_GROUP", 10, 20, 40, 10, "&Port:"},
                  {544, "ComboBox", kCombo, 55, 20, 55, 35, ""},
                  {-1, "Static", "SS_RIGHT", 10, 35, 40, 10, "&Baud Rate:"},
                  {545, "ComboBox", kCombo, 55, 35, 55, 35, ""},
                  {-1, "Static", "SS_LEFT", 31, 65, 45, 10, "Fixed:"},
                  {-1, "Static", "SS_LEFT", 55, 65, 45, 10, "-- 8 Data Bits"},
                  {-1, "Static", "SS_LEFT", 55, 80, 40, 10, "-- No Parity"},
                  {-1, "Static", "SS_LEFT", 55, 95, 40, 10, "-- 1 Stop Bit"},
                  {-1, "Static", "SS_LEFT", 55, 110, 55, 10, "-- No Handshake"},
                  {-1, "Button", "WS_GROUP", 125, 5, 70, 60, "&Display Options:"},
                  {554, "Button", "BS_AUTOCHECKBOX", 135, 20, 50, 10, "New Line"},
                  {552, "Button", "WS_TABSTOP", 135, 30, 50, 10, "Autowrap"},
                  {553, "Button", "BS_AUTOCHECKBOX", 135, 40, 50, 10, "HEXprint"},
                  {555, "Button", "BS_AUTOCHECKBOX", 135, 50, 50, 10, "Local Echo"},
                  {557, "Button", "WS_GROUP", 140, 75, 40, 14, "&Font"},
                  {1, "Button", "BS_DEFPUSHBUTTON", 140, 95, 40, 14, "Ok"},
                  {2, "Button", "WS_TABSTOP", 140, 115, 40, 14, "Cancel"}});
}
