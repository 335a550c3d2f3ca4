// The lines `term` reads: typed at a terminal with line editing and a
// history (libedit, in the native build), or read plainly from anything
// else (a pipe, a file, and always in the Windows build, which has no
// libedit).
#ifndef TOOLS_HOST_LINE_INPUT_H
#define TOOLS_HOST_LINE_INPUT_H

#include <istream>
#include <string>

namespace vhost {

class LineInput {
public:
    // Line editing only where `in` is the program's standard input and
    // that is a terminal.
    explicit LineInput(std::istream &in);
    LineInput(const LineInput &) = delete;
    LineInput &operator=(const LineInput &) = delete;

    // The next line after `prompt`, without its line end; false at the end
    // of the input.
    bool read(const char *prompt, std::string &line);
    // A line sent, for the Up arrow to bring back.
    void remember(const std::string &line);
    bool editing() const { return edit_; }

private:
    std::istream &in_;
    bool edit_ = false;
};

// What keeps a typed line off the wire: "" for a line of printable text,
// else what it holds ("an escape sequence" for an ESC, which is what the
// arrow and function keys send where nothing edits the line, "a control
// character" for the rest, a DEL included).
std::string unsendable(const std::string &line);

} // namespace vhost

#endif
