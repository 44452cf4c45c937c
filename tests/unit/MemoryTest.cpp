#include <gtest/gtest.h>

#include <algorithm>
#include <list>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "memory/Memory.h"

using namespace tarsil;

namespace {

Memory codePage(uint32_t start, uint32_t end, uint16_t width = 14) {
  Memory m("page", start, end, rom, false, false, "");
  m.setRangeWidths(width);
  return m;
}

Memory dataBank(const std::string& name, uint32_t start, uint32_t end) {
  Memory m(name, start, end, ram, false, false, "");
  m.setRangeWidths(8);
  return m;
}

// Holes as (start, locations), in list order.
std::vector<std::pair<uint32_t, uint32_t>> holes(const Memory& m) {
  std::vector<std::pair<uint32_t, uint32_t>> out;
  for (const auto& h : m.getHoles()) out.emplace_back(h.getStart(), h.getEnd() - h.getStart() + 1);
  return out;
}

using Holes = std::vector<std::pair<uint32_t, uint32_t>>;

}  // namespace

TEST(Memory, placementCountsBytesButCarvesLocations) {
  Memory m = codePage(0, 0xFF);
  EXPECT_EQ(m.size(), 0x100u);
  EXPECT_EQ(m.largestHole(), 0x200u);  // bytes, two per 14-bit word
  m.allocateSection(".code", 6, false, 1);
  EXPECT_EQ(m.getAllocatedStart(".code"), 0u);
  EXPECT_EQ(m.getAllocatedSize(".code"), 6u);
  EXPECT_EQ(holes(m), (Holes{{3, 0xFD}}));

  // An odd byte count still takes a whole word.
  m.allocateSection(".odd", 3, false, 1);
  EXPECT_EQ(m.getAllocatedStart(".odd"), 3u);
  EXPECT_EQ(m.getAllocatedSize(".odd"), 4u);
  EXPECT_EQ(holes(m), (Holes{{5, 0xFB}}));
}

TEST(Memory, alignmentSkipsLocationsBeforeTheHole) {
  EXPECT_FALSE(Range(1, 5, rom, 8).canFit(5, static_cast<unsigned short>(2)));
  EXPECT_TRUE(Range(1, 5, rom, 8).canFit(4, static_cast<unsigned short>(2)));
  EXPECT_TRUE(Range(2, 5, rom, 8).canFit(5, static_cast<unsigned short>(2)));
  // A skip longer than the hole leaves nothing, instead of wrapping around.
  EXPECT_FALSE(Range(1, 2, ram, 8).canFit(1, static_cast<unsigned short>(8)));
  EXPECT_FALSE(Range(7, 0, ram, 8).canFit(1, static_cast<unsigned short>(1)));
  EXPECT_TRUE(Range(7, 0, ram, 8).canFit(0, static_cast<unsigned short>(1)));

  Memory m = codePage(0, 0x1F, 8);
  m.allocateAbsSection("a", 0, 1, false);
  m.allocateSection("b", 4, false, 2);
  EXPECT_EQ(m.getAllocatedStart("b"), 2u);
  // The skipped location stays free, before the leftover of the hole.
  EXPECT_EQ(holes(m), (Holes{{1, 1}, {6, 0x1A}}));
}

TEST(Memory, bestFitTakesTheSmallestHoleAndTheEarlierOfEqualOnes) {
  Memory m = dataBank("bank", 0, 0x1F);
  // Leaves holes of 4 (at 0x1C), 10 (at 0x11), 4 (at 0) and 11 (at 5), in
  // that list order: the first 4-byte hole is the one higher in memory.
  m.allocateAbsSection("x", 0x10, 1, false);
  m.allocateAbsSection("y", 0x1B, 1, false);
  m.allocateAbsSection("z", 0x04, 1, false);
  EXPECT_EQ(holes(m), (Holes{{0x1C, 4}, {0x11, 10}, {0, 4}, {5, 11}}));

  m.allocateSection("three", 3, false, 1);
  EXPECT_EQ(m.getAllocatedStart("three"), 0x1Cu);
  m.allocateSection("five", 5, false, 1);
  EXPECT_EQ(m.getAllocatedStart("five"), 0x11u);
  EXPECT_EQ(m.largestHole(), 11u);
  EXPECT_FALSE(m.canFit(12, static_cast<unsigned short>(1)));
  EXPECT_TRUE(m.canFit(11, static_cast<unsigned short>(1)));
}

