#include "store/password_guard.h"

#include <algorithm>
#include <string>

#include "base/status_log.h"
#include "base/str.h"
#include "base/text.h"
#include "store/access.h"

namespace tallypad {

long PasswordGuard::RefusedFor(uint32_t client, Clock::time_point now) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(client);
  if (found == entries_.end() || found->second.refused_until <= now) return 0;
  auto left = std::chrono::ceil<std::chrono::seconds>(found->second.refused_until - now);
  return std::max<long>(1, static_cast<long>(left.count()));
}

bool PasswordGuard::Record(uint32_t client, int tries, int wrong, Clock::time_point now) {
  if (tries <= 0) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = entries_.find(client);
  if (wrong <= 0) {
    // A right password ends the record, unless the address is still
    // waiting out a back-off (its checks are refused before they get here).
    if (found != entries_.end() && found->second.refused_until <= now) entries_.erase(found);
    return false;
  }
  if (found == entries_.end()) {
    if (entries_.size() >= kMaxGuardedAddresses) ForgetOldest();
    found = entries_.emplace(client, Entry{}).first;
  }
  Entry& e = found->second;
  e.last_seen = now;
  if (e.wrong == 0 || now - e.window_start > kGuessWindow) {
    e.wrong = 0;
    e.window_start = now;
  }
  e.wrong += wrong;
  if (e.wrong < kMaxWrongPasswords) return false;
  // Refused: the back-off doubles with every refusal, up to the longest.
  auto back_off = kFirstBackOff;
  for (int i = 0; i < e.refusals && back_off < kLongestBackOff; ++i) back_off *= 2;
  back_off = std::min(back_off, kLongestBackOff);
  ++e.refusals;
  e.wrong = 0;
  e.refused_until = now + back_off;
  return true;
}

void PasswordGuard::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
}

void PasswordGuard::ForgetOldest() {
  // Addresses still waiting out a back-off are kept while others can go.
  auto oldest = entries_.end();
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    bool refused = it->second.refused_until > it->second.last_seen;
    if (oldest == entries_.end()) {
      oldest = it;
      continue;
    }
    bool oldest_refused = oldest->second.refused_until > oldest->second.last_seen;
    if (refused != oldest_refused ? !refused : it->second.last_seen < oldest->second.last_seen)
      oldest = it;
  }
  if (oldest != entries_.end()) entries_.erase(oldest);
}

PasswordGuard& ProcessPasswordGuard() {
  static PasswordGuard guard;
  return guard;
}

namespace {

// The guard around one rights check: `check_rights` computes the rights of
// the posted `password` unless the address is refused.
template <typename CheckFn>
std::optional<int> Guarded(uint32_t client, std::string_view client_ip, std::string_view password,
                           long* refused_for, CheckFn check_rights) {
  if (password.empty()) return check_rights().rights;
  PasswordGuard& guard = ProcessPasswordGuard();
  if (long wait = guard.RefusedFor(client); wait > 0) {
    if (refused_for) *refused_for = wait;
    return std::nullopt;
  }
  RightsCheck check = check_rights();
  if (guard.Record(client, check.tries, check.wrong_tries)) {
    StatusLogAppend(StrPrintf("\nToo many wrong passwords from %.*s: its password checks are "
                              "refused for %ld s",
                              static_cast<int>(client_ip.size()), client_ip.data(),
                              guard.RefusedFor(client)));
  }
  return check.rights;
}

}  // namespace

std::optional<int> GuardedRights(uint32_t client, std::string_view client_ip,
                                 std::string_view base_path, std::string_view host_name,
                                 std::string_view database, std::string_view password,
                                 long* refused_for) {
  return Guarded(client, client_ip, password, refused_for,
                 [&] { return CheckRights(base_path, host_name, database, password); });
}

std::optional<int> GuardedRightsIn(uint32_t client, std::string_view client_ip,
                                   const VarTable* access, std::string_view host_name,
                                   std::string_view database, std::string_view password,
                                   long* refused_for) {
  return Guarded(client, client_ip, password, refused_for,
                 [&] { return CheckRightsIn(access, host_name, database, password); });
}

std::string PasswordRefusalPage(long seconds) {
  const long minutes = (seconds + 59) / 60;
  return StrPrintf(
      "<html><head><title>Too many wrong passwords</title></head><body>"
      "<P>Too many wrong passwords came from your address. Please try again in %ld "
      "minute%s.</body></html>\n",
      minutes, minutes == 1 ? "" : "s");
}

}  // namespace tallypad
