// Load client for the survey engine: starts the real tallypad on a
// temporary server root holding a five-page survey of eight questions a
// page and measures the NEXT request from page 3 to page 4, which carries
// all 40 answers: the forward script of page 3 runs, page 4 is shown with
// its own eight inputs filled and the other 32 answers as hidden fields.
// Clients close the connection after each request; one client at a time,
// then several clients at once.
// Usage: survey_load [--requests N] [--clients N] [--binary PATH]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
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

constexpr int kPages = 5;
constexpr int kQuestionsPerPage = 8;
constexpr int kWarmUpRequests = 50;

// Page `n`: its _PAGE field, a heading and eight questions.
std::string PageFile(int n) {
  std::string page = "<html><head><title>Survey</title></head><body>\n<h2>Page " +
                     std::to_string(n) + "</h2>\n<form>\n<input type=hidden name=_PAGE value=page" +
                     std::to_string(n) + ">\n";
  for (int q = 1; q <= kQuestionsPerPage; ++q) {
    const std::string name = "q" + std::to_string(n * kQuestionsPerPage + q);
    page += "<p>Question " + name + ": <input name=" + name + " size=20></p>\n";
  }
  return page + "<input type=submit name=_ACTION value=NEXT>\n</form></body></html>\n";
}

// The validation file: each page checks one answer and names the next page.
std::string ValidationFile() {
  std::string val;
  for (int n = 0; n < kPages; ++n) {
    const std::string first = "q" + std::to_string(n * kQuestionsPerPage + 1);
    val += "<PAGE NAME=\"page" + std::to_string(n) + "\" ACTION=\"kqs\">\n<SCRIPT>\nif (" + first +
           " = '') { _PAGEWARN = 'Please answer " + first + "'; }\n";
    if (n + 1 < kPages) val += "_PAGENEXT = 'page" + std::to_string(n + 1) + "';\n";
    val += "</SCRIPT>\n";
  }
  return val;
}

// The body of a NEXT from page 3 with all 40 answers.
std::string NextBody() {
  std::string body =
      "DATABASE=load&_ACTION=NEXT&_PAGE=page3&_PAGEBACK=page2%2Cpage1%2Cpage0%2C"
      "&_SESSION=xo1234abcdY5678efgh";
  for (int q = 1; q <= kPages * kQuestionsPerPage; ++q)
    body += "&q" + std::to_string(q) + "=answer+number+" + std::to_string(q);
  return body;
}

bool OneRequest(int port, const std::string& request, size_t* body_size) {
  HttpClient client;
  if (!client.Connect(port) || !client.Send(request)) return false;
  HttpResponse r = client.ReadResponse(10000);
  *body_size = r.body.size();
  return r.closed && r.status_line == "HTTP/1.1 200 OK" &&
         r.body.find("<h2>Page 4</h2>") != std::string::npos &&
         r.body.find("NAME=\"q1\" VALUE=\"answer number 1\"") != std::string::npos;
}

// Runs `requests` requests spread over `clients` threads; prints one line.
bool Measure(int port, const std::string& request, int clients, int requests) {
  std::vector<std::vector<double>> latencies(clients);
  std::atomic<int> failures{0};
  std::atomic<size_t> body{0};
  const int each = std::max(1, requests / clients);
  auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (int i = 0; i < each; ++i) {
        auto begin = Clock::now();
        size_t size = 0;
        if (!OneRequest(port, request, &size)) ++failures;
        body = size;
        latencies[c].push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      }
    });
  }
  for (std::thread& t : threads) t.join();
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::vector<double> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  char name[64];
  std::snprintf(name, sizeof name, "NEXT, %d client%s, close per request", clients,
                clients == 1 ? "" : "s");
  std::printf("%-40s %10.0f %10.3f %10.3f %8zu", name, all.size() / seconds, Percentile(all, 0.50),
              Percentile(all, 0.99), body.load());
  if (failures) std::printf("  (%d failed)", failures.load());
  std::printf("\n");
  return failures == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 2000;
  int clients = 4;
  std::string binary;
  if (!loadclient::ParseLoadOptions(argc, argv, "survey_load", {{"--requests", &requests, 1}, {"--clients", &clients, 1}}, &binary))
    return 2;

  TempDir root, registry;
  root.Write("cgi.ini", "[server]\n");
  root.Write("load.ini", "[DATABASE]\nMULTIPAGE=1\n[access]\nPWDAPPEND=(allow)\n");
  root.Write("load.val", ValidationFile());
  for (int n = 0; n < kPages; ++n) root.Write("load/page" + std::to_string(n), PageFile(n));

  ServerProcess server;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.binary = binary;
  std::optional<int> port = server.StartServing(options);
  if (!port) {
    std::fprintf(stderr, "survey_load: the server did not start\n%s", server.Errors().c_str());
    return 1;
  }

  const std::string body = NextBody();
  const std::string request =
      "POST /kqs HTTP/1.0\r\nContent-Type: "
      "application/x-www-form-urlencoded\r\nContent-Length: " +
      std::to_string(body.size()) + "\r\n\r\n" + body;
  std::printf("request body: %zu bytes\n", body.size());
  size_t size = 0;
  int status = 0;
  for (int i = 0; i < kWarmUpRequests; ++i) {
    if (!OneRequest(*port, request, &size)) {
      std::fprintf(stderr, "survey_load: the NEXT request did not show page 4\n");
      return 1;
    }
  }
  std::printf("%-40s %10s %10s %10s %8s\n", "scenario", "req/s", "p50 ms", "p99 ms", "bytes");
  if (!Measure(*port, request, 1, requests)) status = 1;
  if (clients > 1 && !Measure(*port, request, clients, requests)) status = 1;
  if (server.Stop() != 0) status = 1;
  return status;
}
