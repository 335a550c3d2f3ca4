// Listening for the line's speed and checksum setting on a read-only port.
#include <cstdio>

#include "cmd_common.h"
#include "monitor_auto.h"
#include "platform.h"

namespace vhost::monitor {

namespace {

// How long each speed is listened to: long enough for a few exchanges at
// the slowest speed (an analog reply takes half a second at 1200 baud).
constexpr int64_t TRIAL_US = 3000000;
// With the speed given, how long the commands may take to show the checksum
// setting before it is taken as off.
constexpr int64_t CHECKSUM_US = 10000000;

std::string speedList(const std::vector<int> &speeds)
{
    std::string s;
    for (int b : speeds)
        s += (s.empty() ? "" : ", ") + std::to_string(b);
    return s;
}

// Listens at `baud` until the trial is decided or its time is up: the
// trial's verdict (UNDECIDED when the port went away or a signal came).
Trial::Verdict listenAt(int fd, Trial &t, int64_t untilUs, int64_t (*nowUs)(), bool *gone)
{
    char buf[512];
    while (!stopRequested) {
        const int n = readListenPort(fd, buf, sizeof buf, 50);
        if (n < 0) {
            *gone = true;
            return Trial::UNDECIDED;
        }
        if (n > 0)
            t.feed({nowUs(), capture::Dir::Line, std::string(buf, static_cast<size_t>(n))});
        else
            t.idle(nowUs());
        const Trial::Verdict v = t.verdict(nowUs() >= untilUs);
        if (v != Trial::UNDECIDED)
            return v;
    }
    return Trial::UNDECIDED;
}

// What was heard from the first line that began while listening: the
// line under way when the port was opened is cut.
std::vector<capture::Chunk> fromFirstLine(const std::vector<capture::Chunk> &heard)
{
    std::vector<capture::Chunk> out;
    for (const capture::Chunk &c : heard) {
        if (!out.empty()) {
            out.push_back(c);
            continue;
        }
        const size_t cr = c.bytes.find('\r');
        if (cr != std::string::npos && cr + 1 < c.bytes.size())
            out.push_back({c.us, c.dir, c.bytes.substr(cr + 1)});
        else if (cr != std::string::npos)
            out.push_back({c.us, c.dir, ""});
    }
    return out;
}

void sayChecksum(bool on)
{
    std::fprintf(stderr, "monitor: the commands %s: checksum %s\n", on ? "carry checksums" : "carry no checksums",
                 on ? "on" : "off");
}

} // namespace

Found findSettings(const std::string &device, int baud, std::optional<bool> checksum, int64_t (*nowUs)())
{
    Found f;
    const std::vector<int> speeds = baud ? std::vector<int>{baud} : speedsToTry();
    if (!baud)
        std::fprintf(stderr, "monitor: finding the line's speed on %s (%s baud in turn, up to %lld s each)\n",
                     device.c_str(), speedList(speeds).c_str(), static_cast<long long>(TRIAL_US / 1000000));
    bool heardAny = false;
    for (int b : speeds) {
        std::string error;
        const int fd = openListenPort(device, b, error);
        if (fd < 0) {
            f.what = Found::NOT_OPENED;
            f.why = error;
            return f;
        }
        Trial t(b, checksum);
        const int64_t start = nowUs();
        bool gone = false;
        const Trial::Verdict v = listenAt(fd, t, start + (baud ? CHECKSUM_US : TRIAL_US), nowUs, &gone);
        heardAny = heardAny || !t.heard().empty();
        if (gone || stopRequested) {
            closeListenPort(fd);
            f.what = gone ? Found::GONE : Found::STOPPED;
            f.why = gone ? device + " went away" : "stopped before the line's settings were found";
            return f;
        }
        // With the speed given only the checksum setting is looked for.
        if (v == Trial::CLEAN || baud) {
            f.fd = fd;
            f.settings = {t.checksum().value_or(false), b};
            f.heard = fromFirstLine(t.heard());
            f.startUs = start;
            if (!baud)
                std::fprintf(stderr, "monitor: the line runs at %d baud\n", b);
            if (!checksum && t.checksum())
                sayChecksum(*t.checksum());
            else if (!checksum)
                std::fprintf(stderr, "monitor: too few commands heard to tell whether they carry checksums; "
                                     "checksum off\n");
            return f;
        }
        closeListenPort(fd);
    }
    f.what = Found::NO_SPEED;
    f.why = "no line speed decodes what " + device + " hears (" + speedList(speeds) + " baud tried, " +
            std::to_string(TRIAL_US / 1000000) + " s each)" +
            (heardAny ? "; give the speed with --baud" : ": nothing was heard at all");
    return f;
}

} // namespace vhost::monitor
