// The findings of `tallypad check`: what is wrong with a survey, where, and
// how bad it is. A finding names a file relative to the server root and a
// line in it, as compilers do, so that an editor can jump to the place; an
// error is a mistake that breaks the survey for its respondents or its
// author, a warning something that works but most likely not as meant (a
// misspelt name, a column nothing fills). The checks of check/ collect their
// findings here; the command prints them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tallypad {

// A statement quoted in a finding is cut after this many bytes.
inline constexpr size_t kQuotedStatementLimit = 60;

enum class Severity { kError, kWarning };

struct Finding {
  std::string file;  // relative to the server root
  int line = 1;      // counted from 1
  Severity severity = Severity::kError;
  std::string text;  // one sentence or two, without a final line break
};

// The findings of one check, in the order they were made.
class Findings {
 public:
  // Adds an error or a warning at `file`:`line`.
  void Error(std::string_view file, int line, std::string text);
  void Warning(std::string_view file, int line, std::string text);
  // Orders the findings from the `first` on by file, then line, keeping the
  // order of findings at the same place.
  void SortFrom(size_t first);
  const std::vector<Finding>& all() const { return findings_; }
  size_t errors() const { return errors_; }
  size_t warnings() const { return findings_.size() - errors_; }

 private:
  std::vector<Finding> findings_;
  size_t errors_ = 0;
};

// Returns the finding as one line: "file:line: error: text".
std::string FormatFinding(const Finding& finding);
// Returns a statement as a finding quotes it: blanks for line breaks and
// tabs, leading blanks dropped, cut after kQuotedStatementLimit bytes.
std::string QuoteStatement(std::string_view text);

// Names longer than this are compared by their first characters only: the
// comparison takes time in proportion to the product of two lengths.
inline constexpr size_t kClosestNameLimit = 64;

// Returns the name among `candidates` closest to `name` (without regard to
// case) when it is close enough to be a likely typo of it; "" otherwise.
// Names compared are cut to kClosestNameLimit characters.
std::string ClosestName(std::string_view name, std::span<const std::string> candidates);

// Returns " (did you mean NAME?)" for a non-empty `closest`, else "".
std::string DidYouMean(std::string_view closest);

}  // namespace tallypad
