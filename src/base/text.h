// Text helpers: formatted and HTML-escaped output to an OutputStream,
// copying a file or a table to a stream, searching without regard to case,
// and the current date and time as digits.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "base/vartable.h"
#include "base/output_stream.h"

namespace tallypad {

// Writes printf-formatted text to the stream (never truncated).
void StreamPrintf(OutputStream* s, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Returns printf-formatted text.
std::string StrPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Writes `text` with '"', '&', '<' and '>' replaced by their HTML entities;
// runs of other bytes go out in one write each.
void StreamWriteHtml(OutputStream* s, std::string_view text);
// Copies the file at `path` to the stream. Returns false when the stream is
// null or the file cannot be opened.
bool StreamSendFile(OutputStream* s, const std::string& path);
// Writes "name=value\n" (or "name\n" without a value) for each used entry of
// the table, in table order.
void StreamWriteTable(OutputStream* s, const VarTable* t);
// Returns `text` HTML-escaped as StreamWriteHtml writes it.
std::string HtmlEscape(std::string_view text);

// Returns the first position in `text` where the first `n` characters of
// `pattern` occur without regard to case; nullopt when `text` is empty or
// there is none.
std::optional<size_t> StrFindNoCaseN(std::string_view text, std::string_view pattern, size_t n);
// StrFindNoCaseN with the whole pattern.
std::optional<size_t> StrFindNoCase(std::string_view text, std::string_view pattern);

// Writes the current local date ("YYYYMMDD") and time ("HHMMSS") into the
// given strings; either may be null.
void FormatDateTime(std::string* date, std::string* time);
// The same for a given broken-down local time.
void FormatDateTimeAt(const std::tm& when, std::string* date, std::string* time);
// Returns the current local time, broken down.
std::tm LocalTimeNow();

}  // namespace tallypad
