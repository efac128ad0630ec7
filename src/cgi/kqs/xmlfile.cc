#include "cgi/kqs/xmlfile.h"

#include <unistd.h>

#include <climits>
#include <string_view>

#include "base/file.h"
#include "base/str.h"
#include "cgi/kqs/file_append.h"

namespace tallypad {

namespace {

// A variable named group_row_field, with the row a decimal number.
struct RowName {
  std::string_view group;
  int row = 0;
  std::string_view field;
};

// Recognises a row variable: a digit right after the first underscore and a
// further underscore at least two characters after it.
bool ParseRowName(std::string_view name, RowName* out) {
  size_t first = name.find('_');
  if (first == std::string_view::npos || first + 1 >= name.size()) return false;
  if (name[first + 1] < '0' || name[first + 1] > '9') return false;
  size_t next = name.find('_', first + 2);
  if (next == std::string_view::npos) return false;
  int row = 0;
  for (size_t i = first + 1; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    // Absurdly long row numbers stop growing rather than overflow.
    if (row > (INT_MAX - 9) / 10) break;
    row = row * 10 + (name[i] - '0');
  }
  out->group = name.substr(0, first);
  out->row = row;
  out->field = name.substr(next + 1);
  return true;
}

// Appends an answer as element content: "&", "<" and ">" escaped, every
// line break written as "\r\n", and control characters XML cannot hold
// left out.
void AppendEscaped(std::string& out, std::string_view value) {
  for (size_t i = 0; i < value.size(); ++i) {
    char c = value[i];
    switch (c) {
      case '&': out.append("&amp;"); break;
      case '<': out.append("&lt;"); break;
      case '>': out.append("&gt;"); break;
      case '\r':
        out.append("\r\n");
        if (i + 1 < value.size() && value[i + 1] == '\n') ++i;
        break;
      case '\n': out.append("\r\n"); break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') break;
        out.push_back(c);
    }
  }
}

void AppendElement(std::string& out, std::string_view name, std::string_view value) {
  out.append("<").append(name).append(">");
  AppendEscaped(out, value);
  out.append("</").append(name).append(">\r\n");
}

}  // namespace

std::string XmlTransactionText(const VarTable* vars) {
  std::string out = "<TRANSACTION>";
  std::string open_group;  // the row element now open; empty when none
  int open_row = 0;
  auto close_row = [&] {
    if (open_group.empty()) return;
    out.append("</").append(open_group).append(">\r\n");
    open_group.clear();
  };
  for (const VarTable* block = vars; block; block = block->next.get()) {
    for (const VarEntry& e : block->entries) {
      if (e.IsBlank()) break;
      if (e.IsFree() || (*e.name)[0] == '_') continue;
      std::string_view value = e.value ? std::string_view(*e.value) : std::string_view();
      RowName row;
      if (!ParseRowName(*e.name, &row)) {
        close_row();
        AppendElement(out, *e.name, value);
        continue;
      }
      // A row element is opened whenever none is open for this group and
      // row, so a row's answers never land outside a row element.
      if (open_group.empty() || !StrEqualNoCase(open_group, row.group) || open_row != row.row) {
        close_row();
        open_group.assign(row.group);
        open_row = row.row;
        out.append("<").append(open_group).append(" id=\"").append(std::to_string(open_row));
        out.append("\">\r\n");
      }
      AppendElement(out, row.field, value);
    }
  }
  close_row();
  out.append("</TRANSACTION>\r\n");
  return out;
}

int XmlAppendTransaction(const VarTable* vars, const std::string& path, int64_t* offset) {
  if (!FileExists(path) || ::access(path.c_str(), W_OK) != 0) return kXmlCannotWrite;
  std::string text = XmlTransactionText(vars);
  return AppendWhole(path, text, "\r\n", offset) ? 0 : kXmlCannotWrite;
}

}  // namespace tallypad
