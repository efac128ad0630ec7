// Peers on 127.0.0.1 for tests of outgoing connections: a sink that records
// what each connection sends, a port that refuses connections, and a
// listener whose full accept queue makes connects hang. All stay on loopback.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/file.h"

namespace tallypad::testing {

// Accepts connections one after another on its own thread, reads each until
// the peer ends it, records the bytes and closes it.
class LoopbackSink {
 public:
  // With `receive_buffer` > 0 the accepted sockets get that receive buffer
  // size; with `read` false they are accepted but never read from.
  explicit LoopbackSink(int receive_buffer = 0, bool read = true);
  ~LoopbackSink();
  LoopbackSink(const LoopbackSink&) = delete;
  LoopbackSink& operator=(const LoopbackSink&) = delete;

  int port() const { return port_; }
  // The bytes of each finished connection, in the order they were accepted.
  std::vector<std::string> Received();
  // Waits up to `timeout_ms` until `count` connections have been accepted.
  bool WaitForAccepted(size_t count, int timeout_ms);

 private:
  void Run();

  UniqueFd listener_;
  int port_ = 0;
  bool read_ = true;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> accepted_{0};
  std::mutex mutex_;
  std::vector<std::string> received_;
  std::vector<UniqueFd> held_;  // connections kept open unread
  std::thread thread_;
};

// Serves one connection like a strict mail server: greets, waits
// `pause_ms`, then reads line by line and answers each line, giving up at
// the first answer that cannot be sent (the way a server treats a client
// that has gone). Records the lines it took in.
class AnsweringPeer {
 public:
  explicit AnsweringPeer(int pause_ms);
  ~AnsweringPeer();
  AnsweringPeer(const AnsweringPeer&) = delete;
  AnsweringPeer& operator=(const AnsweringPeer&) = delete;

  int port() const { return port_; }
  // Waits for the connection to end and returns the lines taken in.
  std::vector<std::string> Lines();

 private:
  UniqueFd listener_;
  int port_ = 0;
  std::vector<std::string> lines_;
  std::thread thread_;
};

// A loopback port with a bound socket that does not listen: connecting to
// it is refused at once.
class RefusingPort {
 public:
  RefusingPort();
  int port() const { return port_; }

 private:
  UniqueFd socket_;
  int port_ = 0;
};

// A loopback listener that never accepts and whose accept queue has been
// filled, so that a further connect waits until it times out.
class HangingListener {
 public:
  HangingListener();
  int port() const { return port_; }
  // False when the queue could not be filled (a connect would not hang).
  bool ready() const { return ready_; }

 private:
  UniqueFd listener_;
  std::vector<UniqueFd> fillers_;
  int port_ = 0;
  bool ready_ = false;
};

}  // namespace tallypad::testing
