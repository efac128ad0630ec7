// A stand-in for the system's reverse look-up that never answers in time,
// loaded into the real program (LD_PRELOAD) by the tests that show a stalled
// name server holds no request. It waits three seconds, then fails.
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int getnameinfo(const sockaddr*, socklen_t, char*, socklen_t, char*, socklen_t, int) {
  ::sleep(3);
  return EAI_AGAIN;
}
