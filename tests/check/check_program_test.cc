// `tallypad check` as authors run it: the built program over server roots
// on disk. A correct root checks clean; each broken root of the table holds
// one author's mistake, and the check names it as "file:line: severity:
// text", with exit status 1 for an error and 0 for a warning alone. The demo
// checks clean, a check names only the forms asked for, and it changes no
// file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/server_process.h"
#include "support/temp_dir.h"

namespace tallypad {
namespace {

using testing::ServerProcess;
using testing::TempDir;

// A small server root without a mistake: a multi-page form "trip" with a
// branch, checks, a data file, an index, statistics, an XML file, a results
// page and an ID-free public access; and a single-page form "note".
const std::map<std::string, std::string> kGoodRoot = {
    {"cgi.ini", "[server]\nHOME=index.html\n"},
    {"index.html", "<p><a href=\"/kqs?DATABASE=trip\">Trip</a></p>\n"},
    {"trip.ini",
     "[DATABASE]\n"                      // 1
     "Title=Trip\n"                      // 2
     "MULTIPAGE=1\n"                     // 3
     "STARTPAGE=page1\n"                 // 4
     "SAVEDATA=1\n"                      // 5
     "SAVEDATANAME=data/trip.asc\n"      // 6
     "SAVEINDEXNAME=data/trip.idx\n"     // 7
     "SAVESTAT=1\n"                      // 8
     "SAVESTATNAME=data/trip.sta\n"      // 9
     "SAVEXML=1\n"                       // 10
     "SAVEXMLNAME=data/trip.xml\n"       // 11
     "REPORT2=trip-results.htm\n"        // 12
     "[access]\n"                        // 13
     "PWDAPPEND=(allow)\n"               // 14
     "PWDREPORT=secret\n"},              // 15
    {"trip.val",
     "<PAGE NAME=\"page1\" ACTION=\"/kqs\">\n"                                 // 1
     "<SCRIPT>\n"                                                              // 2
     "_PAGENEXT = 'page2';\n"                                                  // 3
     "if (NAME = '') { _PAGEWARN = 'Your name, please.'; }\n"                 // 4
     "if (HOW = 'boat') { showpage('boats'); }\n"                              // 5
     "</SCRIPT>\n"                                                             // 6
     "<PAGE NAME=\"boats\" ACTION=\"/kqs\">\n"                                 // 7
     "<SCRIPT>\n_PAGENEXT = 'page2';\n</SCRIPT>\n"                              // 8-10
     "<PAGE NAME=\"page2\" ACTION=\"/kqs\">\n"                                 // 11
     "<SCRIPT>\n</SCRIPT>\n"},                                                 // 12-13
    {"trip/page1",
     "<html><body>\n"                                                          // 1
     "<%if _PAGEWARN ne ''%><p><%= _PAGEWARN %></p><%end%>\n"                  // 2
     "<form>\n"                                                                // 3
     "<input type=hidden name=_PAGE value=page1>\n"                            // 4
     "<p>Name: <input name=NAME></p>\n"                                        // 5
     "<input type=radio name=HOW value=car> <input type=radio name=HOW value=boat>\n"  // 6
     "<button name=_ACTION value=NEXT>Next</button>\n"                         // 7
     "</form></body></html>\n"},                                               // 8
    {"trip/boats",
     "<form>\n<input type=hidden name=_PAGE value=boats>\n"
     "<p>Which boat? <input name=BOAT></p>\n"
     "<button name=_ACTION value=BACK>Back</button><button name=_ACTION value=NEXT>Next</button>\n"
     "</form>\n"},
    {"trip/page2",
     "<form>\n"                                                                // 1
     "<input type=hidden name=_PAGE value=page2>\n"                            // 2
     "<p>Thanks, <% print(escape(NAME)); %>. Anything else?</p>\n"             // 3
     "<textarea name=COMMENT></textarea>\n"                                    // 4
     "<button name=_ACTION value=SAVE>Send</button>\n"                         // 5
     "</form>\n"},                                                             // 6
    {"data/trip.asc", "#_SESSION\t_FORMDONE\tDATE\tNAME\tHOW\tBOAT\tCOMMENT\t\n"},
    {"data/trip.idx", "#_SESSION\t_POS\n"},
    {"data/trip.xml", ""},
    {"data/trip.sta", "[COUNT]\n_FORMDONE=0\nHOW_car=0\nHOW_boat=0\n[SUM]\n"},
    {"trip-results.htm",
     "<h1>Results</h1>\n"                                                      // 1
     "<%stats data/trip.sta %><p>{_FORMDONE} answers, {HOW_boat} by boat</p></report>\n"  // 2
     "<%report data/trip.asc %><p>{NAME}</p></report>\n"},                     // 3
    {"note.ini", "[DATABASE]\nFORM=note.html\nSAVEDATA=1\n[access]\nPWDAPPEND=(allow)\n"},
    {"note.val", "<PAGE NAME=\"note1\">\n<SCRIPT>\nif (TEXT = '') { _PAGEWARN = 'Say it.'; }\n"
                 "</SCRIPT>\n"},
    {"note.html",
     "<form method=post action=\"/kqs\">\n"                                    // 1
     "<input type=hidden name=DATABASE value=note>\n"                          // 2
     "<input type=hidden name=_PAGE value=note1>\n"                            // 3
     "<input name=TEXT>\n"                                                     // 4
     "<button name=_ACTION value=SAVE>Send</button>\n"                         // 5
     "</form>\n"},                                                             // 6
    {"note.asc", "#_SESSION\tTEXT\t\n"},
};

// One edit of the good root: a file written, or removed (nullopt).
struct Edit {
  std::string file;
  std::optional<std::string> content;
};

// Writes the good root with `edits` into `root`.
void WriteRoot(const TempDir& root, const std::vector<Edit>& edits) {
  std::map<std::string, std::optional<std::string>> files(kGoodRoot.begin(), kGoodRoot.end());
  for (const Edit& edit : edits) files[edit.file] = edit.content;
  for (const auto& [name, content] : files)
    if (content) root.Write(name, *content);
}

// The good root's file `name` with `from` replaced by `to` (once).
std::string Changed(const std::string& name, const std::string& from, const std::string& to) {
  std::string text = kGoodRoot.at(name);
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << name << ": " << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

struct CheckRun {
  int status = -1;
  std::string output;
  std::vector<std::string> lines;
};

// Runs the built program: "tallypad check ARGS...".
CheckRun RunCheck(const std::vector<std::string>& args) {
  TempDir registry;
  ServerProcess program;
  ServerProcess::Options options;
  options.args = {"check"};
  options.args.insert(options.args.end(), args.begin(), args.end());
  options.registry = registry.path();
  CheckRun run;
  if (!program.Start(options)) return run;
  run.status = program.WaitExit(60000).value_or(-1);
  run.output = program.Output();
  size_t at = 0;
  while (at < run.output.size()) {
    size_t end = run.output.find('\n', at);
    if (end == std::string::npos) end = run.output.size();
    run.lines.push_back(run.output.substr(at, end - at));
    at = end + 1;
  }
  return run;
}

TEST(CheckProgram, TheGoodRootChecksClean) {
  TempDir root;
  WriteRoot(root, {});
  CheckRun run = RunCheck({root.path()});
  EXPECT_EQ(run.status, 0) << run.output;
  ASSERT_EQ(run.lines.size(), 2u) << run.output;
  EXPECT_EQ(run.lines[0], "tallypad: Entering directory '" + root.path() + "'");
  EXPECT_EQ(run.lines[1], "tallypad check: 2 forms checked (note, trip): no errors, no warnings");
}

TEST(CheckProgram, EachMistakeIsNamedWhereItStands) {
  struct Case {
    const char* mistake;
    std::vector<Edit> edits;
    std::string place;     // "file:line: error" or "file:line: warning"
    std::string fragment;  // a part of the finding's text
    int status;
  } cases[] = {
      {"a typo in a variable",
       {{"trip/page2", Changed("trip/page2", "escape(NAME)", "escape(NAEM)")}},
       "trip/page2:3: warning",
       "NAEM is read here, but no input of the form trip, no script and no engine variable sets "
       "it, so it reads as empty (did you mean NAME?)",
       0},
      {"a missing <%end%>", {{"trip/page1", Changed("trip/page1", "<%end%>", "")}},
       "trip/page1:2: error",
       "this <%if has no <%end%>: when its condition is false, everything after it is left out "
       "of the page",
       1},
      {"a missing </report>",
       {{"trip-results.htm", Changed("trip-results.htm", "{NAME}</p></report>", "{NAME}</p>")}},
       "trip-results.htm:3: error", "this <%report has no </report>", 1},
      {"a marker without %>",
       {{"trip/page1", Changed("trip/page1", "<%= _PAGEWARN %>", "<%= _PAGEWARN")}},
       "trip/page1:2: error", "this <%= has no %> of its own: it runs on to the %> of a later tag",
       1},
      {"a marker without %> at the end of the page",
       {{"trip/page2", Changed("trip/page2", "</form>\n", "</form>\n<%= NAME\n")}},
       "trip/page2:7: error", "this <%= marker has no %>", 1},
      {"a script block without %>",
       {{"trip/page2", Changed("trip/page2", "escape(NAME)); %>", "escape(NAME));")}},
       "trip/page2:3: error", "this script block has no %>", 1},
      {"a page script without </SCRIPT>",
       {{"trip.val", Changed("trip.val", "showpage('boats'); }\n</SCRIPT>", "showpage('boats'); }")}},
       "trip.val:2: error", "this <SCRIPT> has no </SCRIPT> before the next script", 1},
      {"a page without its FORM tag",
       {{"trip/page2", Changed("trip/page2", "<form>\n", "<div>\n")}}, "trip/page2:1: error",
       "the page has no <FORM> tag", 1},
      {"a single-page form without its FORM tag",
       {{"note.html", Changed("note.html", "<form method=post action=\"/kqs\">", "<div>")}},
       "note.html:1: error", "the form file has no <FORM> tag", 1},
      {"a misspelt next page", {{"trip.val", Changed("trip.val", "'page2';\nif", "'pgae2';\nif")}},
       "trip.val:3: error",
       "_PAGENEXT names the page pgae2, which trip/ does not have: going on to it shows an error "
       "(did you mean page2?)",
       1},
      {"a misspelt start page", {{"trip.ini", Changed("trip.ini", "STARTPAGE=page1", "STARTPAGE=pag1")}},
       "trip.ini:4: error", "STARTPAGE names the page pag1, which trip/ does not have", 1},
      {"a page name the engine refuses on NEXT",
       {{"trip/boats", std::nullopt},
        {"trip/boat", Changed("trip/boats", "value=boats", "value=boat")},
        {"trip.val", Changed("trip.val", "showpage('boats')", "showpage('boat')")}},
       "trip/boat:1: error", "the page name boat is shorter than 5 characters", 1},
      {"a form file in capitals", {{"TRIP2.INI", "[DATABASE]\nFORM=note.html\n"}},
       "TRIP2.INI:1: error",
       "the start pages list this file as a form, but its link names TRIP2.INI whole", 1},
      {"a page nothing leads to",
       {{"trip/spare", "ACTION=/kqs\n\n\n<form><input type=hidden name=_PAGE value=spare>"
                       "<button name=_ACTION value=NEXT>x</button></form>\n"}},
       "trip/spare:1: warning", "respondents never see it", 0},
      {"an entry that does not parse",
       {{"trip.val", Changed("trip.val", "<PAGE NAME=\"boats\"", "<PAGE NAME=boats")}},
       "trip.val:7: error", "this entry does not parse", 1},
      {"an entry naming no page",
       {{"trip.val", Changed("trip.val", "<PAGE NAME=\"page2\"", "<PAGE NAME=\"page3\"")}},
       "trip.val:11: error", "the entry names the page page3, which trip/ does not have", 1},
      {"an entry matching no _PAGE of a single-page form",
       {{"note.val", Changed("note.val", "note1", "notes")}}, "note.val:1: error",
       "the entry notes matches no _PAGE value the form posts (it posts note1)", 1},
      {"a wrong PWDFILE path", {{"note.ini", "[DATABASE]\nFORM=note.html\nSAVEDATA=1\n"
                                             "PWDFILE=ids.txt\n[access]\nPWDAPPEND=(allow)\n"}},
       "note.ini:4: error", "the ID file ids.txt (PWDFILE) does not exist: every ID is refused", 1},
      {"a missing data file", {{"data/trip.asc", std::nullopt}}, "trip.ini:6: error",
       "the data file data/trip.asc (SAVEDATANAME) does not exist", 1},
      {"a data file without its header line", {{"data/trip.asc", ""}}, "trip.ini:6: error",
       "the data file data/trip.asc has no header line", 1},
      {"an index without _POS", {{"data/trip.idx", "#_SESSION\n"}}, "trip.ini:7: error",
       "does not end with the column _POS", 1},
      {"a missing XML file", {{"data/trip.xml", std::nullopt}}, "trip.ini:11: error",
       "the XML file data/trip.xml (SAVEXMLNAME) does not exist", 1},
      {"a missing statistics file", {{"data/trip.sta", std::nullopt}}, "trip.ini:9: error",
       "the statistics file data/trip.sta (SAVESTATNAME) does not exist", 1},
      {"a missing report template", {{"trip-results.htm", std::nullopt}}, "trip.ini:12: error",
       "the template trip-results.htm (REPORT2) does not exist", 1},
      {"a missing mail template",
       {{"trip.ini", Changed("trip.ini", "REPORT2=", "EMAILREPORT=mail.htm\nREPORT2=")}},
       "trip.ini:12: error", "the template mail.htm (EMAILREPORT) does not exist", 1},
      {"a column no input fills",
       {{"data/trip.asc", "#_SESSION\t_FORMDONE\tDATE\tNAME\tHWO\tBOAT\tCOMMENT\t\n"}},
       "data/trip.asc:1: warning",
       "the column HWO is filled by no input, script or engine variable of the form trip: it "
       "stays empty (did you mean HOW?)",
       0},
      {"an input no column saves",
       {{"data/trip.asc", "#_SESSION\t_FORMDONE\tDATE\tNAME\tHOW\tBOAT\t\n"}},
       "trip/page2:4: warning", "the answer COMMENT is saved in no column of the data file", 0},
      {"a statistics key that counts no choice",
       {{"data/trip.sta", "[COUNT]\n_FORMDONE=0\nHOW_car=0\nHOW_bus=0\n[SUM]\n"}},
       "data/trip.sta:4: warning",
       "the key HOW_bus counts nothing: HOW offers no such choice (it offers car, boat)", 0},
      {"an unknown setting", {{"trip.ini", Changed("trip.ini", "SAVEDATA=1", "SAVEDAT=1")}},
       "trip.ini:5: warning", "Tallypad reads no key SAVEDAT in [DATABASE] (did you mean SAVEDATA?)",
       0},
      {"an unknown access key",
       {{"trip.ini", Changed("trip.ini", "PWDREPORT=secret", "PWDREPROT=secret")}},
       "trip.ini:15: warning", "Tallypad reads no key PWDREPROT in [access] (did you mean PWDREPORT?)",
       0},
      {"blanks around = in [access]",
       {{"trip.ini", Changed("trip.ini", "PWDAPPEND=(allow)", "PWDAPPEND = (allow)")}},
       "trip.ini:14: error",
       "the key \"PWDAPPEND \" ends in a blank before '=', so Tallypad reads no key PWDAPPEND: "
       "write PWDAPPEND=(allow) without blanks around '='",
       1},
      {"an unknown function in a page script",
       {{"trip.val", Changed("trip.val", "showpage('boats')", "showpages('boats')")}},
       "trip.val:5: error", "script error 48 (Function not found): showpages(",
       1},
      {"a function page templates do not have",
       {{"trip/page2", Changed("trip/page2", "print(escape(NAME));", "showpage('page1');")}},
       "trip/page2:3: error", "script error 48 (Function not found): showpage(", 1},
      {"a condition without its parentheses",
       {{"trip.val", Changed("trip.val", "if (NAME = '')", "if NAME = ''")}}, "trip.val:4: error",
       "write the condition of if in parentheses", 1},
      {"a script's syntax error",
       {{"trip.val", Changed("trip.val", "_PAGEWARN = 'Your", "_PAGEWARN: 'Your")}},
       "trip.val:4: error", "script error 46 (Unable to process this command): _PAGEWARN:", 1},
      {"a text without its closing quote",
       {{"trip.val", Changed("trip.val", "'Your name, please.'", "'Your name, please.")}},
       "trip.val:4: warning", "most likely its closing quote is missing", 0},
      {"a page that does not name itself",
       {{"trip/page2", Changed("trip/page2", "<input type=hidden name=_PAGE value=page2>\n", "")}},
       "trip/page2:1: error", "the page posts no _PAGE field", 1},
      {"a page in the plain layout that begins with HTML",
       {{"trip.val", Changed("trip.val", "<PAGE NAME=\"page2\" ACTION=\"/kqs\">", "<PAGE NAME=\"page2\">")}},
       "trip/page2:1: error", "the page has the plain layout", 1},
      {"an include that does not exist",
       {{"trip/page1", Changed("trip/page1", "<form>\n", "<%include head.htm %>\n<form>\n")}},
       "trip/page1:3: error", "the file head.htm that this <%include names does not exist", 1},
      {"an include without a blank before %>",
       {{"head.htm", "<title>Trip</title>\n"},
        {"trip/page1", Changed("trip/page1", "<form>\n", "<%include head.htm%>\n<form>\n")}},
       "trip/page1:3: error", "write a blank before %>: the file name is read as \"head.htm%>\"", 1},
  };
  for (const Case& c : cases) {
    TempDir root;
    WriteRoot(root, c.edits);
    CheckRun run = RunCheck({root.path()});
    EXPECT_EQ(run.status, c.status) << c.mistake << "\n" << run.output;
    bool found = false;
    for (const std::string& line : run.lines)
      found = found || (line.rfind(c.place + ": ", 0) == 0 && line.find(c.fragment) != std::string::npos);
    EXPECT_TRUE(found) << c.mistake << ": no line " << c.place << ": ..." << c.fragment << "...\n"
                       << run.output;
  }
}

TEST(CheckProgram, TheDemoChecksClean) {
  CheckRun run = RunCheck({std::string(TALLYPAD_SOURCE_DIR) + "/examples/demo"});
  EXPECT_EQ(run.status, 0) << run.output;
  ASSERT_FALSE(run.lines.empty());
  EXPECT_EQ(run.lines.back(),
            "tallypad check: 2 forms checked (library, staff): no errors, no warnings")
      << run.output;
}

TEST(CheckProgram, NamedFormsAreCheckedAlone) {
  TempDir root;
  WriteRoot(root, {{"trip/page1", Changed("trip/page1", "<%end%>", "")}});
  CheckRun note = RunCheck({root.path(), "note"});
  EXPECT_EQ(note.status, 0) << note.output;
  EXPECT_EQ(note.lines.back(), "tallypad check: 1 form checked (note): no errors, no warnings");
  CheckRun trip = RunCheck({root.path(), "trip"});
  EXPECT_EQ(trip.status, 1) << trip.output;
  CheckRun missing = RunCheck({root.path(), "nosuch"});
  EXPECT_EQ(missing.status, 1) << missing.output;
  EXPECT_NE(missing.output.find("nosuch.ini:1: error: there is no form nosuch"), std::string::npos)
      << missing.output;
  EXPECT_EQ(RunCheck({root.path() + "no-such-folder/"}).status, 2);
}

// A form folder named like a form is a form, not a server root: run inside
// the root, "tallypad check trip" checks the form trip.
TEST(CheckProgram, TheDefaultRootIsTheOneTheServerWouldServe) {
  TempDir root;
  WriteRoot(root, {});
  TempDir registry;
  ServerProcess program;
  ServerProcess::Options options;
  options.args = {"check", "trip"};
  options.registry = registry.path();
  options.working_dir = root.path();
  ASSERT_TRUE(program.Start(options));
  EXPECT_EQ(program.WaitExit(60000), 0) << program.Output();
  EXPECT_NE(program.Output().find("tallypad check: 1 form checked (trip): no errors, no warnings"),
            std::string::npos)
      << program.Output();
}

TEST(CheckProgram, ACheckChangesNoFile) {
  TempDir root;
  WriteRoot(root, {{"data/trip.sta", std::nullopt}});
  auto snapshot = [&] {
    std::map<std::string, std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root.path())) {
      struct stat st {};
      ::stat(entry.path().c_str(), &st);
      files[entry.path().string()] =
          testing::ReadFileText(entry.path().string()) + "@" + std::to_string(st.st_mtime) + "/" +
          std::to_string(st.st_size);
    }
    return files;
  };
  const auto before = snapshot();
  EXPECT_EQ(RunCheck({root.path()}).status, 1);
  EXPECT_EQ(snapshot(), before);
}

TEST(CheckProgram, UnwritableFilesTheEngineWritesAreErrors) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write any file";
  TempDir root;
  WriteRoot(root, {});
  ASSERT_EQ(chmod(root.File("data/trip.asc").c_str(), 0444), 0);
  CheckRun run = RunCheck({root.path()});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.output.find("trip.ini:6: error: the data file data/trip.asc (SAVEDATANAME) cannot "
                            "be written: the server writes to it with every save"),
            std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace tallypad
