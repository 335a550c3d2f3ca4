// A screen redrawn in place; see screen.h.
#include "screen.h"

namespace vhost {

void Screen::size(int columns, int rows)
{
    cols_ = columns < MIN_COLUMNS ? MIN_COLUMNS : columns;
    rows_ = rows < 0 ? 0 : rows;
}

void Screen::resize(int columns, int rows)
{
    size(columns, rows);
    resized_ = true;
}

void Screen::begin()
{
    std::fputs("\x1b[?25l\x1b[2J\x1b[H", out_);
    std::fflush(out_);
}

void Screen::end()
{
    // What follows comes on the line below the screen.
    std::fputs(openLine_ ? "\x1b[0m\x1b[?25h\n" : "\x1b[0m\x1b[?25h", out_);
    openLine_ = false;
    std::fflush(out_);
}

bool Screen::due(int64_t nowUs, bool force) const
{
    return !drawn_ || force || resized_ || nowUs - lastUs_ >= REDRAW_US;
}

void Screen::draw(const std::vector<std::string> &lines, int64_t nowUs)
{
    drawn_ = true;
    lastUs_ = nowUs;
    const std::string out = screenText(lines, cols_, rows_, resized_, &openLine_);
    resized_ = false;
    std::fwrite(out.data(), 1, out.size(), out_);
    std::fflush(out_);
}

// The characters of a screen line that take a column (not the sequences
// that mark values).
size_t visibleSize(const std::string &s)
{
    size_t n = 0;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\x1b') {
            size_t m = s.find('m', i);
            if (m == std::string::npos)
                break;
            i = m;
        } else {
            ++n;
        }
    }
    return n;
}

std::vector<std::string> wrapText(const std::string &text, size_t width, size_t indent)
{
    std::vector<std::string> lines;
    std::string rest = text, prefix;
    while (prefix.size() + rest.size() > width) {
        size_t room = width - prefix.size();
        size_t lead = rest.find_first_not_of(' ');
        size_t cut = rest.rfind(' ', room);
        // Two blanks part the fields of a module's line: a break there
        // keeps a field whole ("21.4/21.5/25.8 ms").
        size_t fields = rest.rfind("  ", room);
        if (fields != std::string::npos && lead != std::string::npos && fields > lead && fields >= room / 2)
            cut = fields;
        std::string piece;
        if (cut == std::string::npos || lead == std::string::npos || cut <= lead) {
            // One word longer than the line.
            cut = rest.rfind(',', room - 1);
            cut = cut == std::string::npos || cut == 0 ? room : cut + 1;
            piece = rest.substr(0, cut);
            rest.erase(0, cut);
        } else {
            size_t next = rest.find_first_not_of(' ', cut);
            piece = rest.substr(0, rest.find_last_not_of(' ', cut) + 1);
            rest.erase(0, next == std::string::npos ? rest.size() : next);
        }
        lines.push_back(prefix + piece);
        prefix.assign(indent, ' ');
        if (rest.empty())
            return lines;
    }
    lines.push_back(prefix + rest);
    return lines;
}

std::string screenText(const std::vector<std::string> &lines, int columns, int rows, bool clear, bool *openLine)
{
    // A screen filled to its last row gets no line end after that row,
    // which would scroll it; a line as wide as the screen needs no
    // clearing after it (which on some terminals clears its last
    // character).
    const bool full = rows > 0 && lines.size() >= static_cast<size_t>(rows);
    std::string out = clear ? "\x1b[2J\x1b[H" : "\x1b[H";
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (visibleSize(lines[i]) < static_cast<size_t>(columns))
            out += "\x1b[K";
        if (!full || i + 1 < lines.size())
            out += "\n";
    }
    if (!full)
        out += "\x1b[J";
    *openLine = full;
    return out;
}

} // namespace vhost
