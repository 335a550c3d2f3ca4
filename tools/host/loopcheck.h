// The I/O loop check of a design: each point of its tag list checked end
// to end through the module's instructions (an input's value read in
// engineering units, an output forced and read back), marked passed,
// failed or skipped by the engineer, and the results kept in a file after
// every point, so that a check can be left and taken up again.
#ifndef TOOLS_HOST_LOOPCHECK_H
#define TOOLS_HOST_LOOPCHECK_H

#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "json.h"
#include "plant.h"
#include "veldran.h"

namespace catalogue {
struct Instruction;
}

namespace vhost {

// One point's result as the results file keeps it.
struct PointResult {
    std::string tag;
    std::string result = "open"; // "passed", "failed", "skipped" or "open"
    std::string note, seen, engineer, date;
};

struct LoopResults {
    std::string designFile, designSha;
    std::vector<PointResult> points; // the design's order
};

// One point's result as the results file and the report hold it (the
// report with the point's description after its tag).
json::Value resultValue(const PointResult &p, const std::string *description = nullptr);
json::Value resultsValue(const LoopResults &r);
// A results file's data; false with `error` when it is none.
bool resultsFrom(const json::Value &v, LoopResults &r, std::string &error);
// The design's points, each with its result from `earlier` (same tag) where
// it has one, else open.
LoopResults resultsFor(const vsim::Plant &design, const LoopResults &earlier);
// Where a check starts: the first open point (among `only`'s tags when
// given), else the first not passed; the number of points when every one
// passed.
size_t firstOpen(const LoopResults &r, const std::vector<std::string> &only = {});

// The option string that reaches the design's line on COM port `port`: its
// speed, the checksum setting of its modules, and a time-out that covers
// the longest exchange its points make (as survey recommends one), or
// `timeoutMs` where it is given (above 0).
std::string designOptions(const vsim::Plant &design, int port, int timeoutMs = 0);

// "01h (7017) channel 0, analog input 4 to 20 = 0 to 100 degC".
std::string pointPlace(const vsim::Plant &design, const vsim::Point &p);
// An engineering value with its unit ("12.500 bar"), or a bit ("1").
std::string pointValueText(const vsim::Point &p, double v);

// What a point reads or reads back: the module's code, the value (the
// engineering value, or 0/1 for a bit) where it has one, and its text.
struct Reading {
    unsigned code = 0;
    bool valued = false;
    double value = 0;
    std::string text;
};

// The instructions a point is read and written with, found in the module's
// catalogue by what they do and the models they are made for: the point's
// read (none for an analog output: no instruction reads one back) and, for
// an output, its write; null where the module has none.
struct PointInstructions {
    const catalogue::Instruction *read = nullptr;
    const catalogue::Instruction *write = nullptr;
};
PointInstructions pointInstructions(const vsim::Module &m, const vsim::Point &p);

// The points' I/O through the module's instructions: the analog and
// digital reads of the point's model, the analog write of the 7024, the
// digital writes of the 7043, 7060 and 7065, and the 16-bit digital read
// for what a digital output module holds.
class PointIo {
public:
    PointIo(const FUNCDEF *table, const vsim::Plant &design) : table_(table), design_(design) {}
    // An input's value; an output's as read back (an analog output, which
    // no instruction reads, has none).
    Reading read(const vsim::Point &p);
    // Forces an output to an engineering value (0/1 for a bit), then reads
    // it back where it can be read.
    Reading force(const vsim::Point &p, double engineering);
    bool readsBack(const vsim::Point &p) const;

private:
    // An operand of a call, by its label.
    struct Given {
        const PARMDEF &operand;
        TLIPARAM value;
    };
    // Calls the instruction with the operands it takes, each from `given`;
    // the code it left in `err`.
    unsigned call(const catalogue::Instruction *instr, std::initializer_list<Given> given, const SSHORT &err);
    Reading readAnalog(const vsim::Point &p, const vsim::Module &m);
    Reading readBit(const vsim::Point &p, const vsim::Module &m);
    unsigned writeBits(const vsim::Point &p, const vsim::Module &m, int bits);

    const FUNCDEF *table_;
    const vsim::Plant &design_;
    std::map<int, int> outputs_; // a digital output module's outputs as last written or read
};

// One loop check under way: the point shown, the commands that mark it and
// move on, the output forced and put back to its safe value when the point
// is left or the check ends.
class LoopCheck {
public:
    struct Setup {
        std::string engineer;
        std::vector<std::string> only;                 // the tags to check ("": every point)
        std::function<bool(const LoopResults &)> save; // after every point; false: not written
        std::function<void(const std::string &)> say;  // a line of what happens (plain output)
        std::function<std::string()> now = nullptr;    // the date of a mark (default: the clock)
    };
    LoopCheck(const vsim::Plant &design, PointIo &io, LoopResults &results, Setup setup);
    // Goes to the first point not passed; false when there is none.
    bool start();
    // One command, as a script line or a key gives it: "pass [NOTE]",
    // "fail NOTE", "skip [NOTE]", "set VALUE", "read", "next", "back",
    // "quit".  False once the check is over.
    bool command(const std::string &line);
    // Reads the point again; true when what it shows changed.
    bool refresh();
    // The output under way back to its safe value.
    void finish();

    bool over() const { return over_; }
    size_t index() const { return at_; }
    size_t positionOf() const; // among the points checked, from 1
    size_t pointsChecked() const { return order_.size(); }
    const vsim::Point &point() const { return design_.points[at_]; }
    const PointResult &result() const { return results_.points[at_]; }
    const std::string &shown() const { return shown_; }
    const std::string &forced() const { return forced_; }
    const LoopResults &results() const { return results_; }

private:
    void enter(size_t i);
    void leave();
    void mark(const std::string &result, const std::string &note);
    void move(int step);
    void force(const std::string &value);

    const vsim::Plant &design_;
    PointIo &io_;
    LoopResults &results_;
    Setup setup_;
    std::vector<size_t> order_; // the points checked, in the design's order
    size_t at_ = 0;
    bool over_ = false;
    std::string shown_;  // the point's value or read-back as last read
    std::string forced_; // the value the output is forced to ("": at rest)
};

} // namespace vhost

#endif
