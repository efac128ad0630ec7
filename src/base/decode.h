// Builders that turn text into a VarTable: the form decoder for URL-encoded
// query strings and posted bodies, the list parser for short settings, and
// the pair-array builder. Decoded bytes (UTF-8 included) are stored as they
// are; names keep their case and repeated names stay separate entries.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/vartable.h"

namespace tallypad {

// Percent-decodes `text` in place and returns its new length. A '%' with
// fewer than two characters after it is kept as it stands.
size_t UrlDecode(std::string& text);
// Returns `text` percent-encoded for a link's query string: every byte other
// than letters, digits and "-_.~" becomes %XX, so FormDecode gives it back.
std::string UrlEncode(std::string_view text);

// Decodes a URL-encoded query string or form body into request variables.
// The first `reserved` entries are left blank for the caller (who must fill
// them), followed by `free_count` free entries and one entry per item with a
// non-empty name. Returns null when `data` is empty.
VarTablePtr FormDecode(size_t reserved, std::string_view data, size_t free_count);

// What FormDecodeFields accepts of a request's fields.
struct FormFieldRules {
  // Most fields accepted; a text with more is refused whole.
  size_t max_fields = SIZE_MAX;
  // Fields left out, compared without case: names only the receiver may set.
  std::span<const std::string_view> dropped;
  // Fields whose names begin with one of these (without case) are left out too.
  std::span<const std::string_view> dropped_prefixes;
};

enum class FormFieldsResult {
  kDecoded,        // the table (null for empty data) is in `*out`
  kTooManyFields,  // more than max_fields fields; `*out` is null
};

// Counts the fields of a URL-encoded text: its '&'-separated items with a
// non-empty name, as FormDecode makes entries of them.
size_t FormFieldCount(std::string_view data);
// Decodes a request's query string or form body as FormDecode does, except
// that fields named in `rules.dropped` are left out and the table ends with
// the last field (no blank entries). Costs time and memory linear in the
// size of `data`, whatever it holds.
FormFieldsResult FormDecodeFields(size_t reserved, std::string_view data, size_t free_count,
                                  const FormFieldRules& rules, VarTablePtr* out);

// Parses "a=1,b,c=3" style lists separated by `separator`: `free_count` free
// entries, then one entry per item beginning with a letter, digit or '_'.
// Returns null when the text is empty and `free_count` is 0.
VarTablePtr VarTableFromList(std::string_view text, char separator, size_t free_count);

// Builds a table from "name=value" strings after `free_count` free entries.
// Returns null when that makes no entries.
VarTablePtr VarTableFromPairs(const std::vector<std::string>& pairs, size_t free_count);

}  // namespace tallypad
