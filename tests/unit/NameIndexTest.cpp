#include <set>
#include <unordered_map>

#include "TestSupport.h"
#include "support/NameIndex.h"
#include "support/NodeArena.h"

using namespace tarsil;

// Names differing from a run of 'a' in one byte (NUL too) make a compare by words look at
// each byte; the table starts small, so it grows many times.
TEST(NameIndexTest, NamesAreToldApartAtEveryLengthAndPositionThroughGrowth) {
  std::vector<std::string> names;
  for (size_t n = 0; n <= 20; ++n) {
    names.push_back(std::string(n, 'a'));
    for (size_t k = 0; k < n; ++k)
      for (char c : {'b', '\0'}) names.push_back(std::string(n, 'a').replace(k, 1, 1, c));
  }
  for (int i = 0; i < 3000; ++i) names.push_back("scn" + std::to_string(i));
  NameIndex<size_t> table;
  for (size_t i = 0; i < names.size(); ++i) EXPECT_TRUE(table.emplace(names[i], i).second) << i;
  auto [entry, added] = table.emplace("scn7", 99);
  EXPECT_FALSE(added);
  EXPECT_EQ(*entry, names.size() - 3000 + 7);
  EXPECT_EQ(table.size(), names.size());
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t* found = table.find(names[i]);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(*found, i);
  }
  EXPECT_EQ(table.find("scn3000"), nullptr);
  EXPECT_EQ(table.find("scn"), nullptr);
  size_t next = 0;
  for (const auto& [name, value] : table) EXPECT_EQ(value, next++);
  EXPECT_EQ(next, names.size());

  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find("scn1"), nullptr);
  EXPECT_TRUE(table.emplace("scn1", 3).second);
  EXPECT_EQ(*table.find("scn1"), 3u);
}

TEST(NameIndexTest, NamesThatShareTheKeptPartOfTheirHashStayApart) {
  // The slots keep 32 bits of each hash: find two names that agree on them.
  std::unordered_map<uint32_t, std::string> seen;
  std::string first, second;
  for (int i = 0; i < 1000000 && second.empty(); ++i) {
    std::string name = "n" + std::to_string(i);
    auto [at, added] = seen.emplace(static_cast<uint32_t>(uint64_t{NameHash{}(name)} >> 32), name);
    if (!added) first = at->second, second = name;
  }
  ASSERT_FALSE(second.empty());
  for (int filler : {0, 1000}) {
    NameIndex<int> table;
    for (int i = 0; i < filler; ++i) table.emplace("f" + std::to_string(i), 0);
    EXPECT_TRUE(table.emplace(first, 1).second);
    EXPECT_TRUE(table.emplace(second, 2).second);
    EXPECT_EQ(*table.find(first), 1);
    EXPECT_EQ(*table.find(second), 2);
  }
}

TEST(NameIndexTest, NamesMadeToShareASlotUnderOneSecretSpreadUnderAnother) {
  // Names crafted against a known hash into one slot must scatter under any other secret
  // (200 names fill about 140 of 256 slots).
  const NameHash known{1};
  auto slot = [](const NameHash& hash, const std::string& name) { return uint64_t{hash(name)} >> 32 & 255; };
  std::vector<std::string> crafted;
  for (int i = 0; crafted.size() < 200; ++i)
    if (slot(known, "s" + std::to_string(i)) == 0) crafted.push_back("s" + std::to_string(i));
  for (uint64_t secret : {uint64_t{2}, uint64_t{0x9E3779B97F4A7C15}, nameHashSeed()}) {
    if (secret == known.seed) continue;
    std::set<uint64_t> slots;
    for (const auto& name : crafted) slots.insert(slot(NameHash{secret}, name));
    EXPECT_GT(slots.size(), 100u) << "secret " << secret;
  }
}

// The sanitizers see any overlap or overrun of the filled blocks.
TEST(NodeArenaTest, BlocksAreAlignedDistinctAndFreedNodesServeAgain) {
  NodeArena arena;
  std::set<uintptr_t> starts;
  for (size_t size : {1, 8, 24, 72, 255, 256, 257, 4000, 300000})
    for (size_t alignment : {1, 8, 16, 64}) {
      void* p = arena.allocate(size, alignment);
      ASSERT_EQ(reinterpret_cast<uintptr_t>(p) % alignment, 0u) << size << " " << alignment;
      std::memset(p, 0x5A, size);
      EXPECT_TRUE(starts.insert(reinterpret_cast<uintptr_t>(p)).second);
    }
  void* node = arena.allocate(72, 8);
  arena.deallocate(node, 72, 8);
  EXPECT_EQ(arena.allocate(72, 8), node);
  // The largest size a caller may name is far past any node: refused, not rounded.
  EXPECT_THROW((void)arena.allocate(static_cast<size_t>(PTRDIFF_MAX), 8), std::bad_alloc);
}
