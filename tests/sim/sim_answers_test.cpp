// The simulated modules' answers, the plant file and the checksum rules,
// without any I/O.
#include <gtest/gtest.h>

#include <tuple>

#include "answers.h"
#include "plant.h"

using namespace vsim;

namespace {

const char *const PLANT = R"(
[line]
baud = 9600
turnaround_ms = 2.5

[[module]]
address = 1
model = 7017
ain = [1.0, 2.5, -3.25, 0.0, 5.123, -10.5, 123.456, 1370.0]

[[module]]
address = 2
model = "7018"
format = "hex"
full_scale = 100.0
ain = [25.0, 50.0, "open", 0.0, -25.0, 100.0, 200.0, -200.0]

[[module]]
address = 3
model = 7024
safe_aout = [1.0, 2.0, 3.0, 4.0]

[[module]]
address = 4
model = 7041
din = 0x2A55
counters = [0, 291, 70000]

[[module]]
address = 5
model = 7043
safe_dout = 0x00F0

[[module]]
address = 6
model = 7052
din = 0xA5

[[module]]
address = 7
model = 7053
din = 0xFFFF

[[module]]
address = 8
model = 7060
din = 0x1
dout = 0x3

[[module]]
address = 9
model = 7065
din = 0x3
dout = 0x1F

[[module]]
address = 0x1A
model = 7043
checksum = true

[[module]]
address = 255
model = 7060
)";

struct Exchange {
    const char *command;
    const char *reply; // "" for silence
};

class Protocol : public ::testing::Test {
protected:
    Plant plant = parsePlant(PLANT, "test.toml");
    std::string ask(const std::string &line, Millis now = 0) { return answer(plant, line, now); }
};

TEST_F(Protocol, AnswersEveryCommandWithTheLayoutOfItsModel)
{
    const Exchange table[] = {
        // Analog reads, both forms; a decimal field is seven characters at any magnitude.
        {"#01", ">+01.000+02.500-03.250+00.000+05.123-10.500+123.46+1370.0"},
        {"#02", ">20004000-00000000E0007FFF7FFF8000"}, // open input; full scale clamps
        {"#012", ">-03.250"},                          // one channel
        {"#018", "?01"},
        // Counters: five hex digits; clear; no counters on output modules.
        {"#040", "!0400000"},
        {"#041", "!0400123"},
        {"#042", "!0411170"},
        {"#04E", "?04"}, // 14 inputs: 0 to D
        {"$04C1", "!04"},
        {"$04CE", "?04"},
        {"#050", "?05"},
        {"$05C0", "?05"},
        // Digital reads.
        {"@04", ">2A55"},
        {"@05", ">0000"},
        {"@06", ">A500"},
        {"@07", ">FFFF"},
        {"@08", ">030E"}, // outputs first, inputs active-low in the last digit
        {"@09", ">1F0C"},
        {"@01", "?01"},
        {"@03", "?03"},
        // Digital writes: exactly the model's digit count.
        {"@051234", ">"},
        {"@05123", "?05"},
        {"@0512345", "?05"},
        {"@08F", ">"},
        {"@080F", "?08"},
        {"@091F", ">"},
        {"@0920", "?09"}, // five relays
        {"@091", "?09"},
        {"@0412", "?04"}, // input-only module
        {"@05ZZZZ", "?05"},
        // Analog output writes.
        {"#031+05.000", ">"},
        {"#033-11.000", ">"},
        {"#034+05.000", "?03"},
        {"#031+05.00", "?03"},
        {"#031+0x.000", "?03"},
        {"#03", "?03"},
        // Status and watchdog.
        {"~010", "!0100"},
        {"~011", "!01"},
        {"~012", "!01000"},
        {"~013164", "!01"},
        {"~012", "!01164"},
        {"~013000", "!01"},
        {"~012", "!01000"},
        {"~013264", "?01"},
        {"~0131G4", "?01"},
        {"~014", "?01"},
        // Addresses as upper-case hex; unknown ones and garbage are silent.
        {"@FF", ">000F"},
        {"@ff", ">000F"},
        {"#0B", ""},
        {"#1", ""},
        {"", ""},
        {"x01", ""},
        {"%0100", "?01"},
        {"~**", ""},
        // Configuration: type, baud code and format as set; name and firmware.
        {"$012", "!01080600"},
        {"$022", "!020F0602"},
        {"$052", "!05400600"},
        {"$1A2C8", "!1A400640C1"}, // with its checksums; the checksum bit set
        {"$01M", "!017017"},
        {"$01F", "!011.00"},
        {"~01O(BOILER)", "!01"},
        {"$01m", "!01BOILER"},
        {"~01O(TOOLONG)", "?01"},
        {"~01O()", "?01"},
        {"~01O(A)B)", "?01"},
        // Refused outside INIT mode: another baud code or checksum bit;
        // refused always: an unknown baud code, percent or ohms formats on an
        // analog input, a format on a digital module, a short command.
        {"%0101080700", "?01"},
        {"%0101080640", "?01"},
        {"%0101080B00", "?01"},
        {"%0101080601", "?01"},
        {"%0101080603", "?01"},
        {"%0505400602", "?05"},
        {"%0101080680", "?01"},
        {"%01010806", "?01"},
        {"%010108060000", "?01"},
        // Type and format at once; a new address at once.
        {"%0202330600", "!02"},
        {"$022", "!02330600"},
        {"#020", ">+25.000"},
        {"%0920400600", "!20"},
        {"@09", ""},
        {"@20", ">1F0C"},
        {"$202", "!20400600"},
    };
    for (const auto &e : table)
        EXPECT_EQ(ask(e.command), e.reply) << "command " << e.command;
}

