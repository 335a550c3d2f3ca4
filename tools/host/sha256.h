// SHA-256 of a file, as the as-built record names the design (and the
// driver) it was made from: a reader checks the file it has against it.
#ifndef TOOLS_HOST_SHA256_H
#define TOOLS_HOST_SHA256_H

#include <optional>
#include <string>

namespace vhost {

// The digest of `bytes` in lower-case hex, 64 digits.
std::string sha256Hex(const std::string &bytes);
// The digest of a file's bytes; nothing when it cannot be read.
std::optional<std::string> sha256OfFile(const std::string &path);

} // namespace vhost

#endif
