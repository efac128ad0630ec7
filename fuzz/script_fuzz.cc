// Fuzzes the script statement reader: the input is a script block, read from
// memory by ScriptRun with the page-template functions, a small variable
// table and a record table as the "data" object. Output is swallowed. Checks
// that every run leaves the nesting count at zero and the positions inside
// the script.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/decode.h"
#include "base/read.h"
#include "base/vartable.h"
#include "base/output_stream.h"
#include "script/functions.h"
#include "script/script.h"
#include "fuzz_check.h"

namespace {

using fuzzing::Check;

// A folder with a small data file, so that hasRecord finds something.
const std::string& BasePath() {
  static const std::string base = [] {
    const std::string folder = fuzzing::ScratchFolder("script_fuzz");
    std::string path = folder + "d.asc";
    std::FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr);
    std::fputs("#_SESSION\tQ1\tQ2\t\r\n\"s1\"\t\"5\"\t\"a\"\t\r\n\"s2\"\t\"7\"\t\"b\"\t\r\n", f);
    std::fclose(f);
    return folder + "page.html";
  }();
  return base;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tallypad::PageReader page(std::string_view(reinterpret_cast<const char*>(data), size));

  auto vars = tallypad::VarTableFromPairs({"x=5", "s=abc", "Q=Q1", "n=-3.5", "e="}, 4);
  auto record = tallypad::VarTableFromPairs({"Q1=7", "Q2=some text"}, 0);
  const tallypad::ScriptObject objects[] = {{"data", record.get()}};
  tallypad::OutputStream out;  // no destination: output is swallowed

  tallypad::ScriptContext ctx;
  ctx.out = &out;
  ctx.base_path = BasePath();
  ctx.objects = objects;
  ctx.functions = tallypad::PageTemplateFunctions();
  int code = tallypad::ScriptRun(ctx, page, vars.get());

  Check(code == 0 || (code >= 40 && code <= 49));
  Check(ctx.depth == 0);
  Check(ctx.statement_start >= 0 && ctx.statement_start <= static_cast<long>(size));
  Check(ctx.stop_position >= 0 && ctx.stop_position <= static_cast<long>(size));
  Check(!tallypad::ScriptErrorMessage(code).empty());
  return 0;
}
