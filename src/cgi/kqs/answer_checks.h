// The answer checks of the survey engine: the constraint attributes of a
// page's own fields (required, type=email, type=number with min, max and
// step, type=date with min and max, minlength, maxlength, pattern), held
// on the server as a browser holds them on the client, so that a post that
// skips the browser's checks is refused all the same. Answers to radio
// buttons, boxes and lists must moreover be choices the page offers, since
// a browser can send no other. A page's check runs on NEXT and SAVE before
// the page's forward script; a save checks the whole response again. A
// refusal names each field by its question in a message the form's settings
// may word (one setting per constraint, see kConstraintRows), and leaves
// the messages in _PAGEWARN (all of them) and _PAGEWARN_<field> (each
// field's). Called by the survey dispatcher on the server thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"
#include "cgi/kqs/page_scripts.h"
#include "script/page_fields.h"

namespace tallypad {

// Most page files of a form folder looked at when a save checks answers
// to pages the respondent did not pass; far above any real form.
inline constexpr size_t kMaxCheckedFormPages = 1000;
// The prefix of the variable that holds one field's message.
inline constexpr std::string_view kFieldWarningPrefix = "_PAGEWARN_";

// What was wrong with the answer to one field.
struct AnswerProblem {
  std::string name;     // the field's name, as the page writes it
  std::string message;  // the message, from the form's settings or the default
};

// Which constraints a check holds.
enum class CheckScope {
  kAll,          // required and the value constraints
  kValuesOnly,   // the value constraints only (pages off the respondent's path)
};

// Checks the answers in `vars` against `fields` (one page's); the messages
// come from `settings` (a form's DATABASE section, may be null). Returns
// one problem per field name that fails, in page order; empty when every
// answer passes.
std::vector<AnswerProblem> CheckAnswers(const std::vector<PageField>& fields, const VarTable* vars,
                                        const VarTable* settings,
                                        CheckScope scope = CheckScope::kAll);

// The fields page `page_name` of form `database` shows for the answers
// `vars` (not changed): those of the page as the template processor writes
// it for them, so that fields of a conditional section not shown, and
// options whose query is false, are left out, and choices a report or an
// included file writes are there. Empty when the page cannot be read.
std::vector<PageField> ShownPageFields(std::string_view base_path, std::string_view database,
                                       const ValidationFile& validation, const VarTable* vars,
                                       std::string_view page_name);

// The same for the single-page form file `form` (named as FORM names it).
std::vector<PageField> ShownFormFields(std::string_view base_path, std::string_view form,
                                       const VarTable* vars);

// A save refused for its answers: the page to show and what was wrong.
struct ResponseRefusal {
  std::string page;
  std::vector<AnswerProblem> problems;
};

// Checks a multi-page response at a save. The pages of the respondent's
// path are the start page, the back list `back_list` (most recent first)
// and `current`; each is checked in that order with all its constraints,
// and the first that fails is the page to show. Then every answer whose
// name is a field of another page of the form folder (and of none on the
// path) must pass that page's value constraints. Nullopt when all pass.
std::optional<ResponseRefusal> CheckResponse(std::string_view base_path, std::string_view database,
                                             const ValidationFile& validation,
                                             const VarTable* settings, const VarTable* vars,
                                             std::string_view start_page,
                                             std::string_view back_list,
                                             std::string_view current);

// Leaves the problems' messages for the page: _PAGEWARN holds them all,
// joined by blanks, and _PAGEWARN_<name> each field's.
void SetAnswerWarnings(VarTable* vars, const std::vector<AnswerProblem>& problems);

// The pages of `back_list` (most recent first), in that order, each
// without a leading capital "P" mark.
std::vector<std::string> BackListPages(std::string_view back_list);

}  // namespace tallypad
