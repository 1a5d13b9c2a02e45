// rcfile.h: a reader for the program's resource script (velka.rc and resource.h), so the
// host build uses the very strings, menu, accelerators and dialog templates that the
// Windows build compiles in. It reads only the plain forms the script is written in.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace rcfile {

struct MenuItem {
    std::string text; // empty for a separator
    int id = 0;       // 0 for separators and pop-ups
    bool popup = false;
    std::vector<MenuItem> items;
};

struct Accel {
    int vk = 0;
    int id = 0;
    std::vector<std::string> flags; // e.g. VIRTKEY, NOINVERT
};

struct Control {
    std::string text;
    int textOrdinal = -1; // a resource id given instead of a text (icons)
    int id = 0;
    std::string cls;
    std::vector<std::string> style;
    int x = 0, y = 0, w = 0, h = 0;
    bool Has(const std::string& flag) const;
};

struct Dialog {
    int x = 0, y = 0, w = 0, h = 0;
    std::vector<std::string> style;
    std::string caption;
    int fontSize = 0;
    std::string fontFace;
    std::vector<Control> controls;
};

struct Resources {
    std::map<std::string, int> symbols;
    std::map<int, std::string> strings;
    std::map<int, std::vector<MenuItem>> menus;
    std::map<int, std::vector<Accel>> accelerators;
    std::map<int, Dialog> dialogs;
    std::map<int, std::string> icons;
};

// The script named by VELKA_RC_FILE, read once.
const Resources& Load();

} // namespace rcfile
