// Serving a server root with the real program over loopback sockets.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::FreePort;
using testing::HttpClient;
using testing::HttpExchange;
using testing::HttpGet;
using testing::HttpResponse;
using testing::ServerProcess;
using testing::TempDir;

using Files = std::vector<std::pair<std::string, std::string>>;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kDefaultHeaderLine = "Content-type: text/html; charset=utf-8";
constexpr std::string_view kMenuStart =
    "<P>Tallypad Personal Server\r\nCopyright &copy; Velkorn. All rights reserved.\r\n<P>";

// The header block every page answer starts with.
constexpr std::string_view kHeaderBlock =
    "HTTP/1.1 200 OK\r\nclient:close\r\nExpires: 0\r\nCache-control: no-cache\r\nPragma: no-cache\r\n";

// Starts the program on a temporary server root with a temporary registry
// and a free port; stops it with SIGTERM at the end and expects status 0.
class ServingTest : public ::testing::Test {
 protected:
  void Start(const Files& files, std::string root_folder = "") {
    for (const auto& [name, content] : files) root_.Write(name, content);
    ServerProcess::Options options;
    options.server_root = root_.path() + root_folder;
    options.port = FreePort();
    options.registry = registry_.path();
    std::optional<int> port = server_.StartServing(options);
    ASSERT_TRUE(port) << server_.Output() << server_.Errors();
    port_ = *port;
  }

  void TearDown() override {
    if (server_.Running()) {
      EXPECT_EQ(server_.Stop(), 0) << server_.Errors();
    }
  }

  TempDir root_;
  TempDir registry_;
  ServerProcess server_;
  int port_ = 0;
};

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(ServingTest, TheRoutingTableReachesTheEnginesAndTheFiles) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\nHOME=index.html\n"},
                                 {"index.html", "<p>home</p>"},
                                 {"kqs", "a file named kqs"},
                                 {"list.txt", "a list"}}));
  struct Case {
    const char* path;
    std::string body;  // the start of the body for the survey engine's paths
    bool whole;
  };
  // The survey engine answers a request without a known form with its chooser page.
  const std::string chooser = "<head><title>Tallypad CGI</title></head>\n";
  const Case cases[] = {
      {"/kqs", chooser, false},
      {"/kqs.exe", chooser, false},
      {"/kqs.cgi", chooser, false},
      {"/kqs.dll", chooser, false},
      {"/kqs?DATABASE=demo", chooser, false},
      {"/index.html", "<p>home</p>", true},
      {"/list.txt", "a list", true},
      {"/kqs.txt", std::string(kMenuStart), true},
  };
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port_, c.path);
    EXPECT_TRUE(r.closed) << c.path;
    // kqs.txt is no route and no file.
    EXPECT_EQ(r.status_line,
              std::string(c.path) == "/kqs.txt" ? "HTTP/1.1 404 Not Found" : "HTTP/1.1 200 OK")
        << c.path;
    if (c.whole) {
      EXPECT_EQ(r.body, c.body) << c.path;
    } else {
      EXPECT_EQ(r.body.rfind(c.body, 0), 0u) << c.path << "\n" << r.body;
    }
  }
  // The list viewer answers a request without a database with its option page.
  for (const char* path : {"/list", "/list.exe", "/list.cgi", "/list.dll"}) {
    HttpResponse r = HttpGet(port_, path);
    EXPECT_EQ(r.status_line, "HTTP/1.1 200 OK") << path;
    EXPECT_EQ(r.body.rfind("<HTML>\n<HEAD>\n", 0), 0u) << path << r.body;
    EXPECT_NE(r.body.find("<input name=\"DATABASE\" VALUE=\"\">"), std::string::npos) << path;
  }
  HttpResponse page = HttpGet(port_, "/kqs");
  const std::string start =
      std::string(kHeaderBlock) + std::string(kDefaultHeaderLine) + "\n\n" + chooser;
  EXPECT_EQ(page.raw.rfind(start, 0), 0u) << page.raw;
}

