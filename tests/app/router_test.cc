#include "app/router.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "base/status_log.h"
#include "base/text.h"
#include "httpd/response_header.h"
#include "platform/profile.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

// What an engine was called with.
struct EngineCall {
  std::string engine;
  std::string server_root;
  std::vector<VarEntry> entries;  // every entry of the first block, free ones included
  RequestInfo info;
};

// Runs HandleRequest in-process on one end of a socket pair, with engines
// that record their calls, on a temporary server root.
class RouterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    StartPagesScan(root_.path(), "", &pages_);
    ctx_.server_root = root_.path();
    ctx_.start_pages = &pages_;
    ctx_.server_address = "127.0.0.1:8080";
    ctx_.close_window = [this] { ++closed_; };
    ctx_.survey_engine = Recorder("survey");
    ctx_.list_engine = Recorder("list");
  }

  EngineFn Recorder(std::string name) {
    return [this, name](const std::string& root, VarTable* vars, OutputStream* out,
                        const RequestInfo& info) {
      calls_.push_back({name, root, vars->entries, info});
      WriteResponseHeader(out);
      StreamWriteText(out, "engine " + name);
      return engine_code_;
    };
  }

  // Writes "cgi.ini" and loads its section `server` as the host does.
  void Settings(std::string_view ini) {
    settings_ = IniLoadSection(root_.Write("cgi.ini", ini), "server", 0);
    ctx_.settings = settings_.get();
  }

  // Serves the complete request `request` and returns the response: its
  // bytes, then the file attached to it.
  std::string Serve(std::string_view request) {
    sockaddr_in client{};
    client.sin_family = AF_INET;
    client.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::unique_ptr<Connection> conn = ConnMake(-1, client);
    conn->request = std::string(request);
    result_ = HandleRequest(*conn, ctx_);
    std::string out = conn->response;
    if (conn->file.valid()) {
      std::string body(conn->file_size, '\0');
      ssize_t n = ::pread(conn->file.get(), body.data(), body.size(), 0);
      body.resize(n > 0 ? static_cast<size_t>(n) : 0);
      out += body;
    }
    return out;
  }

  static std::string Body(const std::string& response) {
    size_t blank = response.find("\n\n");
    return blank == std::string::npos ? "" : response.substr(blank + 2);
  }

  TempDir root_;
  StartPageTable pages_;
  VarTablePtr settings_;
  RouterContext ctx_;
  std::vector<EngineCall> calls_;
  int engine_code_ = 0;
  int closed_ = 0;
  int result_ = -1;
};

constexpr std::string_view kMenuStart =
    "<P>Tallypad Personal Server\r\nCopyright &copy; Velkorn. All rights reserved.\r\n<P>";

TEST_F(RouterTest, EnginePathsAreMatchedExactly) {
  root_.Write("kqs", "a file named kqs");
  root_.Write("KQS", "a file named KQS");
  struct Case {
    const char* path;
    const char* engine;  // "" for the file step
  };
  const Case cases[] = {
      {"/kqs", "survey"},  {"/kqs.exe", "survey"}, {"/kqs.cgi", "survey"}, {"/kqs.dll", "survey"},
      {"/list", "list"},   {"/list.exe", "list"},  {"/list.cgi", "list"},  {"/list.dll", "list"},
      {"/kqs?a=1", "survey"}, {"xkqs", "survey"},  // the first character is dropped, whatever it is
      {"/KQS", ""},        {"/kqs.EXE", ""},       {"/kqs.html", ""},      {"/lists", ""},
      {"/kqs/", ""},       {"/list.dll.txt", ""},
  };
  for (const Case& c : cases) {
    calls_.clear();
    std::string response = Serve("GET " + std::string(c.path) + " HTTP/1.0\r\n\r\n");
    if (*c.engine) {
      ASSERT_EQ(calls_.size(), 1u) << c.path;
      EXPECT_EQ(calls_[0].engine, c.engine) << c.path;
      EXPECT_EQ(calls_[0].server_root, root_.path()) << c.path;
      EXPECT_EQ(Body(response), std::string("engine ") + c.engine) << c.path;
    } else {
      EXPECT_TRUE(calls_.empty()) << c.path;
    }
  }
  EXPECT_EQ(Body(Serve("GET /KQS HTTP/1.0\r\n\r\n")), "a file named KQS");
}

