// monitor --write-plant: the bench from the exchanges heard (monitor_plant.h).
#include "monitor_plant.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "wire_format.h"

namespace vhost::monitor {

namespace {

constexpr int ALL_MODELS[] = {7017, 7018, 7024, 7041, 7043, 7052, 7053, 7060, 7065};

// A command or reply line from its start character on, without its checksum
// and carriage return; "" when it has no start character.
std::string bodyOf(const std::string &line, const char *starts, bool checksum)
{
    std::string b = line;
    if (!b.empty() && b.back() == '\r')
        b.pop_back();
    if (checksum && b.size() >= 2)
        b.resize(b.size() - 2);
    const size_t at = b.find_first_of(starts);
    return at == std::string::npos ? "" : b.substr(at);
}

long hexAt(const std::string &s, size_t at, size_t n)
{
    if (at + n > s.size())
        return -1;
    const auto v = wire::hexNumber(s.substr(at, n));
    return v ? static_cast<long>(*v) : -1;
}

// The faults that leave a reply's values unread.
bool answeredWell(const Exchange &x)
{
    for (Fault f :
         {Fault::NoReply, Fault::Refused, Fault::BadChecksum, Fault::WrongLength, Fault::Garbled, Fault::Unasked})
        if (x.has(f))
            return false;
    return !x.reply.empty() && !x.broadcast && x.address >= 0;
}

std::vector<int> without(std::vector<int> models, std::initializer_list<int> gone)
{
    models.erase(std::remove_if(models.begin(), models.end(),
                                [&](int m) { return std::find(gone.begin(), gone.end(), m) != gone.end(); }),
                 models.end());
    return models;
}

// The models the instructions named "I7041/I7052/I7053" are made for; all
// of them when one of the instructions is for any module.
std::vector<int> instructionModels(const std::string &names)
{
    std::vector<int> models;
    for (size_t at = 0; at < names.size();) {
        size_t end = names.find('/', at);
        if (end == std::string::npos)
            end = names.size();
        const catalogue::Instruction *i = catalogue::find(names.substr(at, end - at).c_str());
        at = end + 1;
        if (!i || i->does.modelCount == 0)
            return std::vector<int>(std::begin(ALL_MODELS), std::end(ALL_MODELS));
        models.insert(models.end(), i->does.models, i->does.models + i->does.modelCount);
    }
    std::sort(models.begin(), models.end());
    models.erase(std::unique(models.begin(), models.end()), models.end());
    return models;
}

std::string addressText(int address, bool broadcast)
{
    if (broadcast)
        return "**";
    return address < 0 ? "--" : wire::hex2(static_cast<uint32_t>(address)) + "h";
}

std::string msText(double ms)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", ms);
    return buf;
}

} // namespace

void Tenths::add(double ms)
{
    ++n_[std::lround(ms * 10)];
    ++count_;
}

double Tenths::median() const
{
    long seen = 0;
    for (const auto &[tenths, n] : n_)
        if ((seen += n) * 2 > count_)
            return tenths / 10.0;
    return 0;
}

void Bench::add(const Exchange &x)
{
    for (Fault f : x.faults)
        fault(x, f);
    if (!answeredWell(x))
        return;
    Heard &h = heard_[x.address];
    const std::string command = bodyOf(x.command, "#$%@~", settings_.checksum);
    const std::string reply = bodyOf(x.reply, ">!", settings_.checksum);
    if (command.size() < 3 || reply.empty())
        return;
    values(h, command, reply);
    models(h, x, command, reply);
    timing(h, x);
}

void Bench::narrowTo(Heard &h, const std::vector<int> &models)
{
    std::vector<int> both;
    std::set_intersection(h.models.begin(), h.models.end(), models.begin(), models.end(), std::back_inserter(both));
    // Nothing left of both: the module was changed for another.
    h.models = !h.told || both.empty() ? models : both;
    h.told = true;
}

// What the exchange tells of the model: the instructions that send such a
// command, a digital reply only some of them can give, an open input, a
// name read with $AAM.
void Bench::models(Heard &h, const Exchange &x, const std::string &command, const std::string &reply)
{
    if (command.size() == 4 && command[0] == '$' && command[3] == 'M' && reply.size() > 3) {
        const std::string name = reply.substr(3);
        h.m.name = name;
        if (name.size() >= 4 && name.find_first_not_of("0123456789") >= 4)
            if (vsim::modelFromNumber(std::atol(name.substr(0, 4).c_str())))
                narrowTo(h, {std::atoi(name.substr(0, 4).c_str())});
        return;
    }
    if (x.instruction.empty())
        return;
    std::vector<int> models = instructionModels(x.instruction);
    if (models.size() == std::size(ALL_MODELS))
        return;
    if (command.size() == 3 && command[0] == '@' && h.digital >= 0) {
        // A 7041 has fourteen inputs, a 7052 answers its eight in the first
        // two digits, a 7060 and a 7065 a 0 before their inputs.
        if (h.digital & 0xC000)
            models = without(models, {7041});
        if (h.digital & 0x00FF)
            models = without(models, {7052});
        if (h.digital & 0x00F0)
            models = without(models, {7060, 7065});
    }
    if (h.openSeen)
        models = without(models, {7017});
    narrowTo(h, models);
}

