// The line client of the bring-up commands (identify, configure, send and
// term, and the identify behind the survey's bench twin): one COM port of
// the serial library, opened through the _COM functions the module uses,
// and the exchange of a command line with a module: the line framed with
// its checksum and carriage return, the reply collected up to its carriage
// return or until no byte came for the time-out, with its times and the
// arrivals it came in; a reply's checksum checked and taken off.
#ifndef TOOLS_HOST_LINE_CLIENT_H
#define TOOLS_HOST_LINE_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "wire.h"
#include "wire_format.h"

namespace vhost {

// How a bring-up command uses the line.
struct LineOptions {
    int port = 1;
    int baud = 0;        // bit/s; 0: find out (identify, configure) or the INIT speed (send, term)
    int checksum = -1;   // -1: find out (identify, configure) or off (send, term)
    int timeoutMs = 200; // for the first byte of a reply; the line's delivery included
};

// A module address as typed: decimal (5), hex with 0x (0x05) or h (05h).
// Returns -1 when it is none of 0 to 255.
int parseAddress(const std::string &text);

// What came back for a command line.
struct Reply {
    std::string sent;  // the line as sent, its checksum and carriage return included
    std::string bytes; // as received, the carriage return included
    bool complete = false;
    double firstMs = -1; // from the end of the command
    double crMs = -1;
    std::vector<Arrival> arrivals; // what each poll of the receive queue found
};

// How a module is reached: the address it answers at, the speed and the
// checksum setting.
struct Reach {
    int address = 0;
    int baud = wire::INIT_BAUD;
    bool checksum = false;
};

enum class Heard { Nothing, Garbled, Reply };

// One port of the serial library, opened at a speed.
class LineClient {
public:
    explicit LineClient(int port) : port_(port) {}
    ~LineClient() { close(); }
    LineClient(const LineClient &) = delete;
    LineClient &operator=(const LineClient &) = delete;

    // Opens the port at `baud` (8 data bits, no parity, one stop bit), or
    // leaves it open when it is at that speed already; false after saying
    // why in `error`.
    bool open(int baud, std::string &error);
    void close();
    int baud() const { return baud_; }

    // Sends the command line (with its checksum when `withChecksum`) and a
    // carriage return; the reply up to its carriage return, or what came
    // before no byte came for `timeoutMs`.
    Reply exchange(const std::string &command, bool withChecksum, int timeoutMs);
    // A command to the module at `at` (the port open at its speed) and its
    // reply's body, checksum checked and taken off; Garbled when bytes came
    // that are no reply.
    Heard ask(const Reach &at, const std::string &command, int timeoutMs, std::string &body);

private:
    static constexpr int32_t QUEUE = 128;
    int port_;
    int baud_ = 0;
    bool open_ = false;
    char rcv_[QUEUE] = {};
    char xmit_[QUEUE] = {};
};

} // namespace vhost

#endif
