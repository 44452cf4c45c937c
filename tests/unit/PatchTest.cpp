// The relocation stage end to end on hand-built inputs: the bit-field
// primitive, symbol values and line addresses, external references, the
// Core12 call check and the walk over every input's relocations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/Processor.h"
#include "link/Linker.h"
#include "support/Debug.h"

using namespace tarsil;

namespace {

Data bytesOf(std::vector<uint8_t> b) { return Data(b.size(), reinterpret_cast<const char*>(b.data())); }

std::vector<uint8_t> bytesIn(const Data& d) {
  const auto* p = reinterpret_cast<const uint8_t*>(d.bytes());
  return std::vector<uint8_t>(p, p + d.size());
}

Data wordsOf(std::vector<uint16_t> w) {
  std::vector<uint8_t> b;
  for (uint16_t x : w) {
    b.push_back(static_cast<uint8_t>(x & 0xFF));
    b.push_back(static_cast<uint8_t>(x >> 8));
  }
  return bytesOf(b);
}

std::vector<uint16_t> wordsIn(const Data& d) {
  std::vector<uint8_t> b = bytesIn(d);
  std::vector<uint16_t> w;
  for (size_t i = 0; i + 1 < b.size(); i += 2) w.push_back(static_cast<uint16_t>(b[i] | (b[i + 1] << 8)));
  return w;
}

void setDevice(Linker& l, const char* name) {
  ASSERT_TRUE(convertDvsProcName(name, &l.cProcType));
  l.cInstSet = getInstSet(l.cProcType);
}

Coff& addInput(Linker& l, const std::string& file) {
  l.cCoff.push_back(std::make_unique<Coff>());
  l.cCoff.back()->cFileName = file;
  return *l.cCoff.back();
}

void addSection(Coff& c, const std::string& name, uint32_t paddr, std::vector<uint16_t> words) {
  const int number = static_cast<int>(c.cScnNum.size()) + 1;
  c.cScnNum[number] = name;
  scnhdr h;
  std::memcpy(h.s_name, name.data(), std::min(name.size(), sizeof h.s_name));
  h.s_paddr = h.s_vaddr = paddr;
  h.s_size = static_cast<uint32_t>(2 * words.size());
  c.cScnHdr[name] = h;
  c.cRawData[name] = wordsOf(words);
}

uint32_t addSymbol(Coff& c, const std::string& name, uint32_t value, int16_t scnum, uint8_t sclass = C_EXT) {
  syment s;
  std::memcpy(s.n_name, name.data(), std::min(name.size(), sizeof s.n_name));
  s.n_value = value;
  s.n_scnum = scnum;
  s.n_sclass = sclass;
  c.cSymTbl.push_back(s);
  c.cSymKind.push_back(AuxKind::none);
  return static_cast<uint32_t>(c.cSymTbl.size() - 1);
}

reloc rel(uint32_t vaddr, uint32_t symndx, uint16_t type, int16_t offset = 0) {
  reloc r;
  r.r_vaddr = vaddr;
  r.r_symndx = symndx;
  r.r_offset = offset;
  r.r_type = type;
  return r;
}

// A program memory holding one section of `bytes` bytes at `start`; no
// piece of it is loaded yet.
Memory allocated(const std::string& scn, uint32_t start, uint16_t widthBits, unsigned long bytes) {
  Memory m("code", 0, 0xFFFF, rom, false, false, "");
  m.setRangeWidths(widthBits);
  m.allocateAbsSection(scn, start, bytes, false);
  return m;
}

// The same, its pieces loaded from the given inputs in order, `sizes` bytes
// each.
Memory placed(const std::string& scn, uint32_t start, uint16_t widthBits,
              std::vector<std::pair<std::string, unsigned long>> pieces) {
  unsigned long total = 0;
  for (const auto& p : pieces) total += p.second;
  Memory m = allocated(scn, start, widthBits, total);
  for (const auto& [file, size] : pieces) m.loadSection(file, scn, size);
  return m;
}

}  // namespace

// --- the bit-field primitive ---------------------------------------------------