struct HomeCase {
  const char* what;
  Files files;
  std::string expected_body;
};

TEST_F(ServingTest, ShortPathsServeTheHomePage) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\nMODE=none\n"},
                                 {"index.html", "<p>index</p>"}}));
  const char* requests[] = {
      "GET / HTTP/1.0\r\n\r\n",
      "GET x HTTP/1.0\r\n\r\n",   // any one character
      "GET  HTTP/1.0\r\n\r\n",    // empty path
      "GET\r\n\r\n",              // no path at all
  };
  for (const char* request : requests) {
    HttpClient client;
    ASSERT_TRUE(client.Connect(port_));
    client.Send(request);
    client.ShutdownWrite();
    HttpResponse r = client.ReadResponse();
    EXPECT_EQ(r.body, "<p>index</p>") << request;
    EXPECT_EQ(r.Header("Content-type"), "text/html; charset=utf-8") << request;
  }
}

TEST_F(ServingTest, AClientThatSendsNothingGetsNothing) {
  ASSERT_NO_FATAL_FAILURE(Start({{"index.html", "<p>index</p>"}}));
  // Silence, then the client closes: no request was made, none is answered.
  HttpClient client;
  ASSERT_TRUE(client.Connect(port_));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  client.ShutdownWrite();
  HttpResponse r = client.ReadResponse(5000);
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.raw, "");
}

TEST_F(ServingTest, TheHomeSettingNamesTheHomePage) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\nHOME=start.html\n"},
                                 {"index.html", "<p>index</p>"},
                                 {"start.html", "<p>start</p>"}}));
  EXPECT_EQ(HttpGet(port_, "/").body, "<p>start</p>");
  EXPECT_EQ(HttpGet(port_, "/index.html").body, "<p>index</p>");
}

TEST_F(ServingTest, WithoutServerSettingsTheRootShowsTheMenuPage) {
  const HomeCase cases[] = {
      {"no cgi.ini", {{"index.html", "<p>index</p>"}}, std::string(kMenuStart)},
      {"empty section", {{"cgi.ini", "[server]\n"}, {"index.html", "<p>index</p>"}}, std::string(kMenuStart)},
      {"other section", {{"cgi.ini", "[other]\nHOME=x\n"}, {"index.html", "<p>index</p>"}},
       std::string(kMenuStart)},
  };
  for (const HomeCase& c : cases) {
    TempDir root;
    for (const auto& [name, content] : c.files) root.Write(name, content);
    ServerProcess server;
    ServerProcess::Options options;
    options.server_root = root.path();
    options.port = FreePort();
    options.registry = registry_.path();
    std::optional<int> port = server.StartServing(options);
    ASSERT_TRUE(port) << c.what << server.Errors();
    EXPECT_EQ(HttpGet(*port, "/").body, c.expected_body) << c.what;
    EXPECT_EQ(HttpGet(*port, "/index.html").body, "<p>index</p>") << c.what;
    EXPECT_EQ(server.Stop(), 0) << c.what;
  }
}

TEST_F(ServingTest, FilesGoOutWithTheirContentTypes) {
  const std::string png("\x89PNG\r\n\x1a\n\0\0\0\rIHDR", 16);
  struct Case {
    const char* name;
    std::string content;
    const char* type;
    std::optional<std::string> body = std::nullopt;  // the body when it differs from the content
  };
  const Case cases[] = {
      {"Images/Logo.GIF", "GIF89a", "image/gif"},
      {"photo.jpg", "\xff\xd8\xff", "image/jpeg"},
      {"doc.pdf", "%PDF-1.4", "application/pdf"},
      {"notes.txt", "plain notes\n", "text/plain"},
      {"README", "no extension", "text/plain"},
      {"style.css", "body{}", "text/css"},
      {"app.js", "let a=1;", "text/javascript"},
      {"pic.png", png, "image/png"},
      {"photo.jpeg", "\xff\xd8", "image/jpeg"},
      {"icon.svg", "<svg/>", "image/svg+xml"},
      {"favicon.ico", std::string("\0\0\1\0", 4), "image/x-icon"},
      {"i.webp", "RIFF", "image/webp"},
      {"data.json", "{}", "application/json"},
      {"page.htm", "<p>htm</p>", "text/html; charset=utf-8"},
      {"font.woff2", "wOF2", "font/woff2"},
      {"page.html", "<p><%= nosuch %>[<%if nosuch = '' %>templated<%end%>]</p>", "text/html; charset=utf-8",
       "<p>[templated]</p>"},
      {"a.html.pdf", "<p>template</p>", "text/html; charset=utf-8"},
  };
  Files files;
  for (const Case& c : cases) files.emplace_back(c.name, c.content);
  ASSERT_NO_FATAL_FAILURE(Start(files));
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port_, std::string("/") + c.name);
    EXPECT_EQ(r.Header("Content-type"), c.type) << c.name;
    EXPECT_EQ(r.body, c.body.value_or(c.content)) << c.name;
  }
}

