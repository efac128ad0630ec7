#include "base/decode.h"

#include <algorithm>
#include <cctype>

#include "base/str.h"

namespace tallypad {

namespace {

// The digit rule of the decoder: nothing is rejected, so a malformed escape
// still yields some byte.
int HexValue(char c) {
  unsigned char u = static_cast<unsigned char>(c);
  if (u < 'A') return u - '0';
  return (u & ~0x20) - 55;
}

void MarkFree(VarTable* t, size_t from, size_t count) {
  for (size_t i = from; i < from + count; ++i) t->entries[i] = VarEntry{std::string(), std::string()};
}

bool IsNameStart(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_';
}

// Calls `fn` with each non-empty '&'-separated item of `data`.
template <typename Fn>
void ForEachFormItem(std::string_view data, Fn fn) {
  size_t pos = 0;
  while (pos < data.size()) {
    size_t amp = data.find('&', pos);
    if (amp == std::string_view::npos) amp = data.size();
    if (amp > pos) fn(data.substr(pos, amp - pos));
    pos = amp + 1;
  }
}

// Decodes the name or the value of a form item: '+' is a blank, then the
// percent escapes. Decoding never empties a non-empty part.
std::string FormPartDecode(std::string_view part) {
  std::string text(part);
  std::replace(text.begin(), text.end(), '+', ' ');
  UrlDecode(text);
  return text;
}

bool IsDropped(std::string_view name, const FormFieldRules& rules) {
  for (std::string_view d : rules.dropped)
    if (StrEqualNoCase(name, d)) return true;
  for (std::string_view prefix : rules.dropped_prefixes)
    if (StrStartsNoCase(name, prefix)) return true;
  return false;
}

}  // namespace

size_t UrlDecode(std::string& text) {
  size_t out = 0;
  for (size_t in = 0; in < text.size(); ++in) {
    char c = text[in];
    // A '%' too close to the end to carry two digits stays as it is.
    if (c == '%' && text.size() - in >= 3) {
      c = static_cast<char>((16 * HexValue(text[in + 1]) + HexValue(text[in + 2])) & 0xff);
      in += 2;
    }
    text[out++] = c;
  }
  text.resize(out);
  return out;
}

std::string UrlEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) || c == '-' || c == '_' || c == '.' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

VarTablePtr FormDecode(size_t reserved, std::string_view data, size_t free_count) {
  if (data.empty()) return nullptr;
  size_t items = std::count(data.begin(), data.end(), '&') + 1;
  auto t = VarTableNew(reserved + free_count + items);
  MarkFree(t.get(), reserved, free_count);
  size_t next = reserved + free_count;
  size_t pos = 0;
  while (pos < data.size()) {
    size_t amp = data.find('&', pos);
    if (amp == std::string_view::npos) amp = data.size();
    std::string item(data.substr(pos, amp - pos));
    pos = amp + 1;
    if (item.empty()) continue;
    std::replace(item.begin(), item.end(), '+', ' ');
    size_t eq = item.find('=');
    std::string name = item.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
    UrlDecode(name);
    UrlDecode(value);
    if (name.empty()) continue;
    t->entries[next++] = VarEntry{std::move(name), std::move(value)};
  }
  return t;
}

size_t FormFieldCount(std::string_view data) {
  size_t fields = 0;
  // Only an item that starts with '=' has an empty name.
  ForEachFormItem(data, [&](std::string_view item) { fields += item.front() != '='; });
  return fields;
}

FormFieldsResult FormDecodeFields(size_t reserved, std::string_view data, size_t free_count,
                                  const FormFieldRules& rules, VarTablePtr* out) {
  out->reset();
  if (data.empty()) return FormFieldsResult::kDecoded;
  // Counted before anything is made, so a refused text costs one scan.
  const size_t fields = FormFieldCount(data);
  if (fields > rules.max_fields) return FormFieldsResult::kTooManyFields;
  auto t = VarTableNew(reserved + free_count + fields);
  MarkFree(t.get(), reserved, free_count);
  size_t next = reserved + free_count;
  ForEachFormItem(data, [&](std::string_view item) {
    size_t eq = item.find('=');
    std::string name = FormPartDecode(item.substr(0, eq));
    if (name.empty() || IsDropped(name, rules)) return;
    std::string value =
        eq == std::string_view::npos ? std::string() : FormPartDecode(item.substr(eq + 1));
    t->entries[next++] = VarEntry{std::move(name), std::move(value)};
  });
  // Dropped fields leave no blank entries behind.
  t->entries.resize(next);
  *out = std::move(t);
  return FormFieldsResult::kDecoded;
}

VarTablePtr VarTableFromList(std::string_view text, char separator, size_t free_count) {
  size_t count = free_count;
  if (!text.empty()) count += 1 + std::count(text.begin() + 1, text.end(), separator);
  if (count == 0) return nullptr;
  auto t = VarTableNew(count);
  MarkFree(t.get(), 0, free_count);
  size_t next = free_count;
  size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && text[pos] == separator) ++pos;
    if (pos >= text.size()) break;
    size_t end = text.find(separator, pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view item = text.substr(pos, end - pos);
    pos = end;
    if (!IsNameStart(item[0])) continue;
    size_t eq = item.find('=', 1);
    std::string name(item.substr(0, eq));
    std::string value = eq == std::string_view::npos ? std::string() : std::string(item.substr(eq + 1));
    t->entries[next++] = VarEntry{std::move(name), std::move(value)};
  }
  return t;
}

VarTablePtr VarTableFromPairs(const std::vector<std::string>& pairs, size_t free_count) {
  if (pairs.size() + free_count < 1) return nullptr;
  auto t = VarTableNew(pairs.size() + free_count);
  MarkFree(t.get(), 0, free_count);
  size_t next = free_count;
  for (const std::string& pair : pairs) {
    size_t eq = pair.find('=');
    std::string name = pair.substr(0, eq);
    std::string value = eq == std::string::npos ? std::string() : pair.substr(eq + 1);
    t->entries[next++] = VarEntry{std::move(name), std::move(value)};
  }
  return t;
}

}  // namespace tallypad
