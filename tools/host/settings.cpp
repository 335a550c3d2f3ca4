// Reading an option string as the module does.  The module's own parser
// (veldran/options.cpp) is compiled in here, inside a namespace of its own
// so that its settings are this file's and not the loaded module's; its
// console messages are collected instead of printed.
#include "settings.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "TLMUSR.h"
#include "module.h"
#include "platform.h"

namespace vhost {
namespace modparser {

std::string printed;

int32_t HlpPrintf(const char *format, ...) // NOLINT(readability-identifier-naming): the module calls it
{
    char buf[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    printed += buf;
    return n;
}

char keyupper(char k) { return (k >= 'a' && k <= 'z') ? static_cast<char>(k - 'a' + 'A') : k; }

#include "options.cpp" // NOLINT(bugprone-suspicious-include): the module's own parser, compiled in

// The settings as the module starts with them.
const Settings INITIAL = {port, BaudRate, timeout, useCheckSum != FALSE, debug != FALSE};

} // namespace modparser

namespace {

std::string upper(std::string s)
{
    for (char &c : s)
        c = modparser::keyupper(c);
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
    static const char *const valued[] = {"COMPORT", "BAUD", "TIMEOUT"};
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
    modparser::port = modparser::INITIAL.port;
    modparser::BaudRate = static_cast<int32_t>(modparser::INITIAL.baud);
    modparser::timeout = modparser::INITIAL.timeout;
    modparser::useCheckSum = modparser::INITIAL.checksum ? TRUE : FALSE;
    modparser::debug = modparser::INITIAL.debug ? TRUE : FALSE;
    modparser::printed.clear();
    if (options) {
        r.code = modparser::CommandLine(options->c_str());
        r.warnings = pitfalls(*options);
    }
    r.settings = {modparser::port, modparser::BaudRate, modparser::timeout, modparser::useCheckSum != FALSE,
                  modparser::debug != FALSE};
    r.console = modparser::printed;
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
           " baud, time-out " + std::to_string(s.timeout) + " ms, checksum " + (s.checksum ? "on" : "off") +
           ", debug " + (s.debug ? "on" : "off");
}

} // namespace vhost
