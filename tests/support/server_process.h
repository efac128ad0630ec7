// Starting the real tallypad program and talking HTTP to it over loopback
// sockets, for integration tests and load runs. A ServerProcess starts the
// program with its own arguments and environment, captures its standard
// output and error in files, waits for its "running" line, and stops it with
// a signal, reporting the exit status. The HTTP helpers connect to
// 127.0.0.1 only and read a response until the server closes the connection.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad::testing {

// The program built with the tests ("" when the build has none).
std::string TallypadBinary();

// The IPv4 loopback address 127.0.0.1 with `port`.
sockaddr_in LoopbackAddress(int port);

// Returns a TCP port that no socket used a moment ago (the system's choice
// for port 0); the program started on it normally gets exactly this port.
int FreePort();

// Keeps a port taken (listening on every interface) so that the program
// cannot open it.
class HeldPort {
 public:
  explicit HeldPort(int port);
  bool ok() const { return fd_.valid(); }
  int port() const { return port_; }

 private:
  UniqueFd fd_;
  int port_;
};

// Holds `count` consecutive free ports, chosen below the system's range of
// client ports; first() is the first, and ok() is false when no run of free
// ports was found.
class HeldPortRange {
 public:
  explicit HeldPortRange(int count);
  bool ok() const { return !ports_.empty(); }
  int first() const { return ports_.empty() ? 0 : ports_.front()->port(); }

 private:
  std::vector<std::unique_ptr<HeldPort>> ports_;
};

struct HttpResponse {
  std::string raw;          // every byte received
  std::string status_line;  // "HTTP/1.1 200 OK"
  std::string headers;      // the header lines after the status line
  std::string body;         // everything after the blank line
  bool closed = false;      // the server closed the connection (the response is whole)

  // Returns the value of header `name` (without regard to case), trimmed.
  std::optional<std::string> Header(std::string_view name) const;
};

// Splits raw response bytes at the first blank line ("\n\n" or "\r\n\r\n").
HttpResponse ParseHttpResponse(std::string raw, bool closed);

// One client connection to 127.0.0.1.
class HttpClient {
 public:
  // Connects to 127.0.0.1:port; false on failure. With `local_ip` (such as
  // "127.0.0.2") the connection leaves from that address, which the server
  // takes for another computer's.
  bool Connect(int port, std::string_view local_ip = {});
  // Sends all bytes; false when the connection failed.
  bool Send(std::string_view bytes);
  // Closes the sending direction (the server then sees the end of input).
  void ShutdownWrite();
  // True when bytes (or the end of the connection) arrive within `timeout_ms`.
  bool Readable(int timeout_ms);
  // Reads until the server closes the connection or `timeout_ms` passes.
  HttpResponse ReadResponse(int timeout_ms = 10000);
  // Closes the connection at once.
  void Close() { fd_.reset(); }
  int fd() const { return fd_.get(); }

 private:
  UniqueFd fd_;
};

// Sends `request` on a new connection and reads the whole response.
HttpResponse HttpExchange(int port, std::string_view request, int timeout_ms = 10000);
// The same from the local address `local_ip` ("127.0.0.2": a respondent on
// another computer, as far as the server can tell).
HttpResponse HttpExchangeFrom(std::string_view local_ip, int port, std::string_view request,
                              int timeout_ms = 10000);
// Sends "GET <path> HTTP/1.0" with an empty header block.
HttpResponse HttpGet(int port, std::string_view path);

class ServerProcess {
 public:
  struct Options {
    std::string server_root;           // last argument, when not empty
    int port = 0;                      // --port, when not 0
    std::vector<std::string> args;     // further arguments, before the server root
    std::string registry;              // TALLYPAD_REGISTRY, when not empty
    std::string working_dir;           // the program's current directory, when not empty
    // Added or replaced variables. BROWSER, DISPLAY and WAYLAND_DISPLAY are
    // not inherited from the test's environment; they are set only here.
    std::vector<std::pair<std::string, std::string>> env;
    std::string binary;                // default: TallypadBinary()
  };

  ServerProcess() = default;
  // Kills the program if it still runs.
  ~ServerProcess();
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  // Starts the program; false when it could not be started.
  bool Start(const Options& options);
  // Starts the program and waits for its "running" line; returns the port
  // the line names, or nullopt when the program did not come up.
  std::optional<int> StartServing(const Options& options, int timeout_ms = 20000);
  // Waits until the standard output contains `text`; false on time-out or
  // when the program ended first.
  bool WaitForOutput(std::string_view text, int timeout_ms = 10000);
  // The port named by the "running" line, once it was printed.
  std::optional<int> RunningPort() const;
  // What the program wrote so far.
  std::string Output() const;
  std::string Errors() const;

  // Sends `signal` and waits for the program to end; returns its exit
  // status (128 + signal number when a signal ended it), -1 on time-out.
  int Stop(int signal = 15, int timeout_ms = 20000);
  // Waits for the program to end on its own; nullopt on time-out.
  std::optional<int> WaitExit(int timeout_ms = 20000);
  // True while the program runs.
  bool Running();
  pid_t pid() const { return pid_; }

 private:
  TempDir capture_;
  pid_t pid_ = -1;
  std::optional<int> status_;
};

}  // namespace tallypad::testing
