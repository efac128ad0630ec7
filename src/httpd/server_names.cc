#include "httpd/server_names.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

#include "base/str.h"
#include "base/text.h"

namespace tallypad {

namespace {

bool IsNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool IsPort(std::string_view text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// True when `name` is one of the list's items (commas or blanks between).
bool ListedNoCase(std::string_view list, std::string_view name) {
  size_t at = 0;
  while (at < list.size()) {
    while (at < list.size() && (list[at] == ',' || list[at] == ' ')) ++at;
    size_t end = at;
    while (end < list.size() && list[end] != ',' && list[end] != ' ') ++end;
    if (end > at && StrEqualNoCase(list.substr(at, end - at), name)) return true;
    at = end;
  }
  return false;
}

// True when `name` is "localhost", this machine's host name or the dotted
// address of one of its interfaces.
bool IsOwnName(std::string_view name) {
  if (StrEqualNoCase(name, "localhost")) return true;
  char host[HOST_NAME_MAX + 1] = "";
  if (gethostname(host, sizeof host - 1) == 0 && StrEqualNoCase(name, host)) return true;
  in_addr parsed{};
  if (std::string text(name); inet_pton(AF_INET, text.c_str(), &parsed) != 1) return false;
  if ((ntohl(parsed.s_addr) >> 24) == 127) return true;  // the loopback network
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET) continue;
    found = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == parsed.s_addr;
  }
  freeifaddrs(list);
  return found;
}

}  // namespace

std::string_view HostHeaderName(std::string_view host_header) {
  std::string_view name = host_header;
  if (!name.empty() && name.front() == '[') {
    // An IPv6 literal: "[address]" with an optional port after it.
    size_t close = name.find(']');
    if (close == std::string_view::npos) return {};
    std::string_view rest = name.substr(close + 1);
    if (!rest.empty() && (rest.front() != ':' || !IsPort(rest.substr(1)))) return {};
    name = name.substr(1, close - 1);
    for (char c : name)
      if (!(IsNameCharacter(c) || c == ':')) return {};
    return name;
  }
  if (size_t colon = name.find(':'); colon != std::string_view::npos) {
    if (!IsPort(name.substr(colon + 1))) return {};
    name = name.substr(0, colon);
  }
  for (char c : name)
    if (!IsNameCharacter(c)) return {};
  return name;
}

bool HostNamesThisServer(std::string_view host_header, std::string_view extra_names) {
  std::string_view name = HostHeaderName(host_header);
  if (name.empty()) return false;
  if (ListedNoCase(extra_names, name)) return true;
  if (name == "::1") return true;
  return IsOwnName(name);
}

std::string ConnectionArrivalAddress(int fd) {
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (fd < 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET)
    return "";
  char dotted[INET_ADDRSTRLEN] = "";
  if (!inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted)) return "";
  const int port = ntohs(local.sin_port);
  return port == 80 ? std::string(dotted) : StrPrintf("%s:%d", dotted, port);
}

}  // namespace tallypad
