// ptypeer: the far end of a serial line for tests, on a pseudo-terminal.
//
//   ptypeer --link PATH
//
// Creates a pseudo-terminal, points the symbolic link PATH at its slave side
// (replacing whatever PATH was), prints "READY <slave>" on standard output
// and then echoes every byte that arrives back to the sender, until SIGTERM,
// SIGINT or SIGHUP (or the death of its parent).  It removes the link on the
// way out if the link still points at its slave.
//
// The peer keeps the slave side open itself, as its controlling terminal and
// in raw mode: the line then never hangs up when the program under test
// closes and reopens the port, and nothing is echoed by the terminal layer
// before that program has set the line up.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

#include "pty_link.h"
#include "wire_format.h"

namespace {

enum Exit {
    EXIT_OK = 0,     // stopped by a signal
    EXIT_FAILED = 1, // the pseudo-terminal or the link could not be made
    EXIT_USAGE = 2   // a bad command line
};

volatile std::sig_atomic_t stopRequested = 0;

void onStop(int) { stopRequested = 1; }

Exit fail(const std::string &what)
{
    std::fprintf(stderr, "ptypeer: %s\n", what.c_str());
    return EXIT_FAILED;
}

// Reads the command line into `link`.  Gives the exit status when the
// program ends here: --help or a mistake (said on stderr).
std::optional<Exit> parseArgs(int argc, char **argv, std::string &link)
{
    CLI::App app{"ptypeer: the far end of a serial line for tests: echoes what arrives on a pseudo-terminal"};
    app.failure_message(
        [](const CLI::App *self, const CLI::Error &e) { return "ptypeer: " + CLI::FailureMessage::simple(self, e); });
    app.add_option("--link", link, "point this symbolic link at the pseudo-terminal's slave side")
        ->type_name("PATH")
        ->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? EXIT_OK : EXIT_USAGE;
    }
    return std::nullopt;
}

// Stop signals set `stopRequested`; they stay blocked except while the
// peer waits (`old` is the mask to wait with).
void catchStops(sigset_t &old)
{
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, &old); // delivered only inside ppoll
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

// A pseudo-terminal whose slave is held open, raw, as the controlling
// terminal; the master does not block.
std::optional<Exit> openPty(comm::PtyPair &pty)
{
    // A new session, so that the slave can become its controlling terminal.
    if (setsid() < 0)
        std::fprintf(stderr, "ptypeer: setsid: %s (going on without a controlling terminal)\n", std::strerror(errno));
    const std::string failed = comm::openPtyPair(pty);
    if (!failed.empty())
        return fail(failed);
    ioctl(pty.slave, TIOCSCTTY, 0);
    wire::makeRaw(pty.slave, 0); // at whatever speed: a pseudo-terminal has none
    fcntl(pty.master, F_SETFL, fcntl(pty.master, F_GETFL) | O_NONBLOCK);
    return std::nullopt;
}

// Echoes what the master receives until a stop signal (or the line fails).
void echo(int master, const sigset_t &waitMask)
{
    std::string pending; // received and not yet echoed
    char buf[4096];
    while (!stopRequested) {
        pollfd p = {master, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        const int r = ppoll(&p, 1, nullptr, &waitMask);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p.revents & (POLLERR | POLLNVAL))
            break;
        if (p.revents & POLLIN) {
            const ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                pending.append(buf, static_cast<size_t>(n));
        }
        if (!pending.empty()) {
            const ssize_t n = write(master, pending.data(), pending.size());
            if (n > 0)
                pending.erase(0, static_cast<size_t>(n));
        }
    }
}

int runPeer(int argc, char **argv)
{
    std::string link;
    if (const std::optional<Exit> end = parseArgs(argc, argv, link))
        return *end;

    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t waitMask;
    catchStops(waitMask);
    comm::PtyPair pty;
    if (const std::optional<Exit> failed = openPty(pty))
        return *failed;
    if (const std::string failed = comm::pointLink(link, pty.slaveName); !failed.empty())
        return fail(failed);

    std::printf("READY %s\n", pty.slaveName.c_str());
    std::fflush(stdout);
    echo(pty.master, waitMask);

    comm::removeLink(link, pty.slaveName);
    close(pty.slave);
    close(pty.master);
    return EXIT_OK;
}

} // namespace

int main(int argc, char **argv)
{
    // Anything not foreseen ends the program with a message, never with an
    // abort.
    try {
        return runPeer(argc, argv);
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
