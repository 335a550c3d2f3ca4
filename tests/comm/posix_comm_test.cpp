// The POSIX serial library against a pseudo-terminal that each test holds:
// the test is the far end of the line on the master side.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "comm.h"
#include "comm_core.h"
#include "port_map.h"
#include "setup_cases.h"
#include "win_port_map.h"

namespace {

int64_t nowMs()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Bytes 0 to 255, then again, n in all.
std::string pattern(size_t n, unsigned step = 1)
{
    std::string s;
    for (size_t i = 0; i < n; ++i)
        s += static_cast<char>((i * step) & 0xFF);
    return s;
}

class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        name_ = ptsname(master_);
        // Held open by the test so that the line stays up across the
        // library's close and reopen, and so that its settings can be read.
        slave_ = open(name_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        if (slave_ >= 0)
            close(slave_);
        if (master_ >= 0)
            close(master_);
    }
    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string &name() const { return name_; }
    int slave() const { return slave_; }

    void send(const std::string &bytes)
    {
        size_t done = 0;
        int64_t deadline = nowMs() + 5000;
        while (done < bytes.size() && nowMs() < deadline) {
            ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else {
                pollfd p = {master_, POLLOUT, 0};
                poll(&p, 1, 10);
            }
        }
        ASSERT_EQ(done, bytes.size());
    }

    // Reads until n bytes have come or nothing has come for quietMs.
    std::string receive(size_t n, int quietMs = 2000)
    {
        std::string got;
        char buf[4096];
        while (got.size() < n) {
            pollfd p = {master_, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0)
                break;
            ssize_t r = read(master_, buf, sizeof buf);
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string name_;
};

// Polls the receive count until it reaches n or two seconds pass.
int32_t waitRcv(int32_t port, int32_t n)
{
    int64_t deadline = nowMs() + 2000;
    int32_t c = _COMrcvqueue(port);
    while (c < n && nowMs() < deadline) {
        poll(nullptr, 0, 1);
        c = _COMrcvqueue(port);
    }
    return c;
}

// Takes n characters the way the module does: one _COMgetc per poll that
// reports some.
std::string take(int32_t port, size_t n)
{
    std::string got;
    int64_t deadline = nowMs() + 5000;
    while (got.size() < n && nowMs() < deadline) {
        if (_COMrcvqueue(port) > 0) {
            int32_t c = _COMgetc(port);
            if (c < 0 || c > 255)
                break;
            got += static_cast<char>(c);
        } else {
            poll(nullptr, 0, 1);
        }
    }
    return got;
}

class PosixComm : public ::testing::Test {
protected:
    void SetUp() override
    {
        // No test may reach a real port.
        for (int n = 1; n <= 4; ++n) {
            std::string var = "VELDRAN_COM" + std::to_string(n);
            setenv(var.c_str(), ("/nonexistent/veldran-com" + std::to_string(n)).c_str(), 1);
        }
        ASSERT_TRUE(pty.ok());
        setenv("VELDRAN_COM1", pty.name().c_str(), 1);
        memset(rcv, 0, sizeof rcv);
        memset(xmit, 0, sizeof xmit);
    }
    void TearDown() override
    {
        for (int n = 1; n <= 4; ++n)
            _COMdisable(n);
    }
    int32_t open(int32_t baud = 19200) { return _COMsetup(1, sizeof rcv, rcv, sizeof xmit, xmit, baud, 'N', 1, 8); }

    Pty pty;
    char rcv[128];
    char xmit[128];
};

TEST_F(PosixComm, SetupPutsTheLineInRawModeWithTheGivenFraming)
{
    struct Case {
        int32_t baud;
        char parity;
        int32_t stop, data;
        speed_t speed;
        tcflag_t size;
    };
    // A pseudo-terminal carries eight data bits without parity only (see
    // below), at any rate.
    const Case cases[] = {
        {1200, 'N', 1, 8, B1200, CS8},   {2400, 'N', 2, 8, B2400, CS8},     {4800, 'n', 1, 8, B4800, CS8},
        {9600, 'N', 2, 8, B9600, CS8},   {19200, 'N', 1, 8, B19200, CS8},   {38400, 'N', 1, 8, B38400, CS8},
        {57600, 'N', 2, 8, B57600, CS8}, {115200, 'N', 1, 8, B115200, CS8},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.baud);
        // Each set-up closes and reopens the port opened by the one before.
        ASSERT_EQ(_COMsetup(1, 128, rcv, 128, xmit, c.baud, c.parity, c.stop, c.data), 0);
        termios t;
        ASSERT_EQ(tcgetattr(pty.slave(), &t), 0);
        EXPECT_EQ(cfgetospeed(&t), c.speed);
        EXPECT_EQ(cfgetispeed(&t), c.speed);
        EXPECT_EQ(t.c_cflag & CSIZE, c.size);
        bool parity = c.parity != 'N' && c.parity != 'n';
        EXPECT_EQ((t.c_cflag & PARENB) != 0, parity);
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parity == 'O' || c.parity == 'o');
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, c.stop == 2);
        EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
        EXPECT_NE(t.c_cflag & CLOCAL, 0u);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP), 0u);
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_cc[VMIN], 0);
    }
}

