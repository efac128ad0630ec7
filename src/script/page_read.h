// Reading primitives of the template processor and its directives: they
// move a page's reader forward, byte by byte, and keep at most a stated
// number of bytes of what they read, so a marker or a skipped section of
// any length costs bounded memory. A reader belongs to one run at a time.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/read.h"

namespace tallypad {

// What PageSkipUntil found.
enum PageFound : int {
  kPageFoundNone = 0,  // the end of the page came first
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
// at the end of the page.
int PageReadToken(PageReader& page, std::string* area, size_t limit, std::string_view delimiters);

// Skips to just after the next `c` (or the end of the page).
void PageSkipPast(PageReader& page, int c);

// Slides a window of the markers' length (both the same length, at most
// kPageMaxMarker) over the page until it equals `a` or `b` without regard to
// case. Bytes that pass out of the window, and at the end of the page those
// left in it, are appended to `copy` (when not null) while it holds fewer
// than `limit` bytes. Returns which marker was found.
PageFound PageSkipUntil(PageReader& page, std::string_view a, std::string_view b,
                        std::string* copy = nullptr, size_t limit = 0);

// Completes a marker's text: appends `delimiter` to `text` unless it is -1;
// unless `text` now ends with `end`, reads on (keeping at most `limit` bytes
// in all) until `end` has been read. The end marker is not kept, and trailing
// blanks, tabs, CRs and LFs are removed.
void PageFinishMarker(PageReader& page, std::string* text, int delimiter, std::string_view end,
                      size_t limit);

}  // namespace tallypad
