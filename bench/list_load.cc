// Load client for the database list viewer: starts the real tallypad on a
// temporary server root whose form holds a data file of 100,000 records and
// measures the time to answer list and record pages, one request at a time,
// near the start and near the end of the file. The page at record position
// 99,950 must be answered in under a second; the program fails otherwise.
// Usage: list_load [--requests N] [--records N] [--binary PATH]
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
using tallypad::testing::HttpGet;
using tallypad::testing::HttpResponse;
using tallypad::testing::ServerProcess;
using tallypad::testing::TempDir;
using Clock = std::chrono::steady_clock;

// The answer time the page near the end of the file must stay under.
constexpr double kLimitMs = 1000;
constexpr int kWarmUpRequests = 3;

struct Scenario {
  std::string name;
  std::string query;  // after "/list?DATABASE=big&_PASSWORD=owner"
  bool limited;       // held to kLimitMs
};

// The pages asked for: the first, the last fifty records (with and without
// a query), the last thousand, and the last record on its own.
std::vector<Scenario> Scenarios(int records) {
  const std::string near_end = std::to_string(std::max(0, records - 50));
  const std::string last_thousand = std::to_string(std::max(0, records - 1000));
  const std::string last = std::to_string(records);
  return {
      {"list, _START 0", "&_ACTION=LIST", false},
      {"list, _START " + near_end, "&_ACTION=LIST&_START=" + near_end, true},
      {"list, _START " + near_end + ", query",
       "&_ACTION=LIST&_START=" + near_end + "&_QUERY=Q1%3D%27yes%27+%26+AGE+gt+30", true},
      {"list, _START " + last_thousand + ", _COUNT 1000",
       "&_ACTION=LIST&_START=" + last_thousand + "&_COUNT=1000", false},
      {"view, _ROWID " + last, "&_ACTION=VIEW&_ROWID=" + last, false},
  };
}

// A data file of `records` records of 12 columns in the survey engine's
// record format, every tenth superseded.
std::string DataFile(int records) {
  std::string text = "#_SESSION\tQ1\tAGE\tQ3_1\tQ3_2\tQ3_3\tQ4\tCOMMENT\tQ5\tQ6\tDATE\tTIME\t\r\n";
  text.reserve(static_cast<size_t>(records) * 150);
  char line[512];
  for (int n = 1; n <= records; ++n) {
    int length = std::snprintf(
        line, sizeof line,
        "\"S%08d\"\t\"%s\"\t\"%d\"\t\"%s\"\t\"%s\"\t\"\"\t\"%d\"\t\"A comment with <b>markup</b> & "
        "words %d\"\t\"%d\"\t\"x\"\t\"20240101\"\t\"120000\"\t\r\n",
        n, n % 3 ? "yes" : "no", 18 + n % 60, n % 2 ? "red" : "", n % 5 ? "blue" : "", n % 7, n,
        n % 11);
    // A superseded record keeps its length: '#' stands where its first quote was.
    if (n % 10 == 0) line[0] = '#';
    text.append(line, static_cast<size_t>(length));
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  int requests = 20;
  int records = 100000;
  std::string binary;
  if (!loadclient::ParseLoadOptions(argc, argv, "list_load", {{"--requests", &requests, 1}, {"--records", &records, 1}}, &binary))
    return 2;

  TempDir root, registry;
  root.Write("cgi.ini", "[server]\n");
  root.Write("big.ini", "[DATABASE]\nTITLE=Big\n[access]\nPWD=owner\n");
  std::string data = DataFile(records);
  root.Write("big.asc", data);
  std::printf("data file: %d records, %zu bytes\n", records, data.size());

  ServerProcess server;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.binary = binary;
  std::optional<int> port = server.StartServing(options);
  if (!port) {
    std::fprintf(stderr, "list_load: the server did not start\n%s", server.Errors().c_str());
    return 1;
  }

  std::printf("%-36s %10s %10s %10s %8s %6s\n", "scenario", "min ms", "p50 ms", "max ms", "bytes",
              "rows");
  int status = 0;
  for (const Scenario& s : Scenarios(records)) {
    std::string path = std::string("/list?DATABASE=big&_PASSWORD=owner") + s.query;
    HttpResponse r;
    for (int i = 0; i < kWarmUpRequests; ++i) r = HttpGet(*port, path);
    std::vector<double> latencies;
    bool failed = false;
    for (int i = 0; i < requests; ++i) {
      auto begin = Clock::now();
      r = HttpGet(*port, path);
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      if (!r.closed || r.status_line != "HTTP/1.1 200 OK" || r.body.find("<HTML>") != 0)
        failed = true;
    }
    std::sort(latencies.begin(), latencies.end());
    size_t rows = 0;
    for (size_t at = r.body.find("CLASS=\"INDEX\""); at != std::string::npos;
         at = r.body.find("CLASS=\"INDEX\"", at + 1))
      ++rows;
    std::printf("%-36s %10.3f %10.3f %10.3f %8zu %6zu", s.name.c_str(), latencies.front(),
                Percentile(latencies, 0.5), latencies.back(), r.body.size(), rows);
    if (failed) {
      std::printf("  (failed)");
      status = 1;
    }
    if (s.limited && latencies.back() >= kLimitMs) {
      std::printf("  (over %.0f ms)", kLimitMs);
      status = 1;
    }
    std::printf("\n");
  }
  if (server.Stop() != 0) status = 1;
  return status;
}
