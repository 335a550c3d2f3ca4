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
    atLineStart_ = s.back() == '\n';
}

void Console::relay()
{
    std::string text = hostsvc::takeConsole();
    if (tap_ && !text.empty())
        tap_(text);
    if (heldOn_)
        held_ += text;
    else
        write(text);
}

std::string Console::takeHeld()
{
    std::string s;
    s.swap(held_);
    return s;
}

void Console::line(const std::string &text)
{
    relay();
    if (!atLineStart_)
        write("\n");
    write(text + "\n");
}

void Console::finish()
{
    relay();
    if (!atLineStart_)
        write("\n");
}

// ---------------------------------------------------------------------------
namespace {

using ClockType = std::chrono::steady_clock;

double msSince(ClockType::time_point t0)
{
    return std::chrono::duration<double, std::milli>(ClockType::now() - t0).count();
}

SSHORT toWord(double v)
{
    if (!(v == v))
        return 0;
    double r = std::nearbyint(v);
    r = std::min(65535.0, std::max(-32768.0, r));
    return static_cast<SSHORT>(static_cast<uint16_t>(static_cast<int32_t>(r)));
}

double rampValue(const Operand &op, long number)
{
    if (op.scans <= 1)
        return op.lo;
    long step = (number - 1) % op.scans;
    return op.lo + (op.hi - op.lo) * static_cast<double>(step) / static_cast<double>(op.scans - 1);
}

// Labels whose words read best as bit patterns.
bool shownInHex(const std::string &label)
{
    return label == "DIN:" || label == "DOUT:" || label == "XORmask:" || label == "Status:" || label == "ErrChan:";
}

std::string fmtWord(SSHORT w, bool hex)
{
    char buf[16];
    if (hex)
        snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(static_cast<uint16_t>(w)));
    else
        snprintf(buf, sizeof buf, "%d", static_cast<int>(w));
    return buf;
}

std::string fmtFloat(float f)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.7g", static_cast<double>(f));
    return buf;
}

// What time-outs at several modules in one scan point at.
const char *const LINE_WIDE_CAUSES =
    "that looks line-wide rather than each module's own fault: a module that babbles over its neighbours' replies, "
    "the wiring (A/B, termination), or the line's speed (BAUD=)";

std::string addressList(const std::vector<int> &addresses)
{
    std::string list;
    for (int a : addresses)
        list += (list.empty() ? "" : ", ") + addressText(a);
    return list;
}

std::string fmtMs(double ms)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.1f ms", ms);
    return buf;
}

} // namespace

// ---------------------------------------------------------------------------
Runner::Runner(Program &prog, const FUNCDEF *table, Console &console) : prog_(prog), table_(table), console_(console)
{
    stats_.rungCodes.resize(prog_.rungs.size());
    params_.resize(prog_.rungs.size());
    lastActive_.assign(prog_.rungs.size(), false);
    lastMs_.assign(prog_.rungs.size(), 0.0);
    for (size_t i = 0; i < prog_.rungs.size(); ++i) {
        bind(prog_.rungs[i], 1, params_[i]);
        // The log's names keep the address of the first scan, as the wire
        // has it (two hex digits and an h), as everywhere else.
        std::string name = "R" + std::to_string(i) + "." + instrName(table_[prog_.rungs[i].instr]);
        int a = addressOf(i);
        if (a >= 0) {
            char buf[16];
            snprintf(buf, sizeof buf, a <= 255 ? "@%02Xh" : "@%d", a);
            name += buf;
        }
        logNames_.push_back(name);
    }
}

int Runner::addressOf(size_t rung) const
{
    int addr = paramIndex(table_[prog_.rungs[rung].instr], "Addr:");
    if (addr < 0)
        return -1;
    return static_cast<int>(static_cast<uint16_t>(params_[rung][static_cast<size_t>(addr)].val.wd)) & 0xFFFF;
}

