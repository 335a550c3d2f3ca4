#include "capture.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform.h"
#include "wire_format.h"

namespace vhost::capture {

const char *dirName(Dir d) { return d == Dir::Tx ? "tx" : d == Dir::Rx ? "rx" : "line"; }

std::string formatChunk(const Chunk &c)
{
    return std::to_string(c.us) + " " + dirName(c.dir) + " " + wire::escape(c.bytes);
}

std::optional<Chunk> parseChunk(const std::string &line)
{
    const size_t a = line.find(' ');
    const size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
    if (b == std::string::npos || a == 0 || line.find_first_not_of("0123456789") != a)
        return std::nullopt;
    Chunk c;
    errno = 0;
    c.us = std::strtoll(line.c_str(), nullptr, 10);
    const std::string dir = line.substr(a + 1, b - a - 1);
    if (errno != 0 || (dir != "tx" && dir != "rx" && dir != "line"))
        return std::nullopt;
    c.dir = dir == "tx" ? Dir::Tx : dir == "rx" ? Dir::Rx : Dir::Line;
    std::optional<std::string> bytes = wire::unescape(std::string_view(line).substr(b + 1));
    if (!bytes || bytes->empty())
        return std::nullopt;
    c.bytes = std::move(*bytes);
    return c;
}

Capture read(std::istream &in)
{
    Capture cap;
    std::string line;
    long number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (in.eof()) { // no newline after it: torn
            cap.torn = true;
            break;
        }
        if (line.empty() || line[0] == '#')
            continue;
        std::optional<Chunk> c = parseChunk(line);
        if (!c || (!cap.chunks.empty() && c->us < cap.chunks.back().us)) {
            cap.badLine = number;
            cap.reason = c ? "its time is before the line's before it"
                           : "not `<microseconds> tx|rx|line <bytes>` with the bytes escaped";
            break;
        }
        cap.chunks.push_back(std::move(*c));
    }
    return cap;
}

Writer::~Writer()
{
    if (f_)
        std::fclose(f_);
}

bool Writer::open(const std::string &path, std::string &error)
{
    f_ = std::fopen(path.c_str(), "w");
    if (!f_ || std::fputs("# veldran capture 1: microseconds, tx|rx|line, bytes\n", f_) < 0 || std::fflush(f_) != 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        if (f_)
            std::fclose(f_);
        f_ = nullptr;
        return false;
    }
    return true;
}

bool Writer::add(const Chunk &c)
{
    if (!f_ || failed_)
        return false;
    const std::string line = formatChunk(c) + "\n";
    failed_ = std::fwrite(line.data(), 1, line.size(), f_) != line.size() || std::fflush(f_) != 0;
    return !failed_;
}

namespace {

Writer *recording = nullptr;
std::chrono::steady_clock::time_point recordStart;

void record(int port, bool sent, const char *bytes, int n)
{
    (void)port;
    if (!recording)
        return;
    const auto us =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - recordStart);
    recording->add({us.count(), sent ? Dir::Tx : Dir::Rx, std::string(bytes, static_cast<size_t>(n))});
}

} // namespace

bool recordSerialLibrary(Writer *w)
{
    recording = w;
    recordStart = std::chrono::steady_clock::now();
    return watchSerialLibrary(w ? record : nullptr);
}

bool Recording::start(const std::string &path)
{
    if (path.empty())
        return true;
    std::string error;
    if (!w_.open(path, error)) {
        std::fprintf(stderr, "veldran-host: %s\n", error.c_str());
        return false;
    }
    if (!recordSerialLibrary(&w_)) {
        std::fprintf(stderr, "veldran-host: --capture: this serial library cannot be watched (comm.dll has only the "
                             "serial functions); capture with the native host\n");
        return false;
    }
    path_ = path;
    return true;
}

void Recording::stop()
{
    if (path_.empty())
        return;
    recordSerialLibrary(nullptr);
    if (w_.failed())
        std::fprintf(stderr, "veldran-host: cannot write %s: the capture ends early\n", path_.c_str());
    path_.clear();
}

} // namespace vhost::capture