TEST(Memory, absoluteFitIsExactAndDoesNotWrap) {
  Memory m = dataBank("top", 0xFFFFFF00u, 0xFFFFFFFFu);
  EXPECT_TRUE(m.canFit(0xFFFFFFF0ul, 0x10ul));
  EXPECT_FALSE(m.canFit(0xFFFFFFF0ul, 0x11ul));
  EXPECT_FALSE(m.canFit(0xFFFFFEFFul, 1ul));
  EXPECT_FALSE(m.canFit(0x100000000ul, 1ul));
  m.allocateAbsSection("abs", 0xFFFFFFF0u, 0x10, false);
  EXPECT_EQ(holes(m), (Holes{{0xFFFFFF00u, 0xF0}}));
  EXPECT_FALSE(m.canFit(0xFFFFFFF8ul, 1ul));

  // In a two-byte memory the end is measured in words.
  Memory p = codePage(0x100, 0x1FF);
  EXPECT_TRUE(p.canFit(0x1F0ul, 0x20ul));
  EXPECT_FALSE(p.canFit(0x1F0ul, 0x21ul));
}

TEST(Memory, emptySectionsConsumeNothing) {
  Memory m = codePage(0x10, 0x8F, 8);
  m.allocateSection("empty", 0, false, 2);
  EXPECT_EQ(m.getAllocatedStart("empty"), 0x10u);
  EXPECT_EQ(m.getAllocatedSize("empty"), 0u);
  EXPECT_EQ(holes(m), (Holes{{0x10, 0x80}}));
  m.loadSection("a.o", "empty", 0);
  EXPECT_TRUE(m.findAllocated("empty")->loadComplete());

  m.allocateSection("ovl", 0, true, 1);
  m.loadSection("a.o", "ovl", 0);
  m.loadSection("b.o", "ovl", 0);
  EXPECT_FALSE(m.findAllocated("ovl")->loadComplete());

  // Once every location is used an empty section still gets its range.
  m.allocateSection("all", 0x80, false, 1);
  EXPECT_TRUE(m.getHoles().empty());
  EXPECT_EQ(m.largestHole(), 0u);
  m.allocateSection("late", 0, false, 1);
  m.allocateAbsSection("lateAbs", 0x40, 0, false);
  EXPECT_EQ(m.getAllocatedSize("late"), 0u);
  EXPECT_EQ(m.getAllocatedStart("lateAbs"), 0x40u);
  m.loadAbsSection("a.o", "lateAbs", 0x40, 0);
  EXPECT_EQ(m.getLoadedSize("a.o", "lateAbs"), 0u);
}

TEST(Memory, relocatablePiecesFollowEachOtherInWholeLocations) {
  Memory bytes = dataBank("bank", 0x20, 0x7F);
  bytes.allocateSection("s", 6, false, 1);
  bytes.loadSection("a.o", "s", 3);
  bytes.loadSection("b.o", "s", 2);
  EXPECT_FALSE(bytes.findAllocated("s")->loadComplete());
  bytes.loadSection("c.o", "s", 1);
  EXPECT_TRUE(bytes.findAllocated("s")->loadComplete());
  EXPECT_EQ(bytes.getLoadedStart("a.o", "s"), 0x20u);
  EXPECT_EQ(bytes.getLoadedStart("b.o", "s"), 0x23u);
  EXPECT_EQ(bytes.getLoadedStart("c.o", "s"), 0x25u);
  EXPECT_EQ(bytes.getLoadedSize("b.o", "s"), 2u);
  EXPECT_EQ(bytes.findAllocated("s")->getLoaded(), (std::list<std::string>{"a.o", "b.o", "c.o"}));

  Memory words = codePage(0x100, 0x1FF);
  words.allocateSection("code", 5, false, 1);
  words.loadSection("a.o", "code", 3);
  words.loadSection("b.o", "code", 2);
  EXPECT_EQ(words.getLoadedStart("a.o", "code"), 0x100u);
  EXPECT_EQ(words.getLoadedStart("b.o", "code"), 0x102u);
  EXPECT_EQ(words.getLoadedSize("a.o", "code"), 3u);
  EXPECT_TRUE(words.findAllocated("code")->loadComplete());
  EXPECT_TRUE(words.isLoaded("b.o", "code"));
  EXPECT_FALSE(words.isLoaded("c.o", "code"));
  EXPECT_FALSE(words.isLoaded("a.o", "nothing"));
}

