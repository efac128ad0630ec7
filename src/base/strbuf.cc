#include "base/strbuf.h"

#include <algorithm>
#include <cstring>

namespace tallypad {

StrBuf::StrBuf(size_t capacity) { AddChunk(capacity); }

StrBuf::Chunk* StrBuf::AddChunk(size_t capacity) {
  auto chunk = std::make_unique<Chunk>();
  // One extra zero byte that is never written keeps a full chunk terminated.
  chunk->data = std::make_unique<char[]>(capacity + 1);
  chunk->capacity = capacity;
  chunks_.push_back(std::move(chunk));
  return chunks_.back().get();
}

size_t StrBuf::Append(const void* bytes, size_t count) {
  if (bytes == nullptr || count == 0) return 0;
  const char* src = static_cast<const char*>(bytes);
  Chunk* last = chunks_.back().get();
  size_t room = last->capacity - last->length;
  size_t first = std::min(count, room);
  std::memcpy(last->data.get() + last->length, src, first);
  last->length += first;
  size_t rest = count - first;
  if (rest > 0) {
    // A single append makes at most one new chunk, as large as the rest.
    Chunk* grown = AddChunk(std::max(rest, kMinGrowth));
    std::memcpy(grown->data.get(), src + first, rest);
    grown->length = rest;
  }
  length_ += count;
  return count;
}

void StrBuf::CopyOut(char* dest, size_t maximum) const {
  size_t done = 0;
  for (const auto& chunk : chunks_) {
    if (done >= maximum) break;
    size_t n = std::min(chunk->length, maximum - done);
    std::memcpy(dest + done, chunk->data.get(), n);
    done += n;
  }
}

std::string StrBuf::ToString() const {
  std::string out;
  out.reserve(length_);
  for (const auto& chunk : chunks_) out.append(chunk->data.get(), chunk->length);
  return out;
}

}  // namespace tallypad
