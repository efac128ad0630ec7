#include "store/datafile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "base/str.h"

namespace tallypad {

namespace {

struct Criterion {
  const VarEntry* column;
  std::string_view value;
};

// Pairs each criterion with the column it names; criteria with an empty
// name or naming no column are left out.
std::vector<Criterion> CompileCriteria(const VarTable* columns, const VarTable* criteria) {
  std::vector<Criterion> wanted;
  VarTableForEach(criteria, [&](const VarEntry& e) {
    const VarEntry* column = VarTableFind(columns, *e.name);
    if (column)
      wanted.push_back({column, e.value ? std::string_view(*e.value) : std::string_view()});
  });
  return wanted;
}

bool CriteriaHold(const std::vector<Criterion>& wanted) {
  for (const Criterion& want : wanted) {
    std::string_view have = want.column->value ? std::string_view(*want.column->value) : "";
    if (have != want.value) return false;
  }
  return true;
}

// Bytes that end a run of plain field content.
bool IsFieldSpecial(char c) { return c == '\t' || c == '\n' || c == '\r' || c == '"'; }

}  // namespace

DataFile::DataFile(OpenKey, UniqueFd fd) : fd_(std::move(fd)), buffer_(kDataReadBlock) {}

std::unique_ptr<DataFile> DataFile::Open(const std::string& path, size_t spare, bool writable) {
  if (path.empty()) return nullptr;
  UniqueFd fd(::open(path.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
  if (!fd.valid()) return nullptr;
  // Only regular files: a device would feed the header reader without end.
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;

  auto df = std::make_unique<DataFile>(OpenKey{}, std::move(fd));
  std::vector<std::string> names;
  if (!df->ReadHeader(&names)) return nullptr;
  df->column_count_ = names.size();
  df->columns_ = VarTableNew(names.size() + spare);
  for (size_t i = 0; i < names.size(); ++i) df->columns_->entries[i].name = std::move(names[i]);
  for (size_t i = names.size(); i < df->columns_->entries.size(); ++i)
    df->columns_->entries[i].name = std::string();
  df->line_start_ = df->pos_;
  return df;
}

bool DataFile::Fill() {
  ssize_t n;
  do {
    n = ::read(fd_.get(), buffer_.data(), buffer_.size());
  } while (n < 0 && errno == EINTR);
  next_ = 0;
  end_ = n > 0 ? static_cast<size_t>(n) : 0;
  return n > 0;
}

// The header: names separated by tabs, carriage returns ignored, one
// leading '#' dropped from a name. A tab ends every name, so the empty text
// after the last tab is no column. False when the file ends before the line
// feed or the line names nothing.
bool DataFile::ReadHeader(std::vector<std::string>* names) {
  std::string name;
  bool in_name = false;  // bytes other than CR seen since the last tab
  auto finish = [&] {
    if (names->size() < kMaxColumns) {
      if (!name.empty() && name[0] == '#') name.erase(0, 1);
      names->push_back(std::move(name));
    }
    name.clear();
    in_name = false;
  };
  for (;;) {
    int c = Get();
    if (c == EOF) return false;
    if (c == '\r') continue;
    if (c == '\n') break;
    if (c == '\t') {
      finish();
      continue;
    }
    in_name = true;
    if (name.size() < kMaxHeaderNameLength) name.push_back(static_cast<char>(c));
  }
  if (in_name) finish();
  for (const std::string& n : *names)
    if (!n.empty()) return true;
  return false;
}

bool DataFile::SkipLine() {
  for (;;) {
    if (next_ == end_ && !Fill()) return false;
    const char* from = buffer_.data() + next_;
    const void* feed = std::memchr(from, '\n', end_ - next_);
    size_t n = feed ? static_cast<const char*>(feed) - from + 1 : end_ - next_;
    next_ += n;
    pos_ += static_cast<int64_t>(n);
    if (feed) return true;
  }
}

int DataFile::ReadFieldRest(int c, bool quoted, std::string* out, bool* any_value) {
  // Inside a quoted field a quote is dropped and the byte after it kept as
  // it is, so a doubled quote yields one quote; a quote right before the
  // field's end closes it. Carriage returns are ignored everywhere.
  bool dropped_quote = false;
  for (;; c = Get()) {
    if (c == EOF || c == '\t' || c == '\n') return c;
    if (c == '\r') continue;
    if (quoted && c == '"' && !dropped_quote) {
      dropped_quote = true;
      continue;
    }
    dropped_quote = false;
    *any_value = true;
    if (out && out->size() < kMaxFieldLength) out->push_back(static_cast<char>(c));
    // Copy the run of plain bytes that follows in one step.
    size_t run = next_;
    while (run < end_ && !IsFieldSpecial(buffer_[run])) ++run;
    if (run > next_) {
      if (out && out->size() < kMaxFieldLength)
        out->append(buffer_.data() + next_,
                    std::min(run - next_, kMaxFieldLength - out->size()));
      pos_ += static_cast<int64_t>(run - next_);
      next_ = run;
    }
  }
}

bool DataFile::BeginLine() {
  line_start_ = pos_;
  line_ = LineState();
  line_.next = Get();
  line_.done = line_.next == EOF;
  return !line_.done;
}

void DataFile::ParseFields(size_t limit) {
  std::vector<VarEntry>& slots = columns_->entries;
  while (!line_.done && line_.field < limit) {
    int c = line_.next;
    while (c == '\r') c = Get();
    // The line status is decided on the field as stored, before unquoting,
    // so a first answer written as two quotes is still an ordinary record.
    bool raw_empty = c == '\t' || c == '\n' || c == EOF;
    if (line_.field == 0) line_.status = raw_empty ? kLineEmpty : c == '#' ? kLineMarked : kLineRecord;

    std::string* out = nullptr;
    if (line_.field < slots.size()) {
      std::optional<std::string>& value = slots[line_.field].value;
      if (value)
        value->clear();
      else
        value.emplace();
      out = &*value;
    }
    bool quoted = c == '"';
    if (quoted) c = Get();
    c = ReadFieldRest(c, quoted, out, &line_.any_value);
    if (c == '\t') {
      ++line_.field;
      line_.next = Get();
      continue;
    }
    // Every written field ends with a tab, so nothing after the last tab
    // is no field (an index entry's bare offset is one).
    if (!raw_empty) ++line_.field;
    line_.done = true;
    for (size_t i = line_.field; i < slots.size(); ++i) slots[i].value.reset();
  }
}

void DataFile::SkipRestOfLine() {
  if (line_.done) return;
  line_.done = true;
  if (line_.next != '\n' && line_.next != EOF) SkipLine();
}

int DataFile::FinalStatus() const {
  return line_.status == kLineRecord && !line_.any_value ? kLineEmpty : line_.status;
}

int DataFile::ReadNext() {
  if (!fd_.valid() || !columns_ || !BeginLine()) return kLineEnd;
  ParseFields(SIZE_MAX);
  return FinalStatus();
}

bool DataFile::ReadMatching(const VarTable* criteria, int64_t* line_start) {
  if (!fd_.valid() || !columns_) return false;
  std::vector<Criterion> wanted = CompileCriteria(columns_.get(), criteria);
  // Fields needed to decide: the first (for the line status) up to the
  // last column compared.
  const std::vector<VarEntry>& slots = columns_->entries;
  size_t needed = 1;
  for (const Criterion& want : wanted) {
    bool in_slots = want.column >= slots.data() && want.column < slots.data() + slots.size();
    needed = in_slots ? std::max(needed, static_cast<size_t>(want.column - slots.data()) + 1)
                      : SIZE_MAX;
  }
  while (BeginLine()) {
    ParseFields(needed);
    if (line_.status != kLineRecord || !CriteriaHold(wanted)) {
      SkipRestOfLine();
      continue;
    }
    ParseFields(SIZE_MAX);
    if (FinalStatus() != kLineRecord) continue;
    if (line_start) *line_start = line_start_;
    return true;
  }
  return false;
}

bool DataFile::RecordMatches(const VarTable* criteria) const {
  return columns_ && CriteriaHold(CompileCriteria(columns_.get(), criteria));
}

bool DataFile::ReadWhere(const RecordFilter& wanted) {
  for (;;) {
    int status = ReadNext();
    if (status == kLineEnd) return false;
    if (status != kLineRecord) continue;
    if (!wanted || wanted(columns_.get())) return true;
  }
}

void DataFile::GoToRecord(long n) {
  if (n < 0) {
    if (Seek(0)) SkipLine();
    return;
  }
  for (long i = 0; i < n; ++i)
    if (!SkipLine()) return;
}

bool DataFile::Seek(int64_t offset) {
  if (!fd_.valid() || offset < 0 || ::lseek(fd_.get(), static_cast<off_t>(offset), SEEK_SET) < 0)
    return false;
  next_ = end_ = 0;
  pos_ = offset;
  line_start_ = offset;
  return true;
}

VarTablePtr DataFileReadColumns(const std::string& path, size_t spare) {
  std::unique_ptr<DataFile> df = DataFile::Open(path, spare);
  return df ? df->ReleaseColumns() : nullptr;
}

std::string FormFilePath(std::string_view base_path, std::string_view name) {
  if (name.empty()) return "";
  return PathBuild(base_path, name.substr(0, kMaxFileNameLength));
}

std::string DataFileReadPath(std::string_view base_path, const VarTable* settings,
                             std::string_view database) {
  std::string name = VarTableGet(settings, "SAVEDATANAME", "");
  if (name.empty()) name = std::string(database) + ".asc";
  return FormFilePath(base_path, name);
}

}  // namespace tallypad
