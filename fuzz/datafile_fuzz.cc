// Fuzzes data file reading: the input is written to a file that is opened
// as a data file and read every way the engines read one (line by line, by
// criteria, by query, by record number, by offset), then used as the index
// of a fixed data file and as the data file of a respondent lookup.
// Checks that the ways of reading agree with each other: a scan by criteria
// finds each record the line reader read, an empty query accepts exactly
// the ordinary records, record numbers lead to the line starts the line
// reader saw, and a record written back with the record writer reads back
// with the same values.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/decode.h"
#include "base/file.h"
#include "base/str.h"
#include "base/vartable.h"
#include "fuzz_check.h"
#include "script/expr.h"
#include "store/datafile.h"
#include "store/datafile_write.h"
#include "store/record_lookup.h"

namespace {

using fuzzing::Check;
using fuzzing::WriteFile;

using tallypad::DataFile;
using tallypad::VarEntry;
using tallypad::VarTable;
using tallypad::VarTablePtr;

// Lines looked at closely; the rest of a long file is only read.
constexpr size_t kCheckedLines = 64;

// The folder of the files, made once per process. "d.asc" is a fixed data
// file of three records, two of them the login amy's.
const std::string& Folder() {
  static const std::string folder = [] {
    std::string dir = fuzzing::ScratchFolder("datafile_fuzz");
    WriteFile(dir + "d.asc",
              "#IFMUID\tIFMUID1\tQ1\t_SESSION\t\r\n"
              "\"amy\"\t\"1\"\t\"first\"\t\"s1\"\t\r\n"
              "\"bob\"\t\"2\"\t\"x\"\t\"s2\"\t\r\n"
              "\"amy\"\t\"1\"\t\"second\"\t\"s3\"\t\r\n");
    return dir;
  }();
  return folder;
}

std::string_view ValueOf(const VarEntry& e) {
  return e.value ? std::string_view(*e.value) : std::string_view();
}

VarTablePtr OneCriterion(const std::string& name, std::string_view value) {
  VarTablePtr t = tallypad::VarTableNew(1);
  t->entries[0] = VarEntry{name, std::string(value)};
  return t;
}

// What the line reader saw of one line.
struct LineSeen {
  int64_t start;
  int status;
  std::optional<std::string> key;  // value of the key column
};

// Reads the whole file line by line, checking each line's bounds; returns
// the first kCheckedLines lines.
std::vector<LineSeen> ReadAllLines(DataFile* df, size_t size, size_t key_column) {
  std::vector<LineSeen> lines;
  int64_t last_start = -1;
  for (size_t n = 0;; ++n) {
    Check(n <= size);  // every line read takes at least one byte
    int status = df->ReadNext();
    Check(status >= tallypad::kLineEnd && status <= tallypad::kLineEmpty);
    if (status == tallypad::kLineEnd) break;
    Check(df->line_start() > last_start && df->line_start() < static_cast<int64_t>(size));
    last_start = df->line_start();
    for (const VarEntry& e : df->columns()->entries)
      Check(!e.value || e.value->size() <= tallypad::kMaxFieldLength);
    if (lines.size() < kCheckedLines) {
      const VarEntry& key = df->columns()->entries[key_column];
      lines.push_back({df->line_start(), status, key.value});
    }
  }
  Check(df->ReadNext() == tallypad::kLineEnd);
  return lines;
}

// The name of the first column whose name is its own first match (names are
// found without case), or nullopt.
std::optional<size_t> KeyColumn(const VarTable* columns, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const VarEntry& e = columns->entries[i];
    if (e.IsUsed() && tallypad::VarTableFind(columns, *e.name) == &e) return i;
  }
  return std::nullopt;
}

// True when every column has a name of its own, so that the record writer,
// which looks values up by name, finds each column's value.
bool NamesAreDistinct(const VarTable* columns, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    const VarEntry& e = columns->entries[i];
    if (!e.IsUsed() || tallypad::VarTableFind(columns, *e.name) != &e) return false;
  }
  return true;
}

// Writes the record now in `columns` back with the record writer under the
// same header and checks that it reads back with the same values.
void CheckWriteBack(const VarTable* columns, size_t count) {
  std::string header;
  for (size_t i = 0; i < count; ++i) header += "#" + *columns->entries[i].name + "\t";
  header += "\r\n";
  VarTablePtr vars = tallypad::VarTableCopy(columns, 0);
  std::string path = Folder() + "back.asc";
  std::unique_ptr<DataFile> header_only;
  WriteFile(path, header);
  header_only = DataFile::Open(path, 0);
  Check(header_only != nullptr && header_only->column_count() == count);
  std::string line = tallypad::DataRecordLine(header_only->columns(), vars.get());
  WriteFile(path, header + line);

  std::unique_ptr<DataFile> back = DataFile::Open(path, 0);
  Check(back != nullptr && back->column_count() == count);
  int status = back->ReadNext();
  Check(status != tallypad::kLineEnd);
  for (size_t i = 0; i < count; ++i)
    Check(ValueOf(back->columns()->entries[i]) == ValueOf(columns->entries[i]));
  Check(back->ReadNext() == tallypad::kLineEnd);
}