TEST_F(RouterTest, TheEnginesResultCodeIsReturned) {
  engine_code_ = 21;
  Serve("GET /kqs HTTP/1.0\r\n\r\n");
  EXPECT_EQ(result_, 21);
  engine_code_ = 0;
  Serve("GET /list HTTP/1.0\r\n\r\n");
  EXPECT_EQ(result_, 0);
}

TEST_F(RouterTest, QueryVariablesFollowTheReservedAndFreeEntries) {
  Serve("GET /kqs?DATABASE=demo&_ACTION=NEXT HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n");
  ASSERT_EQ(calls_.size(), 1u);
  const std::vector<VarEntry>& e = calls_[0].entries;
  ASSERT_EQ(e.size(), 3u + 64u + 2u);
  EXPECT_EQ(e[0].name, "HOST");
  EXPECT_EQ(e[1].name, "DATE");
  ASSERT_TRUE(e[1].value);
  EXPECT_EQ(e[1].value->size(), 8u);
  EXPECT_EQ(e[1].value->find_first_not_of("0123456789"), std::string::npos);
  EXPECT_EQ(e[2].name, "TIME");
  ASSERT_TRUE(e[2].value);
  EXPECT_EQ(e[2].value->size(), 6u);
  for (size_t i = 3; i < 67; ++i) EXPECT_TRUE(e[i].IsFree()) << i;
  EXPECT_EQ(e[67].name, "DATABASE");
  EXPECT_EQ(e[67].value, "demo");
  EXPECT_EQ(e[68].name, "_ACTION");
  EXPECT_EQ(e[68].value, "NEXT");

  const RequestInfo& info = calls_[0].info;
  EXPECT_EQ(info.server_address, "127.0.0.1:8080");
  EXPECT_EQ(info.host_header, "127.0.0.1:8080");
  EXPECT_EQ(info.client_address, 0x7f000001u);
  EXPECT_EQ(info.client_ip, "127.0.0.1");
}

TEST_F(RouterTest, APostBodyIsDecodedAndItsQueryIgnored) {
  struct Case {
    const char* what;
    std::string request;
  };
  const Case cases[] = {
      {"CRLF", "POST /kqs.exe?IGNORED=1 HTTP/1.0\r\nContent-Length: 18\r\n\r\nNAME=Anna+B&AGE=33"},
      {"LF", "POST /kqs.exe?IGNORED=1 HTTP/1.0\nX: y\n\nNAME=Anna+B&AGE=33"},
      {"no length", "POST /kqs.exe?IGNORED=1 HTTP/1.0\r\n\r\nNAME=Anna%20B&AGE=33"},
  };
  for (const Case& c : cases) {
    calls_.clear();
    Serve(c.request);
    ASSERT_EQ(calls_.size(), 1u) << c.what;
    const std::vector<VarEntry>& e = calls_[0].entries;
    ASSERT_EQ(e.size(), 3u + 64u + 2u) << c.what;
    EXPECT_EQ(e[67].name, "NAME") << c.what;
    EXPECT_EQ(e[67].value, "Anna B") << c.what;
    EXPECT_EQ(e[68].name, "AGE") << c.what;
    EXPECT_EQ(e[68].value, "33") << c.what;
  }
}

TEST_F(RouterTest, OtherMethodsAndEmptyDataGetOnlyTheReservedEntries) {
  const char* requests[] = {
      "get /kqs?A=1 HTTP/1.0\r\n\r\n",
      "HEAD /kqs?A=1 HTTP/1.0\r\n\r\n",
      "PUT /kqs HTTP/1.0\r\n\r\nA=1",
      "post /kqs HTTP/1.0\r\n\r\nA=1",
      "GET /kqs HTTP/1.0\r\n\r\n",
      "GET /kqs? HTTP/1.0\r\n\r\n",
      "POST /kqs HTTP/1.0",
      "POST /kqs HTTP/1.0\r\n\r\n",
  };
  for (const char* request : requests) {
    calls_.clear();
    Serve(request);
    ASSERT_EQ(calls_.size(), 1u) << request;
    ASSERT_EQ(calls_[0].entries.size(), 3u) << request;
    EXPECT_EQ(calls_[0].entries[0].name, "HOST");
    EXPECT_EQ(calls_[0].entries[2].name, "TIME");
  }
}

