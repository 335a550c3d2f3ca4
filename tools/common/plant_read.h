// The plant file reader's own pieces, shared by its parts (plant_file.cpp,
// plant_points.cpp): each takes the file's name for its messages and throws
// PlantError naming the file, line and key.
#pragma once

#include <initializer_list>
#include <string>

#include <toml++/toml.h>

#include "plant.h"

namespace vsim::plantread {

[[noreturn]] void fail(const std::string &src, const toml::node &at, const std::string &what);
[[noreturn]] void fail(const std::string &src, const std::string &what);
void checkKeys(const std::string &src, const toml::table &t, std::initializer_list<const char *> allowed,
               const std::string &where);
double number(const std::string &src, const toml::node &n, const std::string &what);
long long integer(const std::string &src, const toml::node &n, const std::string &what);
bool boolean(const std::string &src, const toml::node &n, const std::string &what);
// A text of 1 to `max` characters.
std::string text(const std::string &src, const toml::node &n, const std::string &what, size_t max);

// A design's tag list, [[point]], read against the plant's modules.
void readPoints(const std::string &src, const toml::node &points, Plant &p);

} // namespace vsim::plantread
