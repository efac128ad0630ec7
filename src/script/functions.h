// Built-in script functions and their tables. A caller of ScriptRun hands a
// table of ScriptFunction rows in the ScriptContext: the template processor
// hands the page-template table below; the survey engine builds its own
// tables from the general functions declared here plus its own.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "script/script.h"

namespace tallypad {

// The page-template table, in its order: print, write, eval, timestamp,
// toFixed, escape, hasRecord, runReport, number, toNumber, random.
std::span<const ScriptFunction> PageTemplateFunctions();

// The general functions (callback signature of ScriptCallback).
// print/write: writes each argument to the context's stream; no result.
std::optional<std::string> ScriptFnWrite(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// eval: the value of the argument as an expression.
std::optional<std::string> ScriptFnEval(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// timestamp: the local date and time as 14 digits.
std::optional<std::string> ScriptFnTimestamp(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// toFixed: the value printed with a fixed number of decimals.
std::optional<std::string> ScriptFnToFixed(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// escape: the argument HTML-escaped.
std::optional<std::string> ScriptFnEscape(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// hasRecord: "1" when a record of the data file satisfies the query, else "0".
std::optional<std::string> ScriptFnHasRecord(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// runReport: the named report templates rendered into one text (needs settings).
std::optional<std::string> ScriptFnRunReport(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// number/toNumber: the argument when it looks like a number; no result otherwise.
std::optional<std::string> ScriptFnNumber(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);
// random: the process-wide random counter, modulo the argument when not 0.
std::optional<std::string> ScriptFnRandom(ScriptContext&, std::string_view, std::span<const std::string>, VarTable*);

}  // namespace tallypad
