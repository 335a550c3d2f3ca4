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
    // Passes on what the module printed; `source` names the call that
    // printed it ("R3 I7041@0Bh", as the tap sees it; "": none).
    void relay(const std::string &source = "");
    void line(const std::string &text); // one line of the host's own
    void finish();                      // ends a pending partial line
    // While held (the live view owns the screen), the module's text is not
    // written; the tap still sees it.
    void hold(bool on) { heldOn_ = on; }
    // Sees every piece of the module's text as it is relayed (the runner
    // relays after each instruction call), held or not, with its source.
    using Tap = std::function<void(const std::string &text, const std::string &source)>;
    void tap(Tap f) { tap_ = std::move(f); }

private:
    void write(const std::string &s);
    FILE *out_;
    Tap tap_;
    bool atLineStart_ = true;
    bool heldOn_ = false;
};

} // namespace vhost

#endif
