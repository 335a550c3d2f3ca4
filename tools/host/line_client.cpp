// The line client of the bring-up commands: the serial library's port, the
// framing of a command line and the time-out loop that collects its reply.
#include "line_client.h"

#include <chrono>
#include <cstdlib>
#include <optional>

#include "comm.h"
#include "platform.h"
#include "settings.h"

namespace vhost {

namespace {

double msSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t).count();
}

// How long the command may take to leave the transmit queue.
constexpr double SEND_LIMIT_MS = 1000;

} // namespace

int parseAddress(const std::string &text)
{
    if (text.empty())
        return -1;
    std::optional<unsigned> v;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        v = text.size() <= 4 ? wire::hexNumber(text.substr(2)) : std::nullopt;
    else if (text.back() == 'h' || text.back() == 'H')
        v = text.size() <= 3 ? wire::hexNumber(text.substr(0, text.size() - 1)) : std::nullopt;
    else {
        char *end = nullptr;
        long n = text.size() <= 3 ? std::strtol(text.c_str(), &end, 10) : -1;
        if (end && *end == '\0' && n >= 0)
            v = static_cast<unsigned>(n);
    }
    return v && *v <= 255 ? static_cast<int>(*v) : -1;
}

bool LineClient::open(int baud, std::string &error)
{
    if (open_ && baud == baud_)
        return true;
    close();
    const int32_t rc = _COMsetup(port_, QUEUE, rcv_, QUEUE, xmit_, baud, 'N', 1, 8);
    if (rc != 0) {
        error = "COM" + std::to_string(port_) + " (" + portDevice(port_).device +
                ") would not open: serial library error " + std::to_string(rc);
        return false;
    }
    _COMxmitclear(port_);
    _COMrcvclear(port_);
    open_ = true;
    baud_ = baud;
    return true;
}

void LineClient::close()
{
    if (open_)
        _COMdisable(port_);
    open_ = false;
}

Reply LineClient::exchange(const std::string &command, bool withChecksum, int timeoutMs)
{
    Reply r;
    r.sent = wire::framed(command, withChecksum);
    _COMrcvclear(port_);
    if (!_COMwrite(port_, r.sent.data(), static_cast<int32_t>(r.sent.size())))
        return r;
    const auto sent = std::chrono::steady_clock::now();
    while (_COMxmitqueue(port_) > 0 && msSince(sent) < SEND_LIMIT_MS)
        sleepMs(1);
    const auto end = std::chrono::steady_clock::now();
    auto last = end;
    for (;;) {
        int32_t n = _COMrcvqueue(port_);
        if (n > 0)
            r.arrivals.push_back({0, msSince(end)});
        for (int32_t i = 0; i < n; ++i) {
            const char c = static_cast<char>(_COMgetc(port_) & 0xFF);
            if (r.bytes.empty())
                r.firstMs = r.arrivals.back().ms;
            r.bytes += c;
            ++r.arrivals.back().chars;
            last = std::chrono::steady_clock::now();
            if (c == '\r') {
                r.crMs = msSince(end);
                r.complete = true;
                return r;
            }
        }
        if (msSince(last) >= timeoutMs)
            return r;
        sleepMs(1);
    }
}

Heard LineClient::ask(const Reach &at, const std::string &command, int timeoutMs, std::string &body)
{
    Reply r = exchange(command, at.checksum, timeoutMs);
    if (r.bytes.empty())
        return Heard::Nothing;
    if (!r.complete)
        return Heard::Garbled;
    std::string b = r.bytes.substr(0, r.bytes.size() - 1);
    for (char c : b)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F)
            return Heard::Garbled;
    if (at.checksum) {
        if (b.size() < 3 || wire::checksum(b.substr(0, b.size() - 2)) != b.substr(b.size() - 2))
            return Heard::Garbled;
        b.resize(b.size() - 2);
    }
    body = b;
    return Heard::Reply;
}

} // namespace vhost
