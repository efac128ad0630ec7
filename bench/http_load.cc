// Load client: starts the real tallypad on a temporary server root and
// measures requests per second and p50/p99 latency, one request at a time,
// for a 1 KiB static file and a templated ".html" page, with clients that
// close after each request and clients that ask to keep the connection.
// Usage: http_load [--requests N] [--binary PATH]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"
#include "load_common.h"

namespace {

using loadclient::Percentile;

using tallypad::testing::FreePort;
using tallypad::testing::HttpClient;
using tallypad::testing::HttpResponse;
using tallypad::testing::ServerProcess;
using tallypad::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUpRequests = 50;

struct Scenario {
  const char* name;
  const char* path;
  bool keep_alive;
};

const Scenario kScenarios[] = {
    {"static 1 KiB, close per request", "/static.txt", false},
    {"static 1 KiB, keep-alive client", "/static.txt", true},
    {"template page, close per request", "/page.html", false},
    {"template page, keep-alive client", "/page.html", true},
};

// Makes a template page of about 1 KiB that uses value markers.
std::string TemplatePage() {
  std::string page = "<html><head><title>Load</title></head><body>\n<p>Date <%= DATE %>, time <%= TIME %>.</p>\n";
  while (page.size() < 1000) page += "<p>A line of survey text to fill the page.</p>\n";
  return page + "</body></html>\n";
}

// Sends one request and reads the whole response; false when it failed.
bool OneRequest(int port, const Scenario& s, size_t* body_size) {
  HttpClient client;
  if (!client.Connect(port)) return false;
  std::string request = s.keep_alive
                            ? std::string("GET ") + s.path +
                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n"
                            : std::string("GET ") + s.path + " HTTP/1.0\r\nConnection: close\r\n\r\n";
  if (!client.Send(request)) return false;
  if (!s.keep_alive) client.ShutdownWrite();
  HttpResponse r = client.ReadResponse(10000);
  *body_size = r.body.size();
  return r.closed && r.status_line == "HTTP/1.1 200 OK";
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 2000;
  std::string binary;
  if (!loadclient::ParseLoadOptions(argc, argv, "http_load", {{"--requests", &requests, 1}}, &binary))
    return 2;

  TempDir root, registry;
  root.Write("cgi.ini", "[server]\nHOME=page.html\n");
  root.Write("static.txt", std::string(1024, 's'));
  root.Write("page.html", TemplatePage());

  ServerProcess server;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.binary = binary;
  std::optional<int> port = server.StartServing(options);
  if (!port) {
    std::fprintf(stderr, "http_load: the server did not start\n%s", server.Errors().c_str());
    return 1;
  }

  std::printf("%-36s %10s %10s %10s %8s\n", "scenario", "req/s", "p50 ms", "p99 ms", "bytes");
  int status = 0;
  for (const Scenario& s : kScenarios) {
    size_t body = 0;
    for (int i = 0; i < kWarmUpRequests; ++i) OneRequest(*port, s, &body);
    std::vector<double> latencies;
    latencies.reserve(requests);
    int failures = 0;
    auto start = Clock::now();
    for (int i = 0; i < requests; ++i) {
      auto begin = Clock::now();
      if (!OneRequest(*port, s, &body)) ++failures;
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::sort(latencies.begin(), latencies.end());
    std::printf("%-36s %10.0f %10.3f %10.3f %8zu", s.name, requests / seconds,
                Percentile(latencies, 0.50), Percentile(latencies, 0.99), body);
    if (failures) {
      std::printf("  (%d failed)", failures);
      status = 1;
    }
    std::printf("\n");
  }
  if (server.Stop() != 0) status = 1;
  return status;
}
