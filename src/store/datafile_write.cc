#include "store/datafile_write.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <unordered_map>

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
  VarTableForEach(vars, [&](const VarEntry& e) {
    if (!e.value || e.value->empty() || !StrEqualNoCase(*e.name, column)) return;
    if (!first) joined.push_back(',');
    joined.append(*e.value);
    first = false;
  });
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

ResultCode AppendRecord(const std::string& path, const VarTable* vars, int64_t* offset) {
  VarTablePtr columns = DataFileReadColumns(path, 0);
  if (!columns) return ResultCode::kFormFileMissing;
  std::string line = DataRecordLine(columns.get(), vars);
  return AppendWhole(path, line, "\r\n", offset) ? ResultCode::kOk : ResultCode::kAnswersNotWritten;
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

ResultCode AppendIndexEntry(const std::string& path, const VarTable* vars, int64_t offset) {
  if (offset <= 0) return ResultCode::kOk;
  VarTablePtr columns = DataFileReadColumns(path, 0);
  if (!columns) return ResultCode::kFormFileMissing;
  std::string line = IndexEntryLine(columns.get(), vars, offset);
  return AppendWhole(path, line, "\n", nullptr) ? ResultCode::kOk : ResultCode::kAnswersNotWritten;
}

namespace {

// Where one data file's live records of each session are.
struct SessionMap {
  dev_t device = 0;
  ino_t inode = 0;
  int64_t size = -1;  // the file's size when the map was last right; -1: never built
  std::unordered_map<std::string, std::vector<int64_t>> live;
};

// The maps of every data file saved to, by path; used under g_maps_mutex.
std::mutex g_maps_mutex;
std::unordered_map<std::string, SessionMap>& SessionMaps() {
  static std::unordered_map<std::string, SessionMap> maps;
  return maps;
}

// Builds the map of the open data file `df` by one scan from its first record.
void BuildSessionMap(DataFile& df, SessionMap* map) {
  map->live.clear();
  df.GoToRecord(-1);
  for (int status; (status = df.ReadNext()) != kLineEnd;) {
    if (status != kLineRecord) continue;
    std::string session = VarTableGet(df.columns(), "_SESSION", "");
    if (!session.empty()) map->live[session].push_back(df.line_start());
  }
}

// True when the record at `offset` is live and belongs to `session`; its
// values are then in the column table.
bool LiveRecordOf(DataFile& df, int64_t offset, const std::string& session) {
  return df.Seek(offset) && df.ReadNext() == kLineRecord &&
         VarTableGet(df.columns(), "_SESSION", "") == session;
}

}  // namespace

int SupersedeSession(const std::string& path, const VarTable* vars,
                     std::vector<StoredRecord>* superseded, int64_t appended_at) {
  // Compared as the record stores it, so the record just appended matches.
  std::string session = RecordValue(vars, "_SESSION");
  if (session.empty()) return 0;
  if (session.size() > kMaxFieldLength) session.resize(kMaxFieldLength);

  std::unique_ptr<DataFile> df = DataFile::Open(path, 0, true);
  if (!df) return -1;
  if (!VarTableFind(static_cast<const VarTable*>(df->columns()), "_SESSION")) return 0;
  const int fd = df->fd();
  // The same lock as appends: no record is added while the marks are set.
  FileLock lock(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) return -1;

  std::lock_guard<std::mutex> maps_lock(g_maps_mutex);
  SessionMap& map = SessionMaps()[path];
  const bool current = map.size >= 0 && appended_at >= 0 && map.device == st.st_dev &&
                       map.inode == st.st_ino && map.size == appended_at;
  // The session's earlier live records, the one just appended left out.
  auto earlier = [&]() -> std::vector<int64_t> {
    std::vector<int64_t> offsets = map.live[session];
    int64_t newest = appended_at;
    if (newest < 0 && !offsets.empty()) newest = offsets.back();
    std::erase(offsets, newest);
    return offsets;
  };
  std::vector<int64_t> offsets;
  bool rebuilt = !current;
  if (rebuilt) BuildSessionMap(*df, &map);
  offsets = earlier();
  // A record the map names must still be live and of the session; when one
  // is not, the file changed behind the map, which is built again.
  for (int64_t offset : offsets) {
    if (LiveRecordOf(*df, offset, session)) continue;
    if (rebuilt) return -1;
    BuildSessionMap(*df, &map);
    rebuilt = true;
    offsets = earlier();
    break;
  }

  int marked = 0;
  for (int64_t offset : offsets) {
    if (!LiveRecordOf(*df, offset, session)) continue;
    StoredRecord previous;
    previous.offset = offset;
    if (superseded) previous.values = VarTableCopy(df->columns(), 0);
    // The mark overwrites the opening quote in place: the line keeps its
    // length, so offsets held in the index stay valid.
    if (!WriteByteAt(fd, '#', offset)) {
      map.size = -1;
      return -1;
    }
    ++marked;
    if (superseded) superseded->push_back(std::move(previous));
  }
  const int64_t newest = appended_at >= 0 ? appended_at
                         : map.live[session].empty() ? -1
                                                     : map.live[session].back();
  map.live[session] = newest >= 0 ? std::vector<int64_t>{newest} : std::vector<int64_t>{};
  map.device = st.st_dev;
  map.inode = st.st_ino;
  map.size = st.st_size;
  if (marked > 0 && ::fsync(fd) != 0) return -1;
  return marked;
}

}  // namespace tallypad
