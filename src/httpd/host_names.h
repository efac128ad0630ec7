// Host names of clients, by reverse look-up, without ever holding the
// server: a name is looked up on a thread of its own, the server waits for
// it only a short bound, and every answer (a name, or none) is kept for a
// while. A look-up that does not answer within the bound leaves the request
// without a name, as a failed look-up would; it goes on in the background,
// and the next request from that address finds its answer. On an offline
// network whose name server cannot be reached, no request waits for the
// resolver's time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tallypad {

// How long a request waits for its client's name.
inline constexpr std::chrono::milliseconds kHostNameWait{100};
// How long a name found is kept.
inline constexpr std::chrono::minutes kHostNameKept{10};
// How long "no name" is kept: a look-up that failed is not repeated for
// every request.
inline constexpr std::chrono::minutes kNoHostNameKept{2};
// Most addresses remembered; the oldest answers are forgotten beyond it.
inline constexpr size_t kMaxHostNames = 4096;
// A host name keeps at most this many characters.
inline constexpr size_t kHostNameLimit = 259;

// Looks up the name of an IPv4 address (host byte order); nullopt when it
// has none.
using ReverseLookupFn = std::function<std::optional<std::string>(uint32_t address)>;

// The system's reverse look-up (getnameinfo, names required).
std::optional<std::string> SystemReverseLookup(uint32_t address);

class HostNames {
 public:
  using Clock = std::chrono::steady_clock;

  explicit HostNames(ReverseLookupFn lookup = SystemReverseLookup,
                     std::chrono::milliseconds wait = kHostNameWait);
  // Ends the look-up thread (a look-up in progress is left to finish on
  // its own).
  ~HostNames();
  HostNames(const HostNames&) = delete;
  HostNames& operator=(const HostNames&) = delete;

  // The name of `address`, "" when it has none or none is known within the
  // wait (the look-up then goes on for the next request).
  std::string NameOf(uint32_t address);

 private:
  struct Entry {
    std::optional<std::string> name;  // nullopt: no name
    bool answered = false;
    Clock::time_point expires;
    Clock::time_point asked;
  };
  // What the look-up thread shares with the server: it outlives this
  // object while a look-up is still in progress at shut-down.
  struct State {
    ReverseLookupFn lookup;
    std::mutex mutex;
    std::condition_variable answered;
    std::condition_variable queued;
    std::unordered_map<uint32_t, Entry> entries;
    std::deque<uint32_t> queue;
    bool stopping = false;
  };
  static void Work(std::shared_ptr<State> state);
  static void ForgetOldest(State& state);

  std::chrono::milliseconds wait_;
  std::shared_ptr<State> state_;
};

// The host names of this process.
HostNames& ProcessHostNames();

}  // namespace tallypad
