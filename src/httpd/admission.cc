#include "httpd/admission.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>

#include <chrono>
#include <mutex>

namespace tallypad {

namespace {

constexpr uint32_t kLoopbackNet = 0x7f000000;   // 127.0.0.0/8
constexpr uint32_t kLoopbackMask = 0xff000000;
constexpr uint32_t kLoopbackAddress = 0x7f000001;  // 127.0.0.1
// The interfaces are listed again after this long: a network that appears
// or goes is seen within it, and a busy server lists them once, not once
// per connection and request.
constexpr auto kInterfacesKeptFor = std::chrono::seconds(1);

// The machine's networks and addresses as last listed.
struct Interfaces {
  std::vector<LocalNetwork> networks;
  std::vector<uint32_t> addresses;
};

// Returns the current listing of the interfaces, listing them again when
// the kept one is older than kInterfacesKeptFor. Safe from any thread.
Interfaces CurrentInterfaces() {
  static std::mutex mutex;
  static Interfaces kept;
  static std::chrono::steady_clock::time_point listed_at;
  static bool listed = false;
  std::lock_guard<std::mutex> lock(mutex);
  const auto now = std::chrono::steady_clock::now();
  if (!listed || now - listed_at >= kInterfacesKeptFor) {
    kept.networks = LocalIpv4Networks();
    kept.addresses = LocalIpv4Addresses();
    listed_at = now;
    listed = true;
  }
  return kept;
}

}  // namespace

std::vector<LocalNetwork> LocalIpv4Networks() {
  std::vector<LocalNetwork> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
    if (!(i->ifa_flags & IFF_UP) || (i->ifa_flags & IFF_LOOPBACK)) continue;
    LocalNetwork net;
    net.address = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    net.netmask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
    out.push_back(net);
  }
  freeifaddrs(list);
  return out;
}

bool AdmitByNetwork(uint32_t client, const std::vector<LocalNetwork>& networks) {
  if ((client & kLoopbackMask) == kLoopbackNet) return true;
  for (const LocalNetwork& net : networks)
    if (net.netmask != 0 && (client & net.netmask) == (net.address & net.netmask)) return true;
  return false;
}

bool AdmitLocalNetworkClient(const sockaddr_in& client, const sockaddr_in& bound) {
  if (client.sin_family != AF_INET) return false;
  return AdmitByNetwork(ntohl(client.sin_addr.s_addr), CurrentInterfaces().networks);
}

std::vector<uint32_t> LocalIpv4Addresses() {
  std::vector<uint32_t> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    out.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr));
  }
  freeifaddrs(list);
  return out;
}

bool IsThisMachine(uint32_t client, const std::vector<uint32_t>& addresses) {
  if (client == kLoopbackAddress) return true;
  for (uint32_t address : addresses)
    if (address == client) return true;
  return false;
}

bool ClientIsThisMachine(uint32_t client) {
  // The common case needs no look at the interfaces.
  if (client == kLoopbackAddress) return true;
  return IsThisMachine(client, CurrentInterfaces().addresses);
}

}  // namespace tallypad
