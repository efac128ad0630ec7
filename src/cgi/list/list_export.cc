#include "cgi/list/list_export.h"

#include <cstdio>

#include "base/str.h"
#include "platform/profile.h"
#include "script/expr.h"

namespace tallypad {

namespace {

bool IsPlainFileNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

}  // namespace

RecordFilter ListQueryFilter(std::string query, const VarTable* columns) {
  if (query.empty()) return {};
  // The list's names for the columns, in a table of their own that each
  // record's values are copied into.
  auto shortened = std::make_shared<VarTablePtr>(VarTableNew(columns->entries.size()));
  for (size_t i = 0; i < columns->entries.size(); ++i) {
    std::optional<std::string> name = columns->entries[i].name;
    if (name) name = name->substr(0, name->find('_'));
    (*shortened)->entries[i].name = std::move(name);
  }
  return [query = std::move(query), shortened](const VarTable* record) {
    VarTable* table = shortened->get();
    for (size_t i = 0; i < table->entries.size() && i < record->entries.size(); ++i)
      table->entries[i].value = record->entries[i].value;
    return CondEvaluate(query, table, nullptr) != 0;
  };
}

std::unique_ptr<DataFile> ListOpenForExport(std::string_view server_root,
                                            std::string_view database, std::string* path,
                                            ResultCode* code) {
  VarTablePtr settings = IniLoadSection(PathBuild(server_root, database, ".ini"), "DATABASE", 0);
  if (!settings) {
    *code = ResultCode::kNoConfiguration;
    return nullptr;
  }
  *path = DataFileReadPath(server_root, settings.get(), database);
  std::unique_ptr<DataFile> data = DataFile::Open(*path, 0);
  *code = data ? ResultCode::kOk : ResultCode::kDataFileUnreadable;
  return data;
}

size_t ListExportRecords(DataFile* data, std::string_view query, ExportFormat format,
                         OutputStream* out) {
  return ExportRecords(data, ListQueryFilter(std::string(query), data->columns()), format, out);
}

std::string ExportDownloadHeader(std::string_view database, ExportFormat format) {
  std::string plain, encoded;
  for (char c : database) {
    plain += IsPlainFileNameCharacter(c) ? c : '_';
    if (IsPlainFileNameCharacter(c) || c == '.') {
      encoded += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
      encoded += escape;
    }
  }
  const std::string_view extension = ExportExtension(format);
  std::string header = "Content-type: ";
  header.append(ExportMediaType(format)).append("\r\n");
  header.append("Content-Disposition: attachment; filename=\"").append(plain).append(extension);
  header.append("\"; filename*=UTF-8''").append(encoded).append(extension).append("\r\n\r\n");
  return header;
}

}  // namespace tallypad
