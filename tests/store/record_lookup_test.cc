#include "store/record_lookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/decode.h"
#include "store/datafile.h"
#include "store/datafile_write.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

VarTablePtr Vars(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

// A form "demo" beside its base path, with a data file and an index.
class RecordLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_.Write("demo.ini", "[DATABASE]\n");
    dir_.Write("demo.asc", "#IFMUID\tIFMUID1\tQ1\t_PAGE\t\r\n");
    dir_.Write("demo.idx", "#IFMUID\t_POS\n");
  }

  // Saves a record and its index entry as the save step does; returns the offset.
  int64_t Save(const std::vector<std::string>& pairs, bool index = true) {
    auto vars = Vars(pairs);
    int64_t offset = 0;
    EXPECT_EQ(AppendRecord(dir_.File("demo.asc"), vars.get(), &offset), ResultCode::kOk);
    if (index) {
      EXPECT_EQ(AppendIndexEntry(dir_.File("demo.idx"), vars.get(), offset), ResultCode::kOk);
    }
    return offset;
  }

  // Q1 of the record found for `pairs` under `settings`, or "<none>".
  std::string Find(const std::vector<std::string>& settings,
                   const std::vector<std::string>& pairs) {
    auto s = Vars(settings);
    auto vars = Vars(pairs);
    VarTablePtr found = FindRespondentRecord(s.get(), base_, "demo", vars.get());
    return found ? VarTableGet(found.get(), "Q1", "<empty>") : "<none>";
  }

  TempDir dir_;
  std::string base_;
};

TEST_F(RecordLookup, LastSaveOfALoginWinsWithAndWithoutIndex) {
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=first"});
  Save({"IFMUID=ann", "IFMUID1=x", "Q1=ann's"});
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=second"});
  Save({"IFMUID=bobby", "IFMUID1=pw", "Q1=not bob"});
  const std::vector<std::string> bob = {"IFMUID=bob", "IFMUID1=pw"};
  EXPECT_EQ(Find({}, bob), "second");
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, bob), "second");
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=ann", "IFMUID1=x"}), "ann's");
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=carl", "IFMUID1=pw"}), "<none>");
}

TEST_F(RecordLookup, IndexPointsTheWay) {
  int64_t first = Save({"IFMUID=bob", "IFMUID1=pw", "Q1=first"});
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=second"}, /*index=*/false);
  // The index knows only the first record, so a lookup through it finds that.
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=bob", "IFMUID1=pw"}), "first");
  EXPECT_EQ(Find({}, {"IFMUID=bob", "IFMUID1=pw"}), "second");
  EXPECT_GT(first, 0);
}

TEST_F(RecordLookup, UnusableIndexEntriesFallBackToTheDataFile) {
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=first"}, false);
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=second"}, false);
  struct Case {
    const char* name;
    const char* index;
  } cases[] = {
      {"offset 0", "#IFMUID\t_POS\n\"bob\"\t0\n"},
      {"offset not a number", "#IFMUID\t_POS\n\"bob\"\tabc\n"},
      {"offset past the end", "#IFMUID\t_POS\n\"bob\"\t999999\n"},
      {"offset inside a line", "#IFMUID\t_POS\n\"bob\"\t33\n"},
      {"index without header", "#IFMUID\t_POS"},
  };
  for (const Case& c : cases) {
    dir_.Write("bad.idx", c.index);
    EXPECT_EQ(Find({"SAVEINDEXNAME=bad.idx"}, {"IFMUID=bob", "IFMUID1=pw"}), "second") << c.name;
  }
  EXPECT_EQ(Find({"SAVEINDEXNAME=missing.idx"}, {"IFMUID=bob", "IFMUID1=pw"}), "second");
}

TEST_F(RecordLookup, EveryIdFieldMustMatchEvenThroughAnIndexWithoutPasswords) {
  Save({"IFMUID=bob", "IFMUID1=secret", "Q1=bob's"});
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=bob", "IFMUID1=guess"}), "<none>");
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=bob"}), "<none>");
  EXPECT_EQ(Find({}, {"IFMUID=bob", "IFMUID1=guess"}), "<none>");
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=bob", "IFMUID1=secret"}), "bob's");
}

