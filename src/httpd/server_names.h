// The names this server goes by, for redirects built from a request's Host
// header: such a redirect must lead back to this server, never to a name a
// client made up. This server is "localhost", this machine's host name, the
// IPv4 addresses of its interfaces (loopback included), and the names the
// operator lists in "cgi.ini" (`HOSTNAMES`). Used by the survey engine's
// result page; the interface addresses are read when asked.
#pragma once

#include <string>
#include <string_view>

namespace tallypad {

// The name part of a Host header value ("example.org" of "example.org:8080",
// "::1" of "[::1]:8080"); "" when the value is no plain host name or
// address, optionally followed by ":" and a decimal port.
std::string_view HostHeaderName(std::string_view host_header);
// True when the Host header value `host_header` names this server: its
// name is one of this server's names (without regard to case) or one of
// `extra_names` (separated by commas or blanks).
bool HostNamesThisServer(std::string_view host_header, std::string_view extra_names);
// The address the connection on socket `fd` arrived at, as a redirect
// names it: "192.168.1.5", followed by ":" and the port unless it is 80;
// "" when it cannot be read.
std::string ConnectionArrivalAddress(int fd);

}  // namespace tallypad
