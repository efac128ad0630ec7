#include "store/record_lookup.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/str.h"
#include "store/datafile.h"
#include "store/datafile_write.h"

namespace tallypad {

namespace {

bool IsSequenceSeparator(char c) { return c == ' ' || c == ';' || c == ','; }

// The criteria: one per ID field, its value the respondent's, in the form a
// record stores it. Null when every value is empty.
VarTablePtr BuildCriteria(const VarTable* settings, const VarTable* vars) {
  std::vector<std::string> names = IdFieldNames(settings);
  VarTablePtr criteria = VarTableNew(names.size());
  bool any = false;
  for (size_t i = 0; i < names.size(); ++i) {
    std::string value = CleanFieldValue(VarTableGet(vars, names[i], ""));
    if (value.size() > kMaxFieldLength) value.resize(kMaxFieldLength);
    any = any || !value.empty();
    criteria->entries[i] = VarEntry{std::move(names[i]), std::move(value)};
  }
  return any ? std::move(criteria) : nullptr;
}

// True when the login, the first ID field, is a column of `columns`.
// Without it the criteria could not tell respondents apart, and a lookup
// would hand out whichever record matched the other fields.
bool LoginIsAColumn(const VarTable* criteria, const VarTable* columns) {
  return !criteria->entries.empty() && VarTableFind(columns, *criteria->entries[0].name);
}

// Offset of the respondent's last record according to the index, 0 when
// the index is missing or names none.
int64_t OffsetFromIndex(const std::string& index_path, const VarTable* criteria) {
  if (index_path.empty()) return 0;
  std::unique_ptr<DataFile> index = DataFile::Open(index_path, 0);
  if (!index) return 0;
  int64_t offset = 0;
  while (index->ReadMatching(criteria)) {
    std::string pos = VarTableGet(index->columns(), "_POS", "");
    char* end = nullptr;
    long long value = std::strtoll(pos.c_str(), &end, 10);
    offset = end != pos.c_str() && value > 0 ? value : 0;
  }
  return offset;
}

VarTablePtr SearchDataFile(const VarTable* settings, std::string_view base_path,
                           std::string_view database, const VarTable* vars, size_t spare,
                           int64_t* found_at) {
  std::unique_ptr<DataFile> df =
      DataFile::Open(DataFileReadPath(base_path, settings, database), spare);
  if (!df) return nullptr;
  VarTablePtr criteria = BuildCriteria(settings, vars);
  if (!criteria || !LoginIsAColumn(criteria.get(), df->columns())) return nullptr;

  // The record the index points at must be a live record that meets every
  // criterion in the data file itself: an index with fewer key columns (no
  // password) or a stale offset must not hand out a record.
  std::string index_path = FormFilePath(base_path, VarTableGet(settings, "SAVEINDEXNAME", ""));
  int64_t offset = OffsetFromIndex(index_path, criteria.get());
  if (offset > 0 && df->Seek(offset) && df->ReadNext() == kLineRecord &&
      df->RecordMatches(criteria.get())) {
    if (found_at) *found_at = offset;
    return df->ReleaseColumns();
  }

  df->GoToRecord(-1);
  int64_t last = -1;
  int64_t start = 0;
  while (df->ReadMatching(criteria.get(), &start)) last = start;
  if (last < 0 || !df->Seek(last) || df->ReadNext() != kLineRecord) return nullptr;
  if (found_at) *found_at = last;
  return df->ReleaseColumns();
}

}  // namespace

std::vector<std::string> IdFieldNames(const VarTable* settings) {
  std::string text = VarTableGet(settings, "IDFIELDS", kDefaultIdFields);
  std::vector<std::string> names;
  size_t at = 0;
  while (at <= text.size()) {
    size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    std::string_view name(text.data() + at, comma - at);
    while (!name.empty() && name.front() == ' ') name.remove_prefix(1);
    while (!name.empty() && name.back() == ' ') name.remove_suffix(1);
    if (!name.empty()) names.emplace_back(name);
    at = comma + 1;
  }
  return names;
}

VarTablePtr FindRespondentRecord(const VarTable* settings, std::string_view base_path,
                                 std::string_view database, const VarTable* vars,
                                 size_t spare, int64_t* offset) {
  std::string sequence = VarTableGet(settings, "LOGINSEQUENCE", "ASC");
  size_t at = 0;
  while (at < sequence.size()) {
    while (at < sequence.size() && IsSequenceSeparator(sequence[at])) ++at;
    size_t end = at;
    while (end < sequence.size() && !IsSequenceSeparator(sequence[end])) ++end;
    std::string_view token(sequence.data() + at, end - at);
    if (StrEqualNoCase(token, "ASC")) {
      if (VarTablePtr found = SearchDataFile(settings, base_path, database, vars, spare, offset))
        return found;
    }
    at = end;
  }
  return nullptr;
}

}  // namespace tallypad
