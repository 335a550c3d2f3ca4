#include "faults.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "answers.h"
#include "numbers.h"

namespace vsim {

namespace {

// Bounds of the numbers a fault takes: a delay of a minute at most (a
// babble of that length is over 100,000 characters at 19200 baud), counts
// that fit an int.
constexpr double MAX_DELAY_MS = 60000;
constexpr long long MAX_COUNT = 1000000000;

struct Name {
    FaultKind kind;
    const char *name;
};
const Name NAMES[] = {
    {FaultKind::Silence, "silence"}, {FaultKind::Refuse, "refuse"},     {FaultKind::Noise, "noise"},
    {FaultKind::BadSum, "badsum"},   {FaultKind::LowerSum, "lowersum"}, {FaultKind::Truncate, "truncate"},
    {FaultKind::Extra, "extra"},     {FaultKind::NoCr, "nocr"},         {FaultKind::Late, "late"},
    {FaultKind::Split, "split"},     {FaultKind::Babble, "babble"},
};

// Characters that no reply collection takes for a start or a refusal.
const char NOISE[] = {'\x00', '\x7F', '\xFF', 'Z', '*', '%'};

// Control-channel text: \r, \n, \t, \\ and \xNN stand for themselves.
std::string unescape(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'r')
            out += '\r';
        else if (c == 'n')
            out += '\n';
        else if (c == 't')
            out += '\t';
        else if (c == 'x' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
                 std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::strtol(s.substr(i + 1, 2).c_str(), nullptr, 16));
            i += 2;
        } else
            out += c;
    }
    return out;
}

} // namespace

std::optional<FaultKind> faultFromName(std::string_view name)
{
    for (const auto &n : NAMES)
        if (name == n.name)
            return n.kind;
    return std::nullopt;
}

const char *faultName(FaultKind k)
{
    for (const auto &n : NAMES)
        if (n.kind == k)
            return n.name;
    return "?";
}

double Fault::delay() const
{
    if (delayMs >= 0)
        return delayMs;
    if (kind == FaultKind::Late)
        return 100.0;
    return kind == FaultKind::Babble ? 200.0 : 10.0;
}

std::optional<Fault> parseFault(const std::vector<std::string> &w, std::string *error)
{
    auto bad = [&](const std::string &why) -> std::optional<Fault> {
        if (error)
            *error = why;
        return std::nullopt;
    };
    if (w.size() < 2)
        return bad("usage: fault <addr|*> <kind> [p=P] [delay=MS] [count=N] [pieces=N] [keep=N] [text=T]");
    Fault f;
    if (w[0] != "*") {
        long a = -1;
        if (!toLong(w[0], a) || a < 0 || a > 255)
            return bad("bad address: " + w[0]);
        f.address = static_cast<int>(a);
    }
    auto k = faultFromName(w[1]);
    if (!k)
        return bad("unknown fault: " + w[1]);
    f.kind = *k;
    for (size_t i = 2; i < w.size(); ++i) {
        const auto eq = w[i].find('=');
        if (eq == std::string::npos)
            return bad("expected key=value: " + w[i]);
        const std::string key = w[i].substr(0, eq), val = w[i].substr(eq + 1);
        double d = 0;
        long n = 0;
        if (key == "p" && toDouble(val, d) && d >= 0 && d <= 1)
            f.p = d;
        else if (key == "delay" && toDouble(val, d) && d >= 0 && d <= MAX_DELAY_MS)
            f.delayMs = d;
        else if (key == "count" && toLong(val, n) && n >= 0 && n <= MAX_COUNT)
            f.count = static_cast<int>(n);
        else if (key == "pieces" && toLong(val, n) && n >= 2 && n <= 100)
            f.pieces = static_cast<int>(n);
        else if (key == "keep" && toLong(val, n) && n >= 0 && n <= MAX_COUNT)
            f.keep = static_cast<int>(n);
        else if (key == "text" && !val.empty())
            f.text = unescape(val);
        else
            return bad("bad option: " + w[i]);
    }
    return f;
}

