#include "store/datafile_write.h"

#include <unistd.h>

#include <cerrno>

#include "base/str.h"
#include "store/datafile.h"
#include "store/file_append.h"

namespace tallypad {

namespace {

// Appends `value` as a quoted field: quotes doubled, then a tab.
void AppendQuoted(std::string& line, std::string_view value) {
  line.push_back('"');
  for (char c : value) {
    if (c == '"') line.push_back('"');
    line.push_back(c);
  }
  line.append("\"\t");
}

bool WriteByteAt(int fd, char byte, int64_t offset) {
  ssize_t n;
  do {
    n = ::pwrite(fd, &byte, 1, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n == 1;
}

}  // namespace

std::string CleanFieldValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    // CR LF, a lone LF and a lone CR each end one line of a text area: each
    // becomes one blank, so the lines do not run together.
    if (c == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
    out.push_back(c == '\t' || c == '\r' || c == '\n' ? ' ' : c);
  }
  return out;
}

std::string RecordValue(const VarTable* vars, std::string_view column) {
  std::string joined;
  bool first = true;
  for (const VarTable* block = vars; block; block = block->next.get()) {
    for (const VarEntry& e : block->entries) {
      if (e.IsBlank()) break;
      if (e.IsFree() || !e.value || e.value->empty() || !StrEqualNoCase(*e.name, column)) continue;
      if (!first) joined.push_back(',');
      joined.append(*e.value);
      first = false;
    }
  }
  return CleanFieldValue(joined);
}

std::string DataRecordLine(const VarTable* columns, const VarTable* vars) {
  std::string line;
  if (!columns) return line;
  for (const VarEntry& column : columns->entries) {
    if (column.IsBlank()) break;
    AppendQuoted(line, column.IsUsed() ? RecordValue(vars, *column.name) : std::string());
  }
  line.append("\r\n");
  return line;
}

int AppendRecord(const std::string& path, const VarTable* vars, int64_t* offset) {
  VarTablePtr columns = DataFileReadColumns(path, 0);
  if (!columns) return kDataNoHeader;
  std::string line = DataRecordLine(columns.get(), vars);
  return AppendWhole(path, line, "\r\n", offset) ? 0 : kDataCannotWrite;
}

std::string IndexEntryLine(const VarTable* columns, const VarTable* vars, int64_t offset) {
  std::string line;
  if (!columns) return line;
  for (const VarEntry& column : columns->entries) {
    if (column.IsBlank()) break;
    if (column.name == "_POS") {
      line.append(std::to_string(offset));
      continue;
    }
    std::string value = column.IsUsed() ? VarTableGet(vars, *column.name, "") : std::string();
    // Quotes are doubled as in the data file, so an entry reads back as
    // written whatever the login holds.
    AppendQuoted(line, CleanFieldValue(value));
  }
  line.push_back('\n');
  return line;
}

int AppendIndexEntry(const std::string& path, const VarTable* vars, int64_t offset) {
  if (offset <= 0) return 0;
  VarTablePtr columns = DataFileReadColumns(path, 0);
  if (!columns) return kDataNoHeader;
  std::string line = IndexEntryLine(columns.get(), vars, offset);
  return AppendWhole(path, line, "\n", nullptr) ? 0 : kDataCannotWrite;
}

int SupersedeSession(const std::string& path, const VarTable* vars,
                     std::vector<StoredRecord>* superseded) {
  // Compared as the record stores it, so the record just appended matches.
  std::string session = RecordValue(vars, "_SESSION");
  if (session.empty()) return 0;
  if (session.size() > kMaxFieldLength) session.resize(kMaxFieldLength);

  std::unique_ptr<DataFile> df = DataFile::Open(path, 0, true);
  if (!df) return -1;
  if (!VarTableFind(static_cast<const VarTable*>(df->columns()), "_SESSION")) return 0;
  int fd = df->fd();
  // The same lock as appends: no record is added while the marks are set.
  FileLock lock(fd);

  VarTablePtr criteria = VarTableNew(1);
  criteria->entries[0] = VarEntry{std::string("_SESSION"), session};
  int marked = 0;
  StoredRecord previous;
  int64_t start = 0;
  while (df->ReadMatching(criteria.get(), &start)) {
    // The mark overwrites the opening quote in place: the line keeps its
    // length, so offsets held in the index stay valid.
    if (previous.offset >= 0) {
      if (!WriteByteAt(fd, '#', previous.offset)) return -1;
      ++marked;
      if (superseded) superseded->push_back(std::move(previous));
    }
    previous.offset = start;
    if (superseded) previous.values = VarTableCopy(df->columns(), 0);
  }
  if (marked > 0 && ::fsync(fd) != 0) return -1;
  return marked;
}

}  // namespace tallypad
