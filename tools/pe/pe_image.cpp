// See pe_image.h.  Offsets are those of the PE32 format (i386): the COFF
// file header after the "PE\0\0" signature, the 32-bit optional header and
// its data directories, 40-byte section headers.
#include "pe_image.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace pe {
namespace {

constexpr uint16_t MACHINE_I386 = 0x014c;
constexpr uint16_t MACHINE_AMD64 = 0x8664;
constexpr uint16_t MAGIC_PE32 = 0x010b;
constexpr uint16_t MAGIC_PE32_PLUS = 0x020b;
constexpr uint16_t CHARACTERISTIC_DLL = 0x2000;
constexpr uint32_t DIR_EXPORT = 0, DIR_IMPORT = 1, DIR_RESOURCE = 2, DIR_RELOCATION = 5;
constexpr uint32_t RT_VERSION = 16;
constexpr uint32_t FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD;
// Far more than any DLL of ours; a file that asks for more is not one.
constexpr uint32_t MAX_IMAGE = 64u << 20;
constexpr size_t MAX_NAME = 256;

uint16_t get16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t get32(const uint8_t *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

// Bounds-checked reads of the laid-out image by RVA.
struct View {
    const std::vector<uint8_t> &mem;
    bool has(uint32_t rva, uint32_t len) const { return rva <= mem.size() && len <= mem.size() - rva; }
    bool u32(uint32_t rva, uint32_t &v) const
    {
        if (!has(rva, 4))
            return false;
        v = get32(&mem[rva]);
        return true;
    }
    bool u16(uint32_t rva, uint16_t &v) const
    {
        if (!has(rva, 2))
            return false;
        v = get16(&mem[rva]);
        return true;
    }
    bool text(uint32_t rva, std::string &s) const
    {
        s.clear();
        for (uint32_t i = rva; i < mem.size() && s.size() <= MAX_NAME; ++i) {
            if (mem[i] == 0)
                return !s.empty();
            s += static_cast<char>(mem[i]);
        }
        return false;
    }
};

struct Headers {
    uint32_t directories = 0; // file offset of the data directories
    uint32_t directoryCount = 0;
    uint32_t sections = 0; // file offset of the section table
    uint16_t sectionCount = 0;
};

// The MZ and PE signatures, the COFF file header and the optional header:
// an i386 PE32 file whose headers lie in it and whose image is of a sane size.
bool readFileHeaders(const uint8_t *data, size_t size, Image &image, Headers &h, std::string &error)
{
    if (size < 64 || data[0] != 'M' || data[1] != 'Z') {
        error = "not a PE file (no MZ header)";
        return false;
    }
    uint32_t peAt = get32(data + 0x3c);
    if (peAt > size || size - peAt < 24 || memcmp(data + peAt, "PE\0\0", 4) != 0) {
        error = "not a PE file (no PE signature)";
        return false;
    }
    const uint8_t *coff = data + peAt + 4;
    uint16_t machine = get16(coff);
    h.sectionCount = get16(coff + 2);
    uint16_t optionalSize = get16(coff + 16);
    uint16_t characteristics = get16(coff + 18);
    uint32_t optAt = peAt + 24;
    if (machine == MACHINE_AMD64) {
        error = "a 64-bit PE file (x86-64), not a 32-bit i386 one";
        return false;
    }
    if (machine != MACHINE_I386) {
        error = "a PE file for machine " + std::to_string(machine) + ", not i386";
        return false;
    }
    if (optionalSize < 96 || optAt > size || size - optAt < optionalSize) {
        error = "truncated PE headers";
        return false;
    }
    const uint8_t *opt = data + optAt;
    uint16_t magic = get16(opt);
    if (magic == MAGIC_PE32_PLUS) {
        error = "a 64-bit PE file (PE32+), not a 32-bit one";
        return false;
    }
    if (magic != MAGIC_PE32) {
        error = "unknown optional header";
        return false;
    }
    image.isDll = (characteristics & CHARACTERISTIC_DLL) != 0;
    image.entryRva = get32(opt + 16);
    image.preferredBase = get32(opt + 28);
    image.sizeOfImage = get32(opt + 56);
    image.sizeOfHeaders = get32(opt + 60);
    h.directoryCount = get32(opt + 92);
    h.directories = optAt + 96;
    uint32_t room = (optionalSize - 96u) / 8u;
    if (h.directoryCount > room)
        h.directoryCount = room;
    if (image.sizeOfImage == 0 || image.sizeOfImage > MAX_IMAGE) {
        error = "image size " + std::to_string(image.sizeOfImage) + " out of range";
        return false;
    }
    if (image.sizeOfHeaders > size || image.sizeOfHeaders > image.sizeOfImage) {
        error = "truncated PE headers";
        return false;
    }
    h.sections = optAt + optionalSize;
    return true;
}

// The section table, every section inside the image and its raw data inside
// the file.
bool readSections(const uint8_t *data, size_t size, Image &image, const Headers &h, std::string &error)
{
    if (h.sections > size || (size - h.sections) / 40 < static_cast<size_t>(h.sectionCount)) {
        error = "truncated section table";
        return false;
    }
    for (uint16_t i = 0; i < h.sectionCount; ++i) {
        const uint8_t *s = data + h.sections + 40u * i;
        Section sec;
        sec.name.assign(reinterpret_cast<const char *>(s), strnlen(reinterpret_cast<const char *>(s), 8));
        sec.virtualSize = get32(s + 8);
        sec.rva = get32(s + 12);
        sec.rawSize = get32(s + 16);
        sec.fileOffset = get32(s + 20);
        if (sec.virtualSize == 0)
            sec.virtualSize = sec.rawSize;
        if (sec.rawSize > sec.virtualSize)
            sec.rawSize = sec.virtualSize;
        if (sec.rva > image.sizeOfImage || sec.virtualSize > image.sizeOfImage - sec.rva) {
            error = "section " + sec.name + " lies outside the image";
            return false;
        }
        if (sec.rawSize && (sec.fileOffset > size || sec.rawSize > size - sec.fileOffset)) {
            error = "truncated file: section " + sec.name + " is cut short";
            return false;
        }
        image.sections.push_back(sec);
    }
    return true;
}

void layOut(const uint8_t *data, const Image &image, uint8_t *out)
{
    memset(out, 0, image.sizeOfImage);
    memcpy(out, data, image.sizeOfHeaders);
    for (const Section &s : image.sections)
        if (s.rawSize)
            memcpy(out + s.rva, data + s.fileOffset, s.rawSize);
}

bool directory(const uint8_t *data, const Headers &h, uint32_t index, uint32_t &rva, uint32_t &len)
{
    rva = len = 0;
    if (index >= h.directoryCount)
        return false;
    rva = get32(data + h.directories + 8 * index);
    len = get32(data + h.directories + 8 * index + 4);
    return rva != 0 && len != 0;
}

bool readExports(const View &v, uint32_t dir, Image &image, std::string &error)
{
    uint32_t count = 0, names = 0, functions = 0, nameTable = 0, ordinals = 0;
    if (!v.u32(dir + 20, count) || !v.u32(dir + 24, names) || !v.u32(dir + 28, functions) ||
        !v.u32(dir + 32, nameTable) || !v.u32(dir + 36, ordinals)) {
        error = "export directory outside the image";
        return false;
    }
    for (uint32_t i = 0; i < names && i < 65536; ++i) {
        uint32_t nameRva = 0, fnRva = 0;
        uint16_t ordinal = 0;
        std::string name;
        if (!v.u32(nameTable + 4 * i, nameRva) || !v.u16(ordinals + 2 * i, ordinal) || ordinal >= count ||
            !v.u32(functions + 4u * ordinal, fnRva) || !v.text(nameRva, name)) {
            error = "export table outside the image";
            return false;
        }
        image.exports[name] = fnRva;
    }
    return true;
}

bool readImports(const View &v, uint32_t dir, Image &image, std::string &error)
{
    for (uint32_t d = dir;; d += 20) {
        uint32_t lookup = 0, nameRva = 0, slots = 0;
        if (!v.u32(d, lookup) || !v.u32(d + 12, nameRva) || !v.u32(d + 16, slots)) {
            error = "import directory outside the image";
            return false;
        }
        if (lookup == 0 && nameRva == 0 && slots == 0)
            return true;
        std::string dll;
        if (!v.text(nameRva, dll)) {
            error = "import directory names no DLL";
            return false;
        }
        if (lookup == 0)
            lookup = slots;
        for (uint32_t i = 0;; ++i) {
            uint32_t entry = 0;
            if (!v.u32(lookup + 4 * i, entry) || !v.has(slots + 4 * i, 4)) {
                error = "import table of " + dll + " outside the image";
                return false;
            }
            if (entry == 0)
                break;
            if (entry & 0x80000000u) {
                error = dll + " is imported by ordinal " + std::to_string(entry & 0xffff) + ", not by name";
                return false;
            }
            Import imp;
            imp.dll = dll;
            imp.slotRva = slots + 4 * i;
            if (!v.text(entry + 2, imp.name)) {
                error = "import " + std::to_string(i) + " of " + dll + " has no name";
                return false;
            }
            image.imports.push_back(imp);
            if (image.imports.size() > 4096) {
                error = "too many imports";
                return false;
            }
        }
    }
}

bool readRelocations(const View &v, uint32_t dir, uint32_t len, Image &image, std::string &error)
{
    if (!v.has(dir, len)) {
        error = "relocation table outside the image";
        return false;
    }
    uint32_t at = dir, end = dir + len;
    while (end - at >= 8) {
        uint32_t page = get32(&v.mem[at]), blockSize = get32(&v.mem[at + 4]);
        if (blockSize < 8 || blockSize > end - at) {
            error = "relocation block of bad size";
            return false;
        }
        for (uint32_t e = at + 8; e + 2 <= at + blockSize; e += 2) {
            uint16_t entry = get16(&v.mem[e]);
            unsigned type = entry >> 12;
            uint32_t rva = page + (entry & 0xfff);
            if (type == 0)
                continue; // padding
            if (type != 3) {
                error = "relocation of type " + std::to_string(type) + " (only 32-bit absolute ones are known)";
                return false;
            }
            if (!v.has(rva, 4)) {
                error = "relocation outside the image";
                return false;
            }
            image.relocations.push_back(rva);
        }
        at += blockSize;
    }
    return true;
}

// The file version from VS_FIXEDFILEINFO of the first RT_VERSION resource.
void readVersion(const View &v, uint32_t dir, Image &image)
{
    // Level 1: the type; levels 2 and 3: its first name and language.
    uint32_t at = dir;
    uint32_t want = RT_VERSION;
    for (int level = 0; level < 3; ++level) {
        uint16_t named = 0, ids = 0;
        if (!v.u16(at + 12, named) || !v.u16(at + 14, ids))
            return;
        uint32_t found = 0;
        bool ok = false;
        for (uint32_t i = 0; i < static_cast<uint32_t>(named) + ids; ++i) {
            uint32_t id = 0, off = 0;
            if (!v.u32(at + 16 + 8 * i, id) || !v.u32(at + 20 + 8 * i, off))
                return;
            if (level == 0 && ((id & 0x80000000u) || id != want))
                continue;
            found = off;
            ok = true;
            break;
        }
        if (!ok)
            return;
        if (level < 2) {
            if (!(found & 0x80000000u))
                return;
            at = dir + (found & 0x7fffffffu);
        } else {
            if (found & 0x80000000u)
                return;
            uint32_t dataRva = 0, dataLen = 0;
            if (!v.u32(dir + found, dataRva) || !v.u32(dir + found + 4, dataLen) || !v.has(dataRva, dataLen))
                return;
            for (uint32_t p = dataRva; p + 16 <= dataRva + dataLen; p += 4) {
                if (get32(&v.mem[p]) != FIXED_FILE_INFO_SIGNATURE)
                    continue;
                uint32_t ms = get32(&v.mem[p + 8]), ls = get32(&v.mem[p + 12]);
                image.fileVersion = std::to_string(ms >> 16) + "." + std::to_string(ms & 0xffff) + "." +
                                    std::to_string(ls >> 16) + "." + std::to_string(ls & 0xffff);
                return;
            }
            return;
        }
    }
}

} // namespace

bool parseImage(const uint8_t *data, size_t size, Image &image, std::string &error)
{
    image = Image();
    Headers h;
    if (!readFileHeaders(data, size, image, h, error) || !readSections(data, size, image, h, error))
        return false;
    std::vector<uint8_t> mem(image.sizeOfImage);
    layOut(data, image, mem.data());
    View v{mem};
    uint32_t rva = 0, len = 0;
    if (directory(data, h, DIR_EXPORT, rva, len) && !readExports(v, rva, image, error))
        return false;
    if (directory(data, h, DIR_IMPORT, rva, len) && !readImports(v, rva, image, error))
        return false;
    if (directory(data, h, DIR_RELOCATION, rva, len) && !readRelocations(v, rva, len, image, error))
        return false;
    if (directory(data, h, DIR_RESOURCE, rva, len))
        readVersion(v, rva, image);
    if (image.entryRva >= image.sizeOfImage) {
        error = "entry point outside the image";
        return false;
    }
    return true;
}

bool mapImage(const uint8_t *data, size_t size, const Image &image, uint32_t base, uint8_t *out, std::string &error)
{
    if (image.sizeOfHeaders > size) {
        error = "truncated PE headers";
        return false;
    }
    layOut(data, image, out);
    uint32_t delta = base - image.preferredBase;
    for (uint32_t rva : image.relocations) {
        if (rva > image.sizeOfImage - 4) {
            error = "relocation outside the image";
            return false;
        }
        uint32_t v = get32(out + rva) + delta;
        for (int i = 0; i < 4; ++i)
            out[rva + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return true;
}

bool readFile(const std::string &path, std::vector<uint8_t> &bytes, std::string &error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}

} // namespace pe
