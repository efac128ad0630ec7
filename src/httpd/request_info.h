// What the router tells the in-process programs about a request beyond its
// variables: the address this server is reached at, the request's Host
// header and this server's other names (for building redirects) and the
// client's address, and whether the client is this machine.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tallypad {

// Tells whether an IPv4 client address (host byte order) is this machine.
using ThisMachineTest = bool (*)(uint32_t client);

struct RequestInfo {
  // "127.0.0.1", followed by ":" and the port when the port is not 80.
  std::string server_address;
  // The value of the request's Host header, trimmed; nullopt without one.
  std::optional<std::string> host_header;
  // The client's IPv4 address in host byte order (0x7f000001 is 127.0.0.1).
  uint32_t client_address = 0;
  // The same as dotted text ("127.0.0.1").
  std::string client_ip;
  // The connection's socket, for reading the address the request arrived
  // at; -1 when there is none.
  int socket_fd = -1;
  // Further names of this server that a Host header may use ("cgi.ini",
  // HOSTNAMES: separated by commas or blanks).
  std::string extra_host_names;
  // The router's test of whether the client is this machine; null: no
  // client is.
  ThisMachineTest this_machine = nullptr;

  // True when the request comes from this machine, where the author tries
  // the forms: engine errors then show the author's detail on the page.
  bool FromThisMachine() const { return this_machine && this_machine(client_address); }
};

}  // namespace tallypad
