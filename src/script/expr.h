// The expression evaluator of the template language: value expressions
// ("A*2+1", "(Q1+Q2)/2") and conditions ("Q1='red' & Q2 gt 3", "Q3 has 'yes'").
// Both work directly on the text, read variables from a VarTable and treat
// every value as text that is read as a number only where an operation needs
// one; values are computed left to right on an accumulator, without operator
// precedence. Used by the template processor, script statements, built-in
// functions, report queries and the list viewer. No shared state: safe to call
// from any thread on tables that no one is changing.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/vartable.h"
#include "store/datafile.h"

namespace tallypad {

// Evaluates a value expression against `vars`; a null `vars` yields the text itself.
std::string ExprEvaluate(const VarTable* vars, std::string_view text);
// Evaluates the first `length` bytes of `text`; a length below 1 yields "".
std::string ExprEvaluateN(const VarTable* vars, std::string_view text, long length);
// Evaluates a whole condition: 1 true, 0 false, -1 not a valid condition.
int CondEvaluate(std::string_view text, const VarTable* vars, const VarTable* second);
// Evaluates one comparison; *end receives the offset in `text` where it ends.
int CondCompare(std::string_view text, const VarTable* vars, const VarTable* second, size_t* end);
// Returns a record filter for a data file: a record is wanted when
// CondEvaluate of `query`, with the record's columns as the variables and
// `vars` as the second table, is not 0 (so an empty query wants every one).
RecordFilter QueryFilter(const VarTable* vars, std::string query);

}  // namespace tallypad