TEST_F(Protocol, WritesReachTheOutputs)
{
    EXPECT_EQ(ask("@05A5C3"), ">");
    EXPECT_EQ(plant.find(5)->dout, 0xA5C3u);
    EXPECT_EQ(ask("@05"), ">A5C3");
    EXPECT_EQ(ask("@082"), ">");
    EXPECT_EQ(ask("@08"), ">020E");
    EXPECT_EQ(ask("#032-00.500"), ">");
    EXPECT_DOUBLE_EQ(plant.find(3)->aout[2], -0.5);
}

TEST_F(Protocol, ChecksumModuleWantsAnExactChecksumAndSignsItsReplies)
{
    // @1A: '@' 0x40 + '1' 0x31 + 'A' 0x41 = 0xB2.
    ASSERT_EQ(checksum("@1A"), "B2");
    EXPECT_EQ(ask("@1AB2"), ">0000" + checksum(">0000"));
    EXPECT_EQ(ask("@1A"), "");   // missing
    EXPECT_EQ(ask("@1AB3"), ""); // wrong
    EXPECT_EQ(ask("@1Ab2"), ""); // lower case
    const std::string write = "@1A00FF";
    EXPECT_EQ(ask(write + checksum(write)), ">3E");
    EXPECT_EQ(ask("~1A0" + checksum("~1A0")), "!1A00" + checksum("!1A00"));
    const std::string bad = "@1A00F"; // wrong digit count: refused, with a checksum
    EXPECT_EQ(ask(bad + checksum(bad)), "?1A" + checksum("?1A"));
}

TEST(Checksum, MatchesTheProtocolExamples)
{
    EXPECT_EQ(checksum("#01"), "84");
    EXPECT_EQ(checksum("$01C0"), "F8");
    EXPECT_EQ(checksum(">0F0F"), "2A");
    EXPECT_EQ(checksum("~**"), "D2");
    EXPECT_EQ(checksum("!0104"), "E6");
    EXPECT_EQ(checksum(">"), "3E");
}

