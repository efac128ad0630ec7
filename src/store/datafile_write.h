// Saving responses to a data file and its index: composing record and
// index lines from the request variables, appending them, and marking a
// session's earlier records as superseded so that one live record per
// session remains. Used by the survey engine's save step. Appends are whole
// lines written once under an exclusive lock and flushed to disk.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/result_code.h"
#include "base/vartable.h"
#include "store/datafile.h"

namespace tallypad {


// Returns `value` as a field can hold it: each line break (CR LF, LF or CR)
// written as one blank (a record is one line), tabs written as blanks (a
// tab would split the field).
std::string CleanFieldValue(std::string_view value);
// Returns what a record stores for `column`: the non-empty values of the
// variables named `column` (without case), in table order, joined by ","
// (a group of check boxes), cleaned as CleanFieldValue.
std::string RecordValue(const VarTable* vars, std::string_view column);
// Returns the record line for `vars` under the header `columns` (read with
// no spare slots): per column a quoted value with quotes doubled and a tab,
// then "\r\n".
std::string DataRecordLine(const VarTable* columns, const VarTable* vars);
// Appends the record of `vars` to the data file at `path` (never created).
// Returns kOk and sets *offset to the byte offset where the record starts,
// kFormFileMissing (the file is missing or has no header) or
// kAnswersNotWritten (it cannot be written).
ResultCode AppendRecord(const std::string& path, const VarTable* vars, int64_t* offset);

// Returns the index line for `vars` under the index header `columns`: the
// bare decimal `offset` for the column named exactly "_POS", a quoted value
// and a tab for any other column, then "\n".
std::string IndexEntryLine(const VarTable* columns, const VarTable* vars, int64_t offset);
// Appends the index entry of the record at `offset` to the index file at
// `path`. Returns 0 (also when `offset` is not above 0 and nothing is
// written), kFormFileMissing or kAnswersNotWritten; the save step reports none.
ResultCode AppendIndexEntry(const std::string& path, const VarTable* vars, int64_t offset);

// Marks with "#" every live record of the data file at `path` whose _SESSION
// column equals the variable _SESSION, except the record just appended (at
// `appended_at`; the last one when -1), under the data file's lock. When
// `superseded` is given it receives each record marked, as it stood.
// Returns how many records were marked (0 when _SESSION is empty or the
// file has no _SESSION column), or -1 when the file cannot be opened for
// writing or a mark cannot be written.
//
// Where each session's live records are is kept between calls, per data
// file, so that a save does not read the whole file: the map is built by one
// scan, kept up to date by each call, and built again when the file changed
// behind it (its identity, or a size other than the one the map knows before
// the record just appended). A record is marked only after reading it back
// and finding it live and of the session, so a map gone stale is harmless.
int SupersedeSession(const std::string& path, const VarTable* vars,
                     std::vector<StoredRecord>* superseded = nullptr, int64_t appended_at = -1);

}  // namespace tallypad
