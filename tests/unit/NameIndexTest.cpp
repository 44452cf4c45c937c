#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

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
