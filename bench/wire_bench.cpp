// End-to-end exchange times over a pseudo-terminal to veldran-sim, which
// paces every character at the configured baud rate (10 bits a character)
// after its reply turnaround.
//
// The module runs as a host runs it: the host services on the real
// monotonic clock, the POSIX serial library on the simulator's pty.  Beside
// it, on its own descriptor of the same pty, a bare termios client writes
// the same command and blocks in read() until the same reply's carriage
// return.  The two take turns exchange by exchange, so both see the same
// machine load.
//
//   bench_wire exchange BAUD [--turnaround-ms MS] [--calls N]
//       per instruction (I7017, I7060, I7RDC): median time per call for the
//       module and the bare client, the wire time, CPU time per call, timer
//       polls per call, and the allocations made inside the module
//   bench_wire dead TIMEOUT_MS [--calls N]
//       with every module silent: the time of one I7041 call (ErrCode 1005)
//   bench_wire dll BAUD --dll PATH [--calls N]
//       the I7017 call through the native module and through the real DLL
//       in the i386 emulator, in alternating rounds: median time and CPU
//       time per call of each
//   bench_wire settle BAUD [--calls N]
//       one silent module (the 7041) on the line: the I7017 call that
//       follows its time-out against an I7017 call that follows a good
//       exchange; the difference is what waiting for the line to settle
//       adds to a scan
//
// Output: one line per figure, "key value ...", for bench/report.py.
#include <fcntl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../sdk/TLMUSR.h"
#include "alloc_count.h"
#include "emulated_module.h"
#include "hostsvc.h"
#include "module.h"
#include "records.h"
#include "sim_process.h"

namespace {

vsim::SimProcess *runningSim = nullptr; // stopped on the way out of die()

[[noreturn]] void die(const std::string &what)
{
    fprintf(stderr, "bench_wire: %s\n", what.c_str());
    if (runningSim)
        runningSim->stop();
    exit(1);
}

double nowMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double cpuMs()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

ERRCODE initModule(const std::string &options)
{
    static char buf[256];
    snprintf(buf, sizeof buf, "%s", options.c_str());
    struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher());
    hostsvc::captureConsole(true);
    ERRCODE ec = _main(&r, buf);
    struct req_setmode m = records::setMode(2);
    _main(&m, nullptr);
    hostsvc::takeConsole();
    return ec;
}

void deinstall()
{
    struct req_init r = records::request(REQ_DEINSTALL);
    _main(&r, nullptr);
    hostsvc::takeConsole();
}

const char *baudOption(int baud)
{
    switch (baud) {
    case 9600:
        return "96";
    case 19200:
        return "192";
    case 38400:
        return "384";
    case 57600:
        return "576";
    case 115200:
        return "1152";
    default:
        die("baud rate not one the module takes: " + std::to_string(baud));
    }
}

using records::floatOut;
using records::wordIn;
using records::wordOut;

int16_t err, word;
float floats[8];

// One instruction of the sample plant and the command lines its call sends
// (checksums off), which the bare client sends too.
struct Case {
    const char *name;
    TLIPTR fn;
    int nparams;
    TLIPARAM params[4];
    std::vector<std::string> commands;
};

std::vector<Case> cases()
{
    return {
        {"I7017", I7017, 4, {wordIn(1), wordIn(0), floatOut(floats), wordOut(&err)}, {"#01\r"}},
        {"I7060", I7060, 4, {wordIn(8), wordIn(1), wordOut(&word), wordOut(&err)}, {"@081\r", "@08\r"}},
        {"I7RDC", I7RDC, 4, {wordIn(4), wordIn(0), floatOut(floats), wordOut(&err)}, {"#040\r"}},
    };
}

