#include "httpd/server_thread.h"

#include <sys/epoll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <unordered_map>
#include <vector>

#include "base/result_code.h"
#include "base/status_log.h"
#include "base/text.h"

namespace tallypad {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kVersionComment = "<!-- Velkorn CGI 5.04 -->";
// Events taken from the kernel per wait.
constexpr int kEventsPerWait = 256;
// A client that took nothing for this long counts as stalled when held
// response bytes must be freed.
constexpr auto kStalledAfter = std::chrono::seconds(1);

// Where a connection is in its one request.
enum class Phase {
  kReading,    // gathering the request
  kWriting,    // sending the response
  kLingering,  // response sent and the sending side shut: dropping late input
};

struct Client {
  Client(std::unique_ptr<Connection> c, const RequestLimits& limits, Clock::time_point now)
      : conn(std::move(c)), assembler(limits, now) {}

  std::unique_ptr<Connection> conn;
  RequestAssembler assembler;
  Phase phase = Phase::kReading;
  size_t sent = 0;          // bytes of conn->response sent
  off_t file_offset = 0;    // where sendfile goes on in conn->file
  uint64_t file_left = 0;   // bytes of conn->file still to send
  Clock::time_point deadline;       // of the response, or of the lingering
  Clock::time_point last_progress;  // when the client last took bytes
  uint32_t events = 0;      // what the epoll set watches for it
  // Input may be left unread when the response is sent (a refusal, or more
  // than one request): it is read and dropped before closing, so that the
  // client sees the response rather than a reset.
  bool linger = false;

  int fd() const { return conn->socket.get(); }
  size_t held() const { return conn->response.size() - sent; }
};

// The refusal of a request that was never complete: its status and the
// line of its body and of the message log.
struct Refusal {
  std::string_view status;
  std::string line;
  std::string log;
};

class EventLoop {
 public:
  EventLoop(Listener* l, const ServerHooks& hooks, const ServerLimits& limits)
      : listener_(l), hooks_(hooks), limits_(limits), epoll_(::epoll_create1(EPOLL_CLOEXEC)) {}

  int Run(const std::atomic<bool>& stop) {
    if (!epoll_.valid()) return kServerThreadExitCode;
    Watch(listener_->socket.get(), EPOLLIN, EPOLL_CTL_ADD);
    accepting_ = true;
    if (listener_->wake.valid()) Watch(listener_->wake.get(), EPOLLIN, EPOLL_CTL_ADD);
    next_idle_ = Clock::now() + std::chrono::milliseconds(kIdleStepMs);
    epoll_event events[kEventsPerWait];
    while (!stop.load()) {
      int n = ::epoll_wait(epoll_.get(), events, kEventsPerWait, WaitMs());
      for (int i = 0; i < n && !stop.load(); ++i) {
        const int fd = events[i].data.fd;
        if (fd == listener_->socket.get()) {
          AcceptAll();
        } else if (fd != listener_->wake.get()) {
          auto found = clients_.find(fd);
          if (found != clients_.end()) Serve(*found->second);
        }
      }
      Expire(Clock::now());
      IdleStep(Clock::now());
    }
    clients_.clear();
    return kServerThreadExitCode;
  }

 private:
  void Watch(int fd, uint32_t events, int op) {
    epoll_event e{};
    e.events = events;
    e.data.fd = fd;
    ::epoll_ctl(epoll_.get(), op, fd, &e);
  }

  void WatchClient(Client& c, uint32_t events) {
    if (c.events == events) return;
    Watch(c.fd(), events, c.events == 0 ? EPOLL_CTL_ADD : EPOLL_CTL_MOD);
    c.events = events;
  }

