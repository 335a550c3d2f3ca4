#include "answers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace vsim {

namespace {

// The seven-character value field of an analog output write: an optional
// sign, digits and at most one point, with at least one digit.
std::optional<double> valueField(std::string_view s)
{
    if (s.size() != 7)
        return std::nullopt;
    size_t i = 0;
    if (s[0] == '+' || s[0] == '-')
        i = 1;
    bool point = false, digit = false;
    for (; i < s.size(); ++i) {
        if (s[i] == '.' && !point)
            point = true;
        else if (s[i] >= '0' && s[i] <= '9')
            digit = true;
        else
            return std::nullopt;
    }
    if (!digit)
        return std::nullopt;
    return std::strtod(std::string(s).c_str(), nullptr);
}

std::string addr(const Module &m) { return hex2(static_cast<unsigned>(m.answersAt())); }

std::string seal(const Module &m, std::string body)
{
    if (m.sums())
        body += checksum(body);
    return body;
}

} // namespace

std::string decimalField(double v)
{
    if (!std::isfinite(v))
        return v > 0 ? "+9999.9" : "-9999.9";
    const double a = std::fabs(v);
    char buf[64];
    if (a < 99.9995)
        std::snprintf(buf, sizeof buf, "%+07.3f", v);
    else if (a < 999.995)
        std::snprintf(buf, sizeof buf, "%+07.2f", v);
    else if (a < 9999.95)
        std::snprintf(buf, sizeof buf, "%+07.1f", v);
    else
        return v > 0 ? "+9999.9" : "-9999.9";
    return std::string(buf, 7);
}

std::string hexField(double v, double fullScale)
{
    double code = std::isfinite(v) ? std::round(v / fullScale * 32767.0) : (v > 0 ? 32767.0 : -32768.0);
    if (std::isnan(code))
        code = 0;
    code = std::fmax(-32768.0, std::fmin(32767.0, code));
    const unsigned u = static_cast<unsigned>(static_cast<int>(code)) & 0xFFFF;
    return hex2(u >> 8) + hex2(u & 0xFF);
}

std::vector<Frame> frames(Plant &plant, std::string_view line)
{
    Frame f;
    if (line.size() >= 3 && line.substr(0, 3) == "~**") {
        f.kind = Frame::Kind::Broadcast;
        f.broadcastSum = std::string(line.substr(3));
        return {f};
    }
    if (line.size() < 3)
        return {f};
    const char c = line[0];
    if (c != '#' && c != '$' && c != '@' && c != '~' && c != '%')
        return {f};
    const int hi = wire::hexValue(line[1]), lo = wire::hexValue(line[2]);
    if (hi < 0 || lo < 0)
        return {f};
    const std::vector<Module *> all = plant.answering(hi * 16 + lo);
    if (all.empty()) {
        f.kind = Frame::Kind::NoModule;
        return {f};
    }
    std::vector<Frame> out;
    for (Module *m : all) {
        Frame g;
        g.module = m;
        std::string_view body = line;
        if (m->sums()) {
            // The checksum is exact: two upper-case digits over everything before it.
            if (body.size() < 5 || checksum(body.substr(0, body.size() - 2)) != body.substr(body.size() - 2)) {
                g.kind = Frame::Kind::BadChecksum;
                out.push_back(g);
                continue;
            }
            body.remove_suffix(2);
        }
        g.kind = Frame::Kind::Addressed;
        g.payload = std::string(body);
        out.push_back(g);
    }
    return out;
}

Frame frame(Plant &plant, std::string_view line) { return frames(plant, line).front(); }

std::string refusal(const Module &m) { return seal(m, "?" + addr(m)); }