// The bare client on its own descriptor: blocking reads, raw line.
class Bare {
public:
    explicit Bare(const std::string &path)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            die("open " + path + ": " + strerror(errno));
        termios t;
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        t.c_cc[VMIN] = 1; // read() blocks until a byte is there
        t.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Bare() { close(fd_); }
    // Writes the command, reads until the carriage return; returns the
    // reply's length with it, or -1.
    int exchange(const std::string &cmd)
    {
        if (write(fd_, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size()))
            return -1;
        int got = 0;
        char buf[128];
        for (;;) {
            ssize_t n = read(fd_, buf, sizeof buf);
            if (n <= 0)
                return -1;
            got += static_cast<int>(n);
            if (memchr(buf, '\r', static_cast<size_t>(n)))
                return got;
        }
    }

private:
    int fd_ = -1;
};

struct Args {
    std::string mode;
    double value = 0;
    double turnaround = 1;
    int calls = 0;
    std::string dll;
};

void start(vsim::SimProcess &sim, int baud, double turnaround)
{
    vsim::SimOptions o;
    o.plant = VELDRAN_EXAMPLE_PLANT;
    o.quiet = true;
    char t[32];
    snprintf(t, sizeof t, "%g", turnaround);
    o.extra = {"--baud", std::to_string(baud), "--turnaround-ms", t};
    std::string error;
    if (!sim.start(o, &error))
        die("simulator: " + error);
    runningSim = &sim;
    setenv("VELDRAN_COM1", sim.slavePath().c_str(), 1);
}

int runExchange(int baud, double turnaround, int calls)
{
    vsim::SimProcess sim;
    start(sim, baud, turnaround);
    // The longest time-out: an I7017 reply alone needs 65 ms on the wire at
    // 9600 baud, more than the default 40 ms.
    std::string options = std::string("COMPORT=1 BAUD=") + baudOption(baud) + " TIMEOUT=500";
    if (initModule(options) != EC_OK)
        die("Init failed with " + options);
    Bare bare(sim.slavePath());

    long allocations = 0, moduleCalls = 0;
    for (Case &c : cases()) {
        std::vector<double> mod, bar, modCpu, barCpu;
        long polls = 0;
        int sent = 0, received = 0;
        // Warm-up: one of each, also to learn the reply lengths.
        c.fn(1, c.nparams, c.params);
        for (const std::string &cmd : c.commands) {
            int n = bare.exchange(cmd);
            if (n < 0)
                die(std::string(c.name) + ": bare client got no reply");
            sent += static_cast<int>(cmd.size());
            received += n;
        }
        for (int i = 0; i < calls; ++i) {
            err = -1;
            long p0 = hostsvc::counters().timerPolls;
            double c0 = cpuMs(), t0 = nowMs();
            allocs::start();
            c.fn(1, c.nparams, c.params);
            allocations += allocs::stop();
            double t1 = nowMs(), c1 = cpuMs();
            ++moduleCalls;
            if (err != 0)
                die(std::string(c.name) + ": ErrCode " + std::to_string(err));
            polls += hostsvc::counters().timerPolls - p0;
            mod.push_back(t1 - t0);
            modCpu.push_back(c1 - c0);

            c0 = cpuMs();
            t0 = nowMs();
            for (const std::string &cmd : c.commands)
                if (bare.exchange(cmd) < 0)
                    die(std::string(c.name) + ": bare client got no reply");
            t1 = nowMs();
            c1 = cpuMs();
            bar.push_back(t1 - t0);
            barCpu.push_back(c1 - c0);
        }
        double wire = (sent + received) * 10.0 * 1000.0 / baud + turnaround * static_cast<double>(c.commands.size());
        printf("exchange %s %d module_ms %.4f bare_ms %.4f wire_ms %.4f module_cpu_ms %.4f bare_cpu_ms %.4f "
               "polls %.0f bytes %d exchanges %zu\n",
               c.name, baud, median(mod), median(bar), wire, median(modCpu), median(barCpu),
               static_cast<double>(polls) / calls, sent + received, c.commands.size());
    }
    printf("allocs %ld calls %ld\n", allocations, moduleCalls);
    deinstall();
    sim.stop();
    runningSim = nullptr;
    return 0;
}

