// SHA-256 of a file or of bytes in memory, in lower-case hex: the check
// sums the commissioning records carry for the design and the driver file.
#ifndef TOOLS_HOST_SHA256_H
#define TOOLS_HOST_SHA256_H

#include <string>

namespace vhost {

std::string sha256Hex(const std::string &bytes);
// "" when the file cannot be read.
std::string sha256File(const std::string &path);

} // namespace vhost

#endif
