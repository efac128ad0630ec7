#include "store/record_export.h"

#include <gtest/gtest.h>

#include <string>

#include "base/strbuf.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

TEST(CsvField, QuotesOnlyWhatNeedsQuotes) {
  struct Case {
    std::string value;
    std::string field;
  } cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"a, b", "\"a, b\""},
      {"say \"hi\"", "\"say \"\"hi\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"lf\nonly", "\"lf\nonly\""},
      {" blanks kept ", " blanks kept "},
      {"Zo\xc3\xab", "Zo\xc3\xab"},
      {"bad\xff", "bad\xef\xbf\xbd"},
  };
  for (const Case& c : cases) EXPECT_EQ(CsvField(c.value), c.field) << c.value;
}

TEST(JsonString, EscapesQuotesBackslashesAndControls) {
  struct Case {
    std::string value;
    std::string literal;
  } cases[] = {
      {"plain", "\"plain\""},
      {"say \"hi\" \\o/", "\"say \\\"hi\\\" \\\\o/\""},
      {"tab\there\nnew", "\"tab\\there\\nnew\""},
      {std::string("nul\0bell\a", 9), "\"nul\\u0000bell\\u0007\""},
      {"Zo\xc3\xab", "\"Zo\xc3\xab\""},
      {"bad\xff", "\"bad\xef\xbf\xbd\""},
  };
  for (const Case& c : cases) EXPECT_EQ(JsonString(c.value), c.literal);
}

class ExportRecordsTest : public ::testing::Test {
 protected:
  // Two live records, a superseded one, a blank line and a record shorter
  // than the header.
  void SetUp() override {
    path_ = dir_.Write("answers.asc",
                       "#_SESSION\tNAME\tCOMMENT\t\r\n"
                       "\"s1\"\t\"Ann, B\"\t\"say \"\"hi\"\"\"\t\r\n"
                       "#s2\"\t\"old\"\t\"gone\"\t\r\n"
                       "\r\n"
                       "\"s2\"\t\"Zo\xc3\xab\"\t\r\n");
  }
  std::string Export(ExportFormat format, const RecordFilter& wanted = {}, size_t* count = nullptr) {
    std::unique_ptr<DataFile> data = DataFile::Open(path_, 0);
    EXPECT_TRUE(data);
    StrBuf buffer;
    OutputStream out{.buffer = &buffer};
    const size_t written = ExportRecords(data.get(), wanted, format, &out);
    if (count) *count = written;
    return buffer.ToString();
  }

  testing::TempDir dir_;
  std::string path_;
};

TEST_F(ExportRecordsTest, CsvHasAByteOrderMarkAHeaderAndTheLiveRecords) {
  size_t count = 0;
  EXPECT_EQ(Export(ExportFormat::kCsv, {}, &count),
            "\xEF\xBB\xBF_SESSION,NAME,COMMENT\r\n"
            "s1,\"Ann, B\",\"say \"\"hi\"\"\"\r\n"
            "s2,Zo\xc3\xab,\r\n");
  EXPECT_EQ(count, 2u);
}

TEST_F(ExportRecordsTest, JsonLinesHaveOneObjectPerLiveRecord) {
  EXPECT_EQ(Export(ExportFormat::kJsonLines),
            "{\"_SESSION\":\"s1\",\"NAME\":\"Ann, B\",\"COMMENT\":\"say \\\"hi\\\"\"}\n"
            "{\"_SESSION\":\"s2\",\"NAME\":\"Zo\xc3\xab\",\"COMMENT\":\"\"}\n");
}

TEST_F(ExportRecordsTest, WritesOnlyTheRecordsTheFilterWants) {
  const RecordFilter second = [](const VarTable* record) {
    return VarTableGet(record, "_SESSION") == "s2";
  };
  EXPECT_EQ(Export(ExportFormat::kCsv, second), "\xEF\xBB\xBF_SESSION,NAME,COMMENT\r\ns2,Zo\xc3\xab,\r\n");
}

TEST(ExportFormatNamed, KnowsCsvAndJsonLines) {
  EXPECT_EQ(ExportFormatNamed("CSV"), ExportFormat::kCsv);
  EXPECT_EQ(ExportFormatNamed("jsonl"), ExportFormat::kJsonLines);
  EXPECT_FALSE(ExportFormatNamed("json"));
  EXPECT_EQ(ExportExtension(ExportFormat::kJsonLines), ".jsonl");
}

}  // namespace
}  // namespace tallypad
