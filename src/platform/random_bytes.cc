#include "platform/random_bytes.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

#include "base/file.h"

namespace tallypad {

namespace {

// Fills bytes [*done, size) of `out` with getrandom, going on after
// interruptions and short reads; stops at the first real failure (ENOSYS on
// an old kernel, EPERM under a filter that forbids the call).
void FillFromGetrandom(std::string& out, size_t* done) {
  while (*done < out.size()) {
    ssize_t n = ::getrandom(out.data() + *done, out.size() - *done, 0);
    if (n > 0) {
      *done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

// Fills bytes [*done, size) of `out` from /dev/urandom, the same way.
void FillFromDevice(std::string& out, size_t* done) {
  UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return;
  while (*done < out.size()) {
    ssize_t n = ::read(fd.get(), out.data() + *done, out.size() - *done);
    if (n > 0) {
      *done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

}  // namespace

std::optional<std::string> RandomBytes(size_t count) {
  std::string out(count, '\0');
  size_t done = 0;
  FillFromGetrandom(out, &done);
  if (done < count) FillFromDevice(out, &done);
  if (done < count) return std::nullopt;
  return out;
}

}  // namespace tallypad
