#include "httpd/listener.h"

#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>

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

TEST(ListenerWakeTest, TheWakeUpDescriptorBecomesReadable) {
  Listener l;
  ListenerOpen(&l, 0, INADDR_LOOPBACK);
  ASSERT_TRUE(l.socket.valid());
  ASSERT_TRUE(l.wake.valid());
  pollfd p{l.wake.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "not readable before the wake-up";
  ListenerWake(&l);
  EXPECT_EQ(::poll(&p, 1, 0), 1);
  EXPECT_EQ(ListenerAccept(&l), nullptr);  // nothing to accept, and no waiting for it
  ListenerClose(&l);
  EXPECT_FALSE(l.socket.valid());
  EXPECT_FALSE(l.wake.valid());
}

}  // namespace
}  // namespace tallypad
