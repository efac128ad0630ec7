// VarTable: the one associative structure of the system. Request variables,
// script variables, configuration sections, tag attributes and data-file
// column tables are all VarTables: an ordered array of name/value entries
// searched in order, names compared without regard to case, the first match
// winning. Spare entries are reserved ahead of time ("free" entries, named
// ""), and further blocks are chained on when they run out.
//
// Entry kinds: a used entry has a non-empty name; a free entry has the name
// ""; a blank entry has no name at all and, since builders fill blocks from
// the front, blank entries only form the tail of a block. Entries never move
// once a block is made, so a found entry stays valid until the table dies.
// Not thread-safe: a table belongs to one request.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace tallypad {

struct VarEntry {
  std::optional<std::string> name;   // nullopt: blank entry; "": free entry
  std::optional<std::string> value;  // nullopt: the entry has no value

  bool IsBlank() const { return !name.has_value(); }
  bool IsFree() const { return name.has_value() && name->empty(); }
  bool IsUsed() const { return name.has_value() && !name->empty(); }
};

struct VarTable {
  // Makes one block of `n` blank entries.
  explicit VarTable(size_t n) : entries(n) {}

  std::vector<VarEntry> entries;   // fixed size once made: entries never move
  std::unique_ptr<VarTable> next;  // the chained block, or null
};
using VarTablePtr = std::unique_ptr<VarTable>;

// Makes a table of one block of `n` blank entries.
VarTablePtr VarTableNew(size_t n);
// Finds the first entry named `name` (without case); an empty name finds the
// first free entry. Scans every block of the chain; null when not found.
VarEntry* VarTableFind(VarTable* t, std::string_view name);
const VarEntry* VarTableFind(const VarTable* t, std::string_view name);
// Returns the value of `name` when it exists and is non-empty, else `def`.
std::string VarTableGet(const VarTable* t, std::string_view name, std::string_view def = {});
// Returns the value of `name` when it exists and is non-empty, else nullopt.
std::optional<std::string> VarTableGetOpt(const VarTable* t, std::string_view name);
// Renames the first entry named `old_name`; a null new name makes the entry
// free (its value stays). Returns false when `old_name` is missing.
bool VarTableRename(VarTable* t, std::string_view old_name,
                    std::optional<std::string_view> new_name);
// Makes every entry named `name` (without case) free in one pass over the
// chain, values kept as by VarTableRename; an empty name removes nothing.
// Returns the number of entries made free.
size_t VarTableRemoveAll(VarTable* t, std::string_view name);
// Sets the value of `name`, claiming the first free entry when the name is
// missing; a null value empties an existing value. Returns false when the
// table has no free entry left (nothing is written then).
bool VarTableSet(VarTable* t, std::string_view name, std::optional<std::string_view> value);
// VarTableSet that chains a new block of `grow` free entries when full.
void VarTableSetGrow(VarTable* t, std::string_view name, std::optional<std::string_view> value,
                     size_t grow = 128);
// Chains a new block of `k` free entries (name "", no value) to the end.
void VarTableExtend(VarTable* t, size_t k);
// Returns a new table: `k` free entries (name "", value ""), then copies of
// the entries of `t`'s first block up to its first blank entry. `t` may be null.
VarTablePtr VarTableCopy(const VarTable* t, size_t k);
// Returns a new table of one block: the used entries of every block of `t`
// (which may be null), in table order, then `spare` free entries.
VarTablePtr VarTableFlatCopy(const VarTable* t, size_t spare);
// Returns a new table: `k` free entries (no value), copies of the first
// table's entries, then copies of the second table's entries whose names the
// first lacks. Without a second table, as VarTableCopy.
VarTablePtr VarTableMerge(const VarTable* first, const VarTable* second, size_t k);

namespace vartable_internal {

// Calls `visit` for every entry that is not blank (used and free ones) of
// every block of the chain, in table order, until it returns false. A
// block's entries end at its first blank entry; the walk then goes on with
// the next block.
template <typename Table, typename Visit>
void ForEachFilled(Table* t, Visit&& visit) {
  for (Table* block = t; block; block = block->next.get()) {
    for (auto& e : block->entries) {
      if (e.IsBlank()) break;
      if (!visit(e)) return;
    }
  }
}

}  // namespace vartable_internal

// Calls `visit` for every used entry of every block of `t` (which may be
// null), in table order; free entries are passed over. The entry is a
// `VarEntry&` for a table the caller may change, else a `const VarEntry&`.
// A visitor that returns bool stops the walk by returning false.
template <typename Table, typename Visit>
  requires std::is_same_v<std::remove_const_t<Table>, VarTable>
void VarTableForEach(Table* t, Visit&& visit) {
  vartable_internal::ForEachFilled(t, [&visit](auto& e) {
    if (e.IsFree()) return true;
    if constexpr (std::is_void_v<decltype(visit(e))>) {
      visit(e);
      return true;
    } else {
      return static_cast<bool>(visit(e));
    }
  });
}

}  // namespace tallypad
