// A check on the text of a TOML file before it goes to the TOML library.
//
// The library's test for non-ASCII white space reaches a point its authors
// marked unreachable (undefined behaviour) for many characters (Latin-1,
// Greek, Cyrillic and others) wherever it reads a bare value, and a
// mistyped value runs on over quotes into what looks like a string.  So the
// tools accept characters outside the ASCII set in comments only, refuse
// them anywhere else with their line and column, and refuse control
// characters (which TOML allows nowhere but as tabs and line ends)
// everywhere: the library only ever sees text it reads safely.  A comment
// is what follows a "#" outside a string; a "#" always ends a bare value in
// the library too, so no stray byte can make the two disagree about it.
#ifndef TOOLS_COMMON_TOML_TEXT_H
#define TOOLS_COMMON_TOML_TEXT_H

#include <string_view>

namespace tomltext {

struct Place {
    int line = 0; // 0: none found
    int column = 0;
};

// The first control character (other than tab, line feed and carriage
// return), or the first byte of 0x80 or above outside a comment.
inline Place unsafeCharacter(std::string_view t)
{
    int line = 1;
    size_t lineStart = 0;
    char quote = 0;       // the quote of the string we are in, if any
    bool multi = false;   // a """ or ''' string
    bool comment = false; // after a "#" outside strings, to the line's end
    bool escaped = false; // after a backslash in a basic string
    for (size_t i = 0; i < t.size(); ++i) {
        const char c = t[i];
        const unsigned char u = static_cast<unsigned char>(c);
        const Place here{line, static_cast<int>(i - lineStart) + 1};
        if (c == '\n') {
            ++line;
            lineStart = i + 1;
            comment = false;
            escaped = false;
            if (!multi)
                quote = 0;
            continue;
        }
        if ((u < 0x20 && c != '\t' && c != '\r') || u == 0x7F)
            return here;
        if (comment)
            continue;
        if (u >= 0x80)
            return here;
        if (escaped) {
            escaped = false; // the character after a backslash ends nothing
        } else if (quote) {
            if (quote == '"' && c == '\\') {
                escaped = true;
            } else if (c == quote && !multi) {
                quote = 0;
            } else if (c == quote && t.substr(i, 3) == (quote == '"' ? "\"\"\"" : "'''")) {
                i += 2;
                quote = 0;
                multi = false;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            multi = t.substr(i, 3) == (c == '"' ? "\"\"\"" : "'''");
            i += multi ? 2 : 0;
        } else if (c == '#') {
            comment = true;
        }
    }
    return {};
}

} // namespace tomltext

#endif