TEST_F(RouterTest, FieldsNamedLikeTheServersOwnVariablesAreDropped) {
  Settings("[server]\nDEVICEID=Lab3\n");
  struct Case {
    const char* what;
    std::string request;
  };
  const std::string body =
      "HOST=evil&q=1&_PAGEWARN=%3Cimg+src%3Dx+onerror%3Dalert(1)%3E&date=20000101&Time=1&"
      "_pagewarn=x&%5FPageWarn=y&r=2&tIME";
  const Case cases[] = {
      {"GET to the survey engine", "GET /kqs?" + body + " HTTP/1.0\r\n\r\n"},
      {"POST to the survey engine",
       "POST /kqs HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body},
      {"GET to the list viewer", "GET /list?" + body + " HTTP/1.0\r\n\r\n"},
      {"POST without a length", "POST /list.exe HTTP/1.0\r\n\r\n" + body},
  };
  for (const Case& c : cases) {
    calls_.clear();
    Serve(c.request);
    ASSERT_EQ(calls_.size(), 1u) << c.what;
    std::vector<std::string> used;
    for (const VarEntry& e : calls_[0].entries)
      if (e.IsUsed()) used.push_back(*e.name + "=" + e.value.value_or("<none>"));
    ASSERT_EQ(used.size(), 5u) << c.what;
    EXPECT_EQ(used[0], "HOST=Lab3") << c.what;
    EXPECT_TRUE(used[1].starts_with("DATE=") && used[1].size() == 5 + 8) << used[1];
    EXPECT_TRUE(used[2].starts_with("TIME=") && used[2].size() == 5 + 6) << used[2];
    EXPECT_EQ(used[3], "q=1") << c.what;
    EXPECT_EQ(used[4], "r=2") << c.what;
    // Exactly the reserved entries, the free entries and the two kept fields.
    EXPECT_EQ(calls_[0].entries.size(), 3u + 64u + 2u) << c.what;
  }
}

TEST_F(RouterTest, TemplatePagesShowOnlyTheServersOwnValues) {
  Settings("[server]\nDEVICEID=Lab3\n");
  root_.Write("t.html", "[<%= _PAGEWARN %>][<%= HOST %>][<%= DATE %>][<%= Q %>]");
  root_.Write("old.htm", "never run through the templates: [<%= _PAGEWARN %>]");
  std::string date, time;
  FormatDateTime(&date, &time);
  const std::string body = "_PAGEWARN=%3Cscript%3Ex()%3C/script%3E&HOST=evil&DATE=1&Q=5";
  EXPECT_EQ(Body(Serve("GET /t.html?" + body + " HTTP/1.0\r\n\r\n")),
            "[][Lab3][" + date + "][5]");
  EXPECT_EQ(Body(Serve("POST /t.html HTTP/1.0\r\nContent-Length: " + std::to_string(body.size()) +
                       "\r\n\r\n" + body)),
            "[][Lab3][" + date + "][5]");
  EXPECT_TRUE(calls_.empty());
}

TEST_F(RouterTest, RequestsWithTooManyFieldsAreRefusedBeforeRouting) {
  ctx_.limits.max_fields = 3;
  root_.Write("t.html", "page <%= a %>");
  struct Case {
    const char* what;
    std::string request;
    bool refused;
  };
  const Case cases[] = {
      {"GET at the limit", "GET /kqs?a=1&b&c HTTP/1.0\r\n\r\n", false},
      {"GET past the limit", "GET /kqs?a=1&b&c&d HTTP/1.0\r\n\r\n", true},
      {"POST past the limit", "POST /list HTTP/1.0\r\nContent-Length: 7\r\n\r\na&b&c&d", true},
      {"empty and nameless items are no fields", "GET /kqs?a&&b&=1&=2&c&& HTTP/1.0\r\n\r\n", false},
      {"dropped fields count", "GET /kqs?HOST=1&DATE=2&TIME=3&_PAGEWARN=4 HTTP/1.0\r\n\r\n", true},
      {"template pages too", "GET /t.html?a=1&b&c&d HTTP/1.0\r\n\r\n", true},
      {"the query of a POST is not decoded", "POST /kqs?a&b&c&d HTTP/1.0\r\nContent-Length: 1\r\n\r\nx",
       false},
  };
  for (const Case& c : cases) {
    calls_.clear();
    StatusLogAppend("from an earlier request");
    std::string response = Serve(c.request);
    if (c.refused) {
      EXPECT_EQ(response.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << c.what << response;
      EXPECT_NE(response.find("\r\n\r\nThe request has more than 3 fields.\n"), std::string::npos)
          << c.what;
      EXPECT_EQ(StatusLogText(), "\nRefused a request with more than 3 fields.") << c.what;
      EXPECT_TRUE(calls_.empty()) << c.what;
    } else {
      EXPECT_EQ(response.find("413"), std::string::npos) << c.what << response;
      EXPECT_EQ(calls_.size(), 1u) << c.what;
    }
  }
}

TEST_F(RouterTest, TheDeviceNameIsTheHostVariable) {
  Settings("[server]\nDEVICEID=Lab3\n");
  Serve("GET /kqs HTTP/1.0\r\n\r\n");
  ASSERT_EQ(calls_.size(), 1u);
  EXPECT_EQ(calls_[0].entries[0].value, "Lab3");
  EXPECT_FALSE(calls_[0].info.host_header);
}

TEST_F(RouterTest, QuitEndsTheProgramOnlyInPreviewMode) {
  ctx_.mode = ServerMode::kPreview;
  std::string response = Serve("GET /quit HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Body(response), "Exiting.");
  EXPECT_NE(response.find("HTTP/1.1 200 OK\r\n"), std::string::npos);
  EXPECT_EQ(closed_, 1);

  for (ServerMode mode : {ServerMode::kNone, ServerMode::kMenu, ServerMode::kKiosk, ServerMode::kServer}) {
    ctx_.mode = mode;
    EXPECT_EQ(Body(Serve("GET /quit HTTP/1.0\r\n\r\n")).rfind(kMenuStart, 0), 0u);
  }
  root_.Write("quit", "a file named quit");
  EXPECT_EQ(Body(Serve("GET /quit HTTP/1.0\r\n\r\n")), "a file named quit");
  EXPECT_EQ(closed_, 1);
}

TEST_F(RouterTest, TheMenuPageListsTheFormsAfterTheBuiltInEntry) {
  const char* forms[][3] = {{"kqs?database=demo", "Demo survey", "A short demo"},
                            {"kqs?database=Visit", "Visit", "Description"},
                            {"kqs?database=x", "Caf\xC3\xA9", "<b>bold</b>"}};
  for (size_t i = 0; i < 3; ++i) {
    pages_[i + 1] = StartPage{true, forms[i][1], forms[i][2], root_.File("f.ini"), forms[i][0]};
  }
  pages_[5] = StartPage{true, "After a gap", "", "", "kqs?database=gap"};  // not listed
  std::string body = Body(Serve("GET /missing.html HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(body, std::string(kMenuStart) +
                      "&nbsp;<a href=\"kqs?database=demo\">Demo survey</a> A short demo<br>"
                      "&nbsp;<a href=\"kqs?database=Visit\">Visit</a> Description<br>"
                      "&nbsp;<a href=\"kqs?database=x\">Caf\xC3\xA9</a> <b>bold</b><br>");
}

TEST_F(RouterTest, TheErrorSettingNamesAPageOrAsksForAQuitLink) {
  root_.Write("errors/missing.html", "<h1>Not here</h1>");
  TempDir outside;
  outside.Write("secret.txt", "TOPSECRET");
  // Both folders are made side by side in the temporary folder.
  std::string outside_name = outside.path().substr(0, outside.path().size() - 1);
  outside_name = outside_name.substr(outside_name.rfind('/') + 1);
  struct Case {
    const char* what;
    std::string ini;
    ServerMode mode;
    std::string expected_body;
  };
  const std::string menu(kMenuStart);
  const Case cases[] = {
      {"error page", "[server]\nERROR=errors/missing.html\n", ServerMode::kNone, "<h1>Not here</h1>"},
      {"error page with a leading slash", "[server]\nERROR=/errors/missing.html\n", ServerMode::kNone,
       "<h1>Not here</h1>"},
      {"error page that does not open", "[server]\nERROR=nothing.html\n", ServerMode::kNone, menu},
      {"error page outside the root", "[server]\nERROR=../" + outside_name + "/secret.txt\n",
       ServerMode::kNone, menu},
      {"quit in preview", "[server]\nERROR=quit\nMODE=preview\n", ServerMode::kPreview,
       menu + "<P><a href=/quit>Quit</a>"},
      {"quit in another mode", "[server]\nERROR=quit\n", ServerMode::kNone, menu},
      {"Quit is not quit", "[server]\nERROR=Quit\n", ServerMode::kPreview, menu},
      {"no error setting", "[server]\nHOME=index.html\n", ServerMode::kPreview, menu},
  };
  for (const Case& c : cases) {
    Settings(c.ini);
    ctx_.mode = c.mode;
    std::string response = Serve("GET /absent.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(Body(response), c.expected_body) << c.what;
    EXPECT_EQ(response.rfind("HTTP/1.1 404 Not Found\r\n", 0), 0u) << c.what;
  }
}

TEST_F(RouterTest, RefusedPathsAreAnsweredAsMissingAndLogged) {
  StatusLogAppend("from an earlier request");
  std::string body = Body(Serve("GET /../etc/passwd HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(body, kMenuStart);
  EXPECT_EQ(StatusLogText(), "\nRefused a path outside the server root: ../etc/passwd");
  Serve("GET /sub/..\\..\\x\x1b[2J HTTP/1.0\r\n\r\n");
  EXPECT_EQ(StatusLogText(), "\nRefused a path outside the server root: sub/..\\..\\x%1B[2J");
}

TEST(PathStaysInRootTest, RefusesEveryWayOut) {
  struct Case {
    std::string path;
    bool stays;
  };
  const Case cases[] = {
      {"index.html", true},
      {"", true},
      {"sub/dir/page.html", true},
      {"sub\\page.html", true},
      {"..data/x", true},
      {"a../b", true},
      {"...", true},
      {"%2e%2e/secret", true},  // escapes are not decoded: a folder named "%2e%2e"
      {"ab:c", true},
      {"a:b", false},
      {"..", false},
      {"../x", false},
      {"..\\x", false},
      {"sub/../../x", false},
      {"sub/..", false},
      {"sub\\..\\..\\x", false},
      {"sub/..\\x", false},
      {"/etc/passwd", false},
      {"\\etc\\passwd", false},
      {"c:/windows", false},
      {"C:", false},
      {std::string("index.html\0.txt", 15), false},
  };
  for (const Case& c : cases) EXPECT_EQ(PathStaysInRoot(c.path), c.stays) << c.path;
}

TEST(ContentTypeHeaderTest, ChoosesByContainedNameThenExtension) {
  struct Case {
    const char* path;
    const char* header;
  };
  const Case cases[] = {
      {"Images/Logo.GIF", "Content-type: image/gif\n\n"},
      {"photo.jpg", "Content-type: image/jpeg\n\n"},
      {"doc.PDF", "Content-type: application/pdf\n\n"},
      {"a.gif.css", "Content-type: image/gif\n\n"},  // "contains" wins over the extension
      {"x.jpgs", "Content-type: image/jpeg\n\n"},
      {"style.css", "Content-type: text/css\n\n"},
      {"app.JS", "Content-type: text/javascript\n\n"},
      {"pic.png", "Content-type: image/png\n\n"},
      {"photo.jpeg", "Content-type: image/jpeg\n\n"},
      {"icon.svg", "Content-type: image/svg+xml\n\n"},
      {"favicon.ico", "Content-type: image/x-icon\n\n"},
      {"i.webp", "Content-type: image/webp\n\n"},
      {"data.json", "Content-type: application/json\n\n"},
      {"page.htm", "Content-type: text/html; charset=utf-8\n\n"},
      {"font.woff2", "Content-type: font/woff2\n\n"},
      {"notes.txt", "Content-type: text/plain\n\n"},
      {"README", "Content-type: text/plain\n\n"},
      {"dir.css/file", "Content-type: text/plain\n\n"},
      {"file.css.bak", "Content-type: text/plain\n\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(ContentTypeHeader(c.path), c.header) << c.path;
}

}  // namespace
}  // namespace tallypad
