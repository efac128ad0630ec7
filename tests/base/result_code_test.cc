#include "base/result_code.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace tallypad {
namespace {

constexpr char kHelpPage[] = "/examples/demo/help/cgi/kqs/error.html";

// The numbers the help page explains, read from its headings
// <h2 id="sN">Error N: ...</h2>.
std::vector<int> NumbersOnTheHelpPage() {
  const std::string page = testing::ReadFileText(std::string(TALLYPAD_SOURCE_DIR) + kHelpPage);
  const std::regex heading(R"re(<h2 id="s(\d+)">Error (\d+):)re");
  std::vector<int> numbers;
  for (auto it = std::sregex_iterator(page.begin(), page.end(), heading);
       it != std::sregex_iterator(); ++it) {
    EXPECT_EQ((*it)[1], (*it)[2]) << "the anchor names the heading's number";
    numbers.push_back(std::stoi((*it)[1]));
  }
  return numbers;
}

TEST(ResultCode, TheHelpPageExplainsEveryCodeInOrderAndNoOther) {
  std::vector<int> named;
  for (ResultCode code : kResultCodes)
    if (code != ResultCode::kOk) named.push_back(ResultNumber(code));
  EXPECT_EQ(NumbersOnTheHelpPage(), named);
}

TEST(ResultCode, RefusalsAreTheCodesAboveOneHundred) {
  const struct {
    ResultCode code;
    bool refusal;
    bool access_denied;
  } cases[] = {
      {ResultCode::kOk, false, false},
      {ResultCode::kFormFileMissing, false, false},
      {ResultCode::kLoginNotAccepted, false, false},
      {ResultCode::kRecipientNoAddress, false, false},
      {ResultCode::kAccessDenied, true, true},
      {ResultCode::kRequestFieldTooLong, true, false},
      {ResultCode::kBadPageName, true, false},
      {ResultCode::kForbiddenNameCharacter, true, false},
  };
  for (const auto& c : cases) {
    const int number = ResultNumber(c.code);
    EXPECT_EQ(IsRefusal(c.code), c.refusal) << number;
    EXPECT_EQ(IsAccessDenied(c.code), c.access_denied) << number;
    EXPECT_EQ(IsAccessDenied(number), c.access_denied) << number;
  }
}

}  // namespace
}  // namespace tallypad
