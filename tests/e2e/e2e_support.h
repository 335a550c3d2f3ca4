// End-to-end tests: the reference host with the real module and serial
// library, talking over a pseudo-terminal to the simulator.
//
// The host runs natively (VELDRAN_COM1 = the simulator's slave) or, with
// VELDRAN_E2E_WINE=1, as veldran-host.exe under wine with the simulator's
// link at $VELDRAN_WINE_DIR/ports/com1, which is where wine's COM1 points.
#ifndef TESTS_E2E_SUPPORT_H
#define TESTS_E2E_SUPPORT_H

#include <map>
#include <string>
#include <vector>

namespace e2e {

struct RungOut {
    std::string id; // "I7017@01h"
    bool on = false;
    double ms = 0;
    std::map<std::string, std::string> values; // "ErrCode" -> "0"
};

struct ScanOut {
    long number = 0;
    double ms = 0;
    std::vector<RungOut> rungs;
};

struct HostResult {
    int status = -1;    // exit status; -1 if it had to be killed
    std::string output; // stdout and stderr
    std::vector<ScanOut> scans;
};

// Reads the host's per-scan lines.
std::vector<ScanOut> parseScans(const std::string &output);

struct Config {
    bool wine = false;
    std::string host;    // veldran-host or veldran-host.exe
    std::string sim;     // veldran-sim
    std::string plant;   // the sample plant
    std::string wineDir; // VELDRAN_WINE_DIR
    // With VELDRAN_E2E_DLL, the native host runs that DLL in the i386
    // emulator (--dll) instead of its native module.
    std::string dll;
};
const Config &config();

// Runs a program with extra environment entries, collecting its output;
// kills it after timeoutMs.  The host is given --dll when config().dll is set.
HostResult runProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutMs);

// A program left running beside the test (a listener), its output going to
// `outPath`; finished by a signal.
struct Background {
    int pid = -1;
    std::string outPath;
};
Background startProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                        const std::string &outPath);
// Sends `sig`, waits at most timeoutMs (SIGKILL after that), and gives its
// exit status and output.
HostResult finishProgram(Background &b, int sig, int timeoutMs);

// What a terminal shows of `raw`, roughly: the text without its escape
// sequences, a cursor moved right ("ESC[nC", as wine's console writes a
// blank) as blanks, line ends as '\n'.
std::string screenText(const std::string &raw);

// A new size of the terminal, once the screen text shows `at` (the
// program gets SIGWINCH).
struct PtyResize {
    std::string at;
    unsigned short columns = 0, rows = 0;
};

// The same on a pseudo-terminal of 80 columns by 40 rows, as a user's
// terminal: sends Ctrl-C once when the screen text of what it printed so
// far contains `interruptAt`, and resizes the terminal as `resize` says.
HostResult runInPty(const std::vector<std::string> &argv, const std::vector<std::string> &env, int timeoutMs,
                    const std::string &interruptAt, const PtyResize &resize = {});

} // namespace e2e

#endif
