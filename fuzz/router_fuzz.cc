// Fuzzes request handling: the input is a whole request's bytes, gathered
// as the server gathers them from a client that sends them and closes, and
// served by HandleRequest when complete, with a small server root made once
// per process: "cgi.ini", a templated start page, an error page, a style
// sheet, a multi-page survey with its validation file, data file, index,
// statistics and report, a single-page survey with logins and a file of
// accepted IDs, and passwords that let the list viewer read. Checks that
// every response starts with a status line, that the result code is a code
// the engines use, and that no file descriptor is left open.
// Both engines are called through a check of the request variables they
// get: the server's HOST, DATE and TIME once each, no _PAGEWARN, no more
// fields than the limit. A POST whose body is shorter than its length must
// be refused without reaching an engine.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "app/mode.h"
#include "app/router.h"
#include "app/start_pages.h"
#include "base/file.h"
#include "cgi/kqs/survey.h"
#include "cgi/list/list_viewer.h"
#include "fuzz_check.h"
#include "httpd/connection.h"
#include "httpd/request.h"
#include "platform/profile.h"

namespace {

using fuzzing::Check;
using fuzzing::WriteFile;

// Longest input sent: it must fit the socket's buffer, since the request is
// written completely before it is served.
constexpr size_t kMaxInput = 64 * 1024;
// A saved-to file past this size makes the server root be written afresh,
// so that saves cannot fill the disk or slow every lookup down.
constexpr uint64_t kMaxSavedFileSize = 256 * 1024;
// Runs between two counts of the open file descriptors.
constexpr unsigned kFdCheckInterval = 512;
// Descriptors allowed beyond the count after the first run.
constexpr int kFdSlack = 4;
// Fields a request may carry here: small, so that refusals are reached.
constexpr size_t kMaxFields = 64;
// The device name of "cgi.ini", which the HOST variable must carry.
constexpr std::string_view kDeviceId = "fuzzbox";

// The files of the server root. "@" in a text stands for the root's path.
struct RootFile {
  const char* name;
  const char* text;
};

constexpr RootFile kRootFiles[] = {
    {"cgi.ini",
     "; Settings of the fuzzed server\n[server]\nMODE=preview\nHOME=index.html\nERROR=/err.htm\n"
     "DEVICEID=fuzzbox\n"},
    {"index.html",
     "<html><head><link rel=stylesheet href=style.css></head><body>\n"
     "<p>Today is <%= DATE %> at {TIME} on <!--$ HOST -->.</p>\n"
     "<%if DATABASE == 'demo'%><a href=\"kqs?DATABASE=demo\">demo</a><%else%>none<%end%>\n"
     "<p><%= escape(Q1) %> <%= Q2 + 1 %></p>\n"
     "<%report demo.asc Q1 == $Q1 %><li>{Q1} {Q2}</li></report>\n"
     "<%include part.htm %><script>x = 1; print(x + 1);</script>\n"
     "<INPUT NAME=Q1 VALUE=x></body></html>\n"},
    {"part.htm", "<p>part <%= Q1 %><%include part.htm %></p>"},
    {"err.htm", "<p>There is no such page.</p>\n"},
    {"style.css", "body { color: black; }\n"},
    {"logo.gif", "GIF89a\x01\x00\x01\x00"},
    {"notes.txt", "plain <%= Q1 %> text\n"},
    // The multi-page survey.
    {"demo.ini",
     "[DATABASE]\nTitle=Demo survey\nDescription=Five questions\nMULTIPAGE=1\nSTARTPAGE=page0\nSAVEDATA=1\nSAVEDATANAME=demo.asc\n"
     "SAVEINDEXNAME=demo.idx\nSAVESTAT=1\nSAVESTATNAME=demo.sta\nSAVEXML=1\n"
     "SAVEXMLNAME=demo.xml\nREPORT2=report.htm\nHASUID=0\nMESSAGE=Thanks\nDISPLAYHOTLINK=1\n"
     "DISPLAYREPORT=1\nREPORT=report.htm\nLOGDATETIME=0\n"
     "[access]\nPWDREAD=reader\nPWDREPORT=boss\nPWDAPPEND=(allow)\nPWDUPDATE=reader\n"},
    {"demo/header", "<h2>Demo survey</h2>\n"},
    {"demo/page0",
     "ACTION=/kqs&METHOD=POST\n\ninsert\n"
     "<form><INPUT TYPE=HIDDEN NAME=_PAGE VALUE=page0>\n"
     "<INPUT NAME=Q1 VALUE=\"\"><INPUT TYPE=radio NAME=Q2 VALUE=1><INPUT TYPE=radio NAME=Q2 VALUE=2>\n"
     "<SELECT NAME=Q3><OPTION VALUE=a>a</OPTION><OPTION VALUE=b query=\"Q1 == 5\">b</OPTION>"
     "</SELECT>\n<INPUT TYPE=SUBMIT NAME=_ACTION VALUE=NEXT></form>\n"},
    {"demo/insert", "<p>inserted</p>\n"},
    {"demo/page1",
     "<form><INPUT TYPE=HIDDEN NAME=_PAGE VALUE=page1>\n"
     "<INPUT TYPE=checkbox NAME=Q4 VALUE=x><INPUT TYPE=checkbox NAME=Q4 VALUE=y>\n"
     "<TEXTAREA NAME=Q5>{Q5}</TEXTAREA><%= _PAGEWARN %>\n"
     "<INPUT TYPE=SUBMIT NAME=_ACTION VALUE=BACK><INPUT TYPE=SUBMIT NAME=_ACTION VALUE=SAVE>"
     "</form>\n"},
    {"demo/page2", "<form><INPUT TYPE=HIDDEN NAME=_PAGE VALUE=page2>only some see this</form>\n"},
    {"demo.val",
     "<PAGE NAME=\"page0\">\n<SCRIPT>\nif (Q1 = '') { _PAGEWARN = 'Please answer Q1'; }\n"
     "_PAGENEXT = 'page1';\nif (Q2 == 2) { showpage('page2'); }\n</SCRIPT>\n"
     "<SCRIPT TYPE=BACK>x = 1;</SCRIPT>\n"
     "<PAGE NAME=\"page1\" ACTION=\"/kqs\" METHOD=POST AUTOCOMPLETE=off>\n"
     "<SCRIPT>\nif (Q5 = 'bad') { _PAGEWARN = 'No'; }\n</SCRIPT>\n"
     "<PAGE NAME=\"page2\" ACTION=\"/kqs\">\n<SCRIPT>\nx = ranksort('a=3,b=1');\n</SCRIPT>\n"
     "<PAGE NAME=\"SUBMIT\">\n<SCRIPT>\nif (Q1 = 'stop') { _PAGEWARN = 'Stopped'; }\n</SCRIPT>\n"},
    {"demo.asc",
     "#_SESSION\tQ1\tQ2\tQ3\tQ4\tQ5\t_PAGE\t_PAGEBACK\t\r\n"
     "\"s1\"\t\"5\"\t\"1\"\t\"a\"\t\"x,y\"\t\"say \"\"hi\"\"\"\t\"page1\"\t\"page0,\"\t\r\n"
     "\"s2\"\t\"7\"\t\"2\"\t\"b\"\t\"\"\t\"\"\t\"page2\"\t\"page1,page0,\"\t\r\n"},
    {"demo.idx", "#_SESSION\t_POS\n\"s1\"\t43\n"},
    {"demo.sta", "[COUNT]\nALL=2\nQ1=2\n[SUM]\nQ1=12\n"},
    {"demo.xml", ""},
    {"report.htm",
     "<h1>Report</h1><%stats demo.sta %>{ALL} answers, sum {Q1}<%end%>\n"
     "<%report demo.asc %>{_SESSION}: {Q1} {Q4}</report>\n"},
    // The single-page survey with logins.
    {"login.ini",
     "[DATABASE]\nTitle=Login survey\nDescription=With IDs\nHASUID=1\nIDFIELDS=IFMUID,IFMUID1\nFORM=login.htm\nPWDFILE=@ids.txt\n"
     "SAVEDATA=1\nSAVEDATANAME=login.asc\nSAVEINDEXNAME=login.idx\nMAXRESPONSES=1000000\n"
     "MAXMESSAGE=http://127.0.0.1/full.html\nSHOWREDIRECT=1\nREDIRECT=/index.html\n"
     "[access]\nPWDAPPEND=(allow)\nPWDUPDATE=(allow)\nPWD=admin\n"},
    {"login.htm",
     "<form><INPUT NAME=IFMUID><INPUT TYPE=PASSWORD NAME=IFMUID1><INPUT NAME=A1 VALUE={A1}>"
     "</form>\n"},
    {"ids.txt", "amy bob\r\ncarol\n"},
    {"login.asc",
     "#IFMUID\tIFMUID1\tA1\t_SESSION\t\r\n\"amy\"\t\"pw\"\t\"yes\"\t\"s9\"\t\r\n"},
    {"login.idx", "#IFMUID\tIFMUID1\t_POS\n\"amy\"\t\"pw\"\t30\n"},
    // A form whose configuration has no DATABASE section.
    {"broken.ini", "[access]\nPWDREAD=(allow)\n"},
};

// The files that saves append to or rewrite.
constexpr const char* kSavedFiles[] = {"demo.asc", "demo.idx", "demo.xml",  "demo.sta",
                                       "login.asc", "login.idx", "outbox.kqs", "kqscounts.ini"};

std::string Substitute(std::string_view text, const std::string& root) {
  std::string out;
  for (char c : text) {
    if (c == '@') {
      out += root;
    } else {
      out += c;
    }
  }
  return out;
}

void WriteRoot(const std::string& root) {
  Check(mkdir((root + "demo").c_str(), 0700) == 0 || errno == EEXIST);
  for (const char* name : kSavedFiles) unlink((root + name).c_str());
  for (const RootFile& f : kRootFiles) WriteFile(root + f.name, Substitute(f.text, root));
}

bool AllDigits(const std::optional<std::string>& text, size_t size) {
  return text && text->size() == size &&
         std::all_of(text->begin(), text->end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool NamedNoCase(const tallypad::VarEntry& e, std::string_view name) {
  return e.IsUsed() && e.name->size() == name.size() &&
         std::equal(name.begin(), name.end(), e.name->begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) ==
                  std::toupper(static_cast<unsigned char>(b));
         });
}

// Engine calls of the current run.
int engine_calls = 0;

// Checks the request variables as the router hands them to an engine.
void CheckRequestVariables(const tallypad::VarTable* vars) {
  ++engine_calls;
  Check(vars != nullptr && vars->entries.size() >= 3);
  Check(vars->entries[0].name == "HOST" && vars->entries[0].value == kDeviceId);
  Check(vars->entries[1].name == "DATE" && AllDigits(vars->entries[1].value, 8));
  Check(vars->entries[2].name == "TIME" && AllDigits(vars->entries[2].value, 6));
  size_t host = 0, date = 0, time = 0, used = 0;
  for (const tallypad::VarTable* b = vars; b; b = b->next.get()) {
    for (const tallypad::VarEntry& e : b->entries) {
      if (e.IsBlank()) break;
      used += e.IsUsed();
      host += NamedNoCase(e, "HOST");
      date += NamedNoCase(e, "DATE");
      time += NamedNoCase(e, "TIME");
      Check(!NamedNoCase(e, "_PAGEWARN"));
    }
  }
  Check(host == 1 && date == 1 && time == 1);
  Check(used - 3 <= kMaxFields);
}

// True when `request` is a POST whose header block has ended and announces
// a body (within the size limit) longer than what follows: the reader sees
// the client close before the body is whole.
bool AnnouncesMoreThanItSends(std::string_view request, size_t max_bytes) {
  if (tallypad::SplitRequestLine(request).method != "POST") return false;
  if (!tallypad::BodyStart(request)) return false;
  std::optional<size_t> length = tallypad::ContentLength(request);
  if (!length || request.size() > max_bytes || *length > max_bytes - request.size()) return false;
  return !tallypad::CompleteRequestLength(request);
}

struct Server {
  std::string root;
  tallypad::VarTablePtr settings;
  tallypad::StartPageTable pages;
  tallypad::RouterContext ctx;
};

Server& TheServer() {
  static Server* server = [] {
    static Server instance;
    Server* s = &instance;
    s->root = fuzzing::ScratchFolder("router_fuzz");
    // The identifier counter lives in the registry: keep it in the root.
    setenv("TALLYPAD_REGISTRY", (s->root + "registry").c_str(), 1);
    WriteRoot(s->root);
    s->settings = tallypad::IniLoadSection(s->root + "cgi.ini", "server", 0);
    Check(s->settings != nullptr);
    tallypad::StartPagesScan(s->root, "index.html", &s->pages);
    s->ctx.server_root = s->root;
    s->ctx.settings = s->settings.get();
    s->ctx.mode = tallypad::ServerModeFromSetting("preview");
    s->ctx.start_pages = &s->pages;
    s->ctx.server_address = "127.0.0.1:8080";
    s->ctx.close_window = [] {};
    // The whole request is waiting before it is served, so reading never
    // waits; small limits keep a stray wait short and reach the refusals.
    s->ctx.limits.max_bytes = kMaxInput / 2;
    s->ctx.limits.max_ms = 2000;
    s->ctx.limits.silent_wait_us = 1000;
    s->ctx.limits.max_fields = kMaxFields;
    s->ctx.survey_engine = [](const std::string& root, tallypad::VarTable* vars,
                              tallypad::OutputStream* out, const tallypad::RequestInfo& info) {
      CheckRequestVariables(vars);
      return tallypad::SurveyDispatch(root, vars, out, info);
    };
    s->ctx.list_engine = [](const std::string& root, tallypad::VarTable* vars,
                            tallypad::OutputStream* out, const tallypad::RequestInfo& info) {
      CheckRequestVariables(vars);
      return tallypad::ListDispatch(root, vars, out, info);
    };
    return s;
  }();
  return *server;
}

int CountOpenFds() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  Check(dir != nullptr);
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned runs = 0;
  static int fd_baseline = -1;
  Server& server = TheServer();
  if (size > kMaxInput) size = kMaxInput;

