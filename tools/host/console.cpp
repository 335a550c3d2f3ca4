// The host's console: the module's text relayed, held while the live view
// owns the screen, and the host's own lines on lines of their own.
#include "console.h"

#include "hostsvc.h"

namespace vhost {

void Console::write(const std::string &s)
{
    if (s.empty())
        return;
    fwrite(s.data(), 1, s.size(), out_);
    fflush(out_);
    atLineStart_ = s.back() == '\n';
}

void Console::relay(const std::string &source)
{
    std::string text = hostsvc::takeConsole();
    if (tap_ && !text.empty())
        tap_(text, source);
    if (!heldOn_)
        write(text);
}

void Console::line(const std::string &text)
{
    relay();
    if (!atLineStart_)
        write("\n");
    write(text + "\n");
}

void Console::finish()
{
    relay();
    if (!atLineStart_)
        write("\n");
}

} // namespace vhost
