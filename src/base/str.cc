#include "base/str.h"

#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstring>

namespace tallypad {

namespace {

int Upper(char c) { return std::toupper(static_cast<unsigned char>(c)); }

std::string CurrentDirectory() {
  char area[PATH_MAX];
  if (getcwd(area, sizeof area) == nullptr) return "";
  return area;
}

}  // namespace

std::string StrDup(const char* text) { return text ? std::string(text) : std::string(); }

std::string StrDupN(const char* bytes, size_t count) {
  return bytes && count ? std::string(bytes, count) : std::string();
}

std::string StrConcat3(std::string_view a, std::string_view b, std::string_view c) {
  std::string out;
  out.reserve(a.size() + b.size() + c.size());
  out.append(a).append(b).append(c);
  return out;
}

int StrCompareNoCase(std::string_view a, std::string_view b) {
  size_t i = 0;
  for (; i < a.size() && i < b.size(); ++i) {
    int ua = Upper(a[i]), ub = Upper(b[i]);
    if (ua != ub) return ua - ub;
  }
  // At the end of either text the bytes themselves decide (the end counts as 0).
  int ca = i < a.size() ? static_cast<signed char>(a[i]) : 0;
  int cb = i < b.size() ? static_cast<signed char>(b[i]) : 0;
  return ca - cb;
}

int StrCompareNoCaseN(std::string_view a, std::string_view b, size_t limit) {
  size_t i = 0;
  for (; i < a.size() && i < b.size(); ++i) {
    if (limit == 0) return 0;
    int ua = Upper(a[i]), ub = Upper(b[i]);
    if (ua != ub) return ua - ub;
    --limit;
  }
  if (limit == 0) return 0;
  int ua = i < a.size() ? Upper(a[i]) : 0;
  int ub = i < b.size() ? Upper(b[i]) : 0;
  return ua - ub;
}

bool StrEqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (Upper(a[i]) != Upper(b[i])) return false;
  return true;
}

bool StrStartsNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && StrEqualNoCase(text.substr(0, prefix.size()), prefix);
}

void StrReplaceChar(std::string& text, char from, char to) {
  for (char& c : text)
    if (c == from) c = to;
}

int StrToIntClamped(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) break;
  }
  if (negative) value = -value;
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

bool StrLooksNumeric(std::string_view text) {
  size_t at = 0;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    at = (text.size() > 1 && text[1] == '.') ? 2 : 1;
  } else if (!text.empty() && text[0] == '.') {
    at = 1;
  }
  return at < text.size() && text[at] >= '0' && text[at] <= '9';
}

std::string StrUpper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(Upper(c));
  return out;
}

std::string PathBuild(std::string_view base, std::string_view name, std::string_view extension) {
  if (name.size() + extension.size() > kMaxPathLength) return "";
  std::string out;
  if (!name.empty() && name[0] == '/') {
    out.append(name).append(extension);
  } else {
    size_t slash = base.rfind('/');
    if (slash != std::string_view::npos) {
      out.assign(base.substr(0, slash + 1));
    } else {
      out = CurrentDirectory();
      out += '/';
    }
    size_t appended_at = out.size();
    out.append(name).append(extension);
    // Configurations written with backslashes still name the right file.
    for (size_t i = appended_at; i < out.size(); ++i)
      if (out[i] == '\\') out[i] = '/';
  }
  if (out.size() > kMaxPathLength) return "";
  return out;
}

std::string PathShown(std::string_view base, std::string_view path) {
  size_t slash = base.rfind('/');
  if (slash != std::string_view::npos) {
    std::string_view folder = base.substr(0, slash + 1);
    if (path.size() > folder.size() && path.starts_with(folder))
      return std::string(path.substr(folder.size()));
  }
  size_t last = path.rfind('/');
  return std::string(last == std::string_view::npos ? path : path.substr(last + 1));
}

FilePtr PathOpenRelative(std::string_view base, std::string_view name, std::string_view extension) {
  if (name.empty()) return nullptr;
  std::string path = PathBuild(base, name, extension);
  if (path.empty()) return nullptr;
  return FileOpen(path, "rb");
}

}  // namespace tallypad
