#include "store/datafile_write.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "base/decode.h"
#include "store/datafile.h"
#include "support/file_size_limit.h"
#include "support/result_code_print.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::ReadFileText;
using testing::TempDir;
using testing::WithFileSizeLimit;

VarTablePtr Vars(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

// Every ordinary record of the file, as the values of its columns.
std::vector<std::vector<std::string>> LiveRecords(const std::string& path) {
  std::vector<std::vector<std::string>> out;
  auto df = DataFile::Open(path, 0);
  if (!df) return out;
  while (df->ReadWhere({})) {
    std::vector<std::string> row;
    for (size_t i = 0; i < df->column_count(); ++i)
      row.push_back(df->columns()->entries[i].value.value_or("<none>"));
    out.push_back(row);
  }
  return out;
}

TEST(DataRecordLine, WritesEveryColumnQuotedWithItsTab) {
  auto columns = VarTableFromPairs({"_SESSION", "Q1", "colour", "Q3", "EMPTY"}, 0);
  auto vars = Vars({"HOST=h", "_SESSION=s1", "COLOUR=red", "q1=say \"hi\"", "colour=blue",
                    "Q3=two\r\nlines\tand tab", "colour=", "EMPTY="});
  EXPECT_EQ(DataRecordLine(columns.get(), vars.get()),
            "\"s1\"\t\"say \"\"hi\"\"\"\t\"red,blue\"\t\"two lines and tab\"\t\"\"\t\r\n");
}

TEST(AppendRecord, ValuesReadBackAsStored) {
  struct Case {
    const char* name;
    std::vector<std::string> vars;
    std::string stored;  // what Q1 reads back as
  } cases[] = {
      {"doubled quotes", {"Q1=say \"hi\""}, "say \"hi\""},
      {"only quotes", {"Q1=\"\""}, "\"\""},
      {"leading quote", {"Q1=\"x"}, "\"x"},
      {"commas", {"Q1=a, b,c"}, "a, b,c"},
      {"empty", {"Q1="}, ""},
      {"missing", {"OTHER=1"}, ""},
      // Each line break of a text area becomes one blank, whatever its kind.
      {"CR LF", {"Q1=line one\r\nline two"}, "line one line two"},
      {"lone LF", {"Q1=line one\nline two"}, "line one line two"},
      {"lone CR", {"Q1=line one\rline two"}, "line one line two"},
      {"LF CR is two breaks", {"Q1=a\n\rb"}, "a  b"},
      {"break at the end", {"Q1=last\r\n"}, "last "},
      {"tab becomes a blank", {"Q1=a\tb"}, "a b"},
      {"check-box group", {"Q1=red", "Q2=x", "q1=", "Q1=blue"}, "red,blue"},
      {"hash first", {"Q1=#1"}, "#1"},
      {"utf-8 bytes", {"Q1=gr\xC3\xBC\xC3\x9F"}, "gr\xC3\xBC\xC3\x9F"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    std::string path = dir.Write("d.asc", "#Q1\tQ2\t\r\n");
    // Q2 keeps each record from being all empty.
    std::vector<std::string> pairs = c.vars;
    pairs.push_back("Q2=z");
    auto vars = Vars(pairs);
    int64_t offset = -1;
    ASSERT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kOk) << c.name;
    EXPECT_EQ(offset, 9) << c.name;
    auto records = LiveRecords(path);
    ASSERT_EQ(records.size(), 1u) << c.name;
    EXPECT_EQ(records[0][0], c.stored) << c.name;
  }
}

TEST(AppendRecord, OffsetIsWhereTheRecordStarts) {
  TempDir dir;
  std::string header = "#_SESSION\tQ1\t\r\n";
  std::string path = dir.Write("d.asc", header);
  const std::vector<std::string> answers = {"one", "two", "three"};
  std::vector<int64_t> offsets;
  for (const std::string& q : answers) {
    auto vars = Vars({"Q1=" + q});
    int64_t offset = 0;
    ASSERT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kOk);
    offsets.push_back(offset);
  }
  EXPECT_EQ(offsets[0], static_cast<int64_t>(header.size()));
  auto df = DataFile::Open(path, 0);
  for (size_t i = 0; i < offsets.size(); ++i) {
    ASSERT_TRUE(df->Seek(offsets[i]));
    EXPECT_EQ(df->ReadNext(), kLineRecord);
    EXPECT_EQ(VarTableGet(df->columns(), "Q1"), answers[i]);
  }
  EXPECT_EQ(df->ReadNext(), kLineEnd);
}

TEST(AppendRecord, EndsACutShortLastLineFirst) {
  TempDir dir;
  std::string path = dir.Write("d.asc", "#A\tB\t\r\n\"x\"\t\"cut");
  auto vars = Vars({"A=1", "B=2"});
  int64_t offset = 0;
  ASSERT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kOk);
  EXPECT_EQ(dir.Read("d.asc"), "#A\tB\t\r\n\"x\"\t\"cut\r\n\"1\"\t\"2\"\t\r\n");
  EXPECT_EQ(offset, 17);
  EXPECT_EQ(LiveRecords(path), (std::vector<std::vector<std::string>>{{"x", "cut"}, {"1", "2"}}));
}

