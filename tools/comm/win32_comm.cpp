// The serial library on Windows COM ports: comm.dll, exporting the eight
// _COM functions and nothing else.
//
// Port n (1 to 4) is \\.\COMn, opened for exclusive use, with no flow
// control and time-outs that make every read return at once with what has
// arrived.  The receive and transmit queues are rings in the caller's
// buffers (see comm_core.h); the driver's own queues sit behind them, are
// counted through ClearCommError and emptied with PurgeComm.
#include <windows.h>

#include <stdio.h>

#include "../../serial/comm.h"
#include "comm_core.h"

namespace {

// How long one WriteFile may wait for room in the driver's queue before it
// returns with what it took.
constexpr DWORD kWriteWaitMs = 20;
// Driver queue sizes asked for; the driver may choose others.
constexpr DWORD kDriverQueue = 4096;

struct Win32Port {
    using Handle = HANDLE;
    static constexpr Handle kNone = nullptr;

    static int32_t open(int32_t port, const comm::LineSettings &line, HANDLE *out)
    {
        char name[16];
        snprintf(name, sizeof name, "\\\\.\\COM%d", port);
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return comm::kNoDevice;
        SetupComm(h, kDriverQueue, kDriverQueue); // advisory; a driver may keep its own sizes
        DCB dcb;
        ZeroMemory(&dcb, sizeof dcb);
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(h, &dcb)) {
            CloseHandle(h);
            return comm::kNotSerial;
        }
        dcb.BaudRate = static_cast<DWORD>(line.baud);
        dcb.ByteSize = static_cast<BYTE>(line.dataBits);
        dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
        switch (line.parity) {
        case comm::Parity::None: dcb.Parity = NOPARITY; break;
        case comm::Parity::Even: dcb.Parity = EVENPARITY; break;
        case comm::Parity::Odd: dcb.Parity = ODDPARITY; break;
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
            CloseHandle(h);
            return comm::kSettingsRefused;
        }
        COMMTIMEOUTS to;
        to.ReadIntervalTimeout = MAXDWORD; // with both read totals 0: return at once
        to.ReadTotalTimeoutMultiplier = 0;
        to.ReadTotalTimeoutConstant = 0;
        to.WriteTotalTimeoutMultiplier = 0;
        to.WriteTotalTimeoutConstant = kWriteWaitMs;
        if (!SetCommTimeouts(h, &to)) {
            CloseHandle(h);
            return comm::kNoTimeouts;
        }
        PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
        *out = h;
        return comm::kSetupOk;
    }

    static void close(HANDLE h) { CloseHandle(h); }

    static int32_t read(HANDLE h, char *buf, int32_t max)
    {
        DWORD got = 0;
        if (!ReadFile(h, buf, static_cast<DWORD>(max), &got, nullptr))
            return 0;
        return static_cast<int32_t>(got);
    }

    static int32_t write(HANDLE h, const char *buf, int32_t len)
    {
        if (len == 0)
            return 0;
        DWORD put = 0;
        if (WriteFile(h, buf, static_cast<DWORD>(len), &put, nullptr) || put > 0)
            return static_cast<int32_t>(put);
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

    // WriteFile itself waits for room (kWriteWaitMs); a short pause between
    // attempts is all that is needed here.
    static void waitWritable(HANDLE, int32_t ms) { Sleep(ms < 1 ? 0 : 1); }

    // Sleep's granularity is far coarser than a character: no idle wait.
    static bool waitReadable(HANDLE) { return false; }

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
