// The line monitor's decoder on a driven clock: what a listener heard, with
// its times, in; the monitor's lines out.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "capture.h"
#include "monitor_decode.h"

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
