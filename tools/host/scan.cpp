// The scan loop of the reference host.
#include "scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "errors.h"
#include "hostsvc.h"
#include "platform.h"

namespace vhost {

// ---------------------------------------------------------------------------
void Console::write(const std::string &s)
{
    if (s.empty())
        return;
    fwrite(s.data(), 1, s.size(), out_);
    fflush(out_);
    at_line_start_ = s.back() == '\n';
}

void Console::relay() { write(hostsvc::take_console()); }

void Console::line(const std::string &text)
{
    relay();
    if (!at_line_start_)
        write("\n");
    write(text + "\n");
}

void Console::finish()
{
    relay();
    if (!at_line_start_)
        write("\n");
}

// ---------------------------------------------------------------------------
namespace {

using clock_type = std::chrono::steady_clock;

double ms_since(clock_type::time_point t0)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - t0).count();
}

SSHORT to_word(double v)
{
    if (!(v == v))
        return 0;
    double r = std::nearbyint(v);
    r = std::min(65535.0, std::max(-32768.0, r));
    return static_cast<SSHORT>(static_cast<uint16_t>(static_cast<int32_t>(r)));
}

double ramp_value(const Operand &op, long number)
{
    if (op.scans <= 1)
        return op.lo;
    long step = (number - 1) % op.scans;
    return op.lo + (op.hi - op.lo) * static_cast<double>(step) / static_cast<double>(op.scans - 1);
}

// Labels whose words read best as bit patterns.
bool shown_in_hex(const std::string &label)
{
    return label == "DIN:" || label == "DOUT:" || label == "XORmask:" || label == "Status:" ||
           label == "ErrChan:";
}

std::string fmt_word(SSHORT w, bool hex)
{
    char buf[16];
    if (hex)
        snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(static_cast<uint16_t>(w)));
    else
        snprintf(buf, sizeof buf, "%d", static_cast<int>(w));
    return buf;
}

std::string fmt_float(float f)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.7g", static_cast<double>(f));
    return buf;
}

std::string fmt_ms(double ms)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

int find_label(const FUNCDEF &f, const char *label)
{
    for (int i = 0; i < f.fnc_numargs && i < 9; ++i)
        if (param_label(f.p[i]) == label)
            return i;
    return -1;
}

} // namespace

// ---------------------------------------------------------------------------
Runner::Runner(Program &prog, const FUNCDEF *table, Console &console)
    : prog_(prog), table_(table), console_(console)
{
    stats_.rung_codes.resize(prog_.rungs.size());
    params_.resize(prog_.rungs.size());
    for (size_t i = 0; i < prog_.rungs.size(); ++i)
        bind(prog_.rungs[i], 1, params_[i]);
}

bool Runner::condition(const Rung &r, long number) const
{
    const Condition &c = r.when;
    switch (c.kind) {
    case Condition::Kind::Always:
        return true;
    case Condition::Kind::Constant:
        return c.value;
    case Condition::Kind::Toggle:
        return ((number - 1) / c.every) % 2 == 0;
    case Condition::Kind::First:
        return number <= c.every;
    case Condition::Kind::Ref:
        if (prog_.is_float(c.ref))
            return const_cast<Program &>(prog_).real(c.ref) != 0.0f;
        {
            uint16_t w = static_cast<uint16_t>(const_cast<Program &>(prog_).word(c.ref));
            return c.ref.bit >= 0 ? ((w >> c.ref.bit) & 1u) != 0 : w != 0;
        }
    }
    return true;
}

void Runner::bind(const Rung &r, long number, std::vector<TLIPARAM> &params)
{
    const FUNCDEF &f = table_[r.instr];
    params.assign(r.operands.size(), TLIPARAM{});
    for (size_t i = 0; i < r.operands.size(); ++i) {
        const Operand &op = r.operands[i];
        const PARMDEF &p = f.p[i];
        TLIPARAM &t = params[i];
        std::memset(&t, 0, sizeof t);
        if (op.kind == Operand::Kind::Ref) {
            // Outputs are written through ptr; inputs also carry their
            // element's address, as the controller's own host does.
            if (prog_.is_float(op.ref)) {
                t.ptr.fptr = &prog_.real(op.ref);
                t.isfloat = TRUE;
            } else {
                t.ptr.wptr = &prog_.word(op.ref);
                t.isfloat = FALSE;
            }
        }
        if (is_output_kind(p.prm_argtype))
            continue;
        double v = 0;
        bool from_float = op.is_float;
        switch (op.kind) {
        case Operand::Kind::Constant:
            v = op.value;
            break;
        case Operand::Kind::Ramp:
            v = ramp_value(op, number);
            from_float = true;
            break;
        case Operand::Kind::Ref:
            from_float = prog_.is_float(op.ref);
            v = from_float ? static_cast<double>(prog_.real(op.ref)) : static_cast<double>(prog_.word(op.ref));
            break;
        }
        if (p.prm_argtype == ARG_FLOAT_IN) {
            t.val.fl = static_cast<float>(v);
            t.isfloat = TRUE;
        } else {
            t.val.wd = from_float ? to_word(v) : static_cast<SSHORT>(static_cast<uint16_t>(static_cast<int64_t>(v)));
        }
    }
}