void FuzzDataFile(const std::string& path, size_t size, size_t spare) {
  std::unique_ptr<DataFile> df = DataFile::Open(path, spare);
  if (!df) return;
  const size_t count = df->column_count();
  Check(count >= 1 && count <= tallypad::kMaxColumns);
  Check(df->columns()->entries.size() == count + spare);
  bool named = false;
  for (size_t i = 0; i < count; ++i) {
    const VarEntry& e = df->columns()->entries[i];
    Check(e.name && e.name->size() <= tallypad::kMaxHeaderNameLength && !e.value);
    Check(e.name->find_first_of("\t\r\n") == std::string::npos);
    named = named || !e.name->empty();
  }
  Check(named);
  for (size_t i = count; i < count + spare; ++i) Check(df->columns()->entries[i].IsFree());
  const int64_t first_line = df->line_start();

  std::optional<size_t> key = KeyColumn(df->columns(), count);
  std::vector<LineSeen> lines = ReadAllLines(df.get(), size, key.value_or(0));
  size_t records_checked = 0;
  for (const LineSeen& l : lines) records_checked += l.status == tallypad::kLineRecord;

  // Record numbers lead to the line starts the line reader saw, and a Seek
  // to a line start reads the same line again.
  df->GoToRecord(-1);
  for (size_t i = 0; i < lines.size(); i += 7) {
    df->GoToRecord(-1);
    df->GoToRecord(static_cast<long>(i));
    Check(df->ReadNext() == lines[i].status && df->line_start() == lines[i].start);
    Check(df->Seek(lines[i].start) && df->ReadNext() == lines[i].status);
  }
  df->GoToRecord(-1);
  df->GoToRecord(static_cast<long>(size) + 1);
  Check(df->ReadNext() == tallypad::kLineEnd);

  // An empty query accepts exactly the ordinary records.
  df->GoToRecord(-1);
  size_t accepted = 0;
  auto vars = tallypad::VarTableFromPairs({"Q1=5", "x=abc"}, 0);
  while (accepted < kCheckedLines && df->ReadWhere(tallypad::QueryFilter(vars.get(), ""))) ++accepted;
  Check(accepted == std::min(records_checked, kCheckedLines) ||
        (lines.size() == kCheckedLines && accepted >= records_checked));

  // A query on the key column only runs.
  if (key) {
    df->GoToRecord(-1);
    std::string query = *df->columns()->entries[*key].name + " == 5 | Q1 < $x";
    const tallypad::RecordFilter wanted = tallypad::QueryFilter(vars.get(), query);
    for (int i = 0; i < 8 && df->ReadWhere(wanted); ++i) {
    }
  }

  // A scan by criteria finds each record the line reader read, no later
  // than where the line reader read it.
  if (key) {
    const std::string& name = *df->columns()->entries[*key].name;
    size_t checked = 0;
    for (const LineSeen& l : lines) {
      if (l.status != tallypad::kLineRecord || checked++ >= 4) continue;
      VarTablePtr criteria = OneCriterion(name, l.key ? std::string_view(*l.key) : "");
      df->GoToRecord(-1);
      int64_t found = -1;
      Check(df->ReadMatching(criteria.get(), &found));
      Check(found >= first_line && found <= l.start);
      Check(df->RecordMatches(criteria.get()));
    }
  }

  // The first ordinary record, written back, reads back the same.
  if (NamesAreDistinct(df->columns(), count) && spare == 0) {
    df->GoToRecord(-1);
    for (size_t i = 0; i < kCheckedLines; ++i) {
      int status = df->ReadNext();
      if (status == tallypad::kLineEnd) break;
      if (status != tallypad::kLineRecord) continue;
      CheckWriteBack(df->columns(), count);
      break;
    }
  }

  // A respondent lookup with this file as the data file and its key column
  // as the login finds a record with the login of the first ordinary record.
  if (key) {
    const std::string& name = *df->columns()->entries[*key].name;
    const LineSeen* first = nullptr;
    for (const LineSeen& l : lines) {
      if (l.status == tallypad::kLineRecord) {
        first = &l;
        break;
      }
    }
    bool usable_name = name.find(',') == std::string::npos && name.front() != ' ' &&
                       name.back() != ' ';
    if (first && first->key && !first->key->empty() && usable_name) {
      VarTablePtr settings = tallypad::VarTableNew(2);
      settings->entries[0] = VarEntry{std::string("IDFIELDS"), name};
      settings->entries[1] = VarEntry{std::string("SAVEDATANAME"), std::string("in.asc")};
      VarTablePtr who = OneCriterion(name, *first->key);
      VarTablePtr record = tallypad::FindRespondentRecord(settings.get(), Folder(), "in", who.get());
      Check(record != nullptr);
      Check(ValueOf(*tallypad::VarTableFind(record.get(), name)) == *first->key);
    }
  }
}

// The input as the index of the fixed data file: whatever it holds, the
// lookup finds one of amy's records and never a record of someone else.
void FuzzIndex() {
  auto settings = tallypad::VarTableFromPairs(
      {"IDFIELDS=IFMUID,IFMUID1", "SAVEDATANAME=d.asc", "SAVEINDEXNAME=in.asc"}, 0);
  auto amy = tallypad::VarTableFromPairs({"IFMUID=amy", "IFMUID1=1"}, 0);
  VarTablePtr record = tallypad::FindRespondentRecord(settings.get(), Folder(), "d", amy.get(), 2);
  Check(record != nullptr);
  Check(tallypad::VarTableGet(record.get(), "IFMUID") == "amy");
  Check(tallypad::VarTableGet(record.get(), "IFMUID1") == "1");
  Check(tallypad::VarTableFind(record.get(), "")->IsFree());

  auto wrong_password = tallypad::VarTableFromPairs({"IFMUID=amy", "IFMUID1=2"}, 0);
  Check(tallypad::FindRespondentRecord(settings.get(), Folder(), "d", wrong_password.get()) ==
        nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = Folder() + "in.asc";
  WriteFile(path, std::string_view(reinterpret_cast<const char*>(data), size));
  FuzzDataFile(path, size, size % 3);
  FuzzIndex();
  return 0;
}
