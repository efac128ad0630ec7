// Data files: the survey's store of responses, a tab-separated text file of
// one record per line under a header line naming the columns. This module
// opens a data file (or an index file, which has the same layout), reads its
// header into a column table and reads records one by one, by criteria or by
// query. The report directive, the record test of scripts, the survey
// engine's login and save steps and the list viewer all read through it.
// A DataFile belongs to one request; nothing is shared between threads.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"
#include "base/vartable.h"

namespace tallypad {

// Longest field kept when reading a record; the rest of a longer field is
// skipped. Holds any answer a browser form sends in practice.
inline constexpr size_t kMaxFieldLength = 65534;
// Longest column name kept from a header line; the rest is skipped.
inline constexpr size_t kMaxHeaderNameLength = 8195;
// Bytes read from the file at a time.
inline constexpr size_t kDataReadBlock = 64 * 1024;
// Most columns taken from a header line; far above any real form, it keeps
// a damaged header from making a table without end.
inline constexpr size_t kMaxColumns = 16384;
// File names taken from a form's settings are cut to this many characters.
inline constexpr size_t kMaxFileNameLength = 1000;

// What reading one line found.
enum LineStatus : int {
  kLineEnd = -1,    // the real end of the file: no line was left
  kLineRecord = 0,  // an ordinary record
  kLineMarked = 1,  // first field begins with '#': the header or a superseded record
  kLineEmpty = 2,   // empty first field, a blank line, or no field with a value
};

// Tells whether a record (its column table) is wanted: a report's query, a
// list's filter.
using RecordFilter = std::function<bool(const VarTable* record)>;

// An open data file with its column table: a VarTable named by the header
// line, in order, followed by spare slots (free entries). Reading a line
// replaces the values of every slot: fields fill the slots in order (extra
// fields beyond the spare slots are skipped), slots without a field have no
// value. The file is closed when the object dies.
class DataFile {
 public:
  // Opens the file at `path` and reads its header, leaving the file at the
  // first line after it. `writable` opens it for reading and writing (for
  // marking superseded records). Returns null when the file cannot be
  // opened, its first line is empty, or it ends before its first line feed.
  static std::unique_ptr<DataFile> Open(const std::string& path, size_t spare,
                                        bool writable = false);

  // The column table; its values are those of the last line read.
  VarTable* columns() { return columns_.get(); }
  // Number of named columns (spare slots not counted).
  size_t column_count() const { return column_count_; }
  // Hands the column table to the caller; the DataFile must not read after.
  VarTablePtr ReleaseColumns() { return std::move(columns_); }

  // Reads the next line into the column table and returns its LineStatus.
  // Every line counts, blank and superseded ones included, so callers can
  // number records by the lines read after the header.
  int ReadNext();
  // Reads on to the next ordinary record whose columns equal `criteria`
  // exactly (case included; a missing value counts as empty). Criteria with
  // an empty name, or naming no column, are ignored. Returns false at the end
  // of the file. *line_start (when given) receives the record's byte offset.
  bool ReadMatching(const VarTable* criteria, int64_t* line_start = nullptr);
  // True when the values now in the column table meet `criteria` as
  // ReadMatching compares them (the line status is not looked at).
  bool RecordMatches(const VarTable* criteria) const;
  // Reads on to the next ordinary record that `wanted` accepts (every
  // record when `wanted` is empty). False at the end of the file.
  bool ReadWhere(const RecordFilter& wanted);
  // Moves by record number: n < 0 goes back to the first line after the
  // header, n == 0 stays, n > 0 skips n lines (or up to the end of file).
  void GoToRecord(long n);
  // Moves to byte `offset` (expected to be a line start). False on failure.
  bool Seek(int64_t offset);
  // Byte offset of the start of the last line read (after Seek: of the
  // line about to be read).
  int64_t line_start() const { return line_start_; }
  // The open file's descriptor; valid while the object lives.
  int fd() const { return fd_.get(); }

 private:
  struct OpenKey {};  // only Open makes a DataFile

 public:
  explicit DataFile(OpenKey, UniqueFd fd);

 private:
  // Returns the next byte, or EOF at the end of the file (or a read error).
  int Get() {
    if (next_ == end_ && !Fill()) return EOF;
    ++pos_;
    return static_cast<unsigned char>(buffer_[next_++]);
  }
  bool Fill();
  bool SkipLine();  // false when the file ended before a line feed
  bool ReadHeader(std::vector<std::string>* names);
  // Reads one field's bytes after its first byte `c` into `out` (null:
  // dropped); returns the byte that ended it: '\t', '\n' or EOF.
  int ReadFieldRest(int c, bool quoted, std::string* out, bool* any_value);

  // A line is read in steps, so that a scan can reject it after the fields
  // it compares and skip the rest without parsing it.
  struct LineState {
    size_t field = 0;   // fields read so far
    int next = EOF;     // first byte of the next field
    int status = kLineRecord;
    bool any_value = false;
    bool done = true;   // the line's end was reached
  };
  // Starts the next line; false at the end of the file.
  bool BeginLine();
  // Reads fields of the current line until `limit` fields are read or the
  // line ends; at the line's end the slots without a field lose their value.
  void ParseFields(size_t limit);
  // Skips what is left of the current line.
  void SkipRestOfLine();
  // The status of the line read to its end.
  int FinalStatus() const;

  UniqueFd fd_;
  std::vector<char> buffer_;
  size_t next_ = 0;  // next unread byte in buffer_
  size_t end_ = 0;   // end of the bytes in buffer_
  VarTablePtr columns_;
  size_t column_count_ = 0;
  int64_t pos_ = 0;  // byte offset of the next byte Get returns
  int64_t line_start_ = 0;
  LineState line_;
};

// A record read from a data file: its values in a column table of their own
// and the byte offset where its line starts, which tells two reads of the
// same record apart from two records with equal values.
struct StoredRecord {
  int64_t offset = -1;
  VarTablePtr values;
};

// Reads the header of the data file at `path` into a column table with
// `spare` slots and closes the file; null as DataFile::Open.
VarTablePtr DataFileReadColumns(const std::string& path, size_t spare);

// Resolves a file name taken from a form's settings against the folder of
// `base_path`, the name cut to kMaxFileNameLength characters; "" when the
// name is empty or the path too long.
std::string FormFilePath(std::string_view base_path, std::string_view name);
// The data file a form's records are read from: SAVEDATANAME when set,
// otherwise the database name followed by ".asc", resolved as FormFilePath.
std::string DataFileReadPath(std::string_view base_path, const VarTable* settings,
                             std::string_view database);

}  // namespace tallypad