  // Milliseconds until the nearest deadline or idle step (at most a second).
  int WaitMs() const {
    const auto now = Clock::now();
    auto next = next_idle_;
    for (const auto& [fd, c] : clients_) next = std::min(next, NextDeadline(*c));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, kIdleStepMs));
  }

  static Clock::time_point NextDeadline(const Client& c) {
    return c.phase == Phase::kReading ? c.assembler.NextCheck() : c.deadline;
  }

  // ---- Accepting -----------------------------------------------------------

  void AcceptAll() {
    while (clients_.size() < limits_.max_connections) {
      bool refused = false;
      errno = 0;
      std::unique_ptr<Connection> conn = ListenerAccept(listener_, &refused);
      if (!conn) {
        if (refused) continue;
        // Out of descriptors: stop accepting until a connection closes,
        // rather than being woken for the waiting connection again and again.
        if (errno == EMFILE || errno == ENFILE) break;
        return;
      }
      const auto now = Clock::now();
      auto client = std::make_unique<Client>(std::move(conn), limits_.request, now);
      Client& c = *client;
      clients_[c.fd()] = std::move(client);
      // The request has often arrived with the connection: served at once.
      Read(c);
    }
    // At the bound new connections wait in the backlog until one closes.
    if (accepting_) {
      Watch(listener_->socket.get(), 0, EPOLL_CTL_DEL);
      accepting_ = false;
    }
  }

  // Closes the client's connection and forgets it: `c` is gone afterwards.
  void Close(Client& c) {
    const int fd = c.fd();
    if (c.phase == Phase::kWriting) held_ -= c.held();
    // Closing the socket takes it out of the epoll set as well.
    clients_.erase(fd);
    if (!accepting_ && clients_.size() < limits_.max_connections && listener_->socket.valid()) {
      Watch(listener_->socket.get(), EPOLLIN, EPOLL_CTL_ADD);
      accepting_ = true;
    }
  }

  // ---- One client's events -------------------------------------------------

  void Serve(Client& c) {
    switch (c.phase) {
      case Phase::kReading:
        Read(c);
        break;
      case Phase::kWriting:
        Write(c);
        break;
      case Phase::kLingering:
        Drop(c);
        break;
    }
  }

  void Read(Client& c) {
    char block[kRequestReadBlock];
    RequestState state = c.assembler.state();
    while (state == RequestState::kReading) {
      size_t room = std::min(sizeof block, c.assembler.Room());
      ssize_t n = ::recv(c.fd(), block, room, 0);
      if (n > 0) {
        state = c.assembler.Feed(block, static_cast<size_t>(n), Clock::now());
      } else if (n == 0) {
        state = c.assembler.PeerClosed();
      } else if (errno == EINTR) {
        continue;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        WatchClient(c, EPOLLIN | EPOLLRDHUP);
        return;
      } else {
        Close(c);
        return;
      }
    }
    Act(c, state);
  }

  // Acts on a request state that is no longer kReading.
  void Act(Client& c, RequestState state) {
    switch (state) {
      case RequestState::kReading:
        return;
      case RequestState::kComplete:
        Dispatch(c);
        return;
      case RequestState::kNothing:
        Close(c);
        return;
      case RequestState::kTooLarge:
        Refuse(c, Refusal{"413 Payload Too Large",
                          StrPrintf("The request is larger than %zu bytes.\n",
                                    limits_.request.max_bytes),
                          StrPrintf("\nRefused a request larger than %zu bytes.",
                                    limits_.request.max_bytes)});
        return;
      case RequestState::kTimedOut:
        Refuse(c, Refusal{"408 Request Timeout",
                          StrPrintf("The request was not complete within %d ms.\n",
                                    limits_.request.max_ms),
                          StrPrintf("\nRefused a request not complete within %d ms.",
                                    limits_.request.max_ms)});
        return;
      case RequestState::kCutShort:
        Refuse(c, Refusal{"400 Bad Request",
                          "The request ended before its body was complete.\n",
                          "\nRefused a request that ended before its body was complete."});
        return;
    }
  }

  // Serves the complete request and starts sending its response.
  void Dispatch(Client& c) {
    idle_ = 0;
    next_idle_ = Clock::now() + std::chrono::milliseconds(kIdleStepMs);
    c.linger = c.assembler.had_more();
    c.conn->request = c.assembler.TakeText();
    int code = hooks_.handle_request ? hooks_.handle_request(*c.conn) : 0;
    std::string trailer = TrailerLine(code);
    if (!trailer.empty()) {
      ConnWrite(c.conn.get(), trailer.data(), trailer.size());
      ConnWrite(c.conn.get(), kVersionComment.data(), kVersionComment.size());
      StatusLogAppend(TrailerLogLine(code));
    }
    StartWriting(c);
  }

  // Answers a request that never became complete; the rest of its input is
  // dropped afterwards.
  void Refuse(Client& c, const Refusal& refusal) {
    std::string response = StrPrintf(
        "HTTP/1.1 %.*s\r\nContent-Type: text/plain\r\nConnection: close\r\n"
        "Content-Length: %zu\r\n\r\n",
        static_cast<int>(refusal.status.size()), refusal.status.data(), refusal.line.size());
    response += refusal.line;
    c.conn->response = std::move(response);
    c.linger = true;
    StatusLogAppend(refusal.log);
    StartWriting(c);
  }

  void StartWriting(Client& c) {
    c.phase = Phase::kWriting;
    c.sent = 0;
    c.conn->request.clear();
    c.conn->request.shrink_to_fit();
    if (c.conn->file.valid()) {
      c.file_offset = 0;
      c.file_left = c.conn->file_size;
    }
    const auto now = Clock::now();
    c.deadline = now + std::chrono::milliseconds(limits_.response_ms);
    c.last_progress = now;
    held_ += c.held();
    const int fd = c.fd();
    Write(c);  // may close the client
    auto still = clients_.find(fd);
    if (still != clients_.end() && still->second->phase == Phase::kWriting) FreeHeldBytes(fd);
  }

  void Write(Client& c) {
    // The response's bytes first, then the attached file.
    while (c.sent < c.conn->response.size()) {
      const bool more = c.file_left > 0;
      ssize_t n = ::send(c.fd(), c.conn->response.data() + c.sent, c.conn->response.size() - c.sent,
                         MSG_NOSIGNAL | MSG_DONTWAIT | (more ? MSG_MORE : 0));
      if (n > 0) {
        c.sent += static_cast<size_t>(n);
        held_ -= static_cast<size_t>(n);
        c.last_progress = Clock::now();
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        WatchClient(c, EPOLLOUT);
        return;
      } else {
        Close(c);  // the client is gone
        return;
      }
    }
    while (c.file_left > 0) {
      ssize_t n = ::sendfile(c.fd(), c.conn->file.get(), &c.file_offset,
                             static_cast<size_t>(c.file_left));
      if (n > 0) {
        c.file_left -= static_cast<uint64_t>(n);
        c.last_progress = Clock::now();
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        WatchClient(c, EPOLLOUT);
        return;
      } else {
        // The file ended early or the client is gone: what was sent stands.
        break;
      }
    }
    FinishResponse(c);
  }

  // The response is sent. Where input may be left unread, the sending side
  // is shut and what the client still sends is dropped until it closes or
  // the lingering ends; otherwise the connection closes at once.
  void FinishResponse(Client& c) {
    if (!c.linger) {
      Close(c);
      return;
    }
    c.conn->response.clear();
    c.conn->response.shrink_to_fit();
    c.conn->file.reset();
    ::shutdown(c.fd(), SHUT_WR);
    c.phase = Phase::kLingering;
    c.deadline = Clock::now() + std::chrono::milliseconds(limits_.linger_ms);
    WatchClient(c, EPOLLIN | EPOLLRDHUP);
    Drop(c);
  }

  void Drop(Client& c) {
    char block[kRequestReadBlock];
    for (;;) {
      ssize_t n = ::recv(c.fd(), block, sizeof block, 0);
      if (n > 0) continue;
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      Close(c);  // the client closed, or is gone
      return;
    }
  }

  // ---- Time ----------------------------------------------------------------

  void Expire(Clock::time_point now) {
    std::vector<int> due;
    for (const auto& [fd, c] : clients_)
      if (NextDeadline(*c) <= now) due.push_back(fd);
    for (int fd : due) {
      auto found = clients_.find(fd);
      if (found == clients_.end()) continue;
      Client& c = *found->second;
      if (c.phase == Phase::kReading) {
        Act(c, c.assembler.Check(now));
      } else {
        Close(c);  // a response not taken in time, or lingering that ended
      }
    }
  }

  // Frees held response bytes beyond the bound: clients that took nothing
  // for a while are dropped, those stalled longest first. `keep` is the
  // client just served.
  void FreeHeldBytes(int keep) {
    if (held_ <= limits_.max_held_response_bytes) return;
    const auto stalled_before = Clock::now() - kStalledAfter;
    std::vector<Client*> stalled;
    for (const auto& [fd, c] : clients_)
      if (fd != keep && c->phase == Phase::kWriting && c->last_progress < stalled_before)
        stalled.push_back(c.get());
    std::sort(stalled.begin(), stalled.end(),
              [](const Client* a, const Client* b) { return a->last_progress < b->last_progress; });
    for (Client* c : stalled) {
      if (held_ <= limits_.max_held_response_bytes) break;
      Close(*c);
    }
  }

  void IdleStep(Clock::time_point now) {
    if (now < next_idle_) return;
    next_idle_ = now + std::chrono::milliseconds(kIdleStepMs);
    if (idle_ < kIdleCounterLimit) ++idle_;
    if (hooks_.idle_step) hooks_.idle_step(idle_);
  }

  Listener* listener_;
  const ServerHooks& hooks_;
  const ServerLimits& limits_;
  UniqueFd epoll_;
  std::unordered_map<int, std::unique_ptr<Client>> clients_;
  bool accepting_ = false;
  size_t held_ = 0;  // response bytes not yet taken by their clients
  int idle_ = 0;
  Clock::time_point next_idle_;
};

}  // namespace

std::string TrailerLine(int code) {
  if (code == ResultNumber(ResultCode::kOk)) return "";
  if (IsAccessDenied(code)) return "<P>Error: Access denied.\n";
  // The help page is served by this server itself: the machine is often offline.
  return StrPrintf("<P><A href=/help/cgi/kqs/error.html#s%d>Error %d</a>\n", code, code);
}

std::string TrailerLogLine(int code) {
  if (code == ResultNumber(ResultCode::kOk)) return "";
  if (IsAccessDenied(code))
    return StrPrintf("\nThe request ended with error %d: access denied.", code);
  return StrPrintf("\nThe request ended with error %d (explained at /help/cgi/kqs/error.html#s%d).",
                   code, code);
}

int ServerThread(Listener* l, const ServerHooks& hooks, const std::atomic<bool>& stop,
                 const ServerLimits& limits) {
  EventLoop loop(l, hooks, limits);
  return loop.Run(stop);
}

}  // namespace tallypad
