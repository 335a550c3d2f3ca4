// A check on the text of a TOML file before it goes to the TOML library.
//
// The library's test for non-ASCII white space reaches a point its authors
// marked unreachable (undefined behaviour) for many characters outside
// strings and comments (Latin-1, Greek, Cyrillic and others), where a
// character of that kind can only be a mistake anyway.  So the tools refuse
// such a character themselves, naming its line and column, and hand the
// library only text it handles safely.  Strings and comments may hold any
// character.
#ifndef TOOLS_COMMON_TOML_TEXT_H
#define TOOLS_COMMON_TOML_TEXT_H

#include <string_view>

namespace tomltext {

struct Place {
    int line = 0; // 0: none found
    int column = 0;
};

// The first byte of 0x80 or above outside strings and comments.
inline Place nonAsciiOutsideStrings(std::string_view t)
{
    int line = 1;
    size_t lineStart = 0;
    size_t i = 0;
    auto newline = [&](size_t at) {
        ++line;
        lineStart = at + 1;
    };
    while (i < t.size()) {
        const char c = t[i];
        if (c == '\n') {
            newline(i++);
        } else if (c == '#') {
            while (i < t.size() && t[i] != '\n')
                ++i;
        } else if (c == '"' || c == '\'') {
            const bool multi = t.substr(i, 3) == (c == '"' ? "\"\"\"" : "'''");
            const size_t quotes = multi ? 3 : 1;
            i += quotes;
            while (i < t.size()) {
                if (t[i] == '\n') {
                    newline(i++);
                    if (!multi)
                        break; // an unterminated string: the library says so
                } else if (c == '"' && t[i] == '\\' && i + 1 < t.size()) {
                    if (t[i + 1] == '\n')
                        newline(i + 1);
                    i += 2;
                } else if (multi ? t.substr(i, 3) == (c == '"' ? "\"\"\"" : "'''") : t[i] == c) {
                    i += quotes;
                    break;
                } else {
                    ++i;
                }
            }
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            return {line, static_cast<int>(i - lineStart) + 1};
        } else {
            ++i;
        }
    }
    return {};
}

} // namespace tomltext

#endif
