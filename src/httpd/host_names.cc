#include "httpd/host_names.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <thread>

namespace tallypad {

std::optional<std::string> SystemReverseLookup(uint32_t address) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(address);
  char name[NI_MAXHOST];
  if (getnameinfo(reinterpret_cast<const sockaddr*>(&a), sizeof a, name, sizeof name, nullptr, 0,
                  NI_NAMEREQD) != 0)
    return std::nullopt;
  return std::string(name);
}

HostNames::HostNames(ReverseLookupFn lookup, std::chrono::milliseconds wait)
    : wait_(wait), state_(std::make_shared<State>()) {
  state_->lookup = std::move(lookup);
  std::thread(Work, state_).detach();
}

HostNames::~HostNames() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->stopping = true;
  state_->queued.notify_all();
}

std::string HostNames::NameOf(uint32_t address) {
  State& s = *state_;
  std::unique_lock<std::mutex> lock(s.mutex);
  const auto now = Clock::now();
  auto found = s.entries.find(address);
  if (found != s.entries.end() && found->second.answered && found->second.expires <= now) {
    s.entries.erase(found);
    found = s.entries.end();
  }
  if (found == s.entries.end()) {
    if (s.entries.size() >= kMaxHostNames) ForgetOldest(s);
    Entry asked;
    asked.asked = now;
    found = s.entries.emplace(address, asked).first;
    s.queue.push_back(address);
    s.queued.notify_one();
  }
  // Waits only the bound; the answer is kept for later requests either way.
  s.answered.wait_for(lock, wait_, [&] {
    auto e = s.entries.find(address);
    return e == s.entries.end() || e->second.answered;
  });
  auto e = s.entries.find(address);
  if (e == s.entries.end() || !e->second.answered || !e->second.name) return "";
  return *e->second.name;
}

void HostNames::Work(std::shared_ptr<State> state) {
  State& s = *state;
  std::unique_lock<std::mutex> lock(s.mutex);
  for (;;) {
    s.queued.wait(lock, [&] { return s.stopping || !s.queue.empty(); });
    if (s.stopping) return;
    const uint32_t address = s.queue.front();
    s.queue.pop_front();
    lock.unlock();
    std::optional<std::string> name = s.lookup ? s.lookup(address) : std::nullopt;
    if (name && name->size() > kHostNameLimit) name->resize(kHostNameLimit);
    lock.lock();
    auto e = s.entries.find(address);
    if (e == s.entries.end()) continue;  // forgotten meanwhile
    e->second.name = std::move(name);
    e->second.answered = true;
    const Clock::duration kept = e->second.name ? Clock::duration(kHostNameKept)
                                                : Clock::duration(kNoHostNameKept);
    e->second.expires = Clock::now() + kept;
    s.answered.notify_all();
  }
}

void HostNames::ForgetOldest(State& s) {
  // The oldest answered entry goes; an address still being looked up goes
  // only when every entry is one.
  auto oldest_of = [&](bool answered_only) {
    auto oldest = s.entries.end();
    for (auto it = s.entries.begin(); it != s.entries.end(); ++it) {
      if (answered_only && !it->second.answered) continue;
      if (oldest == s.entries.end() || it->second.asked < oldest->second.asked) oldest = it;
    }
    return oldest;
  };
  auto oldest = oldest_of(true);
  if (oldest == s.entries.end()) oldest = oldest_of(false);
  if (oldest != s.entries.end()) s.entries.erase(oldest);
}

HostNames& ProcessHostNames() {
  static HostNames names;
  return names;
}

}  // namespace tallypad
