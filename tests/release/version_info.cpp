// version_info: prints the version resource of each file named on the
// command line as Windows reads it (GetFileVersionInfo, VerQueryValue), one
// "NAME=VALUE" line per item, for the release checks:
//
//   file=PATH
//   fixed.file=1.0.0.0    fixed.product=1.0.0.0    fixed.type=dll|app|other
//   FileVersion=...  ProductVersion=...  ProductName=...  FileDescription=...
//   OriginalFilename=...  InternalName=...  LegalCopyright=...
//
// Exit status 1 when a file has no version resource.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string fourPart(DWORD ms, DWORD ls)
{
    return std::to_string(HIWORD(ms)) + "." + std::to_string(LOWORD(ms)) + "." + std::to_string(HIWORD(ls)) + "." +
           std::to_string(LOWORD(ls));
}

bool show(const char *path)
{
    std::printf("file=%s\n", path);
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(path, &handle);
    if (size == 0) {
        std::printf("error=no version resource (%lu)\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    std::vector<char> data(size);
    if (!GetFileVersionInfoA(path, 0, size, data.data())) {
        std::printf("error=GetFileVersionInfo failed (%lu)\n", static_cast<unsigned long>(GetLastError()));
        return false;
    }
    void *p = nullptr;
    UINT len = 0;
    if (!VerQueryValueA(data.data(), "\\", &p, &len) || len < sizeof(VS_FIXEDFILEINFO)) {
        std::printf("error=no fixed file information\n");
        return false;
    }
    const VS_FIXEDFILEINFO *fixed = static_cast<const VS_FIXEDFILEINFO *>(p);
    std::printf("fixed.file=%s\n", fourPart(fixed->dwFileVersionMS, fixed->dwFileVersionLS).c_str());
    std::printf("fixed.product=%s\n", fourPart(fixed->dwProductVersionMS, fixed->dwProductVersionLS).c_str());
    std::printf("fixed.type=%s\n", fixed->dwFileType == VFT_DLL   ? "dll"
                                   : fixed->dwFileType == VFT_APP ? "app"
                                                                  : "other");

    // The strings of the first language and code page the file declares.
    struct Translation {
        WORD language, codepage;
    };
    if (!VerQueryValueA(data.data(), "\\VarFileInfo\\Translation", &p, &len) || len < sizeof(Translation)) {
        std::printf("error=no translation\n");
        return false;
    }
    const Translation *t = static_cast<const Translation *>(p);
    char block[64];
    std::snprintf(block, sizeof block, "\\StringFileInfo\\%04x%04x\\", t->language, t->codepage);
    static const char *const names[] = {"FileVersion",      "ProductVersion", "ProductName",   "FileDescription",
                                        "OriginalFilename", "InternalName",   "LegalCopyright"};
    for (const char *name : names) {
        std::string key = std::string(block) + name;
        if (VerQueryValueA(data.data(), key.c_str(), &p, &len) && len > 0)
            std::printf("%s=%s\n", name, static_cast<const char *>(p));
        else
            std::printf("%s=\n", name);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int status = 0;
    for (int i = 1; i < argc; ++i)
        if (!show(argv[i]))
            status = 1;
    return status;
}
