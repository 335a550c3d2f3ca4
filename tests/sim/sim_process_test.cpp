// The simulator as a process: READY line, link, controlling terminal, the
// line over a real pseudo-terminal, the control channel and stopping.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "answers.h"
#include "comm.h"
#include "sim_process.h"

using namespace vsim;

namespace {

std::string tempPath(const std::string &name)
{
    const char *dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/vsim-" + std::to_string(getpid()) + "-" + name;
}

// The host's end of the line: the pty slave, raw.
class Port {
public:
    explicit Port(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ < 0)
            return;
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Port()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    bool ok() const { return fd_ >= 0; }

    void send(const std::string &s) { ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size())); }

    // Everything up to and including a carriage return, or what came before
    // the time ran out.
    std::string line(int timeoutMs = 3000)
    {
        std::string got;
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, timeoutMs) <= 0)
                return got;
            char c;
            while (read(fd_, &c, 1) == 1) {
                got += c;
                if (c == '\r')
                    return got;
            }
        }
    }

    std::string ask(const std::string &cmd)
    {
        send(cmd + "\r");
        return line();
    }

private:
    int fd_ = -1;
};

class SimOnPty : public ::testing::Test {
protected:
    void SetUp() override
    {
        opts.plant = VELDRAN_EXAMPLE_PLANT;
        opts.link = tempPath("link");
        opts.log = tempPath("log");
        std::remove(opts.log.c_str());
    }
    void TearDown() override
    {
        if (sim.running())
            sim.stop();
        std::remove(opts.log.c_str());
        unlink(opts.link.c_str());
    }
    void start()
    {
        std::string err;
        ASSERT_TRUE(sim.start(opts, &err)) << err;
    }
    std::string log()
    {
        std::ifstream in(opts.log);
        std::ostringstream os;
        os << in.rdbuf();
        return os.str();
    }

    SimOptions opts;
    SimProcess sim;
};