TEST_F(ServingTest, TemplatePagesSeeTheRequestVariables) {
  ASSERT_NO_FATAL_FAILURE(Start({{"t.html", "Q=<%= Q %>;<%if Q == 5 %>five<%else%>other<%end%>;"
                                            "<% x = Q * 2; %>x=<%= x %>;<%include part.htm %>"},
                                 {"part.htm", "[<%= Q %>]"}}));
  EXPECT_EQ(HttpGet(port_, "/t.html?Q=5").body, "Q=5;five;x=10;[5]");
  EXPECT_EQ(HttpExchange(port_, "POST /t.html HTTP/1.0\r\nContent-Length: 3\r\n\r\nQ=7").body,
            "Q=7;other;x=14;[7]");
}

TEST_F(ServingTest, AFormsSettingsAndAnswersAreNeverSent) {
  ASSERT_NO_FATAL_FAILURE(Start({{"survey.ini", "[DATABASE]\nSAVEDATANAME=answers.txt\nREPORT2=results.html\n"
                                                "[access]\nPWDREAD=secret\n"},
                                 {"answers.txt", "Q1\nprivate answer\n"},
                                 {"results.html", "<%report answers.txt %>{Q1}</report>"},
                                 {"public.txt", "public"}}));
  for (const char* path : {"/survey.ini", "/answers.txt", "/results.html", "/SURVEY.INI"}) {
    HttpResponse r = HttpGet(port_, path);
    EXPECT_EQ(r.body.find("secret"), std::string::npos) << path;
    EXPECT_EQ(r.body.find("private answer"), std::string::npos) << path;
    EXPECT_NE(r.body.find("Tallypad Personal Server"), std::string::npos) << path;
  }
  EXPECT_EQ(HttpGet(port_, "/public.txt").body, "public");
}

TEST_F(ServingTest, APostBodyInASecondPacketIsWaitedFor) {
  ASSERT_NO_FATAL_FAILURE(Start({{"page.txt", "the page"}}));
  HttpClient client;
  ASSERT_TRUE(client.Connect(port_));
  client.Send("POST /page.txt?ignored=1 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 9\r\n\r\n");
  // The request is not complete yet: no answer may come.
  EXPECT_FALSE(client.Readable(300));
  client.Send("NAME=Anna");
  auto start = Clock::now();
  HttpResponse r = client.ReadResponse();
  EXPECT_LT(SecondsSince(start), 0.8);  // no silent waits: the body completed the request
  EXPECT_TRUE(r.closed);
  EXPECT_EQ(r.body, "the page");
}

TEST_F(ServingTest, LowerCaseGetIsServedWithoutItsQuery) {
  ASSERT_NO_FATAL_FAILURE(Start({{"index.html", "<p>index</p>"}}));
  EXPECT_EQ(HttpExchange(port_, "get /index.html?A=1 HTTP/1.0\r\n\r\n").body, "<p>index</p>");
}

