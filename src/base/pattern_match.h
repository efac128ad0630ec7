// The matcher of the `pattern` attribute of a page's inputs. A browser
// accepts an answer when the attribute, read as a regular expression of the
// browser's script language, matches the whole answer; the survey engine
// checks the same on the server. The answer is hostile, so matching must
// cost time in proportion to its length whatever the pattern: a pattern is
// compiled into a small program of character tests and run as a
// simultaneous simulation of all its paths (a Pike machine), which reads
// each character of the answer once and keeps at most one thread per
// program instruction. There is no backtracking, hence no exponential case.
//
// Understood: characters (matched by code point, text read as UTF-8), `.`,
// classes `[...]` and `[^...]` with ranges, the escapes \d \D \w \W \s \S
// \b \B \t \n \v \f \r \0 \cX \xHH \uHHHH \u{H...} and escaped punctuation,
// groups `(...)`, `(?:...)` and `(?<name>...)`, alternatives `|`, the
// quantifiers * + ? {n} {n,} {n,m} (lazy forms too: for a whole match they
// mean the same), and ^ $. Not understood, because they need backtracking or
// tables this matcher does not have: back-references, look-arounds, Unicode
// property escapes \p{...} and nested classes; Compile returns nullopt for
// them, as for a pattern that is no regular expression at all.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace tallypad {

// Most instructions of a compiled pattern. Counted repetitions are written
// out (`[0-9]{5}` is five tests), so this bounds what `{1000}` nested in
// `{1000}` would make; real patterns need a few dozen. A pattern beyond it
// is not understood.
inline constexpr size_t kMaxPatternInstructions = 4096;
// Deepest nesting of groups and classes the compiler follows.
inline constexpr int kMaxPatternNesting = 64;

class InputPattern {
 public:
  // Compiles `source` (UTF-8) as a pattern attribute's value; nullopt when
  // it is not understood (see above) or too large.
  static std::optional<InputPattern> Compile(std::string_view source);

  // True when the pattern matches all of `text` (UTF-8), as a browser
  // matches an answer. Costs time proportional to the text's length times
  // the program's size, and memory proportional to the program's size.
  bool MatchesWhole(std::string_view text) const;

  // One instruction of the program.
  struct Instruction {
    enum Op : unsigned char {
      kChar,     // the character `c`
      kAny,      // any character but a line terminator
      kClass,    // a character of class `arg` (negated when `negated`)
      kSplit,    // go on at `arg` and at `arg2`
      kJump,     // go on at `arg`
      kAssert,   // an assertion, kind `arg`, that reads no character
      kMatch,    // the whole pattern matched
    };
    Op op;
    bool negated = false;
    char32_t c = 0;
    size_t arg = 0;
    size_t arg2 = 0;
  };
  // A class: ranges of characters, both ends included.
  struct Range {
    char32_t low;
    char32_t high;
  };

 private:
  friend class PatternCompiler;
  std::vector<Instruction> program_;
  std::vector<std::vector<Range>> classes_;
};

}  // namespace tallypad
