// Finding the line's speed and checksum setting from what is heard.
#include "monitor_auto.h"

#include <algorithm>
#include <cmath>

#include "wire_format.h"

namespace vhost::monitor {

namespace {

// Characters timed before the speed they came at counts.
constexpr long TIMED_ENOUGH = 32;
// How far the characters' speed may be from the line's: a reader woken late
// makes a line look slower or faster, and one of the line speeds is the next
// but one and a half times faster.
constexpr double SPREAD = 1.4;
// Two character times at the slowest speed: a longer gap within a line is
// a pause, not characters on their way.
constexpr int64_t PAUSE_US = 20000;
// What a trial keeps of what it heard to hand on (some seconds at the
// fastest speed).
constexpr size_t KEPT_BYTES = 64 * 1024;

// Whether a command heard ends in the checksum of what comes before.
bool endsInChecksum(const std::string &command)
{
    std::string body = command;
    if (!body.empty() && body.back() == '\r')
        body.pop_back();
    const size_t at = std::find_if(body.begin(), body.end(), isCommandChar) - body.begin();
    if (at == body.size() || body.size() - at < 4)
        return false;
    const std::string sum = body.substr(body.size() - 2);
    return sum == wire::checksum(body.substr(at, body.size() - at - 2));
}

bool unclean(const Exchange &x)
{
    return x.has(Fault::Garbled) || x.has(Fault::WrongLength) || x.has(Fault::BadChecksum) ||
           (!x.command.empty() && x.instruction.empty());
}

} // namespace

std::vector<int> speedsToTry()
{
    std::vector<wire::LineSpeed> s(std::begin(wire::LINE_SPEEDS), std::end(wire::LINE_SPEEDS));
    std::sort(s.begin(), s.end(), [](const wire::LineSpeed &a, const wire::LineSpeed &b) { return a.probe < b.probe; });
    std::vector<int> out;
    for (const wire::LineSpeed &l : s)
        out.push_back(l.baud);
    return out;
}

void RateEstimate::feed(const capture::Chunk &c)
{
    Open &o = open_[static_cast<int>(c.dir)];
    // Characters a pause apart (a reply in pieces, one cut short) are not
    // timed across the pause.
    if (o.open && c.us - o.lastUs > PAUSE_US)
        o.open = false;
    // What came since the read before, when a line was under way then.
    const bool timed = o.open;
    const int64_t since = c.us - o.lastUs;
    long n = 0;
    for (char b : c.bytes) {
        n += o.open ? 1 : 0;
        o.open = b != '\r';
    }
    if (timed && n > 0 && since > 0) {
        chars_ += n;
        us_ += since;
    }
    o.lastUs = c.us;
}

double RateEstimate::bitsPerSecond() const
{
    if (chars_ < TIMED_ENOUGH || us_ <= 0)
        return -1;
    return 10.0 * static_cast<double>(chars_) * 1e6 / static_cast<double>(us_);
}

int RateEstimate::nearestSpeed() const
{
    const double r = bitsPerSecond();
    if (r <= 0)
        return 0;
    int best = 0;
    for (const wire::LineSpeed &s : wire::LINE_SPEEDS)
        if (best == 0 || std::fabs(std::log(r / s.baud)) < std::fabs(std::log(r / best)))
            best = s.baud;
    return best;
}

Trial::Trial(int baud, std::optional<bool> checksum)
    : baud_(baud), given_(checksum), sides_{{Decoder({false, baud})}, {Decoder({true, baud})}}
{
}

void Trial::count(Side &s, bool vote)
{
    for (const Exchange &x : s.d.take()) {
        if (vote && !x.command.empty() && !x.has(Fault::Garbled))
            ++(endsInChecksum(x.command) ? withSum_ : without_);
        if (x.command.empty() && !x.has(Fault::Garbled))
            continue; // an unasked reply: the exchange it belongs to counts
        const bool bad = unclean(x);
        ++(bad ? s.dirty : s.clean);
        s.run = bad ? 0 : s.run + 1;
    }
}

void Trial::feed(const capture::Chunk &c)
{
    rate_.feed(c);
    if (heardBytes_ + c.bytes.size() <= KEPT_BYTES) {
        heard_.push_back(c);
        heardBytes_ += c.bytes.size();
    }
    for (int i = 0; i < 2; ++i) {
        sides_[i].d.feed(c);
        count(sides_[i], i == 0);
    }
}

void Trial::idle(int64_t nowUs)
{
    for (int i = 0; i < 2; ++i) {
        sides_[i].d.idle(nowUs);
        count(sides_[i], i == 0);
    }
}

std::optional<bool> Trial::checksum() const
{
    if (given_)
        return given_;
    // Consistently: three or more commands and none the other way, or (a
    // checksum that matches by chance, one in 256) eight to one.
    const long with = withSum_, without = without_;
    if ((with >= 3 && without == 0) || (with + without >= 16 && with >= 8 * without))
        return true;
    if ((without >= 3 && with == 0) || (with + without >= 16 && without >= 8 * with))
        return false;
    return std::nullopt;
}

Trial::Verdict Trial::verdict(bool over) const
{
    const std::optional<bool> sum = checksum();
    const Side &s = sides_[sum && *sum ? 1 : 0];
    const double r = rate_.bitsPerSecond();
    const bool timed = r > 0, fits = !timed || (r <= baud_ * SPREAD && r >= baud_ / SPREAD);
    // While the checksum setting is not known, garbage at either setting.
    const auto garbage = [](const Side &x) { return x.dirty >= 3 && x.dirty > x.clean; };
    if ((sum ? garbage(s) : garbage(sides_[0]) && garbage(sides_[1])) || (timed && !fits))
        return UNCLEAN;
    if (sum && s.run >= 3 && timed)
        return CLEAN;
    if (!over)
        return UNDECIDED;
    return sum && s.run >= 3 ? CLEAN : UNCLEAN;
}

} // namespace vhost::monitor
