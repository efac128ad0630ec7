// Soak run: starts the real tallypad on a temporary server root holding a
// three-page survey that saves to a data file with an index and statistics,
// a templated start page and static files, and for a given time runs a
// mixed load on loopback from several client threads: static files, the
// template page, survey walks (START, NEXT, a rejected NEXT, SAVE with a
// unique answer), list and record pages, malformed requests, requests cut
// off before their header block ends, and clients that disconnect while the
// response is still coming. The server's memory is sampled all along.
// Afterwards it checks that the server still answers, that every save the
// server acknowledged is in the data file exactly once with every line
// whole, that the index and statistics agree with the data file, and that
// memory stayed flat; it prints requests per second and p50/p99 latency by
// kind. Exits 1 when a check fails.
// Usage: soak_load [--seconds N] [--clients N] [--sample-seconds N] [--binary PATH]
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/html_form.h"
#include "support/server_process.h"
#include "support/temp_dir.h"
#include "load_common.h"

namespace {

using loadclient::Percentile;

using tallypad::testing::FormBody;
using tallypad::testing::FormFields;
using tallypad::testing::FreePort;
using tallypad::testing::HtmlInputs;
using tallypad::testing::HttpClient;
using tallypad::testing::HttpResponse;
using tallypad::testing::InputValue;
using tallypad::testing::ReadFileText;
using tallypad::testing::ServerProcess;
using tallypad::testing::TempDir;
using Clock = std::chrono::steady_clock;

// A request that has not ended this long after it was sent counts as failed:
// the server serves one request at a time, so a healthy one answers each
// client well within it even with every client waiting in line.
constexpr int kResponseTimeoutMs = 20000;
// Memory may grow this much between the end of warm-up and the end of the
// run before the run fails: far above what caches and allocator slack take,
// far below what a leak per request adds over minutes.
constexpr long kRssGrowthLimitKb = 16 * 1024;
// On top of it, the server keeps one entry per stored session in the map
// that finds a session's earlier record (so a save costs the same whatever
// the data file holds): growth of up to this much per save acknowledged
// after warm-up is that map, not a leak.
constexpr long kSessionMapBytesPerSave = 256;
// A progress line is printed this often.
constexpr int kProgressSeconds = 60;
// Warm-up: the first fifth of the run, at most this long.
constexpr int kMaxWarmUpSeconds = 60;
// The static file that clients abandon while it is still being sent.
constexpr size_t kBigFileBytes = 256 * 1024;
constexpr const char* kThanks = "Response stored";
constexpr const char* kWarning = "Please rate the service";

enum Kind {
  kStatic, kTemplate, kStart, kNext, kNextRejected, kSave, kList, kView,
  kMalformed, kTruncated, kDisconnect, kKinds
};

const char* const kKindNames[kKinds] = {
    "static file", "template page", "survey START", "survey NEXT", "NEXT rejected", "survey SAVE",
    "list page", "record page", "malformed", "truncated", "disconnect"};

// ---- The server root --------------------------------------------------------

const char* const kFormSettings =
    "[DATABASE]\n"
    "TITLE=Soak survey\n"
    "MULTIPAGE=1\n"
    "MAXRESPONSES=0\n"
    "SAVEDATA=1\n"
    "SAVEDATANAME=soak.asc\n"
    "SAVEINDEXNAME=soak.idx\n"
    "SAVESTAT=1\n"
    "SAVESTATNAME=soak.sta\n"
    "MESSAGE=Response stored\n"
    "[access]\n"
    "PWDAPPEND=(allow)\n"
    "PWDREAD=reader\n";

const char* const kDataHeader =
    "#HOST\tDATE\tTIME\t_SESSION\t_PAGE\tQ1\tAGE\tPICK\tCOMMENT\tTOKEN\tchecked\t_FORMDONE\t\r\n";

const char* const kPage0 =
    "<html><head><title>Soak survey</title></head><body>\n<h2>Page page0</h2>\n"
    "<p class=warn><%= _PAGEWARN %></p>\n<form>\n<input type=hidden name=_PAGE value=page0>\n"
    "<p>How do you rate the service?\n<input type=radio name=Q1 value=1> poor\n"
    "<input type=radio name=Q1 value=2> fair\n<input type=radio name=Q1 value=3> good</p>\n"
    "<p>Your age: <input name=AGE size=4></p>\n"
    "<input type=submit name=_ACTION value=NEXT>\n</form></body></html>\n";

const char* const kPage1 =
    "<html><head><title>Soak survey</title></head><body>\n<h2>Page page1</h2>\n<form>\n"
    "<input type=hidden name=_PAGE value=page1>\n<p>What did you use?\n"
    "<input type=checkbox name=PICK value=web> web\n<input type=checkbox name=PICK value=mail> mail\n"
    "<input type=checkbox name=PICK value=desk> desk</p>\n"
    "<p>Comment: <input name=COMMENT size=40></p>\n"
    "<input type=submit name=_ACTION value=BACK>\n<input type=submit name=_ACTION value=NEXT>\n"
    "</form></body></html>\n";

const char* const kPage2 =
    "<html><head><title>Soak survey</title></head><body>\n<h2>Page page2</h2>\n<form>\n"
    "<input type=hidden name=_PAGE value=page2>\n<p>Your reference: <input name=TOKEN></p>\n"
    "<input type=submit name=_ACTION value=BACK>\n<input type=submit name=_ACTION value=SAVE>\n"
    "</form></body></html>\n";

const char* const kValidation =
    "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n"
    "if (Q1 = '') { _PAGEWARN = 'Please rate the service'; }\n_PAGENEXT = 'page1';\n</SCRIPT>\n"
    "<PAGE NAME=\"page1\" ACTION=\"kqs\">\n<SCRIPT>\n_PAGENEXT = 'page2';\n</SCRIPT>\n"
    "<PAGE NAME=\"page2\" ACTION=\"kqs\">\n"
    "<PAGE NAME=\"SUBMIT\">\n<SCRIPT>\nchecked = 'yes';\n</SCRIPT>\n";

const char* const kStatistics =
    "[COUNT]\nQ1_1=0\nQ1_2=0\nQ1_3=0\nPICK_web=0\nCOMMENT=0\n[SUM]\nAGE=0\n";

const char* const kStartPage =
    "<html><head><title>Soak</title></head><body>\n<p>Today is <%= DATE %>, the time <%= TIME %>.</p>\n"
    "<p><a href=/kqs?DATABASE=soak>The survey</a> and "
    "<a href=/list?DATABASE=soak&_ACTION=LIST>its answers</a>.</p>\n</body></html>\n";

void WriteServerRoot(const TempDir& root) {
  root.Write("cgi.ini", "[server]\nHOME=index.html\n");
  root.Write("index.html", kStartPage);
  root.Write("static.txt", std::string(1024, 's'));
  std::string big;
  big.reserve(kBigFileBytes);
  while (big.size() < kBigFileBytes) big += "A line of a large static file to abandon midway.\n";
  root.Write("big.txt", big);
  root.Write("soak.ini", kFormSettings);
  root.Write("soak.val", kValidation);
  root.Write("soak/page0", kPage0);
  root.Write("soak/page1", kPage1);
  root.Write("soak/page2", kPage2);
  root.Write("soak.asc", kDataHeader);
  root.Write("soak.idx", "#_SESSION\tTOKEN\t_POS\n");
  root.Write("soak.sta", kStatistics);
}

// ---- Clients ----------------------------------------------------------------

double MsSince(Clock::time_point begin) {
  return std::chrono::duration<double, std::milli>(Clock::now() - begin).count();
}

std::string Get(std::string_view path) {
  return "GET " + std::string(path) + " HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
}

std::string Post(std::string_view path, std::string_view body) {
  return "POST " + std::string(path) +
         " HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + std::string(body);
}

// The page's inputs as a browser posts them after the respondent answered
// `answers` (replacing every input of those names) and left the inputs
// named in `unanswered` alone, with `action` as the button pressed.
std::string Press(const std::string& page, const std::string& action, const FormFields& answers,
                  const std::set<std::string>& unanswered = {}) {
  FormFields fields;
  for (const auto& field : HtmlInputs(page)) {
    if (field.first == "_ACTION" || unanswered.count(field.first)) continue;
    bool answered = false;
    for (const auto& a : answers) answered = answered || a.first == field.first;
    if (!answered) fields.push_back(field);
  }
  fields.insert(fields.end(), answers.begin(), answers.end());
  fields.emplace_back("_ACTION", action);
  return FormBody(fields);
}

struct KindRecord {
  std::vector<double> latencies_ms;
  long failures = 0;
};

struct Shared {
  int port = 0;
  Clock::time_point deadline;
  std::atomic<long> saves_acknowledged{0};
  std::atomic<long> requests{0};
  std::mutex mutex;
  std::vector<std::string> acknowledged;  // tokens whose save was acknowledged
  std::vector<std::string> attempted;     // tokens whose save got no thank-you page
  std::vector<std::string> failure_notes; // the first few failures, for the report
};

class Client {
 public:
  Client(Shared* shared, int id) : shared_(shared), id_(id), rng_(0x5eed0000u + id) {}

