// The host's console: the module's text (captured from the host services)
// is relayed as-is, and the host's own lines always start on a fresh line.
#ifndef TOOLS_HOST_CONSOLE_H
#define TOOLS_HOST_CONSOLE_H

#include <cstdio>
#include <functional>
#include <string>

namespace vhost {

class Console {
public:
    explicit Console(FILE *out) : out_(out) {}
    void relay();                       // passes on what the module printed
    void line(const std::string &text); // one line of the host's own
    void finish();                      // ends a pending partial line
    // While held (the live view owns the screen), the module's text is kept
    // instead of written; takeHeld() returns and forgets it.
    void hold(bool on) { heldOn_ = on; }
    std::string takeHeld();
    // Sees every piece of the module's text as it is relayed (the runner
    // relays after each instruction call), held or not.
    void tap(std::function<void(const std::string &)> f) { tap_ = std::move(f); }

private:
    void write(const std::string &s);
    FILE *out_;
    std::function<void(const std::string &)> tap_;
    bool atLineStart_ = true;
    bool heldOn_ = false;
    std::string held_;
};

} // namespace vhost

#endif