  for (const char* name : kSavedFiles) {
    if (tallypad::FileSize(server.root + name) > kMaxSavedFileSize) {
      WriteRoot(server.root);
      break;
    }
  }

  // The request as the server gathers it from a client that sends these
  // bytes and closes: only a complete request reaches the router.
  tallypad::RequestAssembler assembler(server.ctx.limits, std::chrono::steady_clock::now());
  tallypad::RequestState state = tallypad::RequestState::kReading;
  for (size_t at = 0; at < size && state == tallypad::RequestState::kReading;) {
    const size_t piece = std::min(assembler.Room(), std::min<size_t>(size - at, 16384));
    state = assembler.Feed(reinterpret_cast<const char*>(data) + at, piece,
                           std::chrono::steady_clock::now());
    at += piece;
  }
  if (state == tallypad::RequestState::kReading) state = assembler.PeerClosed();

  engine_calls = 0;
  int code = 0;
  std::string response;
  if (state == tallypad::RequestState::kComplete) {
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::unique_ptr<tallypad::Connection> conn = tallypad::ConnMake(-1, client);
    conn->request = assembler.TakeText();
    code = tallypad::HandleRequest(*conn, server.ctx);
    response = std::move(conn->response);
  }

  Check(code >= 0 && code <= 104);
  const std::string_view request(reinterpret_cast<const char*>(data), size);
  if (AnnouncesMoreThanItSends(request, server.ctx.limits.max_bytes)) {
    Check(engine_calls == 0);
    Check(state == tallypad::RequestState::kCutShort);
  }
  if (state != tallypad::RequestState::kComplete) {
    Check(engine_calls == 0 && response.empty());
  } else if (!response.empty()) {
    Check(response.compare(0, 9, "HTTP/1.1 ") == 0);
  }

  ++runs;
  if (runs == 1) fd_baseline = CountOpenFds();
  if (runs % kFdCheckInterval == 0) Check(CountOpenFds() <= fd_baseline + kFdSlack);
  return 0;
}
