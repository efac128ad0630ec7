#include "base/text.h"

#include <cstdarg>
#include <cstdio>

#include "base/file.h"
#include "base/str.h"

namespace tallypad {

namespace {

std::string VFormat(const char* format, va_list args) {
  char area[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(area, sizeof area, format, copy);
  va_end(copy);
  if (n < 0) return std::string();
  if (static_cast<size_t>(n) < sizeof area) return std::string(area, static_cast<size_t>(n));
  std::string out(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(out.data(), out.size(), format, args);
  out.resize(static_cast<size_t>(n));
  return out;
}

const char* EntityFor(char c) {
  switch (c) {
    case '"': return "&quot;";
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    default: return nullptr;
  }
}

}  // namespace

void StreamPrintf(OutputStream* s, const char* format, ...) {
  if (!s) return;
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  StreamWriteText(s, text);
}

std::string StrPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = VFormat(format, args);
  va_end(args);
  return text;
}

void StreamWriteHtml(OutputStream* s, std::string_view text) {
  if (!s) return;
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char* entity = EntityFor(text[i]);
    if (!entity) continue;
    if (i > run) StreamWrite(s, text.data() + run, i - run);
    StreamWriteText(s, entity);
    run = i + 1;
  }
  if (text.size() > run) StreamWrite(s, text.data() + run, text.size() - run);
}

bool StreamSendFile(OutputStream* s, const std::string& path) {
  if (!s) return false;
  FilePtr f = FileOpen(path, "rb");
  if (!f) return false;
  StreamCopyFile(s, f.get());
  return true;
}

void StreamWriteTable(OutputStream* s, const VarTable* t) {
  VarTableForEach(t, [s](const VarEntry& e) {
    StreamWriteText(s, *e.name);
    if (e.value) {
      StreamWriteText(s, "=");
      StreamWriteText(s, *e.value);
    }
    StreamWriteText(s, "\n");
  });
}

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const char* entity = EntityFor(c);
    if (entity) {
      out += entity;
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<size_t> StrFindNoCaseN(std::string_view text, std::string_view pattern, size_t n) {
  if (text.empty()) return std::nullopt;
  if (n > pattern.size()) n = pattern.size();
  for (size_t at = 0; at + n <= text.size(); ++at)
    if (StrCompareNoCaseN(text.substr(at), pattern, n) == 0) return at;
  return std::nullopt;
}

std::optional<size_t> StrFindNoCase(std::string_view text, std::string_view pattern) {
  return StrFindNoCaseN(text, pattern, pattern.size());
}

std::tm LocalTimeNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

void FormatDateTimeAt(const std::tm& when, std::string* date, std::string* time) {
  if (date) *date = StrPrintf("%4.4d%2.2d%2.2d", when.tm_year + 1900, when.tm_mon + 1, when.tm_mday);
  if (time) *time = StrPrintf("%2.2d%2.2d%2.2d", when.tm_hour, when.tm_min, when.tm_sec);
}

void FormatDateTime(std::string* date, std::string* time) {
  FormatDateTimeAt(LocalTimeNow(), date, time);
}

}  // namespace tallypad
