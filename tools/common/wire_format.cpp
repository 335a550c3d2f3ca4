#include "wire_format.h"

#include <cstdio>
#include <iterator>

namespace wire {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::optional<unsigned> hexNumber(std::string_view s)
{
    if (s.empty() || s.size() > 7)
        return std::nullopt;
    unsigned v = 0;
    for (char c : s) {
        int d = hexValue(c);
        if (d < 0)
            return std::nullopt;
        v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
}

int baudCode(int baud)
{
    for (const LineSpeed &s : LINE_SPEEDS)
        if (s.baud == baud)
            return s.code;
    return 0;
}

int baudOfCode(int code)
{
    for (const LineSpeed &s : LINE_SPEEDS)
        if (s.code == code)
            return s.baud;
    return -1;
}

std::vector<int> lineSpeeds()
{
    std::vector<int> speeds;
    for (const LineSpeed &s : LINE_SPEEDS)
        speeds.push_back(s.baud);
    return speeds;
}

std::vector<int> probeSpeeds()
{
    std::vector<int> speeds(std::size(LINE_SPEEDS));
    for (const LineSpeed &s : LINE_SPEEDS)
        speeds[static_cast<size_t>(s.probe)] = s.baud;
    return speeds;
}

std::vector<int> driverSpeeds()
{
    std::vector<int> speeds;
    for (int32_t hundreds : BAUD_CODES)
        speeds.push_back(static_cast<int>(hundreds) * 100);
    return speeds;
}

std::string speedsText(const std::vector<int> &speeds, std::string_view last)
{
    std::string s;
    for (size_t i = 0; i < speeds.size(); ++i) {
        if (i > 0)
            s += i + 1 == speeds.size() ? " " + std::string(last) + " " : std::string(", ");
        s += std::to_string(speeds[i]);
    }
    return s;
}

std::string hexDigits(uint32_t v, int digits)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string s;
    for (int i = digits - 1; i >= 0; --i)
        s += hex[(v >> (4 * i)) & 0xF];
    return s;
}

std::string hex2(uint32_t v) { return hexDigits(v, 2); }

std::string checksum(std::string_view text)
{
    unsigned sum = 0;
    for (char c : text)
        sum += static_cast<unsigned char>(c);
    return hex2(sum & 0xFF);
}

std::string framed(std::string_view body, bool withSum)
{
    std::string line(body);
    if (withSum)
        line += checksum(body);
    return line + "\r";
}

std::string escape(std::string_view bytes)
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

std::optional<std::string> unescape(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i >= text.size())
            return std::nullopt;
        if (text[i] == 'r')
            out += '\r';
        else if (text[i] == 'n')
            out += '\n';
        else if (text[i] == '\\')
            out += '\\';
        else if (text[i] == 'x' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else
            return std::nullopt;
    }
    return out;
}

#ifndef _WIN32

namespace {

const struct {
    long baud;
    speed_t constant;
} SPEEDS[] = {{110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
              {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
              {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

} // namespace

speed_t speedConstant(long baud)
{
    for (const auto &s : SPEEDS)
        if (s.baud == baud)
            return s.constant;
    return B0;
}

long speedOf(speed_t constant)
{
    for (const auto &s : SPEEDS)
        if (s.constant == constant)
            return s.baud;
    return 0;
}

bool makeRaw(int fd, long baud)
{
    termios t;
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    const speed_t s = speedConstant(baud);
    if (s != B0)
        cfsetspeed(&t, s);
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

#endif

} // namespace wire
