// Reading an option string as the module does: with the module's own
// parser (veldran/options.cpp), linked in as an object of its own.  The two
// services it calls are stood in for here: its console messages are
// collected instead of printed.  Its settings are this program's copy, not
// those of the module the program loads.
#include "settings.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "TLMUSR.h"
#include "options.h"
#include "platform.h"

namespace {

std::string printed;

// The module's settings before any option string, as its parser starts.
struct Initial {
    int32_t port;
    int32_t baud;
    uint32_t timeout;
    BOOL checksum;
    BOOL debug;
    uint32_t latency;
};
const Initial INITIAL = {port, BaudRate, timeout, useCheckSum, debug, latency};

} // namespace

int32_t HlpPrintf(const char *format, ...) // NOLINT(readability-identifier-naming): the module calls it
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    printed += buf;
    return n;
}

char keyupper(char k) { return (k >= 'a' && k <= 'z') ? static_cast<char>(k - 'a' + 'A') : k; }

namespace vhost {

namespace {

std::string upper(std::string s)
{
    for (char &c : s)
        c = ::keyupper(c);
    return s;
}

bool startsWith(const std::string &s, const char *prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

std::vector<std::string> wordsOf(const std::string &s)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
            ++i;
        size_t j = i;
        while (j < s.size() && s[j] != ' ' && s[j] != '\t')
            ++j;
        if (j > i)
            w.push_back(s.substr(i, j - i));
        i = j;
    }
    return w;
}

// Where the parser would read the string otherwise than a reader would.
std::vector<std::string> pitfalls(const std::string &options)
{
    std::vector<std::string> out;
    std::string text = options;
    if (text.size() > CMDLINE_BUFFER - 1) {
        out.push_back("the option string is " + std::to_string(text.size()) + " characters long: only the first " +
                      std::to_string(CMDLINE_BUFFER - 1) + " are read");
        text.resize(CMDLINE_BUFFER - 1);
    }
    std::vector<std::string> words = wordsOf(text);
    static const char *const valued[] = {"COMPORT", "BAUD", "TIMEOUT", "LATENCY"};
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string &w = words[i];
        std::string u = upper(w);
        size_t sep = w.find_first_of(",;");
        if (sep != std::string::npos) {
            out.push_back("'" + w + "': a '" + w[sep] + "' does not separate options; everything after the first " +
                          "option's value is ignored ('" + w.substr(sep + 1) +
                          "' has no effect); separate options with blanks");
            continue;
        }
        bool keywordAlone = false;
        for (const char *k : valued)
            if (u == k) {
                keywordAlone = true;
                if (i + 1 < words.size() && words[i + 1][0] == '=')
                    out.push_back("'" + w + " " + words[i + 1] + "': a blank before the '=': the module does not " +
                                  "know '" + w + "' as an option; write " + k + "=VALUE");
            }
        if (keywordAlone)
            continue;
        for (const char *k : valued) {
            std::string key = std::string(k) + "=";
            if (!startsWith(u, key.c_str()))
                continue;
            std::string value = w.substr(key.size());
            if (value.empty()) {
                if (i + 1 < words.size())
                    out.push_back("'" + w + " " + words[i + 1] + "': a blank after the '=': the value is read, but " +
                                  "'" + words[i + 1] + "' is then taken for an option of its own; write " + key +
                                  words[i + 1]);
                else
                    out.push_back("'" + w + "': no value after the '=' (read as 0)");
                break;
            }
            size_t d = 0;
            if (d < value.size() && (value[d] == '+' || value[d] == '-'))
                ++d;
            size_t digits = d;
            while (d < value.size() && value[d] >= '0' && value[d] <= '9')
                ++d;
            if (d < value.size()) {
                std::string number = value.substr(0, d);
                if (d == digits)
                    out.push_back("'" + w + "': no number after the '=' (read as 0)");
                else
                    out.push_back("'" + w + "' is read as " + key + number + ": the text after the number ('" +
                                  value.substr(d) + "') is ignored" +
                                  (std::string(k) == "TIMEOUT" ? " (the time-out is always in ms)" : "") +
                                  (std::string(k) == "LATENCY" ? " (the latency is always in ms)" : "") +
                                  (std::string(k) == "BAUD" ? " (the rate is in hundreds of bit/s)" : ""));
            }
            break;
        }
        for (const char *k : {"CHECKSUM", "DEBUG"}) {
            if (!startsWith(u, k) || u.size() == strlen(k))
                continue;
            std::string rest = w.substr(strlen(k));
            if (rest[0] == '=')
                out.push_back("'" + w + "' switches " + (std::string(k) == "DEBUG" ? "debugging" : "checksums") +
                              " ON: any word that starts with " + k + " does, whatever follows; leave the word out " +
                              "to keep it off");
            else
                out.push_back("'" + w + "' is read as " + k + ": the rest ('" + rest + "') is ignored");
        }
    }
    return out;
}

} // namespace

OptionReading readOptions(const std::string *options)
{
    OptionReading r;
    port = INITIAL.port;
    BaudRate = INITIAL.baud;
    timeout = INITIAL.timeout;
    useCheckSum = INITIAL.checksum;
    debug = INITIAL.debug;
    latency = INITIAL.latency;
    printed.clear();
    if (options) {
        r.code = CommandLine(options->c_str());
        r.warnings = pitfalls(*options);
    }
    r.settings = {port, BaudRate, timeout, useCheckSum != FALSE, debug != FALSE, latency};
    r.console = printed;
    return r;
}

PortDevice portDevice(int port)
{
    PortDevice d;
    comPortDevice(port, d.device, d.source);
    return d;
}

std::string settingsText(const Settings &s)
{
    PortDevice d = portDevice(s.port);
    return "COM" + std::to_string(s.port) + " = " + d.device + " (" + d.source + "), " + std::to_string(s.baud) +
           " baud, time-out " + std::to_string(s.timeout) + " ms, latency " + std::to_string(s.latency) +
           " ms, checksum " + (s.checksum ? "on" : "off") + ", debug " + (s.debug ? "on" : "off");
}

} // namespace vhost