std::string Runner::rungId(size_t index) const
{
    const FUNCDEF &f = table_[prog_.rungs[index].instr];
    std::string id = instrName(f);
    int addr = paramIndex(f, "Addr:");
    if (addr >= 0)
        id += "@" + addressText(static_cast<int>(params_[index][static_cast<size_t>(addr)].val.wd));
    return id;
}

std::vector<std::string> Runner::operandTexts(size_t index) const
{
    const FUNCDEF &f = table_[prog_.rungs[index].instr];
    int addr = paramIndex(f, "Addr:");
    std::vector<std::string> v;
    for (size_t i = 0; i < prog_.rungs[index].operands.size(); ++i)
        if (static_cast<int>(i) != addr)
            v.push_back(operandText(index, i));
    return v;
}

std::vector<std::string> Runner::logColumns() const
{
    std::vector<std::string> cols;
    for (size_t r = 0; r < prog_.rungs.size(); ++r) {
        const FUNCDEF &f = table_[prog_.rungs[r].instr];
        const std::string &base = logNames_[r];
        cols.push_back(base + ".on");
        cols.push_back(base + ".ms");
        for (size_t i = 0; i < prog_.rungs[r].operands.size(); ++i) {
            std::string label = paramLabel(f.p[i]);
            if (label == "Addr:")
                continue;
            if (!label.empty() && label.back() == ':')
                label.pop_back();
            size_t n = isOutputKind(f.p[i].prm_argtype) && f.p[i].prm_len > 1 ? f.p[i].prm_len : 1;
            for (size_t k = 0; k < n; ++k)
                cols.push_back(base + "." + label + (n > 1 ? "[" + std::to_string(k) + "]" : ""));
        }
    }
    return cols;
}

std::vector<std::string> Runner::logValues() const
{
    std::vector<std::string> vals;
    char buf[32];
    for (size_t r = 0; r < prog_.rungs.size(); ++r) {
        const FUNCDEF &f = table_[prog_.rungs[r].instr];
        vals.push_back(lastActive_[r] ? "1" : "0");
        snprintf(buf, sizeof buf, "%.3f", lastMs_[r]);
        vals.push_back(buf);
        for (size_t i = 0; i < prog_.rungs[r].operands.size(); ++i) {
            const PARMDEF &p = f.p[i];
            if (paramLabel(p) == "Addr:")
                continue;
            const TLIPARAM &t = params_[r][i];
            if (p.prm_argtype == ARG_WORD_IN) {
                vals.push_back(std::to_string(static_cast<int>(t.val.wd)));
            } else if (p.prm_argtype == ARG_FLOAT_IN) {
                vals.push_back(fmtFloat(t.val.fl));
            } else {
                size_t n = p.prm_len > 1 ? p.prm_len : 1;
                for (size_t k = 0; k < n; ++k)
                    vals.push_back(t.isfloat ? fmtFloat(t.ptr.fptr[k])
                                             : std::to_string(static_cast<int>(t.ptr.wptr[k])));
            }
        }
    }
    return vals;
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
        if (prog_.isFloat(c.ref))
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
            if (prog_.isFloat(op.ref)) {
                t.ptr.fptr = &prog_.real(op.ref);
                t.isfloat = TRUE;
            } else {
                t.ptr.wptr = &prog_.word(op.ref);
                t.isfloat = FALSE;
            }
        }
        if (isOutputKind(p.prm_argtype))
            continue;
        double v = 0;
        bool fromFloat = op.isFloat;
        switch (op.kind) {
        case Operand::Kind::Constant:
            v = op.value;
            break;
        case Operand::Kind::Ramp:
            v = rampValue(op, number);
            fromFloat = true;
            break;
        case Operand::Kind::Ref:
            fromFloat = prog_.isFloat(op.ref);
            v = fromFloat ? static_cast<double>(prog_.real(op.ref)) : static_cast<double>(prog_.word(op.ref));
            break;
        }
        if (p.prm_argtype == ARG_FLOAT_IN) {
            t.val.fl = static_cast<float>(v);
            t.isfloat = TRUE;
        } else {
            t.val.wd = fromFloat ? toWord(v) : static_cast<SSHORT>(static_cast<uint16_t>(static_cast<int64_t>(v)));
        }
    }
}

