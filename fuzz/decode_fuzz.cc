// Fuzzes the form decoder, the percent decoder and the list parser. Input:
// the first byte chooses the counts (bits 0-1 the reserved entries, bits
// 2-4 the free entries, bits 5-6 the list separator of VarTableFromList);
// the rest is the text given to every builder.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/decode.h"
#include "base/vartable.h"
#include "fuzz_check.h"

namespace {

using fuzzing::Check;

// Checks the layout every builder promises: `reserved` blank entries, then
// `free_count` free entries with the value "", then used entries, then
// only blank entries; returns the number of used entries.
size_t CheckLayout(const tallypad::VarTable& t, size_t reserved, size_t free_count) {
  Check(t.next == nullptr);
  Check(t.entries.size() >= reserved + free_count);
  for (size_t i = 0; i < reserved; ++i) Check(t.entries[i].IsBlank() && !t.entries[i].value);
  for (size_t i = reserved; i < reserved + free_count; ++i)
    Check(t.entries[i].IsFree() && t.entries[i].value && t.entries[i].value->empty());
  size_t i = reserved + free_count;
  size_t used = 0;
  for (; i < t.entries.size() && !t.entries[i].IsBlank(); ++i, ++used)
    Check(t.entries[i].IsUsed() && t.entries[i].value.has_value());
  for (; i < t.entries.size(); ++i) Check(t.entries[i].IsBlank() && !t.entries[i].value);
  return used;
}

void FuzzUrlDecode(std::string_view text) {
  std::string decoded(text);
  size_t n = tallypad::UrlDecode(decoded);
  Check(n == decoded.size() && n <= text.size());
  // Without any '%' the text stays as it is.
  if (text.find('%') == std::string_view::npos) Check(decoded == text);

  // Encoding then decoding gives the bytes back.
  std::string encoded = tallypad::UrlEncode(text);
  for (char c : encoded)
    Check(std::isalnum(static_cast<unsigned char>(c)) || c == '%' || c == '-' || c == '_' ||
          c == '.' || c == '~');
  std::string round = encoded;
  tallypad::UrlDecode(round);
  Check(round == text);
}

void FuzzFormDecode(std::string_view text, size_t reserved, size_t free_count) {
  tallypad::VarTablePtr t = tallypad::FormDecode(reserved, text, free_count);
  if (text.empty()) {
    Check(t == nullptr);
    return;
  }
  Check(t != nullptr);
  size_t items = static_cast<size_t>(std::count(text.begin(), text.end(), '&')) + 1;
  Check(t->entries.size() == reserved + free_count + items);
  size_t used = CheckLayout(*t, reserved, free_count);
  Check(used <= items);
  for (size_t i = reserved + free_count; i < reserved + free_count + used; ++i) {
    // A decoded name or value is never longer than its item, and an item
    // never holds the separator of the items undecoded.
    Check(t->entries[i].name->size() + t->entries[i].value->size() <= text.size());
  }

  // A field whose name and value were encoded comes back exactly.
  std::string value(text.substr(0, 64));
  std::string field = "f=" + tallypad::UrlEncode(value);
  tallypad::VarTablePtr one = tallypad::FormDecode(0, field, 0);
  Check(one != nullptr && one->entries.size() == 1);
  Check(one->entries[0].name == "f" && one->entries[0].value == value);
}

void FuzzList(std::string_view text, char separator, size_t free_count) {
  tallypad::VarTablePtr t = tallypad::VarTableFromList(text, separator, free_count);
  if (text.empty() && free_count == 0) {
    Check(t == nullptr);
    return;
  }
  Check(t != nullptr);
  size_t used = CheckLayout(*t, 0, free_count);
  size_t separators = text.empty() ? 0 : std::count(text.begin() + 1, text.end(), separator);
  Check(t->entries.size() == free_count + (text.empty() ? 0 : 1 + separators));
  for (size_t i = free_count; i < free_count + used; ++i) {
    const std::string& name = *t->entries[i].name;
    unsigned char first = static_cast<unsigned char>(name[0]);
    Check(std::isalnum(first) || first == '_');
    Check(name.find(separator) == std::string::npos && name.find('=') == std::string::npos);
    Check(t->entries[i].value->find(separator) == std::string::npos);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t options = data[0];
  std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  const size_t reserved = options & 3;
  const size_t free_count = (options >> 2) & 7;
  static constexpr char kSeparators[] = {',', '&', ' ', ';'};
  const char separator = kSeparators[(options >> 5) & 3];

  FuzzUrlDecode(text);
  FuzzFormDecode(text, reserved, free_count);
  FuzzList(text, separator, free_count);
  return 0;
}
