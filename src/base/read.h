// Reading delimited tokens and tag attributes from an open file, one byte at
// a time. The template processor and the survey engine read pages this way
// instead of loading them whole.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

// Reads bytes into `area` (when not null; at most `size` - 1 are kept, the
// rest are read and dropped) until a byte of `delimiters` or a zero byte.
// Bytes equal to `ignored` (when not 0) are dropped. Returns the delimiter
// (as a signed char; 0 for a zero byte), or -1 at the end of the file.
int ReadUntil(std::FILE* f, std::string* area, size_t size, std::string_view delimiters,
              int ignored);

// Reads the attributes of a tag whose name has just been read, up to its '>'
// (at most 20 and at most `count` entries; 0 means 16): names as written,
// values without their quotes, no value for a bare attribute.
VarTablePtr ReadTagAttributes(std::FILE* f, size_t count);

}  // namespace tallypad