// The values of an exchange that went well: inputs read, outputs written,
// counters, status, host watchdog, settings read.
void Bench::values(Heard &h, const std::string &command, const std::string &reply)
{
    const size_t n = command.size();
    const char c = command[0];
    const int channel = n >= 4 ? static_cast<int>(hexAt(command, 3, 1)) : -1;
    if (c == '#' && n == 3)
        analog(h, reply.substr(1));
    else if (c == '#' && n == 4 && hexAt(reply, 3, 5) >= 0)
        h.counters[channel] = static_cast<uint32_t>(hexAt(reply, 3, 5));
    else if (c == '#' && n > 4 && channel >= 0)
        h.aout[channel] = std::strtod(command.c_str() + 4, nullptr);
    else if (c == '$' && n == 5 && command[3] == 'C' && channel >= 0)
        h.counters[static_cast<int>(hexAt(command, 4, 1))] = 0;
    else if (c == '$' && n == 4 && command[3] == 'F' && reply.size() > 3)
        h.m.firmware = reply.substr(3);
    else if (c == '$' && n == 4 && command[3] == '2' && hexAt(reply, 3, 6) >= 0) {
        h.typeCode = static_cast<int>(hexAt(reply, 3, 2));
        const long format = hexAt(reply, 7, 2);
        h.hexSeen = (format & 0x03) == 0x02;
        h.m.checksum = (format & 0x40) != 0;
    } else if (c == '@' && n == 3 && hexAt(reply, 1, 4) >= 0) {
        h.digital = hexAt(reply, 1, 4);
        h.readLast = true;
    } else if (c == '@' && n > 3 && hexAt(command, 3, n - 3) >= 0) {
        h.m.dout = static_cast<uint32_t>(hexAt(command, 3, n - 3));
        h.readLast = false;
    } else if (c == '~' && n == 4 && command[3] == '0' && hexAt(reply, 3, 2) >= 0)
        h.m.status = static_cast<uint8_t>(hexAt(reply, 3, 2));
    else if (c == '~' && n == 4 && command[3] == '1')
        h.m.status = 0;
    else if (c == '~' && n == 7 && command[3] == '3' && hexAt(command, 5, 2) >= 0) {
        h.m.wdEnabled = command[4] == '1';
        h.m.wdValue = static_cast<int>(hexAt(command, 5, 2));
    } else if (c == '~' && n == 4 && command[3] == '2' && hexAt(reply, 4, 2) >= 0) {
        h.m.wdEnabled = reply[3] == '1';
        h.m.wdValue = static_cast<int>(hexAt(reply, 4, 2));
    } else if (c == '~' && n > 5 && command[3] == 'O')
        h.m.name = command.substr(5, n - 6);
}

// The eight fields of an analog read: seven characters each in the decimal
// form (-9999.9 an input without a value), four hex digits in the hex form
// (-0000 one without), the hex ones read back at the full scale of 10.
void Bench::analog(Heard &h, const std::string &data)
{
    const bool decimal = data.find_first_of("+.") != std::string::npos;
    h.hexSeen = !decimal;
    size_t at = 0;
    for (int ch = 0; at < data.size(); ++ch) {
        const size_t width = decimal ? 7 : data[at] == '-' ? 5 : 4;
        const std::string field = data.substr(at, width);
        at += width;
        if (field == "-9999.9" || field == "-0000") {
            h.ain[ch] = vsim::Signal::open();
            h.openSeen = true;
        } else if (decimal) {
            h.ain[ch] = vsim::Signal::constant(std::strtod(field.c_str(), nullptr));
        } else if (const long raw = hexAt(field, 0, 4); raw >= 0) {
            h.ain[ch] = vsim::Signal::constant(static_cast<int16_t>(raw) * 10.0 / 32767);
        }
    }
}

// From the command's end to the reply's start, less the reply's first
// character (it had to cross the wire to be heard) and, where the times are
// the host's, the command's own characters (handed over before they
// crossed).
void Bench::timing(Heard &h, const Exchange &x)
{
    if (x.replyStartUs < 0 || x.commandEndUs < 0 || x.has(Fault::Late))
        return;
    const double charMs = 10000.0 / std::max(1, settings_.baud);
    const double wire = charMs * (1 + (hostSide_ ? static_cast<double>(x.command.size()) : 0));
    const double ms = std::max(0.0, (x.replyStartUs - x.commandEndUs) / 1000.0 - wire);
    h.turnaround.add(ms);
    turnaround_.add(ms);
}