std::string describe(const Fault &f)
{
    std::ostringstream os;
    os << (f.address < 0 ? std::string("*") : std::to_string(f.address)) << ' ' << faultName(f.kind) << " p=" << f.p;
    if (f.kind == FaultKind::Late || f.kind == FaultKind::Split || f.kind == FaultKind::Babble)
        os << " delay=" << f.delay();
    if (f.kind == FaultKind::Split)
        os << " pieces=" << f.pieces;
    if (f.kind == FaultKind::Truncate && f.keep >= 0)
        os << " keep=" << f.keep;
    if (f.count >= 0)
        os << " count=" << f.count;
    return os.str();
}

bool has(const std::vector<Fault> &struck, FaultKind k)
{
    return std::any_of(struck.begin(), struck.end(), [k](const Fault &f) { return f.kind == k; });
}

std::vector<Fault> FaultSet::roll(int address)
{
    std::vector<Fault> struck;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (auto &f : faults_) {
        if (f.address >= 0 && f.address != address)
            continue;
        if (f.count == 0)
            continue;
        // Always draw, so that the sequence of a seed does not depend on p.
        const double r = u(rng_);
        if (f.p < 1.0 && r >= f.p)
            continue;
        if (f.count > 0)
            --f.count;
        struck.push_back(f);
    }
    faults_.erase(std::remove_if(faults_.begin(), faults_.end(), [](const Fault &f) { return f.count == 0; }),
                  faults_.end());
    return struck;
}

Shaped FaultSet::shape(const std::string &reply, bool sum, const std::vector<Fault> &struck)
{
    std::string body = reply;
    const Fault *split = nullptr;
    Shaped out;
    std::string prefix;
    bool cr = true;
    for (const auto &f : struck) {
        switch (f.kind) {
        case FaultKind::BadSum:
            if (sum && body.size() >= 2) {
                const std::string data = body.substr(0, body.size() - 2);
                const unsigned wrong = (std::strtoul(checksum(data).c_str(), nullptr, 16) + 1) & 0xFF;
                body = data + hex2(wrong);
            }
            break;
        case FaultKind::LowerSum:
            if (sum && body.size() >= 2)
                for (size_t i = body.size() - 2; i < body.size(); ++i)
                    body[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(body[i])));
            break;
        case FaultKind::Truncate: {
            size_t keep = f.keep >= 0 ? static_cast<size_t>(f.keep) : body.size() / 2;
            if (!body.empty())
                keep = std::min(keep, body.size() - 1);
            body.resize(keep);
            break;
        }
        case FaultKind::Extra:
            body += f.text.empty() ? std::string("0") : f.text;
            break;
        case FaultKind::Noise:
            if (!f.text.empty())
                prefix += f.text;
            else {
                std::uniform_int_distribution<int> n(1, 3), which(0, static_cast<int>(sizeof NOISE) - 1);
                for (int i = n(rng_); i > 0; --i)
                    prefix += NOISE[which(rng_)];
            }
            break;
        case FaultKind::NoCr:
            cr = false;
            break;
        case FaultKind::Late:
            out.delayMs += f.delay();
            break;
        case FaultKind::Split:
            split = &f;
            break;
        case FaultKind::Silence:
        case FaultKind::Refuse:
        case FaultKind::Babble:
            break;
        }
    }
    std::string wire = prefix + body + (cr ? "\r" : "");
    if (!split || wire.size() < 2) {
        out.pieces.push_back({0, wire});
        return out;
    }
    const size_t n = std::min(static_cast<size_t>(split->pieces), wire.size());
    size_t at = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t len = (wire.size() - at) / (n - i);
        out.pieces.push_back({i == 0 ? 0.0 : split->delay(), wire.substr(at, len)});
        at += len;
    }
    return out;
}

} // namespace vsim
