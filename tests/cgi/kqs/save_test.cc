#include "cgi/kqs/save.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "base/status_log.h"
#include "base/strbuf.h"
#include "store/response_counter.h"
#include "support/file_size_limit.h"
#include "support/outbox_mail.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;
using testing::WithFileSizeLimit;

constexpr std::string_view kDatabase = "survey";
constexpr std::string_view kOkHead =
    "HTTP/1.1 200 OK\r\nclient:close\r\nExpires: 0\r\nCache-control: no-cache\r\n"
    "Pragma: no-cache\r\nContent-type: text/html; charset=utf-8\n\n";
constexpr std::string_view kRedirectHead =
    "HTTP/1.1 302 Found\r\nclient:close\r\nExpires: 0\r\nCache-control: no-cache\r\n"
    "Pragma: no-cache\r\n";

VarTablePtr Table(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

// Request variables as the router makes them: HOST, DATE and TIME first.
VarTablePtr Request(const std::vector<std::string>& fields) {
  std::vector<std::string> pairs = {"HOST=10.0.0.5", "DATE=20240102", "TIME=101112"};
  pairs.insert(pairs.end(), fields.begin(), fields.end());
  auto vars = VarTableFromPairs(pairs, 0);
  VarTableExtend(vars.get(), 8);
  return vars;
}

class SaveTest : public ::testing::Test {
 protected:
  void SetUp() override { StatusLogReset(); }
  void TearDown() override { StatusLogReset(); }

  ResultCode Save(const std::vector<std::string>& settings, VarTable* vars,
                  bool may_have_record = false) {
    auto s = Table(settings);
    return SaveResponse(root_.path(), kDatabase, vars, s.get(), may_have_record);
  }

  TempDir root_;
};

constexpr std::string_view kDataHeader = "#_SESSION\tHOST\tQ1\tQ2\t\r\n";
constexpr std::string_view kIndexHeader = "#_SESSION\t_POS\n";
const std::vector<std::string> kAllFiles = {"SAVEDATA=1",         "SAVEDATANAME=data/d.asc",
                                            "SAVEINDEXNAME=data/d.idx", "SAVEXML=1",
                                            "SAVEXMLNAME=data/d.xml"};

TEST_F(SaveTest, WritesDataFileIndexAndXml) {
  root_.Write("data/d.asc", kDataHeader);
  root_.Write("data/d.idx", kIndexHeader);
  root_.Write("data/d.xml", "");
  auto first = Request({"_SESSION=s1", "Q1=yes", "Q2=say \"hi\"", "OTHER=x"});
  ASSERT_EQ(Save(kAllFiles, first.get()), ResultCode::kOk);
  const std::string record1 = "\"s1\"\t\"10.0.0.5\"\t\"yes\"\t\"say \"\"hi\"\"\"\t\r\n";
  const std::string xml1 =
      "<TRANSACTION><HOST>10.0.0.5</HOST>\r\n<DATE>20240102</DATE>\r\n<TIME>101112</TIME>\r\n"
      "<Q1>yes</Q1>\r\n<Q2>say \"hi\"</Q2>\r\n<OTHER>x</OTHER>\r\n</TRANSACTION>\r\n";
  EXPECT_EQ(root_.Read("data/d.asc"), std::string(kDataHeader) + record1);
  EXPECT_EQ(root_.Read("data/d.idx"),
            std::string(kIndexHeader) + "\"s1\"\t" + std::to_string(kDataHeader.size()) + "\n");
  EXPECT_EQ(root_.Read("data/d.xml"), xml1);

  // The session saves again: its earlier record is marked superseded.
  auto second = Request({"_SESSION=s1", "Q1=no"});
  ASSERT_EQ(Save(kAllFiles, second.get()), ResultCode::kOk);
  const std::string record2 = "\"s1\"\t\"10.0.0.5\"\t\"no\"\t\"\"\t\r\n";
  EXPECT_EQ(root_.Read("data/d.asc"), std::string(kDataHeader) + "#" + record1.substr(1) + record2);
  EXPECT_EQ(root_.Read("data/d.idx"),
            std::string(kIndexHeader) + "\"s1\"\t" + std::to_string(kDataHeader.size()) + "\n" +
                "\"s1\"\t" + std::to_string(kDataHeader.size() + record1.size()) + "\n");
  EXPECT_EQ(root_.Read("data/d.xml"),
            xml1 +
                "<TRANSACTION><HOST>10.0.0.5</HOST>\r\n<DATE>20240102</DATE>\r\n"
                "<TIME>101112</TIME>\r\n<Q1>no</Q1>\r\n</TRANSACTION>\r\n");
  EXPECT_EQ(StatusLogText(), "");
}

TEST_F(SaveTest, DataFileNamedAfterTheDatabaseWhenNotSet) {
  root_.Write("survey.asc", "#Q1\t\r\n");
  auto vars = Request({"Q1=yes"});
  ASSERT_EQ(Save({"SAVEDATA=1"}, vars.get()), ResultCode::kOk);
  EXPECT_EQ(root_.Read("survey.asc"), "#Q1\t\r\n\"yes\"\t\r\n");
}

TEST_F(SaveTest, NothingIsWrittenWhenTheSettingsAskForNothing) {
  root_.Write("data/d.asc", kDataHeader);
  root_.Write("data/d.xml", "");
  auto vars = Request({"Q1=yes"});
  // The names alone do not switch saving on.
  ASSERT_EQ(Save({"SAVEDATANAME=data/d.asc", "SAVEXMLNAME=data/d.xml", "SAVEDATA=0"}, vars.get()),
            ResultCode::kOk);
  EXPECT_EQ(root_.Read("data/d.asc"), kDataHeader);
  EXPECT_EQ(root_.Read("data/d.xml"), "");
  EXPECT_FALSE(FileExists(ResponseCounterPath(root_.path())));
}

TEST_F(SaveTest, LogDateTimeZeroKeepsHostDateAndTimeOut) {
  root_.Write("d.asc", "#HOST\tDATE\tTIME\tQ1\t\r\n");
  root_.Write("d.xml", "");
  auto vars = Request({"Q1=yes"});
  ASSERT_EQ(Save({"LOGDATETIME=0", "SAVEDATA=1", "SAVEDATANAME=d.asc", "SAVEXML=1",
                  "SAVEXMLNAME=d.xml"},
                 vars.get()),
            ResultCode::kOk);
  EXPECT_EQ(root_.Read("d.asc"), "#HOST\tDATE\tTIME\tQ1\t\r\n\"\"\t\"\"\t\"\"\t\"yes\"\t\r\n");
  EXPECT_EQ(root_.Read("d.xml"), "<TRANSACTION><Q1>yes</Q1>\r\n</TRANSACTION>\r\n");
  EXPECT_EQ(VarTableGet(vars.get(), "_HOST"), "10.0.0.5");
  EXPECT_EQ(VarTableGet(vars.get(), "_DATE"), "20240102");
  EXPECT_EQ(VarTableGet(vars.get(), "_TIME"), "101112");
  EXPECT_EQ(VarTableFind(vars.get(), "HOST"), nullptr);

  // LOGDATETIME 1 (the default) keeps them.
  auto kept = Request({"Q1=no"});
  ASSERT_EQ(Save({"LOGDATETIME=1", "SAVEDATA=1", "SAVEDATANAME=d.asc"}, kept.get()),
            ResultCode::kOk);
  EXPECT_NE(root_.Read("d.asc").find("\"10.0.0.5\"\t\"20240102\"\t\"101112\"\t\"no\"\t\r\n"),
            std::string::npos);
}

// The outbox's mails as DescribeQueuedMails shows them, for one mail of the
// save step.
std::string OutboxRecord(const std::string& server, const std::string& recipient,
                         const std::string& body) {
  return "OPEN " + server + ":25\nFROM " + recipient + "\nTO " + recipient +
         "\nSubject: Tallypad form submission report\n" + body + "--\n";
}

// The mails of the outbox in `root`, as DescribeQueuedMails shows them.
std::string QueuedMails(const testing::TempDir& root) {
  return testing::DescribeQueuedMails(root.Read("outbox.kqs"));
}

TEST_F(SaveTest, MailWithoutServerEndsTheSaveBeforeTheDataFile) {
  root_.Write("d.asc", "#Q1\t\r\n");
  root_.Write("s.ini", "[COUNT]\nQ1=0\n");
  root_.Write("d.xml", "");
  auto vars = Request({"Q1=yes"});
  EXPECT_EQ(Save({"MAXRESPONSES=10", "SAVEEMAIL=1", "SAVEEMAILNAME=owner@example.org",
                  "SAVESTAT=1", "SAVESTATNAME=s.ini", "SAVEDATA=1", "SAVEDATANAME=d.asc",
                  "SAVEXML=1", "SAVEXMLNAME=d.xml"},
                 vars.get()),
            ResultCode::kNoMailServer);
  EXPECT_EQ(root_.Read("d.asc"), "#Q1\t\r\n");
  EXPECT_EQ(root_.Read("s.ini"), "[COUNT]\nQ1=0\n");
  EXPECT_EQ(root_.Read("d.xml"), "");
  EXPECT_FALSE(FileExists(root_.File("outbox.kqs")));
  // The counter, raised first, keeps the attempt.
  EXPECT_EQ(ResponseCountRead(root_.path(), kDatabase), 1);
}

TEST_F(SaveTest, MailIsQueuedOnceWithThePlainListing) {
  root_.Write("d.asc", "#Q1\t\r\n");
  auto vars = Request({"_SESSION=s9", "Q1=yes", "Q2=", "Comment=two words"});
  ASSERT_EQ(Save({"SAVEEMAIL=1", "SAVEEMAILNAME=owner@example.org",
                  "EMAILSERVER=mail.example.org", "SAVEDATA=1", "SAVEDATANAME=d.asc"},
                 vars.get()),
            ResultCode::kOk);
  EXPECT_EQ(QueuedMails(root_),
            OutboxRecord("mail.example.org", "owner@example.org",
                         "Tallypad web data from: 10.0.0.5\r\nX-DATABASE: survey\r\n"
                         "HOST: 10.0.0.5\r\nDATE: 20240102\r\nTIME: 101112\r\nQ1: yes\r\nQ2: \r\n"
                         "Comment: two words\r\n"));
  EXPECT_EQ(root_.Read("d.asc"), "#Q1\t\r\n\"yes\"\t\r\n");
}

TEST_F(SaveTest, MailListingLeavesOutRenamedHostDateAndTime) {
  auto vars = Request({"Q1=yes"});
  ASSERT_EQ(Save({"LOGDATETIME=0", "SAVEEMAIL=1", "SAVEEMAILNAME=a@b", "EMAILSERVER=mx"},
                 vars.get()),
            ResultCode::kOk);
  EXPECT_EQ(QueuedMails(root_),
            OutboxRecord("mx", "a@b", "Tallypad web data from: \r\nX-DATABASE: survey\r\nQ1: yes\r\n"));
}

TEST_F(SaveTest, MailBodyFromTheReportTemplate) {
  root_.Write("mail/report.txt", "Answer: <%= Q1 %>\nFrom <%= HOST %>\n");
  auto vars = Request({"Q1=yes"});
  ASSERT_EQ(Save({"SAVEEMAIL=1", "SAVEEMAILNAME=a@b", "EMAILSERVER=mx",
                  "EMAILREPORT=mail/report.txt"},
                 vars.get()),
            ResultCode::kOk);
  EXPECT_EQ(QueuedMails(root_), OutboxRecord("mx", "a@b", "Answer: yes\r\nFrom 10.0.0.5\r\n"));

  // A report that cannot be opened gives the plain listing.
  std::remove(root_.File("outbox.kqs").c_str());
  auto again = Request({"Q1=no"});
  ASSERT_EQ(Save({"SAVEEMAIL=1", "SAVEEMAILNAME=a@b", "EMAILSERVER=mx",
                  "EMAILREPORT=mail/missing.txt"},
                 again.get()),
            ResultCode::kOk);
  EXPECT_EQ(QueuedMails(root_),
            OutboxRecord("mx", "a@b",
                         "Tallypad web data from: 10.0.0.5\r\nX-DATABASE: survey\r\n"
                         "HOST: 10.0.0.5\r\nDATE: 20240102\r\nTIME: 101112\r\nQ1: no\r\n"));
}

TEST_F(SaveTest, MailThatCannotBeQueuedGives67) {
  // The outbox's name is taken by a folder.
  root_.Write("outbox.kqs/x", "");
  root_.Write("d.asc", "#Q1\t\r\n");
  auto vars = Request({"Q1=yes"});
  EXPECT_EQ(Save({"SAVEEMAIL=1", "SAVEEMAILNAME=a@b", "EMAILSERVER=mx", "SAVEDATA=1",
                  "SAVEDATANAME=d.asc"},
                 vars.get()),
            ResultCode::kOutboxNotWritten);
  EXPECT_EQ(root_.Read("d.asc"), "#Q1\t\r\n");
}

TEST_F(SaveTest, DataFileFailuresGiveTheirCodeAndLogLine) {
  struct Case {
    const char* name;
    const char* content;  // null: no data file
    bool limit_size;
    ResultCode expected;
  } cases[] = {
      {"missing data file", nullptr, false, ResultCode::kFormFileMissing},
      {"data file without header", "", false, ResultCode::kFormFileMissing},
      {"header without line end", "#Q1\t", false, ResultCode::kFormFileMissing},
      {"data file that cannot take the record", "#Q1\t\r\n", true,
       ResultCode::kAnswersNotWritten},
  };
  for (const Case& c : cases) {
    TempDir root;
    StatusLogReset();
    std::string path = root.File("d.asc");
    if (c.content) root.Write("d.asc", c.content);
    root.Write("d.xml", "");
    auto settings = Table({"MAXRESPONSES=3", "SAVEDATA=1", "SAVEDATANAME=d.asc", "SAVEXML=1",
                           "SAVEXMLNAME=d.xml"});
    auto vars = Request({"Q1=" + std::string(400, 'y')});
    std::optional<ResultCode> rc;
    if (c.limit_size) {
      WithFileSizeLimit(100, [&] {
        rc = SaveResponse(root.path(), kDatabase, vars.get(), settings.get(), false);
      });
    } else {
      rc = SaveResponse(root.path(), kDatabase, vars.get(), settings.get(), false);
    }
    EXPECT_EQ(rc, c.expected) << c.name;
    EXPECT_EQ(StatusLogText(), c.expected == ResultCode::kFormFileMissing
                                   ? "\nkqs: The data file d.asc (SAVEDATANAME in survey.ini) "
                                     "does not exist or has no header line, so the answers were "
                                     "not saved: create it with its header line (the column "
                                     "names, separated by tabs)."
                                   : "\nkqs: The data file d.asc (SAVEDATANAME in survey.ini) "
                                     "cannot be written, so the answers were not saved: let the "
                                     "server write to it, and check that the disk is not full.")
        << c.name;
    EXPECT_EQ(root.Read("d.asc"), c.content ? c.content : "") << c.name;
    EXPECT_FALSE(c.content == nullptr && FileExists(path)) << c.name;
    EXPECT_EQ(root.Read("d.xml"), "") << c.name;
    EXPECT_EQ(ResponseCountRead(root.path(), kDatabase), 1) << c.name;
  }
}

TEST_F(SaveTest, MissingXmlFileGives6AndIsNotCreated) {
  root_.Write("d.asc", "#Q1\t\r\n");
  auto vars = Request({"Q1=yes"});
  EXPECT_EQ(Save({"SAVEDATA=1", "SAVEDATANAME=d.asc", "SAVEXML=1", "SAVEXMLNAME=d.xml"},
                 vars.get()),
            ResultCode::kAnswersNotWritten);
  EXPECT_FALSE(FileExists(root_.File("d.xml")));
  EXPECT_EQ(StatusLogText(),
            "\nkqs: The XML file d.xml (SAVEXMLNAME in survey.ini) does not exist or cannot be "
            "written, so the answers were not completely saved: create it (it may be empty) and "
            "let the server write to it.");
  // The data file, written before, keeps the record.
  EXPECT_EQ(root_.Read("d.asc"), "#Q1\t\r\n\"yes\"\t\r\n");

  StatusLogReset();
  auto unnamed = Request({"Q1=no"});
  EXPECT_EQ(Save({"SAVEXML=1"}, unnamed.get()), ResultCode::kAnswersNotWritten);
  EXPECT_EQ(StatusLogText(), "\nkqs: survey.ini sets SAVEXML=1 but names no XML file in "
                             "SAVEXMLNAME, so the answers were not completely saved.");
}

TEST_F(SaveTest, StatisticsFollowTheCountingRules) {
  root_.Write("s.ini",
              "[COUNT]\nQ1_3=0\nQ1_1=0\nQ2=0\nQ3=0\n[SUM]\nAGE=0.000000\n");
  auto a = Request({"Q1=1,3", "Q2_a=", "Q2_b=x", "AGE=30", "Q4=new"});
  auto b = Request({"Q1=13", "Q2_a=", "AGE=12.5"});
  ASSERT_EQ(Save({"SAVESTAT=1", "SAVESTATNAME=s.ini"}, a.get()), ResultCode::kOk);
  ASSERT_EQ(Save({"SAVESTAT=1", "SAVESTATNAME=s.ini"}, b.get()), ResultCode::kOk);
  // Keys that do not exist (Q4) are not created.
  EXPECT_EQ(root_.Read("s.ini"), "[COUNT]\nQ1_3=1\nQ1_1=1\nQ2=1\nQ3=0\n[SUM]\nAGE=42.500000\n");
}

TEST_F(SaveTest, StatisticsWithoutFileOrNameAreSkippedAndLogged) {
  auto vars = Request({"Q1=1"});
  EXPECT_EQ(Save({"SAVESTAT=1", "SAVESTATNAME=none.ini"}, vars.get()), ResultCode::kOk);
  EXPECT_FALSE(FileExists(root_.File("none.ini")));
  EXPECT_EQ(StatusLogText(),
            "\nkqs: The statistics file none.ini (SAVESTATNAME in survey.ini) does not exist: the "
            "response was saved without being counted. Create it with its [COUNT] and [SUM] "
            "keys.");
  StatusLogReset();
  EXPECT_EQ(Save({"SAVESTAT=1"}, vars.get()), ResultCode::kOk);
  EXPECT_EQ(StatusLogText(),
            "\nkqs: survey.ini sets SAVESTAT=1 but names no statistics file in SAVESTATNAME: the "
            "response was saved without being counted.");
}

TEST_F(SaveTest, StoredRecordFlagCountsARespondentOnce) {
  const std::vector<std::string> settings = {"IDFIELDS=IFMUID", "SAVESTAT=1", "SAVESTATNAME=s.ini",
                                             "SAVEDATA=1", "SAVEDATANAME=d.asc"};
  struct Case {
    const char* name;
    bool flag;
    std::string expected;
  } cases[] = {
      {"with the flag", true, "[COUNT]\nAGE=1\n[SUM]\nAGE=7.000000\n"},
      {"without the flag", false, "[COUNT]\nAGE=2\n[SUM]\nAGE=12.000000\n"},
  };
  for (const Case& c : cases) {
    TempDir root;
    root.Write("d.asc", "#IFMUID\tAGE\t_SESSION\t\r\n");
    root.Write("s.ini", "[COUNT]\nAGE=0\n[SUM]\nAGE=0\n");
    auto s = Table(settings);
    auto first = Request({"IFMUID=bob", "AGE=5", "_SESSION=s1"});
    ASSERT_EQ(SaveResponse(root.path(), kDatabase, first.get(), s.get(), c.flag), ResultCode::kOk);
    auto second = Request({"IFMUID=bob", "AGE=7", "_SESSION=s2"});
    ASSERT_EQ(SaveResponse(root.path(), kDatabase, second.get(), s.get(), c.flag), ResultCode::kOk);
    EXPECT_EQ(root.Read("s.ini"), c.expected) << c.name;
    // Another respondent's record is not taken out.
    auto other = Request({"IFMUID=ann", "AGE=1", "_SESSION=s3"});
    ASSERT_EQ(SaveResponse(root.path(), kDatabase, other.get(), s.get(), c.flag), ResultCode::kOk);
    EXPECT_NE(root.Read("s.ini").find(c.flag ? "AGE=8.000000" : "AGE=13.000000"),
              std::string::npos)
        << c.name;
  }
}

TEST_F(SaveTest, CounterCountsEverySaveWhenResponsesAreLimited) {
  root_.Write("kqscounts.ini", "[responses]\nother=7\n");
  auto vars = Request({"Q1=1"});
  ASSERT_EQ(Save({"MAXRESPONSES=2"}, vars.get()), ResultCode::kOk);
  ASSERT_EQ(Save({"MAXRESPONSES=2"}, vars.get()), ResultCode::kOk);
  // Counted past the limit: the dispatcher refuses before saving.
  ASSERT_EQ(Save({"MAXRESPONSES=2"}, vars.get()), ResultCode::kOk);
  EXPECT_EQ(root_.Read("kqscounts.ini"), "[responses]\nother=7\nsurvey=3\n");
  EXPECT_EQ(ResponseCountRead(root_.path(), "SURVEY"), 3);
  EXPECT_EQ(ResponseCountRead(root_.path(), "other"), 7);
  EXPECT_EQ(ResponseCountRead(root_.path(), "missing"), 0);

  // Without a limit nothing is counted.
  TempDir fresh;
  auto s = Table({"MAXRESPONSES=0"});
  ASSERT_EQ(SaveResponse(fresh.path(), kDatabase, vars.get(), s.get(), false), ResultCode::kOk);
  EXPECT_FALSE(FileExists(ResponseCounterPath(fresh.path())));
}

TEST_F(SaveTest, CounterThatCannotBeWrittenIsLogged) {
  auto vars = Request({"Q1=1"});
  std::optional<ResultCode> rc;
  root_.Write("kqscounts.ini", "[responses]\nsurvey=4\n");
  WithFileSizeLimit(4, [&] { rc = Save({"MAXRESPONSES=9"}, vars.get()); });
  EXPECT_EQ(rc, ResultCode::kOk);
  EXPECT_EQ(root_.Read("kqscounts.ini"), "[responses]\nsurvey=4\n");
  EXPECT_EQ(StatusLogText(),
            "\nkqs: The response counter kqscounts.ini in the server root cannot be written: "
            "this response is not counted against MAXRESPONSES of survey.ini.");
}

// The record line of save `n` of writer `w` in the concurrency test; the
// padding differs per writer so that torn or merged records show.
std::string ConcurrentRecord(int w, int n) {
  return "\"" + std::to_string(w) + "\"\t\"" + std::to_string(n) + "\"\t\"" +
         std::string(500 + 700 * w, static_cast<char>('a' + w)) + "\"\t\"x\"\t\r\n";
}

void SaveAsWriter(const std::string& root, int w, int count) {
  auto settings = Table({"MAXRESPONSES=100000", "SAVESTAT=1", "SAVESTATNAME=s.ini", "SAVEDATA=1",
                         "SAVEDATANAME=d.asc"});
  for (int n = 0; n < count; ++n) {
    auto vars = Request({"W=" + std::to_string(w), "N=" + std::to_string(n),
                         "PAD=" + std::string(500 + 700 * w, static_cast<char>('a' + w)), "Q1=x"});
    SaveResponse(root, kDatabase, vars.get(), settings.get(), false);
  }
}

TEST_F(SaveTest, ConcurrentSaversInThreadsAndProcessesLoseNothing) {
  constexpr int kThreads = 3, kProcesses = 3, kEach = 10;
  const std::string header = "#W\tN\tPAD\tQ1\t\r\n";
  root_.Write("d.asc", header);
  root_.Write("s.ini", "[COUNT]\nQ1=0\n");
  std::vector<std::thread> threads;
  for (int w = 0; w < kThreads; ++w) threads.emplace_back(SaveAsWriter, root_.path(), w, kEach);
  for (std::thread& t : threads) t.join();
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      SaveAsWriter(root_.path(), kThreads + p, kEach);
      _exit(0);
    }
    children.push_back(pid);
  }
  // The parent saves at the same time as the children.
  SaveAsWriter(root_.path(), kThreads + kProcesses, kEach);
  for (pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }

  constexpr int kWriters = kThreads + kProcesses + 1;
  constexpr int kTotal = kWriters * kEach;
  EXPECT_EQ(ResponseCountRead(root_.path(), kDatabase), kTotal);
  EXPECT_EQ(root_.Read("s.ini"), "[COUNT]\nQ1=" + std::to_string(kTotal) + "\n");
  std::set<std::string> expected;
  for (int w = 0; w < kWriters; ++w)
    for (int n = 0; n < kEach; ++n) expected.insert(ConcurrentRecord(w, n));
  std::string data = root_.Read("d.asc");
  ASSERT_EQ(data.compare(0, header.size(), header), 0);
  std::set<std::string> found;
  size_t lines = 0;
  for (size_t at = header.size(); at < data.size();) {
    size_t end = data.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "a record without its line end";
    found.insert(data.substr(at, end + 2 - at));
    ++lines;
    at = end + 2;
  }
  EXPECT_EQ(lines, static_cast<size_t>(kTotal));
  EXPECT_EQ(found, expected);
}

