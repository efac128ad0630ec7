#include "store/datafile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/decode.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;
using Values = std::vector<std::optional<std::string>>;

constexpr char kHeader[] = "#_SESSION\tQ1\tQ2\t\r\n";

// The values now held by the first `n` slots of the column table.
Values SlotValues(DataFile& df, size_t n) {
  Values out;
  for (size_t i = 0; i < n; ++i) out.push_back(df.columns()->entries[i].value);
  return out;
}

std::vector<std::string> ColumnNames(const VarTable* t) {
  std::vector<std::string> names;
  for (const VarEntry& e : t->entries) names.push_back(e.name.value_or("<blank>"));
  return names;
}

TEST(DataFileOpen, HeaderNamesTheColumnsFollowedBySpareSlots) {
  TempDir dir;
  std::string path = dir.Write("d.asc", "#_SESSION\tQ1\r\t#Q2\tQ3\r\n\"a\"\t");
  auto df = DataFile::Open(path, 2);
  ASSERT_NE(df, nullptr);
  EXPECT_EQ(ColumnNames(df->columns()),
            (std::vector<std::string>{"_SESSION", "Q1", "Q2", "Q3", "", ""}));
  EXPECT_EQ(df->column_count(), 4u);
  // The file is left at the first line after the header.
  EXPECT_EQ(df->line_start(), 22);
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(VarTableGet(df->columns(), "_SESSION"), "a");
}