TEST(Patch, writesOnlyTheFieldItIsGiven) {
  Data d = bytesOf({0xAA, 0xAA, 0xAA, 0xAA});
  Linker::patch(d, 2, 0x1234, 8, 0, 8);  // the high byte of the value into byte 2
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0xAA, 0xAA, 0x12, 0xAA}));

  d = bytesOf({0x00, 0x00});
  Linker::patch(d, 0, 1, 0, 8, 1);  // a field that starts in the second byte
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0x00, 0x01}));

  // An 11-bit field runs into the second byte and stops at its bit 2.
  d = bytesOf({0x00, 0x28});
  Linker::patch(d, 0, 0x7FF, 0, 0, 11);
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0xFF, 0x2F}));
  Linker::patch(d, 0, 0, 0, 0, 11);
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0x00, 0x28}));

  // Source bits from the top of the value, and a whole word at the very end.
  d = bytesOf({0x00, 0x00, 0x00, 0x00});
  Linker::patch(d, 0, 0x80000000u >> 1, 30, 0, 1);
  Linker::patch(d, 2, 0xBEEF, 0, 0, 16);
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0x01, 0x00, 0xEF, 0xBE}));

  Linker::patch(d, 4, 0xFF, 0, 0, 0);  // nothing at all, even at the end
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0x01, 0x00, 0xEF, 0xBE}));
}

// Every field shape the patchers can ask for, against the bit-by-bit
// definition, with the field ending at the very end of the data so that a
// write past it would show (and trip the sanitizers).
TEST(Patch, everyFieldShapeMatchesTheBitwiseDefinition) {
  const uint32_t values[] = {0, 0xFFFFFFFFu, 0xA5C3E19Bu, 0x12345678u};
  for (uint16_t width = 1; width <= 16; ++width)
    for (uint16_t dst = 0; dst < 16; ++dst)
      for (uint16_t src = 0; src + width < 32; ++src)
        for (uint32_t value : values) {
          const uint32_t size = (dst + width + 7u) / 8u + 1u;
          std::vector<uint8_t> before(size);
          for (uint32_t i = 0; i < size; ++i) before[i] = static_cast<uint8_t>(0x5A ^ (i * 37) ^ dst);
          std::vector<uint8_t> expected = before;
          for (unsigned k = 0; k < width; ++k) {
            const unsigned bit = 8u + dst + k;  // the field starts at byte 1
            const bool on = ((value >> (src + k)) & 1u) != 0;
            uint8_t& byte = expected[bit / 8];
            byte = static_cast<uint8_t>(on ? byte | (1u << (bit % 8)) : byte & ~(1u << (bit % 8)));
          }
          Data d = bytesOf(before);
          Linker::patch(d, 1, value, src, dst, width);
          ASSERT_EQ(bytesIn(d), expected) << "width " << width << " dst " << dst << " src " << src;
        }
}

TEST(Patch, bitToggleSetsAndClearsOneBit) {
  Data d = bytesOf({0x00, 0xFF});
  Linker::bitToggle(d, 15, false);
  Linker::bitToggle(d, 3, true);
  Linker::bitToggle(d, 3, true);
  EXPECT_EQ(bytesIn(d), (std::vector<uint8_t>{0x08, 0x7F}));
}

TEST(PatchDeathTest, aFieldPastTheDataIsAnInvariantNotAWrite) {
  Data d = bytesOf({0x00, 0x00});
  EXPECT_DEATH(Linker::patch(d, 1, 0xFFFF, 0, 0, 16), "field lies within the data");
  EXPECT_DEATH(Linker::bitToggle(d, 16, true), "bitPos");
}

// --- symbol values and line addresses ------------------------------------------

