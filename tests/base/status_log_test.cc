#include "base/status_log.h"

#include <gtest/gtest.h>

#include <thread>

namespace tallypad {
namespace {

TEST(StatusLog, ClearRequestEmptiesOnTheNextAppend) {
  StatusLogReset();
  StatusLogAppend("one\n");
  StatusLogAppend("two\n");
  EXPECT_EQ(StatusLogText(), "one\ntwo\n");
  StatusLogRequestClear();
  EXPECT_EQ(StatusLogText(), "one\ntwo\n");
  StatusLogAppend("three\n");
  EXPECT_EQ(StatusLogText(), "three\n");
}

TEST(StatusLog, StopsAtTheCharacterLimit) {
  StatusLogReset();
  StatusLogAppend(std::string(kStatusLogLimit - 2, 'a'));
  StatusLogAppend("\xC3\xA9\xC3\xA9\xC3\xA9");  // three two-byte characters; two fit
  std::string text = StatusLogText();
  EXPECT_EQ(text.size(), kStatusLogLimit - 2 + 4);
  StatusLogAppend("more");
  EXPECT_EQ(StatusLogText(), text);
  StatusLogRequestClear();
  StatusLogAppend("fresh");
  EXPECT_EQ(StatusLogText(), "fresh");
}

TEST(StatusLog, ObserverSeesAppendsFromAnotherThread) {
  StatusLogReset();
  std::string seen;
  StatusLogSetObserver([&](std::string_view appended) { seen += appended; });
  std::thread t([] {
    for (int i = 0; i < 100; ++i) StatusLogAppend("x");
  });
  for (int i = 0; i < 100; ++i) (void)StatusLogText();
  t.join();
  StatusLogSetObserver(nullptr);
  EXPECT_EQ(seen, std::string(100, 'x'));
}

}  // namespace
}  // namespace tallypad