// The line's settings are read back: framing that the device cannot carry
// (a pseudo-terminal forces eight bits without parity) fails the set-up
// instead of leaving a line that silently runs otherwise.
TEST_F(PosixComm, SetupFailsWhenTheDeviceDoesNotTakeTheFraming)
{
    struct Case {
        char parity;
        int32_t data;
    };
    for (const Case &c : {Case{'E', 7}, Case{'O', 8}, Case{'N', 7}, Case{'e', 5}}) {
        SCOPED_TRACE(c.data);
        EXPECT_EQ(_COMsetup(1, 128, rcv, 128, xmit, 9600, c.parity, 1, c.data), comm::SETTINGS_REFUSED);
        EXPECT_EQ(_COMwrite(1, "x", 1), 0);
    }
    EXPECT_EQ(pty.receive(1, 50), "");
}

TEST_F(PosixComm, SetupRejectsEachBadArgumentWithItsOwnNumber)
{
    for (const SetupCase &c : badSetupCases(rcv, xmit)) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(open(), 0); // a failed set-up also closes the port it had
        EXPECT_EQ(_COMsetup(c.port, c.rcvSize, c.rcvBuf, c.xmitSize, c.xmitBuf, c.baud, c.parity, c.stop, c.data),
                  c.expected);
        if (c.expected != comm::BAD_PORT) {
            EXPECT_EQ(_COMwrite(1, "x", 1), 0);
            EXPECT_EQ(_COMrcvqueue(1), 0);
        }
        _COMdisable(1);
    }
    EXPECT_EQ(pty.receive(1, 50), "");
}

TEST_F(PosixComm, SetupFailsCleanlyWithoutASerialDevice)
{
    char file[] = "/tmp/veldran-comm-XXXXXX";
    int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    close(fd);
    struct Case {
        const char *path;
        int32_t expected;
    };
    const Case cases[] = {
        {"/nonexistent/ttyS9", comm::NO_DEVICE},
        {"/dev/null", comm::NOT_SERIAL},
        {file, comm::NOT_SERIAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        setenv("VELDRAN_COM2", c.path, 1);
        EXPECT_EQ(_COMsetup(2, 128, rcv, 128, xmit, 9600, 'N', 1, 8), c.expected);
        EXPECT_EQ(_COMwrite(2, "x", 1), 0);
        EXPECT_EQ(_COMrcvqueue(2), 0);
        EXPECT_EQ(_COMdisable(2), -1);
    }
    unlink(file);
}

// The device is held exclusively: a second program that locks it is
// refused while the library has it, and the library is refused (with the
// port, the device and the reason on stderr) while another holds it.
TEST_F(PosixComm, TheDeviceIsHeldExclusively)
{
    ASSERT_EQ(open(), comm::SETUP_OK);
    int other = ::open(pty.name().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (other >= 0) { // root may open an exclusive terminal; the lock still tells
        EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
        close(other);
    }
    ASSERT_EQ(_COMdisable(1), 0);

    other = ::open(pty.name().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0) << "the exclusive mode was not given up at the close";
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open(), comm::IN_USE);
    std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find("comm: cannot open COM1 (" + pty.name() + "): the device is in use by another program"),
              std::string::npos)
        << said;
    close(other);
    EXPECT_EQ(open(), comm::SETUP_OK);
}

