// Survey pages and the navigation between them. A multi-page form is a
// folder (named like the form) of page files; showing a page runs it
// through the template processor with the answers, replaces its FORM tag
// by the engine's, and carries every answer of the other pages along as a
// hidden field, so a respondent's whole state travels with the page. The
// navigation lists _PAGENEXT (pages still to visit) and _PAGEBACK (pages
// to return to, most recent first, each followed by a comma) decide which
// page NEXT and BACK show. A single-page form is one file shown with its
// answers. Called by the survey dispatcher on the server thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/output_stream.h"
#include "base/result_code.h"
#include "base/vartable.h"
#include "cgi/kqs/page_scripts.h"

namespace tallypad {

// The plain layout's first line keeps at most this many characters.
inline constexpr size_t kPlainLayoutLineLimit = 1023;

// Shows page `page_name` of form `database` with the answers `vars` and the
// back list `back_list`; the page's FORM attributes come from its entry in
// the form's `validation` file. A leading capital "P" of the name counts as
// "p". Reads the page file once. Removes _PAGE, _PAGESKIP and _PAGEBACK from
// `vars`. Returns kOk, kForbiddenNameCharacter (see NameHasForbiddenCharacter)
// or kFormFileMissing; for these the error is told (see survey_errors.h),
// the author's text naming what led to the page (`reached_by`, a sentence),
// shown on the page when `author_view` is set.
ResultCode ShowPage(std::string_view base_path, OutputStream* out, std::string_view database,
                    const ValidationFile& validation, VarTable* vars, std::string_view back_list,
                    std::string page_name, bool author_view = true,
                    std::string_view reached_by = {});

// A page file of a multi-page form in memory, and where its page text
// begins: after the three instruction lines of the plain layout, at the
// start in the validation layout.
struct FormPageText {
  std::string text;
  size_t body = 0;
};

// Reads page `page_name` of form `database` (a leading capital "P" read as
// "p"), deciding its layout from its entry in `validation` as ShowPage
// does; nullopt when the name holds a forbidden character or the file
// cannot be read.
std::optional<FormPageText> ReadFormPage(std::string_view base_path, std::string_view database,
                                         const ValidationFile& validation,
                                         std::string page_name);

// Shows the single-page form file `form` (".html" appended unless its
// extension is "html" or "htm") with the answers `vars`, for the author
// when `author_view` is set. Returns kOk, or kFormFileMissing without
// writing anything.
ResultCode ShowSingleForm(std::string_view base_path, OutputStream* out, std::string_view form,
                          VarTable* vars, bool author_view = true);

// The file name of a single-page form: `form` with ".html" appended unless
// the text after its last dot is exactly "html" or "htm".
std::string SingleFormFileName(std::string_view form);

// Removes every item equal to `page` from the list _PAGENEXT.
void RemoveFromPageNext(VarTable* vars, std::string_view page);

// The page to show and its back list.
struct PageStep {
  std::string page;
  std::string back_list;
};

// The step forward from `current` once its forward script accepted it:
// merges _PAGESKIP into _PAGENEXT, pushes `current` onto the back list
// `posted_back` and takes the next page off the front of _PAGENEXT (its
// first letter made "P" when showpage was called more than once).
PageStep NextPageStep(VarTable* vars, std::string_view current, std::string_view posted_back);

// The step back from `current`: updates _PAGENEXT and takes the previous
// page off the front of _PAGEBACK; the rest is the new back list.
PageStep PreviousPageStep(VarTable* vars, std::string_view current);

}  // namespace tallypad
