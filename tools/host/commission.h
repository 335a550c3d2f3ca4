// Commissioning a line from its design: the modules the design asks for,
// the line as identify read it back, the differences between the two, and
// the as-built record (JSON) that says what was found.  The steps that
// change the line are cmd_commission.cpp's.
#ifndef TOOLS_HOST_COMMISSION_H
#define TOOLS_HOST_COMMISSION_H

#include <optional>
#include <string>
#include <vector>

#include "plant.h"
#include "twin.h"

namespace vhost {

// A module of the design, as it is to answer.
struct DesignedModule {
    int address = 0;
    vsim::Model model = vsim::Model::M7017;
    std::string name; // the name it is to report: module_name, else the model number
    int baud = 0;     // bit/s: the module's own, else the line's
    bool checksum = false;
    std::string format; // "decimal" or "hex" for the analog inputs, "" for the others

    std::string modelText() const { return std::to_string(vsim::modelInfo(model).number); }
    // "7053 'PUMPS'"
    std::string label() const { return modelText() + " '" + name + "'"; }
    // "19200 baud, checksum off"
    std::string settings() const;
};

// A module of the line as read back ($AA2, $AAM, $AAF).
struct LineModule {
    int address = 0;
    std::string model; // "7053"; "" when it cannot be told
    std::string name, firmware, type;
    int baud = 0; // the speed it is configured for, bit/s; 0: a code no speed has
    bool checksum = false;
    std::string format;   // "decimal", "hex", "" (digital)
    bool garbled = false; // something answered there, never cleanly: more than one module
};

struct Difference {
    int address = 0;
    std::string item; // "missing", "unexpected", "model", "name", "baud", "checksum", "format"
    std::string design, line;
};

// The design's modules in the order they are brought up: the file's, but
// a module designed at the factory's address 01h last, since the modules
// still waiting answer there.  "" in `error`, or why the design cannot be
// commissioned (an address used twice, a module at 00h, where modules in
// INIT mode answer).
std::vector<DesignedModule> designedModules(const vsim::Plant &design, std::string &error);
const DesignedModule *designedAt(const std::vector<DesignedModule> &design, int address);

// A module identify read back.  A renamed digital module does not tell its
// model (twin.h's modelOf): when it has the name the design gives the
// module at its address, it is taken for the design's model.
LineModule lineModule(const ModuleIdentity &id, const DesignedModule *designed);
// An address where only garbled replies came.
LineModule garbledModule(int address);

// What differs between the design and the line, by address: designed
// modules missing or not as designed, modules the design does not have.
std::vector<Difference> differences(const std::vector<DesignedModule> &design, const std::vector<LineModule> &line);
// Those of one designed module.
std::vector<Difference> differencesOf(const DesignedModule &d, const LineModule *found);
// "05h baud: designed 19200, the line has 9600"
std::string differenceText(const Difference &d);

// The as-built record: what was found on the line, the design it was
// checked against and every difference.
struct AsBuilt {
    std::string date; // ISO 8601 UTC
    std::string port; // "COM1"
    std::string designFile, designSha256;
    std::vector<LineModule> line; // sorted by address
    std::vector<Difference> differences;
};
std::string asBuiltJson(const AsBuilt &r);
// The record's file when none is given: the design's with .toml replaced
// by .as-built.json.
std::string defaultRecordPath(const std::string &design);

} // namespace vhost

#endif
