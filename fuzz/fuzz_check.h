// Small helpers shared by the fuzz targets: stopping a run at a broken
// invariant (so that libFuzzer keeps the input) and writing the fixture
// files the targets read.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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

}  // namespace fuzzing