  void Run() {
    // Weights of the actions; a survey walk makes three to five requests.
    static constexpr int kWeights[] = {22, 10, 16, 8, 8, 10, 8, 6};
    std::discrete_distribution<int> pick(std::begin(kWeights), std::end(kWeights));
    while (Clock::now() < shared_->deadline) {
      switch (pick(rng_)) {
        case 0: StaticFile(); break;
        case 1: TemplatePage(); break;
        case 2: SurveyWalk(); break;
        case 3: ListPage(); break;
        case 4: Malformed(); break;
        case 5: Truncated(); break;
        case 6: Disconnect(); break;
        case 7: RecordPage(); break;
      }
    }
  }

  std::array<KindRecord, kKinds>& records() { return records_; }

 private:
  // Sends `request`, closes the sending side and reads the response to its
  // end. Records the latency under `kind`; `ok` judges the response.
  template <typename Judge>
  HttpResponse Exchange(Kind kind, const std::string& request, Judge ok) {
    auto begin = Clock::now();
    HttpClient client;
    HttpResponse r;
    bool sent = client.Connect(shared_->port) && client.Send(request);
    if (sent) {
      client.ShutdownWrite();
      r = client.ReadResponse(kResponseTimeoutMs);
    }
    Record(kind, MsSince(begin));
    if (!sent || !r.closed || !ok(r)) Fail(kind, r, sent ? "unexpected response" : "no connection");
    return r;
  }