TEST(Fields, DecimalFieldsAreSevenCharacters)
{
    const struct {
        double v;
        const char *text;
    } table[] = {{0.0, "+00.000"},     {5.123, "+05.123"},   {-10.5, "-10.500"},   {-0.0004, "-00.000"},
                 {99.9994, "+99.999"}, {99.9996, "+100.00"}, {-999.99, "-999.99"}, {999.996, "+1000.0"},
                 {9999.9, "+9999.9"},  {12345.0, "+9999.9"}, {-1e9, "-9999.9"}};
    for (const auto &t : table)
        EXPECT_EQ(decimalField(t.v), t.text) << t.v;
}

TEST(Fields, HexFieldsAreTwosComplementOfFullScale)
{
    const struct {
        double v, fs;
        const char *text;
    } table[] = {{0, 10, "0000"}, {10, 10, "7FFF"}, {-10, 10, "8001"},   {-20, 10, "8000"},    {20, 10, "7FFF"},
                 {5, 10, "4000"}, {-5, 10, "C000"}, {100, 1000, "0CCD"}, {-0.0001, 10, "0000"}};
    for (const auto &t : table)
        EXPECT_EQ(hexField(t.v, t.fs), t.text) << t.v << "/" << t.fs;
}

TEST_F(Protocol, HostWatchdogExpiresToSafeOutputsUntilStatusReset)
{
    // 7043 at 5 and 7024 at 3: watchdog 1.0 s (ten tenths).
    ASSERT_EQ(ask("@05FFFF", 0), ">");
    ASSERT_EQ(ask("~0531"
                  "0A",
                  0),
              "!05");
    ASSERT_EQ(ask("~0331"
                  "0A",
                  0),
              "!03");
    ASSERT_EQ(ask("#030+07.000", 0), ">");

    EXPECT_EQ(ask("~050", 999), "!0500");
    EXPECT_EQ(ask("~**", 999), ""); // host OK: both restart at 999
    EXPECT_EQ(ask("~050", 1998), "!0500");
    EXPECT_EQ(plant.find(5)->dout, 0xFFFFu);

    EXPECT_EQ(ask("~050", 1999), "!0504");
    EXPECT_EQ(plant.find(5)->dout, 0x00F0u);
    EXPECT_EQ(ask("@05", 2000), ">00F0");
    EXPECT_EQ(ask("@051111", 2000), "!05"); // writes refused while expired
    EXPECT_EQ(plant.find(5)->dout, 0x00F0u);
    EXPECT_EQ(ask("~**", 2000), ""); // host OK does not clear it
    EXPECT_EQ(ask("~050", 5000), "!0504");

    // The 7024 expired at the same moment, when it was next looked at.
    EXPECT_EQ(ask("#030+01.000", 2500), "!03");
    EXPECT_DOUBLE_EQ(plant.find(3)->aout[0], 1.0);
    EXPECT_DOUBLE_EQ(plant.find(3)->aout[3], 4.0);

    EXPECT_EQ(ask("~051", 6000), "!05");
    EXPECT_EQ(ask("~050", 6000), "!0500");
    EXPECT_EQ(ask("@05", 6000), ">00F0"); // outputs stay safe until written
    EXPECT_EQ(ask("@051111", 6000), ">");
    EXPECT_EQ(ask("~052", 6000), "!05"
                                 "10A"); // still enabled, restarted at reset
    EXPECT_EQ(ask("~050", 6999), "!0500");
    EXPECT_EQ(ask("~050", 7000), "!0504");
}

TEST_F(Protocol, DisabledOrZeroWatchdogNeverExpires)
{
    ASSERT_EQ(ask("~05300A", 0), "!05");
    ASSERT_EQ(ask("~093100", 0), "!09");
    EXPECT_EQ(ask("~050", 1e7), "!0500");
    EXPECT_EQ(ask("~090", 1e7), "!0900");
}

