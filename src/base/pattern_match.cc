#include "base/pattern_match.h"

#include <algorithm>
#include <string>

#include "base/utf8_read.h"

namespace tallypad {

namespace {

// Largest count of a {n,m} quantifier read; any larger one makes a program
// beyond kMaxPatternInstructions anyway.
constexpr int kMaxRepeatCount = 100000;
// The last character there is.
constexpr char32_t kLastCharacter = 0x10FFFF;

enum AssertKind : size_t { kAtStart, kAtEnd, kWordBoundary, kNotWordBoundary };

using Range = InputPattern::Range;
using Ranges = std::vector<Range>;

// A parsed pattern, before it is written out as instructions.
struct Node {
  enum Kind { kEmpty, kChar, kAny, kClass, kAssert, kConcat, kAlternatives, kRepeat };
  Kind kind = kEmpty;
  char32_t c = 0;
  size_t index = 0;  // the class, or the assertion's kind
  bool negated = false;
  int min = 0, max = 0;  // a repeat's bounds; max -1 has no end
  std::vector<Node> children{};
};

const Ranges kDigits = {{'0', '9'}};
const Ranges kWordCharacters = {{'0', '9'}, {'A', 'Z'}, {'_', '_'}, {'a', 'z'}};
// White space and line terminators of the script language.
const Ranges kSpaces = {{0x09, 0x0D}, {0x20, 0x20},     {0xA0, 0xA0},     {0x1680, 0x1680},
                        {0x2000, 0x200A}, {0x2028, 0x2029}, {0x202F, 0x202F}, {0x205F, 0x205F},
                        {0x3000, 0x3000}, {0xFEFF, 0xFEFF}};

bool IsWordCharacter(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool IsLineTerminator(char32_t c) { return c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029; }

bool IsSyntaxCharacter(char32_t c) {
  return c == '^' || c == '$' || c == '\\' || c == '.' || c == '*' || c == '+' || c == '?' ||
         c == '(' || c == ')' || c == '[' || c == ']' || c == '{' || c == '}' || c == '|' ||
         c == '/';
}

bool IsAsciiLetterOrDigit(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int HexValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<int>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<int>(c - 'A' + 10);
  return -1;
}

// The characters not in `ranges` (sorted, not overlapping).
Ranges Complement(const Ranges& ranges) {
  Ranges out;
  char32_t next = 0;
  for (const Range& r : ranges) {
    if (r.low > next) out.push_back({next, r.low - 1});
    next = r.high + 1;
  }
  if (next <= kLastCharacter) out.push_back({next, kLastCharacter});
  return out;
}

// Sorts ranges and joins those that overlap or touch.
Ranges Normalized(Ranges ranges) {
  std::sort(ranges.begin(), ranges.end(),
            [](const Range& a, const Range& b) { return a.low < b.low; });
  Ranges out;
  for (const Range& r : ranges) {
    if (!out.empty() && r.low <= out.back().high + 1) {
      out.back().high = std::max(out.back().high, r.high);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

}  // namespace

// Reads a pattern into nodes and writes the nodes out as instructions.
// Every reading function returns false when the pattern is not understood.
class PatternCompiler {
 public:
  explicit PatternCompiler(std::string_view source) {
    for (size_t pos = 0; pos < source.size();) chars_.push_back(Utf8Next(source, &pos));
  }

  std::optional<InputPattern> Compile() {
    Node root;
    if (!Disjunction(&root, 0) || at_ != chars_.size()) return std::nullopt;
    if (!Emit(root)) return std::nullopt;
    if (!Put({.op = InputPattern::Instruction::kMatch})) return std::nullopt;
    return std::move(pattern_);
  }

 private:
  bool AtEnd() const { return at_ >= chars_.size(); }
  char32_t Peek(size_t ahead = 0) const {
    return at_ + ahead < chars_.size() ? chars_[at_ + ahead] : 0;
  }
  bool Has(size_t ahead) const { return at_ + ahead < chars_.size(); }

  size_t AddClass(Ranges ranges) {
    pattern_.classes_.push_back(Normalized(std::move(ranges)));
    return pattern_.classes_.size() - 1;
  }

  bool Disjunction(Node* out, int depth) {
    if (depth > kMaxPatternNesting) return false;
    Node alternatives{.kind = Node::kAlternatives};
    for (;;) {
      Node alternative{.kind = Node::kConcat};
      while (!AtEnd() && Peek() != '|' && Peek() != ')') {
        if (!Term(&alternative, depth)) return false;
      }
      alternatives.children.push_back(std::move(alternative));
      if (AtEnd() || Peek() == ')') break;
      ++at_;  // the '|'
    }
    *out = alternatives.children.size() == 1 ? std::move(alternatives.children[0])
                                              : std::move(alternatives);
    return true;
  }

  bool Term(Node* alternative, int depth) {
    const char32_t c = Peek();
    Node atom;
    bool quantifiable = true;
    if (c == '^' || c == '$') {
      ++at_;
      atom = {.kind = Node::kAssert, .index = c == '^' ? kAtStart : kAtEnd};
      quantifiable = false;
    } else if (c == '\\' && (Peek(1) == 'b' || Peek(1) == 'B')) {
      atom = {.kind = Node::kAssert, .index = Peek(1) == 'b' ? kWordBoundary : kNotWordBoundary};
      at_ += 2;
      quantifiable = false;
    } else if (c == '(') {
      if (!Group(&atom, depth)) return false;
    } else if (c == '.') {
      ++at_;
      atom = {.kind = Node::kAny};
    } else if (c == '[') {
      if (!Class(&atom)) return false;
    } else if (c == '\\') {
      ++at_;
      if (!AtomEscape(&atom)) return false;
    } else if (c == '*' || c == '+' || c == '?' || c == '{' || c == '}' || c == ']') {
      return false;  // a quantifier with nothing before it, or a lone bracket
    } else {
      ++at_;
      atom = {.kind = Node::kChar, .c = c};
    }
    int min = 1, max = 1;
    if (!Quantifier(&min, &max)) return false;
    if (min == 1 && max == 1) {
      alternative->children.push_back(std::move(atom));
      return true;
    }
    if (!quantifiable) return false;
    Node repeat{.kind = Node::kRepeat, .min = min, .max = max};
    repeat.children.push_back(std::move(atom));
    alternative->children.push_back(std::move(repeat));
    return true;
  }

  bool Group(Node* out, int depth) {
    ++at_;  // the '('
    if (Peek() == '?') {
      if (Peek(1) == ':') {
        at_ += 2;
      } else if (Peek(1) == '<' && Peek(2) != '=' && Peek(2) != '!') {
        // A named group: the name is read over; names are not used.
        at_ += 2;
        while (!AtEnd() && Peek() != '>') {
          if (!IsAsciiLetterOrDigit(Peek()) && Peek() != '_' && Peek() != '$') return false;
          ++at_;
        }
        if (AtEnd()) return false;
        ++at_;
      } else {
        return false;  // look-arounds
      }
    }
    if (!Disjunction(out, depth + 1)) return false;
    if (Peek() != ')' || AtEnd()) return false;
    ++at_;
    return true;
  }

  bool ReadCount(int* value) {
    if (AtEnd() || Peek() < '0' || Peek() > '9') return false;
    long n = 0;
    while (!AtEnd() && Peek() >= '0' && Peek() <= '9') {
      n = std::min<long>(n * 10 + static_cast<long>(Peek() - '0'), kMaxRepeatCount + 1L);
      ++at_;
    }
    *value = static_cast<int>(n);
    return true;
  }

  bool Quantifier(int* min, int* max) {
    if (AtEnd()) return true;
    const char32_t c = Peek();
    if (c == '*') {
      *min = 0, *max = -1;
    } else if (c == '+') {
      *min = 1, *max = -1;
    } else if (c == '?') {
      *min = 0, *max = 1;
    } else if (c == '{') {
      ++at_;
      if (!ReadCount(min)) return false;
      *max = *min;
      if (Peek() == ',') {
        ++at_;
        *max = -1;
        if (Peek() != '}' && !ReadCount(max)) return false;
      }
      if (AtEnd() || Peek() != '}') return false;
      if (*max != -1 && *max < *min) return false;
      if (*min > kMaxRepeatCount || *max > kMaxRepeatCount) return false;
    } else {
      return true;
    }
    ++at_;
    if (!AtEnd() && Peek() == '?') ++at_;  // lazy: the same for a whole match
    return true;
  }

  // Reads \xHH, \uHHHH (a pair of them for a surrogate pair) or \u{H...}
  // after the 'x' or 'u'; false when malformed.
  bool HexEscape(char32_t kind, char32_t* value) {
    auto hex_digits = [&](size_t count, char32_t* v) {
      char32_t n = 0;
      for (size_t i = 0; i < count; ++i) {
        int d = HexValue(Peek(i));
        if (!Has(i) || d < 0) return false;
        n = n * 16 + static_cast<char32_t>(d);
      }
      at_ += count;
      *v = n;
      return true;
    };
    if (kind == 'x') return hex_digits(2, value);
    if (Peek() == '{') {
      ++at_;
      char32_t n = 0;
      size_t digits = 0;
      while (!AtEnd() && Peek() != '}') {
        int d = HexValue(Peek());
        if (d < 0) return false;
        n = n * 16 + static_cast<char32_t>(d);
        if (n > kLastCharacter) return false;
        ++at_, ++digits;
      }
      if (AtEnd() || digits == 0) return false;
      ++at_;
      *value = n;
      return true;
    }
    if (!hex_digits(4, value)) return false;
    if (*value >= 0xD800 && *value <= 0xDBFF && Peek() == '\\' && Peek(1) == 'u') {
      const size_t back = at_;
      at_ += 2;
      char32_t low;
      if (hex_digits(4, &low) && low >= 0xDC00 && low <= 0xDFFF) {
        *value = 0x10000 + ((*value - 0xD800) << 10) + (low - 0xDC00);
      } else {
        at_ = back;
      }
    }
    return true;
  }

  // A class escape (\d \D \w \W \s \S) after the backslash: its ranges.
  bool ClassEscape(Ranges* ranges) {
    const char32_t c = Peek();
    const Ranges* base = nullptr;
    if (c == 'd' || c == 'D') base = &kDigits;
    if (c == 'w' || c == 'W') base = &kWordCharacters;
    if (c == 's' || c == 'S') base = &kSpaces;
    if (!base) return false;
    ++at_;
    *ranges = (c == 'D' || c == 'W' || c == 'S') ? Complement(*base) : *base;
    return true;
  }

  // A character escape after the backslash; `in_class` allows \b
  // (backspace) and \-.
  bool CharacterEscape(char32_t* value, bool in_class) {
    if (AtEnd()) return false;
    const char32_t c = Peek();
    ++at_;
    switch (c) {
      case 't': *value = '\t'; return true;
      case 'n': *value = '\n'; return true;
      case 'v': *value = '\v'; return true;
      case 'f': *value = '\f'; return true;
      case 'r': *value = '\r'; return true;
      case 'x':
      case 'u': return HexEscape(c, value);
      case 'c': {
        const char32_t letter = Peek();
        if (!((letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z'))) return false;
        ++at_;
        *value = letter % 32;
        return true;
      }
      case '0':
        if (Peek() >= '0' && Peek() <= '9' && Has(0)) return false;
        *value = 0;
        return true;
      default: break;
    }
    if (in_class && c == 'b') {
      *value = '\b';
      return true;
    }
    // Escaped punctuation stands for itself; an escaped letter or digit
    // that means nothing above (a back-reference, \p, \k) is not understood.
    if (IsSyntaxCharacter(c) || c == '-' || (c < 0x80 && !IsAsciiLetterOrDigit(c))) {
      *value = c;
      return true;
    }
    return false;
  }

  bool AtomEscape(Node* out) {
    Ranges ranges;
    if (ClassEscape(&ranges)) {
      *out = {.kind = Node::kClass, .index = AddClass(std::move(ranges))};
      return true;
    }
    char32_t value;
    if (!CharacterEscape(&value, false)) return false;
    *out = {.kind = Node::kChar, .c = value};
    return true;
  }

  // One atom of a class: a character (`*single`) or the ranges of a class
  // escape.
  bool ClassAtom(char32_t* single, Ranges* ranges, bool* is_single) {
    const char32_t c = Peek();
    if (c == '[') return false;  // a nested class
    ++at_;
    if (c != '\\') {
      *single = c;
      *is_single = true;
      return true;
    }
    if (ClassEscape(ranges)) {
      *is_single = false;
      return true;
    }
    *is_single = true;
    return CharacterEscape(single, true);
  }

  bool Class(Node* out) {
    ++at_;  // the '['
    bool negated = false;
    if (Peek() == '^' && Has(0)) {
      negated = true;
      ++at_;
    }
    Ranges ranges;
    while (!AtEnd() && Peek() != ']') {
      char32_t low;
      Ranges escaped;
      bool single;
      if (!ClassAtom(&low, &escaped, &single)) return false;
      if (!single) {
        ranges.insert(ranges.end(), escaped.begin(), escaped.end());
        continue;
      }
      if (Peek() == '-' && Has(1) && Peek(1) != ']') {
        ++at_;
        char32_t high;
        bool high_single;
        if (!ClassAtom(&high, &escaped, &high_single) || !high_single || high < low) return false;
        ranges.push_back({low, high});
      } else {
        ranges.push_back({low, low});
      }
    }
    if (AtEnd()) return false;
    ++at_;  // the ']'
    *out = {.kind = Node::kClass, .index = AddClass(std::move(ranges)), .negated = negated};
    return true;
  }

  // ---- Writing out ----

  bool Put(InputPattern::Instruction instruction) {
    if (pattern_.program_.size() >= kMaxPatternInstructions) return false;
    pattern_.program_.push_back(instruction);
    return true;
  }
  size_t Here() const { return pattern_.program_.size(); }
  InputPattern::Instruction& At(size_t pc) { return pattern_.program_[pc]; }

  bool Emit(const Node& node) {
    using I = InputPattern::Instruction;
    switch (node.kind) {
      case Node::kEmpty:
        return true;
      case Node::kChar:
        return Put({.op = I::kChar, .c = node.c});
      case Node::kAny:
        return Put({.op = I::kAny});
      case Node::kClass:
        return Put({.op = I::kClass, .negated = node.negated, .arg = node.index});
      case Node::kAssert:
        return Put({.op = I::kAssert, .arg = node.index});
      case Node::kConcat:
        for (const Node& child : node.children)
          if (!Emit(child)) return false;
        return true;
      case Node::kAlternatives: {
        // split(first, next); first; jump end; next: split(second, ...) ...
        std::vector<size_t> jumps;
        for (size_t i = 0; i < node.children.size(); ++i) {
          const bool last = i + 1 == node.children.size();
          size_t split = 0;
          if (!last) {
            split = Here();
            if (!Put({.op = I::kSplit})) return false;
            At(split).arg = Here();
          }
          if (!Emit(node.children[i])) return false;
          if (!last) {
            jumps.push_back(Here());
            if (!Put({.op = I::kJump})) return false;
            At(split).arg2 = Here();
          }
        }
        for (size_t jump : jumps) At(jump).arg = Here();
        return true;
      }
      case Node::kRepeat: {
        const Node& child = node.children[0];
        for (int i = 0; i < node.min; ++i)
          if (!Emit(child)) return false;
        if (node.max == -1) {
          // loop: split(body, end); body; jump loop
          const size_t loop = Here();
          if (!Put({.op = I::kSplit})) return false;
          At(loop).arg = Here();
          if (!Emit(child)) return false;
          if (!Put({.op = I::kJump, .arg = loop})) return false;
          At(loop).arg2 = Here();
          return true;
        }
        // Each optional copy: split(body, end); body.
        std::vector<size_t> splits;
        for (int i = node.min; i < node.max; ++i) {
          splits.push_back(Here());
          if (!Put({.op = I::kSplit})) return false;
          At(splits.back()).arg = Here();
          if (!Emit(child)) return false;
        }
        for (size_t split : splits) At(split).arg2 = Here();
        return true;
      }
    }
    return false;
  }

  std::vector<char32_t> chars_;
  size_t at_ = 0;
  InputPattern pattern_;
};

std::optional<InputPattern> InputPattern::Compile(std::string_view source) {
  return PatternCompiler(source).Compile();
}

bool InputPattern::MatchesWhole(std::string_view text) const {
  const size_t size = program_.size();
  // Threads of the current and the next step, and the step that last added
  // each instruction, so an instruction is added once per step.
  std::vector<size_t> current, next, stack;
  std::vector<size_t> added(size, SIZE_MAX);
  current.reserve(size);
  next.reserve(size);

  // The characters around the position being matched; kNone before the
  // first and after the last.
  constexpr char32_t kNone = 0xFFFFFFFF;
  auto holds = [](char32_t prev, char32_t after, size_t kind) {
    const bool word_before = prev != kNone && IsWordCharacter(prev);
    const bool word_after = after != kNone && IsWordCharacter(after);
    switch (kind) {
      case kAtStart: return prev == kNone;
      case kAtEnd: return after == kNone;
      case kWordBoundary: return word_before != word_after;
      default: return word_before == word_after;
    }
  };
  // Follows jumps, splits and assertions from `pc`, adding the
  // instructions that read a character (or match) to `list`.
  auto add = [&](std::vector<size_t>& list, size_t pc, size_t step, char32_t prev,
                 char32_t after) {
    stack.clear();
    stack.push_back(pc);
    while (!stack.empty()) {
      const size_t at = stack.back();
      stack.pop_back();
      if (added[at] == step) continue;
      added[at] = step;
      const Instruction& in = program_[at];
      switch (in.op) {
        case Instruction::kJump: stack.push_back(in.arg); break;
        case Instruction::kSplit:
          stack.push_back(in.arg2);
          stack.push_back(in.arg);
          break;
        case Instruction::kAssert:
          if (holds(prev, after, in.arg)) stack.push_back(at + 1);
          break;
        default: list.push_back(at); break;
      }
    }
  };
  auto in_class = [&](const Instruction& in, char32_t c) {
    const std::vector<Range>& ranges = classes_[in.arg];
    auto it = std::upper_bound(ranges.begin(), ranges.end(), c,
                               [](char32_t v, const Range& r) { return v < r.low; });
    const bool member = it != ranges.begin() && c <= (it - 1)->high;
    return member != in.negated;
  };

  size_t pos = 0;
  char32_t prev = kNone;
  char32_t c = pos < text.size() ? Utf8Next(text, &pos) : kNone;
  size_t step = 0;
  add(current, 0, step, prev, c);
  for (;;) {
    if (c == kNone) {
      for (size_t pc : current)
        if (program_[pc].op == Instruction::kMatch) return true;
      return false;
    }
    const char32_t after = pos < text.size() ? Utf8Next(text, &pos) : kNone;
    ++step;
    next.clear();
    for (size_t pc : current) {
      const Instruction& in = program_[pc];
      bool takes = false;
      switch (in.op) {
        case Instruction::kChar: takes = in.c == c; break;
        case Instruction::kAny: takes = !IsLineTerminator(c); break;
        case Instruction::kClass: takes = in_class(in, c); break;
        default: break;
      }
      if (takes) add(next, pc + 1, step, c, after);
    }
    if (next.empty()) return false;
    current.swap(next);
    prev = c;
    c = after;
  }
}

}  // namespace tallypad