int runDead(int timeoutMs, int calls)
{
    vsim::SimProcess sim;
    start(sim, 19200, 1);
    auto r = sim.command("fault * silence");
    if (!r || r->compare(0, 2, "OK") != 0)
        die("simulator refused the silence fault: " + (r ? *r : std::string("no answer")));
    // A port on the board (LATENCY=0): the overrun of the mechanism itself;
    // what the default latency adds is measured with the ladder run.
    std::string options = "COMPORT=1 BAUD=192 LATENCY=0 TIMEOUT=" + std::to_string(timeoutMs);
    if (initModule(options) != EC_OK)
        die("Init failed with " + options);
    TLIPARAM params[4] = {wordIn(4), wordIn(0), wordOut(&word), wordOut(&err)};
    std::vector<double> t;
    for (int i = 0; i < calls; ++i) {
        err = -1;
        double t0 = nowMs();
        I7041(1, 4, params);
        double t1 = nowMs();
        if (err != static_cast<int16_t>(EC_TIMEOUT))
            die("dead module: ErrCode " + std::to_string(err));
        t.push_back(t1 - t0);
    }
    std::sort(t.begin(), t.end());
    printf("dead %d median_ms %.4f min_ms %.4f max_ms %.4f calls %d\n", timeoutMs, median(t), t.front(), t.back(),
           calls);
    deinstall();
    sim.stop();
    runningSim = nullptr;
    return 0;
}

int runSettle(int baud, int calls)
{
    vsim::SimProcess sim;
    start(sim, baud, 1);
    auto r = sim.command("fault 4 silence");
    if (!r || r->compare(0, 2, "OK") != 0)
        die("simulator refused the silence fault: " + (r ? *r : std::string("no answer")));
    // Room for an I7017 reply at 9600 baud (65 ms on the wire); a port on
    // the board (LATENCY=0): the quiet interval of three characters alone.
    std::string options = std::string("COMPORT=1 BAUD=") + baudOption(baud) + " TIMEOUT=100 LATENCY=0";
    if (initModule(options) != EC_OK)
        die("Init failed with " + options);
    TLIPARAM silent[4] = {wordIn(4), wordIn(0), wordOut(&word), wordOut(&err)};
    TLIPARAM good[4] = {wordIn(1), wordIn(0), floatOut(floats), wordOut(&err)};
    std::vector<double> clean, after;
    I7017(1, 4, good); // warm-up
    for (int i = 0; i < calls; ++i) {
        double t0 = nowMs();
        I7017(1, 4, good);
        double t1 = nowMs();
        if (err != 0)
            die("settle: clean I7017 ErrCode " + std::to_string(err));
        clean.push_back(t1 - t0);
        I7041(1, 4, silent);
        if (err != static_cast<int16_t>(EC_TIMEOUT))
            die("settle: silent I7041 ErrCode " + std::to_string(err));
        t0 = nowMs();
        I7017(1, 4, good);
        t1 = nowMs();
        if (err != 0)
            die("settle: I7017 after the silent module ErrCode " + std::to_string(err));
        after.push_back(t1 - t0);
    }
    double quiet = std::max(2.0, std::ceil(30000.0 / baud)); // the module's quiet interval
    printf("settle %d clean_ms %.4f after_silent_ms %.4f extra_ms %.4f quiet_ms %.4f calls %d\n", baud, median(clean),
           median(after), median(after) - median(clean), quiet, calls);
    deinstall();
    sim.stop();
    runningSim = nullptr;
    return 0;
}

// One entry and table, native or emulated, driven alike.
struct Driven {
    ERRCODE(TLMCALL *entry)(void *, void *);
    TLIPTR fn;
};