  // Sends a request no browser sends. The server may answer it, close the
  // connection or reset it (a refused request whose bytes are still
  // arriving); it fails only when it cannot be reached or keeps the
  // connection open past the time-out.
  void Abuse(Kind kind, const std::string& request) {
    auto begin = Clock::now();
    HttpClient client;
    if (!client.Connect(shared_->port)) {
      Record(kind, MsSince(begin));
      Fail(kind, HttpResponse{}, "no connection");
      return;
    }
    HttpResponse r;
    if (client.Send(request)) {
      client.ShutdownWrite();
      r = client.ReadResponse(kResponseTimeoutMs);
    }
    const double ms = MsSince(begin);
    Record(kind, ms);
    if (!r.closed && ms >= kResponseTimeoutMs) Fail(kind, r, "no end of the response");
  }

  void Record(Kind kind, double ms) {
    records_[kind].latencies_ms.push_back(ms);
    ++shared_->requests;
  }

  void Fail(Kind kind, const HttpResponse& r, const char* why) {
    ++records_[kind].failures;
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->failure_notes.size() < 10)
      shared_->failure_notes.push_back(std::string(kKindNames[kind]) + ": " + why +
                                       (r.closed ? "" : " (not closed in time)") + ": " +
                                       r.raw.substr(0, 200));
  }

  static bool Ok200(const HttpResponse& r) { return r.status_line == "HTTP/1.1 200 OK"; }

  void StaticFile() {
    Exchange(kStatic, Get("/static.txt"),
             [](const HttpResponse& r) { return Ok200(r) && r.body == std::string(1024, 's'); });
  }

  void TemplatePage() {
    Exchange(kTemplate, Get("/index.html"), [](const HttpResponse& r) {
      return Ok200(r) && r.body.find("Today is 20") != std::string::npos &&
             r.body.find("<%") == std::string::npos;
    });
  }

