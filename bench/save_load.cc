// Load client for saving responses: starts the real tallypad on a temporary
// server root whose form saves to a data file with an index and to a
// statistics file, and measures SUBMIT requests of about 30 answers each
// (requests per second, p50/p99 latency), one request at a time with a client
// that closes after each request, once with an empty data file and once with
// 100,000 stored records. Every measured save must reach the data file.
// Usage: save_load [--requests N] [--records N] [--binary PATH]
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
using tallypad::testing::ReadFileText;
using tallypad::testing::ServerProcess;
using tallypad::testing::TempDir;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUpRequests = 5;
constexpr int kQuestions = 30;
constexpr const char* kThanks = "Response stored";

const char* const kFormSettings =
    "[DATABASE]\n"
    "SAVEDATA=1\n"
    "SAVEDATANAME=bench.asc\n"
    "SAVEINDEXNAME=bench.idx\n"
    "SAVESTAT=1\n"
    "SAVESTATNAME=bench.sta\n"
    "MESSAGE=Response stored\n"
    "[access]\n"
    "PWDAPPEND=(allow)\n";

// Statistics of the kind a survey keeps: counts of choices and of answered
// questions, and sums of numeric answers.
std::string Statistics() {
  std::string text = "[COUNT]\n";
  for (int q = 1; q <= 10; ++q)
    text.append("Q").append(std::to_string(q)).append("_").append(std::to_string(q % 4 + 1)).append("=0\n");
  for (int q = 11; q <= 20; ++q) text.append("Q").append(std::to_string(q)).append("=0\n");
  text += "[SUM]\n";
  for (int q = 21; q <= 25; ++q) text.append("Q").append(std::to_string(q)).append("=0.000000\n");
  return text;
}

std::string DataHeader() {
  std::string header = "#_SESSION\tIFMUID";
  for (int q = 1; q <= kQuestions; ++q) header += "\tQ" + std::to_string(q);
  return header + "\t\r\n";
}

// The answer to question `q` of respondent `n`, as a browser posts it.
std::string Answer(int n, int q) {
  if (q <= 10) return std::to_string((n + q) % 4 + 1) + "%2C" + std::to_string((n * q) % 4 + 1);
  if (q <= 20) return (n + q) % 3 ? "yes" : "";
  if (q <= 25) return std::to_string((n * 7 + q) % 90 + 10);
  return "A+comment+of+a+few+words+from+respondent+" + std::to_string(n);
}

std::string DecodedAnswer(int n, int q) {
  std::string a = Answer(n, q);
  std::string out;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] == '+') {
      out += ' ';
    } else if (a[i] == '%' && i + 2 < a.size()) {
      out += static_cast<char>(std::strtol(a.substr(i + 1, 2).c_str(), nullptr, 16));
      i += 2;
    } else {
      out += a[i];
    }
  }
  return out;
}

// `records` stored records in the engine's format, with their index entries.
void StoredRecords(int records, std::string* data, std::string* index) {
  *data = DataHeader();
  *index = "#IFMUID\t_SESSION\t_POS\n";
  data->reserve(data->size() + static_cast<size_t>(records) * 320);
  index->reserve(index->size() + static_cast<size_t>(records) * 40);
  for (int n = 0; n < records; ++n) {
    size_t offset = data->size();
    const std::string session = "old" + std::to_string(n);
    const std::string login = "user" + std::to_string(n);
    data->append("\"").append(session).append("\"\t\"").append(login).append("\"\t");
    for (int q = 1; q <= kQuestions; ++q) data->append("\"").append(DecodedAnswer(n, q)).append("\"\t");
    data->append("\r\n");
    index->append("\"").append(login).append("\"\t\"").append(session).append("\"\t");
    index->append(std::to_string(offset)).append("\n");
  }
}

std::string SaveRequest(int n) {
  std::string body = "DATABASE=bench&_ACTION=SUBMIT&_SESSION=new" + std::to_string(n) +
                     "&IFMUID=new" + std::to_string(n);
  for (int q = 1; q <= kQuestions; ++q) body += "&Q" + std::to_string(q) + "=" + Answer(n, q);
  return "POST /kqs HTTP/1.0\r\nConnection: close\r\n"
         "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// Sends one save and reads the whole response; false when it failed or the
// page does not say the response was stored.
bool OneSave(int port, int n) {
  HttpClient client;
  if (!client.Connect(port)) return false;
  if (!client.Send(SaveRequest(n))) return false;
  client.ShutdownWrite();
  HttpResponse r = client.ReadResponse(10000);
  return r.closed && r.status_line == "HTTP/1.1 200 OK" && r.body.find(kThanks) != std::string::npos;
}

size_t CountLines(const std::string& text) { return std::count(text.begin(), text.end(), '\n'); }

// Runs one scenario; returns 0, 1 on failure, 3 when the engine saves nothing.
int RunScenario(int records, int requests, const std::string& binary) {
  TempDir root, registry;
  root.Write("cgi.ini", "[server]\n");
  root.Write("bench.ini", kFormSettings);
  root.Write("bench.sta", Statistics());
  std::string data, index;
  StoredRecords(records, &data, &index);
  root.Write("bench.asc", data);
  root.Write("bench.idx", index);
  const size_t lines_before = CountLines(data);

  ServerProcess server;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.binary = binary;
  std::optional<int> port = server.StartServing(options);
  if (!port) {
    std::fprintf(stderr, "save_load: the server did not start\n%s", server.Errors().c_str());
    return 1;
  }

  // The first save shows whether the survey engine saves at all.
  bool first_ok = OneSave(*port, 0);
  if (!first_ok || CountLines(ReadFileText(root.File("bench.asc"))) != lines_before + 1) {
    std::printf("save_load: the survey engine is not ready: the response shows no save\n");
    server.Stop();
    return 3;
  }
  for (int i = 1; i < kWarmUpRequests; ++i) OneSave(*port, i);

  std::vector<double> latencies;
  latencies.reserve(requests);
  int failures = 0;
  auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    auto begin = Clock::now();
    if (!OneSave(*port, kWarmUpRequests + i)) ++failures;
    latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  int status = server.Stop() == 0 ? 0 : 1;

  size_t saved = CountLines(ReadFileText(root.File("bench.asc"))) - lines_before;
  size_t indexed = CountLines(ReadFileText(root.File("bench.idx"))) - CountLines(index);
  size_t expected = static_cast<size_t>(kWarmUpRequests + requests);
  std::printf("%-28s %10.1f %10.3f %10.3f %10.3f %8zu",
              (std::to_string(records) + " stored records").c_str(), requests / seconds,
              Percentile(latencies, 0.50), Percentile(latencies, 0.99), latencies.back(), saved);
  if (failures) {
    std::printf("  (%d failed)", failures);
    status = 1;
  }
  if (saved != expected || indexed != expected) {
    std::printf("  (%zu records and %zu index entries for %zu saves)", saved, indexed, expected);
    status = 1;
  }
  std::printf("\n");
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 200;
  std::vector<int> record_counts = {0, 100000};
  std::string binary;
  int records = -1;
  if (!loadclient::ParseLoadOptions(argc, argv, "save_load",
                                    {{"--requests", &requests, 1}, {"--records", &records, 0}},
                                    &binary))
    return 2;
  if (records >= 0) record_counts = {records};

  std::printf("%-28s %10s %10s %10s %10s %8s\n", "scenario", "req/s", "p50 ms", "p99 ms",
              "max ms", "saved");
  int status = 0;
  for (int records : record_counts) {
    int rc = RunScenario(records, requests, binary);
    if (rc == 3) return 3;
    if (rc != 0) status = 1;
  }
  return status;
}
