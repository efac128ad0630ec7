// The page reader: pages, included files, report templates and validation
// files are read whole into memory once (at most kMaxPageBytes) and walked
// with a PageReader, a position over those bytes that the template
// processor, its directives, the script statement reader and the tag
// readers below share. Passes that go back over a page (a report body once
// per record, the copy of a failing script statement) set the position
// again instead of reading the file again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "base/vartable.h"

namespace tallypad {

// Most bytes of one file read into memory for processing. Far above any
// real page or validation file; a page stays in memory while it is
// processed, and each nested file (kMaxTemplateDepth at most) holds its own.
// The bytes of a larger file beyond the limit are not read: it is processed
// as if it ended there.
inline constexpr size_t kMaxPageBytes = 4 << 20;

// A read position over bytes held elsewhere: the bytes must outlive the
// reader. Reading never goes past the end; copies are cheap and read on
// independently of each other.
class PageReader {
 public:
  PageReader() = default;
  explicit PageReader(std::string_view text) : text_(text) {}

  // Returns the next byte (0..255) and moves past it, or EOF at the end.
  int Get() { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_++]) : EOF; }
  // Returns the next byte without moving past it, or EOF at the end.
  int Peek() const { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : EOF; }
  // Steps back over the byte the last Get returned. REQUIRES: that Get
  // returned a byte.
  void Unget() {
    if (pos_ > 0) --pos_;
  }
  // The offset of the next byte from the start of the text.
  size_t Tell() const { return pos_; }
  // Moves to offset `pos` (at most the end).
  void Seek(size_t pos) { pos_ = pos < text_.size() ? pos : text_.size(); }
  // The whole text, whatever the position.
  std::string_view text() const { return text_; }
  // The text from the position on.
  std::string_view Rest() const { return text_.substr(pos_); }

 private:
  std::string_view text_;
  size_t pos_ = 0;
};

// The line, counted from 1, that holds the byte at `offset` of `text` (an
// offset past the end counts as the end): the number message-log lines and
// `tallypad check` give for a place in a page.
int PageLineAt(std::string_view text, size_t offset);

// Reads the regular file at `path` into memory, at most `limit` bytes.
// Nullopt when it cannot be opened (missing, or not a regular file).
std::optional<std::string> ReadPageFile(const std::string& path, size_t limit = kMaxPageBytes);
// Reads the rest of the open file `file` into memory, at most `limit` bytes.
std::string ReadPageText(std::FILE* file, size_t limit = kMaxPageBytes);
// Reads the open file `fd` of `size` bytes from its current position into
// memory, at most `limit` bytes (fewer when it ends earlier).
std::string ReadPageFromFd(int fd, uint64_t size, size_t limit = kMaxPageBytes);

// Reads bytes into `area` (when not null; at most `size` - 1 are kept, the
// rest are read and dropped) until a byte of `delimiters` or a zero byte.
// Bytes equal to `ignored` (when not 0) are dropped. Returns the delimiter
// (as a signed char; 0 for a zero byte), or -1 at the end of the text.
int ReadUntil(PageReader& page, std::string* area, size_t size, std::string_view delimiters,
              int ignored);

// Reads the attributes of a tag whose name has just been read, up to its '>'
// (at most 20 and at most `count` entries; 0 means 16): names as written,
// values without their quotes, no value for a bare attribute.
VarTablePtr ReadTagAttributes(PageReader& page, size_t count);

}  // namespace tallypad
