// The reference host's ladder program: a data table of word and float files
// and a list of rungs, each one module instruction with its operands bound
// to constants or data-table elements, and a rung condition.  Read from a
// TOML file; see README.md for the format.
#ifndef TOOLS_HOST_LADDER_H
#define TOOLS_HOST_LADDER_H

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "operands.h"
#include "veldran.h"

namespace vhost {

struct SourcePos {
    int line = 0;
    int column = 0;
};

// A ladder file that cannot be read or makes no sense for the module.
// what() is "FILE:LINE:COLUMN: message" (line and column when known).
class LadderError : public std::runtime_error {
public:
    LadderError(const std::string &source, SourcePos pos, const std::string &message);
    SourcePos pos;
    std::string message;
};

enum class FileType { Word, Float };

struct DataFile {
    std::string name;
    FileType type = FileType::Word;
    std::vector<SSHORT> words;
    std::vector<float> floats;
    size_t size() const { return type == FileType::Word ? words.size() : floats.size(); }
};

// An element of the data table: file index, element, and a bit (conditions
// only; -1 for the whole element).
struct Ref {
    int file = -1;
    int index = 0;
    int bit = -1;
};

struct Operand {
    enum class Kind { Constant, Ref, Ramp } kind = Kind::Constant;
    double value = 0;      // Constant
    bool isFloat = false;  // Constant written as a float
    Ref ref;               // Ref
    double lo = 0, hi = 0; // Ramp: lo to hi in `scans` steps, then again
    long scans = 1;
    SourcePos pos;
};

struct Condition {
    enum class Kind { Always, Constant, Ref, Toggle, First } kind = Kind::Always;
    bool value = true; // Constant
    Ref ref;           // Ref: true while the element (or bit) is non-zero
    long every = 1;    // Toggle: true for `every` scans, then false as long;
                       // First: true in the first `every` scans only
    SourcePos pos;
};

struct Rung {
    std::string comment;
    int instr = -1; // index into the module's instruction table
    std::vector<Operand> operands;
    Condition when;
    SourcePos pos;
};

// The file that the host keeps itself: S:0 the scan number, S:1 the last
// scan's time in whole milliseconds.
constexpr const char *SYSTEM_FILE = "S";
constexpr int SYSTEM_WORDS = 2;

struct Program {
    std::string source;
    std::vector<DataFile> files; // files[0] is the system file
    std::vector<Rung> rungs;

    SSHORT &word(const Ref &r) { return files[static_cast<size_t>(r.file)].words[static_cast<size_t>(r.index)]; }
    float &real(const Ref &r) { return files[static_cast<size_t>(r.file)].floats[static_cast<size_t>(r.index)]; }
    bool isFloat(const Ref &r) const { return files[static_cast<size_t>(r.file)].type == FileType::Float; }
    DataFile &file(const std::string &name)
    {
        for (DataFile &f : files)
            if (f.name == name)
                return f;
        throw std::out_of_range("no data file " + name);
    }
    // "N7:3", "F8:0", "B3:0/2".
    std::string refName(const Ref &r) const;
};

// Number of entries of an instruction table before its all-zero terminator
// (bounded, for a table that lacks one).
int tableEntries(const FUNCDEF *table, int maxEntries = 256);
// An instruction's name and a parameter's label as strings.
std::string instrName(const FUNCDEF &f);
std::string paramLabel(const PARMDEF &p);
// Whether a descriptor is the module's `operand` (operands.h: operands::addr
// ...), by its label.
bool isOperand(const PARMDEF &p, const PARMDEF &operand);
// The position of the module's `operand` in an entry, or -1.
int paramIndex(const FUNCDEF &f, const PARMDEF &operand);
// A module address as the wire has it: two hex digits and an h ("0Bh");
// a value no module can have (outside 0 to 255) in decimal.
std::string addressText(int addr);
// Operand kinds this host can bind.
bool isInputKind(WORD kind);
bool isOutputKind(WORD kind);

Program parseLadderText(const std::string &text, const std::string &source, const FUNCDEF *table);
Program parseLadderFile(const std::string &path, const FUNCDEF *table);

} // namespace vhost

#endif
