// What the load clients share: their command line (numeric options and the
// program to measure) and percentiles of measured latencies.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace loadclient {

// A numeric option "--name N" of a load client, held to at least `min`.
struct IntOption {
  const char* name;
  int* value;
  int min;
};

// Reads the command line: the options in `options` and "--binary PATH" (the
// program to start instead of the built one). On anything else it prints
// the usage line of `program` and returns false.
inline bool ParseLoadOptions(int argc, char** argv, const char* program,
                             std::initializer_list<IntOption> options, std::string* binary) {
  for (int i = 1; i < argc; ++i) {
    bool known = false;
    if (i + 1 < argc && !std::strcmp(argv[i], "--binary")) {
      *binary = argv[++i];
      known = true;
    }
    for (const IntOption& o : options) {
      if (known || i + 1 >= argc || std::strcmp(argv[i], o.name)) continue;
      *o.value = std::max(o.min, std::atoi(argv[++i]));
      known = true;
    }
    if (!known) {
      std::string usage = std::string("Usage: ") + program;
      for (const IntOption& o : options) usage += std::string(" [") + o.name + " N]";
      std::fprintf(stderr, "%s [--binary PATH]\n", usage.c_str());
      return false;
    }
  }
  return true;
}

// The value at fraction `p` (0 to 1) of the ascending `sorted`; 0 when empty.
inline double Percentile(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return 0;
  size_t at = static_cast<size_t>(p * (sorted.size() - 1) + 0.5);
  return sorted[std::min(at, sorted.size() - 1)];
}

}  // namespace loadclient
