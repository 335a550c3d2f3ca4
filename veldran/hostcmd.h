// The sub-commands of the host command "~AA" (HostCmd), sent as one hex
// digit after the address; named here once, for the module and for the
// tools that show its lines.  HostCmd refuses any other number with 1020
// before anything is sent.
#ifndef VELDRAN_HOSTCMD_H
#define VELDRAN_HOSTCMD_H

enum HostSubcommand : int {
    HOST_READ_STATUS = 0,  // "~AA0" -> "!AA" and the status byte as two hex digits
    HOST_RESET_STATUS = 1, // "~AA1" -> "!AA"
    HOST_READ_VALUE = 2,   // "~AA2" -> "!AA" and at least two more characters, the last two a hex value
    HOST_SET_WATCHDOG = 3, // "~AA3", "1" (enabled) or "0", the value as two hex digits -> "!AA"
};

#endif