std::string Runner::operand_text(size_t rung, size_t i) const
{
    const FUNCDEF &f = table_[prog_.rungs[rung].instr];
    const PARMDEF &p = f.p[i];
    const TLIPARAM &t = params_[rung][i];
    std::string label = param_label(p);
    std::string name = label;
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    bool hex = shown_in_hex(label);
    std::string v;
    if (p.prm_argtype == ARG_WORD_IN) {
        v = fmt_word(t.val.wd, hex);
    } else if (p.prm_argtype == ARG_FLOAT_IN) {
        v = fmt_float(t.val.fl);
    } else {
        size_t n = p.prm_len > 1 ? p.prm_len : 1;
        std::string items;
        for (size_t k = 0; k < n; ++k) {
            if (k)
                items += ",";
            items += t.isfloat ? fmt_float(t.ptr.fptr[k]) : fmt_word(t.ptr.wptr[k], hex);
        }
        v = n > 1 ? "[" + items + "]" : items;
    }
    // An error code with its name: "ErrCode=1005 TIMEOUT".
    if (label == "ErrCode:" && !t.isfloat && t.ptr.wptr)
        v += std::string(" ") + error_name(static_cast<uint16_t>(*t.ptr.wptr));
    return name + "=" + v;
}

std::string Runner::rung_text(size_t index, bool active, double ms) const
{
    const Rung &r = prog_.rungs[index];
    const FUNCDEF &f = table_[r.instr];
    const std::vector<TLIPARAM> &params = params_[index];
    int addr = find_label(f, "Addr:");
    char head[96];
    std::string id = instr_name(f);
    if (addr >= 0)
        id += "@" + std::to_string(static_cast<int>(params[static_cast<size_t>(addr)].val.wd));
    snprintf(head, sizeof head, "  R%-2zu %-10s %-3s %8s ", index, id.c_str(), active ? "on" : "off",
             fmt_ms(ms).c_str());
    std::string s = head;
    for (size_t i = 0; i < r.operands.size(); ++i)
        if (static_cast<int>(i) != addr)
            s += " " + operand_text(index, i);
    return s;
}

double Runner::scan(long number, bool show)
{
    auto t0 = clock_type::now();
    prog_.files[0].words[0] = static_cast<SSHORT>(static_cast<uint16_t>(number));
    std::vector<std::string> lines;
    for (size_t i = 0; i < prog_.rungs.size(); ++i) {
        const Rung &r = prog_.rungs[i];
        const FUNCDEF &f = table_[r.instr];
        bool active = condition(r, number);
        bind(r, number, params_[i]);
        auto r0 = clock_type::now();
        f.fnc_ptr(active ? 1 : 0, static_cast<int32_t>(params_[i].size()), params_[i].data());
        double rms = ms_since(r0);
        console_.relay();
        if (active) {
            int ec = find_label(f, "ErrCode:");
            if (ec >= 0) {
                const TLIPARAM &t = params_[i][static_cast<size_t>(ec)];
                unsigned code = static_cast<uint16_t>(*t.ptr.wptr);
                ++stats_.codes[code];
                ++stats_.rung_codes[i][code];
            }
        }
        if (show)
            lines.push_back(rung_text(i, active, rms));
    }
    double ms = ms_since(t0);
    prog_.files[0].words[1] = static_cast<SSHORT>(std::min(32767.0, std::floor(ms)));
    ++stats_.scans;
    stats_.scan_ms.push_back(ms);
    if (show) {
        console_.line("scan " + std::to_string(number) + "  " + fmt_ms(ms));
        for (const std::string &l : lines)
            console_.line(l);
    }
    return ms;
}

int Runner::run(const RunOptions &opt, volatile std::sig_atomic_t *stop)
{
    auto start = clock_type::now();
    for (long n = 1; opt.scans == 0 || n <= opt.scans; ++n) {
        if (stop && *stop)
            break;
        if (opt.duration_ms > 0 && ms_since(start) >= static_cast<double>(opt.duration_ms))
            break;
        auto s0 = clock_type::now();
        scan(n, !opt.quiet);
        if (opt.period_ms > 0) {
            double rest = opt.period_ms - ms_since(s0);
            if (rest >= 1)
                sleep_ms(static_cast<int>(rest));
        }
    }
    return 0;
}

std::string Runner::summary() const
{
    std::string s = "summary: " + std::to_string(stats_.scans) + " scans";
    if (!stats_.scan_ms.empty()) {
        std::vector<double> v = stats_.scan_ms;
        std::sort(v.begin(), v.end());
        size_t n = v.size();
        double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
        s += ", scan time min " + fmt_ms(v.front()) + ", median " + fmt_ms(median) + ", max " + fmt_ms(v.back());
    }
    s += "\nerror codes:";
    if (stats_.codes.empty())
        s += " none recorded";
    for (auto &kv : stats_.codes)
        s += " " + error_label(kv.first) + " x " + std::to_string(kv.second) + ";";
    if (!stats_.codes.empty())
        s.pop_back();
    for (size_t i = 0; i < stats_.rung_codes.size(); ++i) {
        const auto &m = stats_.rung_codes[i];
        bool failed = false;
        for (auto &kv : m)
            failed |= kv.first != 0;
        if (!failed)
            continue;
        s += "\n  R" + std::to_string(i) + " " + instr_name(table_[prog_.rungs[i].instr]) + ":";
        for (auto &kv : m)
            s += " " + error_label(kv.first) + " x " + std::to_string(kv.second);
    }
    return s;
}

} // namespace vhost
