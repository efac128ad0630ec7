#include "base/file_cache.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

// Sets the modification time of `path` to `seconds` past the epoch, so that
// a change within one tick of the clock still shows.
void SetModified(const std::string& path, long seconds) {
  timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(::utimes(path.c_str(), times), 0);
}

TEST(FileCache, AChangedFileIsReadAgain) {
  TempDir dir;
  FileCacheClear();
  const std::string path = dir.Write("page", "first");
  SetModified(path, 1000);
  auto first = CachedFileText(path, 100);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(*first, "first");
  EXPECT_EQ(CachedFileText(path, 100), first) << "unchanged: the same text is kept";

  struct Change {
    const char* what;
    std::string text;
    long modified;
    bool replace;  // a new file under the same name
  } changes[] = {
      {"same size, new time", "again", 1001, false},
      {"other size, same time", "longer text", 1001, false},
      {"same size and time, a new file", "newer text!", 1001, true},
  };
  for (const Change& c : changes) {
    if (c.replace) std::remove(path.c_str());
    dir.Write("page", c.text);
    SetModified(path, c.modified);
    auto text = CachedFileText(path, 100);
    ASSERT_NE(text, nullptr) << c.what;
    EXPECT_EQ(*text, c.text) << c.what;
  }
}

TEST(FileCache, OnlyRegularFilesAndAtMostTheLimit) {
  TempDir dir;
  FileCacheClear();
  EXPECT_EQ(CachedFileText(dir.File("missing"), 100), nullptr);
  EXPECT_EQ(CachedFileText(dir.path(), 100), nullptr) << "a folder";
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(CachedFileText(fifo, 100), nullptr) << "a pipe, without waiting for a writer";
  const std::string path = dir.Write("long", "0123456789");
  EXPECT_EQ(*CachedFileText(path, 4), "0123");
  EXPECT_EQ(*CachedFileText(path, 100), "0123456789") << "another limit, another text";
}

TEST(FileCache, ReadersOnSeveralThreadsSeeWholeTexts) {
  TempDir dir;
  FileCacheClear();
  std::vector<std::string> paths;
  for (int i = 0; i < 8; ++i)
    paths.push_back(dir.Write("f" + std::to_string(i), std::string(1000 + i, 'a' + i)));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < 200; ++round) {
        const size_t i = static_cast<size_t>(round) % paths.size();
        auto text = CachedFileText(paths[i], 1 << 20);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(*text, std::string(1000 + i, static_cast<char>('a' + i)));
        if (round % 50 == 0) FileCacheClear();
      }
    });
  }
  for (std::thread& t : threads) t.join();
}

}  // namespace
}  // namespace tallypad
