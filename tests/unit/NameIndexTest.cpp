#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "support/NameIndex.h"

using namespace tarsil;

TEST(NameIndexTest, EveryNameKeepsItsFirstValueThroughGrowth) {
  // The names live in a map, as the link's tables hold them.
  std::map<std::string, int> names;
  for (int i = 0; i < 5000; ++i) names.emplace("scn" + std::to_string(i), i);
  names.emplace("", -1);
  names.emplace("scn1x", -2);  // differs from "scn1" only in length

  NameIndex<int> table;  // starts small, so it grows many times
  for (const auto& [name, value] : names) {
    auto [entry, added] = table.emplace(name, value);
    EXPECT_TRUE(added);
    EXPECT_EQ(*entry, value);
  }
  EXPECT_EQ(table.size(), names.size());

  // A second entry under a name changes nothing.
  auto [entry, added] = table.emplace("scn7", 99);
  EXPECT_FALSE(added);
  EXPECT_EQ(*entry, 7);
  EXPECT_EQ(table.size(), names.size());

  for (const auto& [name, value] : names) {
    const int* found = std::as_const(table).find(name);
    ASSERT_NE(found, nullptr) << name;
    EXPECT_EQ(*found, value);
  }
  EXPECT_EQ(table.find("scn5000"), nullptr);
  EXPECT_EQ(table.find("scn"), nullptr);
  EXPECT_EQ(table.find(std::string("scn1\0", 5)), nullptr);

  // Values are changed in place through what find returns.
  *table.find("scn3") = 33;
  EXPECT_EQ(*table.find("scn3"), 33);
}

TEST(NameIndexTest, NamesAreToldApartAtEveryLengthAndPosition) {
  // Every name of lengths 0 to 20 that differs from a run of 'a' in one
  // byte, so that a compare by words, overlapping tails included, has to
  // look at each byte; a NUL inside a name counts like any other byte.
  std::vector<std::string> names;
  for (size_t n = 0; n <= 20; ++n) {
    names.push_back(std::string(n, 'a'));
    for (size_t k = 0; k < n; ++k) {
      std::string s(n, 'a');
      s[k] = 'b';
      names.push_back(s);
      s[k] = '\0';
      names.push_back(s);
    }
  }
  NameIndex<size_t> table(names.size());
  for (size_t i = 0; i < names.size(); ++i) EXPECT_TRUE(table.emplace(names[i], i).second) << i;
  for (size_t i = 0; i < names.size(); ++i) {
    const size_t* found = table.find(names[i]);
    ASSERT_NE(found, nullptr) << i;
    EXPECT_EQ(*found, i);
  }
  // Entries come back in the order they were made.
  size_t next = 0;
  for (const auto& entry : table) {
    EXPECT_EQ(entry.first, names[next]);
    EXPECT_EQ(entry.second, next);
    ++next;
  }
  EXPECT_EQ(next, names.size());
}

TEST(NameIndexTest, NamesThatShareTheKeptPartOfTheirHashStayApart) {
  // The slots keep 32 bits of each hash: find two names that agree on them
  // (a few hundred thousand names give several such pairs).
  std::unordered_map<uint32_t, std::string> seen;
  std::string first, second;
  for (int i = 0; i < 1000000 && second.empty(); ++i) {
    std::string name = "n" + std::to_string(i);
    const auto tag = static_cast<uint32_t>(uint64_t{NameHash{}(name)} >> 32);
    auto [at, added] = seen.emplace(tag, name);
    if (!added) first = at->second, second = name;
  }
  ASSERT_FALSE(second.empty());
  for (size_t filler : std::initializer_list<size_t>{0, 1000}) {
    NameIndex<int> table;
    std::vector<std::string> others;
    for (size_t i = 0; i < filler; ++i) others.push_back("f" + std::to_string(i));
    for (const auto& name : others) table.emplace(name, 0);
    EXPECT_TRUE(table.emplace(first, 1).second);
    EXPECT_TRUE(table.emplace(second, 2).second);
    EXPECT_EQ(*table.find(first), 1);
    EXPECT_EQ(*table.find(second), 2);
    EXPECT_EQ(table.size(), filler + 2);
  }
}

TEST(NameIndexTest, NamesMadeToShareASlotUnderOneSecretSpreadUnderAnother) {
  // Names picked as a file made against a known hash would pick them: all
  // in the first of 256 slots. Under any other secret they must scatter as
  // any names do (200 names fill about 140 of 256 slots), or such a file
  // would still make every look-up walk all of them.
  const NameHash known{1};
  auto slot = [](const NameHash& hash, const std::string& name) { return uint64_t{hash(name)} >> 32 & 255; };
  std::vector<std::string> crafted;
  for (int i = 0; crafted.size() < 200; ++i) {
    std::string name = "s" + std::to_string(i);
    if (slot(known, name) == 0) crafted.push_back(name);
  }
  for (uint64_t secret : {uint64_t{2}, uint64_t{0x9E3779B97F4A7C15}, nameHashSeed()}) {
    if (secret == known.seed) continue;
    std::set<uint64_t> slots;
    for (const auto& name : crafted) slots.insert(slot(NameHash{secret}, name));
    EXPECT_GT(slots.size(), 100u) << "secret " << secret;
  }
}

TEST(NameIndexTest, ClearingGivesTheTableBackEmptyAndUsable) {
  const std::string a = "alpha", b = "beta_is_a_longer_name";
  NameIndex<int> table(100);
  table.emplace(a, 1);
  table.emplace(b, 2);
  table.clear();
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.find(a), nullptr);
  EXPECT_TRUE(table.begin() == table.end());
  EXPECT_TRUE(table.emplace(b, 3).second);
  EXPECT_EQ(*table.find(b), 3);
  EXPECT_EQ(table.find(a), nullptr);
}
