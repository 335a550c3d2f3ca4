// Running the host as a child process and reading what it prints.
#include "e2e_support.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace e2e {

std::vector<ScanOut> parseScans(const std::string &output)
{
    std::vector<ScanOut> scans;
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string first;
        ls >> first;
        if (first == "scan" && line.rfind("scan ", 0) == 0) {
            ScanOut s;
            ls >> s.number >> s.ms;
            scans.push_back(s);
        } else if (line.rfind("  R", 0) == 0 && !scans.empty() && first.size() > 1 &&
                   isdigit(static_cast<unsigned char>(first[1]))) {
            RungOut r;
            std::string state, unit, kv;
            ls >> r.id >> state >> r.ms >> unit;
            if ((state != "on" && state != "off") || unit != "ms")
                continue; // not a rung line (the summary's rung list)
            r.on = state == "on";
            while (ls >> kv) {
                size_t eq = kv.find('=');
                if (eq != std::string::npos)
                    r.values[kv.substr(0, eq)] = kv.substr(eq + 1);
            }
            scans.back().rungs.push_back(r);
        }
    }
    return scans;
}

const Config &config()
{
    static const Config c = [] {
        Config k;
        const char *w = getenv("VELDRAN_E2E_WINE");
        k.wine = w && *w && strcmp(w, "0") != 0;
        const char *h = getenv("VELDRAN_E2E_HOST");
        k.host = h && *h ? h : VELDRAN_E2E_NATIVE_HOST;
        k.sim = VELDRAN_SIM_BINARY;
        k.plant = VELDRAN_EXAMPLE_PLANT;
        const char *d = getenv("VELDRAN_WINE_DIR");
        k.wineDir = d && *d ? d : "";
        const char *dll = getenv("VELDRAN_E2E_DLL");
        k.dll = dll && *dll ? dll : "";
        return k;
    }();
    return c;
}

namespace {

// In the child of a fork: the environment entries, then the program.
[[noreturn]] void execChild(std::vector<std::string> argv, const std::vector<std::string> &env)
{
    for (const std::string &e : env)
        putenv(strdup(e.c_str()));
    if (!config().dll.empty() && !argv.empty() && argv[0] == config().host)
        argv.insert(argv.begin() + 1, {"--dll", config().dll});
    std::vector<char *> args;
    for (const std::string &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
}

// Whether the child has ended, killing it once the deadline has passed.
bool reap(pid_t pid, std::chrono::steady_clock::time_point deadline, int *status, bool *killed)
{
    if (waitpid(pid, status, WNOHANG) == pid)
        return true;
    if (std::chrono::steady_clock::now() < deadline)
        return false;
    kill(pid, SIGKILL);
    waitpid(pid, status, 0);
    *killed = true;
    return true;
}

} // namespace

HostResult runProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutMs)
{
    HostResult r;
    int fds[2];
    if (pipe(fds) != 0)
        return r;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        close(fds[0]);
        close(fds[1]);
        int null = open("/dev/null", O_RDONLY);
        if (null >= 0)
            dup2(null, 0);
        execChild(argv, env);
    }
    close(fds[1]);
    // Wait for the child to exit rather than for the end of the pipe: under
    // wine, service processes that the first program starts can inherit it.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    int status = 0;
    bool exited = false, killed = false, openPipe = true;
    while (!exited) {
        exited = reap(pid, deadline, &status, &killed);
        // Collect what is there; after the exit, only what is already waiting.
        while (openPipe) {
            pollfd p{fds[0], POLLIN, 0};
            int n = poll(&p, 1, exited ? 0 : 20);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            ssize_t got = read(fds[0], buf, sizeof buf);
            if (got <= 0) {
                openPipe = false;
                break;
            }
            r.output.append(buf, static_cast<size_t>(got));
        }
        if (!openPipe && !exited) {
            waitpid(pid, &status, 0);
            exited = true;
        }
    }
    close(fds[0]);
    r.status = killed ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    r.scans = parseScans(r.output);
    return r;
}

Background startProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                        const std::string &outPath)
{
    Background b;
    b.outPath = outPath;
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int null = open("/dev/null", O_RDONLY);
        if (out < 0 || null < 0)
            _exit(127);
        dup2(out, 1);
        dup2(out, 2);
        dup2(null, 0);
        execChild(argv, env);
    }
    b.pid = pid;
    return b;
}

HostResult finishProgram(Background &b, int sig, int timeoutMs)
{
    HostResult r;
    if (b.pid <= 0)
        return r;
    kill(b.pid, sig);
    int status = 0;
    bool killed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!reap(b.pid, deadline, &status, &killed))
        poll(nullptr, 0, 10);
    b.pid = -1;
    r.status = killed ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    FILE *f = fopen(b.outPath.c_str(), "r");
    char buf[4096];
    for (size_t n; f && (n = fread(buf, 1, sizeof buf, f)) > 0;)
        r.output.append(buf, n);
    if (f)
        fclose(f);
    return r;
}

std::string screenText(const std::string &raw)
{
    std::string out;
    for (size_t i = 0; i < raw.size(); ++i) {
        char c = raw[i];
        if (c == '\r')
            continue;
        if (c != '\x1b') {
            out += c;
            continue;
        }
        if (i + 1 < raw.size() && raw[i + 1] == '[') {
            size_t j = i + 2;
            while (j < raw.size() && !(raw[j] >= 0x40 && raw[j] <= 0x7e))
                ++j;
            if (j < raw.size() && raw[j] == 'C') {
                int n = atoi(raw.substr(i + 2, j - i - 2).c_str());
                out.append(static_cast<size_t>(n > 0 ? n : 1), ' ');
            }
            i = j;
        }
        // A lone ESC (wine's console passes a program's own sequences on
        // a character at a time) is dropped by itself.
    }
    return out;
}

HostResult runInPty(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutMs,
                    const std::string &interruptAt, const PtyResize &resize)
{
    HostResult r;
    struct winsize ws;
    memset(&ws, 0, sizeof ws);
    ws.ws_col = 80;
    ws.ws_row = 40;
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, &ws);
    if (pid < 0)
        return r;
    if (pid == 0) {
        execChild(argv, env);
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[4096];
    int status = 0;
    bool exited = false, killed = false, sent = false, resized = resize.at.empty();
    while (!exited) {
        exited = reap(pid, deadline, &status, &killed);
        bool fresh = false;
        for (;;) {
            pollfd p{master, POLLIN, 0};
            int n = poll(&p, 1, exited ? 0 : 20);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            ssize_t got = read(master, buf, sizeof buf);
            if (got <= 0) // EIO once the child and its terminal are gone
                break;
            r.output.append(buf, static_cast<size_t>(got));
            fresh = true;
        }
        if (!resized && fresh && screenText(r.output).find(resize.at) != std::string::npos) {
            // The kernel sends SIGWINCH to the terminal's foreground group.
            ws.ws_col = resize.columns;
            ws.ws_row = resize.rows;
            resized = true;
            ioctl(master, TIOCSWINSZ, &ws);
        }
        if (!sent && fresh && !interruptAt.empty() && screenText(r.output).find(interruptAt) != std::string::npos) {
            // The terminal's interrupt character: SIGINT to its foreground group.
            if (write(master, "\x03", 1) == 1)
                sent = true;
        }
    }
    close(master);
    r.status = killed ? -1 : (WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
    r.scans = parseScans(r.output);
    return r;
}

} // namespace e2e
