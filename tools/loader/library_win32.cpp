// The module on Windows: a DLL loaded by file name, veldran.tlm beside the
// program.
#include <windows.h>

#include "library.h"

namespace loader {

namespace {
std::string lastErrorText()
{
    DWORD code = GetLastError();
    char *text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<char *>(&text), 0, nullptr);
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

bool isAbsolute(const std::string &p)
{
    return (p.size() > 2 && p[1] == ':') || (!p.empty() && (p[0] == '\\' || p[0] == '/'));
}
} // namespace

void *openLibrary(const std::string &path, std::string &error)
{
    // With a full path, the DLLs the module imports (comm.dll) are looked
    // for beside the module first.
    HMODULE h = isAbsolute(path) ? LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH)
                                 : LoadLibraryA(path.c_str());
    if (!h)
        error = lastErrorText();
    return reinterpret_cast<void *>(h);
}

void *librarySymbol(void *library, const char *name)
{
    if (!library)
        return nullptr;
    return reinterpret_cast<void *>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void closeLibrary(void *library)
{
    if (library)
        FreeLibrary(reinterpret_cast<HMODULE>(library));
}

std::string defaultLibraryPath()
{
    char buf[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    std::string dir = ".";
    if (n != 0 && n < sizeof buf) {
        std::string p(buf, n);
        size_t sep = p.find_last_of("\\/");
        if (sep != std::string::npos)
            dir = p.substr(0, sep);
    }
    return dir + "\\veldran.tlm";
}

} // namespace loader