TEST_F(Protocol, HostOkWithChecksumReachesChecksumModules)
{
    Module &m = *plant.find(0x1A);
    m.wdEnabled = true;
    m.wdValue = 10;
    EXPECT_EQ(hostOk(plant, "", 900), 10);  // every module without checksums
    EXPECT_FALSE(m.tick(999));              // not restarted: runs from 0
    EXPECT_EQ(hostOk(plant, "D3", 950), 0); // wrong checksum: nobody
    EXPECT_EQ(hostOk(plant, "D2", 950), 11);
    EXPECT_FALSE(m.tick(1949));
    EXPECT_TRUE(m.tick(1950));
    EXPECT_EQ(m.status, STATUS_WATCHDOG);
}

TEST_F(Protocol, CountersCountRisingInputsAndWrapAtFiveDigits)
{
    Module &m = *plant.find(4); // din 0x2A55: inputs 0 and 1 at 1 and 0
    m.setDin(0x2A56, 0);        // input 0 falls, input 1 rises
    EXPECT_EQ(m.counter(0, 0), 0u);
    EXPECT_EQ(m.counter(1, 0), 292u);
    m.setCounter(2, COUNTER_MODULO - 1, 0);
    m.setDin(0x2A52, 0);
    m.setDin(0x2A56, 0); // input 2 rises
    EXPECT_EQ(ask("#042"), "!0400000");
    EXPECT_EQ(ask("#041"), "!0400124");
}

TEST(Signals, RampsWrapBounceAndClamp)
{
    Signal s;
    s.kind = Signal::Kind::Ramp;
    s.value = 0;
    s.rate = 2; // per second
    EXPECT_DOUBLE_EQ(s.at(1500), 3.0);
    s.bounded = true;
    s.min = -1;
    s.max = 1;
    EXPECT_DOUBLE_EQ(s.at(1500), -1.0); // 3 wraps to -1
    s.mode = Signal::Mode::Bounce;
    EXPECT_DOUBLE_EQ(s.at(1000), 0.0); // up to 1 then back down to 0
    EXPECT_DOUBLE_EQ(s.at(750), 0.5);
    s.mode = Signal::Mode::Clamp;
    EXPECT_DOUBLE_EQ(s.at(10000), 1.0);
    s.rebase(0.5, 10000);
    EXPECT_DOUBLE_EQ(s.at(10000), 0.5);
    EXPECT_DOUBLE_EQ(s.at(10100), 0.7);
}

