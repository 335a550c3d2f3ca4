// The numbers of the control channel: the whole word, decimal, or hex after
// 0x; and times and values as the log and the replies show them.
#pragma once

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace vsim {

// Plain digits are decimal, 0x... is hex.
inline bool toLong(const std::string &s, long &out)
{
    if (s.empty())
        return false;
    const bool hex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    char *end = nullptr;
    out = std::strtol(s.c_str(), &end, hex ? 16 : 10);
    return end && *end == '\0';
}

// A finite number.
inline bool toDouble(const std::string &s, double &out)
{
    if (s.empty())
        return false;
    char *end = nullptr;
    out = std::strtod(s.c_str(), &end);
    return end && *end == '\0' && std::isfinite(out);
}

// Three decimals: "12.345".
inline std::string fixed3(double v)
{
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.3f", v);
    return buf;
}

} // namespace vsim
