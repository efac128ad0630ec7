#include "store/form_name.h"

#include <gtest/gtest.h>

#include <string>

namespace tallypad {
namespace {

TEST(NameHasForbiddenCharacter, FileNamesRefuseWhatLeadsAwayAttributesAlsoQuotes) {
  const struct {
    std::string name;
    bool in_file_name;  // refused by NameCheck::kFileName
    bool in_attribute;  // refused by NameCheck::kFileAndAttribute
  } cases[] = {
      {"survey", false, false},
      {"page0", false, false},
      {"my form-2_b", false, false},
      {"", false, false},
      {"../x", true, true},
      {"sub/form", true, true},
      {"form.ini", true, true},
      {"a\\b", true, true},
      {"f*", true, true},
      {"f?", true, true},
      {"$f", true, true},
      {"f|g", true, true},
      {std::string("form\0x", 6), true, true},
      {"o'brien", false, true},
      {"say\"hi", false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NameHasForbiddenCharacter(c.name, NameCheck::kFileName), c.in_file_name) << c.name;
    EXPECT_EQ(NameHasForbiddenCharacter(c.name, NameCheck::kFileAndAttribute), c.in_attribute)
        << c.name;
    EXPECT_EQ(NameHasForbiddenCharacter(c.name), c.in_attribute) << c.name;
  }
}

}  // namespace
}  // namespace tallypad