TEST(Memory, overlayAndAbsolutePieces) {
  Memory m = dataBank("bank", 0, 0xFF);
  m.allocateSection("ovl", 8, true, 1);
  m.loadSection("a.o", "ovl", 8);
  m.loadSection("b.o", "ovl", 4);
  EXPECT_EQ(m.getLoadedStart("a.o", "ovl"), m.getAllocatedStart("ovl"));
  EXPECT_EQ(m.getLoadedStart("b.o", "ovl"), m.getAllocatedStart("ovl"));
  EXPECT_FALSE(m.findAllocated("ovl")->loadComplete());

  Memory p = codePage(0, 0xFF);
  p.allocateAbsSection("abs", 0x40, 6, false);
  p.loadAbsSection("a.o", "abs", 0x40, 5);  // 5 bytes still fill 3 words
  EXPECT_EQ(p.getLoadedStart("a.o", "abs"), 0x40u);
  EXPECT_EQ(p.getLoadedSize("a.o", "abs"), 6u);
  EXPECT_TRUE(p.findAllocated("abs")->loadComplete());
  EXPECT_EQ(p.findAllocated("abs")->getPc(), 0x43u);

  p.allocateAbsSection("absOvl", 0x80, 8, true);
  p.loadAbsSection("a.o", "absOvl", 0x80, 2);
  p.loadAbsSection("b.o", "absOvl", 0x80, 8);
  EXPECT_EQ(p.getLoadedSize("a.o", "absOvl"), 8u);
  EXPECT_FALSE(p.findAllocated("absOvl")->loadComplete());
  EXPECT_EQ(holes(p), (Holes{{0, 0x40}, {0x43, 0x3D}, {0x84, 0x7C}}));
}

TEST(Memory, activationRecordGroupsShareOneRange) {
  Memory m = dataBank("bank", 0x20, 0x7F);
  m.allocateAbsSection("fixed", 0x20, 0x10, false);
  m.allocateActRecs(ActRecOffsets{{"f", 0}, {"g", 0}, {"main", 6}}, 10);
  ASSERT_TRUE(m.isAllocated("f"));
  EXPECT_EQ(m.getAllocatedStart("f"), 0x30u);
  EXPECT_EQ(m.getAllocatedStart("g"), 0x30u);
  EXPECT_EQ(m.getAllocatedStart("main"), 0x36u);
  EXPECT_EQ(m.getAllocatedSize("main"), 10u);
  EXPECT_EQ(holes(m), (Holes{{0x3A, 0x46}}));

  // Every record loads into its own copy of the group.
  m.loadSection("a.o", "main", 4);
  m.loadSection("a.o", "f", 6);
  EXPECT_EQ(m.getLoadedStart("a.o", "main"), 0x36u);
  EXPECT_EQ(m.getLoadedStart("a.o", "f"), 0x30u);
  EXPECT_EQ(m.getLoadedSize("a.o", "main"), 4u);
}

TEST(Memory, fillHolesVisitsEveryHoleOnlyWithAFill) {
  using Call = std::tuple<std::string, unsigned long, unsigned long, std::string>;
  std::vector<Call> calls;
  auto record = [](void* context, const std::string& memory, unsigned long start, unsigned long end,
                   const std::string& fill) {
    static_cast<std::vector<Call>*>(context)->emplace_back(memory, start, end, fill);
  };

  Memory filled("page0", 0, 0x7F, rom, false, true, "0x1234");
  filled.setRangeWidths(14);
  filled.allocateAbsSection("a", 0x10, 4, false);
  filled.fillHoles(record, &calls);
  EXPECT_EQ(calls, (std::vector<Call>{{"page0", 0, 0xF, "0x1234"}, {"page0", 0x12, 0x7F, "0x1234"}}));

  calls.clear();
  Memory plain = codePage(0, 0x7F);
  plain.fillHoles(record, &calls);
  EXPECT_TRUE(calls.empty());
}

