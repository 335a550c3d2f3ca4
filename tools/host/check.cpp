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

bool operandValue(const Program &prog, const Rung &r, const FUNCDEF &f, const char *label, double *v,
                  bool *constant = nullptr)
{
    int i = paramIndex(f, label);
    if (i < 0 || static_cast<size_t>(i) >= r.operands.size())
        return false;
    *v = firstValue(prog, r.operands[static_cast<size_t>(i)]);
    if (constant)
        *constant = r.operands[static_cast<size_t>(i)].kind == Operand::Kind::Constant;
    return true;
}

// The models an instruction is made for (empty: any module).
std::vector<int> modelsOf(const std::string &instr)
{
    if (instr == "I7017" || instr == "I7018")
        return {7017, 7018}; // the same read; the 7018's instruction also reports open inputs
    if (instr == "I7RDC" || instr == "I7CDC")
        return {7041, 7052, 7053, 7060, 7065};
    if (instr.size() == 5 && instr.compare(0, 2, "I7") == 0 && isdigit(static_cast<unsigned char>(instr[2])))
        return {std::stoi(instr.substr(1))};
    return {};
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
        int i = paramIndex(table[r.instr], "Addr:");
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

} // namespace

CheckStatus runCheck(const CheckInput &in, std::string &out)
{
    Report rep;
    const Program &prog = *in.prog;
    OptionReading opt = readOptions(in.options);
    const Settings &s = opt.settings;
    int baud = static_cast<int>(s.baud);

    rep.line("options: " + (in.options ? "\"" + *in.options + "\"" : std::string("none (the module's defaults)")));
    rep.line("settings: " + settingsText(s));
    for (const std::string &w : opt.warnings)
        rep.warn("options: " + w);
    if (opt.code != 0) {
        std::string said = opt.console;
        while (!said.empty() && (said[0] == '\n' || said[0] == '\t' || said[0] == ' '))
            said.erase(0, 1);
        while (!said.empty() && (said.back() == '\n'))
            said.pop_back();
        rep.error("options: Init would fail with " + errorLabel(opt.code) + " (" + said + "); `veldran-host explain " +
                  std::to_string(opt.code) + "` tells more");
    }

    vsim::Plant plant;
    bool havePlant = false;
    if (!in.plantPath.empty()) {
        try {
            plant = vsim::loadPlant(in.plantPath);
            havePlant = true;
        } catch (const std::exception &e) {
            rep.error(std::string("plant: ") + e.what());
        }
    }

    std::string mixed = havePlant ? mixedLine(prog, in.table, plant, s) : "";

    // The module's own checks of each rung's operands: run through it once
    // (see CheckInput), on a copy of the data table.
    Program trial = prog;
    Console quiet(stdout); // without Init the module prints nothing
    Runner runner(trial, in.table, quiet);

    // Each rung's exchanges, their time on the wire and the time-out.
    double answeringMs = 0, silentMs = 0;
    std::map<std::string, std::vector<size_t>> writers; // element -> rungs
    std::vector<int> lineChecked;                       // addresses whose line settings were compared
    rep.line("");
    rep.line("rungs (" + std::to_string(prog.rungs.size()) + "), exchanges at " + std::to_string(baud) +
             " baud, checksum " + (s.checksum ? "on" : "off") + ":");
    for (size_t ri = 0; ri < prog.rungs.size(); ++ri) {
        const Rung &r = prog.rungs[ri];
        const FUNCDEF &f = in.table[r.instr];
        std::string instr = instrName(f);
        InputValues iv;
        double v = 0;
        bool addrConst = false;
        bool hasAddr = operandValue(prog, r, f, "Addr:", &v, &addrConst);
        iv.addr = static_cast<int>(v);
        if (operandValue(prog, r, f, "Format:", &v))
            iv.format = static_cast<int>(v);
        if (operandValue(prog, r, f, "Chan:", &v))
            iv.chan = static_cast<int>(v);
        if (operandValue(prog, r, f, "DOUT:", &v))
            iv.dout = static_cast<int>(v);
        if (operandValue(prog, r, f, "HSecs:", &v))
            iv.hsecs = static_cast<int>(v);
        if (operandValue(prog, r, f, "AOUT:", &v))
            iv.aout = static_cast<float>(v);
        std::string id = "R" + std::to_string(ri) + " " + instr + (hasAddr ? "@" + addressText(iv.addr) : "");
        // The address in decimal beside the wire's hex, as the ladder has it.
        bool onWire = hasAddr && iv.addr >= 0 && iv.addr <= 255;
        rep.line("  " + id + (onWire ? " (" + std::to_string(iv.addr) + ")" : "") +
                 (r.comment.empty() ? "" : "  (" + r.comment + ")"));

        // A code other than the serial library's refusal comes before
        // anything is sent: the rung never reaches the line.
        int code = in.trialRun ? runner.callOnce(ri, 1) : -1;
        bool refused = code > 0 && code != static_cast<int>(EC_WRITE_FAILED);
        if (refused) {
            const ErrorInfo *e = findError(static_cast<unsigned>(code));
            bool constant = allInputsConstant(r, f);
            std::string msg = id + ": run gives " + errorLabel(static_cast<unsigned>(code)) +
                              (constant ? " in every scan" : " with the operands' values of the first scan") +
                              ", before anything is sent" + (e ? std::string(": ") + e->meaning : "") + " (" +
                              inputsText(prog, r, f) + ")" + (e && *e->action ? std::string("; ") + e->action : "");
            if (constant)
                rep.error(msg);
            else
                rep.warn(msg);
        }

        std::vector<Exchange> plain, with;
        if (!refused) {
            plain = exchangesOf(instr, iv, false);
            with = exchangesOf(instr, iv, true);
        }
        const std::vector<Exchange> &used = s.checksum ? with : plain;
        for (size_t k = 0; k < plain.size(); ++k) {
            for (int cs = 0; cs < 2; ++cs) {
                const Exchange &e = cs ? with[k] : plain[k];
                std::string reply = e.reply.empty()
                                        ? "no reply"
                                        : "\"" + wire::escape(e.reply) + "\" (" + std::to_string(e.reply.size()) + ")";
                rep.line(std::string("      ") + (cs ? "checksum on " : "checksum off") + "  \"" +
                         wire::escape(e.command) + "\" (" + std::to_string(e.command.size()) + ") -> " + reply + "  " +
                         fmt("%.1f ms", wireMs(wireChars(e), baud)) + ((cs != 0) == s.checksum ? "  *" : ""));
            }
            const Exchange &e = used[k];
            int need = minTimeoutMs(e, baud);
            if (static_cast<int>(s.timeout) < need && !e.reply.empty())
                rep.warn(id + ": " + e.what + ": the time-out " + std::to_string(s.timeout) +
                         " ms is shorter than the exchange needs at " + std::to_string(baud) + " baud (" +
                         fmt("%.1f ms", wireMs(wireChars(e), baud)) +
                         " on the wire); use TIMEOUT=" + std::to_string(need) + " or more");
            else if (static_cast<int>(s.timeout) < need)
                rep.warn(id + ": " + e.what + ": the time-out " + std::to_string(s.timeout) +
                         " ms is shorter than the broadcast takes to leave at " + std::to_string(baud) +
                         " baud; use TIMEOUT=" + std::to_string(need) + " or more");
            answeringMs += wireMs(wireChars(e), baud);
        }
        // A silent module costs one time-out: a second exchange follows
        // only a first that succeeded.  The broadcast waits for no reply.
        // After a time-out the next line waits for a quiet line first:
        // three character times, at least 2 ms.
        if (!used.empty())
            silentMs += used[0].reply.empty() ? wireMs(used[0].command.size(), baud)
                                              : s.timeout + std::max(2.0, std::ceil(wireMs(3, baud)));

        // Outputs this rung writes, element by element.
        for (size_t i = 0; i < r.operands.size(); ++i) {
            const PARMDEF &p = f.p[i];
            if (!isOutputKind(p.prm_argtype) || r.operands[i].kind != Operand::Kind::Ref)
                continue;
            Ref e = r.operands[i].ref;
            size_t n = p.prm_len > 1 ? p.prm_len : 1;
            for (size_t k = 0; k < n; ++k, ++e.index) {
                std::vector<size_t> &w = writers[prog.refName(e)];
                if (w.empty() || w.back() != ri)
                    w.push_back(ri);
            }
        }

        if (!havePlant || !hasAddr || code == static_cast<int>(EC_BAD_ADDRESS))
            continue;
        const vsim::Module *m = plant.find(iv.addr);
        if (!m) {
            rep.warn(id + ": the plant has no module at " + addressText(iv.addr) +
                     (addrConst ? "" : " (the address operand's value in the first scan)"));
            continue;
        }
        int model = m->info().number;
        std::vector<int> fits = modelsOf(instr);
        if (!fits.empty() && std::find(fits.begin(), fits.end(), model) == fits.end())
            rep.warn(id + ": the module at " + addressText(iv.addr) + " is a " + std::to_string(model) + ", which " +
                     instr + " is not made for");
        if (paramIndex(f, "Format:") >= 0 && (model == 7017 || model == 7018) && (iv.format == 2) != m->hex)
            rep.warn(id + ": \"Format:\" " + std::to_string(iv.format) + " reads the " +
                     (iv.format == 2 ? "hex" : "decimal") + " form, but the module at " + addressText(iv.addr) +
                     " answers in the " + (m->hex ? "hex" : "decimal") + " form; use Format " + (m->hex ? "2" : "0"));
        if (!mixed.empty() || std::find(lineChecked.begin(), lineChecked.end(), iv.addr) != lineChecked.end())
            continue;
        lineChecked.push_back(iv.addr);
        if (m->checksum != s.checksum)
            rep.warn(id + ": the module at " + addressText(iv.addr) + " has checksums " + (m->checksum ? "on" : "off") +
                     ", the option string " + (s.checksum ? "on" : "off") +
                     (m->checksum ? "; add CHECKSUM" : "; remove CHECKSUM"));
        // A module without a speed of its own follows the line's.
        int moduleBaud = m->baud;
        if (moduleBaud != 0 && moduleBaud != baud)
            rep.warn(id + ": the module at " + addressText(iv.addr) + " runs at " + std::to_string(moduleBaud) +
                     " baud, the option string at " + std::to_string(baud) +
                     "; use BAUD=" + std::to_string(moduleBaud / 100));
    }
    if (!mixed.empty())
        rep.warn(mixed);
    for (auto &kv : writers) {
        if (kv.second.size() < 2)
            continue;
        std::string list;
        for (size_t ri : kv.second)
            list += (list.empty() ? "R" : ", R") + std::to_string(ri);
        rep.warn(kv.first + " is written by more than one rung: " + list);
    }

    rep.line("");
    rep.line("scan time on the wire with every module answering: " + fmt("%.1f ms", answeringMs) +
             "; with every module silent: " + fmt("%.1f ms", silentMs) + " (every rung true)");
    rep.line(std::to_string(rep.errors) + " error" + (rep.errors == 1 ? "" : "s") + ", " +
             std::to_string(rep.warnings) + " warning" + (rep.warnings == 1 ? "" : "s"));
    out = rep.text;
    return rep.errors ? CHECK_ERRORS : rep.warnings ? CHECK_WARNINGS : CHECK_CLEAN;
}

} // namespace vhost
