// The part of the serial library that is the same on every system: the
// argument checks of _COMsetup, the receive and transmit queues kept as rings
// in the two buffers the caller hands over, and the eight _COM operations
// built on a handful of per-system port operations.
//
// A backend is a class with these members:
//
//   using Handle = ...;                                // the system's port handle
//   static constexpr Handle NONE;                     // no port
//   static int32_t open(int32_t port, const LineSettings &, Handle *out);
//                                                      // 0 or a SetupError
//   static void close(Handle);
//   static int32_t read(Handle, char *buf, int32_t max);   // bytes read, 0: none
//   static int32_t write(Handle, const char *buf, int32_t len);
//                                      // bytes taken, 0: none now, -1: failed
//   static int32_t inQueue(Handle);    // bytes waiting in the system
//   static int32_t outQueue(Handle);   // bytes not yet sent by the system
//   static void purgeInput(Handle);
//   static void purgeOutput(Handle);
//   static void waitWritable(Handle, int32_t ms);  // returns early when it can
//   static bool waitReadable(Handle);  // a short wait for input when none is
//                                      // there; true: some may have come
//   static int64_t nowMs();            // a monotonic clock
//
// Nothing here allocates: the rings are the caller's buffers, the port table
// is static.  The library serves one caller thread.
#ifndef TOOLS_COMM_COMM_CORE_H
#define TOOLS_COMM_COMM_CORE_H

#include <cstdint>

#include "comm_received.h"