  static auto ShowsPage(const char* marker) {
    return [marker](const HttpResponse& r) {
      return Ok200(r) && r.body.find(marker) != std::string::npos;
    };
  }

  // START, NEXT (sometimes rejected first), NEXT, SAVE, each request built
  // from the page before it as a browser builds it.
  void SurveyWalk() {
    HttpResponse page = Exchange(kStart, Get("/kqs?DATABASE=soak"), ShowsPage("<h2>Page page0</h2>"));
    if (page.body.find("<h2>Page page0</h2>") == std::string::npos) return;
    const int n = ++walks_;
    const std::string age = std::to_string(18 + n % 60);
    if (n % 4 == 0) {
      HttpResponse again = Exchange(kNextRejected,
                                    Post("/kqs", Press(page.body, "NEXT", {{"AGE", age}}, {"Q1"})),
                                    [](const HttpResponse& r) {
                                      return Ok200(r) &&
                                             r.body.find("<h2>Page page0</h2>") != std::string::npos &&
                                             r.body.find(kWarning) != std::string::npos;
                                    });
      if (again.body.find(kWarning) == std::string::npos) return;
      page = std::move(again);
    }
    page = Exchange(kNext,
                    Post("/kqs", Press(page.body, "NEXT",
                                       {{"Q1", std::to_string(n % 3 + 1)}, {"AGE", age}})),
                    ShowsPage("<h2>Page page1</h2>"));
    if (page.body.find("<h2>Page page1</h2>") == std::string::npos) return;
    FormFields answers = {{"COMMENT", "walk " + std::to_string(n) + " says \"fine\" & <ok>"}};
    if (n % 2) answers.emplace_back("PICK", "web");
    answers.emplace_back("PICK", "desk");
    page = Exchange(kNext, Post("/kqs", Press(page.body, "NEXT", answers, {"PICK"})),
                    ShowsPage("<h2>Page page2</h2>"));
    if (page.body.find("<h2>Page page2</h2>") == std::string::npos) return;

    const std::string token = "tok-" + std::to_string(id_) + "-" + std::to_string(n);
    HttpResponse saved = Exchange(kSave, Post("/kqs", Press(page.body, "SAVE", {{"TOKEN", token}})),
                                  ShowsPage(kThanks));
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (saved.closed && Ok200(saved) && saved.body.find(kThanks) != std::string::npos) {
      shared_->acknowledged.push_back(token);
      ++shared_->saves_acknowledged;
    } else {
      shared_->attempted.push_back(token);
    }
  }

  // A page near the end of the data file, as someone reading the latest answers.
  void ListPage() {
    long start = std::max(0L, shared_->saves_acknowledged.load() - 20);
    Exchange(kList,
             Get("/list?DATABASE=soak&_PASSWORD=reader&_ACTION=LIST&_START=" + std::to_string(start)),
             [](const HttpResponse& r) { return Ok200(r) && r.body.find("<HTML>") == 0; });
  }

  void RecordPage() {
    long count = shared_->saves_acknowledged.load();
    if (count == 0) return ListPage();
    long row = std::uniform_int_distribution<long>(1, count)(rng_);
    Exchange(kView,
             Get("/list?DATABASE=soak&_PASSWORD=reader&_ACTION=VIEW&_ROWID=" + std::to_string(row)),
             [](const HttpResponse& r) { return Ok200(r) && r.body.find("<HTML>") == 0; });
  }

  // Requests no browser sends; the server must answer or close, and stay up.
  void Malformed() {
    std::string request;
    switch (std::uniform_int_distribution<int>(0, 7)(rng_)) {
      case 0: {  // random bytes, a blank line at the end
        request.resize(std::uniform_int_distribution<size_t>(1, 2000)(rng_));
        for (char& c : request) c = static_cast<char>(rng_());
        request += "\r\n\r\n";
        break;
      }
      case 1: request = "\r\n\r\n"; break;
      case 2: request = "GET\r\n\r\n"; break;
      case 3: request = "GET /" + std::string(60000, 'x') + " HTTP/1.0\r\n\r\n"; break;
      case 4: request = "GET /../../../etc/passwd HTTP/1.0\r\n\r\n"; break;
      case 5:  // far more body announced than the server accepts
        request = "POST /kqs HTTP/1.0\r\nContent-Length: 99999999999999999999\r\n\r\nDATABASE=soak";
        break;
      case 6:  // more than the server accepts, really sent
        request = "POST /kqs HTTP/1.0\r\nContent-Length: 2000000\r\n\r\n" +
                  std::string(1100000, 'q');
        break;
      case 7:  // a length that is no number, and a body on a GET
        request = "POST /kqs?DATABASE=soak HTTP/1.0\r\nContent-Length: 12x\r\n\r\n_ACTION=%zz%";
        break;
    }
    Abuse(kMalformed, request);
  }

