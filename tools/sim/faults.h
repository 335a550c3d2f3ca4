// Injected line faults: which replies they strike, and what they make of a
// reply on the wire.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "plant.h"

namespace vsim {

enum class FaultKind { Silence, Refuse, Noise, BadSum, LowerSum, Truncate, Extra, NoCr, Late, Split, Babble };

std::optional<FaultKind> faultFromName(std::string_view name);
const char *faultName(FaultKind k);

struct Fault {
    int address = -1; // -1: every module on the line
    FaultKind kind = FaultKind::Silence;
    double p = 1.0;      // probability per reply
    double delayMs = -1; // late: extra delay; split: gap between pieces; babble: how long (-1: default)
    int count = -1;      // replies it may still strike; -1: no limit
    int pieces = 2;      // split
    int keep = -1;       // truncate: characters kept (-1: half)
    std::string text;    // noise / extra / babble: the characters (empty: default)

    double delay() const;
};

// Parses "<addr|*> <kind> [p=..] [delay=..] [count=..] [pieces=..] [keep=..]
// [text=..]"; an error message in `error` otherwise.
std::optional<Fault> parseFault(const std::vector<std::string> &words, std::string *error);
std::string describe(const Fault &f);

// One piece of a reply on the wire, `gapMs` after the previous one ended.
struct Piece {
    double gapMs = 0;
    std::string bytes;
};

struct Shaped {
    double delayMs = 0; // extra delay before the first piece
    std::vector<Piece> pieces;
};

class FaultSet {
public:
    explicit FaultSet(uint64_t seed) : rng_(seed) {}

    void add(const Fault &f) { faults_.push_back(f); }
    void clear() { faults_.clear(); }
    const std::vector<Fault> &faults() const { return faults_; }

    // The faults that strike the reply of the module at `address`; each one
    // that strikes uses up one of its count.
    std::vector<Fault> roll(int address);

    // The reply `body` (without carriage return) as it goes on the wire after
    // the faults in `struck` (Silence and Refuse are the caller's).
    Shaped shape(const std::string &body, bool checksum, const std::vector<Fault> &struck);

private:
    std::vector<Fault> faults_;
    std::mt19937_64 rng_;
};

bool has(const std::vector<Fault> &struck, FaultKind k);

} // namespace vsim
