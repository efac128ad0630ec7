// The admission test of server mode. A server-mode machine serves the people
// of its own network: it admits clients on the loopback network and clients
// whose IPv4 address lies in the subnet of one of this machine's interfaces
// (address and netmask as the interface has them now); everyone else is
// closed before any request is read. The same interfaces tell which clients
// are this machine itself: the engines show such a client, the author trying
// a form, the full detail of an error.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <vector>

namespace tallypad {

// One IPv4 network this machine is attached to, in host byte order.
struct LocalNetwork {
  uint32_t address = 0;
  uint32_t netmask = 0;
};

// Returns the IPv4 networks of the interfaces that are up (loopback left out).
std::vector<LocalNetwork> LocalIpv4Networks();
// True when `client` (host byte order) is a loopback address or lies in one
// of `networks`; a network with an empty netmask admits no one.
bool AdmitByNetwork(uint32_t client, const std::vector<LocalNetwork>& networks);
// The listener's admission hook for server mode: AdmitByNetwork with this
// machine's networks (listed again at most once a second).
bool AdmitLocalNetworkClient(const sockaddr_in& client, const sockaddr_in& bound);

// Returns the IPv4 addresses of the interfaces that are up, loopback
// included, in host byte order.
std::vector<uint32_t> LocalIpv4Addresses();
// True when `client` (host byte order) is 127.0.0.1 or one of `addresses`.
// Other loopback addresses (127.0.0.2) are not: a client bound to one stands
// for another computer.
bool IsThisMachine(uint32_t client, const std::vector<uint32_t>& addresses);
// The router's test for requests from this machine: IsThisMachine with the
// machine's addresses (looked up only for clients other than 127.0.0.1, and
// listed again at most once a second).
bool ClientIsThisMachine(uint32_t client);

}  // namespace tallypad
