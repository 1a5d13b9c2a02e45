// rcfile.cpp: reads velka.rc and its resource.h into tables: a small tokenizer for the
// one-statement-per-line style of the script, and the nesting of menus and dialogs.
#include "rcfile.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace rcfile {

bool Control::Has(const std::string& flag) const {
    for (const auto& s : style)
        if (s == flag) return true;
    return false;
}

namespace {

struct Token {
    enum Kind { Word, Number, String, Punct } kind;
    std::string text;
    long value = 0;
};

std::vector<Token> Tokenize(const std::string& line) {
    std::vector<Token> out;
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == '\r') {
            ++i;
        } else if (c == '/' && i + 1 < line.size() && line[i + 1] == '/') {
            break;
        } else if (c == '"') {
            std::string s;
            for (++i; i < line.size(); ++i) {
                if (line[i] == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                    s += '"', ++i;
                } else if (line[i] == '"') {
                    ++i;
                    break;
                } else if (line[i] == '\\' && i + 1 < line.size()) {
                    const char e = line[++i];
                    s += e == 't' ? '\t' : e == 'n' ? '\n' : e;
                } else {
                    s += line[i];
                }
            }
            out.push_back({Token::String, s});
        } else if (isdigit(static_cast<unsigned char>(c)) ||
                   (c == '-' && i + 1 < line.size() &&
                    isdigit(static_cast<unsigned char>(line[i + 1])))) {
            char* end = nullptr;
            const long v = strtol(line.c_str() + i, &end, 0);
            const size_t n = static_cast<size_t>(end - (line.c_str() + i));
            out.push_back({Token::Number, line.substr(i, n), v});
            i += n;
        } else if (isalpha(static_cast<unsigned char>(c)) || c == '_') {
            size_t j = i;
            while (j < line.size() &&
                   (isalnum(static_cast<unsigned char>(line[j])) || line[j] == '_'))
                ++j;
            out.push_back({Token::Word, line.substr(i, j - i)});
            i = j;
        } else {
            out.push_back({Token::Punct, std::string(1, c)});
            ++i;
        }
    }
    return out;
}

class Parser {
  public:
    explicit Parser(Resources& r) : m_r(r) {
        const std::pair<const char*, int> builtins[] = {
            {"IDOK", 1},     {"IDCANCEL", 2},  {"VK_F1", 0x70},  {"VK_F2", 0x71}, {"VK_F3", 0x72},
            {"VK_F4", 0x73}, {"VK_F5", 0x74},  {"VK_F6", 0x75},  {"VK_F7", 0x76}, {"VK_F8", 0x77},
            {"VK_F9", 0x78}, {"VK_F10", 0x79}, {"VK_F11", 0x7A}, {"VK_F12", 0x7B}};
        for (const auto& [name, value] : builtins)
            m_r.symbols[name] = value;
    }

