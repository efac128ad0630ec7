// Load client: the latency a respondent sees while hostile clients hold
// connections to the server. Starts the real tallypad on a temporary root,
// measures a respondent's requests (a 1 KiB file and a survey page) alone,
// then again while 100 silent connections, 20 clients trickling a request
// one byte every 0.2 s and 10 clients that asked for a large answer and
// never read it are connected, and prints p50, p99 and the maximum of each.
// Usage: hostile_load [--requests N] [--binary PATH]
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "load_common.h"
#include "support/html_form.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace {

using loadclient::Percentile;
using tallypad::testing::FormBody;
using tallypad::testing::FreePort;
using tallypad::testing::HttpClient;
using tallypad::testing::HttpResponse;
using tallypad::testing::ServerProcess;
using tallypad::testing::TempDir;
using Clock = std::chrono::steady_clock;

struct Measured {
  std::vector<double> ms;
  int failures = 0;
};

Measured Measure(int port, int requests, const std::string& path, const std::string& expected) {
  Measured m;
  for (int i = 0; i < requests; ++i) {
    auto start = Clock::now();
    HttpClient client;
    bool ok = client.Connect(port) && client.Send("GET " + path + " HTTP/1.0\r\n\r\n");
    HttpResponse r = client.ReadResponse(10000);
    ok = ok && r.body.find(expected) != std::string::npos;
    m.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    if (!ok) ++m.failures;
  }
  std::sort(m.ms.begin(), m.ms.end());
  return m;
}

void Print(const char* what, const Measured& m) {
  std::printf("%-44s %9.3f %9.3f %9.3f", what, Percentile(m.ms, 0.5), Percentile(m.ms, 0.99),
              m.ms.empty() ? 0.0 : m.ms.back());
  if (m.failures) std::printf("  (%d failed)", m.failures);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 1000;
  std::string binary;
  if (!loadclient::ParseLoadOptions(argc, argv, "hostile_load", {{"--requests", &requests, 1}},
                                    &binary))
    return 2;

  TempDir root, registry;
  root.Write("static.txt", std::string(1024, 's'));
  root.Write("survey.ini", "[DATABASE]\nFORM=survey.html\n[access]\nPWDAPPEND=(allow)\n");
  root.Write("survey.html", "<form><input name=q1><input name=q2></form>\n");
  // Without the append right the save is refused with a prompt that
  // carries every answer back: a large post gets a large answer.
  root.Write("locked.ini", "[DATABASE]\nFORM=locked.html\n");
  root.Write("locked.html", "<form><input name=q></form>\n");

  ServerProcess server;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.binary = binary;
  std::optional<int> port = server.StartServing(options);
  if (!port) {
    std::fprintf(stderr, "hostile_load: the server did not start\n%s", server.Errors().c_str());
    return 1;
  }

  std::printf("%-44s %9s %9s %9s\n", "respondent's requests (ms)", "p50", "p99", "max");
  Measured calm_file = Measure(*port, requests, "/static.txt", "sss");
  Measured calm_page = Measure(*port, requests, "/kqs?DATABASE=survey", "name=\"q1\"");
  Print("1 KiB file, nobody else connected", calm_file);
  Print("survey page, nobody else connected", calm_page);

  std::vector<HttpClient> silent(100), tricklers(20), non_readers(10);
  for (HttpClient& c : silent) c.Connect(*port);
  for (HttpClient& c : tricklers) c.Connect(*port);
  const std::string large = FormBody({{"DATABASE", "locked"},
                                      {"_ACTION", "SUBMIT"},
                                      {"answer", std::string(900'000, 'a')}});
  for (HttpClient& c : non_readers) {
    c.Connect(*port);
    int tiny = 1;
    setsockopt(c.fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    c.Send("POST /kqs HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n"
           "Content-Length: " + std::to_string(large.size()) + "\r\n\r\n" + large);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string request = "GET /static.txt HTTP/1.0\r\nX-Slow: ";
    for (size_t at = 0; !done; at = (at + 1) % request.size()) {
      for (HttpClient& c : tricklers) c.Send(request.substr(at, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  });
  Measured hostile_file = Measure(*port, requests, "/static.txt", "sss");
  Measured hostile_page = Measure(*port, requests, "/kqs?DATABASE=survey", "name=\"q1\"");
  done = true;
  trickle.join();
  Print("1 KiB file, with the hostile clients", hostile_file);
  Print("survey page, with the hostile clients", hostile_page);

  int status = server.Stop() == 0 ? 0 : 1;
  if (calm_file.failures + calm_page.failures + hostile_file.failures + hostile_page.failures)
    status = 1;
  return status;
}
