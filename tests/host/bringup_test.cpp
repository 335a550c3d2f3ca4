// Bring-up through the scripted serial library.  send: the reply as it
// came, with the bursts in which the receive queue received it (a serial
// adapter's deliveries) when there was more than one; when nothing came, the
// first line tried at the other speeds and a summary of what answered.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "bringup.h"
#include "scripted_comm.h"

namespace {

// The times of "N bursts: a chars at T ms, b at T ms, ...".
std::vector<double> burstTimes(const std::string &out)
{
    std::vector<double> times;
    for (size_t at = out.find(" at "); at != std::string::npos; at = out.find(" at ", at + 1))
        times.push_back(std::stod(out.substr(at + 4)));
    return times;
}

TEST(Send, ShowsTheBurstsOfAReply)
{
    struct Case {
        // Each piece after its count of receive polls; send sleeps a
        // millisecond between two polls.
        // Empty: silence; the probes at the other speeds then get, one
        // write each, silence and at last `probe` ("": silence throughout).
        std::vector<std::pair<int32_t, std::string>> pieces;
        const char *reply;  // the reply line up to its times
        const char *bursts; // "": no bursts line
        int probeSilences = 0;
        const char *probe = "";
        vhost::Exit status = vhost::EXIT_OK;
        const char *summary = ""; // the last line, when nothing answered
    } cases[] = {
        {{{0, "!017017\r"}}, "< !017017\\r   first byte ", ""},
        {{{0, "!0170"}, {20, "17"}, {40, "\r"}}, "< !017017\\r   first byte ", "\n  3 bursts: 5 chars at "},
        {{{0, "!"}, {20, "01"}}, "< !01   first byte ", "\n  2 bursts: 1 char at "},
        // 19200 is the first speed tried after 9600, 38400 the next.
        {{},
         "< (nothing in 5 ms)\n",
         "",
         1,
         "!017017\r",
         vhost::EXIT_NO_ANSWER,
         "send: nothing answered at 9600 baud; at 38400 baud the first command was answered: try --baud 38400\n"},
        {{},
         "< (nothing in 5 ms)\n",
         "",
         0,
         "",
         vhost::EXIT_NO_ANSWER,
         "send: nothing answered at any speed: check the address, --checksum and the wiring\n"},
    };
    for (const Case &c : cases) {
        scommReset();
        if (c.pieces.empty())
            scommQueueSilence();
        else
            scommQueuePieces(c.pieces);
        for (int i = 0; i < c.probeSilences; ++i)
            scommQueueSilence();
        if (*c.probe)
            scommQueueReply(c.probe, static_cast<int32_t>(std::string(c.probe).size()), nullptr);
        vhost::LineOptions line;
        line.baud = 9600;
        line.timeoutMs = c.pieces.empty() ? 5 : 60;
        ::testing::internal::CaptureStdout();
        const vhost::Exit status = vhost::sendCommand(line, {"$012"}, false);
        fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(status, c.status) << out;
        EXPECT_EQ(out.rfind("send: COM1 at 9600 baud, no checksums\n> $012\\r\n", 0), 0u) << out;
        EXPECT_NE(out.find(c.reply), std::string::npos) << out;
        if (*c.summary) {
            // Every other speed tried once, with the first line.
            char log[4096];
            scommLog(log, sizeof log);
            for (int baud : {19200, 38400, 57600, 115200, 4800, 2400, 1200})
                EXPECT_NE(std::string(log).find("setup 1 128 128 " + std::to_string(baud) + " "), std::string::npos)
                    << baud << "\n"
                    << log;
            ASSERT_GE(out.size(), std::string(c.summary).size()) << out;
            EXPECT_EQ(out.substr(out.size() - std::string(c.summary).size()), c.summary) << out;
        }
        const size_t at = out.find(" bursts: ");
        if (!*c.bursts) {
            EXPECT_EQ(at, std::string::npos) << out;
            continue;
        }
        ASSERT_NE(out.find(c.bursts), std::string::npos) << out;
        // Each burst at its own time: 20 polls are at least 19 ms.
        const std::vector<double> times = burstTimes(out.substr(at));
        ASSERT_EQ(times.size(), c.pieces.size()) << out;
        for (size_t i = 1; i < times.size(); ++i)
            EXPECT_GE(times[i] - times[i - 1], 19.0) << out;
    }
    scommReset();
}

// term from a pipe: each line of printable text sent, a line with an
// escape sequence (an arrow key nothing edited away) or another control
// character said on stderr and never sent, nor kept in the history.
TEST(Term, SendsTextAndNeverAnEscapeSequence)
{
    const struct {
        const char *typed;
        const char *written; // what reached the line, one "write" log line each
        const char *said;    // on stderr ("": nothing)
    } cases[] = {
        {"$012\nquit\n", "write 1 $012\\r\n", ""},
        {"\x1b[A\n", "", "term: not sent: the line holds an escape sequence (\\x1B[A)\n"},
        {"$01\x1b[D2\n$012\n!1\n", "write 1 $012\\r\nwrite 1 $012\\r\n",
         "term: not sent: the line holds an escape sequence ($01\\x1B[D2)\n"},
        {"$0\t12\r\n\x7f\n", "",
         "term: not sent: the line holds a control character ($0\\x0912)\n"
         "term: not sent: the line holds a control character (\\x7F)\n"},
    };
    for (const auto &c : cases) {
        scommReset();
        vhost::LineOptions line;
        line.baud = 9600;
        line.timeoutMs = 5;
        std::istringstream in(c.typed);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const vhost::Exit status = vhost::termCommand(line, false, in);
        fflush(stdout);
        const std::string out = ::testing::internal::GetCapturedStdout();
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(status, vhost::EXIT_OK) << out << err;
        EXPECT_EQ(err, c.said) << c.typed;
        char log[4096];
        scommLog(log, sizeof log);
        std::string writes;
        std::istringstream calls(log);
        for (std::string l; std::getline(calls, l);)
            if (l.rfind("write ", 0) == 0)
                writes += l + "\n";
        EXPECT_EQ(writes, c.written) << c.typed << "\n" << log;
    }
    scommReset();
}

// A port that would not open: the complaint on stderr, and no table
// heading over nothing on stdout.
TEST(Identify, NothingOnStdoutWhenThePortWouldNotOpen)
{
    scommReset();
    scommSetSetupResult(7);
    vhost::LineOptions line;
    line.baud = 9600;
    line.checksum = 0;
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const vhost::Exit status = vhost::identifyCommand(line, {1});
    fflush(stdout);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, vhost::EXIT_LINE) << out << err;
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("veldran-host: identify: "), std::string::npos) << err;
    scommReset();
}

} // namespace
