// Reading the ladder file (TOML) into a Program, with line and column for
// every error, syntactic or semantic.
#include "ladder.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <toml++/toml.h>

#include "toml_text.h"

namespace vhost {

namespace {

std::string locate(const std::string &source, SourcePos pos)
{
    std::string s = source;
    if (pos.line > 0)
        s += ":" + std::to_string(pos.line) + ":" + std::to_string(pos.column);
    return s;
}

SourcePos posOf(const toml::node &n)
{
    return {static_cast<int>(n.source().begin.line), static_cast<int>(n.source().begin.column)};
}

SourcePos posOf(const toml::key &k)
{
    return {static_cast<int>(k.source().begin.line), static_cast<int>(k.source().begin.column)};
}

bool validFileName(const std::string &s)
{
    if (s.empty() || !isalpha(static_cast<unsigned char>(s[0])))
        return false;
    for (char c : s)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '_')
            return false;
    return true;
}

std::string kindText(WORD kind)
{
    char buf[8];
    snprintf(buf, sizeof buf, "0x%04x", kind);
    return buf;
}

class Parser {
public:
    Parser(const std::string &source, const FUNCDEF *table) : source_(source), table_(table)
    {
        entries_ = tableEntries(table);
        prog_.source = source;
        DataFile sys;
        sys.name = SYSTEM_FILE;
        sys.type = FileType::Word;
        sys.words.assign(SYSTEM_WORDS, 0);
        prog_.files.push_back(sys);
    }

    Program run(const toml::table &root)
    {
        for (auto &&[key, node] : root) {
            std::string k(key.str());
            if (k != "data" && k != "rung")
                fail(posOf(key), "unknown section '" + k + "' (expected [data] or [[rung]])");
            (void)node;
        }
        if (const toml::node *data = root.get("data")) {
            const toml::table *t = data->as_table();
            if (!t)
                fail(posOf(*data), "'data' must be a table of data files");
            parseData(*t);
        }
        const toml::node *rungs = root.get("rung");
        if (!rungs)
            fail({1, 1}, "the program has no [[rung]]");
        const toml::array *arr = rungs->as_array();
        if (!arr)
            fail(posOf(*rungs), "'rung' must be an array of tables ([[rung]])");
        for (const toml::node &r : *arr) {
            const toml::table *t = r.as_table();
            if (!t)
                fail(posOf(r), "a rung must be a table");
            parseRung(*t);
        }
        if (prog_.rungs.empty())
            fail({1, 1}, "the program has no rungs");
        return std::move(prog_);
    }

private:
    [[noreturn]] void fail(SourcePos pos, const std::string &msg) { throw LadderError(source_, pos, msg); }

    void parseData(const toml::table &data)
    {
        for (auto &&[key, node] : data) {
            std::string name(key.str());
            SourcePos kp = posOf(key);
            if (!validFileName(name))
                fail(kp, "data file name '" + name + "' must be a letter followed by letters, digits or '_'");
            if (name == SYSTEM_FILE)
                fail(kp, "data file 'S' is the host's own (S:0 scan number, S:1 scan time)");
            const toml::table *t = node.as_table();
            if (!t)
                fail(posOf(node), "data file '" + name + "' must be a table: { type = \"word\"|\"float\", size = N }");
            DataFile f;
            f.name = name;
            for (auto &&[k2, v2] : *t) {
                std::string kk(k2.str());
                if (kk != "type" && kk != "size" && kk != "values")
                    fail(posOf(k2), "unknown key '" + kk + "' in data file '" + name + "'");
                (void)v2;
            }
            const toml::node *type = t->get("type");
            if (!type || !type->is_string())
                fail(type ? posOf(*type) : posOf(node), "data file '" + name + "' needs type = \"word\" or \"float\"");
            std::string ty = type->as_string()->get();
            if (ty == "word")
                f.type = FileType::Word;
            else if (ty == "float")
                f.type = FileType::Float;
            else
                fail(posOf(*type), "unknown data file type '" + ty + "' (word or float)");
            const toml::node *size = t->get("size");
            if (!size || !size->is_integer())
                fail(size ? posOf(*size) : posOf(node), "data file '" + name + "' needs an integer size");
            int64_t n = size->as_integer()->get();
            if (n < 1 || n > 10000)
                fail(posOf(*size), "data file size must be 1 to 10000");
            if (f.type == FileType::Word)
                f.words.assign(static_cast<size_t>(n), 0);
            else
                f.floats.assign(static_cast<size_t>(n), 0.0f);
            if (const toml::node *vals = t->get("values")) {
                const toml::array *a = vals->as_array();
                if (!a)
                    fail(posOf(*vals), "values must be an array");
                if (static_cast<int64_t>(a->size()) > n)
                    fail(posOf(*vals), "more values than the file's size");
                size_t i = 0;
                for (const toml::node &v : *a) {
                    if (f.type == FileType::Word) {
                        if (!v.is_integer())
                            fail(posOf(v), "a word file's values must be integers");
                        int64_t x = v.as_integer()->get();
                        if (x < -32768 || x > 65535)
                            fail(posOf(v), "word value out of range (-32768 to 65535)");
                        f.words[i] = static_cast<SSHORT>(static_cast<uint16_t>(x));
                    } else {
                        if (!v.is_number())
                            fail(posOf(v), "a float file's values must be numbers");
                        f.floats[i] = static_cast<float>(v.value<double>().value_or(0.0));
                    }
                    ++i;
                }
            }
            prog_.files.push_back(std::move(f));
        }
    }

