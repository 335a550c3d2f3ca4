// The bench twin of a surveyed line: a plant file that runs the simulator
// as the line the survey and identify found (addresses, models, speeds,
// checksum settings, data formats, names), so that a ladder program can be
// tried and checked against the line without it.
#ifndef TOOLS_HOST_TWIN_H
#define TOOLS_HOST_TWIN_H

#include <optional>
#include <string>
#include <vector>

#include "plant.h"

namespace vhost {

// What a module says of itself ($AA2, $AAM, $AAF), and where it answered.
struct ModuleIdentity {
    int address = 0;       // where it answered
    int told = 0;          // the address it says it has (another in INIT mode)
    int baud = 0;          // the speed it answered at, bit/s; 0: every speed tried (it follows the line)
    bool checksum = false; // it answered with checksums
    std::string name, firmware;
    unsigned type = 0, baudCode = 0, format = 0;
};

// The model a module is: its name when that is a model number (the
// factory's name), else what its type code tells of an analog module.  A
// digital module renamed at commissioning cannot be told.
std::optional<vsim::Model> modelOf(const std::string &name, unsigned type);

// The plant file of the modules found; those whose model cannot be told
// are left out, each with a note at the head of the file (and in
// `left`, for the console).
std::string twinPlant(const std::vector<ModuleIdentity> &modules, std::vector<std::string> &left);

} // namespace vhost

#endif
