// Platform services on Windows: the module is a DLL loaded by file name.
#include "platform.h"

#include <windows.h>

namespace vhost {

namespace {
std::string last_error_text()
{
    DWORD code = GetLastError();
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string s = "error " + std::to_string(code);
    if (text) {
        std::string t(text);
        while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' '))
            t.pop_back();
        s += ": " + t;
        LocalFree(text);
    }
    return s;
}

bool is_absolute(const std::string &p)
{
    return (p.size() > 2 && p[1] == ':') || (!p.empty() && (p[0] == '\\' || p[0] == '/'));
}
} // namespace

bool load_library(const std::string &path, LoadedLibrary &lib, std::string &error)
{
    // With a full path, the DLLs the module imports (comm.dll) are looked
    // for beside the module first.
    HMODULE h = is_absolute(path) ? LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                                  : LoadLibraryA(path.c_str());
    if (!h) {
        error = last_error_text();
        return false;
    }
    lib.handle = reinterpret_cast<void *>(h);
    return true;
}

void *find_symbol(const LoadedLibrary &lib, const char *name)
{
    if (!lib.handle)
        return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(lib.handle), name));
}

void unload_library(LoadedLibrary &lib)
{
    if (lib.handle)
        FreeLibrary(reinterpret_cast<HMODULE>(lib.handle));
    lib.handle = nullptr;
}

std::string executable_dir()
{
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    if (n == 0 || n >= sizeof buf)
        return ".";
    std::string p(buf, n);
    size_t sep = p.find_last_of("\\/");
    return sep == std::string::npos ? "." : p.substr(0, sep);
}

const char *default_module_name() { return "veldran.tlm"; }
char path_separator() { return '\\'; }

void sleep_ms(int ms)
{
    if (ms > 0)
        Sleep(static_cast<DWORD>(ms));
}

} // namespace vhost