TEST(PlantFile, ReadsLineSettingsAndModules)
{
    Plant p = parsePlant(PLANT, "t");
    EXPECT_EQ(p.line.baud, 9600);
    EXPECT_DOUBLE_EQ(p.line.turnaroundMs, 2.5);
    ASSERT_EQ(p.modules.size(), 11u);
    EXPECT_TRUE(p.find(2)->hex);
    EXPECT_TRUE(p.find(2)->ain[2].isOpen());
    EXPECT_TRUE(p.find(26)->checksum);
    EXPECT_EQ(p.find(9)->model, Model::M7065);

    // Written out and read back: the same line and the same configuration.
    p.find(1)->name = "PUMP\"1";
    p.find(1)->typeCode = 0x0A;
    p.find(4)->firmware = "B2.3";
    p.find(5)->baud = 38400;
    p.line.adapterLatencyMs = 16;
    p.line.adapterJitterMs = 0.1 + 0.2; // needs all 17 digits
    Plant back = parsePlant(plantText(p, {"a note"}), "written");
    EXPECT_EQ(back.line.baud, p.line.baud);
    EXPECT_EQ(back.line.adapterLatencyMs, p.line.adapterLatencyMs);
    EXPECT_EQ(back.line.adapterJitterMs, p.line.adapterJitterMs);
    ASSERT_EQ(back.modules.size(), p.modules.size());
    for (size_t i = 0; i < p.modules.size(); ++i) {
        const Module &a = p.modules[i], &b = back.modules[i];
        EXPECT_EQ(std::tie(a.address, a.model, a.baud, a.checksum, a.hex, a.name, a.firmware, a.typeCode),
                  std::tie(b.address, b.model, b.baud, b.checksum, b.hex, b.name, b.firmware, b.typeCode))
            << "module " << a.address;
    }

    // A running line saved and read back, as a power-up gives it: the
    // speed and checksum waiting for it taken as made, the values as they
    // are now (a ramp from where it is, going the same way), an expired
    // watchdog's status bit gone.
    const Millis now = 1500;
    Module &ai = *p.find(1), &dio = *p.find(8), &cs = *p.find(0x1A);
    ai.pendingBaud = 38400;
    ai.turnaroundMs = 3.5;
    ai.ain[7] = Signal::open();
    ai.ain[1].kind = Signal::Kind::Ramp;
    ai.ain[1].rate = 2;
    ai.ain[1].bounded = true;
    ai.ain[1].min = 0;
    ai.ain[1].max = 3;
    ai.ain[1].mode = Signal::Mode::Bounce; // 2.5 + 3: up to 3, back down to 0.5 by now
    cs.pendingChecksum = 0;
    cs.initWire = true;
    dio.dout = 0x5;
    dio.setCounter(3, 77, now);
    dio.wdEnabled = true;
    dio.wdValue = 30;
    dio.status = 0x81;
    dio.expire();
    Plant saved = parsePlant(plantState(p, now, {}), "saved");
    EXPECT_DOUBLE_EQ(saved.line.turnaroundMs, p.line.turnaroundMs);
    ASSERT_EQ(saved.modules.size(), p.modules.size());
    const Module &ai2 = *saved.find(1), &dio2 = *saved.find(8), &cs2 = *saved.find(0x1A);
    EXPECT_EQ(ai2.baud, 38400);
    EXPECT_DOUBLE_EQ(ai2.turnaroundMs, 3.5);
    EXPECT_TRUE(ai2.ain[7].isOpen());
    EXPECT_DOUBLE_EQ(ai2.ain[1].at(0), 0.5);
    EXPECT_DOUBLE_EQ(ai2.ain[1].at(250), 0.0); // still on its way down
    EXPECT_DOUBLE_EQ(ai2.ain[4].at(0), 5.123);
    EXPECT_DOUBLE_EQ(saved.find(2)->fullScale, 100.0);
    EXPECT_TRUE(saved.find(2)->ain[2].isOpen());
    EXPECT_FALSE(cs2.checksum);
    EXPECT_TRUE(cs2.initWire && cs2.initMode);
    EXPECT_EQ(dio2.dout, dio.safeDout);
    EXPECT_EQ(dio2.counter(3, 0), 77u);
    EXPECT_EQ(dio2.status, 0x81);
    EXPECT_TRUE(dio2.wdEnabled);
    EXPECT_EQ(dio2.wdValue, 30);
    EXPECT_EQ(saved.find(4)->counter(2, 0), 70000u);
    EXPECT_EQ(saved.find(4)->din, 0x2A55u);
    EXPECT_EQ(saved.find(3)->safeAout, p.find(3)->safeAout);
}

