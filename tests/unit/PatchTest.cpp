// What each type writes is pinned end to end; here, refusals and their edges.
#include <vector>

#include "LinkerRig.h"
#include "device/Processor.h"
#include "link/target/TargetSupport.h"

using namespace tarsil;
using namespace tarsil::testing;
using namespace tarsil::patching;

namespace {

using W = std::vector<uint16_t>;

Data wordsOf(const W& w) {
  std::vector<uint8_t> b;
  for (uint16_t x : w) b.push_back(static_cast<uint8_t>(x & 0xFF)), b.push_back(static_cast<uint8_t>(x >> 8));
  return dataOf(b);
}

W wordsIn(const Data& d) {
  std::vector<uint8_t> b = bytesOf(d);
  W w;
  for (size_t i = 0; i + 1 < b.size(); i += 2) w.push_back(static_cast<uint16_t>(b[i] | (b[i + 1] << 8)));
  return w;
}

void setDevice(LinkContext& l, const char* name) {
  ASSERT_TRUE(convertDvsProcName(name, &l.cProcType)) << name;
  l.cInstSet = getInstSet(l.cProcType);
}

struct Rel {
  uint16_t type;
  uint32_t value;
  uint32_t offset = 0;
  int16_t addend = 0;
  uint32_t scnAddr = 0;
  std::string name = "target";
};

struct Outcome { bool ok; W words; std::string error; };

Outcome patchOne(const char* device, const W& words, const Rel& rel) {
  TargetDevice target;
  if (!convertDvsProcName(device, &target.procType)) {
    ADD_FAILURE() << device;
    return {};
  }
  target.instSet = getInstSet(target.procType);
  const std::vector<Memory> accessBanks;
  target.accessBanks = &accessBanks;
  target.sectionSize = [](const std::string&) { return std::optional<uint64_t>(); };
  syment s{};
  StringTable strTbl;
  if (rel.name.size() > 8) Coff::addString(strTbl, rel.name);
  Coff::setName(s, strTbl, rel.name);
  s.n_value = rel.value;
  s.n_sclass = C_EXT;
  Data d = wordsOf(words);
  Outcome o;
  o.ok = Target::forDevice(std::move(target))
             ->relocate(Location{d, rel.scnAddr}, relocation(rel.offset, 0, rel.type, rel.addend), Referent{s, strTbl},
                        o.error);
  o.words = wordsIn(d);
  return o;
}

constexpr const char* k12 = "t12-2k-128a";   // four pages
constexpr const char* k12p2 = "t12-1k-32a";  // two pages
constexpr const char* k12p1 = "t12-512-32a";
constexpr const char* k14 = "t14-8k-512a";   // four banks
constexpr const char* k14b2 = "t14-2k-256a";  // two banks
constexpr const char* k16 = "t16-16k-2048a";
constexpr const char* k16e = "t16e-2m-3840a";

std::string past(const std::string& type, int offset, int bytes) {
  return "relocation " + type + " at offset 0x000" + std::to_string(offset) +
         " writes past the end of the section's raw data (" + std::to_string(bytes) + " bytes).";
}

const std::string kRange = "Symbol 'target' out of range of relative branch instruction.";
const std::string kBranchAlign =
    "Symbol 'target' is not word-aligned.\nIt cannot be used as the target of a call or goto instruction.";
std::string callAlign(const std::string& name) {
  return "Symbol '" + name + "' is not word-aligned.\nIt can not be used as the target of a call or goto instruction.";
}
std::string movff(const std::string& reg) { return reg + " cannot be used as the destination of a MOVFF instruction."; }

}  // namespace

TEST(PatchDeathTest, aFieldPastTheDataIsAnInvariantNotAWrite) {
  Data d = dataOf({0x00, 0x00});
  EXPECT_DEATH(patchBits(d, 1, 0xFFFF, 0, 0, 16), "field lies within the data");
}

TEST(Patch, typesAFamilyDoesNotHandleAreRefused) {
  const std::pair<const char*, std::vector<uint16_t>> families[] = {
      {k12, {5, 12, 13, 14, 15, 19, 23, 25}},
      {k14, {0, 5, 11, 12, 13, 14, 19, 22, 25, 32, 33, 0xFFFF}},
      {k16, {11, 14, 15, 17, 19, 21, 22, 24, 28}},
      {k16e, {0, 5, 7, 11, 12, 23, 24, 33}},
  };
  for (const auto& [device, types] : families)
    for (uint16_t type : types) {
      Outcome o = patchOne(device, {0x0900}, {.type = type, .value = 0x10});
      EXPECT_EQ(o.error, "unsupported relocation type.") << device << ' ' << type;
      EXPECT_EQ(o.words, W{0x0900});
    }
}