TEST(AppendRecord, MissingFileOrHeaderGivesTwoAndCreatesNothing) {
  TempDir dir;
  auto vars = Vars({"A=1"});
  int64_t offset = 0;
  EXPECT_EQ(AppendRecord(dir.File("none.asc"), vars.get(), &offset), ResultCode::kFormFileMissing);
  EXPECT_FALSE(FileExists(dir.File("none.asc")));
  std::string path = dir.Write("d.asc", "#A\tB");  // no line feed: no header
  EXPECT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kFormFileMissing);
  EXPECT_EQ(dir.Read("d.asc"), "#A\tB");
}

TEST(AppendRecord, UnwritableFileGivesSix) {
  if (geteuid() == 0) GTEST_SKIP() << "file permissions do not bind root";
  TempDir dir;
  std::string path = dir.Write("d.asc", "#A\t\r\n");
  chmod(path.c_str(), 0444);
  auto vars = Vars({"A=1"});
  int64_t offset = 0;
  EXPECT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kAnswersNotWritten);
  EXPECT_EQ(dir.Read("d.asc"), "#A\t\r\n");
}

TEST(AppendRecord, FailedWriteLeavesNoPartialRecord) {
  TempDir dir;
  std::string header = "#A\t\r\n";
  std::string path = dir.Write("d.asc", header);
  auto vars = Vars({"A=" + std::string(4000, 'v')});
  // A file size limit a little past the header cuts the write short.
  int64_t offset = -1;
  ResultCode rc = ResultCode::kOk;
  WithFileSizeLimit(header.size() + 100, [&] { rc = AppendRecord(path, vars.get(), &offset); });
  EXPECT_EQ(rc, ResultCode::kAnswersNotWritten);
  EXPECT_EQ(offset, -1);
  EXPECT_EQ(dir.Read("d.asc"), header);
}

TEST(AppendRecord, ConcurrentWritersGetTheirOwnOffsets) {
  TempDir dir;
  std::string path = dir.Write("d.asc", "#W\tN\tPAD\t\r\n");
  constexpr int kWriters = 4, kEach = 20;
  std::vector<std::vector<int64_t>> offsets(kWriters);
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int n = 0; n < kEach; ++n) {
        auto vars = Vars({"W=" + std::to_string(w), "N=" + std::to_string(n),
                          "PAD=" + std::string(3000 + 100 * w, 'a' + w)});
        int64_t offset = -1;
        if (AppendRecord(path, vars.get(), &offset) == ResultCode::kOk) offsets[w].push_back(offset);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(LiveRecords(path).size(), static_cast<size_t>(kWriters * kEach));
  auto df = DataFile::Open(path, 0);
  for (int w = 0; w < kWriters; ++w) {
    ASSERT_EQ(offsets[w].size(), static_cast<size_t>(kEach));
    for (int n = 0; n < kEach; ++n) {
      ASSERT_TRUE(df->Seek(offsets[w][n]));
      ASSERT_EQ(df->ReadNext(), kLineRecord);
      EXPECT_EQ(VarTableGet(df->columns(), "W"), std::to_string(w));
      EXPECT_EQ(VarTableGet(df->columns(), "N"), std::to_string(n));
      EXPECT_EQ(VarTableGet(df->columns(), "PAD"), std::string(3000 + 100 * w, 'a' + w));
    }
  }
}

TEST(IndexEntry, OffsetIsWrittenBareUnderPos) {
  auto columns = VarTableFromPairs({"IFMUID", "_POS"}, 0);
  auto vars = Vars({"ifmuid=bob", "IFMUID=other"});
  EXPECT_EQ(IndexEntryLine(columns.get(), vars.get(), 1234), "\"bob\"\t1234\n");
  auto quoted = Vars({"IFMUID=a\"b\tc"});
  EXPECT_EQ(IndexEntryLine(columns.get(), quoted.get(), 7), "\"a\"\"b c\"\t7\n");
  // Only the column named exactly _POS holds the offset.
  auto other = VarTableFromPairs({"_pos", "IFMUID", "_POS"}, 0);
  EXPECT_EQ(IndexEntryLine(other.get(), vars.get(), 5), "\"\"\t\"bob\"\t5\n");
}

TEST(IndexEntry, AppendsToAnExistingIndexOnly) {
  TempDir dir;
  std::string path = dir.Write("d.idx", "#IFMUID\t_POS\n");
  auto vars = Vars({"IFMUID=bob"});
  EXPECT_EQ(AppendIndexEntry(path, vars.get(), 1234), ResultCode::kOk);
  EXPECT_EQ(AppendIndexEntry(path, vars.get(), 0), ResultCode::kOk);  // no offset: nothing written
  EXPECT_EQ(dir.Read("d.idx"), "#IFMUID\t_POS\n\"bob\"\t1234\n");
  auto df = DataFile::Open(path, 0);
  ASSERT_TRUE(df->ReadMatching(vars.get()));
  EXPECT_EQ(VarTableGet(df->columns(), "_POS"), "1234");

  EXPECT_EQ(AppendIndexEntry(dir.File("none.idx"), vars.get(), 99), ResultCode::kFormFileMissing);
  EXPECT_FALSE(FileExists(dir.File("none.idx")));
}