TEST_F(RecordLookup, SupersededRecordsAreNotFound) {
  dir_.Write("s.asc", "#_SESSION\tIFMUID\tQ1\t\r\n");
  for (const char* q1 : {"one", "two"}) {
    auto vars = Vars({"_SESSION=s1", "IFMUID=bob", std::string("Q1=") + q1});
    int64_t offset = 0;
    ASSERT_EQ(AppendRecord(dir_.File("s.asc"), vars.get(), &offset), ResultCode::kOk);
    SupersedeSession(dir_.File("s.asc"), vars.get());
  }
  EXPECT_EQ(Find({"SAVEDATANAME=s.asc", "IDFIELDS=IFMUID"}, {"IFMUID=bob"}), "two");
  // Mark the live one as well: nothing is left to find.
  std::string text = dir_.Read("s.asc");
  text[text.rfind("\"s1\"")] = '#';
  dir_.Write("s.asc", text);
  EXPECT_EQ(Find({"SAVEDATANAME=s.asc", "IDFIELDS=IFMUID"}, {"IFMUID=bob"}), "<none>");
}

TEST_F(RecordLookup, LoginSequenceNamesTheSources) {
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=found"});
  const std::vector<std::string> bob = {"IFMUID=bob", "IFMUID1=pw"};
  struct Case {
    const char* sequence;
    const char* result;
  } cases[] = {
      {"LOGINSEQUENCE=asc", "found"},      {"LOGINSEQUENCE=ASC", "found"},
      {"LOGINSEQUENCE=XML", "<none>"},     {"LOGINSEQUENCE=ODBC;Asc", "found"},
      {"LOGINSEQUENCE= , ASC", "found"},   {"LOGINSEQUENCE=ASCII", "<none>"},
      {"LOGINSEQUENCE=", "found"},  // empty: the default
  };
  for (const Case& c : cases) EXPECT_EQ(Find({c.sequence}, bob), c.result) << c.sequence;
}

TEST_F(RecordLookup, KeysComeFromIdFields) {
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=found", "_PAGE=p3"});
  auto settings = Vars({"IDFIELDS=Q1 , _PAGE"});
  auto vars = Vars({"Q1=found", "_PAGE=p3"});
  VarTablePtr found = FindRespondentRecord(settings.get(), base_, "demo", vars.get(), 4);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(VarTableGet(found.get(), "IFMUID"), "bob");
  EXPECT_EQ(found->entries.size(), 8u);  // 4 columns and 4 spare slots
  EXPECT_TRUE(VarTableSet(found.get(), "_ACTION", "NEXT"));

  // No ID value given, or no ID field among the columns: nothing is found.
  EXPECT_EQ(Find({}, {"IFMUID=", "Q1=found"}), "<none>");
  EXPECT_EQ(Find({"IDFIELDS=LOGIN,IFMUID1"}, {"LOGIN=bob", "IFMUID1=pw"}), "<none>");
  EXPECT_EQ(Find({"SAVEDATANAME=none.asc"}, {"IFMUID=bob", "IFMUID1=pw"}), "<none>");
}

TEST_F(RecordLookup, BlankLinesDoNotHideLaterRecords) {
  std::string text = dir_.Read("demo.asc");
  dir_.Write("demo.asc", text + "\r\n\"\"\t\"\"\t\"\"\t\"\"\t\r\n");
  Save({"IFMUID=bob", "IFMUID1=pw", "Q1=after the blank"});
  EXPECT_EQ(Find({}, {"IFMUID=bob", "IFMUID1=pw"}), "after the blank");
  EXPECT_EQ(Find({"SAVEINDEXNAME=demo.idx"}, {"IFMUID=bob", "IFMUID1=pw"}), "after the blank");
}

}  // namespace
}  // namespace tallypad
