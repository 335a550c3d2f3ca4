// The settings an option string gives the module, read by the module's own
// option parser, with the places where the string is read differently from
// what it looks like; and the one line that shows them with the device each
// port maps to (after Init in `run`, in `check` and `survey`).
#ifndef TOOLS_HOST_SETTINGS_H
#define TOOLS_HOST_SETTINGS_H

#include <string>
#include <vector>

#include "option_ranges.h"

namespace vhost {

struct Settings {
    int port = COMPORT_DEFAULT;
    long baud = BAUD_DEFAULT_BPS;          // bit/s
    unsigned timeout = TIMEOUT_DEFAULT_MS; // ms
    bool checksum = CHECKSUM_DEFAULT;
    bool debug = DEBUG_DEFAULT;
    unsigned latency = LATENCY_DEFAULT_MS; // ms: how late the serial adapter may hand over what it received
};

struct OptionReading {
    unsigned code = 0;                 // what the module's parser returns (0, 1001, 1002, 1003, 1009, 1021)
    Settings settings;                 // as the parser leaves them (the defaults without a string)
    std::string console;               // what the parser prints
    std::vector<std::string> warnings; // the string is read differently from what it looks like
};

// `options` null: no option string (the defaults).
OptionReading readOptions(const std::string *options);

// The device behind a COM port and where that mapping comes from.
struct PortDevice {
    std::string device; // "/dev/pts/3", "\\.\COM1"
    std::string source; // "environment VELDRAN_COM1", "default", ...
};
PortDevice portDevice(int port);

// "COM1 = /dev/pts/3 (environment VELDRAN_COM1), 19200 baud, time-out 40 ms,
// latency 20 ms, checksum off, debug off"
std::string settingsText(const Settings &s);

} // namespace vhost

#endif