TEST_F(ServingTest, AMissingFileShowsTheMenuPageWithStatus404) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\n"}, {"forms.ini", "[DATABASE]\n"}}));
  struct Case {
    const char* path;
    const char* status;
  } cases[] = {
      {"/missing.html", "HTTP/1.1 404 Not Found"},
      {"/sub/missing.css", "HTTP/1.1 404 Not Found"},
      {"/forms.ini", "HTTP/1.1 404 Not Found"},  // a form's private file is answered as missing
      {"/../outside", "HTTP/1.1 404 Not Found"},
      // The home page, when it is missing, is the menu page: nothing is missing.
      {"/", "HTTP/1.1 200 OK"},
      {"/?x=1", "HTTP/1.1 200 OK"},
  };
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port_, c.path);
    EXPECT_EQ(r.status_line, c.status) << c.path;
    EXPECT_EQ(r.body.rfind(kMenuStart, 0), 0u) << c.path << "\n" << r.body;
  }
}

// A pipe or a link to a device in the server root is no file to send:
// opening the pipe would wait for a writer and the device would never end,
// either way holding the one server thread.
TEST_F(ServingTest, OnlyRegularFilesAreServed) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\n"}}));
  ASSERT_EQ(mkfifo(root_.File("pipe.html").c_str(), 0644), 0);
  ASSERT_EQ(symlink("/dev/zero", root_.File("zero.txt").c_str()), 0);
  for (const char* path : {"/pipe.html", "/zero.txt"}) {
    auto start = Clock::now();
    HttpResponse r = HttpGet(port_, path);
    EXPECT_EQ(r.body, kMenuStart) << path;
    EXPECT_LT(SecondsSince(start), 5.0) << path;
  }
}

TEST_F(ServingTest, QuitEndsThePreviewModeProgram) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\nMODE=Preview\nERROR=quit\n"}}));
  EXPECT_EQ(HttpGet(port_, "/missing").body,
            std::string(kMenuStart) + "<P><a href=/quit>Quit</a>");
  HttpResponse r = HttpGet(port_, "/quit");
  EXPECT_EQ(r.body, "Exiting.");
  EXPECT_EQ(server_.WaitExit(), 0) << server_.Errors();
}

TEST_F(ServingTest, QuitIsAFileNameInOtherModes) {
  ASSERT_NO_FATAL_FAILURE(Start({{"cgi.ini", "[server]\nMODE=kiosk\nERROR=quit\n"}}));
  EXPECT_EQ(HttpGet(port_, "/quit").body, kMenuStart);
  root_.Write("quit", "a file named quit");
  EXPECT_EQ(HttpGet(port_, "/quit").body, "a file named quit");
  EXPECT_TRUE(server_.Running());
}