TEST(PlantFile, RejectsMistakesWithTheirLine)
{
    const struct {
        const char *text;
        const char *message;
    } table[] = {
        {"[[module]]\naddress = 1\nmodel = 7017\nfromat = \"hex\"\n", "t:4: unknown key 'fromat'"},
        {"[[module]]\naddress = 1\nmodel = 7019\n", "model must be one of"},
        {"[[module]]\naddress = 256\nmodel = 7017\n", "address must be 0 to 255"},
        {"[[module]]\nmodel = 7017\n", "without an address"},
        {"[[module]]\naddress = 1\nmodel = 7017\n[[module]]\naddress = 1\nmodel = 7018\n", "used twice"},
        {"[[module]]\naddress = 1\nmodel = 7017\nformat = \"octal\"\n", "format must be"},
        {"[[module]]\naddress = 1\nmodel = 7017\nain = [1,2,3,4,5,6,7,8,9]\n", "has 9 entries"},
        {"[[module]]\naddress = 1\nmodel = 7017\nain = [\"shut\"]\n", "ain[0] must be"},
        {"[[module]]\naddress = 1\nmodel = 7017\nain = [{start = 0, min = 1}]\n", "both min and max"},
        {"[[module]]\naddress = 1\nmodel = 7017\ndin = 3\n", "has no din"},
        {"[[module]]\naddress = 1\nmodel = 7052\ndin = 0x100\n", "bits the model does not have"},
        {"[[module]]\naddress = 1\nmodel = 7060\nwatchdog = { enabled = true, value = 256 }\n", "0 to 255"},
        {"[line]\nbaud = \"fast\"\n[[module]]\naddress = 1\nmodel = 7017\n", "line.baud must be an integer"},
        {"[line]\nbaud = 19200\n", "no modules"},
        {"[[module]\n", "t:1:"},
        {"[[module]]\naddress = 1\nmodel = 7017\nmodule_name = \"ABCDEFG\"\n", "module_name must be text of 1 to 6"},
        {"[[module]]\naddress = 1\nmodel = 7017\ntype = 256\n", "type has bits"},
        {"[[module]]\naddress = 1\nmodel = 7017\ninit = 1\n", "init must be true or false"},
        {"[line]\nduplicate_addresses = 1\n[[module]]\naddress = 1\nmodel = 7017\n", "must be true or false"},
        {"[line]\nturnaround_ms = nan\n[[module]]\naddress = 1\nmodel = 7017\n",
         "t:2: line.turnaround_ms must be a finite number, not negative"},
        {"[[module]]\naddress = 1\nmodel = 7017\nturnaround_ms = inf\n",
         "module 1.turnaround_ms must be a finite number, not negative"},
        {"[line]\nadapter_latency_ms = 255.5\n[[module]]\naddress = 1\nmodel = 7017\n",
         "t:2: line.adapter_latency_ms must be 0 to 255"},
        {"[line]\nadapter_latency_ms = -1\n[[module]]\naddress = 1\nmodel = 7017\n",
         "line.adapter_latency_ms must be 0 to 255"},
        {"[line]\nadapter_latency_ms = nan\n[[module]]\naddress = 1\nmodel = 7017\n",
         "line.adapter_latency_ms must be 0 to 255"},
        {"[line]\nadapter_latency_ms = \"16\"\n[[module]]\naddress = 1\nmodel = 7017\n",
         "line.adapter_latency_ms must be a number"},
        {"[line]\nadapter_jitter_ms = 51\n[[module]]\naddress = 1\nmodel = 7017\n",
         "line.adapter_jitter_ms must be 0 to 50"},
        // A design's tag list, read against its modules.
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ndirection = "
         "\"in\"\naddress = 6\nbit = 0\n",
         "point without a tag"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 7\ndirection = \"in\"\nbit = 0\n",
         "point X: no module at address 7"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"up\"\nbit = 0\n",
         "direction must be \"in\" or \"out\""},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"in\"\n",
         "give a channel (analog) or a bit"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"in\"\nbit = 16\n",
         "the 7053 at 6 has 16 digital inputs (0 to 15)"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"out\"\nbit = 0\n",
         "the 7053 at 6 has 0 digital outputs"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 5\ndirection = \"out\"\nchannel = 1\n",
         "needs its range"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 5\ndirection = \"out\"\nchannel = 1\nrange = [10, 0]\n",
         "high must be above low"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"in\"\nbit = 1\nunit = \"bar\"\n",
         "a bit has no unit"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"in\"\nbit = 1\nsafe = false\n",
         "only an output has a safe value"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"in\"\nbit = 1\n[[point]]\ntag = \"X\"\naddress = 6\n"
         "direction = \"in\"\nbit = 2\n",
         "tag X used twice"},
        {"[[module]]\naddress = 5\nmodel = 7024\n[[module]]\naddress = 6\nmodel = 7053\n[[point]]\ntag = "
         "\"X\"\naddress = 6\ndirection = \"in\"\nbit = 1\n[[point]]\ntag = \"Y\"\naddress = 6\n"
         "direction = \"in\"\nbit = 1\n",
         "point Y is the same bit as X"},
    };
    for (const auto &t : table) {
        try {
            parsePlant(t.text, "t");
            ADD_FAILURE() << "accepted: " << t.text;
        } catch (const PlantError &e) {
            EXPECT_NE(std::string(e.what()).find(t.message), std::string::npos) << e.what();
        }
    }
}

