// The simulator's side of the line: the pseudo-terminal it answers on (or a
// given tty), raw at the line's speed, the signals that stop it, and the
// way it ends when the system refuses it something.
#pragma once

#include <string>

namespace vsim::device {

// veldran-sim's exit statuses.
enum Exit {
    EXIT_OK = 0,         // stopped (signal, `quit`), or --help / --version
    EXIT_LINE_GONE = 1,  // the --tty device went away
    EXIT_ERROR = 2,      // a bad command line or plant file, a line that cannot be opened, a failed system call
    EXIT_SIGNALLED = 128 // plus the signal that ended the child carrying on in a new session
};

// Says what failed on stderr and ends the program with EXIT_ERROR.
[[noreturn]] void die(const std::string &what);

// The speed the device's settings name, in bit/s; 0 when they name none we
// know (B0, an unusual rate) or cannot be read.  On a pseudo-terminal the
// settings are the ones the other side made: both ends share them.
long deviceBaud(int fd);
void setNonBlocking(int fd);

// The line the simulator answers on.
struct Line {
    int fd = -1;        // read and written: the pty's master, or the tty
    int slaveFd = -1;   // the pty's slave, held open; none on a tty
    std::string device; // what the host opens
    // Where the host's settings of the line show.
    int settingsFd() const { return slaveFd >= 0 ? slaveFd : fd; }
};

// A pseudo-terminal of its own, the slave its controlling terminal, raw at
// `baud`.
Line openPseudoTerminal(long baud);
// A pseudo-terminal for a listener (the tap), raw at `baud`; its slave held
// open, so that the listener's closes are no hangup.
Line openListenerTerminal(long baud);
// A given device; a tty is set raw at `baud`.
Line openTty(const std::string &device, long baud);
// SIGTERM, SIGINT and SIGHUP, blocked and read from the descriptor returned.
int stopSignals();
// (Re)creates `link` -> `target`, replacing only a symlink or nothing.
void makeLink(const std::string &link, const std::string &target);
// Writes all of `s`, waiting while the descriptor is full; gives up when
// the reader has gone.
void writeAll(int fd, const std::string &s);

} // namespace vsim::device
