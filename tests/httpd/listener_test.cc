#include "httpd/listener.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <future>

namespace tallypad {
namespace {

TEST(ListenerOpenTest, PortsAboveTheLastPortAreNotTried) {
  // 65536 would wrap around to port 0, which asks the system for any port.
  Listener l;
  ListenerOpen(&l, 65536, INADDR_LOOPBACK);
  EXPECT_FALSE(l.socket.valid());
  EXPECT_EQ(l.port, 65546);
  EXPECT_EQ(l.last_error, EINVAL);
}

TEST(ListenerWakeTest, APollInProgressReturnsAtOnce) {
  Listener l;
  ListenerOpen(&l, 0, INADDR_LOOPBACK);
  ASSERT_TRUE(l.socket.valid());
  auto start = std::chrono::steady_clock::now();
  auto poll = std::async(std::launch::async, [&] { return ListenerPoll(&l, 20000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ListenerWake(&l);
  ASSERT_EQ(poll.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  poll.get();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(ListenerAccept(&l), nullptr);  // nothing to accept: the poll was only woken
  ListenerClose(&l);
  EXPECT_FALSE(l.socket.valid());
}

}  // namespace
}  // namespace tallypad
