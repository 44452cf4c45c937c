#include <list>
#include <tuple>

#include "TestSupport.h"
#include "memory/Memory.h"

using namespace tarsil;

namespace {

Memory memory(uint32_t start, uint32_t end, uint16_t width, const std::string& fill = "") {
  Memory m("m", start, end, width == 8 ? ram : rom, false, !fill.empty(), fill);
  m.setRangeWidths(width);
  return m;
}

// Holes as (start, locations), in list order.
using Holes = std::vector<std::pair<uint32_t, uint32_t>>;
Holes holes(const Memory& m) {
  Holes out;
  for (const auto& h : m.getHoles()) out.emplace_back(h.getStart(), h.getEnd() - h.getStart() + 1);
  return out;
}

const auto one = static_cast<unsigned short>(1);

}  // namespace

TEST(Memory, placementCountsBytesButCarvesWholeLocations) {
  Memory m = memory(0, 0xFF, 14);
  EXPECT_EQ(m.size(), 0x100u);
  EXPECT_EQ(m.largestHole(), 0x200u);  // bytes, two per 14-bit word
  m.allocateSection(".code", 6, false, 1);
  m.allocateSection(".odd", 3, false, 1);
  EXPECT_EQ(m.getAllocatedStart(".odd"), 3u);
  EXPECT_EQ(holes(m), (Holes{{5, 0xFB}}));

  // Skipped locations stay free; a skip longer than the hole must not wrap.
  EXPECT_FALSE(Range(1, 5, rom, 8).canFit(5, static_cast<unsigned short>(2)));
  EXPECT_FALSE(Range(1, 2, ram, 8).canFit(1, static_cast<unsigned short>(8)));
  EXPECT_FALSE(Range(7, 0, ram, 8).canFit(1, one));
  EXPECT_TRUE(Range(7, 0, ram, 8).canFit(0, one));
  Memory a = memory(0, 0x1F, 8);
  a.allocateAbsSection("a", 0, 1, false);
  a.allocateSection("b", 4, false, 2);
  EXPECT_EQ(a.getAllocatedStart("b"), 2u);
  EXPECT_EQ(holes(a), (Holes{{1, 1}, {6, 0x1A}}));
}

TEST(Memory, absoluteFitIsExactAndDoesNotWrap) {
  Memory m = memory(0xFFFFFF00u, 0xFFFFFFFFu, 8);
  EXPECT_TRUE(m.canFit(uint64_t{0xFFFFFFF0}, uint64_t{0x10}));
  EXPECT_FALSE(m.canFit(uint64_t{0xFFFFFFF0}, uint64_t{0x11}));
  EXPECT_FALSE(m.canFit(uint64_t{0xFFFFFEFF}, uint64_t{1}));
  EXPECT_FALSE(m.canFit(uint64_t{0x100000000}, uint64_t{1}));
  m.allocateAbsSection("abs", 0xFFFFFFF0u, 0x10, false);
  EXPECT_EQ(holes(m), (Holes{{0xFFFFFF00u, 0xF0}}));
  // In a two-byte memory the end is measured in words.
  Memory p = memory(0x100, 0x1FF, 14);
  EXPECT_TRUE(p.canFit(uint64_t{0x1F0}, uint64_t{0x20}));
  EXPECT_FALSE(p.canFit(uint64_t{0x1F0}, uint64_t{0x21}));
}

