#include "base/output_stream.h"

namespace tallypad {

void StreamWrite(OutputStream* s, const void* bytes, size_t count) {
  if (!s || !bytes || count == 0) return;
  if (s->sink) {
    s->sink->Take(static_cast<const char*>(bytes), count);
  } else if (s->file) {
    std::fwrite(bytes, 1, count, s->file);
  } else if (s->buffer) {
    s->buffer->Append(bytes, count);
  }
}

void StreamWriteText(OutputStream* s, std::string_view text) {
  StreamWrite(s, text.data(), text.size());
}

void StreamCopyFile(OutputStream* s, std::FILE* f) {
  if (!s || !f) return;
  char piece[1024];
  size_t n;
  while ((n = std::fread(piece, 1, sizeof piece, f)) > 0) StreamWrite(s, piece, n);
}

void StrBufWrite(OutputStream* s, const StrBuf* b) {
  if (!s || !b) return;
  for (const auto& chunk : b->chunks()) StreamWrite(s, chunk->data.get(), chunk->length);
}

}  // namespace tallypad