    // "NAME:INDEX" or, where bits are allowed, "NAME:INDEX/BIT".
    Ref parseRef(const std::string &s, SourcePos pos, bool allowBit)
    {
        size_t colon = s.find(':');
        if (colon == std::string::npos)
            fail(pos, "'" + s + "' is not a data-table address (FILE:ELEMENT, e.g. N7:0)");
        std::string name = s.substr(0, colon);
        std::string rest = s.substr(colon + 1);
        std::string bit;
        size_t slash = rest.find('/');
        if (slash != std::string::npos) {
            bit = rest.substr(slash + 1);
            rest = rest.substr(0, slash);
        }
        auto allDigits = [](const std::string &d) {
            return !d.empty() && d.size() <= 5 && d.find_first_not_of("0123456789") == std::string::npos;
        };
        if (!allDigits(rest) || (slash != std::string::npos && !allDigits(bit)))
            fail(pos, "'" + s + "' is not a data-table address (FILE:ELEMENT, e.g. N7:0)");
        Ref r;
        for (size_t i = 0; i < prog_.files.size(); ++i)
            if (prog_.files[i].name == name)
                r.file = static_cast<int>(i);
        if (r.file < 0)
            fail(pos, "unknown data-table name '" + name + "'");
        r.index = std::stoi(rest);
        const DataFile &f = prog_.files[static_cast<size_t>(r.file)];
        if (static_cast<size_t>(r.index) >= f.size())
            fail(pos, "'" + s + "' is beyond the end of " + name + " (size " + std::to_string(f.size()) + ")");
        if (slash != std::string::npos) {
            if (!allowBit)
                fail(pos, "a bit address ('" + s + "') is allowed only as a rung condition");
            if (f.type != FileType::Word)
                fail(pos, "bit addresses need a word file");
            r.bit = std::stoi(bit);
            if (r.bit > 15)
                fail(pos, "bit number must be 0 to 15");
        }
        return r;
    }

