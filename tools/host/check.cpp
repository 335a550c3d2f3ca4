// The check command.
#include "check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "errors.h"
#include "plant.h"
#include "scan.h"
#include "wire.h"

namespace vhost {

namespace {

// A module's turn-around, from the command's end to its reply, where no
// plant says it: a millisecond or two.
constexpr double TYPICAL_TURNAROUND_MS = 2.0;

std::string fmt(const char *format, double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, format, v);
    return buf;
}

// The value an input operand has in the first scan.
double firstValue(const Program &prog, const Operand &op)
{
    switch (op.kind) {
    case Operand::Kind::Constant:
        return op.value;
    case Operand::Kind::Ramp:
        return op.lo;
    case Operand::Kind::Ref:
        return prog.isFloat(op.ref)
                   ? static_cast<double>(
                         prog.files[static_cast<size_t>(op.ref.file)].floats[static_cast<size_t>(op.ref.index)])
                   : static_cast<double>(
                         prog.files[static_cast<size_t>(op.ref.file)].words[static_cast<size_t>(op.ref.index)]);
    }
    return 0;
}

bool operandValue(const Program &prog, const Rung &r, const FUNCDEF &f, const PARMDEF &operand, double *v,
                  bool *constant = nullptr)
{
    int i = paramIndex(f, operand);
    if (i < 0 || static_cast<size_t>(i) >= r.operands.size())
        return false;
    *v = firstValue(prog, r.operands[static_cast<size_t>(i)]);
    if (constant)
        *constant = r.operands[static_cast<size_t>(i)].kind == Operand::Kind::Constant;
    return true;
}

// The models an instruction is made for, from the catalogue (empty: any
// module, or an instruction the catalogue does not know).
std::vector<int> modelsOf(const std::string &instr)
{
    const catalogue::Instruction *i = catalogue::find(instr.c_str());
    if (!i)
        return {};
    return std::vector<int>(i->does.models, i->does.models + i->does.modelCount);
}

// The input operands of a rung as written and as they are in the first
// scan: "Chan: 5, AOUT: N7:3 (40)".
std::string inputsText(const Program &prog, const Rung &r, const FUNCDEF &f)
{
    std::string s;
    for (size_t i = 0; i < r.operands.size(); ++i) {
        if (!isInputKind(f.p[i].prm_argtype))
            continue;
        const Operand &op = r.operands[i];
        std::string v = fmt("%.7g", firstValue(prog, op));
        if (op.kind == Operand::Kind::Ref)
            v = prog.refName(op.ref) + " (" + v + ")";
        else if (op.kind == Operand::Kind::Ramp)
            v = "a ramp from " + v;
        s += (s.empty() ? "" : ", ") + paramLabel(f.p[i]) + " " + v;
    }
    return s;
}

bool allInputsConstant(const Rung &r, const FUNCDEF &f)
{
    for (size_t i = 0; i < r.operands.size(); ++i)
        if (isInputKind(f.p[i].prm_argtype) && r.operands[i].kind != Operand::Kind::Constant)
            return false;
    return true;
}

// With a plant: when the modules the rungs address differ in speed or in
// their checksum setting, no one option string reaches them all.  Says so,
// with the modules this option string leaves out; "" when one string can.
std::string mixedLine(const Program &prog, const FUNCDEF *table, const vsim::Plant &plant, const Settings &s)
{
    std::vector<const vsim::Module *> mods;
    for (const Rung &r : prog.rungs) {
        int i = paramIndex(table[r.instr], operands::addr);
        if (i < 0 || static_cast<size_t>(i) >= r.operands.size())
            continue;
        double a = firstValue(prog, r.operands[static_cast<size_t>(i)]);
        const vsim::Module *m = a >= 0 && a <= 255 ? plant.find(static_cast<int>(a)) : nullptr;
        if (m && std::find(mods.begin(), mods.end(), m) == mods.end())
            mods.push_back(m);
    }
    std::vector<bool> sums;
    std::vector<int> bauds;
    for (const vsim::Module *m : mods) {
        if (std::find(sums.begin(), sums.end(), m->checksum) == sums.end())
            sums.push_back(m->checksum);
        if (m->baud != 0 && std::find(bauds.begin(), bauds.end(), m->baud) == bauds.end())
            bauds.push_back(m->baud); // a module without a speed of its own follows the line
    }
    if (sums.size() < 2 && bauds.size() < 2)
        return "";
    std::string left;
    for (const vsim::Module *m : mods) {
        std::string why;
        if (m->baud != 0 && m->baud != s.baud)
            why = std::to_string(m->baud) + " baud";
        if (m->checksum != s.checksum)
            why += (why.empty() ? "" : ", ") + std::string(m->checksum ? "checksums on" : "checksums off");
        if (!why.empty())
            left += (left.empty() ? "" : ", ") + addressText(m->address) + " (" + why + ")";
    }
    return "one option string cannot reach the whole line: the modules the rungs address differ in " +
           std::string(bauds.size() > 1 && sums.size() > 1 ? "speed and checksum setting"
                       : bauds.size() > 1                  ? "speed"
                                                           : "checksum setting") +
           ", and this option string (" + std::to_string(s.baud) + " baud, checksum " + (s.checksum ? "on" : "off") +
           ") leaves out " + left + "; set the modules alike, or give them a port of their own";
}

struct Report {
    std::string text;
    int warnings = 0;
    int errors = 0;
    void line(const std::string &s) { text += s + "\n"; }
    void warn(const std::string &s)
    {
        ++warnings;
        line("warning: " + s);
    }
    void error(const std::string &s)
    {
        ++errors;
        line("error: " + s);
    }
};

// A rung as the check reads it: its instruction and the values its input
// operands have in the first scan.
struct RungView {
    size_t index = 0;
    const Rung *rung = nullptr;
    const FUNCDEF *f = nullptr;
    std::string instr;
    InputValues iv;
    bool hasAddr = false;   // the instruction has an "Addr:"
    bool addrConst = false; // ... and it is a constant
    std::string id;         // "R0 I7017@01h"
    int code = -1;          // the code of the trial run (-1: none)
};

RungView viewOf(const Program &prog, const FUNCDEF *table, size_t ri)
{
    RungView v;
    v.index = ri;
    v.rung = &prog.rungs[ri];
    v.f = &table[v.rung->instr];
    v.instr = instrName(*v.f);
    const Rung &r = *v.rung;
    const FUNCDEF &f = *v.f;
    double x = 0;
    v.hasAddr = operandValue(prog, r, f, operands::addr, &x, &v.addrConst);
    v.iv.addr = static_cast<int>(x);
    if (operandValue(prog, r, f, operands::format, &x))
        v.iv.format = static_cast<int>(x);
    if (operandValue(prog, r, f, operands::chan, &x))
        v.iv.chan = static_cast<int>(x);
    if (operandValue(prog, r, f, operands::dout, &x))
        v.iv.dout = static_cast<int>(x);
    if (operandValue(prog, r, f, operands::hsecs, &x))
        v.iv.hsecs = static_cast<int>(x);
    if (operandValue(prog, r, f, operands::aout, &x))
        v.iv.aout = static_cast<float>(x);
    v.id = "R" + std::to_string(ri) + " " + v.instr + (v.hasAddr ? "@" + addressText(v.iv.addr) : "");
    return v;
}

// The check of one ladder program and option string: the report is built
// rung by rung.
class Check {
public:
    explicit Check(const CheckInput &in)
        : in_(in), prog_(*in.prog), reading_(readOptions(in.options)), s_(reading_.settings),
          baud_(static_cast<int>(s_.baud)), trial_(prog_), quiet_(stdout), runner_(trial_, in.table, quiet_)
    {
    }
    Exit run(std::string &out);

private:
    void options();
    void loadPlant();
    void rung(size_t ri);
    void refusedRun(const RungView &v);
    void exchanges(const RungView &v);
    double turnaroundMs(const RungView &v) const;
    void writes(const RungView &v);
    void plantModule(const RungView &v);
    void writtenTwice();

