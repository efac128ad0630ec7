#include "cgi/kqs/xmlfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::TempDir;

VarTablePtr Vars(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

TEST(XmlTransactionText, GroupsRowsAndEscapesValues) {
  struct Case {
    const char* name;
    std::vector<std::string> vars;
    std::string text;
  } cases[] = {
      {"grid rows",
       {"Q1=yes", "ROW_1_price=3", "ROW_1_qty=2", "ROW_2_price=5", "Q9=no"},
       "<TRANSACTION><Q1>yes</Q1>\r\n"
       "<ROW id=\"1\">\r\n<price>3</price>\r\n<qty>2</qty>\r\n</ROW>\r\n"
       "<ROW id=\"2\">\r\n<price>5</price>\r\n</ROW>\r\n"
       "<Q9>no</Q9>\r\n</TRANSACTION>\r\n"},
      {"no digit after the underscore", {"ROW_x_a=1"}, "<TRANSACTION><ROW_x_a>1</ROW_x_a>\r\n</TRANSACTION>\r\n"},
      {"last variable a row",
       {"A=1", "G_12_f=v"},
       "<TRANSACTION><A>1</A>\r\n<G id=\"12\">\r\n<f>v</f>\r\n</G>\r\n</TRANSACTION>\r\n"},
      {"group compared without case",
       {"row_1_a=1", "ROW_1_b=2"},
       "<TRANSACTION><row id=\"1\">\r\n<a>1</a>\r\n<b>2</b>\r\n</row>\r\n</TRANSACTION>\r\n"},
      {"row reopened after another answer",
       {"R_1_a=1", "Q=x", "R_1_b=2"},
       "<TRANSACTION><R id=\"1\">\r\n<a>1</a>\r\n</R>\r\n<Q>x</Q>\r\n"
       "<R id=\"1\">\r\n<b>2</b>\r\n</R>\r\n</TRANSACTION>\r\n"},
      {"engine variables left out",
       {"_SESSION=s", "_PAGE=2", "HOST=h"},
       "<TRANSACTION><HOST>h</HOST>\r\n</TRANSACTION>\r\n"},
      {"escaping", {"A=a<b & c>d \"q\" 'r'"},
       "<TRANSACTION><A>a&lt;b &amp; c&gt;d \"q\" 'r'</A>\r\n</TRANSACTION>\r\n"},
      {"line breaks and control bytes",
       {"A=one\r\ntwo\nthree\rfour\x01\tend"},
       "<TRANSACTION><A>one\r\ntwo\r\nthree\r\nfour\tend</A>\r\n</TRANSACTION>\r\n"},
      {"empty value", {"A="}, "<TRANSACTION><A></A>\r\n</TRANSACTION>\r\n"},
      {"nothing to write", {}, "<TRANSACTION></TRANSACTION>\r\n"},
  };
  for (const Case& c : cases) {
    auto vars = Vars(c.vars);
    EXPECT_EQ(XmlTransactionText(vars.get()), c.text) << c.name;
  }
}

TEST(XmlTransactionText, VariablesOfChainedBlocksAreIncluded) {
  auto vars = Vars({"A=1"});
  VarTableSetGrow(vars.get(), "B", "2");
  EXPECT_EQ(XmlTransactionText(vars.get()),
            "<TRANSACTION><A>1</A>\r\n<B>2</B>\r\n</TRANSACTION>\r\n");
}

TEST(XmlAppendTransaction, AppendsToAnExistingFileOnly) {
  TempDir dir;
  auto vars = Vars({"A=1"});
  int64_t offset = -1;
  EXPECT_EQ(XmlAppendTransaction(vars.get(), dir.File("none.xml"), &offset), kXmlCannotWrite);
  EXPECT_FALSE(FileExists(dir.File("none.xml")));
  EXPECT_EQ(XmlAppendTransaction(vars.get(), dir.path(), &offset), kXmlCannotWrite);

  std::string path = dir.Write("t.xml", "");
  ASSERT_EQ(XmlAppendTransaction(vars.get(), path, &offset), 0);
  EXPECT_EQ(offset, 0);
  ASSERT_EQ(XmlAppendTransaction(vars.get(), path, &offset), 0);
  std::string one = XmlTransactionText(vars.get());
  EXPECT_EQ(offset, static_cast<int64_t>(one.size()));
  EXPECT_EQ(dir.Read("t.xml"), one + one);

  // A transaction cut short earlier is ended before the next one starts.
  path = dir.Write("cut.xml", "<TRANSACTION><A>1");
  ASSERT_EQ(XmlAppendTransaction(vars.get(), path, &offset), 0);
  EXPECT_EQ(offset, 19);
  EXPECT_EQ(dir.Read("cut.xml"), "<TRANSACTION><A>1\r\n" + one);
}

}  // namespace
}  // namespace tallypad
