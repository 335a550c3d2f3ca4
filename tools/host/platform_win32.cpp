// Platform services on Windows.
#include "platform.h"

#include <windows.h>

#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "../comm/win_port_map.h"

namespace vhost {

// The Windows serial library keeps no such count.
bool countsReceived() { return false; }
long long receivedOnPort(int) { return -1; }

// comm.dll exports the eight _COM functions and nothing else.
bool watchSerialLibrary(SerialWatcher) { return false; }

namespace {

// The ports open for listening; a port's number for the monitor is its
// place here.
struct Listening {
    HANDLE h = INVALID_HANDLE_VALUE;
    int waitMs = -1; // the read time-out set last
};
std::vector<Listening> listening;

std::string lastErrorText()
{
    char text[256] = {};
    const DWORD code = GetLastError();
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text, sizeof text,
                        nullptr))
        return "error " + std::to_string(code);
    std::string s = text;
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.'))
        s.pop_back();
    return s;
}

// A read returns what has come at once, or waits up to `waitMs` for the
// first byte and returns with it.
bool setReadWait(Listening &l, int waitMs)
{
    if (l.waitMs == waitMs)
        return true;
    COMMTIMEOUTS t = {};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = waitMs > 0 ? MAXDWORD : 0;
    t.ReadTotalTimeoutConstant = waitMs > 0 ? static_cast<DWORD>(waitMs) : 0;
    if (!SetCommTimeouts(l.h, &t))
        return false;
    l.waitMs = waitMs;
    return true;
}

} // namespace

int openListenPort(const std::string &device, int baud, std::string &error)
{
    // Read access only: nothing this program does can put a byte on the
    // line.  "\\.\COMn" names every port, COM10 and up too.
    const std::string path = device.rfind("\\\\.\\", 0) == 0 ? device : "\\\\.\\" + device;
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        error = "cannot open " + device + " for listening: " + lastErrorText();
        return -1;
    }
    // Raw at `baud`, 8N1, no flow control; the modem lines are left as
    // they are (an RS-485 adapter may switch its driver by one of them).
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    bool ok = GetCommState(h, &dcb);
    if (ok) {
        dcb.BaudRate = static_cast<DWORD>(baud);
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
        dcb.fOutX = dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        dcb.fAbortOnError = FALSE;
        ok = SetCommState(h, &dcb);
    }
    Listening l{h, -1};
    if (!ok || !setReadWait(l, 0)) {
        error = "cannot set " + device + " to " + std::to_string(baud) + " baud: " + lastErrorText();
        CloseHandle(h);
        return -1;
    }
    PurgeComm(h, PURGE_RXCLEAR); // only what it held from before: nothing goes out
    for (size_t i = 0; i < listening.size(); ++i)
        if (listening[i].h == INVALID_HANDLE_VALUE) {
            listening[i] = l;
            return static_cast<int>(i);
        }
    listening.push_back(l);
    return static_cast<int>(listening.size() - 1);
}

int readListenPort(int fd, char *buf, int n, int waitMs)
{
    if (fd < 0 || static_cast<size_t>(fd) >= listening.size() || listening[fd].h == INVALID_HANDLE_VALUE)
        return -1;
    Listening &l = listening[fd];
    DWORD got = 0;
    if (!setReadWait(l, waitMs) || !ReadFile(l.h, buf, static_cast<DWORD>(n), &got, nullptr)) {
        // A port whose adapter was pulled fails every call from then on.
        DWORD errors = 0;
        return ClearCommError(l.h, &errors, nullptr) ? 0 : -1;
    }
    return static_cast<int>(got);
}

void closeListenPort(int fd)
{
    if (fd < 0 || static_cast<size_t>(fd) >= listening.size() || listening[fd].h == INVALID_HANDLE_VALUE)
        return;
    CloseHandle(listening[fd].h);
    listening[fd] = Listening{};
}

int readInput(int fd, char *buf, int n, int)
{
    const int r = _read(fd, buf, static_cast<unsigned>(n));
    return r > 0 ? r : -1;
}

bool stdinTerminal() { return _isatty(_fileno(stdin)) != 0; }

void stdinKeys(bool keys)
{
    HANDLE h = GetStdHandle(STD_INPUT_HANDLE);
    static DWORD saved = 0;
    static bool changed = false;
    if (keys && !changed && GetConsoleMode(h, &saved))
        changed = SetConsoleMode(h, saved & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT)) != 0;
    else if (!keys && changed) {
        SetConsoleMode(h, saved);
        changed = false;
    }
}

void sleepMs(int ms)
{
    if (ms > 0)
        Sleep(static_cast<DWORD>(ms));
}

void comPortDevice(int port, std::string &device, std::string &source)
{
    // The port comm.dll opens: VELDRAN_COMn's, else COMn.
    comm::WinPortDevice dev = comm::winPortDevice(port);
    std::string from = dev.value ? std::string("environment ") + dev.var : "";
    if (!dev.device[0]) {
        device = "no port";
        source = from + "=" + dev.value + ", which names no COM port";
        return;
    }
    const char *name = dev.device + 4; // "COM7"
    device = dev.device;
    // Under wine a COM port is whatever HKLM\Software\Wine\Ports maps it
    // to (the scripts map COM1 to COM4 there), else the prefix's dosdevices.
    bool wine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\Wine\\Ports", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        char value[512];
        DWORD type = 0, size = sizeof value - 1;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE *>(value), &size);
        RegCloseKey(key);
        if (rc == ERROR_SUCCESS && type == REG_SZ && size > 1) {
            value[size] = '\0';
            device = value;
            source =
                (dev.value ? from + ", " : std::string()) + "wine port mapping HKLM\\Software\\Wine\\Ports\\" + name;
            return;
        }
    }
    source = dev.value ? from : wine ? "wine default: the prefix's dosdevices" : "Windows";
}

std::string listenPortName(int port)
{
    // What comm.dll opens; wine maps that name to its device itself.
    const comm::WinPortDevice dev = comm::winPortDevice(port);
    if (dev.device[0])
        return dev.device + 4;         // "COM7"
    return dev.value ? dev.value : ""; // a name that is no COM port: the open says so
}

// A Windows port is named by its number; under wine the scripts map it.
std::string defaultDeviceNote(int) { return ""; }

namespace {

// The console window's size in columns and rows.
bool consoleSize(int *columns, int *rows)
{
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return false;
    *columns = info.srWindow.Right - info.srWindow.Left + 1;
    *rows = info.srWindow.Bottom - info.srWindow.Top + 1;
    return true;
}

// The size last seen by watchTerminalSize or terminalResized.
int seenColumns = 0, seenRows = 0;

} // namespace

bool stdoutTerminal(int *columns, int *rows)
{
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
    // A console that interprets ANSI sequences.  Wine's console in a Unix
    // terminal passes the sequences on a character at a time, between
    // cursor sequences of its own, which garbles them: under wine there is
    // no such console, and the live view falls back to the plain output.
    if (GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))
        return false;
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode))
        return false;
    if (!(mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) && !SetConsoleMode(h, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING))
        return false;
    consoleSize(columns, rows);
    return true;
}

// A console tells of a new size only among its input events, which the
// host does not read: the size is compared at each look instead.
void watchTerminalSize() { consoleSize(&seenColumns, &seenRows); }

bool terminalResized(int *columns, int *rows)
{
    int c = 0, r = 0;
    if (!consoleSize(&c, &r) || (c == seenColumns && r == seenRows))
        return false;
    seenColumns = *columns = c;
    seenRows = *rows = r;
    return true;
}

} // namespace vhost
