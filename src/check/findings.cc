#include "check/findings.h"

#include <algorithm>

#include "base/str.h"

namespace tallypad {

namespace {

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The edit distance of `a` and `b` without regard to case: insertions,
// deletions, changes and swaps of neighbours each count one.
size_t EditDistance(std::string_view a, std::string_view b) {
  a = a.substr(0, kClosestNameLimit);
  b = b.substr(0, kClosestNameLimit);
  std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
  for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t change = Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + change});
      if (i > 1 && j > 1 && Lower(a[i - 1]) == Lower(b[j - 2]) &&
          Lower(a[i - 2]) == Lower(b[j - 1]))
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

void Findings::Error(std::string_view file, int line, std::string text) {
  findings_.push_back({std::string(file), line, Severity::kError, std::move(text)});
  ++errors_;
}

void Findings::Warning(std::string_view file, int line, std::string text) {
  findings_.push_back({std::string(file), line, Severity::kWarning, std::move(text)});
}

void Findings::SortFrom(size_t first) {
  if (first >= findings_.size()) return;
  std::stable_sort(findings_.begin() + static_cast<long>(first), findings_.end(),
                   [](const Finding& a, const Finding& b) {
                     return a.file != b.file ? a.file < b.file : a.line < b.line;
                   });
}

std::string QuoteStatement(std::string_view text) {
  std::string out(text.substr(0, kQuotedStatementLimit));
  for (char& c : out)
    if (c == '\n' || c == '\r' || c == '\t') c = ' ';
  const size_t first = out.find_first_not_of(' ');
  out = first == std::string::npos ? std::string() : out.substr(first);
  if (text.size() > kQuotedStatementLimit) out += "...";
  return out;
}

std::string FormatFinding(const Finding& finding) {
  return finding.file + ":" + std::to_string(finding.line) + ": " +
         (finding.severity == Severity::kError ? "error: " : "warning: ") + finding.text;
}

std::string ClosestName(std::string_view name, std::span<const std::string> candidates) {
  // A typo changes a few characters: at most one in short names, about one
  // in three in longer ones.
  const size_t allowed = std::max<size_t>(1, std::min(name.size(), kClosestNameLimit) / 3);
  std::string best;
  size_t best_distance = allowed + 1;
  for (const std::string& candidate : candidates) {
    if (candidate.empty() || StrEqualNoCase(candidate, name)) continue;
    const size_t distance = EditDistance(name, candidate);
    if (distance < best_distance) {
      best_distance = distance;
      best = candidate;
    }
  }
  return best;
}

std::string DidYouMean(std::string_view closest) {
  if (closest.empty()) return "";
  return " (did you mean " + std::string(closest) + "?)";
}

}  // namespace tallypad