// A design is a plant with a tag list: each point's place, range and safe
// value, and the scaling between the module's units and the engineering
// units.
TEST(PlantFile, ReadsADesignsPoints)
{
    const Plant p = parsePlant(R"([[module]]
address = 5
model = 7024
[[module]]
address = 6
model = 7053
[[point]]
tag = "PT-101"
description = "header pressure"
address = 5
direction = "out"
channel = 2
range = [0, 10]
signal = [4, 20]
unit = "bar"
safe = 2.5
[[point]]
tag = "XS-7"
address = 6
direction = "in"
bit = 15
)",
                               "t");
    ASSERT_EQ(p.points.size(), 2u);
    const Point &pt = p.points[0], &xs = p.points[1];
    EXPECT_EQ(pt.kind, Point::Kind::AnalogOut);
    EXPECT_TRUE(pt.output() && pt.analog());
    EXPECT_EQ(pt.channel, 2);
    EXPECT_EQ(pt.unit, "bar");
    EXPECT_DOUBLE_EQ(pt.safe, 2.5);
    const struct {
        double wire, engineering;
    } scale[] = {{4, 0}, {20, 10}, {12, 5}, {0, -2.5}};
    for (const auto &s : scale) {
        EXPECT_DOUBLE_EQ(pt.toEngineering(s.wire), s.engineering);
        EXPECT_DOUBLE_EQ(pt.toWire(s.engineering), s.wire);
    }
    EXPECT_EQ(xs.kind, Point::Kind::DigitalIn);
    EXPECT_EQ(xs.channel, 15);
    EXPECT_EQ(xs.address, 6);
}

TEST(PlantFile, SamplePlantHasOneModuleOfEachModelAtOneToNine)
{
    Plant p = loadPlant(VELDRAN_EXAMPLE_PLANT);
    const Model order[] = {Model::M7017, Model::M7018, Model::M7024, Model::M7041, Model::M7043,
                           Model::M7052, Model::M7053, Model::M7060, Model::M7065};
    ASSERT_EQ(p.modules.size(), 9u);
    for (int a = 1; a <= 9; ++a) {
        const Module *m = p.find(a);
        ASSERT_NE(m, nullptr) << a;
        EXPECT_EQ(m->model, order[a - 1]);
        EXPECT_FALSE(m->checksum);
    }
    EXPECT_FALSE(p.find(1)->hex);
    EXPECT_TRUE(p.find(2)->hex);
    int open = 0;
    for (const auto &s : p.find(2)->ain)
        open += s.isOpen();
    EXPECT_EQ(open, 1);
    // The replies its comments promise.
    EXPECT_EQ(answer(p, "#01", 0), ">+01.000+02.500-03.250+00.000+05.123-10.500+09.999+00.250");
    EXPECT_EQ(answer(p, "#02", 0), ">20004000-0000000000007FFFE0001000");
    EXPECT_EQ(answer(p, "#042", 0), "!0411170");
    EXPECT_EQ(answer(p, "@06", 0), ">A500");
    EXPECT_EQ(answer(p, "@08", 0), ">000E");
    EXPECT_EQ(answer(p, "@09", 0), ">000C");
}

} // namespace
