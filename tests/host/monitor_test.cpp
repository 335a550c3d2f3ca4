// The line monitor's decoder on a driven clock: what a listener heard, with
// its times, in; the monitor's lines out.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "monitor_auto.h"
#include "monitor_decode.h"
#include "monitor_stats.h"
#include "monitor_view.h"
#include "wire_format.h"

namespace {

using vhost::capture::Chunk;
using vhost::capture::Dir;

const Dir L = Dir::Line, TX = Dir::Tx, RX = Dir::Rx;
const char *const AIN_REPLY = ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r";

TEST(Monitor, DecodesWhatItHeardIntoExchanges)
{
    const struct {
        const char *name;
        std::vector<Chunk> heard;
        std::vector<std::string> lines;
        bool checksum = false;
    } table[] = {
        {"a good analog read, its reply in two bursts",
         {{0, L, "#01\r"}, {1500, L, std::string(AIN_REPLY).substr(0, 20)}, {30000, L, AIN_REPLY + 20}},
         {"0.000000  01h  I7017/I7018  read analog inputs (decimal)  AIN=[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]  "
          "reply 1.5/30.0 ms  ok"}},
        {"an analog read in hex with an input that has no value",
         {{0, L, "#02\r"}, {1000, L, ">20004000-0000000000007FFFE0001000\r"}},
         {"0.000000  02h  I7017/I7018  read analog inputs (hex)  AIN=[8192,16384,open,0,0,32767,57344,4096]  "
          "reply 1.0/1.0 ms  ok"}},
        {"a digital read, and a write with the read that follows it",
         {{0, L, "@04\r"},
          {1000, L, ">2A55\r"},
          {9000, L, "@081\r"},
          {10000, L, ">\r"},
          {12000, L, "@08\r"},
          {13000, L, ">010E\r"}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  IO=0x2A55  reply 1.0/1.0 ms  ok",
          "0.009000  08h  I7060  write digital outputs  DOUT=1  reply 1.0/1.0 ms  ok",
          "0.012000  08h  I7060  read digital I/O  IO=0x010E  reply 1.0/1.0 ms  ok"}},
        {"a counter",
         {{0, L, "#040\r"}, {1000, L, "!0400123\r"}},
         {"0.000000  04h  I7RDC  read counter  Chan=0 Count=291  reply 1.0/1.0 ms  ok"}},
        {"a status read with checksums",
         {{0, L, "~05013\r"}, {2000, L, "!0500E6\r"}},
         {"0.000000  05h  I7RDMS  read module status  Status=0x00  reply 2.0/2.0 ms  ok"},
         true},
        {"a refusal",
         {{0, L, "#031+05.000\r"}, {1000, L, "?03\r"}},
         {"0.000000  03h  I7024  write analog output  Chan=1 AOUT=+05.000  reply 1.0/1.0 ms  refused"}},
        {"a bad checksum",
         {{0, L, "~05013\r"}, {2000, L, "!050000\r"}},
         {"0.000000  05h  I7RDMS  read module status  -  reply 2.0/2.0 ms  bad checksum"},
         true},
        {"a reply of the wrong length",
         {{0, L, "@04\r"}, {1000, L, ">2A5\r"}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  -  reply 1.0/1.0 ms  wrong length"}},
        {"no reply, then the next module answers",
         {{0, L, "@04\r"}, {50000, L, "@06\r"}, {51000, L, ">A500\r"}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  -  -  no reply",
          "0.050000  06h  I7041/I7052/I7053  read digital I/O  IO=0xA500  reply 1.0/1.0 ms  ok"}},
        {"a reply after the next command started",
         {{0, TX, "~010\r"}, {60000, TX, "~020\r"}, {60500, RX, "!0100\r"}},
         {"0.000000  01h  I7RDMS  read module status  Status=0x00  reply 60.5/60.5 ms  late reply",
          "0.060000  02h  I7RDMS  read module status  -  -  no reply"}},
        {"a reply nobody asked for", {{0, L, "!0500\r"}}, {"0.000000  05h  -  reply  -  -  unasked reply"}},
        {"a second master: a command while a reply is due",
         {{0, L, "~010\r"}, {500, L, "~020\r"}, {2000, L, "!0100\r"}},
         {"0.000000  01h  I7RDMS  read module status  Status=0x00  reply 2.0/2.0 ms  ok",
          "0.000500  02h  I7RDMS  read module status  -  -  second master, no reply"}},
        {"a late reply inside the next exchange, both replies of one form",
         {{0, L, "@0A\r"}, {50000, L, "@0E\r"}, {51000, L, ">1111\r"}, {53000, L, ">2222\r"}},
         {"0.000000  0Ah  I7041/I7052/I7053  read digital I/O  IO=0x2222  reply 53.0/53.0 ms  late reply",
          "0.050000  0Eh  I7041/I7052/I7053  read digital I/O  IO=0x1111  reply 1.0/1.0 ms  ok"}},
        {"a late reply inside the next exchange, of another form than its reply",
         {{0, L, "@0A\r"}, {50000, L, "#0E\r"}, {51000, L, ">1111\r"}, {53000, L, AIN_REPLY}},
         {"0.000000  0Ah  I7041/I7052/I7053  read digital I/O  IO=0x1111  reply 51.0/51.0 ms  late reply",
          "0.050000  0Eh  I7017/I7018  read analog inputs (decimal)  AIN=[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]  "
          "reply 3.0/3.0 ms  ok"}},
        {"noise before a reply, a stray command character in it",
         {{0, L, "@04\r"}, {1000, L, "\xFF%>2A55\r"}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  IO=0x2A55  reply 1.0/1.0 ms  ok"}},
        {"a late reply after the next module's exchange",
         {{0, L, "~050\r"}, {100000, L, "@04\r"}, {101000, L, ">2A55\r"}, {250000, L, "!0500\r"}},
         {"0.000000  05h  I7RDMS  read module status  Status=0x00  reply 250.0/250.0 ms  late reply",
          "0.100000  04h  I7041/I7052/I7053  read digital I/O  IO=0x2A55  reply 1.0/1.0 ms  ok"}},
        {"a module babbling instead of its reply, heard on the wire",
         {{0, L, "@04\r"}, {1500, L, "\x9A\xB3\xC1"}, {100000, L, "#01\r"}, {101500, L, AIN_REPLY}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  -  reply 1.5/1.5 ms  garbled",
          "0.100000  01h  I7017/I7018  read analog inputs (decimal)  AIN=[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]  "
          "reply 1.5/1.5 ms  ok"}},
        {"a babble, and the host's next command only after the reply window (a listener's tick between)",
         {{0, L, "@04\r"}, {1500, L, "\x9A\xB3\xC1"}, {600500, L, ""}, {800000, L, "#01\r"}, {801500, L, AIN_REPLY}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  -  reply 1.5/1.5 ms  garbled",
          "0.800000  01h  I7017/I7018  read analog inputs (decimal)  AIN=[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]  "
          "reply 1.5/1.5 ms  ok"}},
        {"the same babble as the host read it",
         {{0, TX, "@04\r"}, {1500, RX, "\x9A\xB3\xC1"}, {100000, TX, "#01\r"}, {101500, RX, AIN_REPLY}},
         {"0.000000  04h  I7041/I7052/I7053  read digital I/O  -  reply 1.5/1.5 ms  garbled",
          "0.100000  01h  I7017/I7018  read analog inputs (decimal)  AIN=[1,2.5,-3.25,0,5.123,-10.5,9.999,0.25]  "
          "reply 1.5/1.5 ms  ok"}},
        {"a reply garbled by a collision",
         {{0, L, "@06\r"}, {2000, L, ">A\x9A\xB3\xC1\xD2+05.000\r"}},
         {"0.000000  06h  I7041/I7052/I7053  read digital I/O  -  reply 2.0/2.0 ms  garbled"}},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        vhost::monitor::Settings s;
        s.checksum = t.checksum;
        s.baud = 19200;
        std::vector<std::string> got;
        for (const vhost::monitor::Exchange &x : vhost::monitor::decode(t.heard, s))
            got.push_back(vhost::monitor::exchangeLine(x));
        EXPECT_EQ(got, t.lines);
    }
}

// A polling cycle, `n` times over, 100 ms apart: each cycle's chunks with
// their times from the cycle's start.
std::vector<Chunk> cycles(int n, const std::vector<Chunk> &cycle)
{
    std::vector<Chunk> out;
    for (int i = 0; i < n; ++i)
        for (const Chunk &c : cycle)
            out.push_back({c.us + i * 100000, c.dir, c.bytes});
    return out;
}

// What the summary says of faults that come together: a hint only where
// a pattern repeats, with its figures.
TEST(Monitor, HintsLinkFaultsThatComeTogether)
{
    const std::string ain0E = ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r";
    const struct {
        const char *name;
        std::vector<Chunk> heard;
        std::vector<std::string> hints;
        const char *summaryLine = nullptr; // one line the summary has
    } table[] = {
        // A late reply without an address goes to the exchange whose
        // replies have its form: 0Ah's digital word is not 0Eh's analog
        // reply.
        {"0Ah's late reply comes inside 0Eh's exchange, of another form than 0Eh's",
         cycles(5, {{0, L, "@0A\r"}, {50000, L, "#0E\r"}, {51000, L, ">1111\r"}, {53000, L, ain0E}}),
         {"hint: 5 of 5 replies from 0Ah came after the next command had started: 0Ah answers after the master "
          "has given up on it (its time-out is too short for 0Ah, or a USB adapter holds the bytes back)"},
         "  0Ah: 5 exchanges; reply median 51.0 ms, p99 51.0 ms, max 51.0 ms; late reply x 5"},
        // Two replies of one form: which is whose the wire does not say; the
        // newer exchange takes the first, and the late one is still named.
        {"0Ah's late reply comes inside 0Eh's exchange, of the same form",
         cycles(4, {{0, L, "@0A\r"}, {50000, L, "@0E\r"}, {51000, L, ">1111\r"}, {53000, L, ">2222\r"}}),
         {"hint: 4 of 4 replies from 0Ah came after the next command had started: 0Ah answers after the master "
          "has given up on it (its time-out is too short for 0Ah, or a USB adapter holds the bytes back)"}},
        {"04h's late reply lands in its own next exchange",
         cycles(3, {{0, L, "@04\r"}, {50000, L, "#040\r"}, {51000, L, ">2A55\r"}, {53000, L, "!0400123\r"}}),
         {"hint: 3 of 3 no-replies at 04h were followed by a wrong-length reply in 04h's next exchange: 04h answers "
          "after the master has given up on it (its time-out is too short for 04h, or a USB adapter holds the bytes "
          "back)"}},
        {"04h's late replies land in its own later exchanges",
         cycles(3, {{0, L, "@04\r"},
                    {50000, L, "@05\r"},
                    {51000, L, ">1111\r"},
                    {60000, L, "#040\r"},
                    {61000, L, ">2A55\r"},
                    {63000, L, "!0400123\r"}}),
         {"hint: of 6 exchanges at 04h, 3 had no reply and 3 a reply late or of the wrong length: 04h answers after "
          "the master has given up on it, and its replies land in its later exchanges (its time-out is too short for "
          "04h, or a USB adapter holds the bytes back)"}},
        {"a reply that repeats its address comes after the next command",
         cycles(3, {{0, L, "~0A0\r"}, {50000, L, "~0E0\r"}, {51000, L, "!0A00\r"}, {53000, L, "!0E00\r"}}),
         {"hint: 3 of 3 replies from 0Ah came after the next command had started: 0Ah answers after the master "
          "has given up on it (its time-out is too short for 0Ah, or a USB adapter holds the bytes back)"}},
        {"a second master polls 02h while 01h's reply is due",
         cycles(3, {{0, L, "~010\r"}, {500, L, "~020\r"}, {2000, L, "!0100\r"}}),
         {"hint: 3 of 3 commands to 02h came while 01h's reply was due: a second master on the line sends them "
          "without waiting for the replies (another PC, panel or gateway polling this line; a line has one master)"},
         "  02h: 3 exchanges; no reply x 3, second master x 3"},
        {"one master that goes on at once after a no-reply",
         cycles(4, {{0, L, "@0A\r"}, {1000, L, "@0E\r"}, {3000, L, ">2222\r"}}),
         {},
         "  0Eh: 4 exchanges; reply median 2.0 ms, p99 2.0 ms, max 2.0 ms; second master x 4"},
        {"a healthy line",
         cycles(6, {{0, L, "@0A\r"}, {1000, L, ">1111\r"}, {3000, L, "@0E\r"}, {5000, L, ">2222\r"}}),
         {},
         "  0Ah: 6 exchanges; reply median 1.0 ms, p99 1.0 ms, max 1.0 ms"},
        {"one late reply among good exchanges",
         [] {
             std::vector<Chunk> h =
                 cycles(6, {{0, L, "@0A\r"}, {1000, L, ">1111\r"}, {3000, L, "@0E\r"}, {5000, L, ">2222\r"}});
             for (const Chunk &c :
                  cycles(1, {{0, L, "@0A\r"}, {50000, L, "@0E\r"}, {51000, L, ">1111\r"}, {53000, L, ">2222\r"}}))
                 h.push_back({c.us + 600000, c.dir, c.bytes});
             return h;
         }(),
         {}},
        {"a module that is not there: its no-replies, and the next module answers well",
         cycles(5, {{0, L, "@0A\r"}, {50000, L, "@0E\r"}, {51000, L, ">2222\r"}}),
         {}},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        vhost::monitor::Settings s;
        s.baud = 19200;
        vhost::monitor::MonitorStats st;
        for (const vhost::monitor::Exchange &x : vhost::monitor::decode(t.heard, s))
            st.add(x);
        EXPECT_EQ(st.hints(), t.hints);
        const std::vector<std::string> summary = st.summary();
        if (t.summaryLine) {
            EXPECT_NE(std::find(summary.begin(), summary.end(), t.summaryLine), summary.end())
                << ::testing::PrintToString(summary);
        }
    }
}

// The live screen at the terminal's size: what matters most (the hints)
// stays whole, the modules that do not fit are counted, and no line is
// wider than the terminal.
TEST(Monitor, LiveScreenFitsTheTerminal)
{
    std::vector<Chunk> heard =
        cycles(5, {{0, L, "@0A\r"}, {50000, L, "#0E\r"}, {51000, L, ">1111\r"}, {53000, L, std::string(AIN_REPLY)}});
    for (int a = 0x10; a < 0x18; ++a)
        for (const Chunk &c :
             cycles(2, {{0, L, "@" + wire::hex2(static_cast<uint32_t>(a)) + "\r"}, {1000, L, ">2A55\r"}}))
            heard.push_back({c.us + 600000 + (a - 0x10) * 5000, c.dir, c.bytes});
    vhost::monitor::Settings s;
    s.baud = 19200;
    vhost::monitor::MonitorStats st;
    for (const vhost::monitor::Exchange &x : vhost::monitor::decode(heard, s))
        st.add(x);
    const struct {
        int columns, rows;
        std::vector<std::string> expect; // in this order
    } table[] = {
        {100,
         0,
         {"monitor  1.0 s  ",
          "\n0Ah  I7041/I7052/I7053  5 exchanges  51.0/51.0/51.0 ms  heard 0.5 s ago\n     late reply x 5\n", "\n0Eh  ",
          "\n17h  ", "\nhint: 5 of 5 replies from 0Ah", "\nlast fault:\n  0.400000  0Ah  "}},
        {60, 16, {"monitor  ", "\n0Ah  ", "more addresses: a taller terminal shows them)\nhint: 5 of 5", "holds the"}},
        {40, 5, {"monitor  "}},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(std::to_string(t.columns) + "x" + std::to_string(t.rows));
        const vhost::monitor::MonitorView view(stdout, t.columns, t.rows);
        const std::vector<std::string> lines = view.frame(st, 1000000);
        std::string screen;
        for (const std::string &l : lines) {
            EXPECT_LE(l.size(), static_cast<size_t>(t.columns)) << l;
            screen += l + "\n";
        }
        if (t.rows > 0) {
            EXPECT_LE(lines.size(), static_cast<size_t>(t.rows)) << screen;
        }
        size_t at = 0;
        for (const std::string &e : t.expect) {
            const size_t found = screen.find(e, at);
            EXPECT_NE(found, std::string::npos) << "'" << e << "' (in this order)\n" << screen;
            at = found == std::string::npos ? at : found + 1;
        }
    }
}

// The line heard a character at a time at `baud`: each line's characters
// one character time apart, the lines 5 ms apart.
std::vector<Chunk> paced(const std::vector<std::string> &lines, int baud, int times)
{
    std::vector<Chunk> out;
    int64_t us = 0;
    for (int i = 0; i < times; ++i)
        for (const std::string &l : lines) {
            for (char c : l)
                out.push_back({us += 10000000 / baud, L, std::string(1, c)});
            us += 5000;
        }
    return out;
}

// The settings found from what is heard: the checksum setting from the
// commands, the speed from a clean decoding whose characters come at it.
TEST(Monitor, FindsTheLineSettingsFromWhatItHears)
{
    using vhost::monitor::Trial;
    const std::vector<std::string> plain = {"@04\r",  ">2A55\r", "#040\r", "!0400123\r", std::string("#01\r"),
                                            AIN_REPLY};
    const std::vector<std::string> summed = {"~05013\r", "!0500E6\r"};
    const struct {
        const char *name;
        std::vector<Chunk> heard;
        int baud; // tried
        std::optional<bool> checksum;
        Trial::Verdict verdict;
        int nearest; // the speed the characters came at
    } table[] = {
        {"19200 heard at 19200", paced(plain, 19200, 2), 19200, false, Trial::CLEAN, 19200},
        {"19200 heard at 9600: the characters come too fast", paced(plain, 19200, 2), 9600, false, Trial::UNCLEAN,
         19200},
        {"9600 heard at 19200: too slow", paced(plain, 9600, 2), 19200, false, Trial::UNCLEAN, 9600},
        {"115200 heard at 115200", paced(plain, 115200, 2), 115200, false, Trial::CLEAN, 115200},
        {"commands with checksums", paced(summed, 38400, 4), 38400, true, Trial::CLEAN, 38400},
        {"garbage: a wrong speed on a real line", cycles(4, {{0, L, "\x9A\xB3@\xC1\r"}, {1000, L, "\xD2\x91>\x88\r"}}),
         9600, std::nullopt, Trial::UNCLEAN, 0},
        {"too few commands to tell the checksum", paced({"@04\r", ">2A55\r"}, 9600, 1), 9600, std::nullopt,
         Trial::UNCLEAN, 0},
    };
    for (const auto &t : table) {
        SCOPED_TRACE(t.name);
        Trial trial(t.baud, std::nullopt);
        for (const Chunk &c : t.heard)
            trial.feed(c);
        trial.idle(t.heard.back().us + 1000000);
        EXPECT_EQ(trial.verdict(true), t.verdict);
        EXPECT_EQ(trial.checksum(), t.checksum);
        EXPECT_EQ(trial.rate().nearestSpeed(), t.nearest);
    }
}

// A capture read back: every line but one cut short at the end.
TEST(Monitor, CaptureReadsBackAndLeavesOutATornLastLine)
{
    const Chunk written[] = {{155, Dir::Tx, "#01\r"}, {9200, Dir::Rx, "> \\\x01\xFF\r\n"}};
    std::string file = "# veldran capture 1\n";
    for (const Chunk &c : written)
        file += vhost::capture::formatChunk(c) + "\n";
    std::istringstream in(file + "9300 rx >12");
    const vhost::capture::Capture cap = vhost::capture::read(in);
    ASSERT_EQ(cap.chunks.size(), 2u);
    EXPECT_TRUE(cap.torn);
    EXPECT_EQ(cap.badLine, 0);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(cap.chunks[i].us, written[i].us);
        EXPECT_EQ(cap.chunks[i].dir, written[i].dir);
        EXPECT_EQ(cap.chunks[i].bytes, written[i].bytes);
    }
}

} // namespace
