// Script statements: the small statement language of script blocks in pages
// ("<% ... %>") and of the survey engine's page scripts. A block is read
// straight from the page's reader, statement by statement, and run at once;
// nothing is compiled or kept. Statements assign and change variables of the
// request's VarTable in place, branch with if/elsif/else, and call functions
// from the caller's function tables.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/read.h"
#include "base/vartable.h"
#include "base/output_stream.h"

namespace tallypad {

// Script error codes; ScriptError writes their messages.
inline constexpr int kScriptNeedClosingQuote = 40;
inline constexpr int kScriptParenExpected = 41;
inline constexpr int kScriptNeedClosingParen = 42;
inline constexpr int kScriptNeedClosingBrace = 43;
inline constexpr int kScriptElseWithoutIf = 44;
inline constexpr int kScriptObjectNotFound = 45;
inline constexpr int kScriptCannotProcess = 46;
inline constexpr int kScriptWrongArgumentCount = 47;
inline constexpr int kScriptFunctionNotFound = 48;
inline constexpr int kScriptExpectingValue = 49;

// Token buffer size of one statement level (a token keeps at most 4,094 bytes).
inline constexpr size_t kScriptTokenBufferSize = 4096;
// Nested blocks deeper than this end the script with kScriptNeedClosingBrace,
// and calls nested in arguments deeper than this with kScriptNeedClosingParen:
// each level recurses, and no real script comes near.
inline constexpr int kScriptMaxNesting = 64;

struct ScriptContext;

// A script function: gets the called name (without a leading '&'), its
// arguments (at most the row's max_args) and the variables; returns a new
// text, or nullopt for "no result".
using ScriptCallback = std::optional<std::string> (*)(ScriptContext& ctx, std::string_view name,
                                                      std::span<const std::string> args,
                                                      VarTable* vars);

// One row of a function table; names are compared without regard to case.
struct ScriptFunction {
  std::string_view name;
  int max_args;
  ScriptCallback callback;
};

// One row of the object table: "name[key]" reads `table`'s value of key.
struct ScriptObject {
  std::string_view name;
  VarTable* table;
};

// Shared by all nesting levels of one script run. The caller fills out,
// settings, base_path, objects and functions; the run keeps the rest.
struct ScriptContext {
  OutputStream* out = nullptr;           // where output functions write (may be null)
  int lookahead = 0;                     // -1 stops the whole script
  long statement_start = 0;              // page offset where the last statement began
  long stop_position = 0;                // page offset where the last level returned
  const VarTable* settings = nullptr;    // the form's settings (survey engine only)
  std::string base_path;                 // file names are resolved against its folder
  std::span<const ScriptObject> objects;      // may be empty
  std::span<const ScriptFunction> functions;  // the caller's function table
  int depth = 0;                         // current nesting level of blocks
  // A dry run checks a script without effects on anything but `vars`: every
  // body of every if/elsif/else chain runs, and functions are looked up and
  // their arguments read, but none is called (a call gives "").
  bool dry_run = false;
};

// Runs statements read from `page` until "%>", a stop keyword or the end of
// the page. Returns 0, or a script error code (40..49). On return the
// context's lookahead and stop position are set.
int ScriptRun(ScriptContext& ctx, PageReader& page, VarTable* vars);

// Reads the next token into `token` (at most `size` - 2 bytes kept) starting
// with lookahead `*lookahead`, and updates `*lookahead` (-1 after the end).
// Returns -1 at the end of the block ("%>") or page, else the token's length.
// Text tokens are stored as a single quote followed by the text; a text that
// the page ends inside is returned as far as it went, with the result -1.
int ScriptNextToken(PageReader& page, std::string* token, size_t size, int* lookahead);

// Reads "[key]" after an object name and sets `result` to the object's value
// for the key. Returns 0 or a script error code.
int ScriptObjectValue(ScriptContext& ctx, PageReader& page, int lookahead,
                      std::string_view object_name, VarTable* vars, std::string* result);

// Parses the argument list of a call to `name` (the "(" has been read) and
// calls the function. `result` (when not null) receives its text, or nullopt.
// Returns 0 or a script error code.
int ScriptCallFunction(ScriptContext& ctx, PageReader& page, int lookahead, std::string_view name,
                       VarTable* vars, std::optional<std::string>* result);

// The message of a script error code ("Unknown scripting error" for others).
std::string_view ScriptErrorMessage(int code);

}  // namespace tallypad
