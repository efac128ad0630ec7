// Writes a data file, its index and XML transactions from answers laid out
// in a folder, so that datafile_compat_test.py can check the files with
// independent readers. Runs only when TALLYPAD_COMPAT_DIR names the folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/decode.h"
#include "store/datafile_write.h"
#include "store/xmlfile.h"
#include "support/result_code_print.h"

namespace tallypad {
namespace {

std::string HexDecode(const std::string& hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

// answers.txt: one response per line, items "NAME=HEXVALUE" separated by
// blanks; the folder also holds data.asc and data.idx with their headers
// and an empty tx.xml.
TEST(CompatFiles, WriteFromAnswers) {
  const char* folder = std::getenv("TALLYPAD_COMPAT_DIR");
  if (!folder) GTEST_SKIP() << "run by datafile_compat_test.py";
  std::string dir = std::string(folder) + "/";
  std::ifstream in(dir + "answers.txt");
  ASSERT_TRUE(in.good());
  std::string line;
  int responses = 0;
  while (std::getline(in, line)) {
    std::vector<std::string> pairs;
    std::istringstream items(line);
    std::string item;
    while (items >> item) {
      size_t eq = item.find('=');
      ASSERT_NE(eq, std::string::npos) << item;
      pairs.push_back(item.substr(0, eq + 1) + HexDecode(item.substr(eq + 1)));
    }
    VarTablePtr vars = VarTableFromPairs(pairs, 0);
    int64_t offset = 0;
    ASSERT_EQ(AppendRecord(dir + "data.asc", vars.get(), &offset), ResultCode::kOk);
    ASSERT_GE(SupersedeSession(dir + "data.asc", vars.get()), 0);
    ASSERT_EQ(AppendIndexEntry(dir + "data.idx", vars.get(), offset), ResultCode::kOk);
    ASSERT_EQ(XmlAppendTransaction(vars.get(), dir + "tx.xml", nullptr), ResultCode::kOk);
    ++responses;
  }
  EXPECT_GT(responses, 0);
}

}  // namespace
}  // namespace tallypad
