// The progress of a branching survey through the real program: each page
// shows "page N of M" from _PAGENUMBER and _PAGECOUNT, and the count
// follows the branch the answers take, through showpage, a page's own
// _PAGENEXT field and a final (save), going forward and back. The
// look-ahead runs the scripts of pages still to come without their effects:
// it sends no mail.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/html_form.h"
#include "support/served_root.h"

namespace tallypad {
namespace {

using testing::FormFields;
using testing::HttpResponse;
using testing::PressButton;
using testing::ServedRoot;
using testing::ServedRootSuite;

// A page that names itself and shows its progress.
std::string Page(const std::string& name, const std::string& fields) {
  return "<form><input type=hidden name=_PAGE value=" + name + ">" + name +
         ": page <%= _PAGENUMBER %> of <%= _PAGECOUNT %>.\n" + fields + "\n</form>\n";
}

// "page1: page 2 of 4" as the response shows it, or what it shows instead.
std::string Progress(const HttpResponse& r) {
  const size_t at = r.body.find(": page ");
  if (at == std::string::npos) return r.body;
  const size_t start = r.body.rfind('>', at) + 1;
  return r.body.substr(start, r.body.find('.', at) - start);
}

class ProgressTest : public ServedRootSuite<ProgressTest> {
 protected:
  static void SetUpTestSuite() {
    // Mail stays in the outbox, where the test looks for it.
    served_ = std::make_unique<ServedRoot>(
        std::vector<std::pair<std::string, std::string>>{{"TALLYPAD_NETWORK", "offline"}});
    const auto& root = served_->root();
    // start -> (extra, for GO=yes) -> middle -> last, which saves.
    // "middle" names its next page with a field of its own; "extra" mails.
    root.Write("branch.ini",
               "[DATABASE]\nMULTIPAGE=1\nSTARTPAGE=start\nEMAILSERVER=127.0.0.1\n"
               "[access]\nPWDAPPEND=(allow)\n");
    root.Write("branch/start", Page("start", "<input type=radio name=GO value=yes>"
                                             "<input type=radio name=GO value=no>"));
    root.Write("branch/extra", Page("extra", "<input name=MORE>"));
    root.Write("branch/middle",
               Page("middle", "<input type=hidden name=_PAGENEXT value=last><input name=M>"));
    root.Write("branch/last", Page("last", "<input name=L>"));
    root.Write("branch.val",
               "<PAGE NAME=\"start\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'middle';\n"
               "if (GO = 'yes') { showpage('extra'); }\n</SCRIPT>\n"
               "<PAGE NAME=\"extra\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'middle';\n"
               "sendmail('team@example.org', 'extra page', 'passed');\n</SCRIPT>\n"
               "<PAGE NAME=\"middle\" ACTION=\"/kqs\">\n<SCRIPT>\n</SCRIPT>\n"
               "<PAGE NAME=\"last\" ACTION=\"/kqs\">\n<SCRIPT>\nshowpage('(save)');\n</SCRIPT>\n");

    // A form whose scripts lead round in a circle, and one whose next page
    // does not exist: the count ends there.
    root.Write("circle.ini", "[DATABASE]\nMULTIPAGE=1\n[access]\nPWDAPPEND=(allow)\n");
    std::string circle_val;
    for (int n = 0; n < 3; ++n) {
      const std::string name = "page" + std::to_string(n);
      root.Write("circle/" + name, Page(name, ""));
      circle_val += "<PAGE NAME=\"" + name + "\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'page" +
                    std::to_string((n + 1) % 3) + "';\n</SCRIPT>\n";
    }
    root.Write("circle.val", circle_val);
    root.Write("broken.ini", "[DATABASE]\nMULTIPAGE=1\n[access]\nPWDAPPEND=(allow)\n");
    root.Write("broken/page0", Page("page0", ""));
    root.Write("broken.val",
               "<PAGE NAME=\"page0\" ACTION=\"/kqs\">\n<SCRIPT>\n_PAGENEXT = 'nosuch';\n"
               "</SCRIPT>\n");
    ASSERT_NE(served_->Start(), 0) << served_->server().Errors();
  }

  static HttpResponse Press(const HttpResponse& page, const std::string& action,
                            const FormFields& typed = {}) {
    return Post(PressButton(page.body, action, typed));
  }
  // The mails of the extra page's script in the outbox.
  static size_t ExtraPageMails() {
    const std::string outbox = served_->root().Read("outbox.kqs");
    size_t count = 0;
    for (size_t at = outbox.find("extra page"); at != std::string::npos;
         at = outbox.find("extra page", at + 1))
      ++count;
    return count;
  }
};

TEST_F(ProgressTest, TheCountFollowsTheBranchTaken) {
  struct Step {
    const char* action;
    FormFields answers;
    const char* shows;
  } steps[] = {
      // Nothing answered yet: the branch is not taken.
      {"", {}, "start: page 1 of 3"},
      {"NEXT", {{"GO", "yes"}}, "extra: page 2 of 4"},
      {"NEXT", {}, "middle: page 3 of 4"},
      {"BACK", {}, "extra: page 2 of 4"},
      {"BACK", {}, "start: page 1 of 4"},
      // The other answer skips the extra page.
      {"NEXT", {{"GO", "no"}}, "middle: page 2 of 3"},
      {"NEXT", {}, "last: page 3 of 3"},
  };
  HttpResponse r;
  for (const Step& step : steps) {
    r = *step.action ? Press(r, step.action, step.answers)
                     : Post({{"DATABASE", "branch"}});
    EXPECT_EQ(Progress(r), step.shows) << step.action;
  }
}

TEST_F(ProgressTest, LookingAheadSendsNoMail) {
  const size_t mails = ExtraPageMails();
  HttpResponse start = Post({{"DATABASE", "branch"}, {"_ACTION", "NEXT"}, {"_PAGE", "start"},
                             {"GO", "yes"}, {"_SESSION", "mail1"}});
  ASSERT_EQ(Progress(start), "extra: page 2 of 4");
  HttpResponse back = Press(start, "BACK");
  ASSERT_EQ(Progress(back), "start: page 1 of 4");
  EXPECT_EQ(ExtraPageMails(), mails)
      << "a look-ahead through the extra page's script queued its mail";
  // Leaving the extra page for real runs its script, mail and all.
  HttpResponse middle = Press(Press(back, "NEXT"), "NEXT");
  ASSERT_EQ(Progress(middle), "middle: page 3 of 4");
  EXPECT_EQ(ExtraPageMails(), mails + 1);
}

TEST_F(ProgressTest, TheCountEndsAtAPageMetBeforeOrMissing) {
  EXPECT_EQ(Progress(Post({{"DATABASE", "circle"}})), "page0: page 1 of 3");
  HttpResponse second =
      Post({{"DATABASE", "circle"}, {"_ACTION", "NEXT"}, {"_PAGE", "page0"}});
  EXPECT_EQ(Progress(second), "page1: page 2 of 3");
  EXPECT_EQ(Progress(Post({{"DATABASE", "broken"}})), "page0: page 1 of 1");
}

}  // namespace
}  // namespace tallypad
