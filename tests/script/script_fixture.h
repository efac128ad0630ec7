// Runs a script block from a small page the way the template processor does:
// the page holds the statements (usually ending with "%>"), print writes into
// a buffer, the page-template functions are available and the object "data"
// is the record table. Files the script names resolve in a folder of its own.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/decode.h"
#include "base/read.h"
#include "base/strbuf.h"
#include "base/vartable.h"
#include "base/output_stream.h"
#include "script/functions.h"
#include "script/script.h"
#include "support/temp_dir.h"

namespace tallypad::testing {

// "name=value" pairs as a table with a few free entries; pairs may be empty.
inline VarTablePtr ScriptVars(const std::vector<std::string>& pairs, size_t free_count = 4) {
  VarTablePtr t = VarTableFromPairs(pairs, free_count);
  return t ? std::move(t) : VarTableNew(free_count);
}

class ScriptFixture {
 public:
  ScriptFixture() { out_.buffer = &printed_; }

  // Runs `script` from its start. Returns the code of ScriptRun.
  int Run(std::string_view script, VarTable* vars, VarTable* record = nullptr) {
    script_ = script;
    PageReader page(script_);
    objects_[0] = ScriptObject{"data", record};
    ctx_ = ScriptContext{};
    ctx_.out = &out_;
    ctx_.base_path = dir_.File("page.html");
    ctx_.settings = settings_;
    ctx_.objects = std::span<const ScriptObject>(objects_, record ? 1 : 0);
    ctx_.functions = PageTemplateFunctions();
    int code = ScriptRun(ctx_, page, vars);
    // What the template processor would read next.
    rest_ = page.Rest();
    // The failing statement, as the error report copies it.
    statement_.clear();
    if (ctx_.stop_position > ctx_.statement_start) {
      statement_ = script_.substr(static_cast<size_t>(ctx_.statement_start),
                                  static_cast<size_t>(ctx_.stop_position - ctx_.statement_start));
    }
    return code;
  }

  // Everything print and write wrote so far.
  std::string Printed() const { return printed_.ToString(); }
  // The part of the script left unread by the run.
  const std::string& Rest() const { return rest_; }
  // The text from the last statement's start to where reading stopped.
  const std::string& Statement() const { return statement_; }
  const ScriptContext& context() const { return ctx_; }
  const TempDir& dir() const { return dir_; }
  // Settings handed to the script (the survey engine's case); null by default.
  void set_settings(const VarTable* settings) { settings_ = settings; }

 private:
  TempDir dir_;
  StrBuf printed_;
  OutputStream out_;
  ScriptObject objects_[1] = {};
  ScriptContext ctx_;
  const VarTable* settings_ = nullptr;
  std::string script_;
  std::string rest_;
  std::string statement_;
};

// The value of `name`, nullopt when it is missing or empty.
inline std::optional<std::string> Value(const VarTable* vars, std::string_view name) {
  return VarTableGetOpt(vars, name);
}

}  // namespace tallypad::testing