std::string Runner::operandText(size_t rung, size_t i) const
{
    const FUNCDEF &f = table_[prog_.rungs[rung].instr];
    const PARMDEF &p = f.p[i];
    const TLIPARAM &t = params_[rung][i];
    std::string label = paramLabel(p);
    std::string name = label;
    if (!name.empty() && name.back() == ':')
        name.pop_back();
    bool hex = shownInHex(label);
    std::string v;
    if (p.prm_argtype == ARG_WORD_IN) {
        v = fmtWord(t.val.wd, hex);
    } else if (p.prm_argtype == ARG_FLOAT_IN) {
        v = fmtFloat(t.val.fl);
    } else {
        size_t n = p.prm_len > 1 ? p.prm_len : 1;
        std::string items;
        for (size_t k = 0; k < n; ++k) {
            if (k)
                items += ",";
            items += t.isfloat ? fmtFloat(t.ptr.fptr[k]) : fmtWord(t.ptr.wptr[k], hex);
        }
        v = n > 1 ? "[" + items + "]" : items;
    }
    // An error code with its name: "ErrCode=1005 TIMEOUT".
    if (label == "ErrCode:" && !t.isfloat && t.ptr.wptr)
        v += std::string(" ") + errorName(static_cast<uint16_t>(*t.ptr.wptr));
    return name + "=" + v;
}

std::string Runner::rungText(size_t index, bool active, double ms) const
{
    const Rung &r = prog_.rungs[index];
    const FUNCDEF &f = table_[r.instr];
    int addr = paramIndex(f, "Addr:");
    char head[96];
    std::string id = rungId(index);
    snprintf(head, sizeof head, "  R%-2zu %-10s %-3s %8s ", index, id.c_str(), active ? "on" : "off",
             fmtMs(ms).c_str());
    std::string s = head;
    for (size_t i = 0; i < r.operands.size(); ++i)
        if (static_cast<int>(i) != addr)
            s += " " + operandText(index, i);
    return s;
}

int Runner::callOnce(size_t rung, long number)
{
    const Rung &r = prog_.rungs[rung];
    const FUNCDEF &f = table_[r.instr];
    bind(r, number, params_[rung]);
    int ec = paramIndex(f, "ErrCode:");
    SSHORT *code = ec >= 0 ? params_[rung][static_cast<size_t>(ec)].ptr.wptr : nullptr;
    if (!code)
        return -1;
    const SSHORT none = -1; // no code of the module's
    *code = none;
    f.fnc_ptr(1, static_cast<int32_t>(params_[rung].size()), params_[rung].data());
    return *code == none ? -1 : static_cast<uint16_t>(*code);
}