  // A request whose header block never ends: the client sends part of it
  // and goes away without reading.
  void Truncated() {
    static const char* const kParts[] = {
        "GET /static.txt HTT",
        "GET /kqs?DATABASE=soak HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Ag",
        "POST /kqs HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Le",
        "GET /list?DATABASE=soak&_PASSWORD=reader&_ACT",
    };
    auto begin = Clock::now();
    HttpClient client;
    bool ok = client.Connect(shared_->port) &&
              client.Send(kParts[std::uniform_int_distribution<int>(0, 3)(rng_)]);
    client.Close();
    Record(kTruncated, MsSince(begin));
    if (!ok) Fail(kTruncated, HttpResponse{}, "no connection");
  }

  // Asks for something long, reads the first bytes and closes with the rest
  // unread, so the server's next send meets a reset connection.
  void Disconnect() {
    static const char* const kPaths[] = {
        "/big.txt", "/kqs?DATABASE=soak", "/list?DATABASE=soak&_PASSWORD=reader&_ACTION=LIST&_COUNT=500",
        "/index.html"};
    auto begin = Clock::now();
    HttpClient client;
    bool ok = client.Connect(shared_->port) &&
              client.Send(Get(kPaths[std::uniform_int_distribution<int>(0, 3)(rng_)]));
    client.ShutdownWrite();
    if (ok) ok = client.Readable(kResponseTimeoutMs);
    char first[16];
    if (ok) ok = ::recv(client.fd(), first, sizeof first, 0) > 0;
    client.Close();
    Record(kDisconnect, MsSince(begin));
    if (!ok) Fail(kDisconnect, HttpResponse{}, "no first bytes");
  }

  Shared* shared_;
  int id_;
  std::mt19937 rng_;
  int walks_ = 0;
  std::array<KindRecord, kKinds> records_;
};

// ---- Memory samples -----------------------------------------------------------

struct MemorySample {
  double seconds;
  long rss_kb;
  long hwm_kb;
  long saves;  // saves acknowledged so far
};

// Reads VmRSS and VmHWM of process `pid`; false when it is gone.
bool ReadMemory(pid_t pid, long* rss_kb, long* hwm_kb) {
  std::string status = ReadFileText("/proc/" + std::to_string(pid) + "/status");
  auto field = [&](const char* name) -> long {
    size_t at = status.find(name);
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + std::strlen(name));
  };
  *rss_kb = field("VmRSS:");
  *hwm_kb = field("VmHWM:");
  return *rss_kb >= 0 && *hwm_kb >= 0;
}

// The median of `field` over the samples taken between `from` and `to`
// seconds; -1 without one.
long MedianOf(const std::vector<MemorySample>& samples, double from, double to,
              long MemorySample::*field) {
  std::vector<long> values;
  for (const MemorySample& s : samples)
    if (s.seconds >= from && s.seconds <= to) values.push_back(s.*field);
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

std::string LoadAverage() {
  std::string text = ReadFileText("/proc/loadavg");
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

// ---- Checks after the run ----------------------------------------------------

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = text.find(separator, start);
    if (end == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, end - start));
    start = end + separator.size();
  }
}

std::string Unquote(const std::string& field) {
  std::string value = field.substr(1, field.size() - 2);
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    out += value[i];
    if (value[i] == '"' && i + 1 < value.size() && value[i + 1] == '"') ++i;
  }
  return out;
}

struct FileCheck {
  bool ok = true;
  size_t records = 0;
  size_t found_once = 0;
  std::vector<std::string> problems;

  void Problem(std::string text) {
    ok = false;
    if (problems.size() < 10) problems.push_back(std::move(text));
  }
};

