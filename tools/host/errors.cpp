// The one table of the module's error codes.
#include "errors.h"

#include <cstdio>

#include "veldran.h"
#include "wire.h"

namespace vhost {

namespace {

const ErrorInfo ERRORS[] = {
    {EC_OK, "OK", "the call succeeded", "", ""},
    {EC_BAD_REQUEST, "BAD_REQUEST",
     "the host sent a request code the module does not know (Init 1, DeInstall 2, SetMode 4; 3 and 5 do nothing)",
     "a host built for another module interface; a damaged request record",
     "use a host that sends the request codes of this module"},
    {EC_BAD_COMPORT, "BAD_COMPORT", "\"COMPORT=\" is outside 1 to 4",
     "a port number above 4; \"COMPORT=\" without digits (read as 0); a blank after the '='",
     "write COMPORT=1 to COMPORT=4 with no blank around the '='; `veldran-host check` shows how the string is read"},
    {EC_BAD_OPTION, "BAD_OPTION", "the option string holds a word that is no option",
     "a misspelt keyword; a blank before or after an '=' (\"BAUD =96\", \"TIMEOUT= 70\"); options separated by "
     "something other than blanks",
     "options are COMPORT=n BAUD=n TIMEOUT=n LATENCY=n CHECKSUM DEBUG, separated by blanks; the console shows the "
     "rest of the string from the word it did not know"},
    {EC_BAD_TIMEOUT, "BAD_TIMEOUT", "\"TIMEOUT=\" is outside 5 to 500 ms",
     "a value in seconds or above 500; a negative value",
     "give the time-out in milliseconds, 5 to 500, without a unit"},
    {EC_PORT_OPEN, "PORT_OPEN", "the serial port could not be opened at Init",
     "the device does not exist or is not mapped to this COM port; another program has the port open; the user may "
     "not open the device (not in the group that owns it); the device is no serial port or refuses the baud rate",
     "see the serial library's message on stderr (COM number, device and reason) and the device each port maps to; "
     "close the other program; add the user to the device's group (often dialout) and log in again"},
    {EC_TIMEOUT, "TIMEOUT", "no complete reply within the time-out (host OK: the broadcast did not leave in time)",
     "module absent or unpowered; wrong address; wrong baud rate on the module or in BAUD=; the module's checksum "
     "setting differs from CHECKSUM (a module expecting checksums ignores commands without one); time-out shorter "
     "than the exchange needs at this baud rate and through the serial adapter (its latency); RS-485 wiring (A/B "
     "swapped, no termination, no direction control)",
     "run `veldran-host survey` to see which modules answer at which settings; `veldran-host check` gives the "
     "smallest time-out for each rung, the adapter's latency (LATENCY=) included; the table below gives it for the "
     "longest exchanges on a port that hands over what it receives at once: through a serial adapter add its "
     "latency"},
    {EC_REFUSED, "REFUSED", "the module answered \"?\": it does not accept the command",
     "the instruction does not fit the module's model (an analog read sent to a digital module, a digital write "
     "with the wrong number of digits); a channel the module does not have; two modules at the same address",
     "use the instruction that matches the module's model (survey shows what each module answers)"},
    {EC_BAD_ADDRESS, "BAD_ADDRESS", "\"Addr:\" is outside 0 to 255", "a wrong constant or data-table value",
     "give the module's address, 0 to 255"},
    {EC_BAD_LENGTH, "BAD_LENGTH", "the reply is longer than 80 characters or of the wrong length for the command",
     "the module's model does not fit the instruction; noise or a second module answering on the line; a reply "
     "cut short",
     "check the model at that address (survey), the wiring and that no two modules share an address"},
    {EC_BAD_BAUD, "BAD_BAUD", "\"BAUD=\" is not 96, 192, 384, 576 or 1152", "the rate given in bit/s (BAUD=9600)",
     "give the rate in hundreds of bit/s: BAUD=96 for 9600"},
    {EC_WRITE_FAILED, "WRITE_FAILED", "the serial library did not take the command line",
     "the port's output is blocked (hardware flow control, a USB adapter that went away)",
     "check the adapter and the cable; restart the program after reconnecting it"},
    {EC_BAD_CHECKSUM, "BAD_CHECKSUM", "checksums are on and the reply's checksum is wrong",
     "noise on the line; a module answering with lower-case checksum digits; two modules answering at once",
     "check wiring, termination and shield; make sure only one module has this address"},
    {EC_BANG, "OUTPUT_REFUSED", "the module answered \"!\" to an output write: it did not set the output",
     "its host watchdog expired (status bit 0x04), after which the module ignores writes until its status is reset",
     "find why host-OK broadcasts stopped (I7HOK in every scan, scan time below the watchdog value), then reset the "
     "module status with I7RSMS"},
    {EC_BAD_WIDTH, "BAD_WIDTH", "the output field width is outside 1 to 4 digits", "an internal fault of the module",
     "report it"},
    {EC_BAD_AOUT, "BAD_AOUT", "\"AOUT:\" is outside -11.0 to 22.0, or not a number", "a scaling error in the ladder",
     "limit the value to -11.0 to 22.0 before the instruction"},
    {EC_BAD_FORMAT, "BAD_FORMAT", "\"Format:\" is not 0, 1 or 2, or a hex analog reply is too long",
     "a \"Format:\" operand out of range; Format 2 (hex) given for a module that answers in the decimal form",
     "give the format the module is configured for (survey shows decimal or hex)"},
    {EC_BAD_CHANNEL, "BAD_CHANNEL", "\"Chan:\" is out of range for the instruction", "a wrong channel constant",
     "give a channel the module has (analog output 0 to 3, counter 0 to 15)"},
    {EC_BAD_AIN_TYPE, "BAD_AIN_TYPE", "the \"AIN:\" operand's type does not fit the format",
     "decimal values (Format 0, 1) into a word file, or hex values into a float file",
     "use a float file for Format 0 and 1, a word file for Format 2"},
    {EC_AIN_LENGTH, "AIN_LENGTH", "an analog reply of unexpected length; the values are still delivered",
     "a channel without a value (open thermocouple); \"Format:\" does not match the module's data format",
     "check the inputs flagged in \"ErrChan:\" and that \"Format:\" matches the module (survey)"},
    {EC_BAD_HSECS, "BAD_HSECS", "\"HSecs:\" is outside 0 to 255", "a watchdog value above 25.5 s",
     "give the watchdog time in tenths of a second, 0 to 255"},
    {EC_BAD_SUBCOMMAND, "BAD_SUBCOMMAND", "a status or watchdog sub-command outside 0 to 3",
     "an internal fault of the module", "report it"},
    {EC_BAD_LATENCY, "BAD_LATENCY", "\"LATENCY=\" is outside 0 to 255 ms",
     "a negative value; a value above 255 (the adapter's delay given in microseconds)",
     "give how late the serial adapter may hand over what it received, in milliseconds, 0 to 255, without a unit: "
     "a USB adapter's latency timer (16 ms unless set otherwise) and some room, as the default 20 does; 0 for a "
     "port on the computer's own board"},
};

} // namespace

const ErrorInfo *errorTable(size_t *count)
{
    *count = sizeof ERRORS / sizeof ERRORS[0];
    return ERRORS;
}

const ErrorInfo *findError(unsigned code)
{
    for (const ErrorInfo &e : ERRORS)
        if (e.code == code)
            return &e;
    return nullptr;
}

const char *errorName(unsigned code)
{
    const ErrorInfo *e = findError(code);
    return e ? e->name : "?";
}

bool givenBeforeSending(unsigned code)
{
    switch (code) {
    case EC_BAD_ADDRESS:
    case EC_BAD_WIDTH:
    case EC_BAD_AOUT:
    case EC_BAD_FORMAT:
    case EC_BAD_CHANNEL:
    case EC_BAD_AIN_TYPE:
    case EC_BAD_HSECS:
    case EC_BAD_SUBCOMMAND:
        return true;
    default:
        return false;
    }
}

CallEnd callEnd(unsigned code, bool formatInRange, unsigned channels)
{
    if (code == EC_BAD_FORMAT ? !formatInRange : givenBeforeSending(code))
        return CallEnd::LadderError;
    if (code == EC_AIN_LENGTH && (channels & 0xFFu) != 0)
        return CallEnd::InputFault;
    return CallEnd::Line;
}

std::string errorLabel(unsigned code) { return std::to_string(code) + " " + errorName(code); }

std::string explainText(const ErrorInfo &e)
{
    std::string s = errorLabel(e.code) + ": " + e.meaning + "\n";
    if (*e.causes) {
        s += "  likely causes:\n";
        std::string c = e.causes;
        size_t at = 0;
        while (at <= c.size()) {
            size_t semi = c.find("; ", at);
            std::string item = c.substr(at, semi == std::string::npos ? std::string::npos : semi - at);
            s += "    - " + item + "\n";
            if (semi == std::string::npos)
                break;
            at = semi + 2;
        }
    }
    if (*e.action)
        s += "  what to do: " + std::string(e.action) + "\n";
    if (e.code == EC_TIMEOUT) {
        // The smallest time-out of the longest reply (an analog read in the
        // decimal form) and of a status read, at every baud rate.
        InputValues in;
        Exchange ain = exchangeOf(catalogue::READ_ANALOG, in, false),
                 ainCs = exchangeOf(catalogue::READ_ANALOG, in, true);
        Exchange st = exchangeOf(catalogue::READ_STATUS, in, false),
                 stCs = exchangeOf(catalogue::READ_STATUS, in, true);
        s += "  smallest TIMEOUT= (ms)   analog read   with CHECKSUM   status read   with CHECKSUM\n";
        for (int code : BAUD_CODES) {
            int baud = code * 100;
            char line[128];
            snprintf(line, sizeof line, "    BAUD=%-4d %6d baud  %11d   %13d   %11d   %13d\n", code, baud,
                     minTimeoutMs(ain, baud), minTimeoutMs(ainCs, baud), minTimeoutMs(st, baud),
                     minTimeoutMs(stCs, baud));
            s += line;
        }
    }
    return s;
}

} // namespace vhost
