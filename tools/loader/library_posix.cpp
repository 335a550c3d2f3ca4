// The native module on POSIX: a shared object, veldran.so beside the program.
#include <dlfcn.h>
#include <unistd.h>

#include <climits>

#include "library.h"

namespace loader {

void *openLibrary(const std::string &path, std::string &error)
{
    // The module's serial-library functions are resolved from the
    // libcomm_posix.so that this program carries.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *e = dlerror();
        error = e ? e : "dlopen failed";
    }
    return handle;
}

void *librarySymbol(void *library, const char *name) { return library ? dlsym(library, name) : nullptr; }

void closeLibrary(void *library)
{
    if (library)
        dlclose(library);
}

std::string defaultLibraryPath()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::string dir = ".";
    if (n > 0) {
        std::string p(buf, static_cast<size_t>(n));
        size_t slash = p.rfind('/');
        if (slash != std::string::npos)
            dir = p.substr(0, slash);
    }
    return dir + "/veldran.so";
}

} // namespace loader
