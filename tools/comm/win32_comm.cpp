// The serial library on Windows COM ports: comm.dll, exporting the eight
// _COM functions and nothing else.
//
// Port n (1 to 4) is the port named by the environment variable
// VELDRAN_COMn (COM7, com7 or \\.\COM7), else \\.\COMn (win_port_map.h); a
// value that names no COM port fails the open.  The port is opened for
// exclusive use, with no flow control and time-outs that make every read
// return at once with what has arrived.  The receive and transmit queues
// are rings in the caller's buffers (see comm_core.h); the driver's own
// queues sit behind them, are counted through ClearCommError and emptied
// with PurgeComm.  A failure to open says on stderr which port, the
// variable's mapping when there is one, and why.  With nothing received, a
// poll of the receive queue waits a millisecond (the system timer runs at
// 1 ms while a port is open), so that a caller's reply loop does not keep a
// processor busy.
#include <windows.h>

#include <mmsystem.h> // after windows.h, which it needs

#include <cstdio>
#include <cstring>

#include "../../serial/comm.h"
#include "comm_core.h"
#include "win_port_map.h"

namespace {

// How long one WriteFile may wait for room in the driver's queue before it
// returns with what it took.
constexpr DWORD WRITE_WAIT_MS = 20;
// Driver queue sizes asked for; the driver may choose others.
constexpr DWORD DRIVER_QUEUE = 4096;
// How long after the last byte in or out the receive polls do not sleep.
constexpr int64_t BUSY_POLL_MS = 5;
// When a port last received or sent a byte (the library serves one caller
// thread).
int64_t lastActivity = 0;

struct Win32Port {
    using Handle = HANDLE;
    static constexpr Handle NONE = nullptr;

