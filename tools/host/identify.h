// What a module says of itself through the line client, as identify and
// configure read it: its configuration ($AA2), its name ($AAM) and firmware
// ($AAF), the speed and checksum setting it answers at, and how identify's
// table and configure's comparison show them.
#ifndef TOOLS_HOST_IDENTIFY_H
#define TOOLS_HOST_IDENTIFY_H

#include <optional>
#include <string>

#include "line_client.h"
#include "twin.h"

namespace vhost {

// A module in INIT mode answers at this address.
constexpr int INIT_ADDRESS = 0;
// The type code of the digital modules.
constexpr unsigned DIGITAL_TYPE = 0x40;

// A module's configuration as $AA2 tells it: "!AATTCCFF".
struct Configuration {
    int address = 0; // as the module tells it
    unsigned type = 0, baudCode = 0, format = 0;
};

// $AA2 to the module at `at`; nothing when no configuration came back
// (`heard` says whether anything did).
std::optional<Configuration> readConfiguration(LineClient &line, const Reach &at, int timeoutMs,
                                               Heard *heard = nullptr);
// "!AA" and a text ($AAM for `what` 'M', $AAF for 'F'); "" when nothing
// sensible came.
std::string readText(LineClient &line, const Reach &at, char what, int timeoutMs);
// Finds the speed and checksum setting a module at `address` answers at,
// within what the options leave open (the speeds in their probe order, then
// without checksums before with).  `error` is set when the port will not
// open; `garbled` tells whether something answered but never cleanly.
std::optional<Reach> findModule(LineClient &line, const LineOptions &opt, int address, std::string &error,
                                bool *garbled);

// What the module at `at` says of itself ($AA2, $AAM, $AAF); nothing when
// it stops answering.
std::optional<ModuleIdentity> identityAt(LineClient &line, const Reach &at, int timeoutMs);

// The data format: hex or decimal for the analog modules (their model
// name, or a type code other than the digital modules' 40), "-" otherwise.
std::string formatText(unsigned format, unsigned type, const std::string &name);
// The speed of a baud code in bit/s, or "code NN".
std::string speedText(unsigned code);

} // namespace vhost

#endif