namespace {

using wire::FORMAT_CHECKSUM;
using wire::FORMAT_FORM;
using wire::FORMAT_HEX;

unsigned formatByte(const Module &m)
{
    const bool sums = m.pendingChecksum >= 0 ? m.pendingChecksum == 1 : m.checksum;
    return (sums ? FORMAT_CHECKSUM : 0) | (m.info().ain > 0 && m.hex ? FORMAT_HEX : 0);
}

// $AA2: type, baud code and format as set (a pending change included), with
// the module's own address even in INIT mode, so that a module of unknown
// settings tells them.
std::string configuration(const Module &m, int lineBaud)
{
    const int rate = m.pendingBaud >= 0 ? m.pendingBaud : (m.baud > 0 ? m.baud : lineBaud);
    return "!" + hex2(static_cast<unsigned>(m.address)) + hex2(static_cast<unsigned>(m.typeCode)) +
           hex2(static_cast<unsigned>(wire::baudCode(rate))) + hex2(formatByte(m));
}

// %AANNTTCCFF.  Address, type and format change at once; a change of baud
// code or of the checksum bit only in INIT mode, and then at the next
// power-up.  Returns the reply body without checksum, or nothing to refuse.
std::optional<std::string> configure(Module &m, std::string_view rest, int lineBaud)
{
    if (rest.size() != 8)
        return std::nullopt;
    auto nn = wire::hexNumber(rest.substr(0, 2)), tt = wire::hexNumber(rest.substr(2, 2)),
         cc = wire::hexNumber(rest.substr(4, 2)), ff = wire::hexNumber(rest.substr(6, 2));
    if (!nn || !tt || !cc || !ff)
        return std::nullopt;
    const int rate = wire::baudOfCode(static_cast<int>(*cc));
    if (rate < 0)
        return std::nullopt;
    const unsigned form = *ff & FORMAT_FORM;
    if ((*ff & ~(FORMAT_CHECKSUM | FORMAT_FORM)) != 0)
        return std::nullopt;
    if (m.info().ain > 0 ? (form != 0 && form != FORMAT_HEX) : form != 0)
        return std::nullopt; // percent of range and ohms are not kept by these modules
    const int current = m.pendingBaud >= 0 ? m.pendingBaud : (m.baud > 0 ? m.baud : lineBaud);
    const bool sums = (*ff & FORMAT_CHECKSUM) != 0;
    const bool nowSums = m.pendingChecksum >= 0 ? m.pendingChecksum == 1 : m.checksum;
    if ((rate != current || sums != nowSums) && !m.initMode)
        return std::nullopt;
    if (rate != current)
        m.pendingBaud = rate;
    if (sums != nowSums)
        m.pendingChecksum = sums ? 1 : 0;
    m.address = static_cast<int>(*nn);
    m.typeCode = static_cast<int>(*tt);
    m.hex = form == FORMAT_HEX;
    return "!" + hex2(*nn);
}

// ~AAO(name): one to six printable characters without parentheses.
bool validName(std::string_view n)
{
    if (n.empty() || n.size() > 6)
        return false;
    for (char ch : n)
        if (ch < 0x21 || ch > 0x7E || ch == '(' || ch == ')')
            return false;
    return true;
}

// Analog input field of channel `ch` of an input module.
std::string inputField(const Module &m, int ch, Millis now)
{
    const Signal &s = m.ain[static_cast<size_t>(ch)];
    if (s.isOpen())
        return m.hex ? OPEN_HEX : OPEN_DECIMAL;
    const double v = s.at(now);
    return m.hex ? hexField(v, m.fullScale) : decimalField(v);
}

// #AA (every analog input), #AAN (one input, or a counter) and #AAN(value)
// (an analog output write); `rest` follows the address.
std::string analogCommand(Module &m, std::string_view rest, Millis now)
{
    const ModelInfo &info = m.info();
    if (rest.empty()) { // #AA: every analog input
        if (info.ain == 0)
            return refusal(m);
        std::string r = ">";
        for (int ch = 0; ch < info.ain; ++ch)
            r += inputField(m, ch, now);
        return seal(m, r);
    }
    const int ch = wire::hexValue(rest[0]);
    if (ch < 0)
        return refusal(m);
    if (rest.size() == 1) {
        if (info.ain > 0) { // #AAN on an input module: one channel
            if (ch >= info.ain)
                return refusal(m);
            return seal(m, ">" + inputField(m, ch, now));
        }
        if (info.din > 0) { // #AAN: counter read
            if (ch >= info.din)
                return refusal(m);
            const uint32_t v = m.counter(ch, now);
            char buf[8];
            std::snprintf(buf, sizeof buf, "%05X", static_cast<unsigned>(v));
            return seal(m, "!" + addr(m) + buf);
        }
        return refusal(m);
    }
    if (rest.size() == 8 && info.aout > 0) { // #AAN(value): analog output write
        auto v = valueField(rest.substr(1));
        if (ch >= info.aout || !v)
            return refusal(m);
        if (m.wdExpired)
            return seal(m, "!" + addr(m));
        m.aout[static_cast<size_t>(ch)] = *v;
        return seal(m, ">");
    }
    return refusal(m);
}

// $AA2 (configuration), $AAM (name), $AAF (firmware) and $AACN (counter
// clear); `rest` follows the address.
std::string queryCommand(Module &m, std::string_view rest, Millis now, int lineBaud)
{
    if (rest == "2")
        return seal(m, configuration(m, lineBaud));
    if (rest == "M" || rest == "m")
        return seal(m, "!" + addr(m) + m.name);
    if (rest == "F" || rest == "f")
        return seal(m, "!" + addr(m) + m.firmware);
    if (rest.size() != 2 || (rest[0] != 'C' && rest[0] != 'c') || m.info().din == 0)
        return refusal(m);
    const int ch = wire::hexValue(rest[1]);
    if (ch < 0 || ch >= m.info().din)
        return refusal(m);
    m.setCounter(ch, 0, now);
    return seal(m, "!" + addr(m));
}

// @AA (digital read) and @AA(digits) (digital write); `rest` follows the
// address.
std::string digitalCommand(Module &m, std::string_view rest)
{
    if (rest.empty()) { // @AA: digital read
        switch (m.model) {
        case Model::M7041:
        case Model::M7053:
            return seal(m, ">" + hex2((m.din >> 8) & 0xFF) + hex2(m.din & 0xFF));
        case Model::M7052:
            return seal(m, ">" + hex2(m.din & 0xFF) + "00");
        case Model::M7043:
            return seal(m, ">" + hex2((m.dout >> 8) & 0xFF) + hex2(m.dout & 0xFF));
        case Model::M7060:
        case Model::M7065:
            // Outputs in the first two digits, inputs active-low in the last.
            return seal(m, ">" + hex2(m.dout) + hex2(~m.din & 0x0F));
        default:
            return refusal(m);
        }
    }
    // @AA(digits): digital write, exactly the model's digit count.
    const int digits = m.info().doutDigits;
    if (digits == 0 || rest.size() != static_cast<size_t>(digits))
        return refusal(m);
    auto v = wire::hexNumber(rest);
    if (!v || (*v & ~m.doutMask()) != 0)
        return refusal(m);
    if (m.wdExpired)
        return seal(m, "!" + addr(m));
    m.dout = *v;
    return seal(m, ">");
}

// ~AA0 and ~AA1 (status, reset), ~AA2 and ~AA3EVV (host watchdog) and
// ~AAO(name); `rest` follows the address.
std::string statusCommand(Module &m, std::string_view rest, Millis now)
{
    if (rest == "0")
        return seal(m, "!" + addr(m) + hex2(m.status));
    if (rest == "1") {
        m.resetStatus(now);
        return seal(m, "!" + addr(m));
    }
    if (rest == "2")
        return seal(m, "!" + addr(m) + (m.wdEnabled ? "1" : "0") + hex2(static_cast<unsigned>(m.wdValue)));
    if (rest.size() == 4 && rest[0] == '3' && (rest[1] == '0' || rest[1] == '1')) {
        auto v = wire::hexNumber(rest.substr(2));
        if (!v)
            return refusal(m);
        m.wdEnabled = rest[1] == '1';
        m.wdValue = static_cast<int>(*v);
        m.kickWatchdog(now);
        return seal(m, "!" + addr(m));
    }
    if (rest.size() >= 3 && (rest[0] == 'O' || rest[0] == 'o') && rest[1] == '(' && rest.back() == ')') {
        const std::string_view n = rest.substr(2, rest.size() - 3);
        if (!validName(n))
            return refusal(m);
        m.name = std::string(n);
        return seal(m, "!" + addr(m));
    }
    return refusal(m);
}

} // namespace