TEST(SymbolValues, eachPieceMovesItsOwnSymbolsAndLines) {
  Linker l;
  setDevice(l, "t14-8k-512p");
  Coff& a = addInput(l, "a.o");
  Coff& b = addInput(l, "b.o");
  addSection(a, ".code", 0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  addSection(b, ".code", 0x40, {0, 0, 0, 0});
  addSection(b, ".data", 0, {});
  uint32_t la = addSymbol(a, "la", 0x10, 1, C_STAT);
  uint32_t fa = addSymbol(a, "fa", 0x02, 1, C_FCN);
  uint32_t ext = addSymbol(a, "ext", 0x04, 1);
  uint32_t undef = addSymbol(a, "undef", 0x33, 0);
  uint32_t file = addSymbol(a, ".file", 0x44, -2, C_FILE);
  uint32_t lb = addSymbol(b, "lb", 0x42, 1, C_LABEL);
  uint32_t db = addSymbol(b, "db", 0x05, 2, C_STAT);
  // An auxiliary slot that would look relocatable if read as a symbol.
  syment aux;
  aux.n_scnum = 1;
  aux.n_sclass = C_STAT;
  aux.n_value = 0x77;
  b.cSymTbl.push_back(aux);
  b.cSymKind.push_back(AuxKind::fcn);

  a.cLineInfo[".code"] = {coff_lineno{0, 7, 0x10, 0, 0}};
  b.cLineInfo[".code"] = {coff_lineno{0, 8, 0x41, 0, 0}};
  b.cLineInfo[".data"] = {coff_lineno{0, 9, 0x03, 0, 0}};
  l.cScns[".code"].type = Coff::code;
  l.cScns[".data"].type = Coff::idata;

  Memory code = allocated(".code", 0x200, 14, 28);
  Memory data("gpr", 0x20, 0x7F, ram, false, false, "");
  data.setRangeWidths(8);
  data.allocateAbsSection(".data", 0x30, 0, false);
  l.cScnMem = {{".code", &code}, {".data", &data}};

  std::string error;
  ASSERT_TRUE(l.loadSections(error)) << error;
  ASSERT_TRUE(l.relocateSymbols(error)) << error;
  EXPECT_EQ(a.cSymTbl[la].n_value, 0x210u);
  EXPECT_EQ(a.cSymTbl[fa].n_value, 0x202u);
  EXPECT_EQ(a.cSymTbl[ext].n_value, 0x204u);
  EXPECT_EQ(a.cSymTbl[undef].n_value, 0x33u);
  EXPECT_EQ(a.cSymTbl[file].n_value, 0x44u);
  // b's piece follows a's 10 words; its header put it at 0x40.
  EXPECT_EQ(b.cSymTbl[lb].n_value, 0x20Cu);
  EXPECT_EQ(b.cSymTbl[db].n_value, 0x35u);
  EXPECT_EQ(b.cSymTbl.back().n_value, 0x77u);
  // Without a STACK directive the linker's stack symbols stay 0.
  EXPECT_EQ(l.cStackSym.n_value, 0u);
  EXPECT_EQ(l.cStksizeSym.n_value, 0u);

  ASSERT_TRUE(l.relocateLineInfo(error)) << error;
  EXPECT_EQ(a.cLineInfo[".code"][0].l_paddr, 0x210u);
  EXPECT_EQ(b.cLineInfo[".code"][0].l_paddr, 0x20Bu);
  EXPECT_EQ(b.cLineInfo[".code"][0].l_lnno, 8);
  EXPECT_EQ(b.cLineInfo[".data"][0].l_paddr, 0x03u);  // only code moves its lines
}

TEST(SymbolValues, theStackSymbolsTakeTheStackRange) {
  Linker l;
  std::string error;
  ASSERT_TRUE(l.AddStackDesc(StackDesc(), error)) << error;
  Memory data("gpr", 0x20, 0x7F, ram, false, false, "");
  data.setRangeWidths(8);
  data.allocateAbsSection(".stack", 0x60, 0x18, false);
  l.cScnMem[".stack"] = &data;
  ASSERT_TRUE(l.loadSections(error)) << error;
  ASSERT_TRUE(l.relocateSymbols(error)) << error;
  EXPECT_EQ(l.cStackSym.n_value, 0x60u);
  EXPECT_EQ(l.cStksizeSym.n_value, 0x18u);
}

TEST(SymbolValues, referencesTakeTheirDefinitionOrTheSectionStart) {
  Linker l;
  Coff& a = addInput(l, "a.o");
  Coff& b = addInput(l, "b.o");
  uint32_t def = addSymbol(a, "main", 0x234, 1);
  uint32_t ref = addSymbol(b, "main", 0, 0);
  uint32_t scnRef = addSymbol(b, ".code", 0, 0);
  l.cExtSymDef["main"] = &a.cSymTbl[def];
  l.cScns[".code"].setSize(0);
  l.cScns["code"].setSize(8);
  Memory code = placed("code", 0x300, 14, {});
  l.cScnMem["code"] = &code;

  std::string error;
  ASSERT_TRUE(l.resolveExternals(error)) << error;
  EXPECT_EQ(b.cSymTbl[ref].n_value, 0x234u);
  EXPECT_EQ(b.cSymTbl[ref].n_scnum, 0);  // still a reference
  EXPECT_EQ(b.cSymTbl[scnRef].n_value, 0x300u);

  addSymbol(b, ".nosuch", 0, 0);
  EXPECT_FALSE(l.resolveExternals(error));
  EXPECT_EQ(error, "could not resolve section reference 'nosuch' in file 'b.o'.");

  b.cSymTbl.pop_back();
  b.cSymKind.pop_back();
  addSymbol(b, "absent", 0, 0);
  EXPECT_FALSE(l.resolveExternals(error));
  EXPECT_EQ(error, "could not resolve symbol 'absent' in file 'b.o'.");
}

// --- the Core12 call check -----------------------------------------------------

TEST(VerifyRelocations, core12CallsReachOnlyTheLowerHalfOfAPage) {
  for (uint32_t target : {0x0FFu, 0x100u, 0x3C0u, 0x200u, 0x2FFu, 0x300u}) {
    Linker l;
    setDevice(l, "t12-2k-128a");
    Coff& a = addInput(l, "a.o");
    addSection(a, ".code", 0, {0x0900});
    // The addend takes part: the symbol sits one word below the target.
    a.cReloc[".code"] = {rel(0, addSymbol(a, "far", target - 1, 1), 1, 1)};
    std::string error;
    const bool lowerHalf = target % 0x200 < 0x100;
    EXPECT_EQ(l.verifyRelocations(error), lowerHalf) << std::hex << target;
    if (!lowerHalf) {
      EXPECT_EQ(error,
                "file 'a.o', section '.code', performs a call to \n symbol 'far' which is not in the lower half of "
                "a page.");
    }

    // Other families reach every address, and gotos are not calls.
    a.cReloc[".code"][0].r_type = 2;
    EXPECT_TRUE(l.verifyRelocations(error));
    a.cReloc[".code"][0].r_type = 1;
    setDevice(l, "t14-8k-512p");
    EXPECT_TRUE(l.verifyRelocations(error));
  }
}

TEST(VerifyRelocations, aCallThroughABadSymbolIndexIsRefused) {
  Linker l;
  setDevice(l, "t12-2k-128a");
  Coff& a = addInput(l, "a.o");
  addSection(a, ".code", 0, {0x0900});
  a.cReloc[".code"] = {rel(0, 7, 1)};
  std::string error;
  EXPECT_FALSE(l.verifyRelocations(error));
  EXPECT_EQ(error, "file 'a.o', section '.code', relocation RELOCT_CALL at offset 0x0000 names symbol 7, but the "
                   "symbol table has 0 entries.");
}

// --- the walk over the inputs ------------------------------------------------------

struct PatchSections : ::testing::Test {
  Linker l;
  Coff* a = nullptr;
  Coff* b = nullptr;
  Memory code{"code", 0, 0, rom, false, false, ""};

  // Two pieces of ".code": a's two words at 0x100, b's two words after them.
  void SetUp() override {
    setDevice(l, "t16e-2m-3840a");
    a = &addInput(l, "a.o");
    b = &addInput(l, "b.o");
    addSection(*a, ".code", 0, {0xEF00, 0xF000});
    addSection(*b, ".code", 0, {0xD000, 0xE000});
    addSymbol(*a, "main", 0x104, 0);
    addSymbol(*b, "main", 0x104, 0);
    code = placed(".code", 0x100, 8, {{"a.o", 4}, {"b.o", 4}});
    l.cScnMem[".code"] = &code;
  }
};

TEST_F(PatchSections, eachPieceIsPatchedInItsOwnDataAtItsOwnAddress) {
  a->cReloc[".code"] = {rel(0, 0, 1), rel(2, 0, 14)};
  // From 0x104, a branch to 0x104 goes back one word; a branch at 0x106 two.
  b->cReloc[".code"] = {rel(0, 0, 19), rel(2, 0, 20)};
  std::string error;
  ASSERT_TRUE(l.patchSections(error)) << error;
  EXPECT_EQ(wordsIn(a->cRawData[".code"]), (std::vector<uint16_t>{0xEF82, 0xF000}));
  EXPECT_EQ(wordsIn(b->cRawData[".code"]), (std::vector<uint16_t>{0xD7FF, 0xE0FE}));
}

TEST_F(PatchSections, failuresNameTheFileAndSectionAndStopTheWalk) {
  a->cReloc[".code"] = {rel(0, 0, 1)};
  b->cReloc[".code"] = {rel(0, 0, 11), rel(2, 0, 1)};
  std::string error;
  EXPECT_FALSE(l.patchSections(error));
  EXPECT_EQ(error, "file 'b.o', section '.code', unsupported relocation type.");
  // What came before stays patched; nothing after the failure is.
  EXPECT_EQ(wordsIn(a->cRawData[".code"]), (std::vector<uint16_t>{0xEF82, 0xF000}));
  EXPECT_EQ(wordsIn(b->cRawData[".code"]), (std::vector<uint16_t>{0xD000, 0xE000}));
}

TEST_F(PatchSections, malformedRelocationsAreRefusedBeforeAnyWrite) {
  struct Case {
    reloc r;
    std::string text;
  };
  syment aux;
  aux.n_value = 0x100;
  b->cSymTbl.push_back(aux);
  b->cSymKind.push_back(AuxKind::fcn);
  const Case cases[] = {
      {rel(0, 5, 1), "relocation RELOCT_CALL at offset 0x0000 names symbol 5, but the symbol table has 2 entries."},
      {rel(0, 0xFFFFFFFF, 1),
       "relocation RELOCT_CALL at offset 0x0000 names symbol 4294967295, but the symbol table has 2 entries."},
      {rel(0, 1, 4), "relocation RELOCT_LOW at offset 0x0000 names symbol 1, which is an auxiliary entry."},
      {rel(4, 0, 4), "relocation RELOCT_LOW at offset 0x0004 writes past the end of the section's raw data (4 bytes)."},
      {rel(3, 0, 8), "relocation RELOCT_ALL at offset 0x0003 writes past the end of the section's raw data (4 bytes)."},
      {rel(0xFFFFFFFF, 0, 8),
       "relocation RELOCT_ALL at offset 0xffffffff writes past the end of the section's raw data (4 bytes)."},
  };
  for (const Case& c : cases) {
    b->cReloc[".code"] = {c.r};
    std::string error;
    EXPECT_FALSE(l.patchSections(error));
    EXPECT_EQ(error, "file 'b.o', section '.code', " + c.text);
    EXPECT_EQ(wordsIn(b->cRawData[".code"]), (std::vector<uint16_t>{0xD000, 0xE000}));
  }
}

TEST_F(PatchSections, aSectionWithoutDataAcceptsNoFieldAndKeepsNoneOfItsOwn) {
  b->cRawData.erase(".code");
  b->cReloc[".code"] = {rel(0, 0, 4)};
  std::string error;
  EXPECT_FALSE(l.patchSections(error));
  EXPECT_EQ(error, "file 'b.o', section '.code', relocation RELOCT_LOW at offset 0x0000 writes past the end of the "
                   "section's raw data (0 bytes).");
  EXPECT_EQ(b->cRawData.count(".code"), 0u);
}

TEST_F(PatchSections, doPatchRefusesAnUnknownFamilyWithoutText) {
  Data d = wordsOf({0});
  std::string error;
  l.cInstSet = 0;
  EXPECT_FALSE(l.doPatch(0, d, rel(0, 0, 1), a->cSymTbl, a->cStrTbl, error));
  EXPECT_EQ(error, "");
}

TEST_F(PatchSections, theFamilysChannelStillTracesEveryRelocation) {
  a->cReloc[".code"] = {rel(0, 0, 1), rel(2, 0, 14)};
  std::string error;
  // Silent while the channel is off, one line per relocation while it is on.
  ::testing::internal::CaptureStdout();
  ASSERT_TRUE(l.patchSections(error)) << error;
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");

  Debug("debug", 1);
  Debug("Linker::doPatchCore16E", 1);
  ::testing::internal::CaptureStdout();
  const bool ok = l.patchSections(error);
  const std::string out = ::testing::internal::GetCapturedStdout();
  Debug::cleanup();
  ASSERT_TRUE(ok) << error;
  EXPECT_EQ(out,
            "Linker::doPatchCore16E() - RELOCT_CALL, value=0x0104\n"
            "Linker::doPatchCore16E() - RELOCT_CALL2, value=0x0104\n");
}
