// See win_imports.h.
#include "win_imports.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "../../serial/comm.h"

namespace pe {
namespace {

// msvcrt's FILE is 32 bytes; _iob holds stdin, stdout and stderr.
constexpr uint32_t FILE_BYTES = 32;
constexpr uint32_t PAGE_EXECUTE_READWRITE = 0x40;
constexpr uint32_t MEM_COMMIT = 0x1000, MEM_IMAGE = 0x1000000;

// The stream behind a FILE * of the DLL: stdout or stderr of this process.
FILE *streamOf(Emulator &emu, uint32_t file)
{
    uint32_t iob = emu.dataAddress("_iob");
    if (iob && file == iob + FILE_BYTES)
        return stdout;
    return stderr;
}

// Reads the next value of a printf argument list on the guest stack.
struct Values {
    Emulator &emu;
    uint32_t at;
    uint32_t word()
    {
        uint32_t v = emu.read32(at);
        at += 4;
        return v;
    }
    uint64_t quad()
    {
        uint64_t lo = word();
        uint64_t hi = word();
        return lo | hi << 32;
    }
};

// One conversion of a printf format: `hostFormat` is what the host's
// snprintf is handed of it (the '%', the flags, width and precision, a '*'
// replaced by its value), without its type; `wide`, whether its value
// takes 64 bits ("ll", "I64"); and its type.
struct Conversion {
    std::string hostFormat = "%";
    bool wide = false;
    char type = 0;
};

// Reads a conversion from format[j], just after its '%', up to its type,
// taking the values of any '*' from `v`; returns where the type is, or the
// end of the format when it ends first.
size_t readConversion(const std::string &format, size_t j, Values &v, Conversion &c)
{
    while (j < format.size() && strchr("-+ #0", format[j]))
        c.hostFormat += format[j++];
    // The width, then the precision after a '.'.
    for (int part = 0; part < 2; ++part) {
        if (part == 1) {
            if (j >= format.size() || format[j] != '.')
                break;
            c.hostFormat += format[j++];
        }
        if (j < format.size() && format[j] == '*') {
            auto n = static_cast<int32_t>(v.word());
            ++j;
            // A negative width is the '-' flag and the width; a negative
            // precision is none.
            if (part == 1 && n < 0)
                c.hostFormat.pop_back();
            else
                c.hostFormat += std::to_string(n);
        } else {
            while (j < format.size() && isdigit(static_cast<unsigned char>(format[j])))
                c.hostFormat += format[j++];
        }
    }
    if (format.compare(j, 3, "I64") == 0) {
        c.wide = true;
        j += 3;
    } else if (format.compare(j, 2, "ll") == 0) {
        c.wide = true;
        j += 2;
    } else {
        while (j < format.size() && strchr("hlLzjtI", format[j]))
            ++j;
    }
    return j;
}

// One value as the host's snprintf prints it with `hostFormat`, cut at 511
// bytes.
template <typename T> void appendPrinted(std::string &out, const std::string &hostFormat, T value)
{
    char buf[512];
    buf[0] = '\0';
    snprintf(buf, sizeof buf, hostFormat.c_str(), value);
    out += buf;
}

// A string argument: the whole of it, however wide the field.
void appendString(Emulator &emu, std::string &out, const std::string &hostFormat, uint32_t p)
{
    std::string s;
    if (p == 0)
        s = "(null)";
    else if (!emu.string(p, s))
        s = "(bad pointer)";
    int n = snprintf(nullptr, 0, hostFormat.c_str(), s.c_str());
    if (n > 0) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        snprintf(&big[0], big.size(), hostFormat.c_str(), s.c_str());
        big.resize(static_cast<size_t>(n));
        out += big;
    }
}

// Formats the value of one conversion, taken from `v`; false for a type
// it does not know, which takes no value.
bool formatConversion(Emulator &emu, const Conversion &c, Values &v, std::string &out)
{
    switch (c.type) {
    case '%':
        out += '%';
        break;
    case 'd':
    case 'i':
        if (c.wide)
            appendPrinted(out, c.hostFormat + "lld", static_cast<long long>(v.quad()));
        else
            appendPrinted(out, c.hostFormat + "d", static_cast<int32_t>(v.word()));
        break;
    case 'u':
    case 'x':
    case 'X':
    case 'o':
        if (c.wide)
            appendPrinted(out, c.hostFormat + "ll" + c.type, static_cast<unsigned long long>(v.quad()));
        else
            appendPrinted(out, c.hostFormat + c.type, v.word());
        break;
    case 'c':
        appendPrinted(out, c.hostFormat + "c", static_cast<int>(v.word() & 0xff));
        break;
    case 'p':
        appendPrinted(out, "%08X", v.word());
        break;
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A': {
        uint64_t bits = v.quad();
        double d;
        memcpy(&d, &bits, sizeof d);
        appendPrinted(out, c.hostFormat + c.type, d);
        break;
    }
    case 's':
        appendString(emu, out, c.hostFormat + "s", v.word());
        break;
    case 'n':
        v.word(); // never written to
        break;
    default:
        return false;
    }
    return true;
}

