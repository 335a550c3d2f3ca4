#include "sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

extern char **environ;

namespace vsim {

namespace {

// The simulator's scheduling priority (nice value): ahead of the host and
// of other tests.
constexpr int SIM_NICE = -10;

long long monoMs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

int decode(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// The simulator's command line for `o`.
std::vector<std::string> commandLine(const std::string &binary, const SimOptions &o)
{
    std::vector<std::string> args = {binary, "--plant", o.plant};
    if (!o.link.empty())
        args.insert(args.end(), {"--link", o.link});
    if (!o.log.empty())
        args.insert(args.end(), {"--log", o.log});
    args.insert(args.end(), o.extra.begin(), o.extra.end());
    return args;
}

// Starts the simulator with `in` as its stdin and `out` as its stdout, with
// the default signal dispositions and mask.  Returns posix_spawn's result.
int spawn(const std::string &binary, const SimOptions &o, int in, int out, pid_t &pid)
{
    std::vector<std::string> args = commandLine(binary, o);
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO);
    if (o.quiet)
        posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (o.groupLeader) {
        flags |= POSIX_SPAWN_SETPGROUP;
        posix_spawnattr_setpgroup(&attr, 0);
    }
    posix_spawnattr_setflags(&attr, flags);
    const int rc = posix_spawn(&pid, binary.c_str(), &fa, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    posix_spawnattr_destroy(&attr);
    return rc;
}

} // namespace

SimProcess::~SimProcess()
{
    if (running())
        stop();
    closeFds();
}

void SimProcess::closeFds()
{
    if (toChild_ >= 0)
        close(toChild_);
    if (fromChild_ >= 0)
        close(fromChild_);
    toChild_ = fromChild_ = -1;
}

void SimProcess::closeControl()
{
    if (toChild_ >= 0)
        close(toChild_);
    toChild_ = -1;
}

bool SimProcess::start(const SimOptions &o, std::string *error)
{
    auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        if (running())
            stop(2000);
        closeFds();
        return false;
    };
    if (running())
        return fail("already running");
    std::string binary = o.binary;
#ifdef VELDRAN_SIM_BINARY
    if (binary.empty())
        binary = VELDRAN_SIM_BINARY;
#endif
    if (binary.empty())
        return fail("no simulator binary given");

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
        return fail(std::string("pipe: ") + std::strerror(errno));
    if (pipe2(out, O_CLOEXEC) != 0) {
        close(in[0]);
        close(in[1]);
        return fail(std::string("pipe: ") + std::strerror(errno));
    }
    pid_t pid = -1;
    const int rc = spawn(binary, o, in[0], out[1], pid);
    close(in[0]);
    close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
    if (rc != 0) {
        return fail("cannot start " + binary + ": " + std::strerror(rc));
    }
    pid_ = pid;
    buf_.clear();
    // Modules on a real line never pause in the middle of a reply; a
    // simulator put aside by a busy machine does, and the receiver then
    // takes the gap for a quiet line.  So the simulator gets the processor
    // before the programs it serves where the system allows it (as root);
    // elsewhere it runs as it is.
    setpriority(PRIO_PROCESS, static_cast<id_t>(pid), SIM_NICE);

    std::string line;
    if (!readLine(line, o.readyTimeoutMs))
        return fail("no READY line from the simulator");
    if (line.rfind("READY ", 0) != 0)
        return fail("unexpected first line from the simulator: " + line);
    slave_ = line.substr(6);
    return true;
}

bool SimProcess::readLine(std::string &line, int timeoutMs)
{
    const long long deadline = monoMs() + timeoutMs;
    for (;;) {
        const auto nl = buf_.find('\n');
        if (nl != std::string::npos) {
            line = buf_.substr(0, nl);
            buf_.erase(0, nl + 1);
            return true;
        }
        if (fromChild_ < 0)
            return false;
        const long long left = deadline - monoMs();
        if (left <= 0)
            return false;
        pollfd p{fromChild_, POLLIN, 0};
        const int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        char buf[512];
        const ssize_t r = read(fromChild_, buf, sizeof buf);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false; // the child closed its stdout
        buf_.append(buf, static_cast<size_t>(r));
    }
}

std::optional<std::string> SimProcess::command(const std::string &line, int timeoutMs)
{
    if (toChild_ < 0)
        return std::nullopt;
    const std::string s = line + "\n";
    size_t off = 0;
    while (off < s.size()) {
        const ssize_t w = write(toChild_, s.data() + off, s.size() - off);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return std::nullopt;
        off += static_cast<size_t>(w);
    }
    std::string reply;
    if (!readLine(reply, timeoutMs))
        return std::nullopt;
    return reply;
}

int SimProcess::wait(int timeoutMs)
{
    if (!running())
        return -1;
    const long long deadline = monoMs() + timeoutMs;
    // A pidfd becomes readable when the child ends; without one, look at
    // short intervals.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno == ECHILD)) {
            const int result = r == pid_ ? decode(status) : -1;
            if (pidfd >= 0)
                close(pidfd);
            pid_ = -1;
            closeFds();
            return result;
        }
        const long long left = deadline - monoMs();
        if (left <= 0)
            break;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(left));
        } else {
            timespec ts{0, 5 * 1000 * 1000};
            nanosleep(&ts, nullptr);
        }
    }
    if (pidfd >= 0)
        close(pidfd);
    return -2;
}

int SimProcess::stop(int timeoutMs)
{
    if (!running())
        return -1;
    kill(pid_, SIGTERM);
    const int r = wait(timeoutMs);
    if (r != -2)
        return r;
    kill(pid_, SIGKILL);
    return wait(timeoutMs);
}

} // namespace vsim
