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
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "wire_format.h"

namespace {

volatile sig_atomic_t stopRequested = 0;

void onStop(int) { stopRequested = 1; }

int fail(const char *what)
{
    fprintf(stderr, "ptypeer: %s: %s\n", what, strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    const char *link = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--link") == 0 && i + 1 < argc)
            link = argv[++i];
        else {
            fprintf(stderr, "usage: ptypeer --link PATH\n");
            return 2;
        }
    }
    if (!link) {
        fprintf(stderr, "usage: ptypeer --link PATH\n");
        return 2;
    }

    prctl(PR_SET_PDEATHSIG, SIGTERM);
    sigset_t stops, old;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGHUP);
    sigprocmask(SIG_BLOCK, &stops, &old); // delivered only inside ppoll below
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    // A new session, so that the slave can become its controlling terminal.
    if (setsid() < 0)
        fprintf(stderr, "ptypeer: setsid: %s (going on without a controlling terminal)\n", strerror(errno));

    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        return fail("posix_openpt");
    if (grantpt(master) != 0 || unlockpt(master) != 0)
        return fail("grantpt/unlockpt");
    const char *name = ptsname(master);
    if (!name)
        return fail("ptsname");
    std::string slaveName = name;
    int slave = open(slaveName.c_str(), O_RDWR | O_CLOEXEC);
    if (slave < 0)
        return fail("open slave");
    ioctl(slave, TIOCSCTTY, 0);
    wire::makeRaw(slave, 0); // at whatever speed: a pseudo-terminal has none
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

    std::string tmp = std::string(link) + ".tmp" + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(slaveName.c_str(), tmp.c_str()) != 0)
        return fail("symlink");
    if (rename(tmp.c_str(), link) != 0) {
        unlink(tmp.c_str());
        return fail("rename link");
    }

    printf("READY %s\n", slaveName.c_str());
    fflush(stdout);

    std::string pending; // received and not yet echoed
    char buf[4096];
    while (!stopRequested) {
        pollfd p = {master, static_cast<short>(POLLIN | (pending.empty() ? 0 : POLLOUT)), 0};
        int r = ppoll(&p, 1, nullptr, &old);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (p.revents & (POLLERR | POLLNVAL))
            break;
        if (p.revents & POLLIN) {
            ssize_t n = read(master, buf, sizeof buf);
            if (n > 0)
                pending.append(buf, static_cast<size_t>(n));
        }
        if (!pending.empty()) {
            ssize_t n = write(master, pending.data(), pending.size());
            if (n > 0)
                pending.erase(0, static_cast<size_t>(n));
        }
    }

    char target[4096];
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n >= 0) {
        target[n] = '\0';
        if (slaveName == target)
            unlink(link);
    }
    close(slave);
    close(master);
    return 0;
}
