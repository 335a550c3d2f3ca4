// The monitor's reading of command and reply lines by the catalogue: which
// instructions send a command, what its fields and its reply's fields hold.
#include <cstdio>
#include <cstdlib>
#include <set>

#include "monitor_decode.h"
#include "wire_format.h"

namespace vhost::monitor {

namespace {

using catalogue::Field;

bool hexRun(const std::string &s, size_t at, size_t n)
{
    if (at + n > s.size())
        return false;
    for (size_t i = at; i < at + n; ++i)
        if (wire::hexValue(s[i]) < 0)
            return false;
    return true;
}

// Whether the data after the address is the exchange's fields.
bool fieldsFit(const catalogue::Exchange &x, const std::string &data)
{
    size_t at = 0;
    for (int f = 0; f < x.fieldCount; ++f) {
        const Field &field = x.fields[f];
        const size_t width = field.kind == catalogue::TEXT ? std::string(field.text).size() : field.width;
        if (at + width > data.size())
            return false;
        const std::string part = data.substr(at, width);
        switch (field.kind) {
        case catalogue::TEXT:
            if (part != field.text)
                return false;
            break;
        case catalogue::NUMBER:
            if (part != wire::hexDigits(static_cast<uint32_t>(field.number), field.width))
                return false;
            break;
        case catalogue::HEX:
            if (!hexRun(part, 0, width))
                return false;
            break;
        case catalogue::DECIMAL:
            if (part.find_first_not_of("+-0123456789.") != std::string::npos)
                return false;
            break;
        }
        at += width;
    }
    return at == data.size();
}

std::string label(const char *operand)
{
    std::string s = operand ? operand : "";
    if (!s.empty() && s.back() == ':')
        s.pop_back();
    return s;
}

// What a reply's fields are called, by what the exchange does.
const char *replyLabel(catalogue::Kind k)
{
    switch (k) {
    case catalogue::READ_ANALOG:
        return "AIN";
    case catalogue::READ_DIGITAL:
        return "IO";
    case catalogue::READ_COUNTER:
        return "Count";
    case catalogue::READ_STATUS:
        return "Status";
    default:
        return "";
    }
}

std::string number(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.7g", v);
    return buf;
}

// One field of a reply at `at` after the template's run `tmpl` ("hhhh",
// "+dd.ddd"); false when the reply ends before it.  A hex field that starts
// with a minus sign is one character wider and holds no value (an analog
// input without one).
bool replyField(const std::string &body, size_t &at, const std::string &tmpl, catalogue::Kind k, std::string &value)
{
    const bool hex = tmpl[0] == 'h';
    size_t width = tmpl.size() + (hex && at < body.size() && body[at] == '-' ? 1 : 0);
    if (at + width > body.size()) {
        at = body.size();
        return false;
    }
    const std::string part = body.substr(at, width);
    at += width;
    if (part[0] == '-' && hex)
        value = "open";
    else if (!hex)
        value = number(std::strtod(part.c_str(), nullptr));
    else if (k == catalogue::READ_ANALOG || k == catalogue::READ_COUNTER)
        value = wire::hexNumber(part) ? std::to_string(*wire::hexNumber(part)) : part;
    else
        value = "0x" + part;
    return true;
}

// The template's runs: "+dd.ddd" is one field, "hh" another.
std::vector<std::string> templateFields(const std::string &data)
{
    std::vector<std::string> runs;
    for (size_t i = 0; i < data.size();) {
        size_t j = i + 1;
        const bool hex = data[i] == 'h';
        while (j < data.size() && (data[j] == 'h') == hex && !(data[j] == '+' || data[j] == '-'))
            ++j;
        runs.push_back(data.substr(i, j - i));
        i = j;
    }
    return runs;
}

} // namespace

std::vector<Match> matchCommand(const std::string &body)
{
    std::vector<Match> found;
    if (body.size() < 3)
        return found;
    const bool broadcast = body.compare(1, 2, "**") == 0;
    if (!broadcast && !hexRun(body, 1, 2))
        return found;
    const std::string data = body.substr(3);
    for (int i = 0; i < INSTRUCTION_COUNT; ++i) {
        const catalogue::Behaviour &b = catalogue::instructions[i].does;
        for (int e = 0; e < b.exchangeCount; ++e) {
            const catalogue::Exchange &x = b.exchanges[e];
            if (catalogue::framing[x.op].command == body[0] && x.broadcast == broadcast && fieldsFit(x, data))
                found.push_back({i, e});
        }
    }
    return found;
}

std::vector<Match> narrow(const std::vector<Match> &m, const std::vector<Match> &before, bool sameAddress)
{
    std::vector<Match> firsts, seconds;
    for (const Match &c : m) {
        if (c.exchange == 0) {
            firsts.push_back(c);
            continue;
        }
        for (const Match &b : before)
            if (sameAddress && b.instruction == c.instruction && b.exchange == c.exchange - 1)
                seconds.push_back(c);
    }
    if (!seconds.empty())
        return seconds;
    return firsts.empty() ? m : firsts;
}

std::string instructionNames(const std::vector<Match> &m)
{
    std::string names;
    std::set<int> seen;
    for (const Match &c : m)
        if (seen.insert(c.instruction).second)
            names += (names.empty() ? "" : "/") + std::string(catalogue::instructions[c.instruction].name);
    return names;
}

std::string commandValues(const catalogue::Exchange &x, const std::string &body)
{
    std::string out;
    size_t at = 3;
    for (int f = 0; f < x.fieldCount; ++f) {
        const Field &field = x.fields[f];
        const size_t width = field.kind == catalogue::TEXT ? std::string(field.text).size() : field.width;
        const std::string part = body.substr(std::min(at, body.size()), width);
        at += width;
        if (!field.operand)
            continue;
        const bool hexWord = field.kind == catalogue::HEX && field.width > 1;
        out += (out.empty() ? "" : " ") + label(field.operand) + "=" + (hexWord ? "0x" : "") + part;
    }
    return out;
}

void checkReply(const catalogue::Exchange &x, const std::string &body, Exchange &out)
{
    size_t at = 1 + (catalogue::framing[x.op].addressed ? 2 : 0);
    const bool decimalForm = body.find_first_of("+.") != std::string::npos;
    const catalogue::Form &form = x.selector && !decimalForm ? x.other : x.usual;
    out.what = form.what;
    bool fits = at <= body.size();
    std::vector<std::string> values;
    const std::vector<std::string> runs = templateFields(form.data ? form.data : "");
    for (int r = 0; r < form.repeat && fits; ++r)
        for (const std::string &run : runs) {
            std::string v;
            if (!replyField(body, at, run, x.kind, v)) {
                fits = false;
                break;
            }
            values.push_back(v);
        }
    if (!fits || at != body.size())
        out.faults.push_back(Fault::WrongLength);
    if (values.empty())
        return;
    std::string shown = values.size() == 1 ? values[0] : "[";
    for (size_t i = 0; i < values.size() && values.size() > 1; ++i)
        shown += values[i] + (i + 1 < values.size() ? "," : "]");
    out.values += (out.values.empty() ? "" : " ") + std::string(replyLabel(x.kind)) + "=" + shown;
}

} // namespace vhost::monitor