TEST(Memory, degenerateBoundsGiveUsableMemories) {
  std::vector<std::pair<unsigned long, unsigned long>> calls;
  auto record = [](void* context, const std::string&, unsigned long start, unsigned long end, const std::string&) {
    static_cast<std::vector<std::pair<unsigned long, unsigned long>>*>(context)->emplace_back(start, end);
  };
  Memory all("all", 0, 0xFFFFFFFFu, rom, false, true, "0");
  all.setRangeWidths(16);
  all.fillHoles(record, &calls);
  // All 2^32 locations are free, the last one too.
  EXPECT_EQ(all.size(), uint64_t{1} << 32);
  EXPECT_EQ(calls, (std::vector<std::pair<unsigned long, unsigned long>>{{0, 0xFFFFFFFFul}}));
  ASSERT_TRUE(all.canFit(0xFFFFFFFEul, 4ul));
  all.allocateAbsSection("top", 0xFFFFFFFEu, 4, false);
  EXPECT_EQ(all.getAllocatedSize("top"), 4u);
  EXPECT_EQ(all.largestHole(), 2 * 0xFFFFFFFEul);

  calls.clear();
  Memory reversed("rev", 0x10, 0x0F, ram, false, true, "0");
  reversed.setRangeWidths(8);
  reversed.fillHoles(record, &calls);
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(reversed.canFit(1, static_cast<unsigned short>(1)));
  reversed.allocateSection("empty", 0, false, 1);
  EXPECT_EQ(reversed.getAllocatedSize("empty"), 0u);
}

TEST(Memory, memsizeOrdersBySizeOnly) {
  Memory a = dataBank("a", 0, 1), b = dataBank("b", 0, 1), c = dataBank("c", 0, 1);
  std::vector<MemorySize> v{{&a, 0x100}, {&b, 0x80}, {&c, 0x100}, {nullptr, 0xFFFFFFFFul}};
  std::stable_sort(v.begin(), v.end(), memsize_less);
  EXPECT_EQ(v, (std::vector<MemorySize>{{&b, 0x80}, {&a, 0x100}, {&c, 0x100}, {nullptr, 0xFFFFFFFFul}}));
  std::stable_sort(v.begin(), v.end(), memsize_greater);
  EXPECT_EQ(v, (std::vector<MemorySize>{{nullptr, 0xFFFFFFFFul}, {&a, 0x100}, {&c, 0x100}, {&b, 0x80}}));
}

TEST(Memory, overlapIsInclusive) {
  Memory a = dataBank("a", 0x20, 0x7F);
  EXPECT_TRUE(a.overlap(dataBank("b", 0x7F, 0x80)));
  EXPECT_FALSE(a.overlap(dataBank("c", 0x80, 0xFF)));
  EXPECT_TRUE(a.overlap(dataBank("d", 0, 0x1000)));
}

TEST(MemoryListing, displayColumnsAndOrder) {
  std::ostringstream empty;
  dataBank("gpr0", 0x20, 0x7F).display(empty, true);
  EXPECT_EQ(empty.str(),
            "    Memory      Start        End              Section    Address Size(Bytes)\n"
            " ---------  ---------  ---------            ---------  ---------  ---------\n"
            "      gpr0     0x0020     0x007f                                           \n");

  Memory m = codePage(0x10000, 0x10FFF);
  m.allocateSection(".late", 4, false, 1);
  m.allocateAbsSection(".early", 0x10000 + 0x800, 0x20, false);
  m.allocateAbsSection(".a0", 0x10000, 0, false);
  std::ostringstream out;
  m.display(out, false);
  // Numbers above 0xFFFF keep every digit; equal starts keep name order.
  EXPECT_EQ(out.str(),
            "      page    0x10000    0x10fff                  .a0    0x10000     0x0000\n"
            "                                                .late    0x10000     0x0004\n"
            "                                               .early    0x10800     0x0020\n");

  Memory r = dataBank("bank1", 0xA0, 0xEF);
  r.allocateActRecs(ActRecOffsets{{"_f_act", 0}, {"_g_act", 2}}, 6);
  r.allocateSection("a_really_long_section_name", 1, false, 1);
  std::ostringstream recs;
  r.display(recs, false);
  EXPECT_EQ(recs.str(),
            "     bank1     0x00a0     0x00ef               _f_act     0x00a0     0x0006\n"
            "                                               _g_act     0x00a0     0x0006\n"
            "                                 a_really_long_section_name     0x00a6     0x0001\n");
}