TEST_F(ServingTest, NoPathLeavesTheServerRoot) {
  root_.Write("secret.txt", "TOPSECRET");
  ASSERT_NO_FATAL_FAILURE(Start({{"site/index.html", "<p>index</p>"},
                                 {"site/sub/page.txt", "sub page"},
                                 {"site/cgi.ini", "[server]\n"}},
                                "site/"));
  const std::string absolute = root_.File("secret.txt");
  struct Case {
    std::string path;
    bool logged;  // refused by the containment rule (others simply name no file)
  };
  const Case cases[] = {
      {"/../secret.txt", true},
      {"/..\\secret.txt", true},
      {"/sub/../../secret.txt", true},
      {"/sub/..\\..\\secret.txt", true},
      {"/sub\\..\\..\\secret.txt", true},
      {"/./../secret.txt", true},
      {"/../site/../secret.txt", true},
      {"/../secret.txt?x=1", true},
      {"/" + absolute, true},
      {"/\\" + absolute.substr(1), true},
      {"//" + absolute.substr(1), true},
      {"/c:/../secret.txt", true},
      {"/..", true},
      {"/sub/..", true},
      {std::string("/sub/page.txt\0/../../secret.txt", 31), true},
      {"/%2e%2e/secret.txt", false},
      {"/..%2fsecret.txt", false},
      {"/%2E%2E%5Csecret.txt", false},
      {"/..../secret.txt", false},
  };
  for (const Case& c : cases) {
    HttpResponse r = HttpGet(port_, c.path);
    EXPECT_TRUE(r.closed) << c.path;
    EXPECT_EQ(r.raw.find("TOPSECRET"), std::string::npos) << c.path;
    EXPECT_EQ(r.body, kMenuStart) << c.path;
  }
  EXPECT_EQ(HttpGet(port_, "/sub/page.txt").body, "sub page");
  // Any ".." component is refused, even one that would come back inside.
  EXPECT_EQ(HttpGet(port_, "/sub/../sub/page.txt").body, kMenuStart);
  server_.Stop();
  std::string output = server_.Output();
  EXPECT_NE(output.find("Refused a path outside the server root: ../secret.txt\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("Refused a path outside the server root: sub/page.txt%00/../../secret.txt\n"),
            std::string::npos)
      << output;
}

TEST_F(ServingTest, AKeepAliveClientIsAnsweredAtOnce) {
  ASSERT_NO_FATAL_FAILURE(Start({{"page.txt", std::string(1024, 'k')}}));
  for (int i = 0; i < 3; ++i) {
    HttpClient client;
    ASSERT_TRUE(client.Connect(port_));
    auto start = Clock::now();
    client.Send("GET /page.txt HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
    HttpResponse r = client.ReadResponse();
    // Far below the two silent waits (over a second) that a reader waiting
    // for the client would spend.
    EXPECT_LT(SecondsSince(start), 0.8);
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.body, std::string(1024, 'k'));
  }
}

TEST_F(ServingTest, AClientThatSendsNothingDelaysTheNextOneOnlyBriefly) {
  ASSERT_NO_FATAL_FAILURE(Start({{"index.html", "<p>index</p>"}, {"cgi.ini", "[server]\n"}}));
  HttpClient idle;
  ASSERT_TRUE(idle.Connect(port_));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it be accepted first
  auto start = Clock::now();
  HttpResponse r = HttpGet(port_, "/index.html");
  EXPECT_EQ(r.body, "<p>index</p>");
  EXPECT_LT(SecondsSince(start), 5.0);
  // The silent client's empty request was answered as one for the home page.
  HttpResponse idle_response = idle.ReadResponse();
  EXPECT_TRUE(idle_response.closed);
}

TEST_F(ServingTest, AnEndlessHeaderIsRefusedAndTheServerGoesOn) {
  ASSERT_NO_FATAL_FAILURE(Start({{"index.html", "<p>index</p>"}}));
  HttpClient endless;
  ASSERT_TRUE(endless.Connect(port_));
  std::thread sender([&] {
    endless.Send("GET /index.html HTTP/1.1\r\nX-Endless: " + std::string((1 << 20) + 65536, 'x'));
  });
  HttpResponse refused = endless.ReadResponse();
  sender.join();
  EXPECT_EQ(refused.status_line, "HTTP/1.1 413 Payload Too Large");
  EXPECT_EQ(HttpGet(port_, "/index.html").body, "<p>index</p>");
  EXPECT_TRUE(server_.WaitForOutput("Refused a request larger than 1048576 bytes."));
}

TEST_F(ServingTest, AClientLeavingMidResponseDoesNotStopTheServer) {
  std::string big(4 << 20, 'b');
  ASSERT_NO_FATAL_FAILURE(Start({{"big.txt", big}, {"index.html", "<p>index</p>"}}));
  for (int i = 0; i < 3; ++i) {
    HttpClient leaving;
    ASSERT_TRUE(leaving.Connect(port_));
    leaving.Send("GET /big.txt HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(leaving.Readable(5000));
    leaving.Close();  // with unread data: the server's sends fail
  }
  auto start = Clock::now();
  EXPECT_EQ(HttpGet(port_, "/index.html").body, "<p>index</p>");
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_EQ(HttpGet(port_, "/big.txt").body.size(), big.size());
}

}  // namespace
}  // namespace tallypad
