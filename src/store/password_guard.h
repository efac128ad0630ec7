// The password guard: slows down guessing of the passwords that protect a
// form's data. Wrong passwords are counted per client address (every word
// of a posted password list is one try); an address that makes too many
// wrong tries within a window is refused every password-checked request
// until a back-off has passed, and each new refusal doubles the back-off.
// A right password after a back-off clears the address's record. The
// survey engine and the list viewer consult it before they check a
// password. The process keeps one guard; it is safe to use from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "base/vartable.h"

namespace tallypad {

// Wrong tries that get an address refused when made within kGuessWindow.
inline constexpr int kMaxWrongPasswords = 10;
// The window the wrong tries are counted in.
inline constexpr std::chrono::seconds kGuessWindow{10 * 60};
// The first back-off; each further refusal of an address doubles it.
inline constexpr std::chrono::seconds kFirstBackOff{60};
// The longest back-off: a person who mistyped is never locked out for long.
inline constexpr std::chrono::seconds kLongestBackOff{60 * 60};
// Most addresses remembered; beyond that the least recently seen is
// forgotten, so that a flood of addresses cannot grow memory without end.
inline constexpr size_t kMaxGuardedAddresses = 4096;

class PasswordGuard {
 public:
  using Clock = std::chrono::steady_clock;

  // Seconds `client` must still wait before its passwords are checked
  // again; 0 when it may go on.
  long RefusedFor(uint32_t client, Clock::time_point now = Clock::now());
  // Notes the outcome of one password check of `client`: `wrong` of its
  // `tries` words granted nothing. Returns true when this check got the
  // address refused (the caller logs it once).
  bool Record(uint32_t client, int tries, int wrong, Clock::time_point now = Clock::now());
  // Forgets every address.
  void Clear();

 private:
  struct Entry {
    int wrong = 0;                    // wrong tries in the current window
    Clock::time_point window_start;   // when the first of them was made
    Clock::time_point refused_until;  // time_point{} when not refused
    int refusals = 0;                 // refusals so far, for the doubling
    Clock::time_point last_seen;
  };
  void ForgetOldest();

  std::mutex mutex_;
  std::unordered_map<uint32_t, Entry> entries_;
};

// The guard of this process.
PasswordGuard& ProcessPasswordGuard();

// The rights of a caller at `client` (`client_ip` as text, for the log)
// who posted `password` for form `database`, as CheckRights computes them,
// with the wrong tries counted by the process's guard. A refused address
// has nothing checked: nullopt is returned, and `refused_for` (when given)
// receives the seconds it must still wait. Without a password the guard is
// not asked.
std::optional<int> GuardedRights(uint32_t client, std::string_view client_ip,
                                 std::string_view base_path, std::string_view host_name,
                                 std::string_view database, std::string_view password,
                                 long* refused_for);
// The rights as GuardedRights works them out, with the form's access
// section `access` already loaded (null: none), as CheckRightsIn checks them.
std::optional<int> GuardedRightsIn(uint32_t client, std::string_view client_ip,
                                   const VarTable* access, std::string_view host_name,
                                   std::string_view database, std::string_view password,
                                   long* refused_for);
// The page that answers a refused address's request: it says when to try
// again (after `seconds`).
std::string PasswordRefusalPage(long seconds);

}  // namespace tallypad
