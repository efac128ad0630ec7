// Runs a script block from a small file the way the template processor does:
// the file holds the statements (usually ending with "%>"), print writes into
// a buffer, the page-template functions are available and the object "data"
// is the record table.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
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

  // Writes `script` to a file in the folder and runs it from its start.
  // Returns the code of ScriptRun.
  int Run(std::string_view script, VarTable* vars, VarTable* record = nullptr) {
    FilePtr page = FileOpen(dir_.Write("script.txt", script), "rb");
    if (!page) return -100;
    objects_[0] = ScriptObject{"data", record};
    ctx_ = ScriptContext{};
    ctx_.out = &out_;
    ctx_.base_path = dir_.File("page.html");
    ctx_.settings = settings_;
    ctx_.objects = std::span<const ScriptObject>(objects_, record ? 1 : 0);
    ctx_.functions = PageTemplateFunctions();
    int code = ScriptRun(ctx_, page.get(), vars);
    // What the template processor would read next.
    rest_.clear();
    int c;
    while ((c = std::getc(page.get())) != EOF) rest_.push_back(static_cast<char>(c));
    // The failing statement, as the error report copies it.
    statement_.clear();
    if (ctx_.stop_position > ctx_.statement_start) {
      std::fseek(page.get(), ctx_.statement_start, SEEK_SET);
      for (long i = ctx_.statement_start; i < ctx_.stop_position; ++i)
        statement_.push_back(static_cast<char>(std::getc(page.get())));
    }
    return code;
  }

  // Everything print and write wrote so far.
  std::string Printed() const { return printed_.ToString(); }
  // The part of the file left unread by the run.
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
  std::string rest_;
  std::string statement_;
};

// The value of `name`, nullopt when it is missing or empty.
inline std::optional<std::string> Value(const VarTable* vars, std::string_view name) {
  return VarTableGetOpt(vars, name);
}

}  // namespace tallypad::testing
