// Runs veldran-sim as a child process for tests and tools: start it with
// pipes on its control channel, wait for its READY line, send control
// commands, stop it.
//
// Targets that link `sim_process` get VELDRAN_SIM_BINARY, the path of the
// built simulator, and VELDRAN_EXAMPLE_PLANT, the sample plant file, as
// compile definitions.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace vsim {

struct SimOptions {
    std::string binary;             // the simulator; empty: VELDRAN_SIM_BINARY where the caller has it
    std::string plant;              // --plant
    std::string link;               // --link, if not empty
    std::string log;                // --log, if not empty (otherwise the log goes to stderr)
    bool quiet = false;             // the child's stderr to /dev/null
    bool groupLeader = false;       // start it as a process group leader, as a job-control shell does
    std::vector<std::string> extra; // more arguments (--baud 9600, --seed 7, --tty ...)
    int readyTimeoutMs = 10000;
};

class SimProcess {
public:
    SimProcess() = default;
    ~SimProcess();
    SimProcess(const SimProcess &) = delete;
    SimProcess &operator=(const SimProcess &) = delete;

    // Starts the simulator and waits, at most readyTimeoutMs, for its
    // "READY <path>" line.  On failure the child is stopped and `error` says
    // why.
    bool start(const SimOptions &options, std::string *error = nullptr);

    // Sends one control command and returns its reply line (without the
    // newline), or nothing if none came within the time.
    std::optional<std::string> command(const std::string &line, int timeoutMs = 5000);

    // Closes the control channel's write end (the simulator goes on).
    void closeControl();

    // SIGTERM, then waits at most timeoutMs for the exit (SIGKILL after
    // that).  Returns the exit code, 128 + the signal for a child that a
    // signal ended, or -1 when there was no child.
    int stop(int timeoutMs = 5000);

    // Waits at most timeoutMs for the child to end by itself (after "quit").
    // Same results as stop(); -2 when it is still running.
    int wait(int timeoutMs = 5000);

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }
    const std::string &slavePath() const { return slave_; }

private:
    bool readLine(std::string &line, int timeoutMs);
    void closeFds();

    pid_t pid_ = -1;
    int toChild_ = -1;
    int fromChild_ = -1;
    std::string buf_;
    std::string slave_;
};

} // namespace vsim
