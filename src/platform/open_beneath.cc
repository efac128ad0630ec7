#include "platform/open_beneath.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

namespace tallypad {

BeneathResult OpenBeneath(int folder, const std::string& path, UniqueFd* fd) {
#ifdef SYS_openat2
  open_how how{};
  how.flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  long r;
  do {
    r = ::syscall(SYS_openat2, folder, path.c_str(), &how, sizeof how);
  } while (r < 0 && (errno == EINTR || errno == EAGAIN));
  if (r >= 0) {
    fd->reset(static_cast<int>(r));
    return BeneathResult::kOpened;
  }
  switch (errno) {
    case EXDEV:
      return BeneathResult::kLeads;
    case ENOSYS:
    case EPERM:  // a sandbox that refuses the call
      return BeneathResult::kUnsupported;
    default:
      return BeneathResult::kMissing;
  }
#else
  (void)folder;
  (void)path;
  (void)fd;
  return BeneathResult::kUnsupported;
#endif
}

}  // namespace tallypad
