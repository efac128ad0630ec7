// Raw reading of script text between tokens: the statement reader and the
// function-call parser read conditions, parenthesized expressions and
// skipped lines byte by byte instead of as tokens. Shared by script.cc and
// script_call.cc only.
#pragma once

#include <cstddef>
#include <string>

#include "base/read.h"

namespace tallypad {

// Characters kept of a condition, a parenthesized argument or an arithmetic
// line: what one token buffer holds; the rest is read and dropped.
inline constexpr size_t kScriptRawTextKeep = 4094;

// Reads bytes up to and including the next `stop`. Returns false when the
// page ends first.
bool ScriptSkipTo(PageReader& page, int stop);

// Reads bytes into `text` (at most kScriptRawTextKeep kept) up to the next
// `stop`, which is consumed but not kept. Returns false when the page ends
// first.
bool ScriptReadTo(PageReader& page, int stop, std::string* text);

// Reads the next byte when it is '>' (after a '%' already read: the end of
// the block) and returns true; otherwise leaves it unread and returns false.
bool ScriptBlockEndFollows(PageReader& page);

}  // namespace tallypad