std::string execute(Module &m, std::string_view payload, Millis now, int lineBaud)
{
    m.tick(now);
    const char c = payload.empty() ? '\0' : payload[0];
    const std::string_view rest = payload.size() > 3 ? payload.substr(3) : std::string_view();
    switch (c) {
    case '#':
        return analogCommand(m, rest, now);
    case '%': { // %AANNTTCCFF: configuration
        auto r = payload.size() == 11 ? configure(m, rest, lineBaud) : std::nullopt;
        return r ? seal(m, *r) : refusal(m);
    }
    case '$':
        return queryCommand(m, rest, now, lineBaud);
    case '@':
        return digitalCommand(m, rest);
    case '~':
        return statusCommand(m, rest, now);
    default:
        return refusal(m);
    }
}

int hostOk(Plant &plant, std::string_view sum, Millis now, int lineBaud)
{
    const bool withSum = !sum.empty();
    if (withSum && sum != checksum("~**"))
        return 0;
    int n = 0;
    for (auto &m : plant.modules) {
        if (!withSum && m.sums())
            continue;
        if (lineBaud > 0 && m.listensAt() > 0 && m.listensAt() != lineBaud)
            continue; // hears only garbage
        m.tick(now);  // a watchdog that has already run out stays expired
        m.kickWatchdog(now);
        ++n;
    }
    return n;
}

std::vector<int> tickAll(Plant &plant, Millis now)
{
    std::vector<int> expired;
    for (auto &m : plant.modules)
        if (m.tick(now))
            expired.push_back(m.address);
    return expired;
}

std::string answer(Plant &plant, std::string_view line, Millis now)
{
    Frame f = frame(plant, line);
    if (f.kind == Frame::Kind::Broadcast) {
        hostOk(plant, f.broadcastSum, now);
        return {};
    }
    if (f.kind != Frame::Kind::Addressed)
        return {};
    return execute(*f.module, f.payload, now, plant.line.baud);
}

} // namespace vsim
