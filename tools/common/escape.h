// Bytes of the line as the logs show them: printable ASCII as it is, and
// \r, \n, \\ and \xNN for everything else.  One form for the simulator's log
// and the scripted serial library's call log, so that a line reads the same
// in both.
#ifndef TOOLS_COMMON_ESCAPE_H
#define TOOLS_COMMON_ESCAPE_H

#include <cstdio>
#include <string>
#include <string_view>

namespace logtext {

inline std::string escape(std::string_view bytes)
{
    std::string s;
    for (unsigned char c : bytes) {
        if (c == '\r') {
            s += "\\r";
        } else if (c == '\n') {
            s += "\\n";
        } else if (c == '\\') {
            s += "\\\\";
        } else if (c >= 0x20 && c < 0x7F) {
            s += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            s += hex;
        }
    }
    return s;
}

} // namespace logtext

#endif
