#include "base/read.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "base/file.h"
#include "base/file_cache.h"

namespace tallypad {

namespace {

// Area size used for attribute names and values.
constexpr size_t kAttributeArea = 4096;
// At most this many attributes of one tag are kept.
constexpr size_t kMaxAttributes = 20;
// A file is read into memory in pieces of this size.
constexpr size_t kReadChunk = 64 * 1024;

bool IsWhite(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

int PageLineAt(std::string_view text, size_t offset) {
  const std::string_view before = text.substr(0, std::min(offset, text.size()));
  return 1 + static_cast<int>(std::count(before.begin(), before.end(), '\n'));
}

std::optional<std::string> ReadPageFile(const std::string& path, size_t limit) {
  std::shared_ptr<const std::string> text = CachedFileText(path, limit);
  if (!text) return std::nullopt;
  return *text;
}

std::string ReadPageText(std::FILE* file, size_t limit) {
  std::string text;
  while (text.size() < limit) {
    const size_t at = text.size();
    const size_t want = std::min(kReadChunk, limit - at);
    text.resize(at + want);
    const size_t got = std::fread(text.data() + at, 1, want, file);
    text.resize(at + got);
    if (got < want) break;
  }
  return text;
}

std::string ReadPageFromFd(int fd, uint64_t size, size_t limit) {
  std::string text(static_cast<size_t>(std::min<uint64_t>(size, limit)), '\0');
  size_t got = 0;
  while (got < text.size()) {
    ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  text.resize(got);
  return text;
}

int ReadUntil(PageReader& page, std::string* area, size_t size, std::string_view delimiters,
              int ignored) {
  if (area) area->clear();
  size_t room = size > 0 ? size - 1 : 0;
  for (;;) {
    int c = page.Get();
    if (c == EOF) return -1;
    if (ignored != 0 && c == ignored) continue;
    if (c == 0) return 0;
    if (delimiters.find(static_cast<char>(c)) != std::string_view::npos)
      return static_cast<signed char>(c);
    if (area && area->size() < room) area->push_back(static_cast<char>(c));
  }
}

VarTablePtr ReadTagAttributes(PageReader& page, size_t count) {
  if (count == 0) count = 16;
  auto t = VarTableNew(count);
  size_t next = 0;
  std::string name;
  std::string value;
  for (;;) {
    int delim = ReadUntil(page, &name, kAttributeArea - 1, "=> \t\r\n", 0);
    size_t lead = 0;
    while (lead < name.size() && IsWhite(name[lead])) ++lead;
    name.erase(0, lead);
    if (!name.empty()) {
      VarEntry& e = t->entries[next++];
      e.name = name;
      if (delim == '=') {
        int c = page.Get();
        if (c == '"') {
          delim = ReadUntil(page, &value, kAttributeArea, "\"", 0);
          if (delim != -1) delim = ' ';
        } else if (c == EOF) {
          value.clear();
          delim = -1;
        } else if (c == '>') {
          value.clear();
          delim = '>';
        } else {
          std::string rest;
          delim = ReadUntil(page, &rest, kAttributeArea - 1, "> \t\r\n", 0);
          value = std::string(1, static_cast<char>(c)) + rest;
        }
        e.value = value;
      }
    } else if (delim == '=') {
      // "=value" without a name: the value is read and dropped.
      ReadUntil(page, nullptr, 0, "> \t\r\n", 0);
    }
    if (delim == '>' || delim == -1) break;
    if (next >= kMaxAttributes || next >= count) {
      ReadUntil(page, nullptr, 0, ">", 0);
      break;
    }
  }
  return t;
}

}  // namespace tallypad
