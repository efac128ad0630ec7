#include "host/browser.h"

namespace tallypad {

std::string MakeServerUrl(std::string_view server_address, std::string_view path) {
  std::string url = "http://";
  url.append(server_address).append("/").append(path);
  return url;
}

bool BrowserLaunch(std::string_view server_address, ServerMode mode, std::string_view path) {
  return false;
}

bool BrowserTakeEnded() { return false; }

void BrowserClose() {}

}  // namespace tallypad