void add(ImportTable &t, const char *dll, const char *name, NativeImport fn, uint16_t pops = 0)
{
    ImportBinding b;
    b.fn = std::move(fn);
    b.calleePops = pops;
    t[dll][name] = b;
}

void addKernel32(ImportTable &t)
{
    const char *k = "kernel32.dll";
    // One thread, no other DLLs: the critical sections have nothing to
    // guard, and the start-up code's look-ups of optional DLLs find nothing.
    for (const char *cs :
         {"InitializeCriticalSection", "DeleteCriticalSection", "EnterCriticalSection", "LeaveCriticalSection"})
        add(
            t, k, cs, [](Emulator &) { return 0u; }, 4);
    add(
        t, k, "GetModuleHandleA", [](Emulator &) { return 0u; }, 4);
    add(
        t, k, "LoadLibraryA", [](Emulator &) { return 0u; }, 4);
    add(
        t, k, "GetProcAddress", [](Emulator &) { return 0u; }, 8);
    add(
        t, k, "FreeLibrary", [](Emulator &) { return 1u; }, 4);
    add(
        t, k, "GetLastError", [](Emulator &) { return 0u; }, 0);
    add(
        t, k, "TlsGetValue", [](Emulator &) { return 0u; }, 4);
    add(
        t, k, "Sleep",
        [](Emulator &e) {
            uint32_t ms = e.arg(0);
            if (ms > 1000)
                ms = 1000;
            timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
            nanosleep(&ts, nullptr);
            return 0u;
        },
        4);
    // The whole arena is readable, writable and executable.
    add(
        t, k, "VirtualProtect",
        [](Emulator &e) {
            if (e.arg(3))
                e.write32(e.arg(3), PAGE_EXECUTE_READWRITE);
            return 1u;
        },
        16);
    add(
        t, k, "VirtualQuery",
        [](Emulator &e) {
            uint32_t addr = e.arg(0), info = e.arg(1), len = e.arg(2);
            if (len < 28 || !e.span(info, 28) || !e.span(addr, 1))
                return 0u;
            uint32_t page = addr & ~0xfffu;
            const uint32_t fields[7] = {page,
                                        e.arenaBase(),
                                        PAGE_EXECUTE_READWRITE,
                                        e.arenaEnd() - page,
                                        MEM_COMMIT,
                                        PAGE_EXECUTE_READWRITE,
                                        MEM_IMAGE};
            memcpy(e.span(info, 28), fields, sizeof fields);
            return 28u;
        },
        12);
}

const char *const MSVCRT = "msvcrt.dll";

