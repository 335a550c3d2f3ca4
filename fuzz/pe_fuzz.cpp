// The PE reader of the emulator's loader: any bytes, as a DLL file.  A file
// is either refused with a message, or everything read from it lies inside
// the image it describes and it lays out without a read or write outside.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "pe_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    pe::Image image;
    std::string error;
    if (!pe::parseImage(data, size, image, error)) {
        if (error.empty())
            abort();
        return 0;
    }
    for (const pe::Section &s : image.sections)
        if (s.rva > image.sizeOfImage || s.virtualSize > image.sizeOfImage - s.rva)
            abort();
    for (uint32_t r : image.relocations)
        if (r > image.sizeOfImage - 4)
            abort();
    for (const pe::Import &i : image.imports)
        if (i.slotRva > image.sizeOfImage - 4 || i.name.empty())
            abort();
    std::vector<uint8_t> out(image.sizeOfImage);
    // A base far from any preferred one: every relocation moves.
    if (!pe::mapImage(data, size, image, 0x12340000u, out.data(), error) && error.empty())
        abort();
    return 0;
}