    static int32_t refuse(int32_t port, const comm::WinPortDevice &dev, DWORD err, int32_t code)
    {
        char why[256];
        switch (err) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            std::snprintf(why, sizeof why, "the port is in use by another program");
            break;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            std::snprintf(why, sizeof why, "no such port (under wine: the port mapping points at no device)");
            break;
        default: {
            why[0] = '\0';
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, err, 0, why, sizeof why,
                           nullptr);
            size_t n = std::strlen(why);
            while (n > 0 && (why[n - 1] == '\n' || why[n - 1] == '\r' || why[n - 1] == ' '))
                why[--n] = '\0';
            if (n == 0)
                std::snprintf(why, sizeof why, "error %lu", static_cast<unsigned long>(err));
        }
        }
        if (dev.value)
            std::fprintf(stderr, "comm: cannot open COM%d (%s=%s, %s): %s\n", static_cast<int>(port), dev.var,
                         dev.value, dev.device, why);
        else
            std::fprintf(stderr, "comm: cannot open %s: %s\n", dev.device + 4, why);
        std::fflush(stderr);
        return code;
    }

    static int32_t open(int32_t port, const comm::LineSettings &line, HANDLE *out)
    {
        comm::WinPortDevice dev = comm::winPortDevice(port);
        if (!dev.device[0]) {
            std::fprintf(
                stderr,
                "comm: cannot open COM%d: %s=%.64s names no COM port; set it to COM1 to COM%d (as COM7, com7 or "
                "\\\\.\\COM7), or leave it empty for \\\\.\\COM%d\n",
                static_cast<int>(port), dev.var, dev.value, comm::MAX_COM_NUMBER, static_cast<int>(port));
            std::fflush(stderr);
            return comm::NO_DEVICE;
        }
        // Share mode 0: the port is this program's alone while it is open.
        HANDLE h = CreateFileA(dev.device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD err = GetLastError();
            return refuse(port, dev, err,
                          err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION ? comm::IN_USE
                                                                                       : comm::NO_DEVICE);
        }
        SetupComm(h, DRIVER_QUEUE, DRIVER_QUEUE); // advisory; a driver may keep its own sizes
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h, &dcb)) {
            DWORD err = GetLastError();
            CloseHandle(h);
            return refuse(port, dev, err, comm::NOT_SERIAL);
        }
        dcb.BaudRate = static_cast<DWORD>(line.baud);
        dcb.ByteSize = static_cast<BYTE>(line.dataBits);
        dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        switch (line.parity) {
        case comm::Parity::None:
            dcb.Parity = NOPARITY;
            break;
        case comm::Parity::Even:
            dcb.Parity = EVENPARITY;
            break;
        case comm::Parity::Odd:
            dcb.Parity = ODDPARITY;
            break;
        }
        dcb.fBinary = TRUE;
        dcb.fParity = line.parity != comm::Parity::None;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(h, &dcb)) {
            DWORD err = GetLastError();
            CloseHandle(h);
            return refuse(port, dev, err, comm::SETTINGS_REFUSED);
        }
        COMMTIMEOUTS to;
        to.ReadIntervalTimeout = MAXDWORD; // with both read totals 0: return at once
        to.ReadTotalTimeoutMultiplier = 0;
        to.ReadTotalTimeoutConstant = 0;
        to.WriteTotalTimeoutMultiplier = 0;
        to.WriteTotalTimeoutConstant = WRITE_WAIT_MS;
        if (!SetCommTimeouts(h, &to)) {
            CloseHandle(h);
            return comm::NO_TIMEOUTS;
        }
        PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
        timeBeginPeriod(1);
        *out = h;
        return comm::SETUP_OK;
    }

    static void close(HANDLE h)
    {
        CloseHandle(h);
        timeEndPeriod(1);
    }

    static int32_t read(HANDLE h, char *buf, int32_t max)
    {
        DWORD got = 0;
        if (!ReadFile(h, buf, static_cast<DWORD>(max), &got, nullptr))
            return 0;
        if (got > 0)
            lastActivity = nowMs();
        return static_cast<int32_t>(got);
    }

    static int32_t write(HANDLE h, const char *buf, int32_t len)
    {
        if (len == 0)
            return 0;
        DWORD put = 0;
        if (WriteFile(h, buf, static_cast<DWORD>(len), &put, nullptr) || put > 0) {
            lastActivity = nowMs();
            return static_cast<int32_t>(put);
        }
        return GetLastError() == ERROR_TIMEOUT ? 0 : -1;
    }

    static COMSTAT status(HANDLE h)
    {
        COMSTAT st;
        DWORD errors = 0;
        if (!ClearCommError(h, &errors, &st))
            ZeroMemory(&st, sizeof st);
        return st;
    }

    static int32_t inQueue(HANDLE h)
    {
        DWORD n = status(h).cbInQue;
        return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
    }

    static int32_t outQueue(HANDLE h)
    {
        DWORD n = status(h).cbOutQue;
        return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n);
    }

    static void purgeInput(HANDLE h) { PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR); }
    static void purgeOutput(HANDLE h) { PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR); }

    // WriteFile itself waits for room (WRITE_WAIT_MS); a short pause between
    // attempts is all that is needed here.
    static void waitWritable(HANDLE, int32_t ms) { Sleep(ms < 1 ? 0 : 1); }

    // While bytes are coming in, or a reply may be about to (just after a
    // line went out), the next poll follows at once: a caller that watches
    // for a gap of a few character times between bytes must see the bytes
    // as they come.  Once the line has been quiet for BUSY_POLL_MS, a poll
    // that finds nothing sleeps one millisecond (the timer period set at the
    // open), so that waiting for a silent module no longer keeps a
    // processor busy.
    static bool waitReadable(HANDLE)
    {
        if (nowMs() - lastActivity < BUSY_POLL_MS)
            return false;
        Sleep(1);
        return true;
    }

    static int64_t nowMs()
    {
        LARGE_INTEGER freq, count;
        QueryPerformanceFrequency(&freq);
        QueryPerformanceCounter(&count);
        return count.QuadPart / (freq.QuadPart / 1000 > 0 ? freq.QuadPart / 1000 : 1);
    }
};

comm::Library<Win32Port> lib;

} // namespace

COMM_DEFINE_EXPORTS(lib)
