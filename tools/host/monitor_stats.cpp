// The monitor's figures per module address and the hints that link the
// faults of one exchange to the next's.
#include "monitor_stats.h"

#include <algorithm>
#include <cstdio>

#include "wire_format.h"

namespace vhost::monitor {

namespace {

constexpr unsigned bit(Fault f) { return 1u << static_cast<int>(f); }
// What a reply that was not waited for becomes in the exchange it lands in.
constexpr unsigned LANDED = bit(Fault::Late) | bit(Fault::Unasked) | bit(Fault::WrongLength);

unsigned kindsOf(const Exchange &x)
{
    unsigned k = 0;
    for (Fault f : x.faults)
        k |= bit(f);
    return k;
}

// "a late or unasked reply", from the kinds seen.
std::string landedText(unsigned kinds)
{
    const std::pair<Fault, const char *> names[] = {
        {Fault::Late, "late"}, {Fault::Unasked, "unasked"}, {Fault::WrongLength, "wrong-length"}};
    std::vector<std::string> seen;
    for (const auto &[f, name] : names)
        if (kinds & bit(f))
            seen.push_back(name);
    std::string s;
    for (size_t i = 0; i < seen.size(); ++i)
        s += (i == 0 ? "" : i + 1 == seen.size() ? " or " : ", ") + seen[i];
    return (seen[0] == "unasked" ? "an " : "a ") + s + " reply";
}

// At least three times, and at least half of the times it could have.
bool regular(long n, long of) { return n >= 3 && 2 * n >= of; }

} // namespace

long AddressStats::faulted() const
{
    long n = 0;
    for (long f : faults)
        n += f;
    return n;
}

std::string keyText(int key)
{
    if (key == BROADCAST)
        return "**";
    return key < 0 ? "--" : wire::hex2(static_cast<uint32_t>(key)) + "h";
}

std::string responseText(const TimeStats &t)
{
    if (t.empty())
        return "no reply timed";
    char buf[96];
    std::snprintf(buf, sizeof buf, "reply median %.1f ms, p99 %.1f ms, max %.1f ms", t.median(), t.percentile(99),
                  t.max());
    return buf;
}

std::string faultCounts(const long (&faults)[FAULT_KINDS])
{
    std::string s;
    for (int f = 0; f < FAULT_KINDS; ++f)
        if (faults[f])
            s += (s.empty() ? "" : ", ") + std::string(faultName(static_cast<Fault>(f))) + " x " +
                 std::to_string(faults[f]);
    return s.empty() ? "no faults" : s;
}

void MonitorStats::add(const Exchange &x)
{
    const int key = x.broadcast ? BROADCAST : x.address;
    AddressStats &s = by_[key];
    ++s.exchanges;
    ++exchanges_;
    for (Fault f : x.faults) {
        ++s.faults[static_cast<int>(f)];
        ++faults_[static_cast<int>(f)];
    }
    if (!x.instruction.empty())
        s.instruction = x.instruction;
    if (!x.values.empty())
        s.values = x.values;
    if (x.replyStartUs >= 0 && x.commandEndUs >= 0)
        s.replyMs.add(static_cast<double>(x.replyEndUs - x.commandEndUs) / 1000.0);
    if (!x.reply.empty())
        s.heardUs = x.replyEndUs;
    if (!x.faults.empty())
        lastFault_ = exchangeLine(x);

    // A reply that comes after the master gave up on its module lands in
    // the next exchange: that one takes it for its own (a reply of another
    // length, or late), or the reply fits and the next exchange's own reply
    // follows unasked.
    const unsigned kinds = kindsOf(x);
    if (pending_.first != NO_PENDING && (kinds & bit(Fault::Unasked)))
        landed(pending_.first, pending_.second, bit(Fault::Unasked));
    pending_ = {NO_PENDING, NO_PENDING};
    if (havePrev_ && prevNoReply_) {
        if (kinds & LANDED)
            landed(prevKey_, key, kinds & LANDED);
        else
            pending_ = {prevKey_, key};
    }
    // Another master's command comes while a reply is due and the reply
    // comes all the same (a master that gave up on a module that did not
    // answer and went on without a pause is one master in a hurry).
    if (havePrev_ && !prevNoReply_ && (kinds & bit(Fault::SecondMaster)))
        ++links_[{prevKey_, key}].secondMaster;
    prevKey_ = key;
    prevNoReply_ = x.has(Fault::NoReply);
    havePrev_ = true;
}

void MonitorStats::landed(int from, int to, unsigned kinds)
{
    Link &l = links_[{from, to}];
    ++l.lateLanding;
    l.kinds |= kinds;
}

std::vector<std::string> MonitorStats::hints() const
{
    std::vector<std::string> out;
    char buf[512];
    std::vector<int> lateAt;
    for (const auto &[pair, l] : links_) {
        const auto &[from, to] = pair;
        const long noReplies = by_.at(from).faults[static_cast<int>(Fault::NoReply)];
        if (!regular(l.lateLanding, noReplies))
            continue;
        const std::string a = keyText(from);
        std::snprintf(buf, sizeof buf,
                      "hint: %ld of %ld no-replies at %s were followed by %s in %s: %s answers after the master has "
                      "given up on it (its time-out is too short for %s, or a USB adapter holds the bytes back)",
                      l.lateLanding, noReplies, a.c_str(), landedText(l.kinds).c_str(),
                      to == NO_ADDRESS ? "the next exchange"
                      : to == from     ? (a + "'s next exchange").c_str()
                                       : (keyText(to) + "'s exchange").c_str(),
                      a.c_str(), a.c_str());
        out.push_back(buf);
        lateAt.push_back(from);
    }
    // A reply that repeats its address is paired with its own command,
    // late; one that is later still lands in a later exchange of its own.
    for (const auto &[key, s] : by_) {
        const long late = s.faults[static_cast<int>(Fault::Late)],
                   wrong = s.faults[static_cast<int>(Fault::WrongLength)],
                   none = s.faults[static_cast<int>(Fault::NoReply)];
        if (key < 0 || key == BROADCAST || std::find(lateAt.begin(), lateAt.end(), key) != lateAt.end())
            continue;
        const std::string a = keyText(key);
        const long asked = s.exchanges - s.faults[static_cast<int>(Fault::Unasked)];
        if (none >= 3 && late + wrong >= 3 && 2 * (none + late + wrong) >= asked)
            std::snprintf(buf, sizeof buf,
                          "hint: of %ld exchanges at %s, %ld had no reply and %ld a reply late or of the wrong length: "
                          "%s answers after the master has given up on it, and its replies land in its later "
                          "exchanges (its time-out is too short for %s, or a USB adapter holds the bytes back)",
                          asked, a.c_str(), none, late + wrong, a.c_str(), a.c_str());
        else if (regular(late, s.faulted()))
            std::snprintf(buf, sizeof buf,
                          "hint: %ld of %ld replies from %s came after the next command had started: %s answers after "
                          "the master has given up on it (its time-out is too short for %s, or a USB adapter holds the "
                          "bytes back)",
                          late, s.exchanges, a.c_str(), a.c_str(), a.c_str());
        else
            continue;
        out.push_back(buf);
    }
    for (const auto &[pair, l] : links_) {
        const auto &[from, to] = pair;
        const AddressStats &b = by_.at(to);
        if (!regular(l.secondMaster, b.faults[static_cast<int>(Fault::SecondMaster)]))
            continue;
        std::snprintf(buf, sizeof buf,
                      "hint: %ld of %ld commands to %s came while %s's reply was due: a second master on the line "
                      "sends them without waiting for the replies (another PC, panel or gateway polling this line; a "
                      "line has one master)",
                      l.secondMaster, b.exchanges, keyText(to).c_str(), keyText(from).c_str());
        out.push_back(buf);
    }
    return out;
}

std::vector<std::string> MonitorStats::summary() const
{
    std::vector<std::string> out = {"summary: " + std::to_string(exchanges_) + " exchanges"};
    for (const auto &[key, s] : by_) {
        std::string line = "  " + keyText(key) + ": " + std::to_string(s.exchanges) + " exchanges";
        if (!s.replyMs.empty())
            line += "; " + responseText(s.replyMs);
        if (s.faulted() > 0)
            line += "; " + faultCounts(s.faults);
        out.push_back(line);
    }
    const std::string faults = faultCounts(faults_);
    out.push_back("faults: " + (faults == "no faults" ? std::string("none") : faults));
    for (const std::string &h : hints())
        out.push_back(h);
    return out;
}

} // namespace vhost::monitor
