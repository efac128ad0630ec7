#include "platform/named_mutex.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

TEST(NamedMutex, ExcludesOtherHoldersAndTimesOut) {
  NamedMutex first("test.exclusion", 1000);
  ASSERT_TRUE(first.held());
  auto start = std::chrono::steady_clock::now();
  NamedMutex second("test.exclusion", 100);
  EXPECT_FALSE(second.held());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  NamedMutex other_name("test.other", 100);
  EXPECT_TRUE(other_name.held());
}

TEST(NamedMutex, ReleasedOnDestruction) {
  { NamedMutex a("test.release", 1000); ASSERT_TRUE(a.held()); }
  NamedMutex b("test.release", 100);
  EXPECT_TRUE(b.held());
}

TEST(NamedMutex, SerialisesReadModifyWriteAcrossThreads) {
  // Without the lock, the unsynchronised increments below lose updates.
  int counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        NamedMutex lock("test.counter", kNamedMutexWaitMs);
        int v = counter;
        std::this_thread::yield();
        counter = v + 1;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 800);
}

TEST(NamedMutex, TheHoldersDeathReleasesIt) {
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t child = fork();
  if (child == 0) {
    NamedMutex lock("test.death", 1000);
    char c = lock.held() ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    pause();  // killed below while holding the lock
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  NamedMutex blocked("test.death", 50);
  EXPECT_FALSE(blocked.held());
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  NamedMutex after("test.death", 1000);
  EXPECT_TRUE(after.held());
  close(ready[0]);
  close(ready[1]);
}

TEST(NamedMutexPath, NamesStayApartAndSafe) {
  EXPECT_NE(NamedMutexPath("/a/b.ini"), NamedMutexPath("/a_b.ini"));
  EXPECT_EQ(NamedMutexPath("KQS.CGI.RANDOM"), NamedMutexPath("KQS.CGI.RANDOM"));
  std::string path = NamedMutexPath("../../etc/passwd");
  EXPECT_EQ(path.find("/../"), std::string::npos);
  EXPECT_LT(NamedMutexPath(std::string(5000, 'x')).size(), 300u);
}

TEST(NamedMutexNameForFile, OneNamePerFileHoweverItIsSpelled) {
  testing::TempDir dir;
  std::string file = dir.Write("sub/stats.ini", "[COUNT]\n");
  std::string link = dir.File("alias");
  ASSERT_EQ(::symlink(dir.File("sub").c_str(), link.c_str()), 0);
  const std::string name = NamedMutexNameForFile(file);
  EXPECT_EQ(name.front(), '/');
  EXPECT_EQ(NamedMutexNameForFile(dir.File("sub/../sub/stats.ini")), name);
  EXPECT_EQ(NamedMutexNameForFile(link + "/stats.ini"), name);
  // A file that does not exist yet still gets its full path.
  EXPECT_EQ(NamedMutexNameForFile(dir.File("alias/new.ini")),
            NamedMutexNameForFile(dir.File("sub")) + "/new.ini");
  char cwd[4096];
  ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(::chdir(dir.path().c_str()), 0);
  std::string relative = NamedMutexNameForFile("sub/stats.ini");
  ASSERT_EQ(::chdir(cwd), 0);
  EXPECT_EQ(relative, name);
}

}  // namespace
}  // namespace tallypad