TEST_F(SimOnPty, ReadyLinkAndControllingTerminal)
{
    start();
    ASSERT_EQ(sim.slavePath().rfind("/dev/pts/", 0), 0u) << sim.slavePath();
    char target[256] = {};
    ASSERT_GT(readlink(opts.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.slavePath(), target);

    // Its own session, with the slave as its controlling terminal.
    std::ifstream statf("/proc/" + std::to_string(sim.pid()) + "/stat");
    std::string statline((std::istreambuf_iterator<char>(statf)), std::istreambuf_iterator<char>());
    std::istringstream fields(statline.substr(statline.rfind(')') + 2));
    std::string state;
    long ppid, pgrp, session, ttyNr;
    fields >> state >> ppid >> pgrp >> session >> ttyNr;
    EXPECT_EQ(session, sim.pid());
    struct stat st;
    ASSERT_EQ(stat(sim.slavePath().c_str(), &st), 0);
    EXPECT_EQ(static_cast<dev_t>(ttyNr), st.st_rdev);

    EXPECT_EQ(sim.command("ping"), "OK");
    EXPECT_EQ(sim.stop(), 0);
    struct stat ls;
    EXPECT_NE(lstat(opts.link.c_str(), &ls), 0) << "link left behind";
}

TEST_F(SimOnPty, AnswersOverThePtyAndLogsBothWays)
{
    start();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    const struct {
        const char *command;
        const char *reply;
    } table[] = {
        {"#01", ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r"},
        {"#02", ">20004000-0000000000007FFFE0001000\r"},
        {"#021+05.000", "?02\r"},
        {"#031+05.000", ">\r"},
        {"@04", ">2A55\r"},
        {"#042", "!0411170\r"},
        {"@051234", ">\r"},
        {"@05", ">1234\r"},
        {"@06", ">A500\r"},
        {"@07", ">1234\r"},
        {"@08", ">000E\r"},
        {"@09", ">000C\r"},
        {"~090", "!0900\r"},
    };
    for (const auto &t : table)
        EXPECT_EQ(port.ask(t.command), t.reply) << t.command;

    // Nobody at 0x0A: silence, and the next command is answered as usual.
    port.send("#0A\r");
    EXPECT_EQ(port.ask("@06"), ">A500\r");

    EXPECT_EQ(sim.command("get 3 aout 1"), "OK 5.000");
    EXPECT_EQ(sim.command("get 5 dout"), "OK 1234");
    const std::string stats = *sim.command("stats");
    EXPECT_NE(stats.find("commands=15 replies=14"), std::string::npos) << stats;
    EXPECT_EQ(sim.stop(), 0);
    const std::string l = log();
    EXPECT_NE(l.find("rx \"#042\\r\""), std::string::npos);
    EXPECT_NE(l.find("tx \"!0411170\\r\""), std::string::npos);
    EXPECT_NE(l.find("no such module"), std::string::npos);
}

TEST_F(SimOnPty, ControlChangesInputsAndSwitchesFaults)
{
    start();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(sim.command("set 7 din 0xBEEF"), "OK");
    EXPECT_EQ(port.ask("@07"), ">BEEF\r");
    EXPECT_EQ(sim.command("set 1 ain 3 -7.5"), "OK");
    EXPECT_EQ(port.ask("#013"), ">-07.500\r");

    EXPECT_EQ(sim.command("fault 6 nocr count=1").value_or("").substr(0, 2), "OK");
    port.send("@06\r");
    EXPECT_EQ(port.line(300), ">A500"); // no carriage return comes
    EXPECT_EQ(port.ask("@06"), ">A500\r");

    EXPECT_EQ(sim.command("fault * split pieces=3 delay=20 count=1").value_or("").substr(0, 2), "OK");
    EXPECT_EQ(port.ask("@07"), ">BEEF\r"); // arrives in pieces, whole

    EXPECT_EQ(sim.command("fault 7 silence count=1").value_or("").substr(0, 2), "OK");
    port.send("@07\r");
    EXPECT_EQ(port.line(300), "");
    EXPECT_EQ(port.ask("@07"), ">BEEF\r");
}

TEST_F(SimOnPty, EndOfControlInputDoesNotStopIt)
{
    start();
    sim.closeControl();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask("@06"), ">A500\r");
    EXPECT_EQ(sim.stop(), 0);
}

TEST_F(SimOnPty, QuitEndsItCleanly)
{
    start();
    EXPECT_EQ(sim.command("quit"), "OK");
    EXPECT_EQ(sim.wait(5000), 0);
    struct stat ls;
    EXPECT_NE(lstat(opts.link.c_str(), &ls), 0) << "link left behind";
}

TEST_F(SimOnPty, LinkIsReplacedButNotAFile)
{
    ASSERT_EQ(symlink("/nonexistent", opts.link.c_str()), 0);
    start();
    char target[256] = {};
    ASSERT_GT(readlink(opts.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(sim.slavePath(), target);
    EXPECT_EQ(sim.stop(), 0);

    {
        std::ofstream(opts.link) << "precious";
    }
    opts.quiet = true;
    std::string err;
    EXPECT_FALSE(sim.start(opts, &err));
    std::ifstream in(opts.link);
    std::string content;
    in >> content;
    EXPECT_EQ(content, "precious");
}

TEST_F(SimOnPty, BadPlantFailsWithoutReady)
{
    const std::string plant = tempPath("bad.toml");
    {
        std::ofstream(plant) << "[[module]]\naddress = 1\nmodel = 7099\n";
    }
    opts.plant = plant;
    opts.quiet = true;
    std::string err;
    EXPECT_FALSE(sim.start(opts, &err));
    EXPECT_NE(err.find("READY"), std::string::npos) << err;
    std::remove(plant.c_str());
}

TEST_F(SimOnPty, ChecksumModuleOverThePty)
{
    start();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    ASSERT_EQ(sim.command("set 4 checksum 1"), "OK");
    EXPECT_EQ(port.ask("@04" + checksum("@04")), ">2A55" + checksum(">2A55") + "\r");
    port.send("@04\r"); // no checksum: no reply
    EXPECT_EQ(port.ask("~040" + checksum("~040")), "!0400" + checksum("!0400") + "\r");
}

TEST_F(SimOnPty, ReplyTimeIsBoundedAtLowBaud)
{
    opts.extra = {"--baud", "1200", "--turnaround-ms", "0"};
    start();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    // 58 characters at 1200 baud take about half a second; allow plenty.
    EXPECT_EQ(port.ask("#01").size(), 58u);
    const std::string stats = *sim.command("stats");
    EXPECT_NE(stats.find("baud=1200 turnaround=0"), std::string::npos) << stats;
}

// The adapter's settings: out of range on the command line, no start; given,
// they override the plant's and the replies come through it in bursts.
TEST_F(SimOnPty, AdapterOptionsOverrideThePlantAndAreChecked)
{
    const std::string plant = tempPath("adapter.toml");
    {
        std::ofstream(plant) << "[line]\nadapter_latency_ms = 100\nadapter_jitter_ms = 7\n"
                                "[[module]]\naddress = 1\nmodel = 7052\n";
    }
    opts.plant = plant;
    opts.quiet = true;
    const std::vector<std::vector<std::string>> bad = {
        {"--adapter-latency", "255.5"}, {"--adapter-latency", "-1"}, {"--adapter-latency", "nan"},
        {"--adapter-jitter", "50.5"},   {"--adapter-jitter", "inf"},
    };
    for (const auto &b : bad) {
        opts.extra = b;
        std::string err;
        EXPECT_FALSE(sim.start(opts, &err)) << b[0] << " " << b[1];
    }
    opts.extra = {"--adapter-latency", "16"};
    start();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask("@01"), ">0000\r");
    const std::string stats = *sim.command("stats");
    EXPECT_NE(stats.find(" bursts=1 "), std::string::npos) << stats;
    EXPECT_NE(stats.find(" adapter_latency_ms=16 adapter_jitter_ms=7"), std::string::npos) << stats;
    std::remove(plant.c_str());
}

// The line runs at the speed the host set on the device: here the POSIX
// serial library on the pty, against a simulator that assumed 19200.  A
// module set to another speed than the host's hears nothing.
TEST_F(SimOnPty, PacesAtTheSpeedTheHostSet)
{
    start();
    setenv("VELDRAN_COM1", opts.link.c_str(), 1);
    static char rx[512], tx[512];
    auto ask = [](const std::string &cmd) {
        const std::string line = cmd + "\r";
        _COMwrite(1, line.data(), static_cast<int32_t>(line.size()));
        std::string got;
        for (int i = 0; i < 3000 && got.find('\r') == std::string::npos; ++i) // 200 us a wait at most
            while (_COMrcvqueue(1) > 0)
                got += static_cast<char>(_COMgetc(1));
        return got;
    };
    for (int baud : {9600, 115200}) {
        SCOPED_TRACE(baud);
        ASSERT_EQ(_COMsetup(1, sizeof rx, rx, sizeof tx, tx, baud, 'N', 1, 8), 0);
        EXPECT_EQ(ask("@06"), ">A500\r");
        const std::string stats = *sim.command("stats");
        EXPECT_NE(stats.find(" baud=" + std::to_string(baud) + " "), std::string::npos) << stats;
    }
    ASSERT_EQ(sim.command("set 6 baud 19200"), "OK");
    EXPECT_EQ(ask("@06"), "");
    EXPECT_EQ(ask("@07"), ">1234\r");
    _COMdisable(1);
    EXPECT_NE(sim.command("stats")->find(" wrongbaud=1 "), std::string::npos);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_NE(log().find("-- no reply: module 06h listens at 19200 baud, line at 115200"), std::string::npos) << log();
}

TEST_F(SimOnPty, AsAProcessGroupLeaderItStillGetsItsOwnSession)
{
    opts.groupLeader = true;
    start();
    Port port(opts.link);
    ASSERT_TRUE(port.ok());
    EXPECT_EQ(port.ask("@06"), ">A500\r");
    EXPECT_EQ(sim.command("ping"), "OK");
    EXPECT_EQ(sim.stop(), 0); // passed on to the one that holds the line
    struct stat ls;
    EXPECT_NE(lstat(opts.link.c_str(), &ls), 0) << "link left behind";
}

TEST_F(SimOnPty, AnswersOnAGivenTty)
{
    // The test holds a pty master; the simulator opens the slave as its tty.
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC); // not the child's
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string slave = ptsname(master);
    opts.link.clear();
    opts.extra = {"--tty", slave, "--baud", "9600"};
    start();
    EXPECT_EQ(sim.slavePath(), slave);
    const std::string cmd = "@07\r";
    ASSERT_EQ(write(master, cmd.data(), cmd.size()), static_cast<ssize_t>(cmd.size()));
    std::string got;
    while (got.find('\r') == std::string::npos) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 3000) <= 0)
            break;
        char buf[64];
        const ssize_t n = read(master, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, ">1234\r");
    EXPECT_EQ(sim.stop(), 0);
    close(master);
}

TEST_F(SimOnPty, GivenTtyThatGoesAwayEndsIt)
{
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC); // not the child's
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    opts.link.clear();
    opts.extra = {"--tty", ptsname(master)};
    start();
    close(master); // a hang-up on the simulator's side
    EXPECT_EQ(sim.wait(5000), 1);
    EXPECT_NE(log().find("is gone"), std::string::npos) << log();
}

} // namespace