TEST(Memory, emptySectionsConsumeNothing) {
  Memory m = memory(0x10, 0x8F, 8);
  m.allocateSection("empty", 0, false, 2);
  EXPECT_EQ(m.getAllocatedStart("empty"), 0x10u);
  EXPECT_EQ(m.getAllocatedSize("empty"), 0u);
  m.loadSection("a.o", "empty", 0);
  EXPECT_TRUE(m.findAllocated("empty")->loadComplete());
  // An empty absolute section starts where it asks to, inside the hole.
  m.allocateAbsSection("emptyAbs", 0x40, 0, false);
  EXPECT_EQ(m.getAllocatedStart("emptyAbs"), 0x40u);
  EXPECT_EQ(holes(m), (Holes{{0x10, 0x80}}));

  // Once every location is used an empty section still gets its range.
  m.allocateSection("all", 0x80, false, 1);
  EXPECT_EQ(m.largestHole(), 0u);
  m.allocateSection("late", 0, false, 1);
  m.allocateAbsSection("lateAbs", 0x40, 0, false);
  EXPECT_EQ(m.getAllocatedSize("late"), 0u);
  EXPECT_EQ(m.getAllocatedStart("lateAbs"), 0x40u);
}

TEST(Memory, piecesFollowEachOtherOrShareAnOverlay) {
  Memory bytes = memory(0x20, 0x7F, 8);
  bytes.allocateSection("s", 6, false, 1);
  bytes.loadSection("a.o", "s", 3);
  bytes.loadSection("b.o", "s", 2);
  EXPECT_FALSE(bytes.findAllocated("s")->loadComplete());
  bytes.loadSection("c.o", "s", 1);
  EXPECT_TRUE(bytes.findAllocated("s")->loadComplete());
  EXPECT_EQ(bytes.getLoadedStart("b.o", "s"), 0x23u);
  EXPECT_EQ(bytes.getLoadedStart("c.o", "s"), 0x25u);
  EXPECT_EQ(bytes.findAllocated("s")->getLoaded(), (std::list<std::string>{"a.o", "b.o", "c.o"}));
  bytes.allocateSection("ovl", 8, true, 1);
  bytes.loadSection("a.o", "ovl", 8);
  bytes.loadSection("b.o", "ovl", 4);
  EXPECT_EQ(bytes.getLoadedStart("b.o", "ovl"), bytes.getAllocatedStart("ovl"));
  EXPECT_FALSE(bytes.findAllocated("ovl")->loadComplete());

  Memory words = memory(0x100, 0x1FF, 14);
  words.allocateSection("code", 5, false, 1);
  words.loadSection("a.o", "code", 3);
  words.loadSection("b.o", "code", 2);
  EXPECT_EQ(words.getLoadedStart("b.o", "code"), 0x102u);
  EXPECT_TRUE(words.findAllocated("code")->loadComplete());
  words.allocateAbsSection("abs", 0x140, 6, false);
  words.loadAbsSection("a.o", "abs", 0x140, 5);  // 5 bytes still fill 3 words
  EXPECT_TRUE(words.findAllocated("abs")->loadComplete());
  EXPECT_EQ(words.findAllocated("abs")->getPc(), 0x143u);
  words.allocateAbsSection("absOvl", 0x180, 8, true);
  words.loadAbsSection("a.o", "absOvl", 0x180, 2);
  words.loadAbsSection("b.o", "absOvl", 0x180, 8);
  EXPECT_EQ(words.getLoadedSize("a.o", "absOvl"), 8u);
  EXPECT_FALSE(words.findAllocated("absOvl")->loadComplete());
}

TEST(Memory, activationRecordGroupsShareOneRange) {
  Memory m = memory(0x20, 0x7F, 8);
  m.allocateAbsSection("fixed", 0x20, 0x10, false);
  m.allocateActRecs(ActRecOffsets{{"f", 0}, {"g", 0}, {"main", 6}}, 10);
  EXPECT_EQ(m.getAllocatedStart("g"), 0x30u);
  EXPECT_EQ(m.getAllocatedStart("main"), 0x36u);
  EXPECT_EQ(holes(m), (Holes{{0x3A, 0x46}}));
  // Every record loads into its own copy of the group.
  m.loadSection("a.o", "main", 4);
  m.loadSection("a.o", "f", 6);
  EXPECT_EQ(m.getLoadedStart("a.o", "main"), 0x36u);
  EXPECT_EQ(m.getLoadedStart("a.o", "f"), 0x30u);
}

