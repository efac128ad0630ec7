// Configuration files: loads one section of an INI file into a VarTable
// whose keys are then read with VarTableGet. Nothing is cached; every load
// reads the file again, so an edit takes effect with the next request.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

// Loads `section` of the file at `path`: `free_count` free entries, then one
// entry per line (name before the first '=', value after it; a line without
// '=' is all name with the value ""). Returns null when the file is missing
// or empty, or when the section has no lines and `free_count` is 0.
VarTablePtr IniLoadSection(const std::string& path, std::string_view section, size_t free_count);

}  // namespace tallypad
