// The monitor's pairing of commands and replies.  A line ends at its
// carriage return; who sent it is known from a capture (tx, rx) or told by
// its first protocol character (a listener on the wire): a command
// character, or a reply's start character or "?".  Bytes before that are
// noise; a byte no transmitter sends (the high half, which is what two
// characters at once become) makes the line garbled.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "monitor_decode.h"
#include "wire_format.h"

namespace vhost::monitor {

namespace {

// The longest line kept; a longer one (a babbling module) is cut there.
constexpr size_t MAX_LINE = 256;
// How long a reply may take at most: the module's longest time-out and some.
constexpr int64_t REPLY_WINDOW_US = (wire::TIMEOUT_MAX + 100) * 1000;

} // namespace

bool isCommandChar(char c)
{
    for (const catalogue::Framing &f : catalogue::framing)
        if (f.command == c)
            return true;
    return c == '%'; // the configuration commands of the bring-up tools
}

namespace {

bool isReplyChar(char c)
{
    for (const catalogue::Framing &f : catalogue::framing)
        if (f.start == c)
            return true;
    return c == '?';
}

bool garbled(const std::string &s)
{
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

// The line's first protocol character of the kind asked for (npos: none).
size_t firstOf(const std::string &s, bool commands, bool replies)
{
    for (size_t i = 0; i < s.size(); ++i)
        if ((commands && isCommandChar(s[i])) || (replies && isReplyChar(s[i])))
            return i;
    return std::string::npos;
}

// A command character with the two digits of an address (or the "**" of
// a broadcast) after it: the start of a command, not a stray character.
bool commandStart(const std::string &s, size_t i)
{
    if (i + 3 > s.size() || !isCommandChar(s[i]))
        return false;
    return s.compare(i + 1, 2, "**") == 0 || wire::hexNumber(s.substr(i + 1, 2)).has_value();
}

size_t firstCommandStart(const std::string &s)
{
    for (size_t i = 0; i < s.size(); ++i)
        if (commandStart(s, i))
            return i;
    return std::string::npos;
}

// Splits off and checks the checksum: false when it is wrong or missing.
bool takeChecksum(std::string &body)
{
    if (body.size() < 3)
        return false;
    const std::string sum = body.substr(body.size() - 2);
    body.resize(body.size() - 2);
    return sum == wire::checksum(body);
}

} // namespace

const char *faultName(Fault f)
{
    static const char *const names[] = {"no reply", "refused",    "bad checksum",  "wrong length",
                                        "garbled",  "late reply", "unasked reply", "second master"};
    return names[static_cast<int>(f)];
}

bool Exchange::has(Fault f) const { return std::find(faults.begin(), faults.end(), f) != faults.end(); }

int64_t Decoder::quietUs() const
{
    // What the module waits for after a time-out before the next command:
    // three character times, at least 2 ms.
    return std::max<int64_t>(2000, 30000000LL / std::max(1, settings_.baud));
}

void Decoder::feed(const capture::Chunk &c)
{
    idle(c.us);
    for (char b : c.bytes)
        byte(c.dir, b, c.us);
}

void Decoder::byte(capture::Dir dir, char c, int64_t us)
{
    Partial &p = partial_[static_cast<int>(dir)];
    if (c == '\n' && p.bytes.empty())
        return; // the LF of a CR LF
    if (p.bytes.empty())
        p.firstUs = us;
    p.lastUs = us;
    // The host's command after a quiet line: what it had read before and
    // no carriage return ended (a babble) was a transmission of its own.
    Partial &rx = partial_[static_cast<int>(capture::Dir::Rx)];
    if (dir == capture::Dir::Tx && p.bytes.empty() && !rx.bytes.empty() && us - rx.lastUs > quietUs()) {
        lineFrom({capture::Dir::Rx, rx.bytes, rx.firstUs, rx.lastUs, false}, rx.us);
        rx.bytes.clear();
        rx.us.clear();
    }
    if (c != '\r' && p.bytes.size() < MAX_LINE) {
        p.bytes += c;
        p.us.push_back(us);
        return;
    }
    lineFrom({dir, p.bytes, p.firstUs, us, c == '\r'}, p.us);
    p.bytes.clear();
    p.us.clear();
    if (c != '\r')
        byte(dir, c, us);
}

// On the wire, a whole command after garbage is a transmission of its own:
// the garbage (a module babbling without a carriage return, what is left of
// a collision) ended before the command began, or the command's characters
// would be garbled too.  `us`: when each byte of the line came.
void Decoder::lineFrom(const HeardLine &l, const std::vector<int64_t> &us)
{
    const size_t at = l.dir == capture::Dir::Line ? firstCommandStart(l.bytes) : std::string::npos;
    if (at == std::string::npos || at == 0 || at > us.size() || !garbled(l.bytes.substr(0, at)) ||
        garbled(l.bytes.substr(at)))
        return line(l);
    line({l.dir, l.bytes.substr(0, at), l.firstUs, us[at - 1], false});
    line({l.dir, l.bytes.substr(at), us[at], l.lastUs, l.ended});
}

void Decoder::line(const HeardLine &l)
{
    const bool fromTx = l.dir == capture::Dir::Tx, fromRx = l.dir == capture::Dir::Rx;
    size_t cmd = fromRx ? std::string::npos : firstOf(l.bytes, true, false);
    const size_t rep = fromTx ? std::string::npos : firstOf(l.bytes, false, true);
    // On the wire, a command character that no address follows ahead of a
    // reply's start is noise the module sent before its reply ("%" is one).
    if (!fromTx && !fromRx && cmd != std::string::npos && rep != std::string::npos && cmd < rep &&
        !commandStart(l.bytes, cmd))
        cmd = std::string::npos;
    if (cmd != std::string::npos && (rep == std::string::npos || cmd < rep))
        command(l, cmd);
    else if (rep != std::string::npos || !fromTx)
        reply(l, rep);
    else
        command(l, 0);
}

void Decoder::command(const HeardLine &l, size_t at)
{
    Open o;
    Exchange &x = o.x;
    x.startUs = l.firstUs;
    x.commandEndUs = l.lastUs;
    x.command = l.bytes + (l.ended ? "\r" : "");
    std::string body = l.bytes.substr(at);
    if (garbled(l.bytes) || !l.ended)
        x.faults.push_back(Fault::Garbled);
    else if (settings_.checksum && !takeChecksum(body))
        x.faults.push_back(Fault::BadChecksum);
    if (body.size() >= 3)
        x.broadcast = body.compare(1, 2, "**") == 0;
    if (body.size() >= 3 && !x.broadcast && wire::hexNumber(body.substr(1, 2)))
        x.address = static_cast<int>(*wire::hexNumber(body.substr(1, 2)));
    std::vector<Match> m = matchCommand(body);
    // The second exchange of an instruction follows its first, answered.
    m = narrow(m, last_.answered ? last_.matches : std::vector<Match>(), last_.address == x.address);
    last_ = {m, x.address, false};
    x.instruction = instructionNames(m);
    o.matches = m;
    if (!m.empty()) {
        const catalogue::Exchange &ex = catalogue::instructions[m[0].instruction].does.exchanges[m[0].exchange];
        x.what = ex.usual.what;
        x.values = commandValues(ex, body);
        o.wantsReply = !ex.broadcast && !x.has(Fault::Garbled);
    } else {
        x.what = x.has(Fault::Garbled) ? "garbled line" : "no instruction's command";
        o.wantsReply = !x.has(Fault::Garbled) && !x.broadcast && x.address >= 0;
    }
    // A command while a reply is due: the one before still waits for its
    // reply and the line has not been quiet since, or a reply is coming in.
    for (auto it = open_.rbegin(); it != open_.rend(); ++it)
        if (it->wantsReply && it->x.replyStartUs < 0 && !it->settled) {
            if (x.startUs < it->x.commandEndUs + quietUs())
                x.faults.push_back(Fault::SecondMaster);
            break;
        }
    if (!partial_[static_cast<int>(capture::Dir::Rx)].bytes.empty() && !x.has(Fault::SecondMaster))
        x.faults.push_back(Fault::SecondMaster);
    // A module answers its newest command: an older one at its address that
    // is still waiting gets no reply now.
    if (x.address >= 0 && !x.has(Fault::SecondMaster))
        settleAt(x.address);
    o.settled = !o.wantsReply;
    open_.push_back(std::move(o));
}

// The address a reply repeats (its operation's framing says whether it
// does; a refusal always does), or -1.
static int replyAddress(const std::string &body)
{
    bool addressed = !body.empty() && body[0] == '?';
    for (const catalogue::Framing &f : catalogue::framing)
        addressed = addressed || (!body.empty() && f.start == body[0] && f.addressed);
    const auto a = addressed && body.size() >= 3 ? wire::hexNumber(body.substr(1, 2)) : std::nullopt;
    return a ? static_cast<int>(*a) : -1;
}

// The open exchange a reply answers: the newest that waits for one (for a
// reply that repeats its address, the newest at that address) and whose
// command had ended when the reply began; npos: none.
// Whether `body` has the form of the reply `o`'s command is answered with.
bool Decoder::fits(const Open &o, std::string body) const
{
    if (o.matches.empty() || body.empty() || (settings_.checksum && !takeChecksum(body)))
        return false;
    const Match &m = o.matches[0];
    const catalogue::Exchange &ex = catalogue::instructions[m.instruction].does.exchanges[m.exchange];
    if (body[0] != catalogue::framing[ex.op].start)
        return false;
    Exchange scratch;
    checkReply(ex, body, scratch);
    return !scratch.has(Fault::WrongLength);
}

// The open exchange a reply belongs to: one at its address (or, for a reply
// that does not repeat it, at any), still waiting, the newest first.  While
// an earlier module's reply is still due, a reply without an address goes
// to the newest exchange whose replies have its form: a late digital word
// is not the analog reply the next module was asked for.
size_t Decoder::replyTarget(const HeardLine &l, int address, const std::string &body) const
{
    size_t newest = std::string::npos;
    for (size_t i = open_.size(); i-- > 0;) {
        const Open &o = open_[i];
        if (!o.wantsReply || o.x.replyStartUs >= 0 || o.settled || l.firstUs < o.x.commandEndUs)
            continue;
        if (address >= 0 && o.x.address >= 0 && o.x.address != address)
            continue;
        if (address >= 0 || fits(o, body))
            return i;
        if (newest == std::string::npos)
            newest = i;
    }
    return newest;
}

// A reply for exchange `at` settles the exchanges before it that still
// wait at its address, or at none known: their replies will not come now.
// Another module's may yet come, late, until its reply window closes (the
// host gave up on it and went on; the module did not know).
void Decoder::settleBefore(size_t at)
{
    const int address = open_[at].x.address;
    for (size_t i = 0; i < at; ++i)
        if (!open_[i].settled && (address < 0 || open_[i].x.address < 0 || open_[i].x.address == address)) {
            open_[i].x.faults.push_back(Fault::NoReply);
            open_[i].settled = true;
        }
}

void Decoder::settleAt(int address)
{
    for (Open &o : open_)
        if (!o.settled && o.x.address == address) {
            o.x.faults.push_back(Fault::NoReply);
            o.settled = true;
        }
}

// A reply that no open exchange waits for.
void Decoder::unasked(const HeardLine &l, int address, bool bad)
{
    Open u;
    u.x.startUs = l.firstUs;
    u.x.address = address;
    u.x.what = bad ? "garbled line" : "reply";
    u.x.faults.push_back(bad ? Fault::Garbled : Fault::Unasked);
    u.x.reply = l.bytes + (l.ended ? "\r" : "");
    u.x.replyStartUs = l.firstUs;
    u.x.replyEndUs = l.lastUs;
    u.settled = true;
    open_.push_back(std::move(u));
}

void Decoder::reply(const HeardLine &l, size_t at)
{
    // What came before the reply's start character is noise; a reply is
    // garbled when its own characters are.
    std::string body = at == std::string::npos ? std::string() : l.bytes.substr(at);
    const bool bad = garbled(body) || !l.ended || body.empty();
    const int address = bad ? -1 : replyAddress(body);
    const size_t i = replyTarget(l, address, bad ? std::string() : body);
    if (i == std::string::npos)
        return unasked(l, address, bad);
    settleBefore(i);
    Open &o = open_[i];
    Exchange &x = o.x;
    o.settled = true;
    x.reply = l.bytes + (l.ended ? "\r" : "");
    x.replyStartUs = l.firstUs;
    x.replyEndUs = l.lastUs;
    for (size_t j = i + 1; j < open_.size(); ++j)
        if (!open_[j].x.command.empty()) {
            // After a second master's command the reply is not late: the
            // other master did not wait for it.
            if (l.firstUs >= open_[j].x.startUs && !open_[j].x.has(Fault::SecondMaster))
                x.faults.push_back(Fault::Late);
            break;
        }
    if (bad)
        return x.faults.push_back(Fault::Garbled);
    if (body[0] == '?')
        return x.faults.push_back(Fault::Refused);
    if (settings_.checksum && !takeChecksum(body))
        return x.faults.push_back(Fault::BadChecksum);
    if (o.matches.empty())
        return;
    const Match &m = o.matches[0];
    const catalogue::Exchange &ex = catalogue::instructions[m.instruction].does.exchanges[m.exchange];
    if (body[0] != catalogue::framing[ex.op].start)
        x.faults.push_back(Fault::WrongLength);
    else
        checkReply(ex, body, x);
    last_.answered = x.faults.empty() && i + 1 == open_.size();
}

// The line in `p` so far, cut off there.
void Decoder::cut(Partial &p)
{
    const capture::Dir d = static_cast<capture::Dir>(&p - partial_);
    Partial taken = std::move(p);
    p = Partial();
    lineFrom({d, taken.bytes, taken.firstUs, taken.lastUs, false}, taken.us);
}

void Decoder::idle(int64_t nowUs)
{
    lastUs_ = std::max(lastUs_, nowUs);
    for (Partial &p : partial_)
        if (!p.bytes.empty() && nowUs - p.lastUs > REPLY_WINDOW_US)
            cut(p);
    for (size_t i = 0; i < open_.size(); ++i) {
        if (open_[i].settled || nowUs - open_[i].x.commandEndUs <= REPLY_WINDOW_US)
            continue;
        // A reply still coming in when its window closes (a babble without
        // a carriage return) is the reply, cut off: a line that began after
        // the command and before the next one.
        int64_t next = INT64_MAX;
        for (size_t j = i + 1; j < open_.size() && next == INT64_MAX; ++j)
            if (!open_[j].x.command.empty())
                next = open_[j].x.startUs;
        for (Partial &p : partial_)
            if (!p.bytes.empty() && p.firstUs >= open_[i].x.commandEndUs && p.firstUs < next)
                cut(p);
        if (!open_[i].settled) {
            open_[i].x.faults.push_back(Fault::NoReply);
            open_[i].settled = true;
        }
    }
}

void Decoder::finish() { idle(lastUs_ + 2 * REPLY_WINDOW_US + 1); }

std::vector<Exchange> Decoder::take()
{
    std::vector<Exchange> done;
    while (!open_.empty() && open_.front().settled) {
        done.push_back(std::move(open_.front().x));
        open_.pop_front();
    }
    return done;
}

std::vector<Exchange> decode(const std::vector<capture::Chunk> &chunks, Settings s)
{
    Decoder d(s);
    for (const capture::Chunk &c : chunks)
        d.feed(c);
    d.finish();
    return d.take();
}

} // namespace vhost::monitor