// Why an open failed, as the console shows it.
TEST(PosixCommErrors, OpenFailuresAreExplained)
{
    char buf[256];
    comm::describeOpenError(EACCES, "/dev/null", buf, sizeof buf);
    EXPECT_NE(std::string(buf).find("permission denied: the user is not in the group that owns the device (root)"),
              std::string::npos)
        << buf;
    comm::describeOpenError(ENOENT, "/nonexistent", buf, sizeof buf);
    EXPECT_NE(std::string(buf).find("no such device"), std::string::npos) << buf;
    // Where the port's device comes from.
    char var[32];
    setenv("VELDRAN_COM3", "/dev/ttyUSB7", 1);
    EXPECT_NE(comm::portDevice(3, buf, sizeof buf, var, sizeof var), nullptr);
    EXPECT_STREQ(buf, "/dev/ttyUSB7");
    unsetenv("VELDRAN_COM3");
    EXPECT_EQ(comm::portDevice(3, buf, sizeof buf, var, sizeof var), nullptr);
    EXPECT_STREQ(buf, "/dev/ttyS2");
    EXPECT_STREQ(var, "VELDRAN_COM3");
}

// Which Windows port comm.dll opens for port 3, by VELDRAN_COM3 (null:
// unset): "" where the value names no COM port and the open must fail.
TEST(WinPortMap, TheVariableNamesTheWindowsPort)
{
    struct Case {
        const char *value;
        const char *device;
    };
    const Case cases[] = {
        {nullptr, "\\\\.\\COM3"},
        {"", "\\\\.\\COM3"},
        {"COM7", "\\\\.\\COM7"},
        {"com7", "\\\\.\\COM7"},
        {"cOm12", "\\\\.\\COM12"},
        {"\\\\.\\COM7", "\\\\.\\COM7"},
        {"\\\\.\\com10", "\\\\.\\COM10"},
        {"COM1", "\\\\.\\COM1"},
        {"COM256", "\\\\.\\COM256"},
        {"COM257", ""},
        {"COM0", ""},
        {"COM07", ""},
        {"COMX", ""},
        {"COM7X", ""},
        {"COM", ""},
        {"LPT1", ""},
        {"7", ""},
        {" COM7", ""},
        {"COM7 ", ""},
        {"COM7:", ""},
        {"COM-7", ""},
        {"COM+7", ""},
        {"COM99999999999999999999", ""},
        {"COM4294967303", ""}, // 7 once it wraps in 32 bits
        {"\\\\.\\", ""},
        {"\\\\?\\COM7", ""},
        {"//./COM7", ""},
        {"\\\\.\\LPT1", ""},
        {"/dev/ttyUSB0", ""},
    };
    for (const Case &c : cases) {
        if (c.value)
            setenv("VELDRAN_COM3", c.value, 1);
        else
            unsetenv("VELDRAN_COM3");
        comm::WinPortDevice d = comm::winPortDevice(3);
        const char *shown = c.value ? c.value : "(unset)";
        EXPECT_STREQ(d.device, c.device) << shown;
        EXPECT_STREQ(d.var, "VELDRAN_COM3") << shown;
        // The value is kept for the messages whenever it is there to show.
        EXPECT_EQ(d.value != nullptr, c.value && *c.value) << shown;
    }
    unsetenv("VELDRAN_COM3");
}

// RS-485 direction control asked for on a device without it fails the
// set-up with its own number; low-latency mode, which a pseudo-terminal
// lacks, is not asked for in a way that fails.
TEST_F(PosixComm, Rs485ThatTheDriverLacksFailsTheSetup)
{
    setenv("VELDRAN_COM1_RS485", "1", 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open(), comm::NO_RS485);
    std::string said = ::testing::internal::GetCapturedStderr();
    unsetenv("VELDRAN_COM1_RS485");
    EXPECT_NE(said.find("RS-485 direction control asked for"), std::string::npos) << said;
    EXPECT_EQ(open(), comm::SETUP_OK);
}

