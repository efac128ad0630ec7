// StrBuf: the growable byte buffer of the system. It is a chain of chunks
// that never move, so bytes once appended keep their address and growth
// never copies what is already stored. Used for whole responses, captured
// script output, mail texts and request bodies. Not thread-safe.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tallypad {

class StrBuf {
 public:
  // A chunk added by growth holds at least this many bytes.
  static constexpr size_t kMinGrowth = 1024;

  // Makes a buffer with one empty chunk of `capacity` bytes.
  explicit StrBuf(size_t capacity = kMinGrowth);
  StrBuf(const StrBuf&) = delete;
  StrBuf& operator=(const StrBuf&) = delete;

  // Appends `count` bytes (zero bytes allowed); returns `count`.
  size_t Append(const void* bytes, size_t count);
  // Appends the bytes of `text`; returns how many were appended.
  size_t AppendText(std::string_view text) { return Append(text.data(), text.size()); }
  // Returns the total number of bytes stored.
  size_t Length() const { return length_; }
  // Copies at most `maximum` bytes of the content, in order, into `dest`.
  void CopyOut(char* dest, size_t maximum) const;
  // Returns the whole content as one string.
  std::string ToString() const;

  // Read-only view of the chunks, for writers and tests.
  struct Chunk {
    std::unique_ptr<char[]> data;
    size_t capacity = 0;
    size_t length = 0;
  };
  const std::vector<std::unique_ptr<Chunk>>& chunks() const { return chunks_; }

 private:
  Chunk* AddChunk(size_t capacity);

  std::vector<std::unique_ptr<Chunk>> chunks_;
  size_t length_ = 0;
};

}  // namespace tallypad
