#include "support/served_root.h"

namespace tallypad::testing {

ServedRoot::ServedRoot(std::vector<std::pair<std::string, std::string>> env)
    : env_(std::move(env)), server_(std::make_unique<ServerProcess>()) {
  root_.Write("cgi.ini", "[server]\n");
}

ServedRoot::~ServedRoot() { Stop(); }

int ServedRoot::Start() {
  if (port_ != 0) return port_;
  server_ = std::make_unique<ServerProcess>();
  ServerProcess::Options options;
  options.server_root = root_.path();
  options.port = FreePort();
  options.registry = registry_.path();
  options.env = env_;
  port_ = server_->StartServing(options).value_or(0);
  return port_;
}

int ServedRoot::Stop(int signal) {
  if (port_ == 0 || !server_->Running()) return -1;
  port_ = 0;
  return server_->Stop(signal);
}

}  // namespace tallypad::testing