TEST(DataFileOpen, FilesWithoutAHeaderCannotBeUsed) {
  struct Case {
    const char* name;
    const char* content;
  } cases[] = {
      {"empty file", ""},
      {"empty first line", "\n#A\tB\t\n"},
      {"first line only a carriage return", "\r\n#A\n"},
      {"no line feed after the header", "#A\tB\t"},
      {"header without names", "\t#\t\n\"x\"\t\n"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.Write("d.asc", c.content);
    EXPECT_EQ(DataFile::Open(path, 0), nullptr) << c.name;
    EXPECT_EQ(DataFileReadColumns(path, 0), nullptr) << c.name;
  }
  TempDir dir;
  EXPECT_EQ(DataFile::Open(dir.File("missing.asc"), 0), nullptr);
  EXPECT_EQ(DataFile::Open(dir.path(), 0), nullptr);  // a folder
  EXPECT_EQ(DataFile::Open("/dev/zero", 0), nullptr);  // endless, no line feed
}

TEST(DataFileOpen, OverlongHeaderNameIsCut) {
  TempDir dir;
  std::string longname(kMaxHeaderNameLength + 100, 'N');
  std::string path = dir.Write("d.asc", "#" + longname + "\tQ1\t\n\"x\"\t\"y\"\t\n");
  auto df = DataFile::Open(path, 0);
  ASSERT_NE(df, nullptr);
  EXPECT_EQ(df->columns()->entries[0].name->size(), kMaxHeaderNameLength - 1);  // '#' dropped
  EXPECT_EQ(df->columns()->entries[1].name, "Q1");
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(VarTableGet(df->columns(), "Q1"), "y");
}

TEST(DataFileReadNext, LineStatusAndValues) {
  struct Case {
    const char* name;
    const char* line;
    int status;
    Values values;  // of _SESSION, Q1, Q2
  } cases[] = {
      {"ordinary", "\"s1\"\t\"yes\"\t\"no\"\t\r\n", kLineRecord, {"s1", "yes", "no"}},
      {"first answer empty stays visible", "\"\"\t\"yes\"\t\"\"\t\r\n", kLineRecord,
       {"", "yes", ""}},
      {"superseded", "#s1\"\t\"yes\"\t\"no\"\t\r\n", kLineMarked, {"#s1\"", "yes", "no"}},
      {"header met again", "#_SESSION\tQ1\tQ2\t\r\n", kLineMarked, {"#_SESSION", "Q1", "Q2"}},
      {"blank line", "\r\n", kLineEmpty, {std::nullopt, std::nullopt, std::nullopt}},
      {"all fields empty", "\"\"\t\"\"\t\"\"\t\r\n", kLineEmpty, {"", "", ""}},
      {"empty raw first field", "\t\"yes\"\t\"no\"\t\n", kLineEmpty, {"", "yes", "no"}},
      {"unquoted fields", "s1\tyes\tno\n", kLineRecord, {"s1", "yes", "no"}},
      {"fewer fields than columns", "\"s1\"\t\r\n", kLineRecord,
       {"s1", std::nullopt, std::nullopt}},
      {"last line without line end", "\"s1\"\t\"yes\"", kLineRecord,
       {"s1", "yes", std::nullopt}},
      {"carriage returns inside are ignored", "\"s\r1\"\t\r\"y\"\t\n", kLineRecord,
       {"s1", "y", std::nullopt}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto df = DataFile::Open(dir.Write("d.asc", std::string(kHeader) + c.line), 0);
    ASSERT_NE(df, nullptr) << c.name;
    EXPECT_EQ(df->ReadNext(), c.status) << c.name;
    EXPECT_EQ(SlotValues(*df, 3), c.values) << c.name;
    EXPECT_EQ(df->ReadNext(), kLineEnd) << c.name;
    EXPECT_EQ(df->ReadNext(), kLineEnd) << c.name;
  }
}

TEST(DataFileReadNext, QuotedFieldsAreUnquoted) {
  struct Case {
    const char* field;
    const char* value;
  } cases[] = {
      {"\"\"", ""},
      {"\"plain\"", "plain"},
      {"\"say \"\"hi\"\"\"", "say \"hi\""},
      {"\"\"\"\"", "\""},          // a value that is one quote
      {"\"\"\"\"\"\"", "\"\""},    // two quotes
      {"\"\"\"x\"", "\"x"},
      {"\"a,b\"", "a,b"},
      {"\"a\"b\"", "ab"},  // a stray quote inside: dropped, the byte after it kept
      {"\"open", "open"},  // no closing quote
      {"bare\"quote", "bare\"quote"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto df = DataFile::Open(
        dir.Write("d.asc", std::string(kHeader) + "\"s\"\t" + c.field + "\t\"z\"\t\r\n"), 0);
    ASSERT_NE(df, nullptr);
    EXPECT_EQ(df->ReadNext(), kLineRecord) << c.field;
    EXPECT_EQ(VarTableGet(df->columns(), "Q1"), c.value) << c.field;
    EXPECT_EQ(VarTableGet(df->columns(), "Q2"), "z") << c.field;
  }
}

TEST(DataFileReadNext, ExtraFieldsFillSpareSlotsThenAreSkipped) {
  TempDir dir;
  std::string path = dir.Write("d.asc", "#A\tB\t\n\"1\"\t\"2\"\t\"3\"\t\"4\"\t\n\"5\"\t\n");
  auto df = DataFile::Open(path, 1);
  ASSERT_NE(df, nullptr);
  ASSERT_EQ(df->columns()->entries.size(), 3u);
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(SlotValues(*df, 3), (Values{"1", "2", "3"}));
  // Every slot is replaced by the next record, the spare one included.
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(SlotValues(*df, 3), (Values{"5", std::nullopt, std::nullopt}));
  EXPECT_EQ(df->ReadNext(), kLineEnd);
}

TEST(DataFileReadNext, OverlongFieldIsCutWithoutLosingTheNextField) {
  TempDir dir;
  std::string big(kMaxFieldLength + 5000, 'x');
  std::string path = dir.Write("d.asc", std::string(kHeader) + "\"s\"\t\"" + big + "\"\t\"z\"\t\n" +
                                            "\"t\"\t\"small\"\t\t\n");
  auto df = DataFile::Open(path, 0);
  ASSERT_NE(df, nullptr);
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(VarTableGet(df->columns(), "Q1"), std::string(kMaxFieldLength, 'x'));
  EXPECT_EQ(VarTableGet(df->columns(), "Q2"), "z");
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(VarTableGet(df->columns(), "Q1"), "small");
}

// Records 1..6 after the header: live a, blank line, all-empty record,
// superseded b, live c, live d.
constexpr char kMixedFile[] =
    "#_SESSION\tQ1\tQ2\t\r\n"
    "\"s1\"\t\"a\"\t\"x\"\t\r\n"
    "\r\n"
    "\"\"\t\"\"\t\"\"\t\r\n"
    "#s2\"\t\"b\"\t\"x\"\t\r\n"
    "\"s3\"\t\"c\"\t\"y\"\t\r\n"
    "\"s4\"\t\"d\"\t\"x\"\t\r\n";

TEST(DataFileScan, BlankAndEmptyLinesDoNotHideLaterRecords) {
  TempDir dir;
  auto df = DataFile::Open(dir.Write("d.asc", kMixedFile), 0);
  ASSERT_NE(df, nullptr);
  std::vector<std::string> seen;
  while (df->ReadWhere({})) seen.push_back(VarTableGet(df->columns(), "Q1"));
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "c", "d"}));

  df->GoToRecord(-1);
  auto criteria = VarTableFromPairs({"Q2=x"}, 0);
  seen.clear();
  while (df->ReadMatching(criteria.get())) seen.push_back(VarTableGet(df->columns(), "Q1"));
  EXPECT_EQ(seen, (std::vector<std::string>{"a", "d"}));
}

