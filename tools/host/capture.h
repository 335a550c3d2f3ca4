// A capture of the line: every byte with the time it was seen, one text line
// per burst, written as it happens and read back by `monitor --replay`.
//
//     # veldran capture 1: microseconds, tx|rx|line, bytes
//     1042 tx #01\r
//     5310 rx >+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250\r
//
// The time is in microseconds from the start of the capture; `tx` what the
// host's serial library sent, `rx` what it received, `line` what a listener
// heard on the wire without knowing who sent it; then one blank and the
// bytes, printable ASCII as it is and \r, \n, \\ and \xNN for the others
// (wire::escape).  Lines starting with `#` are comments.  A last line
// without its newline (the writer was killed while writing it) is left out.
#ifndef TOOLS_HOST_CAPTURE_H
#define TOOLS_HOST_CAPTURE_H

#include <cstdint>
#include <cstdio>
#include <istream>
#include <optional>
#include <string>
#include <vector>

namespace vhost::capture {

enum class Dir { Tx, Rx, Line };

struct Chunk {
    int64_t us = 0;
    Dir dir = Dir::Line;
    std::string bytes;
};

const char *dirName(Dir d);
// One line of the file, without its newline.
std::string formatChunk(const Chunk &c);
// A line of the file, or nothing when it is not one (a comment is not).
std::optional<Chunk> parseChunk(const std::string &line);

struct Capture {
    std::vector<Chunk> chunks;
    bool torn = false;  // the last line had no newline and was left out
    long badLine = 0;   // the first line that is neither a burst nor a comment (0: none)
    std::string reason; // what is wrong with it
};
Capture read(std::istream &in);

// Writes a capture, flushed after every line.  Times are stamped by the
// caller (microseconds from its start).
class Writer {
public:
    Writer() = default;
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;
    // False with `error` set when the file cannot be created or written.
    bool open(const std::string &path, std::string &error);
    bool add(const Chunk &c);
    bool isOpen() const { return f_ != nullptr; }
    bool failed() const { return failed_; }

private:
    std::FILE *f_ = nullptr;
    bool failed_ = false;
};

// The serial library's bytes into `w`, stamped with the monotonic clock
// from now on; false where the library cannot be watched (only the POSIX
// stand-in can).  Null stops it.
bool recordSerialLibrary(Writer *w);

// `--capture FILE` of a subcommand that talks to the line through the
// serial library: the file opened and the library watched from start()
// until the recording goes (or stop()), with what went wrong said on
// stderr in the program's words.
class Recording {
public:
    Recording() = default;
    ~Recording() { stop(); }
    Recording(const Recording &) = delete;
    Recording &operator=(const Recording &) = delete;
    // True when `path` is empty (nothing to record) or the recording runs.
    bool start(const std::string &path);
    void stop();

private:
    Writer w_;
    std::string path_;
};

} // namespace vhost::capture

#endif
