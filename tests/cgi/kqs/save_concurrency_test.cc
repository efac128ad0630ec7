// Two programs serving the same server root save responses at the same
// time, each busy with several clients: every response must reach the data
// file as one whole line with its index entry, and the statistics and the
// response counter, which both programs read, change and write back, must
// count every save.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "support/html_form.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::HttpPost;
using testing::HttpResponse;
using testing::ServerProcess;
using testing::TempDir;

constexpr int kPrograms = 2;
constexpr int kClientsPerProgram = 3;
constexpr int kSavesPerClient = 17;
constexpr int kClients = kPrograms * kClientsPerProgram;
constexpr int kSaves = kClients * kSavesPerClient;

constexpr char kHeader[] = "#_SESSION\tN\tQ1\tVAL\tPAD\t\r\n";
constexpr char kThanks[] = "<html><head><title></title></head><body><P>Thank you!</body></html>\n";

std::string Session(int client, int n) {
  return "c" + std::to_string(client) + "n" + std::to_string(n);
}
// The value summed for save `n` of `client`.
int Value(int client, int n) { return client * 100 + n; }
// Padding of a length that differs per client, so that a torn or merged
// record cannot pass for a whole one.
std::string Pad(int client) { return std::string(200 + 300 * client, static_cast<char>('a' + client)); }

std::string Record(int client, int n) {
  return "\"" + Session(client, n) + "\"\t\"" + std::to_string(n) + "\"\t\"x\"\t\"" +
         std::to_string(Value(client, n)) + "\"\t\"" + Pad(client) + "\"\t\r\n";
}

// Saves `kSavesPerClient` responses through the program on `port`; returns
// how many were answered with the thank-you page.
int SaveAsClient(int port, int client) {
  int thanked = 0;
  for (int n = 0; n < kSavesPerClient; ++n) {
    HttpResponse r = HttpPost(port, "/kqs",
                              "DATABASE=conc&_ACTION=SUBMIT&_SESSION=" + Session(client, n) +
                                  "&N=" + std::to_string(n) + "&Q1=x&VAL=" +
                                  std::to_string(Value(client, n)) + "&PAD=" + Pad(client));
    if (r.body == kThanks) ++thanked;
  }
  return thanked;
}

TEST(SaveConcurrencyTest, TwoProgramsOnOneRootLoseNoResponseAndNoCount) {
  TempDir root;
  root.Write("cgi.ini", "[server]\n");
  root.Write("conc.ini",
             "[DATABASE]\nFORM=conc\nMAXRESPONSES=100000\nSAVEDATA=1\nSAVEINDEXNAME=conc.idx\n"
             "SAVESTAT=1\nSAVESTATNAME=conc.sta\n[access]\nPWDAPPEND=(allow)\n");
  root.Write("conc.asc", kHeader);
  root.Write("conc.idx", "#_SESSION\t_POS\n");
  root.Write("conc.sta", "[COUNT]\nQ1=0\n[SUM]\nVAL=0\n");

  std::vector<std::unique_ptr<TempDir>> registries;
  std::vector<std::unique_ptr<ServerProcess>> programs;
  std::vector<int> ports;
  for (int p = 0; p < kPrograms; ++p) {
    registries.push_back(std::make_unique<TempDir>());
    programs.push_back(std::make_unique<ServerProcess>());
    ServerProcess::Options options;
    options.server_root = root.path();
    options.port = testing::FreePort();
    options.registry = registries.back()->path();
    options.env = {{"TALLYPAD_NETWORK", "offline"}};
    std::optional<int> port = programs.back()->StartServing(options);
    ASSERT_TRUE(port) << programs.back()->Errors();
    ports.push_back(*port);
  }
  ASSERT_NE(ports[0], ports[1]);

  std::atomic<int> thanked{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] { thanked += SaveAsClient(ports[c % kPrograms], c); });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(thanked.load(), kSaves);
  for (auto& program : programs) EXPECT_EQ(program->Stop(), 0) << program->Errors();

  // Every line of the data file is one whole record, and every save has one.
  std::map<std::string, std::string> expected;  // session -> its record
  long long sum = 0;
  for (int c = 0; c < kClients; ++c)
    for (int n = 0; n < kSavesPerClient; ++n) {
      expected[Session(c, n)] = Record(c, n);
      sum += Value(c, n);
    }
  const std::string data = root.Read("conc.asc");
  ASSERT_EQ(data.compare(0, sizeof(kHeader) - 1, kHeader), 0);
  std::map<std::string, size_t> offsets;  // session -> where its record starts
  for (size_t at = sizeof(kHeader) - 1; at < data.size();) {
    size_t end = data.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "a record without its line end";
    const std::string line = data.substr(at, end + 2 - at);
    const std::string session = line.substr(1, line.find('"', 1) - 1);
    auto want = expected.find(session);
    ASSERT_NE(want, expected.end()) << "not a record of a save: " << line.substr(0, 80);
    EXPECT_EQ(line, want->second) << session;
    EXPECT_TRUE(offsets.emplace(session, at).second) << "saved twice: " << session;
    at = end + 2;
  }
  EXPECT_EQ(offsets.size(), expected.size());

  // Every index entry names the offset of its own record.
  const std::string index = root.Read("conc.idx");
  size_t entries = 0;
  for (size_t at = index.find('\n') + 1; at < index.size(); ++entries) {
    size_t end = index.find('\n', at);
    ASSERT_NE(end, std::string::npos);
    const std::string entry = index.substr(at, end - at);
    const std::string session = entry.substr(1, entry.find('"', 1) - 1);
    ASSERT_TRUE(offsets.count(session)) << entry;
    EXPECT_EQ(entry, "\"" + session + "\"\t" + std::to_string(offsets[session])) << entry;
    at = end + 1;
  }
  EXPECT_EQ(entries, static_cast<size_t>(kSaves));

  EXPECT_EQ(root.Read("conc.sta"), "[COUNT]\nQ1=" + std::to_string(kSaves) +
                                       "\n[SUM]\nVAL=" + std::to_string(sum) + ".000000\n");
  EXPECT_EQ(root.Read("kqscounts.ini"), "[responses]\nconc=" + std::to_string(kSaves) + "\n");
}

}  // namespace
}  // namespace tallypad
