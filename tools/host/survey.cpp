// The survey's run: each setting's Init, the status reads of every address,
// the suspects asked again and the reads tried on what answered.  Its
// report is survey_report.cpp.
#include "survey.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iterator>

#include "errors.h"
#include "ladder.h"
#include "platform.h"
#include "records.h"
#include "survey_settings.h"
#include "wire.h"

namespace vhost {

std::string optionsFor(int port, int baudCode, bool checksum, int timeout, int latency)
{
    return "COMPORT=" + std::to_string(port) + " BAUD=" + std::to_string(baudCode) +
           " TIMEOUT=" + std::to_string(timeout) + " LATENCY=" + std::to_string(latency) +
           (checksum ? " CHECKSUM" : "");
}

int clampTimeout(int t) { return t < TIMEOUT_MIN_MS ? TIMEOUT_MIN_MS : t > TIMEOUT_MAX_MS ? TIMEOUT_MAX_MS : t; }

int latencyFor(double excessMs)
{
    int l = static_cast<int>(std::ceil(std::max(0.0, excessMs) * 1.25));
    return std::min(l, static_cast<int>(LATENCY_MAX_MS));
}

namespace {

using ClockType = std::chrono::steady_clock;

// The table's entry of the first instruction that makes only an exchange
// of `kind` (the catalogue's), or null.
const FUNCDEF *findInstr(const FUNCDEF *table, catalogue::Kind kind)
{
    const catalogue::Instruction *wanted = catalogue::firstMaking(kind);
    int n = tableEntries(table);
    for (int i = 0; wanted && i < n; ++i)
        if (instrName(table[i]) == wanted->name)
            return &table[i];
    return nullptr;
}

// Calls an instruction with a true rung; returns its "ErrCode:" and the
// time it took.
unsigned call(const FUNCDEF *f, std::vector<TLIPARAM> params, SSHORT *err, double *ms)
{
    *err = -1;
    auto t0 = ClockType::now();
    f->fnc_ptr(1, static_cast<int32_t>(params.size()), params.data());
    if (ms)
        *ms = std::chrono::duration<double, std::milli>(ClockType::now() - t0).count();
    return static_cast<uint16_t>(*err);
}

// What the reads a module answered say it is: "analog read (decimal),
// digital read", "status only".
std::string answersOf(const SurveyFind &f)
{
    std::vector<std::string> kinds;
    if (f.dec == EC_OK)
        kinds.push_back("analog read (decimal)");
    // A hex reply with an open input (a five-character field) is of
    // unexpected length in both forms.
    if (f.hex == EC_OK || (f.hex == EC_AIN_LENGTH && f.dec == EC_AIN_LENGTH))
        kinds.push_back("analog read (hex)");
    if (f.din == EC_OK)
        kinds.push_back("digital read");
    std::string answers;
    for (const std::string &k : kinds)
        answers += (answers.empty() ? "" : ", ") + k;
    return answers.empty() ? "status only" : answers;
}

// A survey under way: for each setting an Init with its option string, the
// status read of every address, then the reads each module that answered is
// tried with.
class Survey {
public:
    Survey(const SurveyLine &line, const SurveyOptions &opt, FILE *progress, std::string &error,
           volatile std::sig_atomic_t *stop)
        : line_(line), opt_(opt), progress_(progress), error_(error), stop_(stop)
    {
    }
    std::vector<SurveyFind> run();
    const std::vector<SurveyGarbled> &garbled() const { return garbled_; }

private:
    bool stopped() const { return stop_ && *stop_; }
    double margin() const;
    int timeoutFor(catalogue::Kind read, bool cs, int baud, double marginMs) const;
    void fallQuiet() const;
    ERRCODE init(const std::string &options, int timeout);
    bool setting(bool cs, int code);
    std::vector<SurveyFind> statusReads(bool cs, int baud, std::vector<int> &suspects);
    unsigned statusRead(int address, SSHORT &status, double &ms, bool *garbled = nullptr);
    bool answered(int address, bool cs, int baud, std::vector<SurveyFind> &here, unsigned *code = nullptr);
    size_t askAgain(const std::vector<int> &suspects, std::vector<SurveyFind> &here, bool cs, int code);
    void tryReads(std::vector<SurveyFind> &here, bool cs, int code);
    void tryReads(SurveyFind &f);
    int64_t received() const { return line_.received ? line_.received() : 0; }