// What the C runtime's start-up and its error paths call.
void addCrtRuntime(ImportTable &t)
{
    const char *m = MSVCRT;
    ImportBinding initTerm;
    initTerm.initTerm = true;
    t[m]["_initterm"] = initTerm;
    add(t, m, "_lock", [](Emulator &) { return 0u; });
    add(t, m, "_unlock", [](Emulator &) { return 0u; });
    add(t, m, "_errno", [](Emulator &e) { return e.importState("errno", 4); });
    add(t, m, "abort", [](Emulator &e) {
        e.raise("the DLL called abort()");
        return 0u;
    });
    add(t, m, "_amsg_exit", [](Emulator &e) {
        e.raise("the DLL's C runtime stopped with error " + std::to_string(e.arg(0)));
        return 0u;
    });
}

// The heap, the string functions and the character classes.
void addCrtMemoryAndStrings(ImportTable &t)
{
    const char *m = MSVCRT;
    add(t, m, "calloc", [](Emulator &e) {
        uint64_t n = static_cast<uint64_t>(e.arg(0)) * e.arg(1);
        return n > 0xffffffffu ? 0u : e.heapAlloc(static_cast<uint32_t>(n));
    });
    add(t, m, "realloc", [](Emulator &e) { return e.heapRealloc(e.arg(0), e.arg(1)); });
    add(t, m, "free", [](Emulator &) { return 0u; });
    add(t, m, "strlen", [](Emulator &e) {
        std::string s;
        if (!e.string(e.arg(0), s, 0xffffffu))
            e.raise("strlen of an unterminated string");
        return static_cast<uint32_t>(s.size());
    });
    add(t, m, "strncmp", [](Emulator &e) {
        uint32_t a = e.arg(0), b = e.arg(1), n = e.arg(2);
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t *x = e.span(a + i, 1), *y = e.span(b + i, 1);
            if (!x || !y) {
                e.raise("strncmp outside the DLL's memory");
                return 0u;
            }
            if (*x != *y)
                return static_cast<uint32_t>(*x < *y ? -1 : 1);
            if (*x == 0)
                break;
        }
        return 0u;
    });
    add(t, m, "strncpy", [](Emulator &e) {
        uint32_t dst = e.arg(0), src = e.arg(1), n = e.arg(2);
        uint8_t *d = e.span(dst, n);
        if (!d) {
            e.raise("strncpy outside the DLL's memory");
            return dst;
        }
        uint32_t i = 0;
        for (; i < n; ++i) {
            const uint8_t *c = e.span(src + i, 1);
            if (!c) {
                e.raise("strncpy outside the DLL's memory");
                return dst;
            }
            d[i] = *c;
            if (*c == 0)
                break;
        }
        for (; i < n; ++i)
            d[i] = 0;
        return dst;
    });
    add(t, m, "isspace", [](Emulator &e) { return static_cast<uint32_t>(isspace(static_cast<int>(e.arg(0) & 0xff))); });
    add(t, m, "isupper", [](Emulator &e) { return static_cast<uint32_t>(isupper(static_cast<int>(e.arg(0) & 0xff))); });
    add(t, m, "islower", [](Emulator &e) { return static_cast<uint32_t>(islower(static_cast<int>(e.arg(0) & 0xff))); });
}

// stdin, stdout and stderr, and output to them.
void addCrtStdio(ImportTable &t)
{
    const char *m = MSVCRT;
    ImportBinding iob;
    iob.dataBytes = 3 * FILE_BYTES;
    t[m]["_iob"] = iob;
    add(t, m, "fwrite", [](Emulator &e) {
        uint64_t n = static_cast<uint64_t>(e.arg(1)) * e.arg(2);
        const uint8_t *p = n <= 0xffffffffu ? e.span(e.arg(0), static_cast<uint32_t>(n)) : nullptr;
        if (!p || e.arg(1) == 0)
            return 0u;
        fwrite(p, 1, static_cast<size_t>(n), streamOf(e, e.arg(3)));
        return e.arg(2);
    });
    add(t, m, "vfprintf", [](Emulator &e) {
        std::string format;
        if (!e.string(e.arg(1), format))
            return 0u;
        std::string text = formatGuest(e, format, e.arg(2));
        fwrite(text.data(), 1, text.size(), streamOf(e, e.arg(0)));
        return static_cast<uint32_t>(text.size());
    });
}