double Runner::scan(long number, bool show)
{
    auto t0 = ClockType::now();
    prog_.files[0].words[0] = static_cast<SSHORT>(static_cast<uint16_t>(number));
    std::vector<std::string> lines;
    long writesRefused = 0, lineUsed = 0; // exchanges whose line the serial library refused, took
    std::vector<int> timedOut;            // modules whose exchange timed out
    for (size_t i = 0; i < prog_.rungs.size(); ++i) {
        const Rung &r = prog_.rungs[i];
        const FUNCDEF &f = table_[r.instr];
        bool active = condition(r, number);
        bind(r, number, params_[i]);
        auto r0 = ClockType::now();
        f.fnc_ptr(active ? 1 : 0, static_cast<int32_t>(params_[i].size()), params_[i].data());
        double rms = msSince(r0);
        console_.relay();
        lastActive_[i] = active;
        lastMs_[i] = rms;
        if (active && !gateClosed_) {
            int ec = paramIndex(f, "ErrCode:");
            int addr = addressOf(i);
            ModuleStats *m = nullptr;
            if (addr >= 0) {
                m = &stats_.modules[addr];
                ++m->exchanges;
                m->ms.push_back(rms);
            }
            if (ec >= 0) {
                const TLIPARAM &t = params_[i][static_cast<size_t>(ec)];
                unsigned code = static_cast<uint16_t>(*t.ptr.wptr);
                ++stats_.codes[code];
                ++stats_.rungCodes[i][code];
                if (code == EC_WRITE_FAILED)
                    ++writesRefused;
                else if (!givenBeforeSending(code))
                    ++lineUsed;
                if (code == EC_TIMEOUT && addr >= 0 &&
                    std::find(timedOut.begin(), timedOut.end(), addr) == timedOut.end())
                    timedOut.push_back(addr);
                if (m) {
                    ++m->codes[code];
                    m->failing = code ? m->failing + 1 : 0;
                    m->longestFailing = std::max(m->longestFailing, m->failing);
                }
            }
        }
        if (show)
            lines.push_back(rungText(i, active, rms));
    }
    double ms = msSince(t0);
    prog_.files[0].words[1] = static_cast<SSHORT>(std::min(32767.0, std::floor(ms)));
    ++stats_.scans;
    stats_.scanMs.push_back(ms);
    if (writesRefused > 0 && lineUsed == 0 && stats_.portGoneScan == 0)
        stats_.portGoneScan = number;
    const bool lineWide = pointsAtTheLine(timedOut);
    if (lineWide) {
        ++stats_.lineWideScans;
        stats_.lineWideLast = timedOut;
        stats_.lineWideLastScan = number;
    }
    if (show) {
        console_.line("scan " + std::to_string(number) + "  " + fmtMs(ms));
        for (const std::string &l : lines)
            console_.line(l);
        if (lineWide)
            console_.line("  " + lineWideHint(timedOut));
    }
    return ms;
}

int Runner::run(const RunOptions &opt, volatile std::sig_atomic_t *stop,
                const std::function<void(long, double)> &afterScan)
{
    auto start = ClockType::now();
    for (long n = 1; opt.scans == 0 || n <= opt.scans; ++n) {
        if (stop && *stop)
            break;
        if (opt.durationMs > 0 && msSince(start) >= opt.durationMs)
            break;
        auto s0 = ClockType::now();
        double ms = scan(n, !opt.quiet);
        if (afterScan)
            afterScan(n, ms);
        if (stats_.portGoneScan != 0)
            break;
        if (opt.periodMs > 0) {
            double rest = opt.periodMs - msSince(s0);
            if (rest >= 1)
                sleepMs(static_cast<int>(rest));
        }
    }
    return 0;
}

std::string Runner::summary() const
{
    std::string s = "summary: " + std::to_string(stats_.scans) + " scans";
    if (!stats_.scanMs.empty())
        s += ", scan time " + timeSpread(stats_.scanMs);
    s += "\nerror codes:";
    if (gateClosed_)
        s += " none: no instruction ran (the I/O gate was closed)";
    else if (stats_.codes.empty())
        s += " none recorded";
    for (auto &kv : stats_.codes)
        s += " " + errorLabel(kv.first) + " x " + std::to_string(kv.second) + ";";
    if (!stats_.codes.empty())
        s.pop_back();
    for (size_t i = 0; i < stats_.rungCodes.size(); ++i) {
        const auto &m = stats_.rungCodes[i];
        bool failed = false;
        for (auto &kv : m)
            failed |= kv.first != 0;
        if (!failed)
            continue;
        s += "\n  R" + std::to_string(i) + " " + instrName(table_[prog_.rungs[i].instr]) + ":";
        for (auto &kv : m)
            s += " " + errorLabel(kv.first) + " x " + std::to_string(kv.second);
    }
    if (stats_.lineWideScans > 0)
        s += "\nin " + std::to_string(stats_.lineWideScans) + " of the " + std::to_string(stats_.scans) +
             " scans several modules timed out (the last time " + addressList(stats_.lineWideLast) +
             "): " + LINE_WIDE_CAUSES;
    s += neverHeardLine();
    std::string m = moduleLines();
    if (!m.empty())
        s += "\nmodules:\n" + m.substr(0, m.size() - 1);
    return s;
}

