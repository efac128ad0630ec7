// Small helpers shared by the fuzz targets: stopping a run at a broken
// invariant (so that libFuzzer keeps the input), a scratch folder for the
// fixture files the targets read, and writing those files.
#pragma once

#include <stdlib.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"

namespace fuzzing {

// Stops the run with the place of the broken invariant.
inline void Check(bool ok, int line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken at line %d\n", line);
  std::abort();
}

// Writes `text` as the whole content of the file at `path`.
inline void WriteFile(const std::string& path, std::string_view text) {
  tallypad::FilePtr f = tallypad::FileOpen(path, "wb");
  Check(f != nullptr);
  if (!text.empty()) Check(std::fwrite(text.data(), 1, text.size(), f.get()) == text.size());
}

// Makes a new folder "<name>_XXXXXX" in the temporary folder and returns its
// path with a trailing '/'; it is removed when the process exits normally.
inline std::string ScratchFolder(const char* name) {
  // Removes the folders at exit (a static object's destructor runs on exit()).
  struct Remover {
    std::vector<std::string> paths;
    ~Remover() {
      std::error_code ignored;
      for (const std::string& path : paths) std::filesystem::remove_all(path, ignored);
    }
  };
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + "_XXXXXX";
  Check(mkdtemp(pattern.data()) != nullptr);
  static Remover remover;
  remover.paths.push_back(pattern);
  return pattern + "/";
}

}  // namespace fuzzing
