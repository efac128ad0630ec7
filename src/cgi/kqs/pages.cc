#include "cgi/kqs/pages.h"

#include <optional>

#include "base/decode.h"
#include "base/file.h"
#include "base/read.h"
#include "base/str.h"
#include "base/text.h"
#include "base/wordlist.h"
#include "cgi/kqs/page_scripts.h"
#include "cgi/kqs/progress.h"
#include "cgi/kqs/survey_errors.h"
#include "script/template.h"
#include "store/form_name.h"

namespace tallypad {

namespace {

// Longest insert-file name kept from the plain layout's third line.
constexpr size_t kInsertNameLimit = 1023;
// Variables never carried as hidden fields (compared without case); nor is
// any variable whose name begins with kNavigationPrefix (compared with case).
constexpr std::string_view kNotCarried = "HOST,DATE,TIME";
constexpr std::string_view kNavigationPrefix = "_PAGE";

// The value of attribute `name` when the table has it (a bare attribute
// gives ""), else nullopt.
std::optional<std::string> Attribute(const VarTable* attrs, std::string_view name) {
  const VarEntry* e = VarTableFind(attrs, name);
  if (!e || !e->IsUsed()) return std::nullopt;
  return e->value.value_or(std::string());
}

// True when a page with the entry attributes `attrs` is in the plain
// layout: its entry has no ACTION (or there is no entry).
bool PlainLayout(const VarTable* attrs) { return !attrs || !Attribute(attrs, "ACTION"); }

// What a respondent is told when the page to show cannot be.
constexpr std::string_view kPageCannotShow =
    "Sorry, the next page of this survey is missing, so the survey cannot go on. Please tell "
    "the people who run it.";

// Tells that page `page_name` cannot be shown: `problem` says why (a
// sentence), `reached_by` what led to it.
void ReportPageFailure(OutputStream* out, std::string_view problem, std::string_view reached_by,
                       bool author_view) {
  std::string author(problem);
  if (!reached_by.empty()) author += " " + std::string(reached_by);
  ReportSurveyFailure(out, {std::string(kPageCannotShow), author}, author_view);
}

// Writes the engine's FORM tag with the page's attributes.
void WriteFormTag(OutputStream* out, const VarTable* attrs) {
  std::string tag = "<FORM NAME=F onSubmit=\"return kqsOnSubmit(this);\" ACCEPT-CHARSET=\"UTF-8\"";
  if (std::optional<std::string> action = Attribute(attrs, "ACTION"))
    tag += " ACTION=\"" + *action + "\"";
  if (std::optional<std::string> complete = Attribute(attrs, "AUTOCOMPLETE"))
    tag += " AUTOCOMPLETE=\"" + *complete + "\"";
  if (std::optional<std::string> method = Attribute(attrs, "METHOD")) {
    tag += " METHOD=\"" + *method + "\"";
  } else {
    tag += " METHOD=POST";
  }
  tag += ">\n";
  StreamWriteText(out, tag);
}

// Writes a hidden field for every answer the page has no input for.
void WriteCarriedAnswers(OutputStream* out, const VarTable* pending) {
  std::string fields;
  VarTableForEach(pending, [&](const VarEntry& e) {
    if (ListContainsNoCase(kNotCarried, *e.name) || e.name->starts_with(kNavigationPrefix)) return;
    fields += "<INPUT TYPE=HIDDEN NAME=\"";
    fields += HtmlEscape(*e.name);
    fields += "\" VALUE=\"";
    if (e.value) fields += HtmlEscape(*e.value);
    fields += "\">\n";
  });
  StreamWriteText(out, fields);
}

}  // namespace

ResultCode ShowPage(std::string_view base_path, OutputStream* out, std::string_view database,
                    const ValidationFile& validation, VarTable* vars, std::string_view back_list,
                    std::string page_name, bool author_view, std::string_view reached_by) {
  VarTablePtr pending = VarTableFlatCopy(vars, 0);
  if (!page_name.empty() && page_name[0] == 'P') page_name[0] = 'p';
  if (NameHasForbiddenCharacter(page_name)) {
    ReportPageFailure(out,
                      "The page name " + QuoteForError(page_name) + " of the form " +
                          std::string(database) +
                          " holds a character page names may not hold (/ . \\ * ? $ | ' \").",
                      reached_by, author_view);
    return ResultCode::kForbiddenNameCharacter;
  }
  SetProgressVariables(
      vars, EstimateProgress(base_path, database, validation, vars, back_list, page_name));
  // A posted duplicate must not take the place of the first.
  VarTableRemoveAll(vars, "_PAGE");
  VarTableRemoveAll(vars, "_PAGESKIP");

  // The page file is read once; the passes below walk it in memory.
  const std::string folder = std::string(database) + "/";
  const std::string path = PathBuild(base_path, folder + page_name);
  const std::optional<std::string> text = ReadPageFile(path);
  if (!text) {
    ReportPageFailure(out,
                      "The page file " + PathShown(base_path, path) + " does not exist" +
                          (page_name.empty() ? std::string(" (the page name is empty)") : "") +
                          ".",
                      reached_by, author_view);
    return ResultCode::kFormFileMissing;
  }
  PageReader page(*text);

  VarTablePtr attrs = validation.EntryAttributes(page_name);
  std::string insert;
  if (PlainLayout(attrs.get())) {
    // The plain layout: the page's first three lines are its FORM
    // attributes, a line left free and the name of the insert file.
    StreamSendFile(out, PathBuild(base_path, folder + "header"));
    std::string line;
    ReadUntil(page, &line, kPlainLayoutLineLimit + 1, "\n", '\r');
    attrs = VarTableFromList(line, '&', 0);
    ReadUntil(page, nullptr, 0, "\n", 0);
    ReadUntil(page, &insert, kInsertNameLimit + 1, "\n", '\r');
  }

  // Up to the page's FORM tag, which the engine's own replaces.
  // The page's three runs share one time budget.
  TemplateRun run{.base_path = base_path,
                  .out = out,
                  .page = &page,
                  .vars = vars,
                  .pending = pending.get(),
                  .formfill = true,
                  .stop = "FORM",
                  .name = path,
                  .started = std::chrono::steady_clock::now(),
                  .author_view = author_view};
  TemplateProcess(run);
  WriteFormTag(out, attrs.get());
  // Both values come from the request: escaped, they cannot end the attribute.
  StreamWriteText(out, "<INPUT TYPE=HIDDEN NAME=DATABASE VALUE=\"" + HtmlEscape(database) +
                           "\">\n<INPUT TYPE=HIDDEN NAME=_PAGEBACK VALUE=\"" +
                           HtmlEscape(back_list) + "\">\n");
  VarTableRemoveAll(vars, "_PAGEBACK");
  if (!insert.empty()) StreamSendFile(out, PathBuild(base_path, folder + insert));

  // A dry pass to the end of the form removes the names of this page's
  // inputs from the pending fields; the rest travel as hidden fields.
  const size_t form_start = page.Tell();
  run.out = nullptr;
  run.stop = "/FORM";
  TemplateProcess(run);
  WriteCarriedAnswers(out, pending.get());
  // The rest of the page, from the FORM tag on, with its output.
  page.Seek(form_start);
  run.out = out;
  run.stop = {};
  TemplateProcess(run);
  return ResultCode::kOk;
}

std::optional<FormPageText> ReadFormPage(std::string_view base_path, std::string_view database,
                                         const ValidationFile& validation,
                                         std::string page_name) {
  if (!page_name.empty() && page_name[0] == 'P') page_name[0] = 'p';
  if (page_name.empty() || NameHasForbiddenCharacter(page_name)) return std::nullopt;
  std::optional<std::string> text =
      ReadPageFile(PathBuild(base_path, std::string(database) + "/" + page_name));
  if (!text) return std::nullopt;
  FormPageText page{.text = std::move(*text)};
  if (PlainLayout(validation.EntryAttributes(page_name).get())) {
    PageReader lines(page.text);
    for (int line = 0; line < 3; ++line) ReadUntil(lines, nullptr, 0, "\n", 0);
    page.body = lines.Tell();
  }
  return page;
}

std::string SingleFormFileName(std::string_view form) {
  size_t dot = form.rfind('.');
  std::string name(form);
  if (dot == std::string_view::npos) return name + ".html";
  std::string_view extension = form.substr(dot + 1);
  if (extension != "html" && extension != "htm") name += ".html";
  return name;
}

ResultCode ShowSingleForm(std::string_view base_path, OutputStream* out, std::string_view form,
                          VarTable* vars, bool author_view) {
  if (form.empty()) return ResultCode::kFormFileMissing;
  SetProgressVariables(vars, PageProgress{});  // one page: page 1 of 1
  const TemplateRun run{.base_path = base_path,
                        .out = out,
                        .vars = vars,
                        .formfill = true,
                        .author_view = author_view};
  if (!TemplateProcessFile(PathBuild(base_path, SingleFormFileName(form)), run))
    return ResultCode::kFormFileMissing;
  return ResultCode::kOk;
}

void RemoveFromPageNext(VarTable* vars, std::string_view page) {
  VarEntry* next = VarTableFind(vars, "_PAGENEXT");
  if (!next || !next->value || page.empty()) return;
  ListRemoveAll(*next->value, page);
}

PageStep NextPageStep(VarTable* vars, std::string_view current, std::string_view posted_back) {
  const std::string skip = VarTableGet(vars, "_PAGESKIP", "");
  if (!skip.empty()) {
    // Pages asked for by showpage come first; the rest of the queue follows.
    std::string next = VarTableGet(vars, "_PAGENEXT", "");
    if (!next.empty()) {
      ListRemove(next, skip);
      next = skip + " " + next;
    } else {
      next = skip;
    }
    VarTableSetGrow(vars, "_PAGENEXT", next);
  }
  PageStep step;
  step.back_list = std::string(current) + "," + std::string(posted_back);
  step.page = ListShiftVar(vars, "_PAGENEXT", 0);
  // A capital P marks a page reached through several showpage calls; page
  // display turns it back. Only a name that begins with "p" can carry the
  // mark and still name its own file.
  if (skip.find(',') != std::string::npos && !step.page.empty() && step.page[0] == 'p')
    step.page[0] = 'P';
  return step;
}

PageStep PreviousPageStep(VarTable* vars, std::string_view current) {
  const std::string next = VarTableGet(vars, "_PAGENEXT", "");
  if (next.find(' ') != std::string::npos) {
    if (current.empty() || current[0] != 'P') {
      VarTableSetGrow(vars, "_PAGENEXT", std::string(current) + "," + next);
    } else {
      ListShiftVar(vars, "_PAGENEXT", ' ');
    }
  }
  PageStep step;
  std::string back = VarTableGet(vars, "_PAGEBACK", "");
  size_t lead = back.find_first_not_of(", ");
  back.erase(0, lead == std::string::npos ? back.size() : lead);
  if (std::optional<std::string> first = ListPopFirst(back, 0)) {
    step.page = std::move(*first);
    step.back_list = std::move(back);
  } else {
    step.page = std::move(back);
  }
  return step;
}

}  // namespace tallypad
