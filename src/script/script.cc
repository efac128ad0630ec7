// Script statements: one level of a script block, read and run statement by
// statement. Braced blocks (nested blocks and branch bodies) are levels of
// their own, run by recursion on the same context; an error ends the
// innermost level and every enclosing level passes the code up.
#include "script/script.h"

#include <algorithm>

#include "base/str.h"
#include "script/expr.h"
#include "script/script_read.h"

namespace tallypad {

namespace {

// Longest text an assignment stores. Far above any real answer or computed
// text, it keeps a short script that doubles a variable again and again
// ("x = x x;") from taking all memory.
constexpr size_t kScriptMaxValueLength = 1 << 20;

// Free entries added to a full variable table by an assignment.
constexpr size_t kVarTableGrowth = 128;

bool IsLineEnd(int c) { return c == '\r' || c == '\n'; }
bool IsTextToken(const std::string& token) { return !token.empty() && token[0] == '\''; }

bool IsStopKeyword(std::string_view token) {
  for (std::string_view stop : {"</script>", "&exit", "exit", "&end", "&return"}) {
    if (StrEqualNoCase(token, stop)) return true;
  }
  return false;
}

// Appends `piece` while the value stays within kScriptMaxValueLength.
void AppendPiece(std::string& value, std::string_view piece) {
  size_t room = kScriptMaxValueLength - std::min(value.size(), kScriptMaxValueLength);
  value.append(piece.substr(0, room));
}

// Where the next statement begins: the lookahead byte, when it is the first
// byte of the statement, has already been read.
long StatementStart(const PageReader& page, int lookahead) {
  long pos = static_cast<long>(page.Tell());
  if (pos > 0 && lookahead > 0 && lookahead != ' ' && lookahead != '\t' && !IsLineEnd(lookahead))
    --pos;
  return pos;
}

// One nesting level of a script run.
class Level {
 public:
  Level(ScriptContext& ctx, PageReader& page, VarTable* vars)
      : ctx_(ctx), page_(page), vars_(vars), la_(ctx.lookahead) {}

  // Runs statements until the level ends; returns 0 or an error code.
  int Run();
  int lookahead() const { return la_; }

 private:
  int NextToken() { return ScriptNextToken(page_, &token_, kScriptTokenBufferSize, &la_); }

  int If();
  int ElseIf();
  int Else();
  int ReadCondition(bool* result);
  int RunBody();
  int SkipBody();
  int FindBodyStart();
  int NestedRun();
  void SkipLine();
  int AssignOrCall(std::string name);
  int Assign(const std::string& name, bool append);
  int BuildText(const std::string& name, bool append, std::string value);
  int ReadArithmetic(const std::string& first, std::string* value);
  void Store(const std::string& name, std::string_view value);