TEST(MemoryListing, debugDump) {
  Memory m("page1", 0x800, 0xFFF, rom, true, true, "0xABCD");
  m.setRangeWidths(14);
  m.allocateSection(".code", 6, false, 1);
  m.loadSection("x.o", ".code", 6);
  Memory r = dataBank("bank0", 0x20, 0x7F);
  r.allocateActRecs(ActRecOffsets{{"f", 0}, {"g", 4}}, 8);
  std::ostringstream out;
  m.print(out);
  r.print(out);
  EXPECT_EQ(out.str(),
            "Memory: name=page1 start=0x00000800 end=0x00000fff type=rom protected=1 hasFill=1 fill=0xABCD\n"
            "---Allocated Ranges---\n"
            "\n"
            "          Range:   allocName=.code start=0x00000800 size=0x00000006 end=0x00000802 type=rom "
            "pc=0x00000803 isOverlay=0\n"
            "          Loaded Section: file=x.o start=0x00000800 size=0x00000006\n"
            "---Unallocated Ranges---\n"
            "\n"
            "          Range:   allocName= start=0x00000803 size=0x00000ffa end=0x00000fff type=rom "
            "pc=0x00000803 isOverlay=0\n"
            "Memory: name=bank0 start=0x00000020 end=0x0000007f type=ram protected=0 hasFill=0 fill=\n"
            "---Allocated Ranges---\n"
            "\n"
            "          Range:    actRecs=f, g end=0x00000027 type=ram pc=0x00000020 isOverlay=0\n"
            "          Range:    actRecs=f, g end=0x00000027 type=ram pc=0x00000020 isOverlay=0\n"
            "---Unallocated Ranges---\n"
            "\n"
            "          Range:   allocName= start=0x00000028 size=0x00000058 end=0x0000007f type=ram "
            "pc=0x00000028 isOverlay=0\n");

  // Before the widths are known the dump still works.
  std::ostringstream early;
  Memory("bank9", 0, 0xF, ram, false, false, "").print(early);
  EXPECT_NE(early.str().find("size=0x00000000 end=0x0000000f"), std::string::npos);
}

using MemoryDeathTest = ::testing::Test;

TEST(MemoryDeathTest, brokenCallerContractsStopTheLink) {
  Memory m = dataBank("bank", 0, 0xF);
  m.allocateSection("s", 4, false, 1);
  m.loadSection("a.o", "s", 2);
  EXPECT_DEATH(m.allocateSection("s", 1, false, 1), "!isAllocated \\(secName\\)");
  EXPECT_DEATH(m.allocateSection("big", 13, false, 1), "canFit \\(length, alignment\\)");
  EXPECT_DEATH(m.allocateAbsSection("abs", 2, 1, false), "canFit \\(start, length\\)");
  EXPECT_DEATH(m.loadSection("a.o", "s", 2), "!isLoaded \\(file, secName\\)");
  EXPECT_DEATH(m.loadSection("b.o", "s", 3), "newPc <= \\(getEnd \\(\\) \\+ 1\\)");
  EXPECT_DEATH(m.getLoadedStart("b.o", "s"), "isLoaded \\(file, secName\\)");
  EXPECT_DEATH(m.getAllocatedStart("t"), "isAllocated \\(secName\\)");
  EXPECT_DEATH(m.allocateActRecs(ActRecOffsets{{"r", 0}}, 13), "canFit \\(length, \\(unsigned short\\)1\\)");
  EXPECT_DEATH(Memory("raw", 0, 3, ram, false, false, "").largestHole(), "cWidthBits");

  m.allocateAbsSection("abs", 8, 4, false);
  EXPECT_DEATH(m.loadAbsSection("a.o", "abs", 9, 4), "start == cStart");
  EXPECT_DEATH(m.loadAbsSection("a.o", "abs", 8, 2), "locs \\(length\\) == cSize");
  m.loadAbsSection("a.o", "abs", 8, 4);
  EXPECT_DEATH(m.loadAbsSection("b.o", "abs", 8, 4), "!loadComplete \\(\\)");
}