// Checks the data file, its index and the statistics against the saves.
FileCheck CheckFiles(const TempDir& root, const std::vector<std::string>& acknowledged,
                     const std::vector<std::string>& unacknowledged) {
  FileCheck check;
  const std::string data = ReadFileText(root.File("soak.asc"));
  const std::vector<std::string> columns = Split(std::string(kDataHeader).substr(1), "\t");
  const size_t width = columns.size();  // the last part is "\r\n"
  auto column = [&](const char* name) {
    return static_cast<size_t>(std::find(columns.begin(), columns.end(), name) - columns.begin());
  };
  const size_t token_at = column("TOKEN"), session_at = column("_SESSION"), q1_at = column("Q1"),
               age_at = column("AGE");
  if (data.compare(0, std::strlen(kDataHeader), kDataHeader) != 0) check.Problem("header changed");
  if (data.size() < 2 || data.compare(data.size() - 2, 2, "\r\n") != 0)
    check.Problem("the data file does not end with a line end");

  std::map<std::string, int> tokens;
  std::map<size_t, std::string> session_at_offset;
  std::array<long, 4> q1_counts{};
  double age_sum = 0;
  size_t offset = std::strlen(kDataHeader);
  const std::vector<std::string> lines = Split(data.substr(offset), "\r\n");
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    const std::string& line = lines[i];
    std::vector<std::string> fields = Split(line, "\t");
    bool whole = fields.size() == width && fields.back().empty() && !line.empty() &&
                 line.find_first_of("\r\n") == std::string::npos;
    for (size_t f = 0; whole && f + 1 < fields.size(); ++f) {
      std::string& v = fields[f];
      bool opened = v.size() >= 2 && (v.front() == '"' || (f == 0 && v.front() == '#'));
      if (!opened || v.back() != '"') whole = false;
      if (f == 0 && whole) v.front() = '"';
    }
    if (!whole) {
      check.Problem("line " + std::to_string(i + 2) + " is not whole: " + line.substr(0, 120));
    } else {
      ++check.records;
      ++tokens[Unquote(fields[token_at])];
      session_at_offset[offset] = Unquote(fields[session_at]);
      int q1 = std::atoi(Unquote(fields[q1_at]).c_str());
      if (q1 >= 1 && q1 <= 3) ++q1_counts[q1];
      age_sum += std::atof(Unquote(fields[age_at]).c_str());
      if (line[0] == '#') check.Problem("record at line " + std::to_string(i + 2) + " superseded");
    }
    offset += line.size() + 2;
  }

  for (const std::string& token : acknowledged) {
    auto it = tokens.find(token);
    int count = it == tokens.end() ? 0 : it->second;
    if (count == 1) {
      ++check.found_once;
    } else {
      check.Problem("acknowledged save " + token + " is in the data file " + std::to_string(count) +
                    " times");
    }
  }
  for (const std::string& token : unacknowledged) {
    auto it = tokens.find(token);
    if (it != tokens.end() && it->second > 1) check.Problem("save " + token + " stored twice");
  }

  // Each index entry names the session of the record at its offset.
  const std::vector<std::string> entries = Split(ReadFileText(root.File("soak.idx")), "\n");
  size_t indexed = 0;
  for (size_t i = 1; i + 1 < entries.size(); ++i) {
    std::vector<std::string> fields = Split(entries[i], "\t");
    auto at = fields.size() == 3 ? session_at_offset.find(std::strtoull(fields[2].c_str(), nullptr, 10))
                                 : session_at_offset.end();
    if (at == session_at_offset.end() || fields[0].size() < 2 || Unquote(fields[0]) != at->second) {
      check.Problem("index entry " + std::to_string(i) + " does not match: " + entries[i]);
    } else {
      ++indexed;
    }
  }
  if (indexed != check.records)
    check.Problem(std::to_string(indexed) + " index entries for " + std::to_string(check.records) +
                  " records");

  // The statistics count every stored response once.
  const std::string stats = ReadFileText(root.File("soak.sta"));
  for (int q = 1; q <= 3; ++q) {
    std::string key = "Q1_" + std::to_string(q) + "=";
    size_t at = stats.find(key);
    long counted = at == std::string::npos ? -1 : std::atol(stats.c_str() + at + key.size());
    if (counted != q1_counts[q])
      check.Problem("statistics count " + key + std::to_string(counted) + " for " +
                    std::to_string(q1_counts[q]) + " records");
  }
  size_t sum_at = stats.find("\nAGE=", stats.find("[SUM]"));
  double summed = sum_at == std::string::npos ? -1 : std::atof(stats.c_str() + sum_at + 5);
  if (summed < age_sum - 0.5 || summed > age_sum + 0.5)
    check.Problem("statistics sum AGE=" + std::to_string(summed) + " for records summing to " +
                  std::to_string(age_sum));
  return check;
}

