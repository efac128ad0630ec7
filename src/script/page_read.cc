#include "script/page_read.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace tallypad {

namespace {

inline char Upper(int c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

}  // namespace

int PageReadToken(PageReader& page, std::string* area, size_t limit, std::string_view delimiters) {
  if (area) area->clear();
  for (;;) {
    int c = page.Get();
    if (c == EOF) return -1;
    if (c == 0) return 0;
    // Delimiter sets are a few characters: a plain loop beats a call per byte.
    for (char d : delimiters)
      if (c == static_cast<unsigned char>(d)) return static_cast<signed char>(c);
    if (area && area->size() < limit) area->push_back(static_cast<char>(c));
  }
}

void PageSkipPast(PageReader& page, int c) {
  for (;;) {
    int d = page.Get();
    if (d == EOF || d == c) return;
  }
}

PageFound PageSkipUntil(PageReader& page, std::string_view a, std::string_view b, std::string* copy,
                        size_t limit) {
  const size_t n = a.size();
  if (n == 0 || n > kPageMaxMarker || b.size() != n) return kPageFoundNone;
  char ua[kPageMaxMarker], ub[kPageMaxMarker];
  for (size_t i = 0; i < n; ++i) {
    ua[i] = Upper(static_cast<unsigned char>(a[i]));
    ub[i] = Upper(static_cast<unsigned char>(b[i]));
  }
  // The window holds the last n bytes as read and, beside it, upper-cased.
  char raw[kPageMaxMarker], up[kPageMaxMarker];
  size_t filled = 0;
  auto keep = [&](char c) {
    if (copy && copy->size() < limit) copy->push_back(c);
  };
  for (;;) {
    int c = page.Get();
    if (c == EOF) {
      for (size_t i = 0; i < filled; ++i) keep(raw[i]);
      return kPageFoundNone;
    }
    if (filled == n) {
      keep(raw[0]);
      std::memmove(raw, raw + 1, n - 1);
      std::memmove(up, up + 1, n - 1);
      --filled;
    }
    raw[filled] = static_cast<char>(c);
    up[filled] = Upper(c);
    ++filled;
    if (filled == n) {
      if (std::memcmp(up, ua, n) == 0) return kPageFoundA;
      if (std::memcmp(up, ub, n) == 0) return kPageFoundB;
    }
  }
}

void PageFinishMarker(PageReader& page, std::string* text, int delimiter, std::string_view end,
                      size_t limit) {
  const size_t n = end.size();
  // `read` counts every byte of the marker's text, kept or not; the first
  // text->size() of them are kept.
  size_t read = text->size();
  std::string tail = text->size() > n ? text->substr(text->size() - n) : *text;
  auto add = [&](char c) {
    ++read;
    if (text->size() < limit) text->push_back(c);
    tail.push_back(c);
    if (tail.size() > n) tail.erase(0, 1);
  };
  if (delimiter != -1) add(static_cast<char>(delimiter));
  bool found = n == 0 || tail == end;
  while (!found) {
    int c = page.Get();
    if (c == EOF) break;
    add(static_cast<char>(c));
    found = tail == end;
  }
  if (found) {
    // Only the part of the end marker that was kept is cut off.
    size_t marker_start = read - n;
    if (text->size() > marker_start) text->resize(marker_start);
  }
  while (!text->empty() && PageIsWhite(static_cast<unsigned char>(text->back()))) text->pop_back();
}

}  // namespace tallypad
