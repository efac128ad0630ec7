#include "cgi/kqs/unique_id.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>

#include "base/status_log.h"
#include "platform/named_mutex.h"
#include "platform/random_bytes.h"
#include "platform/registry.h"

namespace tallypad {

namespace {

constexpr char kBase32Digits[] = "0123456789abcdefghijklmnopqrstuv";

// The millisecond tick count: the monotonic clock, which only moves forward.
uint32_t TickCountMs() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

std::tm UtcNow() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  return utc;
}

// The 64-bit mixing step of SplitMix64: spreads every input bit over the
// whole result.
uint64_t Mix64(uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// 64 bits from the system's random source. Should the source fail (no
// getrandom and no readable /dev/urandom), the bits come from the
// nanosecond clock, the process and a counter instead, which keeps
// identifiers distinct but not secret; the message log says so once.
uint64_t RandomBits() {
  std::optional<std::string> bytes = RandomBytes(sizeof(uint64_t));
  if (bytes) {
    uint64_t bits = 0;
    for (char c : *bytes) bits = bits << 8 | static_cast<unsigned char>(c);
    return bits;
  }
  static std::atomic<uint64_t> counter{0};
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true))
    StatusLogAppend("\nkqs: no random source; session identifiers can be guessed");
  const uint64_t ns = static_cast<uint64_t>(
      std::chrono::high_resolution_clock::now().time_since_epoch().count());
  return Mix64(ns ^ Mix64(static_cast<uint64_t>(getpid()) << 32 | counter.fetch_add(1)));
}

}  // namespace

uint32_t UniqueIdTimeStamp(const std::tm& utc) {
  const uint32_t second = static_cast<uint32_t>(utc.tm_sec) & 0x3f;
  const uint32_t clock =
      static_cast<uint32_t>(utc.tm_hour) * 32 | static_cast<uint32_t>(utc.tm_min);
  const uint32_t day = static_cast<uint32_t>(utc.tm_mday - 1);
  const uint32_t month = static_cast<uint32_t>(utc.tm_mon);  // already 0-based
  return second | clock << 6 | day << 16 | month << 20;
}

std::string UniqueIdBase32(uint32_t value) {
  std::string digits;
  for (; value != 0; value >>= 5) digits.push_back(kBase32Digits[value & 31]);
  return digits;
}

uint32_t UniqueIdAdvance(uint32_t old_state, std::string_view text, uint32_t tick_ms,
                         uint32_t pid) {
  uint32_t a = old_state >> 16;
  for (char c : text) a += static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(c)));
  a += tick_ms;
  return ((pid + old_state) & 0xffff) | a << 16;
}

std::string UniqueIdFormat(uint32_t state, const std::tm& utc) {
  const uint32_t t = UniqueIdTimeStamp(utc);
  const uint32_t mixed = (t ^ state) & kUniqueIdMask;
  const uint32_t a = mixed ^ state;  // mask bits from the time stamp, the others from the state
  const uint32_t b = mixed ^ t;      // mask bits from the state, the others from the time stamp
  // A clock set before 2000 gives no year digits rather than a wrapped number.
  const int year = utc.tm_year + 1900 - 2000;
  std::string id = "x";
  id += UniqueIdBase32(year > 0 ? static_cast<uint32_t>(year) : 0);
  id += UniqueIdBase32(a);
  id += 'Y';
  id += UniqueIdBase32(b);
  return id;
}

std::string UniqueIdRandomDigits(uint64_t bits) {
  std::string digits;
  for (size_t i = 0; i < kUniqueIdRandomDigits; ++i, bits >>= 5)
    digits.push_back(kBase32Digits[bits & 31]);
  return digits;
}

std::string UniqueIdNew(std::string_view text) {
  NamedMutex lock(kUniqueIdMutex, kNamedMutexWaitMs);
  const uint32_t tick = TickCountMs();
  const uint32_t pid = static_cast<uint32_t>(getpid());
  uint32_t state = 0;
  int rc = RegistryUpdateDword(
      RegistryRoot::kCurrentUser, kUniqueIdKey, kUniqueIdValue,
      [&](std::optional<uint32_t> old) {
        return UniqueIdAdvance(old.value_or(0), text, tick, pid);
      },
      &state, Durability::kInMemory);
  // The counter only keeps identifiers made in the same millisecond apart
  // (the random digits make them unguessable), and it is removed at
  // shut-down, so it is not flushed to disk: a crash that loses it costs
  // nothing, and a new session does not wait for the disk.
  // A store that cannot be read or written counts as a state of 0; the
  // identifier is still made, only not remembered.
  if (rc != kRegistryOk) state = UniqueIdAdvance(0, text, tick, pid);
  return UniqueIdFormat(state, UtcNow()) + UniqueIdRandomDigits(RandomBits());
}

}  // namespace tallypad