    const SurveyLine &line_;
    const SurveyOptions &opt_;
    FILE *progress_;
    std::string &error_;
    volatile std::sig_atomic_t *stop_;
    const FUNCDEF *rdms_ = nullptr, *ain_ = nullptr, *din_ = nullptr;
    InputValues probe_;
    int lastTimeout_ = 0;
    double slowest_ = -1;  // the longest response beyond its wire time so far; below 0: none yet
    bool settled_ = false; // the last status read succeeded: the next one does not wait for the line
    bool spare_ = false;   // asked with time to spare: bytes during a time-out are the address's own
    long reads_ = 0;       // status reads sent
    std::vector<SurveyFind> found_;
    std::vector<SurveyGarbled> garbled_;
};

// Codes of a reply that came, but garbled.
bool isGarbled(unsigned code) { return code == EC_BAD_LENGTH || code == EC_BAD_CHECKSUM; }

// An address that does not answer in time is reported as having no module.
// Where the survey cannot tell whether anything came during a time-out, the
// status reads wait long enough beyond the wire time for a slow module's
// turn-around and a serial adapter's delivery.
constexpr double BLIND_MARGIN_MS = 15.0;
// Where it can, they wait only a little beyond what the line was measured to
// need (most of a survey is addresses that nobody answers): FIRST_MARGIN_MS
// until a module has answered, then SPREAD_MS beyond the slowest response
// measured, never less than MIN_MARGIN_MS.  When bytes come that no address
// just asked accounts for, every address that did not answer in the
// SUSPECT_WINDOW_MS before is asked again after the setting's sweep, with
// SUSPECT_MARGIN_MS to spare (a slow module, an adapter's delivery, or a
// simulator or computer put aside for a while, which a loaded machine does),
// and its response then counts for the margin.
constexpr double FIRST_MARGIN_MS = 1.5;
constexpr double MIN_MARGIN_MS = 1.5;
constexpr double SPREAD_MS = 0.8;
constexpr double SUSPECT_MARGIN_MS = 45.0;
constexpr double SUSPECT_WINDOW_MS = 500.0;
// How long the survey waits after a setting's last time-out for a reply
// that may still come.
constexpr int LAST_REPLY_WAIT_MS = 30;
// The status reads' replies carry the module's address, so a late one can
// never be taken for another module's: their settings need no latency, and
// a time-out costs only the quiet interval of three characters after it.
constexpr int SWEEP_LATENCY_MS = 0;

double Survey::margin() const
{
    if (!line_.received)
        return BLIND_MARGIN_MS;
    if (slowest_ < 0)
        return FIRST_MARGIN_MS;
    return std::max(MIN_MARGIN_MS, slowest_ + SPREAD_MS);
}

// The time-out of an instruction's first exchange.  The status read gets
// the one given, or its own time on the wire plus the margin; a read with a
// longer reply gets that and its longer time on the wire besides, so that a
// time-out given for the status reads cannot be too short for an analog
// read's reply (at 9600 baud the 7017's takes 60 ms).
int Survey::timeoutFor(catalogue::Kind read, bool cs, int baud, double marginMs) const
{
    const Exchange status = exchangeOf(catalogue::READ_STATUS, probe_, cs);
    int t = opt_.timeoutMs ? opt_.timeoutMs : clampTimeout(minTimeoutMs(status, baud, marginMs));
    double longer = wireMs(wireChars(exchangeOf(read, probe_, cs)), baud) - wireMs(wireChars(status), baud);
    return clampTimeout(t + static_cast<int>(std::ceil(std::max(0.0, longer))));
}

// A module may still be sending when the survey moves on (a refusal is
// reported at its "?", a late reply comes after the time-out), and at
// another speed the driver cannot tell its characters from a quiet line for
// long.  So before each new Init the line gets the time-out of the last
// exchange, and the slowest delivery measured, to fall quiet, unless that
// exchange ended with its reply complete.  The same holds when the survey
// ends: whatever talks to the line next (identify, the twin) must not run
// into the rest of a refusal.
void Survey::fallQuiet() const
{
    if (!settled_)
        sleepMs(lastTimeout_ + static_cast<int>(std::ceil(std::max(0.0, slowest_))));
}

ERRCODE Survey::init(const std::string &options, int timeout)
{
    fallQuiet();
    lastTimeout_ = timeout;
    settled_ = false; // the reads before may have left the line unsettled
    return line_.init(options);
}

// The status read of an address; its code.  A garbled reply is read again,
// up to GARBLED_TRIES in all; `*garbled` says whether the last one came
// garbled.  Asked with time to spare, a time-out during which bytes came is
// garbled too: no late reply of another address can be on the line then,
// so the bytes are this address's, and a reply that never ends is what two
// modules make of it when they answer at once (their carriage returns
// collide as well).
unsigned Survey::statusRead(int address, SSHORT &status, double &ms, bool *garbled)
{
    unsigned rc = EC_OK;
    bool bad = false;
    for (int i = 0; i < GARBLED_TRIES && !stopped(); ++i) {
        ++reads_;
        SSHORT err = 0;
        const int64_t before = received();
        rc = call(rdms_,
                  {records::wordIn(static_cast<int16_t>(address)), records::wordOut(&status), records::wordOut(&err)},
                  &err, &ms);
        bad = isGarbled(rc) || (rc == EC_TIMEOUT && spare_ && line_.received && received() > before);
        if (!bad)
            break;
    }
    if (garbled)
        *garbled = bad;
    return rc;
}

// The status read of `address`; true when it answered (it is added to
// `here`, and its response counts for the margin).
bool Survey::answered(int address, bool cs, int baud, std::vector<SurveyFind> &here, unsigned *code)
{
    SSHORT status = 0;
    double ms = 0;
    const bool settled = settled_;
    bool garbled = false;
    unsigned rc = statusRead(address, status, ms, &garbled);
    settled_ = rc == EC_OK;
    if (code)
        *code = rc;
    if (garbled)
        garbled_.push_back({address, baud, cs, rc});
    if (rc != EC_OK)
        return false;
    // After an exchange that failed, the driver first waited for the line
    // to settle: the response is measured again on a settled line (and not
    // at all when that read fails: the module has answered all the same).
    bool measured = settled;
    if (!settled) {
        double again = 0;
        SSHORT st = 0;
        measured = statusRead(address, st, again) == EC_OK;
        settled_ = measured;
        if (measured)
            ms = again;
    }
    SurveyFind f;
    f.addr = address;
    f.baud = baud;
    f.checksum = cs;
    f.status = static_cast<uint16_t>(status) & 0xFF;
    f.ms = ms;
    f.excessMs = ms - wireMs(wireChars(exchangeOf(catalogue::READ_STATUS, probe_, cs)), baud);
    if (measured)
        slowest_ = std::max(slowest_, f.excessMs);
    here.push_back(f);
    return true;
}

// The status read of every address in the range; what answered.  The
// addresses that may have answered late go to `suspects`.
std::vector<SurveyFind> Survey::statusReads(bool cs, int baud, std::vector<int> &suspects)
{
    std::vector<SurveyFind> here;
    // The addresses that did not answer, in order, and when each was asked.
    std::vector<std::pair<int, ClockType::time_point>> silent;
    auto suspectRecent = [&] {
        const auto since = ClockType::now() - std::chrono::duration<double, std::milli>(SUSPECT_WINDOW_MS);
        for (const auto &[addr, asked] : silent)
            if (asked >= since && (suspects.empty() || suspects.back() < addr))
                suspects.push_back(addr);
    };
    const int64_t replyChars = static_cast<int64_t>(exchangeOf(catalogue::READ_STATUS, probe_, cs).reply.size());
    bool refusedBefore = false;
    for (int a = opt_.first; a <= opt_.last && !stopped(); ++a) {
        const int64_t before = received();
        const long reads = reads_;
        const auto asked = ClockType::now();
        size_t garbledBefore = garbled_.size();
        unsigned rc = EC_OK;
        bool answer = answered(a, cs, baud, here, &rc);
        if (!answer && garbled_.size() == garbledBefore)
            silent.emplace_back(a, asked);
        // More bytes than this address's own replies (none for a time-out,
        // a reply or a refusal a read otherwise) and the rest of a refusal
        // before it (the driver reports a refusal at its "?"): an earlier
        // address's reply came late, and the driver read it while it waited
        // for the line.
        int64_t own = (rc == EC_TIMEOUT ? 0 : (reads_ - reads) * replyChars) + (refusedBefore ? replyChars : 0);
        if (received() - before > own)
            suspectRecent();
        refusedBefore = rc == EC_REFUSED;
        if (progress_ && (a - opt_.first) % 32 == 31) {
            fputc('.', progress_);
            fflush(progress_);
        }
    }
    // A reply may still come after the last time-out.
    if (line_.received && !silent.empty() && !stopped()) {
        const int64_t before = received();
        sleepMs(std::max(LAST_REPLY_WAIT_MS, lastTimeout_ + static_cast<int>(std::ceil(std::max(0.0, slowest_)))));
        if (received() != before)
            suspectRecent();
    }
    return here;
}

// The suspects' status reads again, with time to spare; how many answered.
size_t Survey::askAgain(const std::vector<int> &suspects, std::vector<SurveyFind> &here, bool cs, int code)
{
    if (suspects.empty() || stopped())
        return 0;
    const int baud = code * 100;
    int t = timeoutFor(catalogue::READ_STATUS, cs, baud, SUSPECT_MARGIN_MS);
    if (init(optionsFor(opt_.port, code, cs, t, SWEEP_LATENCY_MS), t) != EC_OK)
        return 0;
    size_t before = here.size();
    spare_ = true;
    for (int a : suspects) {
        if (stopped())
            break;
        answered(a, cs, baud, here);
    }
    spare_ = false;
    std::stable_sort(here.begin(), here.end(),
                     [](const SurveyFind &x, const SurveyFind &y) { return x.addr < y.addr; });
    return here.size() - before;
}

// The analog reads in both forms and the digital read (the response time
// is the status read's, measured on a settled line when it answered).
void Survey::tryReads(SurveyFind &f)
{
    int16_t a = static_cast<int16_t>(f.addr);
    SSHORT err = 0, words[8] = {}, mask = 0;
    float values[8] = {};
    f.dec = call(ain_, {records::wordIn(a), records::wordIn(0), records::floatOut(values), records::wordOut(&err)},
                 &err, nullptr);
    f.hex = call(ain_, {records::wordIn(a), records::wordIn(2), records::wordOut(words), records::wordOut(&err)}, &err,
                 nullptr);
    f.din = call(din_, {records::wordIn(a), records::wordIn(0), records::wordOut(&mask), records::wordOut(&err)}, &err,
                 nullptr);
    settled_ = f.din == EC_OK;
    f.answers = answersOf(f);
}

// What each module found answers: the longest reply (an analog read in the
// decimal form) needs its own time-out.  These reads go only to modules that
// answered, which reply or refuse at once, so they wait with time to spare:
// a module put down as "status only" because a loaded computer kept its
// reply a few milliseconds beyond the sweep's tight margin would be wrong.
void Survey::tryReads(std::vector<SurveyFind> &here, bool cs, int code)
{
    int t = timeoutFor(catalogue::READ_ANALOG, cs, code * 100, std::max(margin(), SUSPECT_MARGIN_MS));
    ERRCODE ec = stopped() ? EC_OK : init(optionsFor(opt_.port, code, cs, t, latencyFor(slowest_)), t);
    for (SurveyFind &f : here) {
        if (stopped())
            f.answers = "not tried";
        if (ec != EC_OK || stopped())
            continue;
        tryReads(f);
    }
}

// One setting; false when its Init failed.
bool Survey::setting(bool cs, int code)
{
    int baud = code * 100;
    // The status read's own time on the wire plus the margin.
    int t = timeoutFor(catalogue::READ_STATUS, cs, baud, margin());
    std::string o = optionsFor(opt_.port, code, cs, t, SWEEP_LATENCY_MS);
    if (progress_)
        fprintf(progress_, "survey: %6d baud, checksum %-3s (%s): ", baud, cs ? "on" : "off", o.c_str());
    ERRCODE ec = init(o, t);
    if (ec != 0) {
        if (progress_)
            fprintf(progress_, "\n");
        error_ = "Init with \"" + o + "\" failed: " + errorLabel(ec);
        return false;
    }
    auto t0 = ClockType::now();
    std::vector<int> suspects;
    std::vector<SurveyFind> here = statusReads(cs, baud, suspects);
    size_t late = askAgain(suspects, here, cs, code);
    if (!here.empty())
        tryReads(here, cs, code);
    if (progress_) {
        fprintf(progress_, " %zu answered", here.size());
        if (!suspects.empty())
            fprintf(progress_, ", %zu of them when asked again with time to spare", late);
        fprintf(progress_, " (%.1f s)\n", std::chrono::duration<double>(ClockType::now() - t0).count());
    }
    found_.insert(found_.end(), here.begin(), here.end());
    return true;
}

std::vector<SurveyFind> Survey::run()
{
    rdms_ = findInstr(line_.table, catalogue::READ_STATUS);
    ain_ = findInstr(line_.table, catalogue::READ_ANALOG);
    din_ = findInstr(line_.table, catalogue::READ_DIGITAL);
    if (!rdms_ || !ain_ || !din_) {
        error_ = std::string("the module has no ") + catalogue::firstMaking(catalogue::READ_STATUS)->name + ", " +
                 catalogue::firstMaking(catalogue::READ_ANALOG)->name + " or " +
                 catalogue::firstMaking(catalogue::READ_DIGITAL)->name;
        return found_;
    }
    std::vector<int> bauds = opt_.bauds;
    if (bauds.empty())
        bauds.assign(std::begin(BAUD_CODES), std::end(BAUD_CODES));
    std::vector<bool> sums = opt_.checksums;
    if (sums.empty())
        sums = {false, true};
    auto tAll = ClockType::now();
    // Every setting without checksums comes first: an Init can switch
    // checksums on but never off again.
    std::stable_sort(sums.begin(), sums.end(), [](bool a, bool b) { return !a && b; });
    for (bool cs : sums)
        for (int code : bauds) {
            if (stopped())
                break;
            if (!setting(cs, code))
                return found_;
        }
    fallQuiet();
    if (progress_)
        fprintf(progress_, "survey: %.1f s in all\n", std::chrono::duration<double>(ClockType::now() - tAll).count());
    return found_;
}

} // namespace

std::vector<SurveyFind> runSurvey(const SurveyLine &line, const SurveyOptions &opt, FILE *progress, std::string &error,
                                  volatile std::sig_atomic_t *stop, std::vector<SurveyGarbled> *garbled)
{
    Survey survey(line, opt, progress, error, stop);
    std::vector<SurveyFind> found = survey.run();
    if (garbled)
        *garbled = survey.garbled();
    return found;
}

} // namespace vhost