    void ReadHeader(const std::string& path) {
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            auto t = Tokenize(line);
            if (t.size() >= 4 && t[0].text == "#" && t[1].text == "define" &&
                t[3].kind == Token::Number)
                m_r.symbols[t[2].text] = static_cast<int>(t[3].value);
        }
    }

    void ReadScript(const std::string& path) {
        std::ifstream in(path);
        if (!in) throw std::runtime_error("cannot read " + path);
        std::stringstream text;
        text << in.rdbuf();
        std::istringstream lines(StripBlockComments(text.str()));
        std::string line;
        while (std::getline(lines, line))
            m_lines.push_back(line);
        for (m_at = 0; m_at < m_lines.size();)
            Statement();
    }

  private:
    // Blanks out /* ... */ comments, keeping the line breaks inside them.
    static std::string StripBlockComments(std::string s) {
        for (size_t at = s.find("/*"); at != std::string::npos; at = s.find("/*", at)) {
            const size_t end = s.find("*/", at + 2);
            const size_t stop = end == std::string::npos ? s.size() : end + 2;
            for (size_t i = at; i < stop; ++i)
                if (s[i] != '\n') s[i] = ' ';
            at = stop;
        }
        return s;
    }

    int Value(const Token& t) const {
        if (t.kind == Token::Number) return static_cast<int>(t.value);
        auto it = m_r.symbols.find(t.text);
        if (it == m_r.symbols.end()) throw std::runtime_error("unknown symbol " + t.text);
        return it->second;
    }

    std::vector<Token> Next() { return Tokenize(m_lines[m_at++]); }

    // Splits a comma-separated statement into its fields.
    static std::vector<std::vector<Token>> Fields(const std::vector<Token>& t, size_t from) {
        std::vector<std::vector<Token>> out(1);
        for (size_t i = from; i < t.size(); ++i) {
            if (t[i].kind == Token::Punct && t[i].text == ",")
                out.emplace_back();
            else
                out.back().push_back(t[i]);
        }
        return out;
    }

    static std::vector<std::string> Flags(const std::vector<Token>& field) {
        std::vector<std::string> out;
        for (const auto& t : field)
            if (t.kind != Token::Punct) out.push_back(t.text);
        return out;
    }

    void Statement() {
        auto t = Next();
        if (t.empty() || t[0].kind == Token::Punct) return; // blank, comment, #include
        if (t[0].text == "STRINGTABLE") return StringTable();
        if (t.size() < 2) return;
        const int id = Value(t[0]);
        const std::string& kind = t[1].text;
        if (kind == "ICON") m_r.icons[id] = t[2].text;
        if (kind == "MENU") m_r.menus[id] = MenuBody();
        if (kind == "ACCELERATORS") Accelerators(id);
        if (kind == "DIALOG") DialogBody(id, t);
    }

    void StringTable() {
        Next(); // BEGIN
        for (auto t = Next(); t.empty() || t[0].text != "END"; t = Next())
            if (t.size() == 2) m_r.strings[Value(t[0])] = t[1].text;
    }

    std::vector<MenuItem> MenuBody() {
        std::vector<MenuItem> items;
        Next(); // BEGIN
        for (auto t = Next(); t.empty() || t[0].text != "END"; t = Next()) {
            if (t.empty()) continue;
            MenuItem item;
            if (t[0].text == "POPUP") {
                item.text = t[1].text;
                item.popup = true;
                item.items = MenuBody();
            } else if (t[1].text != "SEPARATOR") {
                item.text = t[1].text;
                item.id = Value(t[3]);
            }
            items.push_back(item);
        }
        return items;
    }

    void Accelerators(int id) {
        Next(); // BEGIN
        for (auto t = Next(); t.empty() || t[0].text != "END"; t = Next()) {
            if (t.empty()) continue;
            auto f = Fields(t, 0);
            Accel a;
            a.vk = Value(f[0][0]);
            a.id = Value(f[1][0]);
            for (size_t i = 2; i < f.size(); ++i)
                a.flags.push_back(f[i][0].text);
            m_r.accelerators[id].push_back(a);
        }
    }

    void DialogBody(int id, const std::vector<Token>& head) {
        Dialog d;
        auto f = Fields(head, 2);
        d.x = Value(f[0][0]), d.y = Value(f[1][0]), d.w = Value(f[2][0]), d.h = Value(f[3][0]);
        for (auto t = Next(); t[0].text != "BEGIN"; t = Next()) {
            if (t[0].text == "STYLE") d.style = Flags(std::vector<Token>(t.begin() + 1, t.end()));
            if (t[0].text == "CAPTION") d.caption = t[1].text;
            if (t[0].text == "FONT") d.fontSize = Value(t[1]), d.fontFace = t[3].text;
        }
        for (auto t = Next(); t.empty() || t[0].text != "END"; t = Next()) {
            if (t.empty()) continue;
            auto c = Fields(t, 1); // CONTROL text, id, class, style, x, y, w, h
            Control ctl;
            if (c[0][0].kind == Token::String)
                ctl.text = c[0][0].text;
            else
                ctl.textOrdinal = Value(c[0][0]);
            ctl.id = Value(c[1][0]);
            ctl.cls = c[2][0].text;
            ctl.style = Flags(c[3]);
            ctl.x = Value(c[4][0]), ctl.y = Value(c[5][0]), ctl.w = Value(c[6][0]),
            ctl.h = Value(c[7][0]);
            d.controls.push_back(ctl);
        }
        m_r.dialogs[id] = d;
    }

    Resources& m_r;
    std::vector<std::string> m_lines;
    size_t m_at = 0;
};

} // namespace

const Resources& Load() {
    static const Resources resources = [] {
        Resources r;
        Parser parser(r);
        const std::string script = VELKA_RC_FILE;
        parser.ReadHeader(script.substr(0, script.find_last_of('/') + 1) + "resource.h");
        parser.ReadScript(script);
        return r;
    }();
    return resources;
}

} // namespace rcfile
