#include "base/vartable.h"

#include "base/str.h"

namespace tallypad {

namespace {

bool Matches(const VarEntry& e, std::string_view name) {
  if (name.empty()) return e.name->empty();
  return StrEqualNoCase(*e.name, name);
}

// Copies the entries of `t`'s first block, up to its first blank entry,
// into `out` starting at `at`.
size_t CopyEntries(const VarTable* t, VarTable* out, size_t at) {
  if (!t) return at;
  for (const VarEntry& e : t->entries) {
    if (e.IsBlank()) break;
    out->entries[at++] = e;
  }
  return at;
}

size_t CountEntries(const VarTable* t) {
  size_t n = 0;
  if (t)
    for (const VarEntry& e : t->entries) {
      if (e.IsBlank()) break;
      ++n;
    }
  return n;
}

}  // namespace

VarTablePtr VarTableNew(size_t n) { return std::make_unique<VarTable>(n); }

const VarEntry* VarTableFind(const VarTable* t, std::string_view name) {
  // Every block is searched: a variable stored in a chained block is never
  // lost behind the blank tail of the block before it.
  const VarEntry* found = nullptr;
  vartable_internal::ForEachFilled(t, [&](const VarEntry& e) {
    if (Matches(e, name)) found = &e;
    return found == nullptr;
  });
  return found;
}

VarEntry* VarTableFind(VarTable* t, std::string_view name) {
  return const_cast<VarEntry*>(VarTableFind(static_cast<const VarTable*>(t), name));
}

std::string VarTableGet(const VarTable* t, std::string_view name, std::string_view def) {
  const VarEntry* e = VarTableFind(t, name);
  if (e && e->value && !e->value->empty()) return *e->value;
  return std::string(def);
}

std::optional<std::string> VarTableGetOpt(const VarTable* t, std::string_view name) {
  const VarEntry* e = VarTableFind(t, name);
  if (e && e->value && !e->value->empty()) return *e->value;
  return std::nullopt;
}

bool VarTableRename(VarTable* t, std::string_view old_name,
                    std::optional<std::string_view> new_name) {
  VarEntry* e = VarTableFind(t, old_name);
  if (!e) return false;
  e->name = std::string(new_name.value_or(std::string_view()));
  return true;
}

size_t VarTableRemoveAll(VarTable* t, std::string_view name) {
  if (name.empty()) return 0;
  size_t removed = 0;
  VarTableForEach(t, [&](VarEntry& e) {
    if (!StrEqualNoCase(*e.name, name)) return;
    e.name->clear();
    ++removed;
  });
  return removed;
}

bool VarTableSet(VarTable* t, std::string_view name, std::optional<std::string_view> value) {
  VarEntry* e = VarTableFind(t, name);
  if (!e) {
    e = VarTableFind(t, "");
    if (!e) return false;
    e->name = std::string(name);
  }
  if (value) {
    e->value = std::string(*value);
  } else if (e->value) {
    e->value->clear();
  }
  return true;
}

void VarTableSetGrow(VarTable* t, std::string_view name, std::optional<std::string_view> value,
                     size_t grow) {
  if (!t) return;
  if (VarTableSet(t, name, value)) return;
  VarTableExtend(t, grow);
  VarTableSet(t, name, value);
}

void VarTableExtend(VarTable* t, size_t k) {
  if (!t) return;
  VarTable* last = t;
  while (last->next) last = last->next.get();
  last->next = VarTableNew(k);
  for (VarEntry& e : last->next->entries) e.name = std::string();
}

VarTablePtr VarTableCopy(const VarTable* t, size_t k) {
  auto out = VarTableNew(k + CountEntries(t));
  for (size_t i = 0; i < k; ++i) out->entries[i] = VarEntry{std::string(), std::string()};
  CopyEntries(t, out.get(), k);
  return out;
}

VarTablePtr VarTableFlatCopy(const VarTable* t, size_t spare) {
  size_t count = 0;
  VarTableForEach(t, [&](const VarEntry&) { ++count; });
  VarTablePtr copy = VarTableNew(count + spare);
  size_t at = 0;
  VarTableForEach(t, [&](const VarEntry& e) { copy->entries[at++] = e; });
  for (; at < copy->entries.size(); ++at) copy->entries[at].name = std::string();
  return copy;
}

VarTablePtr VarTableMerge(const VarTable* first, const VarTable* second, size_t k) {
  if (!second) return VarTableCopy(first, k);
  size_t extra = 0;
  for (const VarEntry& e : second->entries) {
    if (e.IsBlank()) break;
    if (!VarTableFind(first, *e.name)) ++extra;
  }
  auto out = VarTableNew(k + CountEntries(first) + extra);
  for (size_t i = 0; i < k; ++i) out->entries[i].name = std::string();
  size_t at = CopyEntries(first, out.get(), k);
  for (const VarEntry& e : second->entries) {
    if (e.IsBlank()) break;
    if (!VarTableFind(first, *e.name)) out->entries[at++] = e;
  }
  return out;
}

}  // namespace tallypad