    Operand parseOperand(const toml::node &n, const PARMDEF &p, const std::string &instr)
    {
        Operand op;
        op.pos = posOf(n);
        const std::string label = paramLabel(p);
        const std::string what = instr + " operand \"" + label + "\"";
        const WORD kind = p.prm_argtype;
        if (isOutputKind(kind)) {
            if (!n.is_string())
                fail(op.pos, what + " is an output and needs a data-table address");
            op.kind = Operand::Kind::Ref;
            op.ref = parseRef(n.as_string()->get(), op.pos, false);
            const DataFile &f = prog_.files[static_cast<size_t>(op.ref.file)];
            if (kind == ARG_WORD_OUT && f.type != FileType::Word)
                fail(op.pos, what + " needs a word element, not the float file " + f.name);
            if (op.ref.file == 0)
                fail(op.pos, what + " cannot write into the host's file S");
            size_t need = p.prm_len ? p.prm_len : 1;
            if (static_cast<size_t>(op.ref.index) + need > f.size())
                fail(op.pos, what + " needs " + std::to_string(need) + " elements from " + prog_.refName(op.ref) +
                                 ", beyond the end of " + f.name);
            return op;
        }
        if (!isInputKind(kind))
            fail(op.pos, what + " has operand kind " + kindText(kind) + ", which this host cannot bind");
        const bool floatIn = kind == ARG_FLOAT_IN;
        if (n.is_integer()) {
            int64_t v = n.as_integer()->get();
            if (!floatIn && (v < -32768 || v > 65535))
                fail(op.pos, what + " constant out of the 16-bit range");
            op.value = static_cast<double>(v);
        } else if (n.is_floating_point()) {
            if (!floatIn)
                fail(op.pos, what + " needs an integer, not a float");
            op.value = n.as_floating_point()->get();
            op.isFloat = true;
        } else if (n.is_boolean()) {
            fail(op.pos, what + " needs a number, not a boolean");
        } else if (n.is_string()) {
            op.kind = Operand::Kind::Ref;
            op.ref = parseRef(n.as_string()->get(), op.pos, false);
            if (!floatIn && prog_.isFloat(op.ref))
                fail(op.pos, what + " needs a word element, not the float file " +
                                 prog_.files[static_cast<size_t>(op.ref.file)].name);
        } else if (const toml::table *t = n.as_table()) {
            for (auto &&[k, v] : *t) {
                std::string kk(k.str());
                if (kk != "ramp" && kk != "scans")
                    fail(posOf(k), "unknown key '" + kk + "' (a ramp is { ramp = [LO, HI], scans = N })");
                (void)v;
            }
            const toml::array *a = t->get_as<toml::array>("ramp");
            const toml::node *sc = t->get("scans");
            if (!a || a->size() != 2 || !(*a)[0].is_number() || !(*a)[1].is_number())
                fail(op.pos, what + ": a ramp is { ramp = [LO, HI], scans = N }");
            if (!sc || !sc->is_integer() || sc->as_integer()->get() < 1)
                fail(sc ? posOf(*sc) : op.pos, "a ramp's scans must be an integer of at least 1");
            op.kind = Operand::Kind::Ramp;
            op.lo = (*a)[0].value<double>().value_or(0.0);
            op.hi = (*a)[1].value<double>().value_or(0.0);
            op.scans = static_cast<long>(sc->as_integer()->get());
            if (!floatIn && (op.lo < -32768 || op.hi < -32768 || op.lo > 65535 || op.hi > 65535))
                fail(op.pos, what + " ramp out of the 16-bit range");
        } else {
            fail(op.pos, what + ": expected a number, a data-table address or a ramp");
        }
        return op;
    }

    Condition parseCondition(const toml::node &n)
    {
        Condition c;
        c.pos = posOf(n);
        if (n.is_boolean()) {
            c.kind = Condition::Kind::Constant;
            c.value = n.as_boolean()->get();
        } else if (n.is_integer()) {
            c.kind = Condition::Kind::Constant;
            c.value = n.as_integer()->get() != 0;
        } else if (n.is_string()) {
            c.kind = Condition::Kind::Ref;
            c.ref = parseRef(n.as_string()->get(), c.pos, true);
        } else if (const toml::table *t = n.as_table()) {
            const toml::node *every = t->get("toggle");
            c.kind = Condition::Kind::Toggle;
            if (!every) {
                every = t->get("first");
                c.kind = Condition::Kind::First;
            }
            if (!every || t->size() != 1 || !every->is_integer() || every->as_integer()->get() < 1)
                fail(c.pos, "a timed condition is { toggle = N } or { first = N } with N of at least 1");
            c.every = static_cast<long>(every->as_integer()->get());
        } else {
            fail(c.pos, "'when' must be true/false, a number, a data-table address, { toggle = N } or { first = N }");
        }
        return c;
    }