// The server answers a static file and the survey's first page.
bool StillAnswers(int port) {
  HttpResponse file = tallypad::testing::HttpGet(port, "/static.txt");
  HttpResponse page = tallypad::testing::HttpGet(port, "/kqs?DATABASE=soak");
  return file.closed && file.body == std::string(1024, 's') && page.closed &&
         page.body.find("<h2>Page page0</h2>") != std::string::npos &&
         InputValue(HtmlInputs(page.body), "_SESSION") != "<none>";
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600, clients = 6, sample_seconds = 2;
  std::string binary;
  if (!loadclient::ParseLoadOptions(argc, argv, "soak_load", {{"--seconds", &seconds, 1}, {"--clients", &clients, 1}, {"--sample-seconds", &sample_seconds, 1}}, &binary))
    return 2;

  TempDir root, registry;
  WriteServerRoot(root);
  ServerProcess server;
  ServerProcess::Options options;
  options.server_root = root.path();
  options.port = FreePort();
  options.registry = registry.path();
  options.binary = binary;
  options.env = {{"TALLYPAD_NETWORK", "offline"}};
  std::optional<int> port = server.StartServing(options);
  if (!port) {
    std::fprintf(stderr, "soak_load: the server did not start\n%s", server.Errors().c_str());
    return 1;
  }
  if (!StillAnswers(*port)) {
    std::fprintf(stderr, "soak_load: the survey does not show its first page\n");
    return 1;
  }

  const std::string load_before = LoadAverage();
  std::printf("soak: %d s, %d clients, server pid %d on port %d\nload average at start: %s\n",
              seconds, clients, static_cast<int>(server.pid()), *port, load_before.c_str());
  std::fflush(stdout);

  Shared shared;
  shared.port = *port;
  const auto start = Clock::now();
  shared.deadline = start + std::chrono::seconds(seconds);

  std::vector<MemorySample> samples;
  std::atomic<bool> sampling{true};
  bool server_vanished = false;
  std::thread sampler([&] {
    auto next = start;
    int progress_lines = 0;
    while (sampling.load()) {
      long rss = 0, hwm = 0;
      if (!ReadMemory(server.pid(), &rss, &hwm)) {
        server_vanished = true;
        return;
      }
      const double at = std::chrono::duration<double>(Clock::now() - start).count();
      samples.push_back({at, rss, hwm, shared.saves_acknowledged.load()});
      if (static_cast<int>(at) / kProgressSeconds > progress_lines) {
        ++progress_lines;
        std::printf("  %4.0f s: %ld requests, %ld saves acknowledged, RSS %ld KiB, VmHWM %ld KiB\n",
                    at, shared.requests.load(), shared.saves_acknowledged.load(), rss, hwm);
        std::fflush(stdout);
      }
      next += std::chrono::seconds(sample_seconds);
      while (sampling.load() && Clock::now() < next)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  });

  std::vector<std::unique_ptr<Client>> workers;
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) workers.push_back(std::make_unique<Client>(&shared, c));
  for (int c = 0; c < clients; ++c) threads.emplace_back([&, c] { workers[c]->Run(); });
  for (std::thread& t : threads) t.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  sampling = false;
  sampler.join();
  const std::string load_after = LoadAverage();

  int status = 0;
  auto fail = [&status](const std::string& text) {
    std::printf("FAILED: %s\n", text.c_str());
    status = 1;
  };

  // Requests by kind.
  std::printf("\n%-16s %9s %9s %9s %9s %9s %7s\n", "kind", "requests", "req/s", "p50 ms", "p99 ms",
              "max ms", "failed");
  long total = 0, total_failed = 0;
  for (int k = 0; k < kKinds; ++k) {
    std::vector<double> all;
    long failed = 0;
    for (auto& w : workers) {
      auto& rec = w->records()[k];
      all.insert(all.end(), rec.latencies_ms.begin(), rec.latencies_ms.end());
      failed += rec.failures;
    }
    std::sort(all.begin(), all.end());
    total += static_cast<long>(all.size());
    total_failed += failed;
    std::printf("%-16s %9zu %9.1f %9.2f %9.2f %9.2f %7ld\n", kKindNames[k], all.size(),
                all.size() / elapsed, Percentile(all, 0.5), Percentile(all, 0.99),
                all.empty() ? 0.0 : all.back(), failed);
  }
  std::printf("%-16s %9ld %9.1f %39ld\n", "all", total, total / elapsed, total_failed);
  for (const std::string& note : shared.failure_notes) std::printf("  failure: %s\n", note.c_str());
  if (total_failed) fail(std::to_string(total_failed) + " requests failed");

  // Memory.
  if (server_vanished) fail("the server process ended during the run");
  if (!samples.empty()) {
    const double warm_up = std::min<double>(kMaxWarmUpSeconds, elapsed / 5);
    const double window = std::max(3.0 * sample_seconds, std::min(30.0, elapsed / 10));
    long peak_rss = 0, peak_hwm = 0;
    for (const MemorySample& s : samples) {
      peak_rss = std::max(peak_rss, s.rss_kb);
      peak_hwm = std::max(peak_hwm, s.hwm_kb);
    }
    const long after_warm_up =
        MedianOf(samples, warm_up, warm_up + window, &MemorySample::rss_kb);
    const long at_end = MedianOf(samples, elapsed - window, elapsed + 1, &MemorySample::rss_kb);
    const long saves_since = MedianOf(samples, elapsed - window, elapsed + 1, &MemorySample::saves) -
                             MedianOf(samples, warm_up, warm_up + window, &MemorySample::saves);
    std::printf("\nmemory (%zu samples every %d s): first RSS %ld KiB, after warm-up (%.0f s) "
                "%ld KiB, at the end %ld KiB, last %ld KiB, peak RSS %ld KiB, peak VmHWM %ld KiB\n",
                samples.size(), sample_seconds, samples.front().rss_kb, warm_up, after_warm_up,
                at_end, samples.back().rss_kb, peak_rss, peak_hwm);
    const long grown_kb = at_end - after_warm_up;
    if (saves_since > 0)
      std::printf("growth after warm-up: %ld KiB over %ld saves, %.0f bytes a save\n", grown_kb,
                  saves_since, grown_kb * 1024.0 / saves_since);
    const long allowed_kb =
        kRssGrowthLimitKb + std::max(0L, saves_since) * kSessionMapBytesPerSave / 1024;
    if (after_warm_up >= 0 && grown_kb > allowed_kb)
      fail("memory grew by " + std::to_string(grown_kb) + " KiB after warm-up (allowed " +
           std::to_string(allowed_kb) + " KiB)");
  }

  // The server still answers, and stops cleanly.
  if (!StillAnswers(*port)) fail("the server no longer answers");
  int exit_status = server.Stop();
  if (exit_status != 0) fail("the server ended with status " + std::to_string(exit_status));
  std::string errors = server.Errors();
  if (!errors.empty()) std::printf("server errors:\n%s\n", errors.substr(0, 2000).c_str());

  // Every acknowledged save is stored once, and the files agree.
  FileCheck files = CheckFiles(root, shared.acknowledged, shared.attempted);
  std::printf("\nsaves: %zu acknowledged, %zu without a thank-you page; %zu acknowledged found "
              "exactly once; %zu whole records in the data file\n",
              shared.acknowledged.size(), shared.attempted.size(), files.found_once, files.records);
  for (const std::string& p : files.problems) std::printf("  problem: %s\n", p.c_str());
  if (!files.ok) fail("the data file, index or statistics do not match the saves");
  if (shared.acknowledged.empty()) fail("no save was acknowledged");

  std::printf("load average at the end: %s\n%s\n", load_after.c_str(),
              status == 0 ? "soak: all checks passed" : "soak: checks FAILED");
  return status;
}
