#include "cgi/kqs/unique_id.h"

#include <unistd.h>

#include <chrono>

#include "platform/named_mutex.h"
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
      &state);
  // A store that cannot be read or written counts as a state of 0; the
  // identifier is still made, only not remembered.
  if (rc != kRegistryOk) state = UniqueIdAdvance(0, text, tick, pid);
  return UniqueIdFormat(state, UtcNow());
}

}  // namespace tallypad
