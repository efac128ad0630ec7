// Fuzzes the configuration file loader: the input is written to a file and
// several sections are loaded from it, with and without free entries, then
// read as the engines read them (VarTableGet, ProfileGetInt). Checks the
// table layout and that no loaded line carries a line end, a comment or a
// section header.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/file.h"
#include "base/vartable.h"
#include "fuzz_check.h"
#include "platform/profile.h"

namespace {

using fuzzing::Check;

// The file the input is written to, in a folder made once per process.
const std::string& IniPath() {
  static const std::string path = [] {
    return fuzzing::ScratchFolder("ini_fuzz") + "form.ini";
  }();
  return path;
}

// The sections the program loads, in the cases it writes them, plus one
// that files rarely hold and the empty name.
constexpr std::string_view kSections[] = {"server", "DATABASE", "database", "access",
                                          "COUNT",  "SUM",      "responses", ""};

void CheckSection(const tallypad::VarTable* t, size_t free_count) {
  Check(t->next == nullptr && t->entries.size() >= free_count);
  for (size_t i = 0; i < t->entries.size(); ++i) {
    const tallypad::VarEntry& e = t->entries[i];
    Check(e.name.has_value() && e.value.has_value());
    if (i < free_count) {
      Check(e.IsFree() && e.value->empty());
      continue;
    }
    const std::string& name = *e.name;
    const std::string& value = *e.value;
    Check(name.find('\n') == std::string::npos && value.find('\n') == std::string::npos);
    Check(name.find('=') == std::string::npos);
    // Comments and section headers never become entries; lines are trimmed.
    if (!name.empty()) Check(name[0] != ';' && name[0] != '[' && name[0] != ' ' && name[0] != '\t');
    if (!value.empty())
      Check(value.back() != '\r' && value.back() != ' ' && value.back() != '\t');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = IniPath();
  {
    tallypad::FilePtr f = tallypad::FileOpen(path, "wb");
    Check(f != nullptr);
    if (size > 0) Check(std::fwrite(data, 1, size, f.get()) == size);
  }

  for (std::string_view section : kSections) {
    for (size_t free_count : {size_t{0}, size_t{3}}) {
      tallypad::VarTablePtr t = tallypad::IniLoadSection(path, section, free_count);
      if (size == 0) {
        Check(t == nullptr);
        continue;
      }
      if (!t) {
        Check(free_count == 0);
        continue;
      }
      CheckSection(t.get(), free_count);
      // What the engines do with a loaded section.
      for (std::string_view key : {"MODE", "HOME", "SAVEDATANAME", "PWD", "ALL", ""}) {
        std::string value = tallypad::VarTableGet(t.get(), key, "x");
        Check(!value.empty());
      }
      tallypad::ProfileGetInt(path, section, "ALL", -1);
    }
  }
  return 0;
}