TEST_F(PosixComm, CallsOnAPortThatIsNotOpenDoNothing)
{
    // Port 1 has been opened and closed again; 2 to 4 never were.
    ASSERT_EQ(open(), 0);
    ASSERT_EQ(_COMdisable(1), 0);
    for (int32_t port : {1, 2, 3, 4, 0, 5, -7, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(port);
        EXPECT_EQ(_COMdisable(port), -1);
        EXPECT_EQ(_COMwrite(port, "abc", 3), 0);
        EXPECT_EQ(_COMgetc(port), -1);
        EXPECT_EQ(_COMrcvqueue(port), 0);
        EXPECT_EQ(_COMxmitqueue(port), 0);
        EXPECT_EQ(_COMrcvclear(port), -1);
        EXPECT_EQ(_COMxmitclear(port), -1);
    }
    EXPECT_EQ(pty.receive(1, 50), "");
}

TEST_F(PosixComm, WrittenBytesReachTheLineUnchanged)
{
    ASSERT_EQ(open(), 0);
    EXPECT_NE(_COMwrite(1, "#0184\r", 6), 0);
    EXPECT_EQ(pty.receive(6), "#0184\r");
    // Every byte value, CR, LF, XON and XOFF included, goes out as it is.
    std::string all = pattern(256);
    for (size_t i = 0; i < all.size(); i += 64)
        ASSERT_NE(_COMwrite(1, all.data() + i, 64), 0);
    EXPECT_EQ(pty.receive(all.size()), all);

    EXPECT_NE(_COMwrite(1, "", 0), 0) << "nothing to send is accepted";
    EXPECT_EQ(_COMwrite(1, nullptr, 4), 0);
    EXPECT_EQ(_COMwrite(1, "abc", -1), 0);
    EXPECT_EQ(pty.receive(1, 50), "");
}

TEST_F(PosixComm, ReceivedBytesAreCountedAndDeliveredInOrder)
{
    ASSERT_EQ(open(), 0);
    EXPECT_EQ(_COMrcvqueue(1), 0);
    EXPECT_EQ(_COMgetc(1), -1);
    pty.send(">0F0F2A\r");
    ASSERT_EQ(waitRcv(1, 8), 8);
    _COMrcvqueue(1); // what the count saw still in the system is in the queue now
    // The queue lives in the buffer handed over at set-up.
    EXPECT_EQ(std::string(rcv, 8), ">0F0F2A\r");
    for (char expected : std::string(">0F0F2A\r")) {
        EXPECT_EQ(_COMgetc(1), static_cast<unsigned char>(expected));
    }
    EXPECT_EQ(_COMrcvqueue(1), 0);
    EXPECT_EQ(_COMgetc(1), -1);

    // Every byte value comes in as it is (no CR to LF, no stripping), as the
    // low eight bits of _COMgetc.
    std::string all = pattern(256);
    pty.send(all);
    EXPECT_EQ(take(1, all.size()), all);
}

TEST_F(PosixComm, RcvclearEmptiesTheQueueAndTheSystemBehindIt)
{
    ASSERT_EQ(open(), 0);
    pty.send(pattern(200)); // more than the 128-byte queue holds
    ASSERT_EQ(waitRcv(1, 200), 200);
    EXPECT_EQ(_COMrcvclear(1), 0);
    EXPECT_EQ(_COMrcvqueue(1), 0);
    EXPECT_EQ(_COMgetc(1), -1);
    pty.send("Z\r");
    EXPECT_EQ(take(1, 2), "Z\r");
    EXPECT_EQ(_COMrcvqueue(1), 0);
}

TEST_F(PosixComm, ThreeHundredBytesPassTheReceiveQueueIntactAndInOrder)
{
    ASSERT_EQ(open(), 0);
    std::string sent = pattern(300, 7);
    pty.send(sent);
    // Waiting until all have arrived makes the queue wrap with the system
    // holding the rest; the count covers both.
    ASSERT_EQ(waitRcv(1, 300), 300);
    EXPECT_EQ(take(1, 300), sent);
    EXPECT_EQ(_COMrcvqueue(1), 0);
}

// The far end does not read, so the system's queue fills up: the library
// keeps what it cannot hand on in the transmit queue, reports a write that
// cannot be queued as a failure, and sends the queued bytes once the line
// takes them again.
TEST_F(PosixComm, TransmitBacklogIsQueuedThenSentInOrder)
{
    ASSERT_EQ(open(115200), 0);
    std::string accepted, refused;
    for (int i = 0; i < 20000 && refused.empty(); ++i) {
        std::string block = pattern(100, static_cast<unsigned>(i) | 1);
        if (_COMwrite(1, block.data(), 100) != 0)
            accepted += block;
        else
            refused = block;
    }
    ASSERT_FALSE(refused.empty()) << "the line never filled up";
    EXPECT_GT(_COMxmitqueue(1), 0);

    std::string got;
    int64_t deadline = nowMs() + 5000;
    while (nowMs() < deadline) {
        got += pty.receive(SIZE_MAX, 20);
        if (_COMxmitqueue(1) == 0 && got.size() >= accepted.size())
            break;
    }
    got += pty.receive(SIZE_MAX, 20);
    ASSERT_GE(got.size(), accepted.size());
    EXPECT_TRUE(got.compare(0, accepted.size(), accepted) == 0) << "accepted bytes out of order";
    // Of the refused write, at most a beginning may have gone out.
    std::string tail = got.substr(accepted.size());
    EXPECT_EQ(tail, refused.substr(0, tail.size()));
    EXPECT_EQ(_COMxmitqueue(1), 0);

    EXPECT_NE(_COMwrite(1, "#01\r", 4), 0) << "the drained line takes writes again";
    EXPECT_EQ(pty.receive(4), "#01\r");
}

TEST_F(PosixComm, XmitclearDropsTheBacklog)
{
    ASSERT_EQ(open(115200), 0);
    std::string accepted;
    for (int i = 0; i < 20000; ++i) {
        std::string block = pattern(100, static_cast<unsigned>(i) | 1);
        if (_COMwrite(1, block.data(), 100) == 0)
            break;
        accepted += block;
    }
    EXPECT_EQ(_COMxmitclear(1), 0);
    EXPECT_EQ(_COMxmitqueue(1), 0);
    std::string got = pty.receive(SIZE_MAX, 50);
    EXPECT_LT(got.size(), accepted.size());
    EXPECT_TRUE(accepted.compare(0, got.size(), got) == 0);
    EXPECT_NE(_COMwrite(1, "$01C0\r", 6), 0);
    EXPECT_EQ(pty.receive(6), "$01C0\r");
}

TEST_F(PosixComm, SetupOnAnOpenPortReopensItWithTheNewBuffers)
{
    ASSERT_EQ(open(), 0);
    char rcv2[128], xmit2[128];
    memset(rcv, 0x5A, sizeof rcv);
    ASSERT_EQ(_COMsetup(1, sizeof rcv2, rcv2, sizeof xmit2, xmit2, 9600, 'N', 1, 8), 0);
    pty.send("!01\r");
    ASSERT_EQ(waitRcv(1, 4), 4);
    _COMrcvqueue(1);
    EXPECT_EQ(std::string(rcv2, 4), "!01\r");
    EXPECT_EQ(std::string(rcv, 4), std::string(4, 0x5A)) << "the old buffer is no longer used";
    EXPECT_EQ(take(1, 4), "!01\r");
    EXPECT_NE(_COMwrite(1, "~**\r", 4), 0);
    EXPECT_EQ(pty.receive(4), "~**\r");
    EXPECT_EQ(_COMdisable(1), 0);
    EXPECT_EQ(_COMdisable(1), -1);
}

// The test peer (tools/comm/ptypeer) as the far end behind a symbolic link,
// the way the wine tests use it: it reports READY only once the link is in
// place, echoes, keeps the line up while the port closes and reopens, and
// takes its link away when it stops.
TEST_F(PosixComm, PeerEchoesBehindItsLinkAndRemovesItWhenStopped)
{
    char dir[] = "/tmp/veldran-peer-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    std::string link = std::string(dir) + "/com3";
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(PTYPEER_PATH, "ptypeer", "--link", link.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string line;
    char c;
    pollfd p = {out[0], POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 5000) > 0 && read(out[0], &c, 1) == 1)
        line += c;
    close(out[0]);
    ASSERT_EQ(line.compare(0, 6, "READY "), 0) << line;
    std::string slave = line.substr(6, line.size() - 7);
    char target[256] = {};
    EXPECT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);

    setenv("VELDRAN_COM3", link.c_str(), 1);
    for (const char *cmd : {"#0184\r", "@01\r"}) {
        SCOPED_TRACE(cmd);
        ASSERT_EQ(_COMsetup(3, 128, rcv, 128, xmit, 9600, 'N', 1, 8), 0);
        std::string sent = cmd;
        ASSERT_NE(_COMwrite(3, sent.data(), static_cast<int32_t>(sent.size())), 0);
        EXPECT_EQ(take(3, sent.size()), sent);
        EXPECT_EQ(_COMdisable(3), 0);
    }

    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0) << "the link outlived the peer";
    rmdir(dir);
}

} // namespace