// `after` is what an accepted one at the edge of refusal writes.
TEST(Patch, refusalsAndTheirEdges) {
  struct Case { const char* device; W before; Rel rel; std::string error; W after = {}; };
  const Case cases[] = {
      // Sequences as long as the device needs, whole within the data.
      {k12, {0x0000}, {.type = RELOCT_BANKSEL, .value = 0x47}, past("RELOCT_BANKSEL", 0, 2)},
      {k12p2, {0x0FFF}, {.type = RELOCT_PAGESEL, .value = 0x200}, "", {0x05A3}},
      {k12p1, {}, {.type = RELOCT_PAGESEL, .value = 0x200}, "", {}},
      {k14, {0, 0x3FFF}, {.type = RELOCT_BANKSEL, .value = 0x1A0, .offset = 2}, past("RELOCT_BANKSEL", 2, 4)},
      {k14, {0, 0x3FFF}, {.type = RELOCT_PAGESEL, .value = 0x834, .offset = 2}, past("RELOCT_PAGESEL", 2, 4)},
      {k14, {0x2000}, {.type = RELOCT_CALL, .value = 0x834, .offset = 1}, past("RELOCT_CALL", 1, 2)},
      {k14b2, {0, 0x3FFF}, {.type = RELOCT_BANKSEL, .value = 0x0A0, .offset = 2}, "", {0, 0x1683}},
      {k16, {0xE000}, {.type = RELOCT_PAGESEL, .value = 0x1234}, past("RELOCT_PAGESEL", 0, 2)},
      // Core16E data may hold a byte at an odd offset: a byte field fits, a word does not.
      {k16e, {0}, {.type = RELOCT_LOW, .value = 0xAB, .offset = 1}, "", {0xAB00}},
      {k16e, {0}, {.type = RELOCT_ALL, .value = 0xAB, .offset = 1}, past("RELOCT_ALL", 1, 2)},
      {k16e, {0}, {.type = RELOCT_ACCESS, .value = 0xAB, .offset = 1}, past("RELOCT_ACCESS", 1, 2)},
      // An addend can make an aligned symbol odd; sections lose their '.'.
      {k16e, {0xEC00}, {.type = RELOCT_CALL, .value = 0x1235}, callAlign("target")},
      {k16e, {0xEF00}, {.type = RELOCT_GOTO, .value = 0x1234, .addend = 1, .name = "a_long_label"},
       callAlign("a_long_label")},
      {k16e, {0xEF00}, {.type = RELOCT_GOTO, .value = 0x1235, .name = ".code"}, callAlign("code")},
      // Branches count words from the next instruction.
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0x900, .scnAddr = 0x100}, "", {0xD3FF}},
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0x902, .scnAddr = 0x100}, kRange},
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0x802, .scnAddr = 0x1000}, "", {0xD400}},
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0x800, .scnAddr = 0x1000}, kRange},
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0x105, .scnAddr = 0x100}, kBranchAlign},
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0xFF, .scnAddr = 0x100}, kBranchAlign},
      // A target that wraps below zero is far out of reach, not a short hop.
      {k16e, {0xD000}, {.type = RELOCT_BRA, .value = 0, .addend = -2}, kRange},
      {k16e, {0xE000}, {.type = RELOCT_CONDBRA, .value = 0x200, .scnAddr = 0x100}, "", {0xE07F}},
      {k16e, {0xE000}, {.type = RELOCT_CONDBRA, .value = 0x002, .scnAddr = 0x100}, "", {0xE080}},
      {k16e, {0xE000}, {.type = RELOCT_CONDBRA, .value = 0x202, .scnAddr = 0x100}, kRange},
      {k16e, {0xE000}, {.type = RELOCT_CONDBRA, .value = 0x103, .scnAddr = 0x100}, kBranchAlign},
      // MOVFF may write neither the return stack nor the program counter.
      {k16e, {0xF000}, {.type = RELOCT_FF2, .value = 0xFFF}, movff("TOSU")},
      {k16e, {0xF000}, {.type = RELOCT_FF2, .value = 0xFF9}, movff("PCL")},
      {k16e, {0xF000}, {.type = RELOCT_FF2, .value = 0x1FFD}, movff("TOSL")},
      {k16e, {0xC000}, {.type = RELOCT_FF1, .value = 0xFFD}, "", {0xCFFD}},
      {k16e, {0x0E00}, {.type = RELOCT_SCNSZ_LOW, .value = 0x200, .name = "buffer"},
       "relocation RELOCT_SCNSZ_LOW at offset 0x0000 needs a section reference, but symbol 'buffer' does not "
       "name a section."},
      {k16e, {0x0E00}, {.type = RELOCT_SCNEND_HIGH, .value = 0x200, .name = ".nosuch"},
       "relocation RELOCT_SCNEND_HIGH at offset 0x0000 refers to section 'nosuch', which no input has."},
  };
  for (const Case& c : cases) {
    Outcome o = patchOne(c.device, c.before, c.rel);
    SCOPED_TRACE(std::string(c.device) + " type " + std::to_string(c.rel.type) + " value " +
                 std::to_string(c.rel.value));
    EXPECT_EQ(o.ok, c.error.empty()) << o.error;
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.words, c.error.empty() ? c.after : c.before);
  }
}

