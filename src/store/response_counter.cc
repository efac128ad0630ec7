#include "store/response_counter.h"

#include <climits>

#include "base/str.h"
#include "platform/named_mutex.h"
#include "platform/profile.h"

namespace tallypad {

std::string ResponseCounterPath(std::string_view base_path) {
  return PathBuild(base_path, kResponseCounterFile);
}

int ResponseCountRead(std::string_view base_path, std::string_view database) {
  return ProfileGetInt(ResponseCounterPath(base_path), kResponseCounterSection, database, 0);
}

int ResponseCountRaise(std::string_view base_path, std::string_view database) {
  const std::string path = ResponseCounterPath(base_path);
  if (path.empty()) return -1;
  // Two programs may share a server root: without the lock both could read
  // the same count and one save would go uncounted.
  NamedMutex lock(NamedMutexNameForFile(path), kNamedMutexWaitMs);
  int count = ProfileGetInt(path, kResponseCounterSection, database, 0);
  if (count < INT_MAX) ++count;
  ProfileUpdate update{std::string(kResponseCounterSection), std::string(database),
                       std::to_string(count)};
  return ProfileWrite(path, {update}) ? count : -1;
}

}  // namespace tallypad
