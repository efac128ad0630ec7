// The list viewer's exports: the live records of a form's data file that
// satisfy a list query, as CSV or JSON Lines (see store/record_export.h).
// A query names columns as the list does, by the part of their name before
// the first '_' (Q3=~'x' looks at Q3_1), while the export keeps every
// column under its full name. The viewer's download links and the
// program's "export" command both export through here.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/output_stream.h"
#include "base/result_code.h"
#include "store/datafile.h"
#include "store/record_export.h"

namespace tallypad {

// The filter of list query `query` over the column table `columns` (whose
// values a reader fills record by record): a record is wanted unless the
// query, with the columns named as the list names them, is false. An empty
// query, and one that is no valid condition, want every record.
RecordFilter ListQueryFilter(std::string query, const VarTable* columns);

// The data file of form `database` in `server_root` (ending in '/') opened
// for an export. `*code` gets kOk, kNoConfiguration (no settings: null is
// returned) or kDataFileUnreadable; `*path` the data file's path.
std::unique_ptr<DataFile> ListOpenForExport(std::string_view server_root,
                                            std::string_view database, std::string* path,
                                            ResultCode* code);

// Writes the records of `data` that satisfy `query` to `out` in `format`;
// returns how many.
size_t ListExportRecords(DataFile* data, std::string_view query, ExportFormat format,
                         OutputStream* out);

// The header of an export's download: the media type and an attachment
// named after the form ("library.csv"; characters other than letters,
// digits, '-' and '_' become '_' there, and the exact name follows as the
// UTF-8 file name).
std::string ExportDownloadHeader(std::string_view database, ExportFormat format);

}  // namespace tallypad
