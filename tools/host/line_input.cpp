// term's line input: libedit's readline where it edits the line, the
// stream's lines otherwise.
#include "line_input.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

#if defined(VHOST_LIBEDIT)
#include <unistd.h>

#include <editline/readline.h>
#endif

namespace vhost {

LineInput::LineInput(std::istream &in) : in_(in)
{
#if defined(VHOST_LIBEDIT)
    edit_ = &in == &std::cin && isatty(STDIN_FILENO) == 1;
    if (edit_)
        using_history();
#endif
}

bool LineInput::read(const char *prompt, std::string &line)
{
#if defined(VHOST_LIBEDIT)
    if (edit_) {
        fflush(stdout);
        char *typed = readline(prompt);
        if (!typed)
            return false;
        line = typed;
        free(typed);
        return true;
    }
#endif
    printf("%s", prompt);
    fflush(stdout);
    if (!std::getline(in_, line))
        return false;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return true;
}

void LineInput::remember(const std::string &line)
{
#if defined(VHOST_LIBEDIT)
    if (edit_)
        add_history(line.c_str());
#else
    (void)line;
#endif
}

std::string unsendable(const std::string &line)
{
    std::string what;
    for (char ch : line) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == 0x1B)
            return "an escape sequence";
        if (c < 0x20 || c == 0x7F)
            what = "a control character";
    }
    return what;
}

} // namespace vhost
