// The simulated plant: a line of addressed 7000-series modules, their
// inputs, outputs, counters, status byte and host watchdog.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vsim {

// Milliseconds since the simulator started.  Everything that depends on time
// takes it as an argument, so tests drive the clock themselves.
using Millis = double;

enum class Model { M7017, M7018, M7024, M7041, M7043, M7052, M7053, M7060, M7065 };

// What a model has, as far as the wire is concerned.
struct ModelInfo {
    Model model;
    int number;     // 7017 ...
    int ain;        // analog inputs
    int aout;       // analog outputs
    int din;        // digital inputs (each with a counter)
    int dout;       // digital outputs
    int doutDigits; // hex digits of a digital write; 0: no digital write
};

const ModelInfo &modelInfo(Model m);
std::optional<Model> modelFromNumber(long number);

// An input value: a constant, a ramp, or (analog inputs only) an input
// without a value, such as an open thermocouple.
struct Signal {
    enum class Kind { Constant, Ramp, Open };
    enum class Mode { Wrap, Bounce, Clamp };

    Kind kind = Kind::Constant;
    double value = 0; // the constant, or the ramp's value at `origin`
    double rate = 0;  // ramp: units per second
    bool bounded = false;
    double min = 0, max = 0; // ramp bounds, when `bounded`
    Mode mode = Mode::Wrap;
    Millis origin = 0;

    static Signal constant(double v)
    {
        Signal s;
        s.value = v;
        return s;
    }
    static Signal open()
    {
        Signal s;
        s.kind = Kind::Open;
        return s;
    }

    bool isOpen() const { return kind == Kind::Open; }
    double at(Millis now) const;
    // Moves the signal to `v` at `now`, keeping a ramp's rate and bounds.
    void rebase(double v, Millis now);
};

// Bit of the status byte that an expired host watchdog sets.
constexpr uint8_t STATUS_WATCHDOG = 0x04;
// Counters hold five hex digits.
constexpr uint32_t COUNTER_MODULO = 0x100000;

struct Module {
    int address = 0;
    Model model = Model::M7017;
    bool hex = false;         // data format of analog replies
    bool checksum = false;    // commands and replies carry checksums
    double fullScale = 10.0;  // hex form: the value that reads 7FFF
    int baud = 0;             // the speed it listens and answers at; 0: the line's, whatever it is
    double turnaroundMs = -1; // from a command's end to its reply; below 0: the line's

    std::vector<Signal> ain;  // one per analog input
    std::vector<double> aout; // one per analog output
    std::vector<double> safeAout;
    uint32_t din = 0;  // digital inputs, bit i = input i
    uint32_t dout = 0; // digital outputs, bit i = output i
    uint32_t safeDout = 0;
    std::vector<Signal> counters; // one per digital input

    uint8_t status = 0;
    bool wdEnabled = false;
    int wdValue = 0;        // tenths of a second; 0 never expires
    Millis wdKick = 0;      // when the watchdog was last restarted
    bool wdExpired = false; // outputs held at their safe values

    // Configuration.  The name ($AAM) is the model number unless set; the
    // type code is kept and reported as set.  A baud or checksum change
    // waits for the next power-up; the INIT wire, grounded at power-up,
    // makes the module answer at 00, 9600 baud, without checksums.
    std::string name;
    std::string firmware = "1.00";
    int typeCode = 0;
    bool initWire = false;
    bool initMode = false;
    int pendingBaud = -1;     // below 0: none
    int pendingChecksum = -1; // below 0: none, else 0 or 1

    const ModelInfo &info() const { return modelInfo(model); }
    uint32_t doutMask() const;
    uint32_t dinMask() const;

    // Counter value now, 0 .. COUNTER_MODULO - 1.
    uint32_t counter(int ch, Millis now) const;
    void setCounter(int ch, uint32_t v, Millis now);
    // Sets the digital inputs; a rising input counts one on its counter.
    void setDin(uint32_t bits, Millis now);