  ScriptContext& ctx_;
  PageReader& page_;
  VarTable* vars_;
  int la_;
  bool in_chain_ = false;  // an "if" was seen and no assignment or call since
  bool taken_ = false;     // the condition last evaluated in the chain was true
  std::string token_;
};

int Level::Run() {
  for (;;) {
    if (la_ == -1) return 0;
    ctx_.statement_start = StatementStart(page_, la_);
    if (NextToken() == -1) return 0;
    const std::string& t = token_;
    int code = 0;
    if (t.empty() || t == ";" || t == "," || IsTextToken(t)) {
      continue;
    } else if (t == "#") {
      SkipLine();
    } else if (t == "/") {
      if (!IsLineEnd(la_)) SkipLine();
    } else if (t == "}") {
      return 0;
    } else if (t == "{") {
      code = NestedRun();
    } else if (StrEqualNoCase(t, "var")) {
      continue;
    } else if (IsStopKeyword(t)) {
      // The page goes on after the keyword and its lookahead; a block end
      // right there ("exit %>") is consumed whole, not left as page text.
      if (la_ == '%') ScriptBlockEndFollows(page_);
      la_ = -1;
      return 0;
    } else if (StrEqualNoCase(t, "delete")) {
      NextToken();
      if (!token_.empty()) VarTableRename(vars_, token_, std::nullopt);
    } else if (StrEqualNoCase(t, "if")) {
      code = If();
    } else if (StrEqualNoCase(t, "else")) {
      code = Else();
    } else if (StrEqualNoCase(t, "elsif") || StrEqualNoCase(t, "elif")) {
      code = ElseIf();
    } else {
      in_chain_ = false;
      code = AssignOrCall(token_);
    }
    if (code > 0) return code;
  }
}

void Level::SkipLine() { la_ = ScriptSkipTo(page_, '\n') ? ' ' : -1; }

int Level::NestedRun() {
  ctx_.lookahead = la_;
  int code = ScriptRun(ctx_, page_, vars_);
  la_ = ctx_.lookahead;
  return code;
}

int Level::If() {
  bool result = false;
  if (int code = ReadCondition(&result)) return code;
  in_chain_ = true;
  // A dry run runs every body and takes no branch, so the bodies of the
  // elsif and else branches run as well.
  taken_ = result && !ctx_.dry_run;
  return taken_ || ctx_.dry_run ? RunBody() : SkipBody();
}

int Level::ElseIf() {
  if (!in_chain_) return kScriptElseWithoutIf;
  // A branch was taken: this body is skipped, its condition passed over by
  // the search for the body's "{".
  if (taken_) return SkipBody();
  bool result = false;
  if (int code = ReadCondition(&result)) return code;
  taken_ = result && !ctx_.dry_run;
  return taken_ || ctx_.dry_run ? RunBody() : SkipBody();
}

int Level::Else() {
  if (!in_chain_) return kScriptElseWithoutIf;
  if (la_ != '{') {
    NextToken();
    if (StrEqualNoCase(token_, "if")) return ElseIf();
    if (token_.empty()) return kScriptNeedClosingBrace;  // the block ended after "else"
    la_ = static_cast<unsigned char>(token_[0]);
  }
  in_chain_ = false;
  return taken_ ? SkipBody() : RunBody();
}

// Reads "(condition)" and evaluates it; an evaluation error counts as true.
int Level::ReadCondition(bool* result) {
  if (la_ != '(' && (la_ == -1 || !ScriptSkipTo(page_, '('))) return kScriptParenExpected;
  std::string condition;
  if (!ScriptReadTo(page_, ')', &condition)) return kScriptNeedClosingParen;
  la_ = ' ';
  *result = CondEvaluate(condition, vars_, nullptr) != 0;
  return 0;
}

// Moves to just after the body's "{"; returns 0 or kScriptNeedClosingBrace.
int Level::FindBodyStart() {
  if (la_ == '{') return 0;
  if (la_ == -1 || !ScriptSkipTo(page_, '{')) return kScriptNeedClosingBrace;
  return 0;
}

int Level::RunBody() {
  if (int code = FindBodyStart()) return code;
  la_ = ' ';
  return NestedRun();
}

int Level::SkipBody() {
  if (int code = FindBodyStart()) return code;
  // Braces are counted wherever they stand, inside quoted texts too.
  int depth = 1;
  while (depth > 0) {
    int c = page_.Get();
    if (c == EOF) {
      la_ = -1;
      return 0;
    }
    if (c == '{') ++depth;
    if (c == '}') --depth;
  }
  la_ = ' ';
  return 0;
}

int Level::AssignOrCall(std::string name) {
  NextToken();
  if (token_ == "(") {
    int code = ScriptCallFunction(ctx_, page_, la_, name, vars_, nullptr);
    la_ = ' ';
    return code;
  }
  if (token_ == "=") return Assign(name, false);
  if (token_ == "+=") return Assign(name, true);
  return kScriptCannotProcess;
}

int Level::Assign(const std::string& name, bool append) {
  const int r = NextToken();
  const std::string v = token_;

  if (la_ == '[') {
    std::string result;
    int code = ScriptObjectValue(ctx_, page_, 0, v, vars_, &result);
    la_ = ' ';
    if (code) return code;
    Store(name, result);
    return 0;
  }
  if (la_ == '(') {
    std::optional<std::string> result;
    int code = ScriptCallFunction(ctx_, page_, 0, v, vars_, &result);
    la_ = ' ';
    if (code) return code;
    Store(name, result.value_or(""));
    return 0;
  }
  if (IsTextToken(v)) {
    if (r == -1) return kScriptNeedClosingQuote;
    return BuildText(name, append, v.substr(1));
  }
  if (v.empty()) return kScriptExpectingValue;

  std::string number;
  if (StrLooksNumeric(v)) {
    number = v;
  } else {
    std::string stored = VarTableGet(vars_, v, "");
    if (StrLooksNumeric(stored)) number = std::move(stored);
  }
  if (number.empty()) return BuildText(name, append, VarTableGet(vars_, v, ""));

  // A number alone on its line (or before ";" or the block end) is the value.
  bool alone = la_ <= 0 || IsLineEnd(la_) || la_ == ';';
  if (!alone && la_ == '%' && ScriptBlockEndFollows(page_)) {
    la_ = -1;
    alone = true;
  }
  if (alone) {
    Store(name, number);
    return 0;
  }
  std::string value;
  ReadArithmetic(v, &value);
  Store(name, value);
  return 0;
}

// Reads the rest of an arithmetic line after its first operand `first` and
// the lookahead, and evaluates the whole line. The line ends at CR, LF or
// ";" (the new lookahead) or at the block end.
int Level::ReadArithmetic(const std::string& first, std::string* value) {
  std::string text = first;
  text.push_back(' ');
  text.push_back(static_cast<char>(la_));
  const size_t keep = std::max(text.size(), kScriptRawTextKeep);
  for (;;) {
    int c = page_.Get();
    if (c == EOF) {
      la_ = -1;
      break;
    }
    if (IsLineEnd(c) || c == ';') {
      la_ = c;
      break;
    }
    if (c == '%' && ScriptBlockEndFollows(page_)) {
      la_ = -1;
      break;
    }
    if (text.size() < keep) text.push_back(static_cast<char>(c));
  }
  *value = ExprEvaluate(vars_, text);
  return 0;
}

// Builds a text value from `value` (the first piece) and the pieces that
// follow up to the end of the line, ";", a call or an object reference.
int Level::BuildText(const std::string& name, bool append, std::string value) {
  std::string built;
  if (append) AppendPiece(built, ExprEvaluate(vars_, name));
  AppendPiece(built, value);
  while (la_ > 0 && !IsLineEnd(la_) && la_ != ';') {
    const int r = NextToken();
    if (la_ == '(' || la_ == '[') {
      // A call or an object reference ends the value.
      std::optional<std::string> result;
      int code;
      if (la_ == '(') {
        code = ScriptCallFunction(ctx_, page_, 0, token_, vars_, &result);
      } else {
        result.emplace();
        code = ScriptObjectValue(ctx_, page_, 0, token_, vars_, &*result);
      }
      la_ = ' ';
      if (code) return code;
      AppendPiece(built, result.value_or(""));
      break;
    }
    if (token_ == "+") continue;
    if (token_ == ";") break;
    if (IsTextToken(token_)) {
      AppendPiece(built, std::string_view(token_).substr(1));
      if (r == -1) {
        Store(name, built);
        return kScriptNeedClosingQuote;
      }
      continue;
    }
    if (token_.empty()) break;
    AppendPiece(built, ExprEvaluate(vars_, token_));
  }
  Store(name, built);
  return 0;
}

void Level::Store(const std::string& name, std::string_view value) {
  VarTableSetGrow(vars_, name, value.substr(0, kScriptMaxValueLength), kVarTableGrowth);
}

}  // namespace

int ScriptRun(ScriptContext& ctx, PageReader& page, VarTable* vars) {
  Level level(ctx, page, vars);
  int code;
  if (ctx.lookahead == -1) {
    code = 0;
  } else if (ctx.depth >= kScriptMaxNesting) {
    code = kScriptNeedClosingBrace;
  } else {
    ++ctx.depth;
    code = level.Run();
    --ctx.depth;
  }
  ctx.lookahead = level.lookahead();
  ctx.stop_position = static_cast<long>(page.Tell());
  return code < 0 ? 0 : code;
}

}  // namespace tallypad
