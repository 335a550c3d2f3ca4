// The module protocol's text as the tools write and read it: hex digits,
// the checksum, the framing of a line, line bytes shown in a log, the
// option ranges the module accepts, the speeds the modules run at, and (on
// POSIX) the speeds of a tty and its raw set-up.  One copy for the host, the simulator, the serial
// libraries' peer and the tests; the reference model of the tests keeps its
// own on purpose.
#ifndef TOOLS_COMMON_WIRE_FORMAT_H
#define TOOLS_COMMON_WIRE_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "option_ranges.h"

#ifndef _WIN32
#include <termios.h>
#endif

namespace wire {

// The option ranges of the module, as ints for the tools' arithmetic.
constexpr int PORT_MIN = COMPORT_MIN;
constexpr int PORT_MAX = COMPORT_MAX;
constexpr int TIMEOUT_MIN = static_cast<int>(TIMEOUT_MIN_MS);
constexpr int TIMEOUT_MAX = static_cast<int>(TIMEOUT_MAX_MS);
// "BAUD=" values (hundreds of bit/s).
using ::BAUD_CODES;

// The value of a hex digit (either case), or -1.
int hexValue(char c);
// A field of 1 to 7 hex digits (either case) and nothing else, or nothing.
std::optional<unsigned> hexNumber(std::string_view s);
// The low 4 x `digits` bits of `v` as upper-case hex digits, most
// significant first.
std::string hexDigits(uint32_t v, int digits);
std::string hex2(uint32_t v);
// The sum of the bytes of `text` modulo 256 as two upper-case hex digits.
std::string checksum(std::string_view text);
// A line as it goes over the wire: the body, its checksum when `withSum`,
// and the carriage return.
std::string framed(std::string_view body, bool withSum);

// Bits of the data format byte FF of the configuration commands ($AA2,
// %AANNTTCCFF): checksums on, and the form of an analog module's values in
// the low two bits (00 engineering units, 10 two's complement hex).
constexpr unsigned FORMAT_CHECKSUM = 0x40;
constexpr unsigned FORMAT_FORM = 0x03;
constexpr unsigned FORMAT_HEX = 0x02;

// The speeds a module's line runs at.  A module keeps its speed as a baud
// code in its configuration ($AA2 tells it, %AANNTTCCFF sets it), 03 for
// 1200 bit/s up to 0A for 115200.  `probe` is the speed's turn when a module
// whose speed is not known is looked for: the usual ones first.
struct LineSpeed {
    int baud;  // bit/s
    int code;  // its baud code
    int probe; // 0: tried first
};
constexpr LineSpeed LINE_SPEEDS[] = {
    {1200, 0x03, 7},  {2400, 0x04, 6},  {4800, 0x05, 5},  {9600, 0x06, 0},
    {19200, 0x07, 1}, {38400, 0x08, 2}, {57600, 0x09, 3}, {115200, 0x0A, 4},
};
// A module in INIT mode answers at this speed (at address 00, without
// checksums) whatever it is configured for.
constexpr int INIT_BAUD = 9600;

constexpr bool isLineSpeed(int baud)
{
    for (const LineSpeed &s : LINE_SPEEDS)
        if (s.baud == baud)
            return true;
    return false;
}

namespace detail {
// Slowest first, each code one above the one before.
constexpr bool codesInOrder()
{
    for (size_t i = 1; i < std::size(LINE_SPEEDS); ++i)
        if (LINE_SPEEDS[i].code != LINE_SPEEDS[i - 1].code + 1 || LINE_SPEEDS[i].baud <= LINE_SPEEDS[i - 1].baud)
            return false;
    return true;
}
// Each speed has its own turn, 0 to one less than their number.
constexpr bool probeIsAnOrder()
{
    for (size_t turn = 0; turn < std::size(LINE_SPEEDS); ++turn) {
        int holders = 0;
        for (const LineSpeed &s : LINE_SPEEDS)
            holders += s.probe == static_cast<int>(turn) ? 1 : 0;
        if (holders != 1)
            return false;
    }
    return true;
}
// The module's BAUD= (in hundreds) takes only speeds the modules run at.
constexpr bool driverSpeedsAreLineSpeeds()
{
    for (int32_t hundreds : BAUD_CODES)
        if (!isLineSpeed(static_cast<int>(hundreds) * 100))
            return false;
    return true;
}
} // namespace detail
static_assert(detail::codesInOrder(), "LINE_SPEEDS: slowest first, baud codes one after the other");
static_assert(detail::probeIsAnOrder(), "LINE_SPEEDS: every speed a turn of its own");
static_assert(detail::driverSpeedsAreLineSpeeds(), "BAUD_CODES: every speed of BAUD= is one the modules run at");
static_assert(isLineSpeed(INIT_BAUD), "INIT_BAUD: a speed the modules run at");

// The baud code of a speed, 0 for a speed without one; the speed of a code,
// -1 for a code without one.
int baudCode(int baud);
int baudOfCode(int code);
// The speeds in bit/s: slowest first; in the order a module of unknown speed
// is looked for; those the module's BAUD= takes (BAUD_CODES in bit/s).
std::vector<int> lineSpeeds();
std::vector<int> probeSpeeds();
std::vector<int> driverSpeeds();
// Speeds as a message lists them, "9600, 19200 and 38400" with `last` "and".
std::string speedsText(const std::vector<int> &speeds, std::string_view last);

// Bytes of the line as the logs show them: printable ASCII as it is, and
// \r, \n, \\ and \xNN for everything else, so that every form reads back
// to one byte string.
std::string escape(std::string_view bytes);
// The bytes that escape() wrote as `text`, or nothing for text it does not
// write (an unknown escape, a backslash at the end).
std::optional<std::string> unescape(std::string_view text);

#ifndef _WIN32
// The termios constant of a speed in bit/s, B0 when there is none.
speed_t speedConstant(long baud);
// The speed in bit/s of a termios constant, 0 when it names none we know.
long speedOf(speed_t constant);
// Raw mode, receiver on, modem lines ignored, a read returning from one
// byte; the speed `baud` when it has a constant (else unchanged).  False
// (errno set) when the device refuses.
bool makeRaw(int fd, long baud);
#endif

} // namespace wire

#endif
