// Page scripts of multi-page survey forms: the validation file (the form's
// name followed by ".val") holds, per page, an entry "<PAGE NAME="...">
// with the page's FORM attributes, its forward script (run on NEXT and
// SAVE, it checks the answers and steers the navigation) and its back
// script (run on BACK). A request reads the file into memory once, as a
// ValidationFile; this module finds entries in it, runs the scripts from its
// text with the engine's two function tables, and holds the engine's own
// script functions. Runs on the server thread; keeps no state between calls.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/vartable.h"
#include "base/output_stream.h"
#include "script/script.h"

namespace tallypad {

// Bytes of a validation file searched for entries and scripts; a page
// script file is a few kilobytes, and the rest of a larger file is ignored.
inline constexpr size_t kMaxValidationFileBytes = 4 << 20;

// The validation file of one form, read into memory once (at most
// kMaxValidationFileBytes); a missing file reads as one without entries.
class ValidationFile {
 public:
  // Reads the validation file of form `database` in the folder of `base_path`.
  static ValidationFile Load(std::string_view base_path, std::string_view database);

  // The offset just after the page name and its closing quote of the entry
  // of `page_name` (names compared without regard to case); nullopt when the
  // entry is missing or the page name is empty.
  std::optional<size_t> FindEntry(std::string_view page_name) const;
  // The attributes of the entry of `page_name` (its FORM attributes, read
  // up to the entry's '>'); null when there is no entry.
  VarTablePtr EntryAttributes(std::string_view page_name) const;
  // The file's bytes ("" when it is missing).
  std::string_view text() const { return text_; }
  // The file's name relative to the server root ("travel.val").
  const std::string& name() const { return name_; }

 private:
  std::string text_;
  std::string name_;
};

enum class PageScript { kForward, kBack };

// Runs the forward or back script of `page_name` from `validation` with
// `vars`, making sure _PAGEWARN, _PAGENEXT and _PAGESKIP exist first; file
// names of the script resolve against `base_path`. A script error goes to
// the message log with the file, line and failing statement, and, for the
// author (`author_view`), its report is written to `out`. Does nothing when
// the page name is empty or the entry or the script is missing.
void RunPageScript(std::string_view base_path, OutputStream* out,
                   const ValidationFile& validation, const VarTable* settings, VarTable* vars,
                   std::string_view page_name, PageScript which, bool author_view = true);

// Runs the forward script of `page_name` as RunPageScript does, to see
// where it leads, without any effect beyond `vars`: nothing is written, and
// the functions that act outside the request (sendmail, uniqueid,
// runReport) give no result instead.
void RunForwardScriptAhead(std::string_view base_path, const ValidationFile& validation,
                           VarTable* vars, std::string_view page_name);

// The function tables of forward and back scripts.
std::span<const ScriptFunction> ForwardScriptFunctions();
std::span<const ScriptFunction> BackScriptFunctions();

// The engine's own script functions (callback signature of ScriptCallback).
// timedate: today's local date as eight digits.
std::optional<std::string> ScriptFnTimeDate(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*);
// timetime: the local time as six digits.
std::optional<std::string> ScriptFnTimeTime(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*);
// uniqueid: a new unique identifier, mixing in the argument when given.
std::optional<std::string> ScriptFnUniqueId(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*);
// sendmail: queues a mail (recipient, subject, body) through EMAILSERVER; no result.
std::optional<std::string> ScriptFnSendMail(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*);
// showpage: adds the page to _PAGESKIP unless the list holds it; no result.
std::optional<std::string> ScriptFnShowPage(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*);
// ranksort: the names of name=value items sorted by their integer values.
std::optional<std::string> ScriptFnRankSort(ScriptContext&, std::string_view,
                                            std::span<const std::string>, VarTable*);
// rankindex: the 1-based position of an item in a list; no result when absent.
std::optional<std::string> ScriptFnRankIndex(ScriptContext&, std::string_view,
                                             std::span<const std::string>, VarTable*);

}  // namespace tallypad
