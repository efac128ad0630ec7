// Fuzzes the template processor and its directives. Input: the first byte
// chooses the run's options (bit 0 form rewriting, bit 1 a record table,
// bit 2 a dry run without output, bit 3 the stop name "/report", bit 4 a
// pending-fields table); the rest is the page, read from memory.
// The page's folder holds a few files that directives can name: a.htm (a
// template), c.css (a file to copy), d.asc (a data file of two records) and
// s.ini (a statistics file).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/decode.h"
#include "base/read.h"
#include "base/strbuf.h"
#include "base/output_stream.h"
#include "script/template.h"
#include "fuzz_check.h"

namespace {

using fuzzing::Check;
using fuzzing::WriteFile;

// The folder of the page, made once per process with its files.
const std::string& PageFolder() {
  static const std::string folder = [] {
    std::string dir = fuzzing::ScratchFolder("template_fuzz");
    WriteFile(dir + "a.htm", "<p><%= Q1 %>{Q1}<INPUT NAME=Q1 VALUE=x><%if Q1 == 5%>y<%end%></p>");
    WriteFile(dir + "c.css", "b { <%= Q1 %> }");
    WriteFile(dir + "d.asc", "#_SESSION\tQ1\tQ2\t\n\"s1\"\t\"5\"\t\"red\"\t\n\"s2\"\t\"3\"\t\"x\"\t\n");
    WriteFile(dir + "s.ini", "[COUNT]\nALL=2\nQ1=1\n[SUM]\nQ1=8\n");
    return dir;
  }();
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = data[0];
  const std::string base_path = PageFolder() + "page.htm";

  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  tallypad::PageReader page(text);

  auto vars = tallypad::VarTableFromPairs(
      {"Q1=5", "Q2=red", "c=2", "c=3", "T=<b>&", "_SESSION=abc", "HOST=127.0.0.1", "E="}, 8);
  auto record = tallypad::VarTableFromPairs({"Q1=7", "#=1", "N=3.5"}, 0);
  auto pending = tallypad::VarTableFromPairs({"Q1=", "Q2=", "c=", "X="}, 0);

  tallypad::StrBuf buf;
  tallypad::OutputStream out{nullptr, nullptr, &buf};
  int r = tallypad::TemplateProcess({.base_path = base_path,
                                     .out = (options & 4) ? nullptr : &out,
                                     .page = &page,
                                     .vars = vars.get(),
                                     .record = (options & 2) ? record.get() : nullptr,
                                     .pending = (options & 16) ? pending.get() : nullptr,
                                     .formfill = (options & 1) != 0,
                                     .stop = (options & 8) ? "/report" : ""});
  Check(r == 0 || r == -1);
  Check(page.Tell() <= text.size());
  Check(tallypad::TemplateDepth() == 0);
  if (options & 4) Check(buf.Length() == 0);
  return 0;
}
