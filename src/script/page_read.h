// Reading primitives of the template processor and its directives: they read
// a page strictly forward from an open file, one byte at a time, and keep at
// most a stated number of bytes of what they read, so a page of any length
// is walked in bounded memory. Not thread-safe per file; a page belongs to
// one run.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace tallypad {

// What PageSkipUntil found.
enum PageFound : int {
  kPageFoundNone = 0,  // the end of the file came first
  kPageFoundA = 1,
  kPageFoundB = 2,
};

// Longest marker PageSkipUntil can look for.
inline constexpr size_t kPageMaxMarker = 64;

// True for a blank, tab, CR or LF.
inline bool PageIsWhite(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Reads bytes into `area` (when not null, cleared first; at most `limit` are
// kept, the rest are read and dropped) until a byte of `delimiters` or a zero
// byte, which is not kept. Returns the delimiter (0 for a zero byte), or -1
// at the end of the file.
int PageReadToken(std::FILE* page, std::string* area, size_t limit, std::string_view delimiters);

// Skips to just after the next `c` (or the end of the file).
void PageSkipPast(std::FILE* page, int c);

// Slides a window of the markers' length (both the same length, at most
// kPageMaxMarker) over the page until it equals `a` or `b` without regard to
// case. Bytes that pass out of the window, and at the end of the file those
// left in it, are appended to `copy` (when not null) while it holds fewer
// than `limit` bytes. Returns which marker was found.
PageFound PageSkipUntil(std::FILE* page, std::string_view a, std::string_view b,
                        std::string* copy = nullptr, size_t limit = 0);

// Completes a marker's text: appends `delimiter` to `text` unless it is -1;
// unless `text` now ends with `end`, reads on (keeping at most `limit` bytes
// in all) until `end` has been read. The end marker is not kept, and trailing
// blanks, tabs, CRs and LFs are removed.
void PageFinishMarker(std::FILE* page, std::string* text, int delimiter, std::string_view end,
                      size_t limit);

}  // namespace tallypad