    void kickWatchdog(Millis now) { wdKick = now; }
    // Moment at which an enabled watchdog expires, if it is running.
    std::optional<Millis> watchdogDeadline() const;
    // Lets the watchdog expire if its time is up; true when it just did.
    bool tick(Millis now);
    // Expires the watchdog now: status bit, outputs to their safe values.
    void expire();
    // What ~AA1 does: status to 0, the watchdog restarted, writes accepted.
    void resetStatus(Millis now);

    // The address it answers at, its speed (0: the line's) and whether it
    // uses checksums now, INIT mode included.
    int answersAt() const { return initMode ? 0 : address; }
    int listensAt() const { return initMode ? INIT_BAUD : baud; }
    bool sums() const { return !initMode && checksum; }
    // A power cycle: pending changes take effect, INIT mode follows the
    // wire, an expired watchdog clears.
    void powerUp(Millis now);

    static constexpr int INIT_BAUD = 9600;
};

// The type code a module of the model reports until one is set.
int defaultTypeCode(Model m);

struct LineSettings {
    int baud = 19200;
    double turnaroundMs = 1.0;
    bool duplicateAddresses = false; // modules may share an address
    double adapterLatencyMs = 0;     // the USB serial adapter's latency timer; 0: no adapter
    double adapterJitterMs = 0;      // and its delivery jitter
};

// A point of a design's tag list: one analog channel or one digital bit of
// a module, with its tag and its engineering range.  An analog value v read
// or written on the wire stands for the engineering value
//   range[0] + (v - signal[0]) * (range[1] - range[0]) / (signal[1] - signal[0])
// (signal defaults to range: the module's own units).  The simulator ignores
// points; commissioning and the loop check read them.
struct Point {
    enum class Kind { AnalogIn, AnalogOut, DigitalIn, DigitalOut };
    std::string tag; // "TT-101", unique in the file
    std::string description;
    int address = 0; // the module's
    Kind kind = Kind::AnalogIn;
    int channel = 0;           // the analog channel, or the bit
    double range[2] = {0, 0};  // engineering units (analog)
    double signal[2] = {0, 0}; // the module's units for range[0], range[1]
    std::string unit;          // "bar"
    double safe = 0;           // an output's safe value: engineering units, or 0/1 for a bit

    bool analog() const { return kind == Kind::AnalogIn || kind == Kind::AnalogOut; }
    bool output() const { return kind == Kind::AnalogOut || kind == Kind::DigitalOut; }
    double toEngineering(double wire) const;
    double toWire(double engineering) const;
};

struct Plant {
    LineSettings line;
    std::vector<Module> modules;
    std::vector<Point> points; // a design's tag list (empty in a plain plant)

    Module *find(int address);
    const Module *find(int address) const;
    // Every module that answers at `address` now (more than one on a line
    // with a duplicate address).
    std::vector<Module *> answering(int address);
};

struct PlantError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Reads a plant file; throws PlantError naming the file, the line and the
// fault.
Plant loadPlant(const std::string &path);
Plant parsePlant(std::string_view text, const std::string &sourceName);

// A plant file of `p`'s line and modules as they are configured (address,
// model, speed, checksum, data format, name, firmware and type code), their
// inputs and outputs at rest; `notes` head it as comments.  It reads back as
// the same line, so the simulator can stand in for a line that was surveyed.
std::string plantText(const Plant &p, const std::vector<std::string> &notes);
// A plant file of a running line as it is at `now`: what plantText writes
// (a speed or checksum change waiting for the next power-up taken as made),
// the line's turnaround, and each module's turnaround, inputs (a ramp from
// its value now), outputs, counters, status byte, host watchdog and INIT
// wire.  A simulator started with it gives back the same line, as after a
// power-up.
std::string plantState(const Plant &p, Millis now, const std::vector<std::string> &notes);

} // namespace vsim
