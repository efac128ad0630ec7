// A temporary server root served by the real program: integration suites
// write their forms and pages into root(), then Start() runs the program on
// it with a registry folder of its own, on a free loopback port.
// ServedRootSuite shares one such root among the tests of a suite.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/html_form.h"
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

// Base of a test suite whose tests share one served root. The suite's
// SetUpTestSuite makes `served_`, writes its files and starts it; the
// program is stopped (it must end with status 0) after the last test.
// `Suite` is the deriving suite, so that each suite has a root of its own.
template <typename Suite>
class ServedRootSuite : public ::testing::Test {
 public:
  static void TearDownTestSuite() {
    if (!served_) return;
    EXPECT_EQ(served_->Stop(), 0) << served_->server().Errors();
    served_.reset();
  }

 protected:
  static int port() { return served_->port(); }
  // Posts `fields` to the survey engine as a browser posts a form.
  static HttpResponse Post(const FormFields& fields) {
    return HttpPost(port(), "/kqs", FormBody(fields));
  }

  static inline std::unique_ptr<ServedRoot> served_;
};

}  // namespace tallypad::testing