void addMsvcrt(ImportTable &t)
{
    addCrtRuntime(t);
    addCrtMemoryAndStrings(t);
    addCrtStdio(t);
}

} // namespace

std::string formatGuest(Emulator &emu, const std::string &format, uint32_t valuesAt)
{
    Values v{emu, valuesAt};
    std::string out;
    size_t i = 0;
    while (i < format.size()) {
        if (format[i] != '%') {
            out += format[i++];
            continue;
        }
        Conversion c;
        size_t j = readConversion(format, i + 1, v, c);
        if (j >= format.size()) {
            out += format.substr(i);
            break;
        }
        c.type = format[j];
        if (!formatConversion(emu, c, v, out))
            out += format.substr(i, j + 1 - i);
        i = j + 1;
    }
    return out;
}

void addSystemImports(ImportTable &table)
{
    addKernel32(table);
    addMsvcrt(table);
}

void addSerialImports(ImportTable &t)
{
    const char *c = "comm.dll";
    // Buffers are guest memory, which is host memory at the same address.
    auto ptr = [](Emulator &e, uint32_t addr, uint32_t len) -> char * {
        return reinterpret_cast<char *>(e.span(addr, len));
    };
    add(t, c, "_COMsetup", [ptr](Emulator &e) {
        int32_t rcvSize = static_cast<int32_t>(e.arg(1)), xmitSize = static_cast<int32_t>(e.arg(3));
        char *rcv = rcvSize > 0 ? ptr(e, e.arg(2), static_cast<uint32_t>(rcvSize)) : nullptr;
        char *xmit = xmitSize > 0 ? ptr(e, e.arg(4), static_cast<uint32_t>(xmitSize)) : nullptr;
        return static_cast<uint32_t>(_COMsetup(static_cast<int32_t>(e.arg(0)), rcvSize, rcv, xmitSize, xmit,
                                               static_cast<int32_t>(e.arg(5)), static_cast<int32_t>(e.arg(6)),
                                               static_cast<int32_t>(e.arg(7)), static_cast<int32_t>(e.arg(8))));
    });
    add(t, c, "_COMwrite", [ptr](Emulator &e) {
        int32_t len = static_cast<int32_t>(e.arg(2));
        const char *buf = len >= 0 ? ptr(e, e.arg(1), static_cast<uint32_t>(len)) : nullptr;
        if (!buf && len != 0)
            return 0u;
        return static_cast<uint32_t>(_COMwrite(static_cast<int32_t>(e.arg(0)), buf, len));
    });
    add(t, c, "_COMdisable",
        [](Emulator &e) { return static_cast<uint32_t>(_COMdisable(static_cast<int32_t>(e.arg(0)))); });
    add(t, c, "_COMgetc", [](Emulator &e) { return static_cast<uint32_t>(_COMgetc(static_cast<int32_t>(e.arg(0)))); });
    add(t, c, "_COMrcvqueue",
        [](Emulator &e) { return static_cast<uint32_t>(_COMrcvqueue(static_cast<int32_t>(e.arg(0)))); });
    add(t, c, "_COMxmitqueue",
        [](Emulator &e) { return static_cast<uint32_t>(_COMxmitqueue(static_cast<int32_t>(e.arg(0)))); });
    add(t, c, "_COMrcvclear",
        [](Emulator &e) { return static_cast<uint32_t>(_COMrcvclear(static_cast<int32_t>(e.arg(0)))); });
    add(t, c, "_COMxmitclear",
        [](Emulator &e) { return static_cast<uint32_t>(_COMxmitclear(static_cast<int32_t>(e.arg(0)))); });
}

} // namespace pe
