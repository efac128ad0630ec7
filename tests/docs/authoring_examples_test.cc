// The examples of the survey author's guide (docs/authoring.md) are run
// through the template processor and must write exactly what the guide says
// they write. An example is a fenced block with the info string "template"
// (optionally "template formfill", which turns on form-field rewriting):
// optional variable lines NAME=value, a line "---", then the page text. It is
// followed at once by a block "output" holding the exact output. Blocks
// "file NAME" before the example are written into the folder the page is
// resolved against (data files, statistics files, included pages); a file
// stays there for every later example, until a block of the same name
// replaces it. Block contents are their lines joined by line feeds, without
// a final one (files get a final line feed).
//
// Two more kinds of example are checked the same way. A block "answers"
// holds a page's fields, a line "---" and one case of answers per line
// (NAME=value pairs joined by "&", or "(nothing)"); optional settings lines
// KEY=value and a line "---" may come first. Its output holds one line per
// case: the case, ": " and the warning the answer checks leave, or
// "accepted". A block "export FORMAT FILE" holds a list query (or nothing)
// and is followed by what exporting the data file FILE (a "file" block)
// writes; the output shows the export without its byte order mark and
// with its CR LF line ends as line feeds.
//
// The guide's walkthrough (section 17) shows every file of a small survey
// as a block "walkthrough NAME". Those files are written into a fresh server
// root, which `tallypad check` must find clean, and which the real program
// serves while a respondent answers the survey and the team reads its
// results; the example output of `tallypad check` in section 18 is what the
// check prints for the walkthrough with the two mistakes it describes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "base/strbuf.h"
#include "base/vartable.h"
#include "base/output_stream.h"
#include "cgi/kqs/answer_checks.h"
#include "cgi/list/list_export.h"
#include "script/page_fields.h"
#include "script/template.h"
#include "support/html_form.h"
#include "support/served_root.h"
#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

constexpr std::string_view kGuide = "docs/authoring.md";
// Free entries of the variable table, as a request brings them.
constexpr size_t kFreeVariables = 64;

struct Block {
  std::string info;
  std::string content;  // lines joined by "\n", no final line feed
  int line = 0;         // line of the opening fence, counted from 1
};

enum class ExampleKind { kTemplate, kAnswers, kExport };

struct Example {
  int line = 0;
  ExampleKind kind = ExampleKind::kTemplate;
  std::string info;  // the block's info string
  bool formfill = false;
  std::vector<std::pair<std::string, std::string>> vars;
  std::string page;
  std::string expected;
  std::vector<Block> files;  // info "file NAME", in the order met; later ones win
};

std::string FirstWord(std::string_view info) {
  size_t end = info.find(' ');
  return std::string(info.substr(0, end));
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    at = end + 1;
  }
  return lines;
}

// Every fenced block of the guide (fences of three or more backticks).
std::vector<Block> ReadBlocks(const std::string& text, std::string* error) {
  std::vector<Block> blocks;
  std::vector<std::string> lines = SplitLines(text);
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    size_t ticks = 0;
    while (ticks < line.size() && line[ticks] == '`') ++ticks;
    if (ticks < 3) continue;
    Block b;
    b.info = std::string(Trim(line.substr(ticks)));
    b.line = static_cast<int>(i + 1);
    bool closed = false;
    std::vector<std::string> body;
    for (++i; i < lines.size(); ++i) {
      std::string_view t = Trim(lines[i]);
      if (t.size() >= ticks && t.find_first_not_of('`') == std::string_view::npos) {
        closed = true;
        break;
      }
      body.push_back(lines[i]);
    }
    if (!closed) {
      *error = "the block at line " + std::to_string(b.line) + " is not closed";
      return blocks;
    }
    for (size_t k = 0; k < body.size(); ++k) {
      if (k) b.content.push_back('\n');
      b.content += body[k];
    }
    blocks.push_back(std::move(b));
  }
  return blocks;
}

// What follows the word "template" in a block's info string.
std::string_view TemplateOptions(std::string_view info) { return Trim(info.substr(8)); }

// Splits a template block into its variable lines and its page text.
void ReadTemplate(const Block& b, Example* ex) {
  std::vector<std::string> lines = SplitLines(b.content);
  size_t rule = lines.size();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (lines[i] == "---") {
      rule = i;
      break;
    }
  }
  bool all_vars = rule < lines.size();
  for (size_t i = 0; all_vars && i < rule; ++i) {
    size_t eq = lines[i].find('=');
    all_vars = eq != std::string::npos && eq > 0 && lines[i].find(' ') > eq;
  }
  size_t first_page_line = 0;
  if (all_vars) {
    for (size_t i = 0; i < rule; ++i) {
      size_t eq = lines[i].find('=');
      ex->vars.emplace_back(lines[i].substr(0, eq), lines[i].substr(eq + 1));
    }
    first_page_line = rule + 1;
  }
  for (size_t i = first_page_line; i < lines.size(); ++i) {
    if (i > first_page_line) ex->page.push_back('\n');
    ex->page += lines[i];
  }
  ex->formfill = TemplateOptions(b.info) == "formfill";
}

