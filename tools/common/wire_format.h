// The module protocol's text as the tools write and read it: hex digits,
// the checksum, the framing of a line, line bytes shown in a log, the
// option ranges the module accepts, and (on POSIX) the speeds of a tty and
// its raw set-up.  One copy for the host, the simulator, the serial
// libraries' peer and the tests; the reference model of the tests keeps its
// own on purpose.
#ifndef TOOLS_COMMON_WIRE_FORMAT_H
#define TOOLS_COMMON_WIRE_FORMAT_H

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// Baud codes of the modules' configuration commands (03 1200 ... 0A
// 115200): 0 for a rate without a code, -1 for a code without a rate.
int baudCode(int baud);
int baudOfCode(int code);

// Bytes of the line as the logs show them: printable ASCII as it is, and
// \r, \n, \\ and \xNN for everything else, so that every form reads back
// to one byte string.
std::string escape(std::string_view bytes);

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