TEST(VerifyRelocations, core12CallsReachOnlyTheLowerHalfOfAPage) {
  for (uint32_t target : {0x0FFu, 0x100u, 0x3C0u, 0x200u, 0x2FFu, 0x300u}) {
    LinkContext l{Config()};
    setDevice(l, k12);
    Input a("a.o");
    // The addend takes part: the symbol sits one word below the target.
    a.section(".code", STYP_TEXT, 2).symbol("far", 1, C_EXT, target - 1);
    a.c->cReloc[".code"] = {relocation(0, 0, RELOCT_CALL, 1)};
    l.cCoff.push_back(std::move(a.c));
    std::string error;
    ASSERT_TRUE(buildSectionAttribs(l, error)) << error;
    const bool lowerHalf = target % 0x200 < 0x100;
    EXPECT_EQ(verifyRelocations(l, error), lowerHalf) << std::hex << target;
    if (!lowerHalf) {
      EXPECT_EQ(error, "file 'a.o', section '.code', performs a call to \n symbol 'far' which is not in the lower "
                       "half of a page.");
    }
    // Other families reach every address.
    setDevice(l, "t14-8k-512p");
    EXPECT_TRUE(verifyRelocations(l, error));
  }
}

using PatchSections = LinkerRig;

// Two words of ".code" from b.o, after a.o's two, and a piece of ".none"
// that has no bytes at all.
TEST_F(PatchSections, malformedRelocationsAreRefusedBeforeAnyWrite) {
  syment aux{};
  aux.n_value = 0x100;
  Input ia("a.o"), ib("b.o");
  ia.section(".code", STYP_TEXT, 0, 0, {0x00, 0x00, 0x00, 0x00});
  ib.section(".code", STYP_TEXT, 0, 0, {0x00, 0xD0, 0x00, 0xE0}).section(".none", STYP_TEXT, 4);
  ib.symbol("main", 0, C_EXT, 0x104).slot(aux, AuxKind::fcn);
  add(ia);
  Coff* b = &add(ib);
  // Each input section's record keeps its input's list of relocations.
  b->cReloc[".code"] = {};
  b->cReloc[".none"] = {};
  codePage("code", 0, 0xFFFF);
  prepare();
  ASSERT_TRUE(mapSections(l, error)) << error;
  ASSERT_TRUE(loadSections(l, error)) << error;
  setDevice(l, k16e);
  const std::pair<reloc, std::string> cases[] = {
      {relocation(0, 0xFFFFFFFF, RELOCT_CALL),
       "relocation RELOCT_CALL at offset 0x0000 names symbol 4294967295, but the symbol table has 2 entries."},
      {relocation(0, 1, RELOCT_LOW),
       "relocation RELOCT_LOW at offset 0x0000 names symbol 1, which is an auxiliary entry."},
      {relocation(4, 0, RELOCT_LOW), past("RELOCT_LOW", 4, 4)},
      {relocation(3, 0, RELOCT_ALL), past("RELOCT_ALL", 3, 4)},
      {relocation(0xFFFFFFFF, 0, RELOCT_ALL),
       "relocation RELOCT_ALL at offset 0xffffffff writes past the end of the section's raw data (4 bytes)."},
  };
  for (const auto& [r, text] : cases) {
    b->cReloc[".code"] = {r};
    EXPECT_FALSE(patchSections(l, error));
    EXPECT_EQ(error, "file 'b.o', section '.code', " + text);
    EXPECT_EQ(wordsIn(b->cRawData[".code"]), (W{0xD000, 0xE000}));
  }
  // A section without data accepts no field, and keeps none of its own.
  b->cReloc[".code"] = {};
  b->cReloc[".none"] = {relocation(0, 0, RELOCT_LOW)};
  EXPECT_FALSE(patchSections(l, error));
  EXPECT_EQ(error, "file 'b.o', section '.none', " + past("RELOCT_LOW", 0, 0));
  EXPECT_EQ(b->cRawData.count(".none"), 0u);
}

// The call check refuses a bad index on its own.
TEST_F(PatchSections, theCallCheckRefusesABadIndex) {
  Input ib("b.o");
  ib.section(".code", STYP_TEXT, 0, 0, {0x00, 0x09}).symbol("main", 1);
  Coff* b = &add(ib);
  b->cReloc[".code"] = {relocation(0, 7, RELOCT_CALL)};
  prepare();
  setDevice(l, k12);
  EXPECT_FALSE(verifyRelocations(l, error));
  EXPECT_EQ(error, "file 'b.o', section '.code', relocation RELOCT_CALL at offset 0x0000 names symbol 7, but the "
                   "symbol table has 1 entries.");
}
