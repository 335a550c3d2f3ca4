// Test support for the native unit tests: the module linked in directly,
// the test host's services on a virtual clock with the console captured,
// and the scripted serial library.
#ifndef TESTS_SUPPORT_H
#define TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "TLMUSR.h"
#include "hostsvc.h"
#include "module.h"
#include "module_state.h"
#include "records.h"
#include "scripted_comm.h"
#include "wire_format.h"

namespace t {

// Sends a request through the exported entry.
inline ERRCODE request(int32_t code)
{
    struct req_init r = records::request(code);
    return _main(&r, nullptr);
}

inline ERRCODE init(const char *options, uint32_t flags = 0)
{
    struct req_init r = records::request(REQ_INIT, hostsvc::dispatcher(), flags);
    return _main(&r, const_cast<char *>(options));
}

inline ERRCODE setMode(int32_t mode)
{
    struct req_setmode r = records::setMode(mode);
    return _main(&r, nullptr);
}

inline ERRCODE deinstall() { return request(REQ_DEINSTALL); }

// Back to a freshly loaded module: port closed, settings and controller
// state at their initial values, no dispatcher, serial script and console
// empty, virtual clock at 1 ms per poll.
inline void freshModule()
{
    __vp_dispatch = nullptr;
    deinstall(); // closes a port left open; prints nothing without a dispatcher
    state::asLoaded();
    scommReset();
    hostsvc::captureConsole(true);
    hostsvc::takeConsole();
    hostsvc::useVirtualClock(1);
    hostsvc::resetCounters();
}

inline std::string console() { return hostsvc::takeConsole(); }

inline std::string commLog()
{
    char buf[16384];
    scommLog(buf, sizeof buf);
    return buf;
}

inline std::string lastWrite()
{
    char buf[256];
    int32_t n = scommLastWrite(buf, sizeof buf);
    return std::string(buf, static_cast<size_t>(n < 255 ? n : 255));
}

// A reply whose characters are all available `due` receive polls after
// the command was written.
inline void reply(const std::string &bytes, int32_t due = 0)
{
    std::vector<int32_t> d(bytes.size(), due);
    scommQueueReply(bytes.data(), static_cast<int32_t>(bytes.size()), d.data());
}

// A reply in pieces: each piece becomes available at its own due count.
inline void replyPieces(const std::vector<std::pair<int32_t, std::string>> &pieces) { scommQueuePieces(pieces); }

inline void silence() { scommQueueSilence(); }

// Starts the next case on a settled line, as if nothing of an earlier
// reply could still be arriving (the module then sends at once).
inline void quietLine() { lineSettled = TRUE; }

// The checksum of a text as the protocol writes it: two upper-case digits.
inline std::string sum(const std::string &text) { return wire::checksum(text); }

// Operand records.
using records::floatIn;
using records::floatOut;
using records::wordIn;
using records::wordOut;

// The bytes of every _COMwrite since the log was last cleared, in order.
inline std::vector<std::string> writes()
{
    std::vector<std::string> out;
    std::string log = commLog();
    size_t pos = 0;
    while (pos < log.size()) {
        size_t end = log.find('\n', pos);
        if (end == std::string::npos)
            end = log.size();
        std::string line = log.substr(pos, end - pos);
        pos = end + 1;
        if (line.compare(0, 6, "write ") != 0)
            continue;
        size_t blank = line.find(' ', 6);
        std::string bytes;
        for (size_t i = blank + 1; i < line.size(); ++i) {
            if (line[i] != '\\' || i + 1 >= line.size()) {
                bytes += line[i];
                continue;
            }
            char e = line[++i];
            if (e == 'r')
                bytes += '\r';
            else if (e == 'n')
                bytes += '\n';
            else if (e == 'x' && i + 2 < line.size()) {
                bytes += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else
                bytes += e;
        }
        out.push_back(bytes);
    }
    return out;
}

// A line as it goes over the wire: the text, its checksum when `checksum`
// is set, and the carriage return.
inline std::string framed(const std::string &text, bool checksum) { return wire::framed(text, checksum); }

} // namespace t

// A fixture with a freshly loaded module, initialised with `options()` and
// the I/O gate open (SetMode 2).  Console and serial log start empty.
class ModuleTest : public ::testing::Test {
protected:
    virtual const char *options() { return nullptr; }
    void SetUp() override
    {
        t::freshModule();
        ASSERT_EQ(t::init(options()), EC_OK);
        t::setMode(2);
        t::console();
        scommClearLog();
    }
    void TearDown() override { t::freshModule(); }
};

#endif
