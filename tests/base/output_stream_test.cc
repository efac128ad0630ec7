#include "base/output_stream.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

TEST(OutputStream, BufferCollectsExactBytes) {
  StrBuf b;
  OutputStream s{nullptr, nullptr, &b};
  StreamWrite(&s, "a\0b", 3);
  StreamWriteText(&s, "cd");
  StreamWrite(&s, nullptr, 4);
  StreamWrite(nullptr, "x", 1);
  EXPECT_EQ(b.ToString(), std::string("a\0bcd", 5));
  OutputStream nowhere;
  StreamWriteText(&nowhere, "swallowed");
}

TEST(OutputStream, FirstDestinationWins) {
  TempDir dir;
  StrBuf b;
  FILE* f = std::fopen(dir.File("o").c_str(), "wb");
  OutputStream s{nullptr, f, &b};
  StreamWriteText(&s, "to file");
  std::fclose(f);
  EXPECT_EQ(dir.Read("o"), "to file");
  EXPECT_EQ(b.Length(), 0u);
}

TEST(StreamCopyFile, CopiesInPiecesOf1024) {
  TempDir dir;
  std::string content;
  for (int i = 0; i < 2500; ++i) content += static_cast<char>('a' + i % 26);
  FilePtr f = FileOpen(dir.Write("big", content), "rb");
  struct Recorder : ByteSink {
    std::vector<size_t> pieces;
    std::string taken;
    void Take(const char* bytes, size_t count) override {
      pieces.push_back(count);
      taken.append(bytes, count);
    }
  } sink;
  OutputStream s{&sink, nullptr, nullptr};
  StreamCopyFile(&s, f.get());
  EXPECT_EQ(sink.pieces, (std::vector<size_t>{1024, 1024, 452}));
  EXPECT_EQ(sink.taken, content);
}

TEST(StrBufWrite, WritesEveryChunk) {
  StrBuf src(3);
  src.AppendText("abcdefgh");
  StrBuf dst;
  OutputStream s{nullptr, nullptr, &dst};
  StrBufWrite(&s, &src);
  EXPECT_EQ(dst.ToString(), "abcdefgh");
}

}  // namespace
}  // namespace tallypad
