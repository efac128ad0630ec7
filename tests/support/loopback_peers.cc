#include "support/loopback_peers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "support/server_process.h"

namespace tallypad::testing {

namespace {

// Binds `fd` to an ephemeral loopback port and returns it (0 on failure).
int BindEphemeral(int fd) {
  sockaddr_in a = LoopbackAddress(0);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return 0;
  socklen_t size = sizeof a;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) != 0) return 0;
  return ntohs(a.sin_port);
}

}  // namespace

LoopbackSink::LoopbackSink(int receive_buffer, bool read) : read_(read) {
  listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (receive_buffer > 0) {
    // Set on the listener so that accepted sockets start with it.
    ::setsockopt(listener_.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  port_ = BindEphemeral(listener_.get());
  if (port_ == 0 || ::listen(listener_.get(), 16) != 0) return;
  thread_ = std::thread([this] { Run(); });
}

LoopbackSink::~LoopbackSink() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> LoopbackSink::Received() {
  std::lock_guard<std::mutex> lock(mutex_);
  return received_;
}

bool LoopbackSink::WaitForAccepted(size_t count, int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (accepted_.load() < count) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

void LoopbackSink::Run() {
  while (!stop_) {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!conn.valid()) continue;
    ++accepted_;
    if (!read_) {
      std::lock_guard<std::mutex> lock(mutex_);
      held_.push_back(std::move(conn));
      continue;
    }
    std::string bytes;
    char buf[4096];
    while (!stop_) {
      pollfd q{conn.get(), POLLIN, 0};
      if (::poll(&q, 1, 50) <= 0) continue;
      ssize_t n = ::recv(conn.get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      bytes.append(buf, static_cast<size_t>(n));
    }
    // Recorded before the close, which the sender waits for.
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(std::move(bytes));
  }
}

AnsweringPeer::AnsweringPeer(int pause_ms)
    : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  port_ = BindEphemeral(listener_.get());
  if (port_ == 0 || ::listen(listener_.get(), 4) != 0) return;
  thread_ = std::thread([this, pause_ms] {
    pollfd p{listener_.get(), POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return;
    UniqueFd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    auto answer = [&](std::string_view text) {
      return ::send(conn.get(), text.data(), text.size(), MSG_NOSIGNAL) ==
             static_cast<ssize_t>(text.size());
    };
    if (!conn.valid() || !answer("220 ready\r\n")) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    std::string pending;
    char buf[4096];
    for (;;) {
      pollfd q{conn.get(), POLLIN, 0};
      if (::poll(&q, 1, 10000) <= 0) return;
      ssize_t n = ::recv(conn.get(), buf, sizeof buf, 0);
      if (n <= 0) return;
      pending.append(buf, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        lines_.push_back(pending.substr(0, end + 1));
        pending.erase(0, end + 1);
        if (!answer("250 ok\r\n")) return;
      }
    }
  });
}

AnsweringPeer::~AnsweringPeer() {
  if (thread_.joinable()) thread_.join();
}

std::vector<std::string> AnsweringPeer::Lines() {
  if (thread_.joinable()) thread_.join();
  return lines_;
}

RefusingPort::RefusingPort() : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  port_ = BindEphemeral(socket_.get());
}

HangingListener::HangingListener() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  port_ = BindEphemeral(listener_.get());
  if (port_ == 0 || ::listen(listener_.get(), 0) != 0) return;
  // Connect until one connect does not complete: the queue is then full and
  // the listener drops further connection requests.
  for (int i = 0; i < 16 && !ready_; ++i) {
    UniqueFd s(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_in a = LoopbackAddress(port_);
    int r = ::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    if (r != 0 && errno != EINPROGRESS) return;
    pollfd p{s.get(), POLLOUT, 0};
    ready_ = r != 0 && ::poll(&p, 1, 300) == 0;
    fillers_.push_back(std::move(s));
  }
}

}  // namespace tallypad::testing