TEST(SupersedeSession, EarlierRecordsOfTheSessionAreMarked) {
  TempDir dir;
  std::string path = dir.Write("d.asc", "#_SESSION\tQ1\t\r\n");
  auto save = [&](const char* session, const char* q1) {
    auto vars = Vars({std::string("_SESSION=") + session, std::string("Q1=") + q1});
    int64_t offset = 0;
    EXPECT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kOk);
    return SupersedeSession(path, vars.get());
  };
  EXPECT_EQ(save("s1", "first"), 0);
  EXPECT_EQ(save("other", "keep"), 0);
  EXPECT_EQ(save("s1", "second"), 1);
  uint64_t size_before = FileSize(path);
  EXPECT_EQ(save("s1", "third"), 1);  // the first was marked already
  EXPECT_EQ(FileSize(path) - size_before, std::string("\"s1\"\t\"third\"\t\r\n").size());

  EXPECT_EQ(dir.Read("d.asc"),
            "#_SESSION\tQ1\t\r\n"
            "#s1\"\t\"first\"\t\r\n"
            "\"other\"\t\"keep\"\t\r\n"
            "#s1\"\t\"second\"\t\r\n"
            "\"s1\"\t\"third\"\t\r\n");
  EXPECT_EQ(LiveRecords(path),
            (std::vector<std::vector<std::string>>{{"other", "keep"}, {"s1", "third"}}));
}

TEST(SupersedeSession, TheMapOfSessionsFollowsChangesBehindItsBack) {
  // Saves as the survey engine makes them: the record appended, then the
  // session's earlier records marked, the map told where the new one is.
  struct Change {
    const char* what;
    std::function<void(const std::string& path)> made;  // by another program, between saves
  };
  const Change changes[] = {
      {"nothing", [](const std::string&) {}},
      {"a record of the session appended",
       [](const std::string& path) {
         std::FILE* f = std::fopen(path.c_str(), "ab");
         std::fputs("\"s1\"\t\"theirs\"\t\r\n", f);
         std::fclose(f);
       }},
      {"the session's record marked in place",
       [](const std::string& path) {
         std::string text = ReadFileText(path);
         text[text.rfind("\n\"s1\"") + 1] = '#';
         std::FILE* f = std::fopen(path.c_str(), "r+b");
         std::fwrite(text.data(), 1, text.size(), f);
         std::fclose(f);
       }},
      {"the file replaced by a copy",
       [](const std::string& path) {
         std::string text = ReadFileText(path);
         std::remove(path.c_str());
         std::FILE* f = std::fopen(path.c_str(), "wb");
         std::fwrite(text.data(), 1, text.size(), f);
         std::fclose(f);
       }},
  };
  for (const Change& change : changes) {
    TempDir dir;
    std::string path = dir.Write("d.asc", "#_SESSION\tQ1\t\r\n");
    auto save = [&](const char* session, const char* q1) {
      auto vars = Vars({std::string("_SESSION=") + session, std::string("Q1=") + q1});
      int64_t offset = -1;
      EXPECT_EQ(AppendRecord(path, vars.get(), &offset), ResultCode::kOk);
      return SupersedeSession(path, vars.get(), nullptr, offset);
    };
    save("s1", "first");
    save("other", "keep");
    change.made(path);
    save("s1", "second");
    // Exactly one live record of the session is left, the last saved.
    std::vector<std::string> live;
    for (const auto& record : LiveRecords(path))
      if (record[0] == "s1") live.push_back(record[1]);
    EXPECT_EQ(live, std::vector<std::string>{"second"}) << change.what;
    EXPECT_EQ(LiveRecords(path).size(), 2u) << change.what;
  }
}

TEST(SupersedeSession, NothingIsMarkedWithoutASessionOrItsColumn) {
  TempDir dir;
  std::string content = "#IFMUID\tQ1\t\r\n\"bob\"\t\"1\"\t\r\n\"bob\"\t\"2\"\t\r\n";
  std::string path = dir.Write("d.asc", content);
  auto vars = Vars({"_SESSION=s1", "IFMUID=bob"});
  EXPECT_EQ(SupersedeSession(path, vars.get()), 0);
  EXPECT_EQ(dir.Read("d.asc"), content);

  std::string with_column = "#_SESSION\tQ1\t\r\n\"\"\t\"1\"\t\r\n\"\"\t\"2\"\t\r\n";
  path = dir.Write("s.asc", with_column);
  auto no_session = Vars({"_SESSION=", "Q1=2"});
  EXPECT_EQ(SupersedeSession(path, no_session.get()), 0);
  EXPECT_EQ(dir.Read("s.asc"), with_column);

  EXPECT_EQ(SupersedeSession(dir.File("none.asc"), vars.get()), -1);
}

}  // namespace
}  // namespace tallypad
