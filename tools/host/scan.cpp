// Scanning a ladder program: the operands bound, the instructions called
// and shown, and the calls counted.
#include "scan.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "errors.h"
#include "platform.h"
#include "summary.h"

namespace vhost {

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

// Operands whose words read best as bit patterns.
bool shownInHex(const PARMDEF &p)
{
    for (const PARMDEF &bits : {operands::din, operands::dout, operands::xormask, operands::status, operands::errchan})
        if (isOperand(p, bits))
            return true;
    return false;
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

} // namespace

// ---------------------------------------------------------------------------
Runner::Runner(Program &prog, const FUNCDEF *table, Console &console) : prog_(prog), table_(table), console_(console)
{
    stats_.rungCodes.resize(prog_.rungs.size());
    stats_.rungApart.resize(prog_.rungs.size());
    params_.resize(prog_.rungs.size());
    lastActive_.assign(prog_.rungs.size(), false);
    lastMs_.assign(prog_.rungs.size(), 0.0);
    for (size_t i = 0; i < prog_.rungs.size(); ++i) {
        bind(prog_.rungs[i], 1, params_[i]);
        firstAddress_.push_back(addressOf(i));
    }
}

int Runner::addressOf(size_t rung) const
{
    int addr = paramIndex(table_[prog_.rungs[rung].instr], operands::addr);
    if (addr < 0)
        return -1;
    return static_cast<int>(static_cast<uint16_t>(params_[rung][static_cast<size_t>(addr)].val.wd)) & 0xFFFF;
}

std::string Runner::rungId(size_t index) const
{
    const FUNCDEF &f = table_[prog_.rungs[index].instr];
    std::string id = instrName(f);
    int addr = paramIndex(f, operands::addr);
    if (addr >= 0)
        id += "@" + addressText(static_cast<int>(params_[index][static_cast<size_t>(addr)].val.wd));
    return id;
}

std::string Runner::rungLabel(size_t index) const { return "R" + std::to_string(index) + " " + rungId(index); }

std::vector<std::string> Runner::operandTexts(size_t index) const
{
    const FUNCDEF &f = table_[prog_.rungs[index].instr];
    int addr = paramIndex(f, operands::addr);
    std::vector<std::string> v;
    for (size_t i = 0; i < prog_.rungs[index].operands.size(); ++i)
        if (static_cast<int>(i) != addr)
            v.push_back(operandText(index, i));
    return v;
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
    bool hex = shownInHex(p);
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
    if (isOperand(p, operands::errcode) && !t.isfloat && t.ptr.wptr)
        v += std::string(" ") + errorName(static_cast<uint16_t>(*t.ptr.wptr));
    return name + "=" + v;
}

std::string Runner::rungText(size_t index, bool active, double ms) const
{
    const Rung &r = prog_.rungs[index];
    const FUNCDEF &f = table_[r.instr];
    int addr = paramIndex(f, operands::addr);
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
    int ec = paramIndex(f, operands::errcode);
    SSHORT *code = ec >= 0 ? params_[rung][static_cast<size_t>(ec)].ptr.wptr : nullptr;
    if (!code)
        return -1;
    const SSHORT none = -1; // no code of the module's
    *code = none;
    f.fnc_ptr(1, static_cast<int32_t>(params_[rung].size()), params_[rung].data());
    return *code == none ? -1 : static_cast<uint16_t>(*code);
}

// Where the rung's call ended, by its code and its operands: 1015 with a
// "Format:" of 0 to 2 came from a reply, and "ErrChan:" flags the inputs of
// a 1018.
CallEnd Runner::callEndOf(size_t rung, unsigned code, unsigned *flagged) const
{
    const FUNCDEF &f = table_[prog_.rungs[rung].instr];
    const std::vector<TLIPARAM> &p = params_[rung];
    int fmt = paramIndex(f, operands::format);
    bool formatInRange =
        fmt < 0 || (p[static_cast<size_t>(fmt)].val.wd >= 0 && p[static_cast<size_t>(fmt)].val.wd <= 2);
    int chan = paramIndex(f, operands::errchan);
    *flagged = chan >= 0 ? static_cast<uint16_t>(*p[static_cast<size_t>(chan)].ptr.wptr) & 0xFFu : 0;
    return callEnd(code, formatInRange, *flagged);
}

double Runner::scan(long number, bool show)
{
    auto t0 = ClockType::now();
    prog_.files[0].words[0] = static_cast<SSHORT>(static_cast<uint16_t>(number));
    std::vector<std::string> lines;
    ScanTally tally;
    for (size_t i = 0; i < prog_.rungs.size(); ++i) {
        const Rung &r = prog_.rungs[i];
        const FUNCDEF &f = table_[r.instr];
        bool active = condition(r, number);
        bind(r, number, params_[i]);
        auto r0 = ClockType::now();
        f.fnc_ptr(active ? 1 : 0, static_cast<int32_t>(params_[i].size()), params_[i].data());
        double rms = msSince(r0);
        // What the module printed in the call is the rung's, with the
        // address of this scan.
        console_.relay(rungLabel(i));
        lastActive_[i] = active;
        lastMs_[i] = rms;
        if (active && !gateClosed_) {
            int ec = paramIndex(f, operands::errcode);
            long code = ec >= 0 ? static_cast<uint16_t>(*params_[i][static_cast<size_t>(ec)].ptr.wptr) : -1;
            unsigned flagged = 0;
            CallEnd end = code >= 0 ? callEndOf(i, static_cast<unsigned>(code), &flagged) : CallEnd::Line;
            stats_.call(i, addressOf(i), code, rms, tally, end, flagged);
        }
        if (show)
            lines.push_back(rungText(i, active, rms));
    }
    double ms = msSince(t0);
    prog_.files[0].words[1] = static_cast<SSHORT>(std::min(32767.0, std::floor(ms)));
    const bool lineWide = stats_.endScan(number, ms, tally);
    if (show) {
        console_.line("scan " + std::to_string(number) + "  " + fmtMs(ms));
        for (const std::string &l : lines)
            console_.line(l);
        if (lineWide)
            console_.line("  " + lineWideHint(tally.timedOut));
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
    std::vector<std::string> names;
    for (const Rung &r : prog_.rungs)
        names.push_back(instrName(table_[r.instr]));
    return runSummary(stats_, names, gateClosed_);
}

} // namespace vhost