// Pairs template and output blocks; every example gets the files shown
// before it.
std::vector<Example> ReadExamples(const std::vector<Block>& blocks, std::string* error) {
  std::vector<Example> examples;
  std::vector<Block> files;
  for (size_t i = 0; i < blocks.size(); ++i) {
    const std::string kind = FirstWord(blocks[i].info);
    const std::string at = " (line " + std::to_string(blocks[i].line) + ")";
    if (kind == "file") {
      if (Trim(std::string_view(blocks[i].info).substr(4)).empty()) {
        *error = "a file block names no file" + at;
        return examples;
      }
      files.push_back(blocks[i]);
    } else if (kind == "output") {
      *error = "an output block follows no template block" + at;
      return examples;
    } else if (kind == "template" || kind == "answers" || kind == "export") {
      if (i + 1 >= blocks.size() || FirstWord(blocks[i + 1].info) != "output") {
        *error = "a " + kind + " block is not followed by an output block" + at;
        return examples;
      }
      Example ex;
      ex.line = blocks[i].line;
      ex.info = blocks[i].info;
      if (kind == "template") {
        std::string_view options = TemplateOptions(blocks[i].info);
        if (!options.empty() && options != "formfill") {
          *error = "a template block has the unknown option " + std::string(options) + at;
          return examples;
        }
        ReadTemplate(blocks[i], &ex);
      } else {
        ex.kind = kind == "answers" ? ExampleKind::kAnswers : ExampleKind::kExport;
        ex.page = blocks[i].content;
      }
      ex.expected = blocks[i + 1].content;
      ex.files = files;
      examples.push_back(std::move(ex));
      ++i;
    }
  }
  if (!files.empty() && (examples.empty() || files.back().line > examples.back().line))
    *error = "a file block belongs to no example (line " + std::to_string(files.back().line) +
             ")";
  return examples;
}

std::vector<Example> LoadExamples(std::string* error) {
  std::string text =
      testing::ReadFileText(std::string(TALLYPAD_SOURCE_DIR) + "/" + std::string(kGuide));
  if (text.empty()) {
    *error = "cannot read " + std::string(kGuide);
    return {};
  }
  std::vector<Block> blocks = ReadBlocks(text, error);
  if (!error->empty()) return {};
  return ReadExamples(blocks, error);
}

// The warnings the answer checks leave for each case of an "answers" block.
std::string RunAnswersExample(const Example& ex) {
  std::vector<std::string> sections(1);
  for (const std::string& line : SplitLines(ex.page)) {
    if (line == "---") {
      sections.emplace_back();
    } else {
      sections.back() += line + "\n";
    }
  }
  if (sections.size() < 2 || sections.size() > 3) return "(not settings, fields and cases)";
  const bool has_settings = sections.size() == 3;
  VarTablePtr settings =
      VarTableFromPairs(has_settings ? SplitLines(sections[0]) : std::vector<std::string>{}, 4);
  const std::vector<PageField> fields = PageFields(sections[has_settings ? 1 : 0]);
  std::string out;
  for (const std::string& answers : SplitLines(sections.back())) {
    std::vector<std::string> pairs;
    if (answers != "(nothing)") {
      for (size_t at = 0; at <= answers.size();) {
        size_t amp = answers.find('&', at);
        if (amp == std::string::npos) amp = answers.size();
        pairs.push_back(answers.substr(at, amp - at));
        at = amp + 1;
      }
    }
    VarTablePtr vars = VarTableFromPairs(pairs, kFreeVariables);
    const std::vector<AnswerProblem> problems = CheckAnswers(fields, vars.get(), settings.get());
    SetAnswerWarnings(vars.get(), problems);
    if (!out.empty()) out += "\n";
    out += answers + ": " + (problems.empty() ? "accepted" : VarTableGet(vars.get(), "_PAGEWARN"));
  }
  return out;
}

