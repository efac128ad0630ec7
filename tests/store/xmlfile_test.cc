#include "store/xmlfile.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "support/result_code_print.h"
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

TEST(XmlElementName, KeepsValidNamesAndMendsOthers) {
  struct Case {
    const char* what;
    std::string name;
    std::string element;
  } cases[] = {
      {"plain", "Q1", "Q1"},
      {"name punctuation", "a.b-c_d", "a.b-c_d"},
      {"letters beyond ASCII", "gr\xc3\xb6\xc3\x9f" "e", "gr\xc3\xb6\xc3\x9f" "e"},
      {"ideographs", "\xe5\x90\x8d\xe5\x89\x8d", "\xe5\x90\x8d\xe5\x89\x8d"},
      {"a mark after a letter", "a\xcc\x80", "a\xcc\x80"},
      {"tags to forge a transaction", "X></TRANSACTION><TRANSACTION>",
       "X___TRANSACTION__TRANSACTION_"},
      {"quotes and equals", "a\"b'c=d", "a_b_c_d"},
      {"blanks", " a b ", "_a_b_"},
      {"namespace colon", "ns:tag", "ns_tag"},
      {"ampersand and semicolon", "&amp;", "_amp_"},
      {"leading digit", "1st", "_1st"},
      {"leading hyphen", "-x", "_-x"},
      {"leading dot", ".x", "_.x"},
      {"leading digit of another script", "\xd9\xa3x", "_\xd9\xa3x"},
      {"leading mark", "\xcc\x80x", "_\xcc\x80x"},
      {"empty", "", "_"},
      {"nothing but a bad character", "<", "_"},
      {"control bytes", std::string("a\x01\t\r\n\x7f\0b", 8), "a______b"},
      {"stray continuation byte", "a\x80" "b", "a_b"},
      {"byte that never begins UTF-8", "a\xff", "a_"},
      {"cut sequence", "a\xe5\x90", "a__"},
      {"overlong slash", "a\xc0\xaf", "a__"},
      {"surrogate", "a\xed\xa0\x80", "a___"},
      {"past U+10FFFF", "a\xf4\x90\x80\x80", "a____"},
      {"UTF-8 but no name character: one _ per character", "a\xc3\x97" "b", "a_b"},
      {"character beyond U+FFFF", "a\xf0\x9f\x98\x80", "a_"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(XmlElementName(c.name), c.element) << c.what;
    EXPECT_EQ(XmlElementName(c.element), c.element) << c.what << ": a mended name stays";
  }
}

TEST(XmlTransactionText, MendedNamesKeepTheOriginalInAnAttribute) {
  struct Case {
    const char* what;
    std::vector<std::string> vars;
    std::string text;
  } cases[] = {
      {"no transaction can be forged",
       {"X></TRANSACTION><TRANSACTION><Y=v"},
       "<TRANSACTION><X___TRANSACTION__TRANSACTION__Y "
       "name=\"X&gt;&lt;/TRANSACTION&gt;&lt;TRANSACTION&gt;&lt;Y\">v"
       "</X___TRANSACTION__TRANSACTION__Y>\r\n</TRANSACTION>\r\n"},
      {"attribute escaping",
       {"a\"&'\t\r\n\x01\xff=v"},
       "<TRANSACTION><a________ name=\"a&quot;&amp;'&#9;&#13;&#10;\xef\xbf\xbd\xef\xbf\xbd\">v"
       "</a________>\r\n</TRANSACTION>\r\n"},
      {"valid names around a mended one",
       {"A=1", "2B=2", "C=3"},
       "<TRANSACTION><A>1</A>\r\n<_2B name=\"2B\">2</_2B>\r\n<C>3</C>\r\n</TRANSACTION>\r\n"},
      {"grid row with a mended group and fields",
       {"1 x_2_a b=v", "1 x_2_ok=w", "1 x_2_=e"},
       "<TRANSACTION><_1_x name=\"1 x\" id=\"2\">\r\n<a_b name=\"a b\">v</a_b>\r\n"
       "<ok>w</ok>\r\n<_ name=\"\">e</_>\r\n</_1_x>\r\n</TRANSACTION>\r\n"},
      {"grid row group that only needed a prefix",
       {"9_1_a=v"},
       "<TRANSACTION><_9 name=\"9\" id=\"1\">\r\n<a>v</a>\r\n</_9>\r\n</TRANSACTION>\r\n"},
  };
  for (const Case& c : cases) {
    auto vars = Vars(c.vars);
    EXPECT_EQ(XmlTransactionText(vars.get()), c.text) << c.what;
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
  EXPECT_EQ(XmlAppendTransaction(vars.get(), dir.File("none.xml"), &offset),
            ResultCode::kAnswersNotWritten);
  EXPECT_FALSE(FileExists(dir.File("none.xml")));
  EXPECT_EQ(XmlAppendTransaction(vars.get(), dir.path(), &offset), ResultCode::kAnswersNotWritten);

  std::string path = dir.Write("t.xml", "");
  ASSERT_EQ(XmlAppendTransaction(vars.get(), path, &offset), ResultCode::kOk);
  EXPECT_EQ(offset, 0);
  ASSERT_EQ(XmlAppendTransaction(vars.get(), path, &offset), ResultCode::kOk);
  std::string one = XmlTransactionText(vars.get());
  EXPECT_EQ(offset, static_cast<int64_t>(one.size()));
  EXPECT_EQ(dir.Read("t.xml"), one + one);

  // A transaction cut short earlier is ended before the next one starts.
  path = dir.Write("cut.xml", "<TRANSACTION><A>1");
  ASSERT_EQ(XmlAppendTransaction(vars.get(), path, &offset), ResultCode::kOk);
  EXPECT_EQ(offset, 19);
  EXPECT_EQ(dir.Read("cut.xml"), "<TRANSACTION><A>1\r\n" + one);
}

}  // namespace
}  // namespace tallypad
