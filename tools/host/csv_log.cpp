// The CSV log of a ladder run: its columns' names and values as written,
// the writer, and how a reader takes a row and a column name apart again.
#include "csv_log.h"

#include <cmath>
#include <cstdlib>
#include <iterator>

#include "ladder.h"
#include "timestamp.h"

namespace vhost {

namespace {

const char *const HEAD[] = {"time", "scan", "scan_ms"};

std::string fmtFloat(float f)
{
    char buf[32];
    snprintf(buf, sizeof buf, "%.7g", static_cast<double>(f));
    return buf;
}

// "R0.I7017@01h": the address as the wire has it (two hex digits and an h),
// as everywhere else.
std::string rungName(const Runner &runner, size_t rung)
{
    std::string name = "R" + std::to_string(rung) + "." + instrName(runner.instr(rung));
    int a = runner.firstAddress(rung);
    if (a >= 0) {
        char buf[16];
        snprintf(buf, sizeof buf, a <= 255 ? "@%02Xh" : "@%d", a);
        name += buf;
    }
    return name;
}

bool isAddress(const PARMDEF &p) { return isOperand(p, operands::addr); }

} // namespace

std::string logHeadColumns()
{
    std::string s;
    for (const char *c : HEAD)
        s += (s.empty() ? "" : ",") + std::string(c);
    return s;
}

std::vector<std::string> logColumns(const Runner &runner)
{
    std::vector<std::string> cols;
    for (size_t r = 0; r < runner.rungs(); ++r) {
        const FUNCDEF &f = runner.instr(r);
        const std::string base = rungName(runner, r);
        cols.push_back(base + "." + LOG_ON);
        cols.push_back(base + "." + LOG_MS);
        for (size_t i = 0; i < runner.params(r).size(); ++i) {
            if (isAddress(f.p[i]))
                continue;
            std::string label = paramLabel(f.p[i]);
            if (!label.empty() && label.back() == ':')
                label.pop_back();
            size_t n = isOutputKind(f.p[i].prm_argtype) && f.p[i].prm_len > 1 ? f.p[i].prm_len : 1;
            for (size_t k = 0; k < n; ++k)
                cols.push_back(base + "." + label + (n > 1 ? "[" + std::to_string(k) + "]" : ""));
        }
    }
    return cols;
}

std::vector<std::string> logValues(const Runner &runner)
{
    std::vector<std::string> vals;
    char buf[32];
    for (size_t r = 0; r < runner.rungs(); ++r) {
        const FUNCDEF &f = runner.instr(r);
        vals.push_back(runner.lastActive(r) ? "1" : "0");
        snprintf(buf, sizeof buf, "%.3f", runner.lastMs(r));
        vals.push_back(buf);
        const std::vector<TLIPARAM> &params = runner.params(r);
        for (size_t i = 0; i < params.size(); ++i) {
            const PARMDEF &p = f.p[i];
            if (isAddress(p))
                continue;
            const TLIPARAM &t = params[i];
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

// ---------------------------------------------------------------------------
CsvLog::~CsvLog()
{
    if (f_)
        fclose(f_);
}

bool CsvLog::open(const std::string &path, const Runner &runner, std::string &error)
{
    f_ = fopen(path.c_str(), "w");
    if (!f_) {
        error = "cannot write " + path;
        return false;
    }
    std::string head = logHeadColumns();
    for (const std::string &c : logColumns(runner))
        head += "," + c;
    fprintf(f_, "%s\n", head.c_str());
    if (fflush(f_) != 0) {
        error = "cannot write " + path;
        fclose(f_);
        f_ = nullptr;
        return false;
    }
    return true;
}

bool CsvLog::row(const Runner &runner, long number, double ms)
{
    if (!f_)
        return true;
    std::string line = isoTimestamp() + "," + std::to_string(number);
    char buf[32];
    snprintf(buf, sizeof buf, ",%.3f", ms);
    line += buf;
    for (const std::string &v : logValues(runner))
        line += "," + v;
    fprintf(f_, "%s\n", line.c_str());
    if (fflush(f_) == 0)
        return true;
    fclose(f_);
    f_ = nullptr;
    return false;
}

// ---------------------------------------------------------------------------
std::vector<std::string> splitLogLine(const std::string &line)
{
    std::vector<std::string> v;
    std::string cur;
    for (char c : line) {
        if (c == ',') {
            v.push_back(cur);
            cur.clear();
        } else if (c != '\r') {
            cur += c;
        }
    }
    v.push_back(cur);
    return v;
}

bool isLogHead(const std::vector<std::string> &columns)
{
    if (columns.size() < std::size(HEAD))
        return false;
    for (size_t i = 0; i < std::size(HEAD); ++i)
        if (columns[i] != HEAD[i])
            return false;
    return true;
}

bool parseLogColumn(const std::string &name, LogColumn &out)
{
    size_t at = name.find('@'), dot1 = name.find('.'), dot2 = name.rfind('.');
    if (at == std::string::npos || dot1 == std::string::npos || dot2 <= at)
        return false;
    out.rung = name.substr(0, dot2);
    out.address = name.substr(at + 1, dot2 - at - 1);
    if (!out.address.empty() && out.address.back() == 'h')
        out.address.pop_back();
    out.instr = name.substr(dot1 + 1, at - dot1 - 1);
    out.label = name.substr(dot2 + 1);
    size_t bracket = out.label.find('[');
    if (bracket != std::string::npos) {
        out.element = atoi(out.label.c_str() + bracket + 1);
        out.label.resize(bracket);
    }
    return true;
}

double logNumber(const std::string &field)
{
    char *end = nullptr;
    double v = strtod(field.c_str(), &end);
    return end && end != field.c_str() ? v : NAN;
}

} // namespace vhost