// What an "export FORMAT FILE" block's export writes, as the guide shows it.
std::string RunExportExample(const Example& ex, const testing::TempDir& dir) {
  std::vector<std::string> words;
  for (size_t at = 0; at < ex.info.size();) {
    size_t blank = ex.info.find(' ', at);
    if (blank == std::string::npos) blank = ex.info.size();
    if (blank > at) words.push_back(ex.info.substr(at, blank - at));
    at = blank + 1;
  }
  if (words.size() != 3 || !ExportFormatNamed(words[1])) return "(not export FORMAT FILE)";
  std::unique_ptr<DataFile> data = DataFile::Open(dir.File(words[2]), 0);
  if (!data) return "(the data file could not be opened)";
  StrBuf buffer;
  OutputStream out{nullptr, nullptr, &buffer};
  ListExportRecords(data.get(), ex.page, *ExportFormatNamed(words[1]), &out);
  std::string text = buffer.ToString();
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  std::string shown;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) shown += text[i];
  if (!shown.empty() && shown.back() == '\n') shown.pop_back();
  return shown;
}

std::string RunExample(const Example& ex) {
  if (ex.kind == ExampleKind::kAnswers) return RunAnswersExample(ex);
  testing::TempDir dir;
  for (const Block& f : ex.files) {
    std::string name(Trim(std::string_view(f.info).substr(4)));
    dir.Write(name, f.content + "\n");
  }
  if (ex.kind == ExampleKind::kExport) return RunExportExample(ex, dir);
  const std::string page_path = dir.Write("page.html", ex.page);
  // As a request brings them: free entries, then the fields in order (a
  // name met twice, as a group of check boxes posts it, stays twice).
  std::vector<std::string> pairs;
  for (const auto& [name, value] : ex.vars) pairs.push_back(name + "=" + value);
  VarTablePtr vars = VarTableFromPairs(pairs, kFreeVariables);

  StrBuf buffer;
  OutputStream out{nullptr, nullptr, &buffer};
  const TemplateRun run{
      .base_path = page_path, .out = &out, .vars = vars.get(), .formfill = ex.formfill};
  if (!TemplateProcessFile(page_path, run)) return "(the page could not be opened)";
  return buffer.ToString();
}

TEST(AuthoringGuideExamples, BlocksFormPairs) {
  std::string error;
  std::vector<Example> examples = LoadExamples(&error);
  EXPECT_EQ(error, "");
  EXPECT_FALSE(examples.empty()) << "the guide holds no checked examples";
}

TEST(AuthoringGuideExamples, EveryExampleWritesItsOutput) {
  std::string error;
  std::vector<Example> examples = LoadExamples(&error);
  ASSERT_EQ(error, "");
  for (const Example& ex : examples) {
    EXPECT_EQ(RunExample(ex), ex.expected)
        << "the example at " << kGuide << " line " << ex.line << " writes something else";
  }
}

// ---- The walkthrough -------------------------------------------------------

using testing::FormFields;
using testing::HttpGet;
using testing::HttpResponse;
using testing::PressButton;

// The files of the walkthrough, in the order the guide shows them.
std::vector<std::pair<std::string, std::string>> WalkthroughFiles(std::string* error) {
  std::string text =
      testing::ReadFileText(std::string(TALLYPAD_SOURCE_DIR) + "/" + std::string(kGuide));
  std::vector<std::pair<std::string, std::string>> files;
  for (const Block& b : ReadBlocks(text, error)) {
    if (FirstWord(b.info) != "walkthrough") continue;
    files.emplace_back(std::string(Trim(std::string_view(b.info).substr(11))), b.content + "\n");
  }
  return files;
}

// The lines of the "text" block of the guide that follows the line holding
// `lead`.
std::vector<std::string> GuideBlockAfter(std::string_view lead) {
  std::string text =
      testing::ReadFileText(std::string(TALLYPAD_SOURCE_DIR) + "/" + std::string(kGuide));
  std::string error;
  const size_t at = text.find(lead);
  if (at == std::string::npos) return {};
  const int line = 1 + static_cast<int>(std::count(text.begin(), text.begin() + at, '\n'));
  for (const Block& b : ReadBlocks(text, &error))
    if (b.line > line && FirstWord(b.info) == "text") return SplitLines(b.content);
  return {};
}

// Runs "tallypad check ROOT"; returns the exit status and fills `lines`.
int RunCheck(const std::string& root, std::vector<std::string>* lines) {
  testing::TempDir registry;
  testing::ServerProcess program;
  testing::ServerProcess::Options options;
  options.args = {"check"};
  options.server_root = root;
  options.registry = registry.path();
  if (!program.Start(options)) return -1;
  const int status = program.WaitExit(60000).value_or(-1);
  *lines = SplitLines(program.Output());
  return status;
}

class AuthoringGuideWalkthrough : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    files_ = WalkthroughFiles(&error);
    ASSERT_EQ(error, "");
    ASSERT_FALSE(files_.empty()) << "the guide shows no walkthrough files";
  }
  void WriteInto(const testing::TempDir& root) const {
    for (const auto& [name, content] : files_) root.Write(name, content);
  }
  std::vector<std::pair<std::string, std::string>> files_;
};