namespace comm {

// The error numbers of _COMsetup, one per cause.
enum SetupError : int32_t {
    SETUP_OK = 0,
    BAD_PORT = 1,         // port number outside 1 to 4
    BAD_BUFFER = 2,       // a queue buffer is null, its size not positive, or the two overlap
    BAD_BAUD = 3,         // baud rate not supported
    BAD_PARITY = 4,       // parity not 'N', 'E' or 'O'
    BAD_STOP_BITS = 5,    // stop bits not 1 or 2
    BAD_DATA_BITS = 6,    // data bits not 5 to 8
    NO_DEVICE = 7,        // the port's device could not be opened
    NOT_SERIAL = 8,       // opened, but its line settings cannot be read
    SETTINGS_REFUSED = 9, // the line settings were refused
    NO_TIMEOUTS = 10,     // reads could not be made non-blocking
    IN_USE = 11,          // another program has the device open exclusively
    NO_RS485 = 12,        // RS-485 direction control was asked for and the driver refused it
};

enum class Parity { None, Even, Odd };

struct LineSettings {
    int32_t baud;
    Parity parity;
    int32_t stopBits;
    int32_t dataBits;
};

constexpr int32_t PORTS = 4;

// The watcher of commWatch (comm_received.h), or none.
inline CommWatcher watcher = nullptr;
inline void watched(int32_t port, bool sent, const char *bytes, int32_t n)
{
    if (watcher && n > 0)
        watcher(port, sent ? 1 : 0, bytes, n);
}

// Rates every backend supports.
constexpr int32_t BAUD_RATES[] = {110, 300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

inline bool supportedBaud(int32_t baud)
{
    for (int32_t b : BAUD_RATES)
        if (b == baud)
            return true;
    return false;
}

// A first-in first-out byte queue over a buffer it does not own.
class Ring {
public:
    void attach(char *buf, int32_t size)
    {
        buf_ = buf;
        size_ = size;
        clear();
    }
    void detach() { attach(nullptr, 0); }
    void clear()
    {
        head_ = 0;
        count_ = 0;
    }
    int32_t count() const { return count_; }
    int32_t space() const { return size_ - count_; }

    // The longest run of free bytes after the last one queued.
    char *freeRun(int32_t *n)
    {
        int32_t tail = (head_ + count_) % size_;
        int32_t run = head_ + count_ < size_ ? size_ - tail : head_ - tail;
        *n = count_ == size_ ? 0 : run;
        return buf_ + tail;
    }
    void produced(int32_t n) { count_ += n; }

    // The longest run of queued bytes from the first one on.
    const char *queuedRun(int32_t *n) const
    {
        *n = head_ + count_ <= size_ ? count_ : size_ - head_;
        return buf_ + head_;
    }
    void consumed(int32_t n)
    {
        head_ = (head_ + n) % size_;
        count_ -= n;
        if (count_ == 0)
            head_ = 0;
    }

    // Queues all n bytes; the caller has checked that they fit.
    void put(const char *bytes, int32_t n)
    {
        while (n > 0) {
            int32_t run;
            char *to = freeRun(&run);
            if (run > n)
                run = n;
            for (int32_t i = 0; i < run; ++i)
                to[i] = bytes[i];
            produced(run);
            bytes += run;
            n -= run;
        }
    }
    int32_t take()
    {
        unsigned char c = static_cast<unsigned char>(buf_[head_]);
        consumed(1);
        return c;
    }

private:
    char *buf_ = nullptr;
    int32_t size_ = 0;
    int32_t head_ = 0;
    int32_t count_ = 0;
};

template <class Os> class Library {
public:
    using Handle = typename Os::Handle;

    int32_t setup(int32_t port, int32_t rcvSize, char *rcvBuf, int32_t xmitSize, char *xmitBuf, int32_t baud,
                  int32_t parity, int32_t stopBits, int32_t dataBits)
    {
        if (port < 1 || port > PORTS)
            return BAD_PORT;
        Port &p = ports_[port - 1];
        // A port that is open is closed first, whatever becomes of the new set-up:
        // the buffers it had are the caller's again.
        if (p.open)
            shut(p);
        if (!rcvBuf || !xmitBuf || rcvSize <= 0 || xmitSize <= 0 || overlap(rcvBuf, rcvSize, xmitBuf, xmitSize))
            return BAD_BUFFER;
        LineSettings line;
        line.baud = baud;
        line.stopBits = stopBits;
        line.dataBits = dataBits;
        if (!supportedBaud(baud))
            return BAD_BAUD;
        switch (parity) {
        case 'N':
        case 'n':
            line.parity = Parity::None;
            break;
        case 'E':
        case 'e':
            line.parity = Parity::Even;
            break;
        case 'O':
        case 'o':
            line.parity = Parity::Odd;
            break;
        default:
            return BAD_PARITY;
        }
        if (stopBits != 1 && stopBits != 2)
            return BAD_STOP_BITS;
        if (dataBits < 5 || dataBits > 8)
            return BAD_DATA_BITS;
        Handle h = Os::NONE;
        int32_t err = Os::open(port, line, &h);
        if (err != SETUP_OK)
            return err;
        p.h = h;
        p.number = port;
        p.baud = baud;
        p.charBits = 1 + dataBits + (line.parity == Parity::None ? 0 : 1) + stopBits;
        p.rx.attach(rcvBuf, rcvSize);
        p.tx.attach(xmitBuf, xmitSize);
        p.open = true;
        return SETUP_OK;
    }

    int32_t disable(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return -1;
        // What is still queued here gets its chance to leave before the close.
        int64_t deadline = Os::nowMs() + sendTimeMs(*p, p->tx.count());
        for (;;) {
            pushTx(*p);
            int64_t left = deadline - Os::nowMs();
            if (p->tx.count() == 0 || left <= 0)
                break;
            Os::waitWritable(p->h, static_cast<int32_t>(left));
        }
        shut(*p);
        return 0;
    }

    // Non-zero only when every byte has gone to the system or into the
    // transmit queue.  When neither has room, the system is given the time
    // the line needs to take the bytes; after that the write fails (bytes
    // already handed on may have been sent).
    int32_t write(int32_t port, const char *buf, int32_t len)
    {
        Port *p = find(port);
        if (!p || !buf || len < 0)
            return 0;
        pushTx(*p);
        int32_t done = 0;
        int64_t deadline = -1;
        for (;;) {
            if (p->tx.count() == 0 && done < len) {
                int32_t n = Os::write(p->h, buf + done, len - done);
                if (n < 0)
                    return 0;
                watched(port, true, buf + done, n);
                done += n;
            }
            if (len - done <= p->tx.space())
                break;
            int64_t now = Os::nowMs();
            if (deadline < 0)
                deadline = now + sendTimeMs(*p, p->tx.count() + len - done);
            if (now >= deadline)
                return 0;
            Os::waitWritable(p->h, static_cast<int32_t>(deadline - now));
            pushTx(*p);
        }
        p->tx.put(buf + done, len - done);
        return 1;
    }

    int32_t getc(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return -1;
        if (p->rx.count() == 0)
            pumpRx(*p);
        if (p->rx.count() == 0)
            return -1;
        return p->rx.take();
    }

    // What the receive queue holds, plus what the system still holds once
    // the queue is full; _COMgetc delivers all of it in order.
    // A caller that polls this in a loop (as the module's reply loop does)
    // would keep a processor busy with system calls and starve the other
    // side of the line, so with nothing waiting the backend may wait
    // briefly for a character; one that comes is reported at once.
    int32_t rcvqueue(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return 0;
        int32_t n = count(*p);
        if (n == 0 && Os::waitReadable(p->h))
            n = count(*p);
        return n;
    }

    // Every byte that reached the port since it was opened (see
    // comm_received.h).
    int32_t received(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return -1;
        count(*p);
        return static_cast<int32_t>(p->received & 0x7FFFFFFFu);
    }

    int32_t xmitqueue(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return 0;
        pushTx(*p);
        return saturatingAdd(p->tx.count(), Os::outQueue(p->h));
    }

    int32_t rcvclear(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return -1;
        p->received += static_cast<uint32_t>(saturatingAdd(0, Os::inQueue(p->h)));
        if (watcher) {
            // What is thrown away was on the line too: the watcher sees it.
            char drop[256];
            for (int32_t n; (n = Os::read(p->h, drop, sizeof drop)) > 0;)
                watched(port, false, drop, n);
        }
        Os::purgeInput(p->h);
        p->rx.clear();
        return 0;
    }

    int32_t xmitclear(int32_t port)
    {
        Port *p = find(port);
        if (!p)
            return -1;
        p->tx.clear();
        // Only output the system still counts as unsent is purged.  Where it
        // cannot tell (a pseudo-terminal, also under wine: what was written
        // is already in the peer's input and the count reads 0), a purge
        // would throw away bytes the peer has simply not read yet, such as
        // a host-OK broadcast that the next command follows at once.
        if (Os::outQueue(p->h) > 0)
            Os::purgeOutput(p->h);
        return 0;
    }

private:
    struct Port {
        int32_t number = 0;
        bool open = false;
        Handle h = Os::NONE;
        int32_t baud = 0;
        int32_t charBits = 10;
        Ring rx;
        Ring tx;
        uint32_t received = 0; // bytes that reached the port, read or purged
    };

    Port *find(int32_t port)
    {
        if (port < 1 || port > PORTS || !ports_[port - 1].open)
            return nullptr;
        return &ports_[port - 1];
    }

    static bool overlap(const char *a, int32_t an, const char *b, int32_t bn)
    {
        uintptr_t a0 = reinterpret_cast<uintptr_t>(a), b0 = reinterpret_cast<uintptr_t>(b);
        return a0 < b0 + static_cast<uintptr_t>(bn) && b0 < a0 + static_cast<uintptr_t>(an);
    }

    static int32_t saturatingAdd(int32_t a, int32_t b)
    {
        if (b < 0)
            b = 0;
        return b > INT32_MAX - a ? INT32_MAX : a + b;
    }

    // How long the line needs for n characters, with a margin.
    static int64_t sendTimeMs(const Port &p, int32_t n)
    {
        return 100 + static_cast<int64_t>(n) * p.charBits * 1000 / p.baud;
    }

    void shut(Port &p)
    {
        Os::close(p.h);
        p = Port();
    }

    static void pushTx(Port &p)
    {
        while (p.tx.count() > 0) {
            int32_t run;
            const char *from = p.tx.queuedRun(&run);
            int32_t n = Os::write(p.h, from, run);
            if (n <= 0)
                return;
            watched(p.number, true, from, n);
            p.tx.consumed(n);
            if (n < run)
                return;
        }
    }

    static int32_t count(Port &p)
    {
        pushTx(p);
        pumpRx(p);
        return saturatingAdd(p.rx.count(), Os::inQueue(p.h));
    }

    static void pumpRx(Port &p)
    {
        while (p.rx.space() > 0) {
            int32_t run;
            char *to = p.rx.freeRun(&run);
            int32_t n = Os::read(p.h, to, run);
            if (n <= 0)
                return;
            watched(p.number, false, to, n);
            p.rx.produced(n);
            p.received += static_cast<uint32_t>(n);
            if (n < run)
                return;
        }
    }

    Port ports_[PORTS];
};

} // namespace comm

// Defines the eight exported _COM functions of a library over the Library
// object `lib`.
#define COMM_DEFINE_EXPORTS(lib)                                                                                  \
    extern "C" {                                                                                                  \
    int32_t _COMsetup(int32_t port, int32_t rcvSize, char *rcvBuf, int32_t xmitSize, char *xmitBuf, int32_t baud, \
                      int32_t parity, int32_t stopBits, int32_t dataBits)                                         \
    {                                                                                                             \
        return (lib).setup(port, rcvSize, rcvBuf, xmitSize, xmitBuf, baud, parity, stopBits, dataBits);           \
    }                                                                                                             \
    int32_t _COMdisable(int32_t port) { return (lib).disable(port); }                                             \
    int32_t _COMwrite(int32_t port, const char *buf, int32_t len) { return (lib).write(port, buf, len); }         \
    int32_t _COMgetc(int32_t port) { return (lib).getc(port); }                                                   \
    int32_t _COMrcvqueue(int32_t port) { return (lib).rcvqueue(port); }                                           \
    int32_t _COMxmitqueue(int32_t port) { return (lib).xmitqueue(port); }                                         \
    int32_t _COMrcvclear(int32_t port) { return (lib).rcvclear(port); }                                           \
    int32_t _COMxmitclear(int32_t port) { return (lib).xmitclear(port); }                                         \
    int32_t commReceived(int32_t port) { return (lib).received(port); }                                           \
    void commWatch(CommWatcher w) { comm::watcher = w; }                                                          \
    }

#endif