    const CheckInput &in_;
    const Program &prog_;
    OptionReading reading_;
    const Settings &s_;
    int baud_;
    Report rep_;
    vsim::Plant plant_;
    bool havePlant_ = false;
    std::string mixed_; // one option string cannot reach the modules ("": it can)
    // The module's own checks of each rung's operands: run through it once
    // (see CheckInput), on a copy of the data table.
    Program trial_;
    Console quiet_; // without Init the module prints nothing
    Runner runner_;
    // Each rung's exchanges, their time on the wire and the time-out.
    double answeringMs_ = 0, silentMs_ = 0;
    std::map<std::string, std::vector<size_t>> writers_; // element -> rungs
    std::vector<int> lineChecked_;                       // addresses whose line settings were compared
};

// The option string, the settings in effect and its pitfalls.
void Check::options()
{
    rep_.line("options: " + (in_.options ? "\"" + *in_.options + "\"" : std::string("none (the module's defaults)")));
    rep_.line("settings: " + settingsText(s_));
    for (const std::string &w : reading_.warnings)
        rep_.warn("options: " + w);
    if (reading_.code != 0) {
        std::string said = reading_.console;
        while (!said.empty() && (said[0] == '\n' || said[0] == '\t' || said[0] == ' '))
            said.erase(0, 1);
        while (!said.empty() && (said.back() == '\n'))
            said.pop_back();
        rep_.error("options: Init would fail with " + errorLabel(reading_.code) + " (" + said +
                   "); `veldran-host explain " + std::to_string(reading_.code) + "` tells more");
    }
}

void Check::loadPlant()
{
    if (in_.plantPath.empty())
        return;
    try {
        plant_ = vsim::loadPlant(in_.plantPath);
        havePlant_ = true;
    } catch (const std::exception &e) {
        rep_.error(std::string("plant: ") + e.what());
    }
}

// A code other than the serial library's refusal comes before anything is
// sent: the rung never reaches the line.
void Check::refusedRun(const RungView &v)
{
    const ErrorInfo *e = findError(static_cast<unsigned>(v.code));
    bool constant = allInputsConstant(*v.rung, *v.f);
    std::string msg = v.id + ": run gives " + errorLabel(static_cast<unsigned>(v.code)) +
                      (constant ? " in every scan" : " with the operands' values of the first scan") +
                      ", before anything is sent" + (e ? std::string(": ") + e->meaning : "") + " (" +
                      inputsText(prog_, *v.rung, *v.f) + ")" + (e && *e->action ? std::string("; ") + e->action : "");
    if (constant)
        rep_.error(msg);
    else
        rep_.warn(msg);
}

// The turn-around of the module at the rung's address: the plant's, or a
// typical module's.
double Check::turnaroundMs(const RungView &v) const
{
    const vsim::Module *m = havePlant_ && v.hasAddr ? plant_.find(v.iv.addr) : nullptr;
    if (!m)
        return TYPICAL_TURNAROUND_MS;
    return m->turnaroundMs >= 0 ? m->turnaroundMs : plant_.line.turnaroundMs;
}

// The rung's exchanges with and without checksum, their wire time and the
// time-out they need: the wire time and a margin for the turn-around and the
// delivery, and more where the module's turn-around and the serial adapter's
// latency, which hands the reply's last characters over late, take longer.
void Check::exchanges(const RungView &v)
{
    std::vector<Exchange> plain = exchangesOf(v.instr, v.iv, false);
    std::vector<Exchange> with = exchangesOf(v.instr, v.iv, true);
    const std::vector<Exchange> &used = s_.checksum ? with : plain;
    for (size_t k = 0; k < plain.size(); ++k) {
        for (int cs = 0; cs < 2; ++cs) {
            const Exchange &e = cs ? with[k] : plain[k];
            std::string reply = e.reply.empty()
                                    ? "no reply"
                                    : "\"" + wire::escape(e.reply) + "\" (" + std::to_string(e.reply.size()) + ")";
            rep_.line(std::string("      ") + (cs ? "checksum on " : "checksum off") + "  \"" +
                      wire::escape(e.command) + "\" (" + std::to_string(e.command.size()) + ") -> " + reply + "  " +
                      fmt("%.1f ms", wireMs(wireChars(e), baud_)) + ((cs != 0) == s_.checksum ? "  *" : ""));
        }
        const Exchange &e = used[k];
        int need = minTimeoutMs(e, baud_);
        const double turnaround = turnaroundMs(v);
        const int throughAdapter = minTimeoutMs(e, baud_, turnaround + static_cast<double>(s_.latency));
        if (static_cast<int>(s_.timeout) < throughAdapter && throughAdapter > need && !e.reply.empty())
            rep_.warn(v.id + ": " + e.what + ": the time-out " + std::to_string(s_.timeout) +
                      " ms is shorter than the exchange needs " +
                      (s_.latency > 0 ? "through the serial adapter " : "") + "at " + std::to_string(baud_) +
                      " baud (" + fmt("%.1f ms", wireMs(wireChars(e), baud_)) + " on the wire, " +
                      (s_.latency > 0 ? std::to_string(s_.latency) + " ms latency, " : "") +
                      fmt("%.1f ms", turnaround) + " turn-around); " +
                      (throughAdapter <= TIMEOUT_MAX_MS
                           ? "use TIMEOUT=" + std::to_string(throughAdapter) + " or more"
                           : "even TIMEOUT=" + std::to_string(TIMEOUT_MAX_MS) + ", the longest, is too short"));
        else if (static_cast<int>(s_.timeout) < need && !e.reply.empty())
            rep_.warn(v.id + ": " + e.what + ": the time-out " + std::to_string(s_.timeout) +
                      " ms is shorter than the exchange needs at " + std::to_string(baud_) + " baud (" +
                      fmt("%.1f ms", wireMs(wireChars(e), baud_)) +
                      " on the wire); use TIMEOUT=" + std::to_string(need) + " or more");
        else if (static_cast<int>(s_.timeout) < need)
            rep_.warn(v.id + ": " + e.what + ": the time-out " + std::to_string(s_.timeout) +
                      " ms is shorter than the broadcast takes to leave at " + std::to_string(baud_) +
                      " baud; use TIMEOUT=" + std::to_string(need) + " or more");
        answeringMs_ += wireMs(wireChars(e), baud_);
    }
    // A silent module costs one time-out: a second exchange follows only a
    // first that succeeded.  The broadcast waits for no reply.  After a
    // time-out the next line waits for a quiet line first: three character
    // times, at least 2 ms, and the serial adapter's latency (a pause
    // between two of its deliveries is not yet quiet).
    if (!used.empty())
        silentMs_ += used[0].reply.empty()
                         ? wireMs(used[0].command.size(), baud_)
                         : s_.timeout + std::max(2.0, std::ceil(wireMs(3, baud_))) + static_cast<double>(s_.latency);
}

// Outputs this rung writes, element by element.
void Check::writes(const RungView &v)
{
    const Rung &r = *v.rung;
    for (size_t i = 0; i < r.operands.size(); ++i) {
        const PARMDEF &p = v.f->p[i];
        if (!isOutputKind(p.prm_argtype) || r.operands[i].kind != Operand::Kind::Ref)
            continue;
        Ref e = r.operands[i].ref;
        size_t n = p.prm_len > 1 ? p.prm_len : 1;
        for (size_t k = 0; k < n; ++k, ++e.index) {
            std::vector<size_t> &w = writers_[prog_.refName(e)];
            if (w.empty() || w.back() != v.index)
                w.push_back(v.index);
        }
    }
}

// The module the plant has at the rung's address: its model, its data
// format and (once per address) its line settings.
void Check::plantModule(const RungView &v)
{
    const int addr = v.iv.addr;
    const vsim::Module *m = plant_.find(addr);
    if (!m) {
        rep_.warn(v.id + ": the plant has no module at " + addressText(addr) +
                  (v.addrConst ? "" : " (the address operand's value in the first scan)"));
        return;
    }
    int model = m->info().number;
    std::vector<int> fits = modelsOf(v.instr);
    if (!fits.empty() && std::find(fits.begin(), fits.end(), model) == fits.end())
        rep_.warn(v.id + ": the module at " + addressText(addr) + " is a " + std::to_string(model) + ", which " +
                  v.instr + " is not made for");
    if (paramIndex(*v.f, operands::format) >= 0 && (model == 7017 || model == 7018) && (v.iv.format == 2) != m->hex)
        rep_.warn(v.id + ": \"Format:\" " + std::to_string(v.iv.format) + " reads the " +
                  (v.iv.format == 2 ? "hex" : "decimal") + " form, but the module at " + addressText(addr) +
                  " answers in the " + (m->hex ? "hex" : "decimal") + " form; use Format " + (m->hex ? "2" : "0"));
    if (!mixed_.empty() || std::find(lineChecked_.begin(), lineChecked_.end(), addr) != lineChecked_.end())
        return;
    lineChecked_.push_back(addr);
    if (m->checksum != s_.checksum)
        rep_.warn(v.id + ": the module at " + addressText(addr) + " has checksums " + (m->checksum ? "on" : "off") +
                  ", the option string " + (s_.checksum ? "on" : "off") +
                  (m->checksum ? "; add CHECKSUM" : "; remove CHECKSUM"));
    // A module without a speed of its own follows the line's.
    int moduleBaud = m->baud;
    if (moduleBaud != 0 && moduleBaud != baud_)
        rep_.warn(v.id + ": the module at " + addressText(addr) + " runs at " + std::to_string(moduleBaud) +
                  " baud, the option string at " + std::to_string(baud_) +
                  "; use BAUD=" + std::to_string(moduleBaud / 100));
}

void Check::rung(size_t ri)
{
    RungView v = viewOf(prog_, in_.table, ri);
    // The address in decimal beside the wire's hex, as the ladder has it.
    bool onWire = v.hasAddr && v.iv.addr >= 0 && v.iv.addr <= 255;
    rep_.line("  " + v.id + (onWire ? " (" + std::to_string(v.iv.addr) + ")" : "") +
              (v.rung->comment.empty() ? "" : "  (" + v.rung->comment + ")"));
    v.code = in_.trialRun ? runner_.callOnce(ri, 1) : -1;
    bool refused = v.code > 0 && v.code != static_cast<int>(EC_WRITE_FAILED);
    if (refused)
        refusedRun(v);
    else
        exchanges(v);
    writes(v);
    if (havePlant_ && v.hasAddr && v.code != static_cast<int>(EC_BAD_ADDRESS))
        plantModule(v);
}

// The elements more than one rung writes.
void Check::writtenTwice()
{
    for (auto &kv : writers_) {
        if (kv.second.size() < 2)
            continue;
        std::string list;
        for (size_t ri : kv.second)
            list += (list.empty() ? "R" : ", R") + std::to_string(ri);
        rep_.warn(kv.first + " is written by more than one rung: " + list);
    }
}

Exit Check::run(std::string &out)
{
    options();
    loadPlant();
    mixed_ = havePlant_ ? mixedLine(prog_, in_.table, plant_, s_) : "";
    rep_.line("");
    rep_.line("rungs (" + std::to_string(prog_.rungs.size()) + "), exchanges at " + std::to_string(baud_) +
              " baud, checksum " + (s_.checksum ? "on" : "off") + ":");
    for (size_t ri = 0; ri < prog_.rungs.size(); ++ri)
        rung(ri);
    if (!mixed_.empty())
        rep_.warn(mixed_);
    writtenTwice();

    rep_.line("");
    rep_.line("scan time on the wire with every module answering: " + fmt("%.1f ms", answeringMs_) +
              "; with every module silent: " + fmt("%.1f ms", silentMs_) + " (every rung true)");
    rep_.line(std::to_string(rep_.errors) + " error" + (rep_.errors == 1 ? "" : "s") + ", " +
              std::to_string(rep_.warnings) + " warning" + (rep_.warnings == 1 ? "" : "s"));
    out = rep_.text;
    return rep_.errors ? EXIT_ERRORS : rep_.warnings ? EXIT_WARNINGS : EXIT_OK;
}

} // namespace

Exit runCheck(const CheckInput &in, std::string &out)
{
    Check check(in);
    return check.run(out);
}

} // namespace vhost