void timeCalls(const Driven &d, const std::string &options, int calls, std::vector<double> &wall,
               std::vector<double> &cpu)
{
    static char buf[256];
    snprintf(buf, sizeof buf, "%s", options.c_str());
    hostsvc::captureConsole(true);
    struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher());
    if (d.entry(&r, buf) != EC_OK)
        die("Init failed with " + options);
    struct req_setmode m = records::setMode(2);
    d.entry(&m, nullptr);
    TLIPARAM good[4] = {wordIn(1), wordIn(0), floatOut(floats), wordOut(&err)};
    d.fn(1, 4, good); // warm-up
    for (int i = 0; i < calls; ++i) {
        err = -1;
        double c0 = cpuMs(), t0 = nowMs();
        d.fn(1, 4, good);
        double t1 = nowMs(), c1 = cpuMs();
        if (err != 0)
            die("dll: I7017 ErrCode " + std::to_string(err));
        wall.push_back(t1 - t0);
        cpu.push_back(c1 - c0);
    }
    struct req_init q = records::request(REQ_DEINSTALL);
    d.entry(&q, nullptr);
    hostsvc::takeConsole();
}

int runDll(int baud, const std::string &dll, int calls)
{
    loader::EmulatedModule em;
    std::string error;
    if (!loader::openEmulatedModule(dll, em, error))
        die("dll: " + error);
    TLIPTR emulated = nullptr;
    for (int i = 0; em.table[i].fnc_name[0]; ++i)
        if (strcmp(em.table[i].fnc_name, "I7017") == 0)
            emulated = em.table[i].fnc_ptr;
    if (!emulated)
        die("dll: no I7017 in " + dll);
    vsim::SimProcess sim;
    start(sim, baud, 1);
    std::string options = std::string("COMPORT=1 BAUD=") + baudOption(baud) + " TIMEOUT=500";
    std::vector<double> nat, emu, natCpu, emuCpu;
    const int rounds = 5;
    for (int r = 0; r < rounds; ++r) {
        timeCalls({_main, I7017}, options, calls / rounds + 1, nat, natCpu);
        timeCalls({em.entry, emulated}, options, calls / rounds + 1, emu, emuCpu);
    }
    printf("dll I7017 %d native_ms %.4f dll_ms %.4f native_cpu_ms %.4f dll_cpu_ms %.4f calls %zu\n", baud, median(nat),
           median(emu), median(natCpu), median(emuCpu), nat.size());
    loader::closeEmulatedModule();
    sim.stop();
    runningSim = nullptr;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        die("usage: bench_wire exchange BAUD [--turnaround-ms MS] [--calls N] | dead TIMEOUT_MS [--calls N] | "
            "dll BAUD --dll PATH [--calls N] | settle BAUD [--calls N]");
    Args a;
    a.mode = argv[1];
    a.value = atof(argv[2]);
    for (int i = 3; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--turnaround-ms") == 0)
            a.turnaround = atof(argv[i + 1]);
        else if (strcmp(argv[i], "--calls") == 0)
            a.calls = atoi(argv[i + 1]);
        else if (strcmp(argv[i], "--dll") == 0)
            a.dll = argv[i + 1];
        else
            die(std::string("unknown argument ") + argv[i]);
    }
    hostsvc::useRealClock();
    if (a.mode == "exchange")
        return runExchange(static_cast<int>(a.value), a.turnaround, a.calls > 0 ? a.calls : 30);
    if (a.mode == "dead") {
        int ms = static_cast<int>(a.value);
        return runDead(ms, a.calls > 0 ? a.calls : std::max(5, std::min(50, 1000 / ms)));
    }
    if (a.mode == "dll")
        return runDll(static_cast<int>(a.value), a.dll, a.calls > 0 ? a.calls : 50);
    if (a.mode == "settle")
        return runSettle(static_cast<int>(a.value), a.calls > 0 ? a.calls : 20);
    die("unknown mode " + a.mode);
}
