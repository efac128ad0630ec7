// The "tallypad outbox" command and the /outbox page of the real program:
// the operator sees the waiting mails and the dead letters, and moves the
// dead letters back into the queue.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>

#include "mail/mail_compose.h"
#include "mail/outbox_state.h"
#include "support/served_root.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::HttpGet;
using testing::ServedRoot;
using testing::TempDir;

struct ProgramRun {
  int status = -1;
  std::string output;
};

// Runs the program with `arguments` and returns its exit status and output.
ProgramRun RunProgram(const std::string& arguments) {
  ProgramRun run;
  const std::string command = testing::TallypadBinary() + " " + arguments + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.output.append(buffer, n);
  const int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string MailRecord(std::string_view to, std::string_view subject) {
  MailParts parts;
  parts.recipient = to;
  parts.subject = subject;
  parts.body = "answers";
  return MailOutboxRecord("mail.example.org", MailComposeDialogue(parts));
}

// Puts into `root` one mail waiting (tried twice) and one dead letter;
// returns the two records as they were queued.
std::pair<std::string, std::string> FillOutbox(const TempDir& root) {
  const std::string waiting = MailRecord("team@example.org", "Result \xe2\x9c\x93");
  root.Write("outbox.kqs", waiting);
  OutboxStateAppendTry(root.path(), OutboxRecordKey(waiting), 2, 1700000000,
                       "at RCPT TO: 451 4.7.1 greylisted");
  const std::string refused = MailRecord("gone@example.org", "Old result");
  std::string dead = refused;
  dead.insert(dead.find('\n') + 1, "Reply: at RCPT TO: 550 5.1.1 no such user\n");
  root.Write("outbox.dead", dead);
  return {waiting, refused};
}

TEST(OutboxCommand, ListsTheQueueAndTheDeadLetters) {
  TempDir root;
  FillOutbox(root);
  ProgramRun run = RunProgram("outbox " + root.path());
  EXPECT_EQ(run.status, 0) << run.output;
  for (const char* expected : {"Waiting: 1 mail\n", "team@example.org", "Result \xe2\x9c\x93",
                               "at RCPT TO: 451 4.7.1 greylisted", "Dead letters: 1 mail\n",
                               "gone@example.org", "550 5.1.1 no such user",
                               "tallypad outbox --retry"})
    EXPECT_NE(run.output.find(expected), std::string::npos) << expected << "\n" << run.output;
  // Listing changes nothing.
  EXPECT_TRUE(FileExists(root.File("outbox.dead")));
}

TEST(OutboxCommand, RetryMovesTheDeadLettersBackIntoTheQueue) {
  TempDir root;
  const auto [waiting, refused] = FillOutbox(root);
  ProgramRun run = RunProgram("outbox --retry " + root.path());
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("Moved 1 dead letter back into the queue"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Waiting: 2 mails"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("Dead letters: 0 mails"), std::string::npos) << run.output;
  EXPECT_EQ(root.Read("outbox.kqs"), waiting + refused);
  EXPECT_FALSE(FileExists(root.File("outbox.dead")));
}

TEST(OutboxCommand, UsageErrorsEndWithStatus2) {
  TempDir root;
  EXPECT_EQ(RunProgram("outbox --bogus " + root.path()).status, 2);
  EXPECT_EQ(RunProgram("outbox " + root.path() + " " + root.path()).status, 2);
  EXPECT_EQ(RunProgram("outbox " + root.File("missing")).status, 2);
}

TEST(OutboxPageProgram, TheRunningServerShowsItsOutboxToThisMachine) {
  ServedRoot served(std::vector<std::pair<std::string, std::string>>{{"TALLYPAD_NETWORK", "offline"}});
  served.root().Write("cgi.ini", "[server]\n");
  FillOutbox(served.root());
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  testing::HttpResponse page = HttpGet(served.port(), "/outbox");
  EXPECT_EQ(page.status_line, "HTTP/1.1 200 OK");
  EXPECT_NE(page.body.find("1 mail(s) waiting, 1 dead letter(s)."), std::string::npos)
      << page.body;
  EXPECT_NE(page.body.find("gone@example.org"), std::string::npos);
  // The outbox files themselves are never served.
  for (const char* name : {"/outbox.kqs", "/outbox.dead", "/outbox.state"})
    EXPECT_EQ(HttpGet(served.port(), name).body.find("team@example.org"), std::string::npos)
        << name;
  EXPECT_EQ(served.Stop(), 0);
}

}  // namespace
}  // namespace tallypad
