// Requests a hostile client can send to the survey engine, served by the
// real program: fields named like the engine's own warning or the server's
// HOST, DATE and TIME; bodies of thousands of repeated fields; more fields
// than a request may carry; and answers whose body never arrives whole.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <regex>
#include <string>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormFields;
using testing::HttpClient;
using testing::HttpGet;
using testing::HttpPost;
using testing::HttpResponse;
using testing::ServedRoot;
using testing::ServedRootSuite;

using Clock = std::chrono::steady_clock;

constexpr char kDeviceId[] = "kiosk7";
// What a hostile field carries: markup that runs script where it is shown.
constexpr char kScriptMarkup[] = "<img src=x onerror=alert(1)>";

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A page of a multi-page form: its own _PAGE field, a marker naming it,
// the page script's warning as authors show it, and one input.
std::string Page(const std::string& name, const std::string& input) {
  return "<html><body>\n<form>\n<input type=hidden name=_PAGE value=" + name + ">\nPage " + name +
         "\n[<%= _PAGEWARN %>]\n<input name=" + input + ">\n</form></body></html>\n";
}

bool Shows(const HttpResponse& r, const std::string& page) {
  return r.body.find("Page " + page + "\n") != std::string::npos;
}

class HostileRequestsTest : public ServedRootSuite<HostileRequestsTest> {
 protected:
  static void SetUpTestSuite() {
    served_ = std::make_unique<ServedRoot>();
    const auto& root = served_->root();
    root.Write("cgi.ini", std::string("[server]\nDEVICEID=") + kDeviceId + "\n");
    const std::string access = "[access]\nPWDAPPEND=(allow)\n";

    // Two pages; the first page's script warns (with markup of the
    // author's own) about a young respondent.
    root.Write("warn.ini", "[DATABASE]\nMULTIPAGE=1\n" + access);
    root.Write("warn/page0", Page("page0", "age"));
    root.Write("warn/page1", Page("page1", "b"));
    root.Write("warn.val",
               "<PAGE NAME=\"page0\" ACTION=\"kqs\">\n<SCRIPT>\n"
               "if (age = 'young') { _PAGEWARN = '<b>too young</b>'; }\n_PAGENEXT = 'page1';\n"
               "</SCRIPT>\n<PAGE NAME=\"page1\" ACTION=\"kqs\">\n");

    // Single-page forms that save; the second keeps the server's values
    // under _HOST, _DATE and _TIME.
    root.Write("saved.ini", "[DATABASE]\nSAVEDATA=1\nFORM=saved.htm\n" + access);
    root.Write("saved.htm", "<form><input name=q></form>\n");
    root.Write("saved.asc", "HOST\tDATE\tTIME\tq\n");
    root.Write("renamed.ini", "[DATABASE]\nSAVEDATA=1\nLOGDATETIME=0\nFORM=saved.htm\n" + access);
    root.Write("renamed.asc", "HOST\t_HOST\tDATE\t_DATE\tTIME\t_TIME\tq\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static std::string DataFile(const std::string& name) { return served_->root().Read(name); }

  // Posts `body` as it stands (already URL-encoded) to the survey engine.
  static HttpResponse PostBody(const std::string& body) { return HttpPost(port(), "/kqs", body); }
};

TEST_F(HostileRequestsTest, ARequestCannotSetThePageWarning) {
  struct Case {
    const char* what;
    FormFields fields;  // posted; empty for the GET below
    const char* page;   // the page shown
    std::string warning;
  };
  const Case cases[] = {
      {"a posted warning neither shows nor refuses the page",
       {{"DATABASE", "warn"}, {"_PAGE", "page0"}, {"age", "old"}, {"_PAGEWARN", kScriptMarkup},
        {"_ACTION", "NEXT"}},
       "page1", ""},
      {"in any case of its name",
       {{"DATABASE", "warn"}, {"_PAGE", "page0"}, {"age", "old"}, {"_pageWarn", kScriptMarkup},
        {"_ACTION", "NEXT"}},
       "page1", ""},
      {"the script's own warning still shows, markup and all",
       {{"DATABASE", "warn"}, {"_PAGE", "page0"}, {"age", "young"}, {"_PAGEWARN", kScriptMarkup},
        {"_ACTION", "NEXT"}},
       "page0", "<b>too young</b>"},
  };
  for (const Case& c : cases) {
    HttpResponse r = Post(c.fields);
    EXPECT_TRUE(Shows(r, c.page)) << c.what << "\n" << r.body;
    EXPECT_NE(r.body.find("[" + c.warning + "]"), std::string::npos) << c.what << "\n" << r.body;
    EXPECT_EQ(r.body.find("<img"), std::string::npos) << c.what << "\n" << r.body;
  }
  HttpResponse start =
      HttpGet(port(), "/kqs?DATABASE=warn&_PAGEWARN=%3Cimg+src%3Dx+onerror%3Dalert(1)%3E");
  EXPECT_TRUE(Shows(start, "page0")) << start.body;
  EXPECT_NE(start.body.find("[]"), std::string::npos) << start.body;
  EXPECT_EQ(start.body.find("<img"), std::string::npos) << start.body;
}

TEST_F(HostileRequestsTest, PostedHostDateAndTimeAreNotSaved) {
  struct Case {
    const char* database;
    // The record expected: the device, date and time columns as patterns.
    std::string record;
  };
  const std::string host = std::string("\"") + kDeviceId + "\"";
  const Case cases[] = {
      {"saved", host + "\t\"\\d{8}\"\t\"\\d{6}\"\t\"yes\"\t"},
      // The engine renames the server's own values; nothing stays under the old names.
      {"renamed", "\"\"\t" + host + "\t\"\"\t\"\\d{8}\"\t\"\"\t\"\\d{6}\"\t\"yes\"\t"},
  };
  for (const Case& c : cases) {
    HttpResponse r = Post({{"DATABASE", c.database},
                           {"q", "yes"},
                           {"DATE", kScriptMarkup},
                           {"host", "elsewhere"},
                           {"Time", "000000"},
                           {"_ACTION", "SAVE"}});
    EXPECT_NE(r.body.find("Thank you!"), std::string::npos) << c.database << "\n" << r.body;
    const std::string data = DataFile(std::string(c.database) + ".asc");
    EXPECT_TRUE(std::regex_search(data, std::regex("\n" + c.record + "\r\n$"))) << data;
    EXPECT_EQ(data.find("<img"), std::string::npos) << data;
    EXPECT_EQ(data.find("elsewhere"), std::string::npos) << data;
  }
}

// A body of `count` copies of `field` ("name=value"), after `lead` fields.
std::string Repeated(const std::string& lead, const std::string& field, size_t count) {
  std::string body = lead;
  body.reserve(lead.size() + count * (field.size() + 1));
  for (size_t i = 0; i < count; ++i) body += "&" + field;
  return body;
}

TEST_F(HostileRequestsTest, RepeatedFieldsCostTimeInProportionToTheirNumber) {
  // Each name is one the engine clears of every duplicate on the way.
  const char* fields[] = {"_PAGE=page0", "_ACTION=NEXT", "DATABASE=warn"};
  const std::string lead = "DATABASE=warn&_PAGE=page0&age=old&_ACTION=NEXT";
  constexpr size_t kFew = 2'400;
  constexpr size_t kMany = 4 * kFew;  // within the limit of fields with the lead ones
  for (const char* field : fields) {
    const std::string few = Repeated(lead, field, kFew);
    const std::string many = Repeated(lead, field, kMany);
    // The quickest of a few rounds, alternating, so that the machine's
    // other work weighs on both sizes alike.
    double few_s = 1e9, many_s = 1e9;
    for (int round = 0; round < 3; ++round) {
      auto start = Clock::now();
      HttpResponse r = PostBody(few);
      few_s = std::min(few_s, SecondsSince(start));
      ASSERT_TRUE(Shows(r, "page1")) << field << "\n" << r.raw.substr(0, 300);
      start = Clock::now();
      r = PostBody(many);
      many_s = std::min(many_s, SecondsSince(start));
      ASSERT_TRUE(Shows(r, "page1")) << field << "\n" << r.raw.substr(0, 300);
    }
    // Four times the fields: about four times the time when each costs the
    // same, sixteen when each searches the ones before it.
    EXPECT_LT(many_s, 8 * few_s) << field << ": " << few_s << " s, then " << many_s << " s";
  }
}

TEST_F(HostileRequestsTest, APageRepeatedInTheQueueCostsTimeInProportionToItsLength) {
  // One field: the current page listed again and again in the queue of
  // pages still to visit, every copy of which is taken out on NEXT.
  auto queue = [](size_t copies) {
    std::string body = "DATABASE=warn&_PAGE=page1&_ACTION=NEXT&_PAGENEXT=";
    for (size_t i = 0; i < copies; ++i) body += "page1,";
    return body + "page0";
  };
  constexpr size_t kFew = 20'000;
  const std::string few = queue(kFew), many = queue(4 * kFew);
  double few_s = 1e9, many_s = 1e9;
  for (int round = 0; round < 3; ++round) {
    auto start = Clock::now();
    HttpResponse r = PostBody(few);
    few_s = std::min(few_s, SecondsSince(start));
    ASSERT_TRUE(Shows(r, "page0")) << r.raw.substr(0, 300);
    start = Clock::now();
    r = PostBody(many);
    many_s = std::min(many_s, SecondsSince(start));
    ASSERT_TRUE(Shows(r, "page0")) << r.raw.substr(0, 300);
  }
  EXPECT_LT(many_s, 8 * few_s) << few_s << " s, then " << many_s << " s";
}

TEST_F(HostileRequestsTest, AMegabyteOfRepeatedFieldsIsRefusedAtOnce) {
  for (const char* field : {"_PAGE=page0", "_ACTION=NEXT"}) {
    std::string body = Repeated("DATABASE=warn", field, ((1 << 20) - 100) / (std::strlen(field) + 1));
    ASSERT_LE(body.size(), 1u << 20);
    auto start = Clock::now();
    HttpResponse r = PostBody(body);
    EXPECT_LT(SecondsSince(start), 5.0) << field;
    EXPECT_EQ(r.status_line, "HTTP/1.1 413 Payload Too Large") << field;
  }
}

TEST_F(HostileRequestsTest, ARequestMayCarryTenThousandFields) {
  const std::string lead = "DATABASE=warn&_PAGE=page0&age=old&_ACTION=NEXT";  // 4 fields
  HttpResponse served = PostBody(Repeated(lead, "x=1", 10'000 - 4));
  EXPECT_EQ(served.status_line, "HTTP/1.1 200 OK");
  EXPECT_TRUE(Shows(served, "page1")) << served.raw.substr(0, 300);

  // Items without a name are no fields and do not count.
  HttpResponse unnamed = PostBody(Repeated(lead, "x=1", 10'000 - 4) + "&&=2&=3");
  EXPECT_TRUE(Shows(unnamed, "page1")) << unnamed.raw.substr(0, 300);

  HttpResponse refused = PostBody(Repeated(lead, "x=1", 10'000 - 3));
  EXPECT_EQ(refused.status_line, "HTTP/1.1 413 Payload Too Large");
  EXPECT_EQ(refused.body, "The request has more than 10000 fields.\n");
  EXPECT_TRUE(served_->server().WaitForOutput("Refused a request with more than 10000 fields."));

  // The same for a GET query.
  std::string query = Repeated(lead, "x", 10'000 - 3);
  EXPECT_EQ(HttpGet(port(), "/kqs?" + query).status_line, "HTTP/1.1 413 Payload Too Large");
  query.resize(query.size() - 2);
  EXPECT_TRUE(Shows(HttpGet(port(), "/kqs?" + query), "page1"));
}

// Sends a saving form's answer announced as 100 bytes, of which only the
// first 40 come.
void SendPartOfAnAnswer(HttpClient& client) {
  std::string body = "DATABASE=saved&_ACTION=SAVE&q=";
  body.resize(40, 'a');
  ASSERT_TRUE(client.Send("POST /kqs HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n" +
                          body));
}

TEST_F(HostileRequestsTest, AnAnswerCutShortByTheClientIsRefusedAndNotSaved) {
  const std::string before = DataFile("saved.asc");
  HttpClient client;
  ASSERT_TRUE(client.Connect(port()));
  ASSERT_NO_FATAL_FAILURE(SendPartOfAnAnswer(client));
  client.ShutdownWrite();
  HttpResponse r = client.ReadResponse();
  EXPECT_EQ(r.status_line, "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(r.body, "The request ended before its body was complete.\n");
  EXPECT_EQ(DataFile("saved.asc"), before);
  EXPECT_TRUE(
      served_->server().WaitForOutput("Refused a request that ended before its body was complete."));
}

TEST_F(HostileRequestsTest, AnAnswerThatStopsComingTimesOutAndIsNotSaved) {
  const std::string before = DataFile("saved.asc");
  HttpClient client;
  ASSERT_TRUE(client.Connect(port()));
  auto start = Clock::now();
  ASSERT_NO_FATAL_FAILURE(SendPartOfAnAnswer(client));
  // The program's reading time bound of 10 s, then the refusal.
  HttpResponse r = client.ReadResponse(30'000);
  EXPECT_GE(SecondsSince(start), 9.0);
  EXPECT_EQ(r.status_line, "HTTP/1.1 408 Request Timeout");
  EXPECT_EQ(DataFile("saved.asc"), before);
  // The complete answer is saved as ever.
  HttpResponse whole = Post({{"DATABASE", "saved"}, {"q", "whole"}, {"_ACTION", "SAVE"}});
  EXPECT_NE(whole.body.find("Thank you!"), std::string::npos) << whole.body;
  EXPECT_NE(DataFile("saved.asc").find("\"whole\""), std::string::npos);
}

}  // namespace
}  // namespace tallypad
