#include "store/record_export.h"

#include <cstdio>

#include "base/str.h"
#include "base/utf8_read.h"

namespace tallypad {

namespace {

// Opens a CSV file: the UTF-8 byte order mark, without which common
// spreadsheets read the file in a legacy code page and garble every
// character outside ASCII.
constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";
// Records are gathered into one text of about this size per write.
constexpr size_t kExportChunk = 64 * 1024;

struct FormatRow {
  std::string_view name;
  ExportFormat format;
  std::string_view media_type;
  std::string_view extension;
};

constexpr FormatRow kFormats[] = {
    {"csv", ExportFormat::kCsv, "text/csv; charset=utf-8", ".csv"},
    {"jsonl", ExportFormat::kJsonLines, "application/x-ndjson; charset=utf-8", ".jsonl"},
};

const FormatRow& RowOf(ExportFormat format) {
  for (const FormatRow& row : kFormats)
    if (row.format == format) return row;
  return kFormats[0];
}

// The value of a column slot as stored ("" for a field the line lacks).
std::string_view SlotValue(const VarEntry& slot) {
  return slot.value ? std::string_view(*slot.value) : std::string_view();
}

// The name of a column slot ("" for a column the header left unnamed).
std::string_view SlotName(const VarEntry& slot) {
  return slot.name ? std::string_view(*slot.name) : std::string_view();
}

}  // namespace

std::optional<ExportFormat> ExportFormatNamed(std::string_view name) {
  for (const FormatRow& row : kFormats)
    if (StrEqualNoCase(row.name, name)) return row.format;
  return std::nullopt;
}

std::string_view ExportMediaType(ExportFormat format) { return RowOf(format).media_type; }

std::string_view ExportExtension(ExportFormat format) { return RowOf(format).extension; }

std::string CsvField(std::string_view value) {
  std::string text = Utf8Repaired(value);
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  quoted += '"';
  return quoted;
}

std::string JsonString(std::string_view value) {
  const std::string text = Utf8Repaired(value);
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

size_t ExportRecords(DataFile* data, const RecordFilter& wanted, ExportFormat format,
                     OutputStream* out) {
  const std::vector<VarEntry>& slots = data->columns()->entries;
  const size_t columns = data->column_count();
  std::string text;
  if (format == ExportFormat::kCsv) {
    text += kUtf8ByteOrderMark;
    for (size_t i = 0; i < columns; ++i) {
      if (i) text += ',';
      text += CsvField(SlotName(slots[i]));
    }
    text += "\r\n";
  }
  size_t written = 0;
  while (data->ReadWhere(wanted)) {
    ++written;
    for (size_t i = 0; i < columns; ++i) {
      if (format == ExportFormat::kCsv) {
        if (i) text += ',';
        text += CsvField(SlotValue(slots[i]));
      } else {
        text += i ? "," : "{";
        text += JsonString(SlotName(slots[i]));
        text += ':';
        text += JsonString(SlotValue(slots[i]));
      }
    }
    text += format == ExportFormat::kCsv ? "\r\n" : columns ? "}\n" : "{}\n";
    if (text.size() >= kExportChunk) {
      StreamWriteText(out, text);
      text.clear();
    }
  }
  StreamWriteText(out, text);
  return written;
}

}  // namespace tallypad
