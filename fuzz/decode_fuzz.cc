// Fuzzes the form decoder, the request-field decoder, the percent decoder
// and the list parser. Input: the first byte chooses the counts (bits 0-1
// the reserved entries, bits 2-4 the free entries, bits 5-6 the list
// separator of VarTableFromList, bit 7 a small limit of fields); the rest
// is the text given to every builder.
#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

// Names the request-field decoder is told to leave out, as the router does.
constexpr std::string_view kDropped[] = {"HOST", "DATE", "TIME", "_PAGEWARN"};

bool SameLetter(char a, char b) {
  return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
}

bool IsDroppedName(std::string_view name) {
  for (std::string_view d : kDropped)
    if (name.size() == d.size() && std::equal(name.begin(), name.end(), d.begin(), SameLetter))
      return true;
  return false;
}

// Checks FormDecodeFields against FormDecode: the same fields in the same
// order, less the dropped ones, with no blank entries; or a refusal exactly
// when the text holds more fields than the limit.
void FuzzFormDecodeFields(std::string_view text, size_t reserved, size_t free_count,
                          std::optional<size_t> limit) {
  tallypad::FormFieldRules rules;
  if (limit) rules.max_fields = *limit;
  rules.dropped = kDropped;
  tallypad::VarTablePtr t = tallypad::VarTableNew(1);
  tallypad::FormFieldsResult result =
      tallypad::FormDecodeFields(reserved, text, free_count, rules, &t);

  tallypad::VarTablePtr plain = tallypad::FormDecode(reserved, text, free_count);
  std::vector<const tallypad::VarEntry*> expected;
  size_t fields = 0;
  if (plain) {
    for (const tallypad::VarEntry& e : plain->entries) {
      if (!e.IsUsed()) continue;
      ++fields;
      if (!IsDroppedName(*e.name)) expected.push_back(&e);
    }
  }
  Check(tallypad::FormFieldCount(text) == fields);

  if (limit && fields > *limit) {
    Check(result == tallypad::FormFieldsResult::kTooManyFields && t == nullptr);
    return;
  }
  Check(result == tallypad::FormFieldsResult::kDecoded);
  if (text.empty()) {
    Check(t == nullptr);
    return;
  }
  Check(t != nullptr && t->next == nullptr);
  Check(t->entries.size() == reserved + free_count + expected.size());
  CheckLayout(*t, reserved, free_count);
  for (size_t i = 0; i < expected.size(); ++i) {
    const tallypad::VarEntry& e = t->entries[reserved + free_count + i];
    Check(e.name == expected[i]->name && e.value == expected[i]->value);
  }
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
  // A small limit (0 to 7, from the text's length) makes refusals common.
  std::optional<size_t> limit;
  if (options & 0x80) limit = text.size() % 8;
  FuzzFormDecodeFields(text, reserved, free_count, limit);
  FuzzList(text, separator, free_count);
  return 0;
}
