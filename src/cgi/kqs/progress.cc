#include "cgi/kqs/progress.h"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "base/str.h"
#include "base/wordlist.h"
#include "cgi/kqs/answer_checks.h"
#include "cgi/kqs/pages.h"
#include "script/page_fields.h"

namespace tallypad {

namespace {

// Free entries of the look-ahead's copy of the answers, for what scripts set.
constexpr size_t kLookAheadSpare = 64;

// The page's own _PAGENEXT field, when it has one: its value (empty for a
// field that carries the queue along).
std::optional<std::string> OwnNextField(const FormPageText& page) {
  for (const PageField& field : PageFields(std::string_view(page.text).substr(page.body)))
    if (field.tag == FieldTag::kInput && StrEqualNoCase(field.name, "_PAGENEXT"))
      return field.value;
  return std::nullopt;
}

}  // namespace

PageProgress EstimateProgress(std::string_view base_path, std::string_view database,
                              const ValidationFile& validation, const VarTable* vars,
                              std::string_view back_list, std::string_view page_name) {
  std::vector<std::string> met = BackListPages(back_list);
  PageProgress progress;
  progress.number = static_cast<int>(met.size()) + 1;
  progress.count = progress.number;

  VarTablePtr ahead = VarTableFlatCopy(vars, kLookAheadSpare);
  std::string page(page_name);
  if (!page.empty() && page[0] == 'P') page[0] = 'p';
  met.push_back(page);
  // The queue the page shown carries when it has a _PAGENEXT field of its own.
  std::string queue = VarTableGet(vars, "_PAGENEXT", "");
  std::optional<FormPageText> text = ReadFormPage(base_path, database, validation, page);
  for (int step = 0; text && step < kMaxLookAheadPages; ++step) {
    const std::optional<std::string> own = OwnNextField(*text);
    VarTableSetGrow(ahead.get(), "_PAGE", page);
    VarTableSetGrow(ahead.get(), "_PAGENEXT", !own ? "" : own->empty() ? queue : *own);
    VarTableSetGrow(ahead.get(), "_PAGESKIP", "");
    VarTableSetGrow(ahead.get(), "_PAGEWARN", "");
    RunForwardScriptAhead(base_path, validation, ahead.get(), page);
    // As NEXT takes the next page: this page leaves the queue, pages of
    // showpage go first.
    RemoveFromPageNext(ahead.get(), page);
    const std::string skip = VarTableGet(ahead.get(), "_PAGESKIP", "");
    if (skip == "(save)") break;
    PageStep next = NextPageStep(ahead.get(), page, "");
    std::string following = std::move(next.page);
    if (!following.empty() && following[0] == 'P') following[0] = 'p';
    if (following.empty() || following == "(save)" ||
        std::find(met.begin(), met.end(), following) != met.end())
      break;
    text = ReadFormPage(base_path, database, validation, following);
    if (!text) break;
    ++progress.count;
    met.push_back(following);
    queue = VarTableGet(ahead.get(), "_PAGENEXT", "");
    page = std::move(following);
  }
  return progress;
}

void SetProgressVariables(VarTable* vars, const PageProgress& progress) {
  VarTableSetGrow(vars, "_PAGENUMBER", std::to_string(progress.number));
  VarTableSetGrow(vars, "_PAGECOUNT", std::to_string(progress.count));
}

}  // namespace tallypad
