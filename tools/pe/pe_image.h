// Reading a 32-bit Windows DLL (i386 PE) from its file bytes: the headers,
// sections, base relocations, imports by name, exports and the version
// resource; and laying the image out at a chosen base with its relocations
// applied.  Pure functions over bytes, no emulator: every field is checked
// against the file and the image before it is used, so that any file, cut
// short or made up, gives a message and never a read outside the buffer.
#ifndef TOOLS_PE_PE_IMAGE_H
#define TOOLS_PE_PE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pe {

struct Section {
    std::string name;
    uint32_t rva = 0;
    uint32_t virtualSize = 0;
    uint32_t fileOffset = 0;
    uint32_t rawSize = 0; // bytes taken from the file (the rest is zero)
};

struct Import {
    std::string dll;      // as named in the file ("KERNEL32.dll")
    std::string name;     // the function's (or data's) name
    uint32_t slotRva = 0; // its slot in the import address table
};

struct Image {
    uint32_t preferredBase = 0;
    uint32_t sizeOfImage = 0;
    uint32_t sizeOfHeaders = 0;
    uint32_t entryRva = 0; // 0: none
    bool isDll = false;
    std::vector<Section> sections;
    std::vector<uint32_t> relocations; // RVAs of 32-bit absolute fix-ups
    std::vector<Import> imports;
    std::map<std::string, uint32_t> exports; // name -> RVA
    std::string fileVersion;                 // "1.4.0.0" from the version resource, or empty
};

// Reads the headers and tables of `data`.  false: `error` says what is wrong
// ("not a PE file", "a 64-bit PE file, not i386", ...).
bool parseImage(const uint8_t *data, size_t size, Image &image, std::string &error);

// Lays the image out in `out` (image.sizeOfImage bytes) as the loader would
// at `base`: headers, sections, and every relocation moved by base minus the
// preferred base.
bool mapImage(const uint8_t *data, size_t size, const Image &image, uint32_t base, uint8_t *out, std::string &error);

// The whole file into `bytes`.
bool readFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error);

} // namespace pe

#endif
