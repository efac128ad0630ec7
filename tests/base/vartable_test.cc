#include "base/vartable.h"

#include <gtest/gtest.h>

#include "base/decode.h"

namespace tallypad {
namespace {

// A table of used entries from "name=value" pairs.
VarTablePtr Table(const std::vector<std::string>& pairs) { return VarTableFromPairs(pairs, 0); }

TEST(VarTable, LookupIgnoresCaseAndFirstMatchWins) {
  auto t = Table({"Database=demo", "a=1", "A=2", "empty="});
  EXPECT_EQ(VarTableGet(t.get(), "DATABASE", "x"), "demo");
  EXPECT_EQ(VarTableGet(t.get(), "a"), "1");
  EXPECT_EQ(VarTableGet(t.get(), "empty", "dflt"), "dflt");
  EXPECT_EQ(VarTableGet(t.get(), "missing", "dflt"), "dflt");
  EXPECT_FALSE(VarTableGetOpt(t.get(), "empty"));
  EXPECT_EQ(VarTableGetOpt(t.get(), "a"), "1");
  EXPECT_EQ(VarTableFind(static_cast<VarTable*>(nullptr), "a"), nullptr);
  EXPECT_EQ(VarTableGet(nullptr, "a", "d"), "d");
}

TEST(VarTable, FreeEntriesAreClaimedThenTheTableIsFull) {
  auto src = Table({"x=1"});
  auto t = VarTableCopy(src.get(), 64);
  ASSERT_EQ(t->entries.size(), 65u);
  for (int i = 0; i < 64; ++i)
    ASSERT_TRUE(VarTableSet(t.get(), "v" + std::to_string(i), "val")) << i;
  EXPECT_FALSE(VarTableSet(t.get(), "v64", "val"));
  EXPECT_EQ(VarTableFind(t.get(), "v64"), nullptr);
  VarTableExtend(t.get(), 128);
  EXPECT_TRUE(VarTableSet(t.get(), "v64", "val"));
  const VarEntry* e = VarTableFind(t.get(), "v64");
  ASSERT_NE(e, nullptr);
  EXPECT_GE(e, &t->next->entries.front());
  EXPECT_LE(e, &t->next->entries.back());
  EXPECT_EQ(VarTableGet(t.get(), "x"), "1");
}

TEST(VarTable, ChainedBlockIsFoundPastABlankTail) {
  // A form with a dropped item leaves a blank entry at the end of the block.
  auto t = FormDecode(0, "a=1&=dropped", 0);
  ASSERT_TRUE(t->entries.back().IsBlank());
  VarTableExtend(t.get(), 128);
  ASSERT_TRUE(VarTableSet(t.get(), "late", "v"));
  EXPECT_EQ(VarTableGet(t.get(), "late"), "v");
  EXPECT_EQ(VarTableGet(t.get(), "a"), "1");
}

TEST(VarTable, DeletingByRenameLeavesAReusableFreeEntry) {
  auto t = Table({"DATABASE=demo", "Q1=yes"});
  EXPECT_TRUE(VarTableRename(t.get(), "database", std::nullopt));
  EXPECT_EQ(VarTableFind(t.get(), "DATABASE"), nullptr);
  VarEntry* freed = VarTableFind(t.get(), "");
  ASSERT_NE(freed, nullptr);
  EXPECT_EQ(freed->value, "demo");
  // A rename from "" keeps the old value, a set replaces it.
  EXPECT_TRUE(VarTableRename(t.get(), "", "NEW"));
  EXPECT_EQ(VarTableGet(t.get(), "NEW"), "demo");
  EXPECT_TRUE(VarTableRename(t.get(), "NEW", std::nullopt));
  EXPECT_TRUE(VarTableSet(t.get(), "OTHER", "x"));
  EXPECT_EQ(VarTableFind(t.get(), "OTHER"), freed);
  EXPECT_EQ(VarTableGet(t.get(), "OTHER"), "x");
  EXPECT_FALSE(VarTableRename(t.get(), "missing", "y"));
}

TEST(VarTable, RemoveAllFreesEveryEntryOfTheNameInEveryBlock) {
  struct Case {
    const char* what;
    std::string name;
    size_t removed;
    std::vector<std::string> left;  // the used names afterwards, in order
  };
  const Case cases[] = {
      {"every spelling, past a blank tail into the chain", "_page", 3, {"a", "_PAGEBACK"}},
      {"a name met once", "a", 1, {"_PAGE", "_page", "_PAGEBACK", "_Page"}},
      {"a missing name", "b", 0, {"_PAGE", "a", "_page", "_PAGEBACK", "_Page"}},
      {"no name removes nothing, free entries included", "", 0,
       {"_PAGE", "a", "_page", "_PAGEBACK", "_Page"}},
  };
  for (const Case& c : cases) {
    // First block: a free entry, three fields, and the blank entry left by "=dropped".
    auto t = FormDecode(0, "_PAGE=p1&a=1&_page=p2&=dropped", 1);
    VarTableExtend(t.get(), 3);
    t->next->entries[0] = VarEntry{std::string("_PAGEBACK"), std::string("x")};
    t->next->entries[1] = VarEntry{std::string("_Page"), std::string("p3")};

    EXPECT_EQ(VarTableRemoveAll(t.get(), c.name), c.removed) << c.what;
    std::vector<std::string> left;
    size_t free_entries = 0;
    for (const VarTable* b = t.get(); b; b = b->next.get())
      for (const VarEntry& e : b->entries) {
        if (e.IsUsed()) left.push_back(*e.name);
        if (e.IsFree()) ++free_entries;
      }
    EXPECT_EQ(left, c.left) << c.what;
    EXPECT_EQ(free_entries, 2 + c.removed) << c.what;
  }
}

TEST(VarTable, RemovedEntriesKeepTheirValueAndAreClaimedAgain) {
  auto t = Table({"_ACTION=NEXT", "q=1", "_action=SAVE"});
  EXPECT_EQ(VarTableRemoveAll(t.get(), "_ACTION"), 2u);
  VarEntry* freed = VarTableFind(t.get(), "");
  ASSERT_EQ(freed, &t->entries[0]);
  EXPECT_EQ(freed->value, "NEXT");  // as VarTableRename to no name leaves it
  EXPECT_TRUE(VarTableSet(t.get(), "n1", "a"));
  EXPECT_TRUE(VarTableSet(t.get(), "n2", "b"));
  EXPECT_EQ(VarTableFind(t.get(), "n2"), &t->entries[2]);
  EXPECT_EQ(VarTableGet(t.get(), "q"), "1");
}

TEST(VarTable, SetWithoutValueEmptiesIt) {
  auto t = Table({"a=12345"});
  EXPECT_TRUE(VarTableSet(t.get(), "a", std::nullopt));
  const VarEntry* e = VarTableFind(t.get(), "a");
  ASSERT_TRUE(e->value.has_value());
  EXPECT_EQ(*e->value, "");
  EXPECT_TRUE(VarTableSet(t.get(), "a", "abc"));
  EXPECT_EQ(VarTableGet(t.get(), "a"), "abc");
}

TEST(VarTable, SetGrowExtendsWhenFull) {
  auto t = VarTableNew(0);
  for (int i = 0; i < 300; ++i) VarTableSetGrow(t.get(), "n" + std::to_string(i), "v");
  EXPECT_EQ(VarTableGet(t.get(), "n0"), "v");
  EXPECT_EQ(VarTableGet(t.get(), "n299"), "v");
}

TEST(VarTable, CopyAndMergeLayout) {
  auto first = Table({"COUNT=1"});
  auto second = Table({"COUNT=9", "X=2"});
  auto merged = VarTableMerge(first.get(), second.get(), 0);
  ASSERT_EQ(merged->entries.size(), 2u);
  EXPECT_EQ(merged->entries[0].name, "COUNT");
  EXPECT_EQ(merged->entries[0].value, "1");
  EXPECT_EQ(merged->entries[1].name, "X");
  EXPECT_EQ(merged->entries[1].value, "2");

  auto with_free = VarTableMerge(first.get(), second.get(), 2);
  EXPECT_TRUE(with_free->entries[0].IsFree());
  EXPECT_FALSE(with_free->entries[0].value.has_value());

  auto copy = VarTableCopy(first.get(), 2);
  ASSERT_EQ(copy->entries.size(), 3u);
  EXPECT_EQ(copy->entries[0].value, "");
  EXPECT_EQ(copy->entries[2].name, "COUNT");

  auto only = VarTableMerge(first.get(), nullptr, 1);
  EXPECT_EQ(only->entries.size(), 2u);
  auto none = VarTableCopy(nullptr, 3);
  EXPECT_EQ(none->entries.size(), 3u);
}

TEST(VarTable, ForEachSkipsFreeEntriesAndStopsAtBlank) {
  auto t = FormDecode(1, "a=1&b=2&=x", 2);
  t->entries[0] = VarEntry{std::string("HOST"), std::string("h")};
  std::vector<std::string> seen;
  VarTableForEach(t.get(), [&](const VarEntry& e) { seen.push_back(*e.name); });
  EXPECT_EQ(seen, (std::vector<std::string>{"HOST", "a", "b"}));
}

// A first block with a free entry in the middle and a blank tail, and a
// chained block that holds one more variable after a free entry.
VarTablePtr TwoBlocks() {
  auto t = VarTableNew(4);
  t->entries[0] = VarEntry{std::string("a"), std::string("1")};
  t->entries[1] = VarEntry{std::string(), std::string("gone")};
  t->entries[2] = VarEntry{std::string("b"), std::string("2")};
  VarTableExtend(t.get(), 2);
  t->next->entries[1] = VarEntry{std::string("c"), std::string("3")};
  return t;
}

TEST(VarTable, ForEachGoesOnInChainedBlocksUntilTheVisitorStops) {
  const struct {
    size_t stop_after;  // 0: the visitor never stops the walk
    std::vector<std::string> seen;
  } cases[] = {
      {0, {"a", "b", "c"}},
      {1, {"a"}},
      {2, {"a", "b"}},
      {3, {"a", "b", "c"}},
  };
  auto t = TwoBlocks();
  for (const auto& c : cases) {
    std::vector<std::string> seen;
    VarTableForEach(static_cast<const VarTable*>(t.get()), [&](const VarEntry& e) {
      seen.push_back(*e.name);
      return seen.size() != c.stop_after;
    });
    EXPECT_EQ(seen, c.seen) << c.stop_after;
  }
  size_t visited = 0;
  VarTableForEach(static_cast<const VarTable*>(nullptr), [&](const VarEntry&) { ++visited; });
  EXPECT_EQ(visited, 0u);
}

TEST(VarTable, ForEachLetsTheVisitorChangeEntries) {
  auto t = TwoBlocks();
  VarTableForEach(t.get(), [](VarEntry& e) { *e.value += "!"; });
  EXPECT_EQ(VarTableGet(t.get(), "a"), "1!");
  EXPECT_EQ(VarTableGet(t.get(), "c"), "3!");
  EXPECT_EQ(t->entries[1].value, "gone") << "free entries are passed over";
}

}  // namespace
}  // namespace tallypad
