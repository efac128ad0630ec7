// Exports of a data file's records for analysis in other programs: CSV
// for spreadsheets (RFC 4180: fields separated by commas, lines ending in
// CR LF, a field that holds a comma, a quote or a line break written in
// quotes with its quotes doubled, a header row of the column names, UTF-8
// text opened by a byte order mark so that spreadsheets read it as UTF-8)
// and JSON Lines for scripts (one JSON object per record, keyed by the
// column names, every value a string). Only live records are written:
// superseded and blank lines are left out, as the list viewer leaves them
// out. Values are written as the data file stores them (its line breaks
// became blanks when they were saved); bytes that are not UTF-8 are written
// as U+FFFD, since both formats are UTF-8 text. The list viewer's downloads
// and the program's export command write through this module.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/output_stream.h"
#include "store/datafile.h"

namespace tallypad {

enum class ExportFormat { kCsv, kJsonLines };

// The format named `name` ("csv" or "jsonl", without regard to case).
std::optional<ExportFormat> ExportFormatNamed(std::string_view name);
// The media type of a format's file, with its character set.
std::string_view ExportMediaType(ExportFormat format);
// The file-name extension of a format (".csv", ".jsonl").
std::string_view ExportExtension(ExportFormat format);

// One CSV field: `value` as UTF-8, in quotes with its quotes doubled when
// it holds a comma, a quote, a CR or an LF, else as it stands.
std::string CsvField(std::string_view value);
// A JSON string literal of `value` as UTF-8: quotes, backslashes and
// control characters escaped.
std::string JsonString(std::string_view value);

// Writes the live records of `data` (open, before its first record) that
// `wanted` accepts (every one when it is empty) to `out` in `format`: CSV
// starts with the byte order mark and the header row, JSON Lines has no
// header. Returns the number of records written.
size_t ExportRecords(DataFile* data, const RecordFilter& wanted, ExportFormat format,
                     OutputStream* out);

}  // namespace tallypad