// One fault as a comment: its time, the address, what it was, and the
// simulator's control command that makes it again.
void Bench::fault(const Exchange &x, Fault f)
{
    if (faults_.size() >= FAULT_NOTES) {
        ++moreFaults_;
        return;
    }
    const std::string a = x.address >= 0 && !x.broadcast ? std::to_string(x.address) : "*";
    const double afterMs = x.replyStartUs >= 0 && x.commandEndUs >= 0 ? (x.replyStartUs - x.commandEndUs) / 1000.0 : 0;
    std::string what = faultName(f), on;
    switch (f) {
    case Fault::NoReply:
        on = "fault " + a + " silence count=1";
        break;
    case Fault::Refused:
        on = "fault " + a + " refuse count=1";
        break;
    case Fault::BadChecksum:
        on = "fault " + a + " badsum count=1";
        break;
    case Fault::WrongLength:
        what += " (" + std::to_string(x.reply.size()) + " characters)";
        on = "fault " + a + " truncate count=1, or fault " + a + " extra count=1";
        break;
    case Fault::Garbled:
        on = "fault " + a + " babble count=1";
        break;
    case Fault::Late:
    case Fault::Unasked:
        what += " " + msText(afterMs) + " ms";
        on = "fault " + a + " late delay=" + std::to_string(static_cast<long>(afterMs)) + " count=1";
        break;
    default:
        on = "";
        break;
    }
    char t[32];
    std::snprintf(t, sizeof t, "%.3f s", x.startUs / 1e6);
    faults_.push_back(std::string(t) + ": " + addressText(x.address, x.broadcast) + ": " + what +
                      (on.empty() ? " (another master: no fault of the simulator's makes it)" : " (" + on + ")"));
}

// The module at `address` as heard; false (with `note` saying why) when its
// model cannot be told.
bool Bench::module(const Heard &h, int address, vsim::Module &m, std::string &note) const
{
    const std::string aa = addressText(address, false);
    if (!h.told || h.models.empty()) {
        note = "left out: " + aa + ": no exchange heard tells its model; add it as a [[module]] with its model";
        return false;
    }
    const int number = h.models.front();
    if (h.models.size() > 1) {
        std::string all;
        for (int n : h.models)
            all += (all.empty() ? "" : ", ") + std::to_string(n);
        note = aa + ": what it answered fits " + all + "; taken as a " + std::to_string(number);
    }
    m = h.m;
    m.address = address;
    m.model = *vsim::modelFromNumber(number);
    m.checksum = h.m.checksum || settings_.checksum;
    m.hex = h.hexSeen && m.info().ain > 0;
    if (m.name.empty())
        m.name = std::to_string(number);
    m.typeCode = h.typeCode >= 0 ? h.typeCode : vsim::defaultTypeCode(m.model);
    m.turnaroundMs = h.turnaround.empty() ? -1 : h.turnaround.median();
    const vsim::ModelInfo &info = m.info();
    for (int ch = 0; ch < info.ain; ++ch)
        m.ain.push_back(h.ain.count(ch) ? h.ain.at(ch) : vsim::Signal::constant(0));
    for (int ch = 0; ch < info.aout; ++ch)
        m.aout.push_back(h.aout.count(ch) ? h.aout.at(ch) : 0.0);
    m.safeAout.assign(static_cast<size_t>(info.aout), 0.0);
    for (int ch = 0; ch < info.din; ++ch)
        m.counters.push_back(vsim::Signal::constant(h.counters.count(ch) ? h.counters.at(ch) : 0));
    const uint32_t word = h.digital >= 0 ? static_cast<uint32_t>(h.digital) : 0;
    const bool readLast = h.digital >= 0 && h.readLast;
    if (number == 7052)
        m.din = word >> 8;
    else if (number == 7060 || number == 7065) {
        m.din = ~word & 0xF;
        m.dout = readLast ? (word >> 8) & m.doutMask() : m.dout;
    } else if (number == 7043)
        m.dout = readLast ? word : m.dout;
    else if (info.din > 0)
        m.din = word & m.dinMask();
    m.dout &= m.doutMask();
    return true;
}

std::string Bench::plantFile(int &modules, std::vector<std::string> &left) const
{
    vsim::Plant p;
    p.line.baud = settings_.baud;
    p.line.turnaroundMs = turnaround_.empty() ? 1.0 : turnaround_.median();
    for (const auto &[address, h] : heard_) {
        vsim::Module m;
        std::string note;
        if (module(h, address, m, note))
            p.modules.push_back(m);
        if (!note.empty())
            left.push_back(note);
    }
    modules = static_cast<int>(p.modules.size());
    std::vector<std::string> notes = {
        "The bench of a line as the monitor heard it, written by veldran-host monitor --write-plant:",
        "addresses and models from the exchanges heard, the speed and checksum setting it listened at,",
        "each module's last values and its own turnaround (the median from a command's end to its reply).",
        "--checksum " + std::string(settings_.checksum ? "on" : "off") + ", " + std::to_string(settings_.baud) +
            " baud; turnaround of the line " + msText(p.line.turnaroundMs) + " ms over " +
            std::to_string(turnaround_.count()) + " replies."};
    notes.insert(notes.end(), left.begin(), left.end());
    if (!faults_.empty()) {
        notes.push_back("Faults heard, each with the control command that makes it again (veldran-sim's stdin):");
        notes.insert(notes.end(), faults_.begin(), faults_.end());
        if (moreFaults_)
            notes.push_back("and " + std::to_string(moreFaults_) + " more faults");
    }
    return vsim::plantState(p, 0, notes);
}

} // namespace vhost::monitor
