// A pseudo-terminal as the far end of a serial line, found through a
// symbolic link: what the test peer (ptypeer) and the module simulator
// (tools/sim) both do.  POSIX only.
#ifndef TOOLS_COMM_PTY_LINK_H
#define TOOLS_COMM_PTY_LINK_H

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace comm {

struct PtyPair {
    int master = -1;
    int slave = -1;
    std::string slaveName;
};

// A new pseudo-terminal, both sides open and closed on exec.  The slave is
// opened without O_NOCTTY: in a session without a controlling terminal it
// may become that terminal (TIOCSCTTY).  Returns what failed, with the
// system's reason, or nothing.
inline std::string openPtyPair(PtyPair &p)
{
    p.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (p.master < 0)
        return std::string("posix_openpt: ") + std::strerror(errno);
    if (grantpt(p.master) != 0 || unlockpt(p.master) != 0)
        return std::string("grantpt/unlockpt: ") + std::strerror(errno);
    const char *name = ptsname(p.master);
    if (!name)
        return std::string("ptsname: ") + std::strerror(errno);
    p.slaveName = name;
    p.slave = open(name, O_RDWR | O_CLOEXEC);
    if (p.slave < 0)
        return "open " + p.slaveName + ": " + std::strerror(errno);
    return {};
}

// Points `link` at `target` through a temporary link renamed over it, so
// that whatever `link` was, it is never missing in between.  Returns what
// failed, with the system's reason, or nothing.
inline std::string pointLink(const std::string &link, const std::string &target)
{
    const std::string tmp = link + ".tmp." + std::to_string(getpid());
    unlink(tmp.c_str());
    if (symlink(target.c_str(), tmp.c_str()) != 0)
        return "symlink " + tmp + ": " + std::strerror(errno);
    if (std::rename(tmp.c_str(), link.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        unlink(tmp.c_str());
        return "rename " + tmp + " to " + link + ": " + why;
    }
    return {};
}

// Removes `link` if it still points at `target`.
inline void removeLink(const std::string &link, const std::string &target)
{
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n < 0)
        return;
    buf[n] = '\0';
    if (target == buf)
        unlink(link.c_str());
}

} // namespace comm

#endif