TEST_F(AuthoringGuideWalkthrough, ItsFilesCheckClean) {
  testing::TempDir root;
  WriteInto(root);
  std::vector<std::string> lines;
  EXPECT_EQ(RunCheck(root.path(), &lines), 0);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1], "tallypad check: 1 form checked (coffee): no errors, no warnings");
}

TEST_F(AuthoringGuideWalkthrough, TheChecksExampleIsWhatTheCheckPrints) {
  testing::TempDir root;
  WriteInto(root);
  // The two mistakes the guide describes: a misspelt next page and a
  // misspelt variable.
  for (const auto& [name, from, to] :
       {std::tuple<std::string, std::string, std::string>{"coffee.val", "'final';\nif (CUPS",
                                                          "'finale';\nif (CUPS"},
        {"coffee/final", "escape(NAME)", "escape(NAEM)"}}) {
    std::string text = root.Read(name);
    const size_t at = text.find(from);
    ASSERT_NE(at, std::string::npos) << name;
    root.Write(name, text.replace(at, from.size(), to));
  }
  std::vector<std::string> lines;
  EXPECT_EQ(RunCheck(root.path(), &lines), 1);
  std::vector<std::string> guide = GuideBlockAfter("checks like this:");
  ASSERT_EQ(guide.size(), lines.size());
  // The first line names the folder, which differs.
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(lines[i], guide[i]);
}

TEST_F(AuthoringGuideWalkthrough, TheSurveyIsAnsweredAndItsResultsShown) {
  testing::ServedRoot served;
  WriteInto(served.root());
  ASSERT_NE(served.Start(), 0) << served.server().Errors();
  const int port = served.port();
  auto post = [&](const std::string& page, const char* action, const FormFields& typed) {
    return testing::HttpPost(port, "/kqs", testing::FormBody(PressButton(page, action, typed)));
  };

  EXPECT_NE(HttpGet(port, "/").body.find("/kqs?DATABASE=coffee"), std::string::npos);
  HttpResponse about = HttpGet(port, "/kqs?DATABASE=coffee");
  ASSERT_NE(about.body.find("<h1>About you</h1>"), std::string::npos) << about.body;
  // A page without its answer is shown again with the check's warning.
  HttpResponse warned = post(about.body, "NEXT", {});
  EXPECT_NE(warned.body.find("Please tell us your first name."), std::string::npos) << warned.body;
  HttpResponse drink = post(warned.body, "NEXT", {{"NAME", "Ann"}});
  ASSERT_NE(drink.body.find("<h1>Your coffee</h1>"), std::string::npos) << drink.body;
  // No coffee: the page "other" comes in between.
  HttpResponse other = post(drink.body, "NEXT", {{"CUPS", "none"}, {"TAKE", "milk"}});
  ASSERT_NE(other.body.find("<h1>No coffee?</h1>"), std::string::npos) << other.body;
  HttpResponse last = post(other.body, "NEXT", {{"INSTEAD", "tea"}});
  ASSERT_NE(last.body.find("Anything else, Ann?"), std::string::npos) << last.body;
  HttpResponse thanks = post(last.body, "SAVE", {{"COMMENT", "More tea, please"}});
  EXPECT_NE(thanks.body.find("Thank you for your answers"), std::string::npos) << thanks.body;

  const std::string data = served.root().Read("coffee.asc");
  EXPECT_NE(data.find("\t\"1\"\t"), std::string::npos) << data;
  EXPECT_NE(data.find("\"Ann\"\t\"none\"\t\"milk\"\t\"tea\"\t\"More tea, please\""),
            std::string::npos)
      << data;
  const std::string stats = served.root().Read("coffee.sta");
  for (const char* count : {"_FORMDONE=1", "CUPS_none=1", "CUPS_one=0", "TAKE_milk=1"})
    EXPECT_NE(stats.find(count), std::string::npos) << count << "\n" << stats;

  // The results need the password; with it they show the count and the comment.
  EXPECT_EQ(HttpGet(port, "/kqs?DATABASE=coffee&_ACTION=REPORT").body.find("Answers so far"),
            std::string::npos);
  HttpResponse results = HttpGet(port, "/kqs?DATABASE=coffee&_ACTION=REPORT&_PASSWORD=beans");
  EXPECT_NE(results.body.find("<p>Answers so far: 1</p>"), std::string::npos) << results.body;
  EXPECT_NE(results.body.find("<tr><th>no coffee</th><td>1</td></tr>"), std::string::npos)
      << results.body;
  EXPECT_NE(results.body.find("<li>Ann: More tea, please</li>"), std::string::npos)
      << results.body;
}

}  // namespace
}  // namespace tallypad
