// The loop check's terminal screen: one point at a time, its value as it
// changes, the keys that mark it and move on, what happened last.
#ifndef TOOLS_HOST_LOOPCHECK_SCREEN_H
#define TOOLS_HOST_LOOPCHECK_SCREEN_H

#include <csignal>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "loopcheck.h"

namespace vhost {

class LoopScreen {
public:
    LoopScreen(const vsim::Plant &design, std::string title, FILE *out)
        : design_(design), title_(std::move(title)), out_(out)
    {
    }
    // What the check says, kept for the screen's last lines.
    void say(const std::string &line);
    // Keys from standard input until the check is over, the input ends or
    // `stop` is set; the point's value read again while no key comes.
    void run(LoopCheck &check, volatile std::sig_atomic_t *stop);
    // The screen's lines at a size (for tests).
    std::vector<std::string> lines(const LoopCheck &check, int columns, int rows) const;
    // What one key does; false once the check is over.
    bool key(LoopCheck &check, char c);

private:
    void draw(const LoopCheck &check);
    enum class Entry { None, Note, Value };

    const vsim::Plant &design_;
    std::string title_;
    FILE *out_;
    Entry entry_ = Entry::None;
    std::string typed_;
    std::deque<std::string> said_;
    int columns_ = 80, rows_ = 24;
};

} // namespace vhost

#endif
