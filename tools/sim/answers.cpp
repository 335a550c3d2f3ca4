#include "answers.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace vsim {

namespace {

// A field of hex digits only (either case), or nothing.
std::optional<unsigned> hexNumber(std::string_view s)
{
    if (s.empty() || s.size() > 7)
        return std::nullopt;
    unsigned v = 0;
    for (char c : s) {
        int d = wire::hexValue(c);
        if (d < 0)
            return std::nullopt;
        v = v * 16 + static_cast<unsigned>(d);
    }
    return v;
}

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

std::string addr(const Module &m) { return hex2(static_cast<unsigned>(m.address)); }

std::string seal(const Module &m, std::string body)
{
    if (m.checksum)
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

Frame frame(Plant &plant, std::string_view line)
{
    Frame f;
    if (line.size() >= 3 && line.substr(0, 3) == "~**") {
        f.kind = Frame::Kind::Broadcast;
        f.broadcastSum = std::string(line.substr(3));
        return f;
    }
    if (line.size() < 3)
        return f;
    const char c = line[0];
    if (c != '#' && c != '$' && c != '@' && c != '~' && c != '%')
        return f;
    const int hi = wire::hexValue(line[1]), lo = wire::hexValue(line[2]);
    if (hi < 0 || lo < 0)
        return f;
    Module *m = plant.find(hi * 16 + lo);
    if (!m) {
        f.kind = Frame::Kind::NoModule;
        return f;
    }
    f.module = m;
    if (m->checksum) {
        // The checksum is exact: two upper-case digits over everything before it.
        if (line.size() < 5 || checksum(line.substr(0, line.size() - 2)) != line.substr(line.size() - 2)) {
            f.kind = Frame::Kind::BadChecksum;
            return f;
        }
        line.remove_suffix(2);
    }
    f.kind = Frame::Kind::Addressed;
    f.payload = std::string(line);
    return f;
}

std::string refusal(const Module &m) { return seal(m, "?" + addr(m)); }

std::string execute(Module &m, std::string_view payload, Millis now)
{
    m.tick(now);
    const ModelInfo &info = m.info();
    const char c = payload.empty() ? '\0' : payload[0];
    const std::string_view rest = payload.size() > 3 ? payload.substr(3) : std::string_view();
    auto ok = [&](const std::string &body) { return seal(m, body); };
    auto refuse = [&] { return refusal(m); };

    // Analog input field of channel `ch`.
    auto field = [&](int ch) -> std::string {
        const Signal &s = m.ain[static_cast<size_t>(ch)];
        if (s.isOpen())
            return m.hex ? OPEN_HEX : OPEN_DECIMAL;
        const double v = s.at(now);
        return m.hex ? hexField(v, m.fullScale) : decimalField(v);
    };

    switch (c) {
    case '#': {
        if (rest.empty()) { // #AA: every analog input
            if (info.ain == 0)
                return refuse();
            std::string r = ">";
            for (int ch = 0; ch < info.ain; ++ch)
                r += field(ch);
            return ok(r);
        }
        const int ch = wire::hexValue(rest[0]);
        if (ch < 0)
            return refuse();
        if (rest.size() == 1) {
            if (info.ain > 0) { // #AAN on an input module: one channel
                if (ch >= info.ain)
                    return refuse();
                return ok(">" + field(ch));
            }
            if (info.din > 0) { // #AAN: counter read
                if (ch >= info.din)
                    return refuse();
                const uint32_t v = m.counter(ch, now);
                char buf[8];
                std::snprintf(buf, sizeof buf, "%05X", static_cast<unsigned>(v));
                return ok("!" + addr(m) + buf);
            }
            return refuse();
        }
        if (rest.size() == 8 && info.aout > 0) { // #AAN(value): analog output write
            auto v = valueField(rest.substr(1));
            if (ch >= info.aout || !v)
                return refuse();
            if (m.wdExpired)
                return ok("!" + addr(m));
            m.aout[static_cast<size_t>(ch)] = *v;
            return ok(">");
        }
        return refuse();
    }
    case '$': { // $AACN: counter clear
        if (rest.size() != 2 || (rest[0] != 'C' && rest[0] != 'c') || info.din == 0)
            return refuse();
        const int ch = wire::hexValue(rest[1]);
        if (ch < 0 || ch >= info.din)
            return refuse();
        m.setCounter(ch, 0, now);
        return ok("!" + addr(m));
    }
    case '@': {
        if (rest.empty()) { // @AA: digital read
            switch (m.model) {
            case Model::M7041:
            case Model::M7053:
                return ok(">" + hex2((m.din >> 8) & 0xFF) + hex2(m.din & 0xFF));
            case Model::M7052:
                return ok(">" + hex2(m.din & 0xFF) + "00");
            case Model::M7043:
                return ok(">" + hex2((m.dout >> 8) & 0xFF) + hex2(m.dout & 0xFF));
            case Model::M7060:
            case Model::M7065:
                // Outputs in the first two digits, inputs active-low in the last.
                return ok(">" + hex2(m.dout) + hex2(~m.din & 0x0F));
            default:
                return refuse();
            }
        }
        // @AA(digits): digital write, exactly the model's digit count.
        if (info.doutDigits == 0 || rest.size() != static_cast<size_t>(info.doutDigits))
            return refuse();
        auto v = hexNumber(rest);
        if (!v || (*v & ~m.doutMask()) != 0)
            return refuse();
        if (m.wdExpired)
            return ok("!" + addr(m));
        m.dout = *v;
        return ok(">");
    }
    case '~': {
        if (rest == "0")
            return ok("!" + addr(m) + hex2(m.status));
        if (rest == "1") {
            m.resetStatus(now);
            return ok("!" + addr(m));
        }
        if (rest == "2")
            return ok("!" + addr(m) + (m.wdEnabled ? "1" : "0") + hex2(static_cast<unsigned>(m.wdValue)));
        if (rest.size() == 4 && rest[0] == '3' && (rest[1] == '0' || rest[1] == '1')) {
            auto v = hexNumber(rest.substr(2));
            if (!v)
                return refuse();
            m.wdEnabled = rest[1] == '1';
            m.wdValue = static_cast<int>(*v);
            m.kickWatchdog(now);
            return ok("!" + addr(m));
        }
        return refuse();
    }
    default:
        return refuse();
    }
}

int hostOk(Plant &plant, std::string_view sum, Millis now, int lineBaud)
{
    const bool withSum = !sum.empty();
    if (withSum && sum != checksum("~**"))
        return 0;
    int n = 0;
    for (auto &m : plant.modules) {
        if (!withSum && m.checksum)
            continue;
        if (lineBaud > 0 && m.baud > 0 && m.baud != lineBaud)
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
    return execute(*f.module, f.payload, now);
}

} // namespace vsim
