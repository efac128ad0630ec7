// Function calls and object references of script statements: parsing an
// argument list and dispatching to the caller's function table, reading
// "name[key]" from the object table, and the messages of script errors.
#include <vector>

#include "base/str.h"
#include "script/expr.h"
#include "script/script.h"
#include "script/script_read.h"

namespace tallypad {

namespace {

// Counts a call whose arguments are being read as one nesting level, so that
// calls nested in arguments ("f(f(f(...") cannot run the stack out.
class CallDepth {
 public:
  explicit CallDepth(ScriptContext& ctx) : ctx_(ctx) { ++ctx_.depth; }
  ~CallDepth() { --ctx_.depth; }
  CallDepth(const CallDepth&) = delete;
  CallDepth& operator=(const CallDepth&) = delete;
  bool TooDeep() const { return ctx_.depth > kScriptMaxNesting; }

 private:
  ScriptContext& ctx_;
};

const ScriptFunction* FindFunction(std::span<const ScriptFunction> table, std::string_view name) {
  for (const ScriptFunction& row : table) {
    if (!row.callback) break;  // a row without a callback ends the table
    if (StrEqualNoCase(row.name, name)) return &row;
  }
  return nullptr;
}

const ScriptObject* FindObject(std::span<const ScriptObject> table, std::string_view name) {
  for (const ScriptObject& row : table) {
    if (row.name.empty()) break;  // a row without a name ends the table
    if (StrEqualNoCase(row.name, name)) return &row;
  }
  return nullptr;
}

// Reads the arguments of a call up to its ")" into `args`, keeping at most
// `most`. Returns 0 or an error code.
int ReadArguments(ScriptContext& ctx, PageReader& page, int la, VarTable* vars, size_t most,
                  std::vector<std::string>* args) {
  std::string token;
  for (;;) {
    const int r = ScriptNextToken(page, &token, kScriptTokenBufferSize, &la);
    if (token.empty()) {
      if (r == -1) return kScriptNeedClosingParen;
      continue;
    }
    if (token == ",") continue;
    if (token == ")") return 0;

    std::optional<std::string> arg;
    if (token[0] == '\'') {
      if (r == -1) return kScriptNeedClosingQuote;
      arg = token.substr(1);
    } else if (StrLooksNumeric(token)) {
      arg = token;
    } else if (la == '(' || la == '[') {
      // A nested call or object reference; no result gives no argument.
      int code;
      if (la == '(') {
        code = ScriptCallFunction(ctx, page, 0, token, vars, &arg);
      } else {
        arg.emplace();
        code = ScriptObjectValue(ctx, page, 0, token, vars, &*arg);
      }
      la = ' ';
      if (code) return code;
    } else if (token == "(") {
      std::string text;
      if (!ScriptReadTo(page, ')', &text)) return kScriptNeedClosingParen;
      la = ' ';
      arg = ExprEvaluate(vars, text);
    } else {
      // A word is a variable's value, not an expression.
      arg = VarTableGet(vars, token, "");
    }
    if (arg && args->size() < most) args->push_back(std::move(*arg));
  }
}

}  // namespace

int ScriptCallFunction(ScriptContext& ctx, PageReader& page, int lookahead, std::string_view name,
                       VarTable* vars, std::optional<std::string>* result) {
  if (result) result->reset();
  if (!name.empty() && name[0] == '&') name.remove_prefix(1);
  const ScriptFunction* fn = FindFunction(ctx.functions, name);
  if (!fn) return kScriptFunctionNotFound;

  std::vector<std::string> args;
  if (lookahead != ';' && lookahead != '\n') {
    CallDepth depth(ctx);
    if (depth.TooDeep()) return kScriptNeedClosingParen;
    const size_t most = fn->max_args > 0 ? static_cast<size_t>(fn->max_args) : 0;
    if (int code = ReadArguments(ctx, page, lookahead, vars, most, &args)) return code;
  }
  // A dry run checks the call without making it.
  std::optional<std::string> text =
      ctx.dry_run ? std::optional<std::string>("") : fn->callback(ctx, name, args, vars);
  if (result) *result = std::move(text);
  return 0;
}

int ScriptObjectValue(ScriptContext& ctx, PageReader& page, int lookahead,
                      std::string_view object_name, VarTable* vars, std::string* result) {
  result->clear();
  const ScriptObject* object = FindObject(ctx.objects, object_name);
  if (!object) return kScriptObjectNotFound;

  int la = lookahead;
  std::string token;
  int r = ScriptNextToken(page, &token, kScriptTokenBufferSize, &la);
  if (token == "[") r = ScriptNextToken(page, &token, kScriptTokenBufferSize, &la);
  if (token.empty() || token == "]") return kScriptObjectNotFound;

  std::string key;
  if (token[0] == '\'') {
    if (r == -1) return kScriptNeedClosingQuote;
    key = token.substr(1);
  } else {
    key = VarTableGet(vars, token, "");  // data[Q]: the field named by Q
  }
  if (la != ']') ScriptSkipTo(page, ']');
  // An empty key would find a free entry of the table.
  if (!key.empty()) *result = VarTableGet(object->table, key, "");
  return 0;
}

std::string_view ScriptErrorMessage(int code) {
  switch (code) {
    case kScriptNeedClosingQuote: return "Need a closing quote";
    case kScriptParenExpected: return "( expected after if or elsif";
    case kScriptNeedClosingParen: return "Need a closing paren";
    case kScriptNeedClosingBrace: return "Need a closing brace";
    case kScriptElseWithoutIf: return "An else or elsif must come after an if";
    case kScriptObjectNotFound: return "Object variable not found";
    case kScriptCannotProcess: return "Unable to process this command";
    case kScriptWrongArgumentCount: return "Wrong number of parameters in a function call";
    case kScriptFunctionNotFound: return "Function not found";
    case kScriptExpectingValue: return "Expecting something after an = sign";
    default: return "Unknown scripting error";
  }
}

}  // namespace tallypad