namespace vhost::monitor {

namespace {

std::string addressText(const Exchange &x)
{
    if (x.broadcast)
        return "**";
    return x.address < 0 ? "--" : wire::hex2(static_cast<uint32_t>(x.address)) + "h";
}

std::string msText(int64_t us)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", us / 1000.0);
    return buf;
}

std::string faultsText(const Exchange &x, const char *between)
{
    std::string s;
    for (Fault f : x.faults)
        s += (s.empty() ? "" : between) + std::string(faultName(f));
    return s.empty() ? "ok" : s;
}

} // namespace

std::string exchangeLine(const Exchange &x)
{
    char t[32];
    std::snprintf(t, sizeof t, "%.6f", x.startUs / 1e6);
    std::string reply = "-";
    if (x.replyStartUs >= 0 && x.commandEndUs >= 0)
        reply =
            "reply " + msText(x.replyStartUs - x.commandEndUs) + "/" + msText(x.replyEndUs - x.commandEndUs) + " ms";
    return std::string(t) + "  " + addressText(x) + "  " + (x.instruction.empty() ? "-" : x.instruction) + "  " +
           (x.what.empty() ? "-" : x.what) + "  " + (x.values.empty() ? "-" : x.values) + "  " + reply + "  " +
           faultsText(x, ", ");
}

std::string csvHeader()
{
    return "time_us,address,instruction,exchange,values,command,reply,reply_start_ms,reply_end_ms,faults";
}

std::string csvRow(const Exchange &x)
{
    const auto field = [](const std::string &s) {
        std::string q = "\"";
        for (char c : wire::escape(s))
            q += c == '"' ? std::string("\"\"") : std::string(1, c);
        return q + "\"";
    };
    const bool timed = x.replyStartUs >= 0 && x.commandEndUs >= 0;
    return std::to_string(x.startUs) + "," + addressText(x) + "," + x.instruction + "," + field(x.what) + "," +
           field(x.values) + "," + field(x.command) + "," + field(x.reply) + "," +
           (timed ? msText(x.replyStartUs - x.commandEndUs) : "") + "," +
           (timed ? msText(x.replyEndUs - x.commandEndUs) : "") + "," + faultsText(x, ";");
}

} // namespace vhost::monitor