// ---- The result page ----

struct ResultCase {
  const char* name;
  std::vector<std::string> settings;
  ResultCode code;
  std::string expected;
  std::optional<std::string> host_header = std::nullopt;
};

std::string Ok(std::string_view body) { return std::string(kOkHead) + std::string(body); }
// What a respondent reads when the answers could not be saved.
constexpr char kNotSaved[] =
    "<P class=\"kqs-error\">Sorry, your answers could not be saved. Please tell the people who "
    "run this survey.</P>\n";
std::string Redirect(std::string_view location) {
  return std::string(kRedirectHead) + "Location: " + std::string(location) + "\r\n\r\n";
}

TEST_F(SaveTest, ShowResultWritesEveryBranch) {
  root_.Write("form.html", "<FORM METHOD=POST><INPUT TYPE=text NAME=Q1 VALUE=\"\"></FORM>");
  root_.Write("reports/r.htm", "You said <%= Q1 %>.");
  const ResultCase cases[] = {
      {"redirect to a path: the Host header's address",
       {"SHOWREDIRECT=1", "REDIRECT=/thanks.html"},
       ResultCode::kOk,
       Redirect("http://survey.local:8080/thanks.html"),
       "survey.local:8080"},
      {"a Host header naming another server is not used",
       {"SHOWREDIRECT=1", "REDIRECT=/thanks.html"},
       ResultCode::kOk,
       Redirect("http://127.0.0.1:8081/thanks.html"),
       "evil.example"},
      {"redirect to a path: the server address without Host header",
       {"SHOWREDIRECT=1", "REDIRECT=/thanks.html"},
       ResultCode::kOk,
       Redirect("http://127.0.0.1:8081/thanks.html")},
      {"redirect with an empty Host header",
       {"SHOWREDIRECT=1", "REDIRECT=/t.html"},
       ResultCode::kOk,
       Redirect("http://127.0.0.1:8081/t.html"),
       ""},
      {"a Host header with line breaks is not used",
       {"SHOWREDIRECT=1", "REDIRECT=/t.html"},
       ResultCode::kOk,
       Redirect("http://127.0.0.1:8081/t.html"),
       "survey.local\r\nSet-Cookie: x"},
      {"absolute redirect",
       {"SHOWREDIRECT=1", "REDIRECT=http://example.org/done"},
       ResultCode::kOk,
       Redirect("http://example.org/done"),
       "survey.local"},
      {"redirect needs SHOWREDIRECT",
       {"REDIRECT=/thanks.html"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><P>Thank you!</body></html>\n")},
      {"no redirect after a failure",
       {"SHOWREDIRECT=1", "REDIRECT=/thanks.html"},
       ResultCode::kAnswersNotWritten,
       Ok(kNotSaved)},
      {"default thank-you page",
       {},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><P>Thank you!</body></html>\n")},
      {"MESSAGE is title and text",
       {"MESSAGE=<H1>Saved</H1>"},
       ResultCode::kOk,
       Ok("<html><head><title><H1>Saved</H1></title></head><body><H1>Saved</H1></body></html>\n")},
      {"DISPLAYMESSAGE 0: the empty skeleton",
       {"DISPLAYMESSAGE=0", "MESSAGE=Saved"},
       ResultCode::kOk,
       Ok("<html><head><title>Saved</title></head><body></body></html>\n")},
      {"DISPLAYFORM shows the answers",
       {"DISPLAYMESSAGE=0", "DISPLAYFORM=1", "FORM=form.html"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><FORM METHOD=POST>"
          "<INPUT VALUE=\"a &amp; b\" TYPE=\"text\" NAME=\"Q1\"></FORM></body></html>\n")},
      {"DISPLAYFORM before DISPLAYREPORT",
       {"DISPLAYFORM=1", "FORM=form.html", "DISPLAYREPORT=1", "REPORT=reports/r.htm"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><P>Thank you!<FORM METHOD=POST>"
          "<INPUT VALUE=\"a &amp; b\" TYPE=\"text\" NAME=\"Q1\"></FORM></body></html>\n")},
      {"DISPLAYREPORT without form filling",
       {"DISPLAYREPORT=1", "REPORT=reports/r.htm"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><P>Thank you!You said a & b.</body></html>\n")},
      {"a file that cannot be opened is left out",
       {"DISPLAYFORM=1", "FORM=missing.html"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><P>Thank you!</body></html>\n")},
      {"DISPLAYHOTLINK",
       {"DISPLAYHOTLINK=1"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><P>Thank you!<HR><A HREF=\"/index.html\">"
          "Click here to continue</A>\n</body></html>\n")},
      {"HOTLINK",
       {"DISPLAYHOTLINK=1", "HOTLINK=/next.html", "DISPLAYMESSAGE=0"},
       ResultCode::kOk,
       Ok("<html><head><title></title></head><body><HR><A HREF=\"/next.html\">"
          "Click here to continue</A>\n</body></html>\n")},
      // A failure tells a respondent on another computer only that the
      // answers were not saved; the trailer adds the number.
      {"code 2", {"SAVEDATANAME=answers.asc"}, ResultCode::kFormFileMissing, Ok(kNotSaved)},
      {"code 6", {}, ResultCode::kAnswersNotWritten, Ok(kNotSaved)},
      {"code 1", {"MESSAGE=Thanks"}, ResultCode::kNoMailServer, Ok(kNotSaved)},
      {"code 67", {}, ResultCode::kOutboxNotWritten, Ok(kNotSaved)},
  };
  for (const ResultCase& c : cases) {
    auto settings = Table(c.settings);
    auto vars = Request({"Q1=a & b"});
    RequestInfo info;
    info.server_address = "127.0.0.1:8081";
    info.host_header = c.host_header;
    info.extra_host_names = "survey.local";
    StrBuf buffer;
    OutputStream out{nullptr, nullptr, &buffer};
    ShowResult(root_.path(), &out, kDatabase, settings.get(), vars.get(), c.code, info, "",
               "The data file is missing.");
    EXPECT_EQ(buffer.ToString(), c.expected) << c.name;
  }
}

TEST_F(SaveTest, AFailureShowsTheAuthorTheSavesSentenceOnThisMachine) {
  auto settings = Table({});
  auto vars = Request({"Q1=a"});
  struct Case {
    const char* what;
    ThisMachineTest this_machine;
    std::string expected;
  } cases[] = {
      {"another computer", [](uint32_t) { return false; }, Ok(kNotSaved)},
      {"this machine", [](uint32_t) { return true; },
       Ok(std::string(kNotSaved) +
          "<P class=\"kqs-author\"><B>For the survey's author</B> (shown only on this "
          "computer): The data file &lt;d&gt;.asc is missing.</P>\n")},
  };
  for (const Case& c : cases) {
    RequestInfo info;
    info.this_machine = c.this_machine;
    StrBuf buffer;
    OutputStream out{nullptr, nullptr, &buffer};
    ShowResult(root_.path(), &out, kDatabase, settings.get(), vars.get(),
               ResultCode::kFormFileMissing, info, "", "The data file <d>.asc is missing.");
    EXPECT_EQ(buffer.ToString(), c.expected) << c.what;
  }
}

}  // namespace
}  // namespace tallypad