    void parseRung(const toml::table &t)
    {
        Rung r;
        r.pos = posOf(t);
        for (auto &&[key, node] : t) {
            std::string k(key.str());
            if (k != "instr" && k != "args" && k != "when" && k != "comment")
                fail(posOf(key), "unknown key '" + k + "' in a rung (instr, args, when, comment)");
            (void)node;
        }
        const toml::node *in = t.get("instr");
        if (!in || !in->is_string())
            fail(in ? posOf(*in) : r.pos, "a rung needs instr = \"NAME\"");
        std::string name = in->as_string()->get();
        for (int i = 0; i < entries_; ++i)
            if (instrName(table_[i]) == name)
                r.instr = i;
        if (r.instr < 0)
            fail(posOf(*in), "unknown instruction '" + name + "'");
        const FUNCDEF &f = table_[r.instr];
        const toml::node *args = t.get("args");
        const toml::array *a = args ? args->as_array() : nullptr;
        if (!a)
            fail(args ? posOf(*args) : r.pos,
                 name + " needs args = [ ... ] with its " + std::to_string(f.fnc_numargs) + " operands");
        if (a->size() != f.fnc_numargs) {
            std::string labels;
            for (int i = 0; i < f.fnc_numargs && i < 9; ++i)
                labels += (i ? " " : "") + paramLabel(f.p[i]);
            fail(posOf(*args), name + " takes " + std::to_string(f.fnc_numargs) + " operands (" + labels + "), not " +
                                   std::to_string(a->size()));
        }
        for (size_t i = 0; i < a->size(); ++i)
            r.operands.push_back(parseOperand((*a)[i], f.p[i], name));
        if (const toml::node *w = t.get("when"))
            r.when = parseCondition(*w);
        if (const toml::node *c = t.get("comment")) {
            if (!c->is_string())
                fail(posOf(*c), "comment must be a string");
            r.comment = c->as_string()->get();
        }
        prog_.rungs.push_back(std::move(r));
    }

    std::string source_;
    const FUNCDEF *table_;
    int entries_ = 0;
    Program prog_;
};

} // namespace

LadderError::LadderError(const std::string &source, SourcePos p, const std::string &msg)
    : std::runtime_error(locate(source, p) + ": " + msg), pos(p), message(msg)
{
}

std::string Program::refName(const Ref &r) const
{
    std::string s = files[static_cast<size_t>(r.file)].name + ":" + std::to_string(r.index);
    if (r.bit >= 0)
        s += "/" + std::to_string(r.bit);
    return s;
}

int tableEntries(const FUNCDEF *table, int maxEntries)
{
    int n = 0;
    while (n < maxEntries && table[n].fnc_name[0] != '\0')
        ++n;
    return n;
}

std::string instrName(const FUNCDEF &f) { return std::string(f.fnc_name, strnlen(f.fnc_name, sizeof f.fnc_name)); }

std::string paramLabel(const PARMDEF &p) { return std::string(p.prm_name, strnlen(p.prm_name, sizeof p.prm_name)); }

bool isOperand(const PARMDEF &p, const PARMDEF &operand) { return paramLabel(p) == paramLabel(operand); }

int paramIndex(const FUNCDEF &f, const PARMDEF &operand)
{
    for (int i = 0; i < f.fnc_numargs && i < 9; ++i)
        if (isOperand(f.p[i], operand))
            return i;
    return -1;
}

std::string addressText(int addr)
{
    if (addr < 0 || addr > 255)
        return std::to_string(addr);
    char buf[8];
    snprintf(buf, sizeof buf, "%02Xh", static_cast<unsigned>(addr));
    return buf;
}

bool isInputKind(WORD kind) { return kind == ARG_WORD_IN || kind == ARG_FLOAT_IN; }

bool isOutputKind(WORD kind) { return kind == ARG_WORD_OUT || kind == ARG_NUM_OUT || kind == ARG_ARRAY_OUT; }

Program parseLadderText(const std::string &text, const std::string &source, const FUNCDEF *table)
{
    if (tomltext::Place bad = tomltext::unsafeCharacter(text); bad.line > 0)
        throw LadderError(source, {bad.line, bad.column},
                          "a control character, or a character outside the ASCII set outside a comment");
    toml::table root;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error &e) {
        SourcePos p{static_cast<int>(e.source().begin.line), static_cast<int>(e.source().begin.column)};
        throw LadderError(source, p, std::string(e.description()));
    }
    return Parser(source, table).run(root);
}

Program parseLadderFile(const std::string &path, const FUNCDEF *table)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw LadderError(path, {}, "cannot open the ladder file");
    std::ostringstream ss;
    ss << in.rdbuf();
    return parseLadderText(ss.str(), path, table);
}

} // namespace vhost
