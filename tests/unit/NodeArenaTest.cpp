#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory_resource>
#include <set>
#include <string>

#include "support/NodeArena.h"

using namespace tarsil;

// Sizes around the free lists' limit and alignments beyond the grain; the
// sanitizers see any overlap or overrun of the filled blocks.
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
  // A node given back is the next one of its size.
  void* node = arena.allocate(72, 8);
  arena.deallocate(node, 72, 8);
  EXPECT_EQ(arena.allocate(72, 8), node);
  // The largest size a caller may name is far past any node: refused, not rounded.
  EXPECT_THROW((void)arena.allocate(static_cast<size_t>(PTRDIFF_MAX), 8), std::bad_alloc);
}

TEST(NodeArenaTest, MapsRefilledOverAndOverDoNotGrowTheArena) {
  NodeArena arena;
  std::pmr::map<std::string, bool> flags{&arena};
  std::pmr::map<std::string, bool> copy{&arena};
  auto fill = [&flags] {
    for (int i = 0; i < 2000; ++i) flags.emplace("section_" + std::to_string(i), i % 2 == 0);
  };
  fill();
  copy = flags;
  const size_t reserved = arena.reserved();
  for (int round = 0; round < 5; ++round) {
    flags.clear();
    copy.clear();
    fill();
    copy = flags;
  }
  EXPECT_EQ(arena.reserved(), reserved);
  EXPECT_EQ(copy.size(), 2000u);
  EXPECT_TRUE(copy.at("section_10"));
  EXPECT_FALSE(copy.at("section_11"));
}

TEST(NodeArenaTest, AnExpectedFillTakesOneBlockAndLaterOnesStartSmall) {
  NodeArena arena;
  arena.expect(1000 * 72);
  for (int i = 0; i < 1000; ++i) ASSERT_NE(arena.allocate(72, 8), nullptr);
  EXPECT_EQ(arena.reserved(), 1000u * 72);
  EXPECT_NE(arena.allocate(72, 8), nullptr);
  EXPECT_LE(arena.reserved(), 1000u * 72 + 8192);
}
