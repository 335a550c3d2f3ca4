// Fuzzes the start-up option parser, CommandLine, and the Init request that
// carries it.
//
// Input: the option string (up to its first zero byte; any length, with or
// without blanks).
//
// Checked: the code is one the parser can return; code, settings and
// console text equal what the reference parser below makes of the string;
// a rejected value is not stored; at most the first 199 characters count;
// an Init with the same string opens the port only on success, and a second
// Init closes the port that the first one opened before it opens again.
#include "harness.h"

namespace {

struct Parsed {
    uint32_t code = 0;
    int32_t port = 1;
    int32_t baud = 19200;
    uint32_t timeout = 40;
    bool checksum = false;
    bool debug = false;
    uint32_t latency = 20;
    std::string console;
};

bool blank(char c) { return c == ' ' || c == '\t'; }

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool startsWith(const std::string &s, size_t at, const char *kw)
{
    size_t n = strlen(kw);
    if (s.size() - at < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (upper(s[at + i]) != kw[i])
            return false;
    return true;
}

// The standard decimal conversion, saturating at the 32-bit range.
int32_t number(const std::string &s, size_t at)
{
    size_t i = at;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
        v = v * 10 + (s[i] - '0');
        if (v > (int64_t{1} << 33))
            v = int64_t{1} << 33; // far enough past either end
    }
    if (negative)
        v = -v;
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return static_cast<int32_t>(v);
}

std::string format(const char *fmt, long v)
{
    char buf[128];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

Parsed parse(std::string s)
{
    Parsed r;
    if (s.size() > 199)
        s.resize(199);
    size_t at = 0;
    for (;;) {
        while (at < s.size() && blank(s[at]))
            ++at;
        if (at == s.size())
            return r;
        size_t len;
        if (startsWith(s, at, "COMPORT=")) {
            len = 8;
            int32_t v = number(s, at + len);
            if (v < 1 || v > 4) {
                r.console += format("\n\t Illegal comm port number %ld (1-4)", v);
                r.code = model::BAD_COMPORT;
                return r;
            }
            r.port = v;
        } else if (startsWith(s, at, "BAUD=")) {
            len = 5;
            int32_t v = number(s, at + len);
            if (v != 96 && v != 192 && v != 384 && v != 576 && v != 1152) {
                r.console += format("Illegal baud rate: %ld (96,192,384,576,1152) x100", v);
                r.code = model::BAD_BAUD;
                return r;
            }
            r.baud = v * 100;
        } else if (startsWith(s, at, "TIMEOUT=")) {
            len = 8;
            uint32_t v = static_cast<uint32_t>(number(s, at + len));
            if (v < 5 || v > 500) {
                r.console += format("\n\t Invalid time out value: %ld msecs (5-500)", static_cast<int32_t>(v));
                r.code = model::BAD_TIMEOUT;
                return r;
            }
            r.timeout = v;
        } else if (startsWith(s, at, "LATENCY=")) {
            len = 8;
            uint32_t v = static_cast<uint32_t>(number(s, at + len));
            if (v > 255) {
                r.console += format("\n\t Invalid latency value: %ld msecs (0-255)", static_cast<int32_t>(v));
                r.code = model::BAD_LATENCY;
                return r;
            }
            r.latency = v;
        } else if (startsWith(s, at, "CHECKSUM")) {
            len = 8;
            r.checksum = true;
        } else if (startsWith(s, at, "DEBUG")) {
            len = 5;
            r.debug = true;
        } else {
            r.console += "<" + s.substr(at) + ">\n";
            r.code = model::BAD_OPTION;
            return r;
        }
        at += len;
        while (at < s.size() && !blank(s[at]))
            ++at;
    }
}

void initialSettings() { state::asLoaded(); }

ERRCODE initRequest(const std::string &options)
{
    struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher());
    return _main(&r, const_cast<char *>(options.c_str()));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fz::initOnce();
    const char *text = size ? reinterpret_cast<const char *>(data) : "";
    std::string options(text, strnlen(text, size));
    Parsed want = parse(options);

    // The parser alone.
    initialSettings();
    hostsvc::takeConsole();
    ERRCODE ec = CommandLine(options.c_str());
    std::string console = hostsvc::takeConsole();
    FZ_CHECK(ec == EC_OK || ec == EC_BAD_COMPORT || ec == EC_BAD_OPTION || ec == EC_BAD_TIMEOUT || ec == EC_BAD_BAUD ||
                 ec == EC_BAD_LATENCY,
             "CommandLine returned %u", ec);
    FZ_CHECK(ec == want.code, "CommandLine returned %u, the model %u for \"%s\"", ec, want.code,
             fz::show(options).c_str());
    FZ_CHECK(port == want.port && BaudRate == want.baud && timeout == want.timeout &&
                 (useCheckSum != 0) == want.checksum && (debug != 0) == want.debug && latency == want.latency,
             "settings %d %d %u %u %u %u, the model %d %d %u %d %d %u", port, BaudRate, timeout, useCheckSum, debug,
             latency, want.port, want.baud, want.timeout, want.checksum, want.debug, want.latency);
    FZ_CHECK(console == want.console, "console \"%s\", the model \"%s\"", fz::show(console).c_str(),
             fz::show(want.console).c_str());

    // The Init request, twice: the port opens only after a clean parse, and
    // the second Init closes the first one's port before it opens again.
    initialSettings();
    scommReset();
    ERRCODE first = initRequest(options);
    ERRCODE second = initRequest(options);
    hostsvc::takeConsole();
    FZ_CHECK(first == want.code && second == want.code, "Init returned %u then %u, the parse %u", first, second,
             want.code);
    FZ_CHECK(scommIsOpen() == (want.code == 0 ? 1 : 0), "port open %d after Init code %u", scommIsOpen(), want.code);
    FZ_CHECK(scommSetupWhileOpen() == 0, "the port was set up again while open");
    if (want.code == 0)
        FZ_CHECK(scommOpenPort() == want.port, "opened port %d, wanted %d", scommOpenPort(), want.port);
    struct req_init r = records::request(REQ_DEINSTALL);
    _main(&r, nullptr);
    hostsvc::takeConsole();
    FZ_CHECK(scommIsOpen() == 0, "DeInstall left the port open");
    initialSettings();
    return 0;
}