TEST(DataFileScan, RecordNumbersCountEveryLine) {
  TempDir dir;
  auto df = DataFile::Open(dir.Write("d.asc", kMixedFile), 0);
  ASSERT_NE(df, nullptr);
  const int statuses[] = {kLineRecord, kLineEmpty, kLineEmpty, kLineMarked, kLineRecord,
                          kLineRecord, kLineEnd};
  for (int s : statuses) EXPECT_EQ(df->ReadNext(), s);

  df->GoToRecord(-1);
  df->GoToRecord(4);  // skip records 1-4: the next is record 5
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(VarTableGet(df->columns(), "Q1"), "c");
  df->GoToRecord(0);
  EXPECT_EQ(df->ReadNext(), kLineRecord);
  EXPECT_EQ(VarTableGet(df->columns(), "Q1"), "d");
  df->GoToRecord(-1);
  df->GoToRecord(100);  // past the end
  EXPECT_EQ(df->ReadNext(), kLineEnd);

  // From the very start of the file the header is a marked line.
  ASSERT_TRUE(df->Seek(0));
  EXPECT_EQ(df->ReadNext(), kLineMarked);
  EXPECT_EQ(df->ReadNext(), kLineRecord);
}

TEST(DataFileScan, MatchingComparesExactlyAndIgnoresUnknownCriteria) {
  struct Case {
    const char* name;
    std::vector<std::string> criteria;
    std::vector<std::string> found;  // Q1 of each match
  } cases[] = {
      {"one criterion", {"Q2=x"}, {"a", "d"}},
      {"two criteria", {"Q2=x", "_SESSION=s4"}, {"d"}},
      {"case counts", {"Q2=X"}, {}},
      {"names without case", {"q2=y"}, {"c"}},
      {"unknown column ignored", {"NOPE=1", "Q2=y"}, {"c"}},
      {"empty name ignored", {"=zzz", "Q1=a"}, {"a"}},
      {"no criteria: every live record", {}, {"a", "c", "d"}},
      {"empty value matches a missing value only", {"Q1="}, {}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    auto df = DataFile::Open(dir.Write("d.asc", kMixedFile), 0);
    ASSERT_NE(df, nullptr);
    auto criteria = VarTableFromPairs(c.criteria, 1);
    std::vector<std::string> found;
    int64_t start = -1;
    while (df->ReadMatching(criteria.get(), &start)) {
      found.push_back(VarTableGet(df->columns(), "Q1"));
      // The reported line start reads the same record again.
      auto again = DataFile::Open(dir.File("d.asc"), 0);
      ASSERT_TRUE(again->Seek(start));
      EXPECT_EQ(again->ReadNext(), kLineRecord);
      EXPECT_EQ(VarTableGet(again->columns(), "Q1"), found.back()) << c.name;
    }
    EXPECT_EQ(found, c.found) << c.name;
  }
}

TEST(DataFileScan, MissingValuesCountAsEmpty) {
  TempDir dir;
  // The short line follows a full one: its missing B must not keep the
  // value of the line before.
  auto df = DataFile::Open(dir.Write("d.asc", "#A\tB\t\n\"2\"\t\"b\"\t\n\"1\"\t\n"), 0);
  ASSERT_NE(df, nullptr);
  auto criteria = VarTableFromPairs({"B="}, 0);
  ASSERT_TRUE(df->ReadMatching(criteria.get()));
  EXPECT_EQ(VarTableGet(df->columns(), "A"), "1");
  EXPECT_FALSE(df->columns()->entries[1].value.has_value());
  EXPECT_TRUE(df->RecordMatches(criteria.get()));
  EXPECT_FALSE(df->ReadMatching(criteria.get()));

  df->GoToRecord(-1);
  auto late = VarTableFromPairs({"B=b"}, 0);
  ASSERT_TRUE(df->ReadMatching(late.get()));
  EXPECT_EQ(VarTableGet(df->columns(), "A"), "2");
  EXPECT_FALSE(df->ReadMatching(late.get()));
}

TEST(DataFileScan, ManyRecordsReadBackAcrossReadBlocks) {
  // Values of varied lengths with quotes, tabs-turned-blanks and '#' at
  // every position, so field and line ends fall on read-block edges.
  TempDir dir;
  std::string text = "#N\tV\tW\t\r\n";
  std::vector<std::string> values;
  for (int n = 0; n < 3000; ++n) {
    std::string v;
    for (int k = 0; k < (n * 37) % 211; ++k) v.push_back("ab\"#c,"[(n + k) % 6]);
    values.push_back(v);
    std::string quoted;
    for (char c : v) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    text += "\"" + std::to_string(n) + "\"\t\"" + quoted + "\"\t\"w" + std::to_string(n % 7) +
            "\"\t\r\n";
  }
  ASSERT_GT(text.size(), 3 * kDataReadBlock);
  std::string path = dir.Write("d.asc", text);

  auto df = DataFile::Open(path, 0);
  ASSERT_NE(df, nullptr);
  for (int n = 0; n < 3000; ++n) {
    ASSERT_EQ(df->ReadNext(), kLineRecord) << n;
    ASSERT_EQ(VarTableGet(df->columns(), "N"), std::to_string(n));
    ASSERT_EQ(df->columns()->entries[1].value, values[n]) << n;
  }
  EXPECT_EQ(df->ReadNext(), kLineEnd);

  // A scan on the last column reads every seventh record.
  df->GoToRecord(-1);
  auto criteria = VarTableFromPairs({"W=w3"}, 0);
  int found = 0;
  while (df->ReadMatching(criteria.get())) {
    int n = std::stoi(VarTableGet(df->columns(), "N"));
    EXPECT_EQ(n % 7, 3);
    EXPECT_EQ(df->columns()->entries[1].value, values[n]) << n;
    ++found;
  }
  EXPECT_EQ(found, 3000 / 7 + (3000 % 7 > 3 ? 1 : 0));
}

TEST(DataFilePaths, SettingsNameTheFilesBesideTheBasePath) {
  auto settings = VarTableFromPairs({"SAVEDATANAME=data\\answers.txt"}, 0);
  EXPECT_EQ(DataFileReadPath("/srv/root/index.html", settings.get(), "demo"),
            "/srv/root/data/answers.txt");
  EXPECT_EQ(DataFileReadPath("/srv/root/index.html", nullptr, "demo"), "/srv/root/demo.asc");
  std::string longname(1500, 'n');
  EXPECT_EQ(FormFilePath("/srv/x", longname), "/srv/" + std::string(kMaxFileNameLength, 'n'));
  EXPECT_EQ(FormFilePath("/srv/x", ""), "");
}

}  // namespace
}  // namespace tallypad
