// The line monitor's decoder: what a listener heard (bytes with the times
// they came) into exchanges, each command with its reply, named after the
// instructions that send such a command and decoded by the module's own
// description of its exchanges (catalogue.h).  No I/O and no clock of its
// own: the times come with the bytes, and idle() tells it that time passed
// with nothing heard.
#ifndef TOOLS_HOST_MONITOR_DECODE_H
#define TOOLS_HOST_MONITOR_DECODE_H

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "capture.h"
#include "catalogue.h"

namespace vhost::monitor {

// What can go wrong with an exchange, in the order the summary lists them.
enum class Fault {
    NoReply,      // a command that wants a reply got none
    Refused,      // the module answered "?"
    BadChecksum,  // a reply (or command) whose checksum is wrong or missing
    WrongLength,  // a reply of another length than its command's replies have
    Garbled,      // bytes no transmitter sends: two transmissions collided
    Late,         // the reply came after the next command started
    Unasked,      // a reply that no command asked for
    SecondMaster, // a command while a reply was due: another master on the line
    COUNT
};
const char *faultName(Fault f);

// Whether `c` starts a command line: a command character of the catalogue's
// framing, or '%' (the configuration commands of the bring-up tools).
bool isCommandChar(char c);

struct Settings {
    bool checksum = false; // commands and replies carry checksums
    int baud = 9600;       // for the quiet time a reply may come in
};

struct Exchange {
    int64_t startUs = 0; // the command's first byte (an unasked reply's)
    int address = -1;    // -1: none known
    bool broadcast = false;
    std::string instruction; // "I7041/I7052/I7053"; "" when no instruction sends it
    std::string what;        // "read digital I/O"
    std::string command, reply;
    std::string values; // "Chan=0 Count=291"
    int64_t commandEndUs = -1, replyStartUs = -1, replyEndUs = -1;
    std::vector<Fault> faults;
    bool has(Fault f) const;
};

// One heard line (up to its carriage return) and when its bytes came.
struct HeardLine {
    capture::Dir dir;
    std::string bytes; // without the carriage return
    int64_t firstUs, lastUs;
    bool ended; // by a carriage return
};

// The instructions' exchanges a command line fits.
struct Match {
    int instruction; // catalogue::instructions[]
    int exchange;    // its behaviour's exchanges[]
};
class Decoder {
public:
    explicit Decoder(Settings s) : settings_(s) {}
    void feed(const capture::Chunk &c);
    // Nothing heard until `nowUs`: replies that did not come by then will not.
    void idle(int64_t nowUs);
    // The end of what is heard: everything open is settled.
    void finish();
    // The exchanges settled since the last call, in the order of their
    // commands.
    std::vector<Exchange> take();

private:
    struct Open {
        Exchange x;
        bool wantsReply = false;
        bool settled = false;
        std::vector<Match> matches; // the instructions' exchanges the command fits
    };
    struct Partial {
        std::string bytes;
        std::vector<int64_t> us; // when each byte came
        int64_t firstUs = 0, lastUs = 0;
    };
    void byte(capture::Dir dir, char c, int64_t us);
    void cut(Partial &p);
    void line(const HeardLine &l);
    void lineFrom(const HeardLine &l, const std::vector<int64_t> &us);
    void command(const HeardLine &l, size_t at);
    void reply(const HeardLine &l, size_t at);
    size_t replyTarget(const HeardLine &l, int address, const std::string &body) const;
    bool fits(const Open &o, std::string body) const;
    void settleBefore(size_t at);
    void settleAt(int address);
    void unasked(const HeardLine &l, int address, bool bad);
    int64_t quietUs() const;

    // The command heard last, and whether its reply came well: what the next
    // command may be the second exchange of.
    struct Last {
        std::vector<Match> matches;
        int address = -1;
        bool answered = false;
    };
    Settings settings_;
    Last last_;
    Partial partial_[3];
    std::deque<Open> open_;
    int64_t lastUs_ = 0;
};

// The whole of a capture at once.
std::vector<Exchange> decode(const std::vector<capture::Chunk> &chunks, Settings s);

// One exchange as the monitor prints it:
// "0.001042  01h  I7017/I7018  read analog inputs (decimal)  AIN=[...]  reply 4.1/36.0 ms  ok"
std::string exchangeLine(const Exchange &x);
std::string csvHeader();
std::string csvRow(const Exchange &x);

// ---------------------------------------------------------------------------
// The catalogue's side (monitor_frames.cpp).

// `body`: the command without its checksum and carriage return.
std::vector<Match> matchCommand(const std::string &body);
// Narrowed by the exchange before it: the second exchange of an
// instruction only after its first at the same address.
std::vector<Match> narrow(const std::vector<Match> &m, const std::vector<Match> &before, bool sameAddress);
std::string instructionNames(const std::vector<Match> &m);
// The command's data fields by their operands: "Chan=0 AOUT=+05.000".
std::string commandValues(const catalogue::Exchange &x, const std::string &body);
// The reply's checks and values against the exchange; `body` from the start
// character on, without the checksum.
void checkReply(const catalogue::Exchange &x, const std::string &body, Exchange &out);

} // namespace vhost::monitor

#endif
