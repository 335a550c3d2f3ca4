// A screen redrawn in place on a terminal that takes ANSI sequences, as the
// live views of run and monitor draw theirs: its size (at least 40 columns;
// 0 rows where the height is not known), a clear after a new size, no line
// end after a last line that fills it (which would scroll it), and at most
// five redraws a second.
#ifndef TOOLS_HOST_SCREEN_H
#define TOOLS_HOST_SCREEN_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace vhost {

class Screen {
public:
    Screen(FILE *out, int columns, int rows) : out_(out) { size(columns, rows); }
    // Hides the cursor and clears the terminal.
    void begin();
    // The terminal's new size: the next redraw is due at once, on a cleared
    // screen.
    void resize(int columns, int rows);
    // Shows the cursor again below what was drawn.
    void end();
    int columns() const { return cols_; }
    int rows() const { return rows_; }
    // Whether a redraw at `nowUs` (any clock of microseconds) is due: the
    // first, a forced one, one after a new size, or one a fifth of a second
    // after the last.
    bool due(int64_t nowUs, bool force) const;
    void draw(const std::vector<std::string> &lines, int64_t nowUs);

private:
    static constexpr int MIN_COLUMNS = 40;
    static constexpr int64_t REDRAW_US = 200000;
    void size(int columns, int rows);

    FILE *out_;
    int cols_ = 80, rows_ = 0;
    bool drawn_ = false;
    bool resized_ = false;  // the next redraw clears the screen first
    bool openLine_ = false; // the last line drawn filled the screen: no line end after it
    int64_t lastUs_ = 0;
};

// The characters of a screen line that take a column (not the sequences
// that mark values).
size_t visibleSize(const std::string &s);

// Text onto lines of at most `width` characters, broken at blanks (the
// blanks of the break left out), continuation lines indented by `indent`;
// a word longer than a line is cut after a comma, or where the line ends.
std::vector<std::string> wrapText(const std::string &text, size_t width, size_t indent);

// What redraws a screen in place with `lines` (at most `rows`, 0: not
// known): from the top (`clear`: on a cleared screen), each line's rest
// cleared, and below them; `openLine` tells whether the last line filled
// the screen and got no line end.
std::string screenText(const std::vector<std::string> &lines, int columns, int rows, bool clear, bool *openLine);

} // namespace vhost

#endif