namespace {

// The holes of a memory kept the plain way: a list sorted before every
// placement and scanned for the first hole that fits. The indexed memory
// must choose exactly as this does, and keep its holes in the same order.
class PlainHoles {
public:
  PlainHoles(uint32_t start, uint32_t end, uint16_t width) { cHoles.emplace_back(start, end - start + 1, rom, width); }

  bool canFit(unsigned long length, unsigned short alignment) const {
    if (length == 0) return true;
    return std::any_of(cHoles.begin(), cHoles.end(), [&](const Range& h) { return h.canFit(length, alignment); });
  }
  bool canFit(unsigned long start, unsigned long length) const {
    if (length == 0) return true;
    return std::any_of(cHoles.begin(), cHoles.end(), [&](const Range& h) { return h.canFit(start, length); });
  }
  // Start of the placed range, or -1 for an empty one that no hole backs.
  long place(unsigned long length, unsigned short alignment) {
    sort();
    auto hole = std::find_if(cHoles.begin(), cHoles.end(), [&](const Range& h) { return h.canFit(length, alignment); });
    if (hole == cHoles.end()) return -1;
    unsigned long start = hole->getStart();
    if (alignment > 1 && start % alignment != 0) start += alignment - start % alignment;
    carve(hole, start, length);
    return static_cast<long>(start);
  }
  void placeAt(unsigned long start, unsigned long length) {
    sort();
    auto hole = std::find_if(cHoles.begin(), cHoles.end(), [&](const Range& h) { return h.canFit(start, length); });
    if (hole != cHoles.end()) carve(hole, start, length);
  }
  Holes holes() const {
    Holes out;
    for (const auto& h : cHoles) out.emplace_back(h.getStart(), h.getEnd() - h.getStart() + 1);
    return out;
  }
  const std::list<Range>& list() const { return cHoles; }

private:
  void sort() { cHoles.sort([](const Range& a, const Range& b) { return a.size() < b.size(); }); }
  void carve(std::list<Range>::iterator hole, unsigned long start, unsigned long length) {
    std::list<Range> left;
    hole->allocate("x", start, length, left, false);
    cHoles.erase(hole);
    cHoles.splice(cHoles.end(), left);
  }
  std::list<Range> cHoles;
};

}  // namespace

