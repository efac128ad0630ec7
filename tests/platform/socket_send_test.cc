#include "platform/socket_send.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "base/file.h"

namespace tallypad {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct SocketPair {
  UniqueFd ours, peer;
  SocketPair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    ours.reset(fds[0]);
    peer.reset(fds[1]);
  }
};

TEST(SendAllUntil, SendsEverythingAPeerTakes) {
  SocketPair p;
  const std::string data(1 << 20, 'x');  // far more than a socket buffer holds
  std::string received;
  std::thread reader([&] {
    char block[65536];
    ssize_t n;
    while ((n = ::read(p.peer.get(), block, sizeof block)) > 0) received.append(block, n);
  });
  EXPECT_EQ(SendAllUntil(p.ours.get(), data.data(), data.size(), Clock::now() + milliseconds(10000)),
            data.size());
  p.ours.reset();
  reader.join();
  EXPECT_EQ(received, data);
}

TEST(SendAllUntil, APeerThatTakesNothingIsWaitedForUntilTheDeadlineOnly) {
  SocketPair p;
  const std::string data(8 << 20, 'x');
  const auto start = Clock::now();
  size_t sent = SendAllUntil(p.ours.get(), data.data(), data.size(), start + milliseconds(300));
  const auto took = Clock::now() - start;
  EXPECT_LT(sent, data.size());
  EXPECT_GE(took, milliseconds(250));
  EXPECT_LT(took, milliseconds(5000));
}

TEST(SendAllUntil, APeerThatIsGoneEndsTheSendAtOnce) {
  SocketPair p;
  p.peer.reset();
  const std::string data(4096, 'x');
  const auto start = Clock::now();
  // No SIGPIPE: the test would end here if one were raised.
  EXPECT_EQ(SendAllUntil(p.ours.get(), data.data(), data.size(), start + milliseconds(5000)), 0u);
  EXPECT_LT(Clock::now() - start, milliseconds(1000));
}

}  // namespace
}  // namespace tallypad