TEST(Memory, fillHolesVisitsEveryHoleOfAFilledMemoryEvenAtTheBounds) {
  using Call = std::tuple<uint64_t, uint64_t, std::string>;
  std::vector<Call> calls;
  auto record = [](void* context, const std::string&, uint64_t start, uint64_t end, const std::string& fill) {
    static_cast<std::vector<Call>*>(context)->emplace_back(start, end, fill);
  };
  Memory filled = memory(0, 0x7F, 14, "0x1234");
  filled.allocateAbsSection("a", 0x10, 4, false);
  filled.fillHoles(record, &calls);
  EXPECT_EQ(calls, (std::vector<Call>{{0, 0xF, "0x1234"}, {0x12, 0x7F, "0x1234"}}));
  calls.clear();
  memory(0, 0x7F, 14).fillHoles(record, &calls);
  memory(0x10, 0x0F, 8, "0").fillHoles(record, &calls);  // reversed bounds: no memory at all
  EXPECT_TRUE(calls.empty());

  // All 2^32 locations are free, the last one too.
  Memory all = memory(0, 0xFFFFFFFFu, 16, "0");
  all.fillHoles(record, &calls);
  EXPECT_EQ(all.size(), uint64_t{1} << 32);
  EXPECT_EQ(calls, (std::vector<Call>{{0, uint64_t{0xFFFFFFFF}, "0"}}));
  ASSERT_TRUE(all.canFit(uint64_t{0xFFFFFFFE}, uint64_t{4}));
  all.allocateAbsSection("top", 0xFFFFFFFEu, 4, false);
  EXPECT_EQ(all.largestHole(), 2 * uint64_t{0xFFFFFFFE});
}

// Past a few pieces files, and past a chunk of ranges names, go through an
// index; a copy must answer from its own ranges, not the original's.
TEST(Memory, indexedNamesAndFilesFindTheirOwnRanges) {
  Memory m = memory(0, 0xFFFF, 8);
  m.allocateSection("shared", 40, false, 1);
  const Range* first = m.findAllocated("shared");
  auto file = [](int i) { return "lib.lib(member" + std::to_string(i) + ".o)"; };
  for (int i = 0; i < 20; ++i) {
    ASSERT_FALSE(m.isLoaded(file(i), "shared"));
    m.loadSection(file(i), "shared", 2);
  }
  for (int i = 0; i < 20; ++i) EXPECT_EQ(m.getLoadedStart(file(i), "shared"), static_cast<uint32_t>(2 * i));
  EXPECT_FALSE(m.isLoaded(file(20), "shared"));

  for (int i = 0; i < 1200; ++i) m.allocateSection("s" + std::to_string(i), 1 + i % 3, false, 1);
  m.allocateActRecs(ActRecOffsets{{"r1", 0}, {"r2", 4}}, 8);
  EXPECT_EQ(m.findAllocated("shared"), first);
  EXPECT_EQ(m.allocatedCount(), 1203u);
  uint32_t next = 40;
  for (int i = 0; i < 1200; ++i) {
    ASSERT_EQ(m.getAllocatedStart("s" + std::to_string(i)), next) << i;
    next += 1 + i % 3;
  }
  EXPECT_EQ(m.getAllocatedStart("r2"), m.getAllocatedStart("r1") + 4);
  EXPECT_FALSE(m.isAllocated("s1200"));
  size_t seen = 0;
  m.forEachAllocated([&](std::string_view name, const Range& range) {
    EXPECT_EQ(m.findAllocated(std::string(name)), &range);
    ++seen;
  });
  EXPECT_EQ(seen, 1203u);

  Memory copy = m;
  copy.loadSection("late.o", "shared", 0);
  copy.allocateSection("late", 1, false, 1);
  EXPECT_TRUE(copy.isLoaded("late.o", "shared"));
  EXPECT_FALSE(m.isLoaded("late.o", "shared"));
  EXPECT_TRUE(copy.isAllocated("late"));
  EXPECT_FALSE(m.isAllocated("late"));
}