TEST(MemoryPlacement, indexedChoiceMatchesThePlainScan) {
  for (uint32_t seed = 1; seed <= 60; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 rng(seed);
    auto pick = [&](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
    const uint16_t width = seed % 3 == 0 ? 16 : 8;  // two bytes or one per location
    const uint32_t base = pick(3);
    const uint32_t end = base + 200 + pick(400);
    Memory m("page", base, end, rom, false, false, "");
    m.setRangeWidths(width);
    PlainHoles plain(base, end, width);
    for (int step = 0; step < 300; ++step) {
      const std::string name = "s" + std::to_string(step);
      // Mostly small sections, often of equal sizes, so that ties abound.
      unsigned long length = pick(5) == 0 ? 0 : 1 + pick(pick(4) == 0 ? 40 : 6);
      switch (pick(4)) {
        case 0: {  // at a fixed start, which splits holes in two
          unsigned long start = base + pick(end - base + 2);
          ASSERT_EQ(m.canFit(start, length), plain.canFit(start, length)) << name;
          if (!m.canFit(start, length)) continue;
          m.allocateAbsSection(name, start, length, false);
          plain.placeAt(start, length);
          break;
        }
        case 1: {  // a group of activation records
          ASSERT_EQ(m.canFit(length, static_cast<unsigned short>(1)), plain.canFit(length, static_cast<unsigned short>(1))) << name;
          if (!plain.canFit(length, static_cast<unsigned short>(1))) continue;
          m.allocateActRecs(ActRecOffsets{{name, 0}}, length);
          long start = plain.place(length, 1);
          if (start >= 0) {
            ASSERT_EQ(m.getAllocatedStart(name), static_cast<uint32_t>(start)) << name;
          }
          break;
        }
        default: {
          const unsigned short alignment = static_cast<unsigned short>(width == 8 && pick(2) == 0 ? 2 : 1);
          ASSERT_EQ(m.canFit(length, alignment), plain.canFit(length, alignment)) << name;
          if (!plain.canFit(length, alignment)) continue;
          m.allocateSection(name, length, false, alignment);
          long start = plain.place(length, alignment);
          if (start >= 0) {
            ASSERT_EQ(m.getAllocatedStart(name), static_cast<uint32_t>(start)) << name;
          }
          break;
        }
      }
      ASSERT_EQ(holes(m), plain.holes()) << name;
      unsigned long largest = 0;
      for (const Range& h : plain.list()) largest = std::max(largest, h.size());
      ASSERT_EQ(m.largestHole(), largest) << name;
    }
  }
}

TEST(Memory, aSectionOfManyPiecesFindsEachByItsFile) {
  // Past a handful of pieces the files are found through an index; every
  // piece must still be found, and a file not loaded must not be.
  Memory m = dataBank("bank", 0, 0xFF);
  m.allocateSection("shared", 40, false, 1);
  for (int i = 0; i < 20; ++i) {
    const std::string file = "lib.lib(member" + std::to_string(i) + ".o)";
    ASSERT_FALSE(m.isLoaded(file, "shared")) << file;
    m.loadSection(file, "shared", 2);
  }
  for (int i = 0; i < 20; ++i) {
    const std::string file = "lib.lib(member" + std::to_string(i) + ".o)";
    EXPECT_EQ(m.getLoadedStart(file, "shared"), static_cast<uint32_t>(2 * i)) << file;
    EXPECT_EQ(m.getLoadedSize(file, "shared"), 2u) << file;
  }
  EXPECT_FALSE(m.isLoaded("lib.lib(member20.o)", "shared"));
  EXPECT_EQ(m.findAllocated("shared")->getLoaded().size(), 20u);

  // A copy of the memory answers from its own ranges, not from the original's.
  Memory copy = m;
  copy.loadSection("late.o", "shared", 0);
  EXPECT_TRUE(copy.isLoaded("late.o", "shared"));
  EXPECT_FALSE(m.isLoaded("late.o", "shared"));
}

TEST(Memory, rangesKeepTheirPlaceAndNamesAsTheMemoryGrows) {
  // Enough sections to fill the growing chunks and several fixed ones; a
  // range found early must stay where it was, and every name must still
  // lead to its own range, records of a group included.
  Memory m = dataBank("bank", 0, 0xFFFF);
  m.allocateSection("first", 2, false, 1);
  const Range* first = m.findAllocated("first");
  for (int i = 0; i < 1200; ++i) m.allocateSection("s" + std::to_string(i), 1 + i % 3, false, 1);
  m.allocateActRecs(ActRecOffsets{{"r1", 0}, {"r2", 4}}, 8);
  EXPECT_EQ(m.findAllocated("first"), first);
  EXPECT_EQ(m.allocatedCount(), 1203u);
  uint32_t next = m.getAllocatedStart("first") + 2;
  for (int i = 0; i < 1200; ++i) {
    const std::string name = "s" + std::to_string(i);
    ASSERT_EQ(m.getAllocatedStart(name), next) << name;
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

  // A copy grows on its own.
  Memory copy = m;
  copy.allocateSection("late", 1, false, 1);
  EXPECT_TRUE(copy.isAllocated("late"));
  EXPECT_FALSE(m.isAllocated("late"));
  EXPECT_EQ(copy.getAllocatedStart("s7"), m.getAllocatedStart("s7"));
}

TEST(Memory, aCopiedRangeKeepsItsPiecesApart) {
  Range r(0x10, 0x40, ram, 8);
  std::list<Range> left;
  r.allocate("s", 0x10, 0x40, left, false);
  for (int i = 0; i < 12; ++i) r.load("f" + std::to_string(i) + ".o", 2);
  Range copy = r;
  copy.load("late.o", 1);
  EXPECT_TRUE(copy.isLoaded("late.o"));
  EXPECT_FALSE(r.isLoaded("late.o"));
  EXPECT_EQ(copy.getStart("f11.o", "s"), 0x10u + 22);
  EXPECT_EQ(r.size("f3.o"), 2u);
  EXPECT_EQ(copy.getLoaded().size(), 13u);
}