// Several modules timing out in one scan point at the line, unless none of
// them has ever answered while another module has: then they are modules
// that are not there, or not at this address, speed or checksum setting.
bool Runner::pointsAtTheLine(const std::vector<int> &timedOut) const
{
    if (timedOut.size() < 2)
        return false;
    if (!stats_.anyAnswered())
        return true;
    for (int a : timedOut) {
        auto it = stats_.modules.find(a);
        if (it != stats_.modules.end() && it->second.answered())
            return true;
    }
    return false;
}

std::string Runner::neverHeardLine() const
{
    std::vector<int> never;
    for (const auto &kv : stats_.modules)
        if (kv.second.neverHeard())
            never.push_back(kv.first);
    if (never.empty() || !stats_.anyAnswered())
        return "";
    return "\n" + addressList(never) + " never answered" +
           " while other modules did: not on the line, not powered, or at another address, speed or checksum "
           "setting (veldran-host survey finds what answers)";
}

std::string Runner::moduleLines(bool compact) const
{
    if (compact) {
        std::string s;
        for (auto &kv : stats_.modules) {
            const ModuleStats &m = kv.second;
            s += addressText(kv.first) + "  " + std::to_string(m.exchanges) + " exch ";
            for (auto &c : m.codes)
                s += " " + errorLabel(c.first) + " x" + std::to_string(c.second);
            std::vector<double> v = m.ms;
            std::sort(v.begin(), v.end());
            size_t n = v.size();
            char buf[96];
            if (n)
                snprintf(buf, sizeof buf, "  %.1f/%.1f/%.1f ms", v.front(),
                         n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2, v.back());
            else
                buf[0] = '\0';
            s += buf + std::string("  run ") + std::to_string(m.longestFailing) + "\n";
        }
        return s;
    }
    // "  01h: 20 exchanges; 0 OK x 18, 1005 TIMEOUT x 2; response min 5.0 ms,
    // median 5.1 ms, max 40.9 ms; longest failure run 2"
    std::string s;
    for (auto &kv : stats_.modules) {
        const ModuleStats &m = kv.second;
        s += "  " + addressText(kv.first) + ": " + std::to_string(m.exchanges) + " exchange" +
             (m.exchanges == 1 ? "" : "s") + ";";
        std::string codes;
        for (auto &c : m.codes)
            codes += (codes.empty() ? " " : ", ") + errorLabel(c.first) + " x " + std::to_string(c.second);
        if (!codes.empty())
            s += codes + ";";
        s += " response " + timeSpread(m.ms) + "; longest failure run " + std::to_string(m.longestFailing) + "\n";
    }
    return s;
}

std::string lineWideHint(const std::vector<int> &addresses)
{
    return "several modules timed out in one scan (" + addressList(addresses) + "): " + LINE_WIDE_CAUSES;
}

bool RunStats::anyAnswered() const
{
    for (const auto &kv : modules)
        if (kv.second.answered())
            return true;
    return false;
}

bool RunStats::anyFailure() const
{
    for (auto &kv : codes)
        if (kv.first != 0 && kv.second > 0)
            return true;
    return false;
}

std::string timeSpread(std::vector<double> v)
{
    if (v.empty())
        return "none";
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    double median = n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
    return "min " + fmtMs(v.front()) + ", median " + fmtMs(median) + ", max " + fmtMs(v.back());
}

} // namespace vhost
