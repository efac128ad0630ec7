// A temporary server root served by the real program: integration suites
// write their forms and pages into root(), then Start() runs the program on
// it with a registry folder of its own, on a free loopback port.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad::testing {

class ServedRoot {
 public:
  // `env` holds variables added to the program's environment (for example
  // TALLYPAD_NETWORK=offline, which keeps queued mail in the outbox).
  explicit ServedRoot(std::vector<std::pair<std::string, std::string>> env = {});
  // Stops the program (when it runs) and removes the folders.
  ~ServedRoot();
  ServedRoot(const ServedRoot&) = delete;
  ServedRoot& operator=(const ServedRoot&) = delete;

  // Starts the program; returns the port it serves on, 0 when it did not come up.
  int Start();
  // Stops the program with `signal`; returns its exit status (-1 when it
  // did not run).
  int Stop(int signal = 15);

  const TempDir& root() const { return root_; }
  const TempDir& registry() const { return registry_; }
  ServerProcess& server() { return *server_; }
  int port() const { return port_; }

 private:
  TempDir root_;
  TempDir registry_;
  std::vector<std::pair<std::string, std::string>> env_;
  std::unique_ptr<ServerProcess> server_;
  int port_ = 0;
};

}  // namespace tallypad::testing
