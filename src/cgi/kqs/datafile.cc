#include "cgi/kqs/datafile.h"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "base/str.h"
#include "script/expr.h"

namespace tallypad {

namespace {

// Reads the header line: names separated by tabs, carriage returns ignored,
// one leading '#' dropped from a name. A tab ends every name, so the empty
// text after the last tab is no column. False when the file ends before the
// line feed or the line names nothing.
bool ReadHeader(std::FILE* f, int64_t* pos, std::vector<std::string>* names) {
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
    int c = getc_unlocked(f);
    if (c == EOF) return false;
    ++*pos;
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

struct Criterion {
  const VarEntry* column;
  std::string_view value;
};

}  // namespace

std::unique_ptr<DataFile> DataFile::Open(const std::string& path, size_t spare, bool writable) {
  FilePtr f = FileOpen(path, writable ? "r+b" : "rb");
  if (!f) return nullptr;
  // Only regular files: a device would feed the header reader without end.
  struct stat st;
  if (fstat(fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  int64_t pos = 0;
  std::vector<std::string> names;
  if (!ReadHeader(f.get(), &pos, &names)) return nullptr;
  VarTablePtr columns = VarTableNew(names.size() + spare);
  for (size_t i = 0; i < names.size(); ++i) columns->entries[i].name = std::move(names[i]);
  for (size_t i = names.size(); i < columns->entries.size(); ++i)
    columns->entries[i].name = std::string();
  size_t count = names.size();
  return std::make_unique<DataFile>(OpenKey{}, std::move(f), std::move(columns), count, pos);
}

int DataFile::Get() {
  int c = getc_unlocked(file_.get());
  if (c != EOF) ++pos_;
  return c;
}

bool DataFile::SkipLine() {
  int c;
  do {
    c = Get();
  } while (c != EOF && c != '\n');
  return c != EOF;
}

int DataFile::ReadNext() {
  if (!file_ || !columns_) return kLineEnd;
  line_start_ = pos_;
  int c = Get();
  if (c == EOF) return kLineEnd;

  std::vector<VarEntry>& slots = columns_->entries;
  size_t field = 0;
  int status = kLineRecord;
  bool any_value = false;
  for (;;) {
    while (c == '\r') c = Get();
    // The line status is decided on the field as stored, before unquoting,
    // so a first answer written as two quotes is still an ordinary record.
    bool raw_empty = c == '\t' || c == '\n' || c == EOF;
    if (field == 0) status = raw_empty ? kLineEmpty : c == '#' ? kLineMarked : kLineRecord;

    std::string* out = nullptr;
    if (field < slots.size()) {
      std::optional<std::string>& value = slots[field].value;
      if (value)
        value->clear();
      else
        value.emplace();
      out = &*value;
    }
    // A quoted field loses its enclosing quotes; inside it a quote is
    // dropped and the byte after it kept as it is, so a doubled quote
    // yields one quote. A quote right before the field's end closes it.
    bool quoted = c == '"';
    if (quoted) c = Get();
    bool dropped_quote = false;
    for (;; c = Get()) {
      if (c == '\r') continue;
      if (c == '\t' || c == '\n' || c == EOF) break;
      if (quoted && c == '"' && !dropped_quote) {
        dropped_quote = true;
        continue;
      }
      dropped_quote = false;
      any_value = true;
      if (out && out->size() < kMaxFieldLength) out->push_back(static_cast<char>(c));
    }
    if (c == '\t') {
      ++field;
      c = Get();
      continue;
    }
    // Every written field ends with a tab, so nothing after the last tab
    // is no field (an index entry's bare offset is one).
    if (!raw_empty) ++field;
    break;
  }
  for (size_t i = field; i < slots.size(); ++i) slots[i].value.reset();
  if (status == kLineRecord && !any_value) status = kLineEmpty;
  return status;
}

namespace {

// Pairs each criterion with the column it names; criteria with an empty
// name or naming no column are left out.
std::vector<Criterion> CompileCriteria(const VarTable* columns, const VarTable* criteria) {
  std::vector<Criterion> wanted;
  for (const VarTable* block = criteria; block; block = block->next.get()) {
    for (const VarEntry& e : block->entries) {
      if (e.IsBlank()) break;
      if (e.IsFree()) continue;
      const VarEntry* column = VarTableFind(columns, *e.name);
      if (!column) continue;
      wanted.push_back({column, e.value ? std::string_view(*e.value) : std::string_view()});
    }
  }
  return wanted;
}

bool CriteriaHold(const std::vector<Criterion>& wanted) {
  for (const Criterion& want : wanted) {
    std::string_view have = want.column->value ? std::string_view(*want.column->value) : "";
    if (have != want.value) return false;
  }
  return true;
}

}  // namespace

bool DataFile::ReadMatching(const VarTable* criteria, int64_t* line_start) {
  if (!columns_) return false;
  std::vector<Criterion> wanted = CompileCriteria(columns_.get(), criteria);
  for (;;) {
    int status = ReadNext();
    if (status == kLineEnd) return false;
    if (status != kLineRecord || !CriteriaHold(wanted)) continue;
    if (line_start) *line_start = line_start_;
    return true;
  }
}

bool DataFile::RecordMatches(const VarTable* criteria) const {
  return columns_ && CriteriaHold(CompileCriteria(columns_.get(), criteria));
}

bool DataFile::ReadQuery(const VarTable* vars, std::string_view query) {
  for (;;) {
    int status = ReadNext();
    if (status == kLineEnd) return false;
    if (status != kLineRecord) continue;
    if (CondEvaluate(query, columns_.get(), vars) != 0) return true;
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
  if (!file_ || offset < 0 || fseeko(file_.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
    return false;
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
