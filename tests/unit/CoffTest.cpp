#include "TestSupport.h"
#include "coff/Coff.h"
#include "coff/CoffWriter.h"
#include "support/InputFile.h"

using namespace tarsil;
using namespace tarsil::test;

namespace {

syment symbol(const std::string& shortName, int16_t scnum, uint8_t sclass, uint8_t numaux = 0, uint16_t type = 0) {
  syment s;
  std::memcpy(s.n_name, shortName.data(), std::min<size_t>(shortName.size(), 8));
  s.n_scnum = scnum, s.n_sclass = sclass, s.n_numaux = numaux, s.n_type = type;
  return s;
}

void push(Coff& c, const syment& s, AuxKind k = AuxKind::none) { c.cSymTbl.push_back(s), c.cSymKind.push_back(k); }

template <class Aux>
void pushAux(Coff& c, const Aux& aux, AuxKind kind) {
  syment slot;
  setAux(slot, aux);
  push(c, slot, kind);
}

void section(Coff& c, int number, const std::string& name, Coff::ScnType kind, uint32_t paddr = 0) {
  scnhdr h;
  Coff::setName(h, c.cStrTbl, name);
  Coff::setScnFlags(h, kind, false, false, false);
  h.s_paddr = paddr;
  c.cScnHdr[name] = h;
  c.cScnNum[number] = name;
}

// Sections: 1 .text (code, relocations, lines), 2 a long-named idata
// section, 3 .bss. Slots: 0-1 file, 2-5 function with three aux entries,
// 6 long-named external, 7-8 section symbol, 9 external reference.
Coff sampleCoff() {
  Coff c;
  c.cFileName = "sample.o";
  c.cFileHdr.f_flags = F_GENERIC;
  c.cOptHdr = opthdr{0x5678, 3, 0x2A10, 14, 8};
  Coff::addString(c.cStrTbl, "a_long_section_name");
  uint32_t longSym = Coff::addString(c.cStrTbl, "a_long_symbol_name");
  uint32_t source = Coff::addString(c.cStrTbl, "main.asm");
  section(c, 1, ".text", Coff::code);
  section(c, 2, "a_long_section_name", Coff::idata, 0x100);
  section(c, 3, ".bss", Coff::udata, 0x200);
  c.cRawData[".text"] = Data(4, "\1\2\3\4");
  c.cRawData["a_long_section_name"] = Data(3, "xyz");
  c.cRawData[".bss"] = Data(16);
  c.cReloc[".text"] = {reloc{0, 9, -2, 1}, reloc{2, 6, 5, 7}};
  c.cLineInfo[".text"] = {coff_lineno{0, 10, 0, LINENO_HASFCN, 2}, coff_lineno{0, 11, 1, LINENO_HASFCN, 2}};

  push(c, symbol(".file", -2, C_FILE, 1));
  pushAux(c, aux_file{source, 0, 0, {}}, AuxKind::file);
  push(c, symbol("main", 1, C_EXT, 3, DT_FCN << 4));
  pushAux(c, aux_fcn{0, 0, 0, 6, 0, {}}, AuxKind::fcn);
  pushAux(c, aux_fcn_calls{9, 1, {}}, AuxKind::fcn_calls);
  pushAux(c, aux_fcn_calls{NO_CALLEE, 0, {}}, AuxKind::fcn_calls);
  syment longOne = symbol("", 2, C_EXT);
  longOne.set_n_offset(longSym);
  push(c, longOne);
  push(c, symbol(".text", 1, C_STAT, 1));
  pushAux(c, aux_scn{4, 2, 2, {}}, AuxKind::scn);
  push(c, symbol("ext", 0, C_EXT));
  return c;
}

Bytes sampleImage() { Coff c = sampleCoff(); c.preWrite(1000); return c.image(); }

std::unique_ptr<Coff> read(const Bytes& b, const std::string& name = "x.o") {
  return Coff::make(std::span<const uint8_t>(b), name);
}

std::string readFailure(const Bytes& b) { return said([&b] { EXPECT_EQ(read(b), nullptr); }); }

constexpr size_t scnHdr(size_t i) { return 36 + 40 * i; }

using CoffTest = ErrorsReset;

}  // namespace

TEST_F(CoffTest, AuxKeepsItsReservedBytes) {
  syment slot;
  for (size_t i = 0; i < 8; ++i) slot.n_name[i] = static_cast<char>(0x50 + i);
  slot.n_value = 0xDEADBEEF;
  slot.n_numaux = 0x77;
  aux_fcn fcn = getAux<aux_fcn>(slot);
  EXPECT_EQ(fcn.x_lnnoptr, 0xDEADBEEFu);
  fcn.x_lnnoptr = 0x11223344;
  setAux(slot, fcn);
  EXPECT_EQ(slot.n_value, 0x11223344u);
  EXPECT_EQ(slot.n_name[3], 0x53);
  EXPECT_EQ(slot.n_numaux, 0x77);
}

TEST_F(CoffTest, NamesOfEightCharactersStayInTheFieldLongerOnesUseTheTable) {
  StringTable table;
  Coff::addString(table, "first_string");
  uint32_t nine = Coff::addString(table, "ninechars");
  EXPECT_EQ(nine, 4u + 13u);

  scnhdr h;
  Coff::setName(h, table, "eight_ch");
  EXPECT_FALSE(Coff::needsString(h));
  EXPECT_EQ(0, std::memcmp(h.s_name, "eight_ch", 8));
  Coff::setName(h, table, "ninechars");
  EXPECT_TRUE(Coff::needsString(h));
  EXPECT_EQ(h.s_offset(), nine);
  EXPECT_EQ(Coff::getName(h, table), "ninechars");
  Coff::setName(h, table, "ab");
  EXPECT_EQ(Coff::getName(h, table), "ab");
  EXPECT_EQ(h.s_name[2], 0);

  syment s;
  s.set_n_offset(5);
  EXPECT_FALSE(Coff::findName(s, table).has_value());
  EXPECT_EXIT(Coff::getName(s, table), testing::ExitedWithCode(255), "");
  EXPECT_EXIT(Coff::setName(s, table, "not_in_the_table"), testing::ExitedWithCode(255), "");
}

TEST(StringTable, NamesStayWhereTheyAreWhileTablesGrowAndShare) {
  StringTable a;
  a.assign(std::string("alpha\0beta\0", 11));
  const std::string_view beta = *a.at(10);
  // The copy shares a's bytes; what either adds the other never sees, and
  // no view of either moves (the sanitizers see to that).
  StringTable b = a;
  for (int i = 0; i < 1000; ++i) b.add("name_" + std::to_string(i));
  EXPECT_EQ(a.add("gamma"), 15u);
  EXPECT_EQ(beta, "beta");
  EXPECT_EQ(a.at(15), "gamma");
  EXPECT_EQ(b.at(15), "name_0");
  EXPECT_EQ(a.size(), 3u);
  EXPECT_EQ(b.size(), 1002u);
  // Only a string's first byte names it.
  for (uint32_t none : {0u, 3u, 5u, 9u, 21u, 0xFFFFFFFFu}) EXPECT_FALSE(a.at(none).has_value()) << none;

  uint32_t next = 4;
  for (const auto& [offset, text] : b) {
    ASSERT_EQ(offset, next);
    ASSERT_EQ(b.find(offset)->second, text);
    next += static_cast<uint32_t>(text.size()) + 1;
  }
  EXPECT_EQ(next, b.nextOffset());
  EXPECT_EQ(b.offsetOf("name_999"), b.nextOffset() - 9);
}

TEST_F(CoffTest, WriteReadWriteReproducesTheImage) {
  Coff c = sampleCoff();
  c.preWrite(1000);
  const Bytes image = c.image();
  ASSERT_EQ(image.size(), c.size());
  EXPECT_EQ(c.size(), 36u + 3 * 40 + 4 + 3 + 2 * 12 + 2 * 16 + 10 * 18 + (4 + 20 + 19 + 9));

  auto back = read(image, "sample.o");
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->verify());
  EXPECT_EQ(back->cSymKind, c.cSymKind);
  // Keys follow the strings: 4, then 4 + 19 + 1, then that + 18 + 1.
  EXPECT_EQ(back->cStrTbl, (StringTable{"a_long_section_name", "a_long_symbol_name", "main.asm"}));
  EXPECT_EQ(back->cStrTbl.find(43)->second, "main.asm");
  EXPECT_EQ(back->cScnNum, c.cScnNum);
  EXPECT_EQ(back->cOptHdr.proc_type, 0x2A10u);
  EXPECT_EQ(back->cReloc[".text"][0].r_offset, -2);
  back->preWrite(1000);
  EXPECT_EQ(back->image(), image);

  // The section that holds no bytes keeps its size.
  const scnhdr& bss = back->cScnHdr.at(".bss");
  EXPECT_EQ(bss.s_scnptr, 0u);
  EXPECT_EQ(bss.s_size, 16u);
  EXPECT_EQ(back->cRawData.count(".bss"), 0u);
  // The function's aux record points at its first line.
  const scnhdr& text = back->cScnHdr.at(".text");
  EXPECT_EQ(getAux<aux_fcn>(back->cSymTbl[3]).x_lnnoptr, text.s_lnnoptr);
  EXPECT_EQ(text.s_lnnoptr, text.s_relptr + 2 * 12);

  // Nothing at all: headers and an empty string table.
  Coff empty;
  empty.preWrite(0);
  EXPECT_EQ(empty.image().size(), 40u);
  auto none = read(empty.image());
  ASSERT_NE(none, nullptr);
  EXPECT_TRUE(none->cStrTbl.empty());
}

TEST_F(CoffTest, ReadingFillsSectionsWithoutData) {
  // A size without a file pointer reads as zeros; a size of 0 as no entry.
  Bytes b = sampleImage();
  put32(b, scnHdr(0) + 20, 0);
  put32(b, scnHdr(1) + 16, 0);
  auto c = read(b);
  ASSERT_NE(c, nullptr);
  const Data& text = c->cRawData.at(".text");
  ASSERT_EQ(text.size(), 4u);
  EXPECT_EQ(text.bytes()[0], 0);
  EXPECT_EQ(c->cRawData.count("a_long_section_name"), 0u);
}

TEST_F(CoffTest, FilesOnDiskOrTheirFailures) {
  Coff c = sampleCoff();
  const std::string path = tempPath("coff");
  c.cFileName = path;
  c.preWrite();
  EXPECT_NE(c.cFileHdr.f_timdat, 0u);
  ASSERT_TRUE(c.write());
  auto back = Coff::make(path);
  std::remove(path.c_str());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->image(), c.image());

  c.cFileName = "/nonexistent/dir/y.o";
  EXPECT_EQ(said([&] { EXPECT_EQ(Coff::make(std::string("/nonexistent/dir/x.o")), nullptr); EXPECT_FALSE(c.write()); }),
            "Error - Could not open Coff file '/nonexistent/dir/x.o' for reading.\n"
            "Error - Could not open Coff file '/nonexistent/dir/y.o' for writing.\n");
}

// Lines of other functions and sections come first; functions without lines
// keep what they had. Past a few sections the layout uses an index.
TEST_F(CoffTest, FunctionsPointAtTheirFirstLineInTheirOwnSection) {
  Coff c;
  section(c, 1, "one", Coff::code);
  section(c, 2, "two", Coff::code);
  for (int i = 0; i < 20; ++i) section(c, 3 + i, "x" + std::to_string(i), Coff::code);
  for (int scnum : {1, 2, 1, 7}) {  // slots 0, 2, 4 (no lines), 6 (no such section)
    push(c, symbol("f", static_cast<int16_t>(scnum), C_EXT, 1));
    pushAux(c, aux_fcn{0, 0, 0xDEAD, 0, 0, {}}, AuxKind::fcn);
  }
  auto line = [](uint32_t fcn, bool flag = true) {
    return coff_lineno{0, 1, 0, uint16_t(flag ? LINENO_HASFCN : 0), fcn};
  };
  c.cLineInfo["one"] = {line(2), line(0, false), line(0), line(2), line(0)};
  c.cLineInfo["two"] = {line(0), line(6), line(2), line(2)};
  c.preWrite(0);
  const uint32_t one = c.cScnHdr.at("one").s_lnnoptr, two = c.cScnHdr.at("two").s_lnnoptr;
  EXPECT_EQ(two, one + 5 * 16);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[1]).x_lnnoptr, one + 2 * 16);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[3]).x_lnnoptr, two + 2 * 16);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[5]).x_lnnoptr, 0xDEADu);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[7]).x_lnnoptr, 0xDEADu);
}

// Extents across window edges read back as they stand, and a reused buffer
// never shows the previous file's bytes.
TEST_F(CoffTest, ExtentsOfFilesReadBackAcrossWindows) {
  const std::string path = tempPath("extents");
  constexpr size_t w = InputBytes::kWindow;
  InputBytes bytes;
  for (size_t size : {3 * w + 17, size_t{100}, size_t{0}}) {
    Bytes file(size);
    for (size_t i = 0; i < size; ++i) file[i] = static_cast<uint8_t>(i * 7 + i / 251 + size);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()), file.size());
    ASSERT_TRUE(bytes.open(path));
    ASSERT_EQ(bytes.size(), size);
    const std::pair<size_t, size_t> extents[] = {{0, 20}, {w - 3, 10}, {size / 2, size / 3}, {1, 2 * w}, {w, w + 1},
                                                 {size - std::min<size_t>(size, 5), std::min<size_t>(size, 5)}, {0, size}};
    for (auto [offset, length] : extents) {
      if (offset + length > size) continue;
      SCOPED_TRACE(std::to_string(size) + " " + std::to_string(offset) + " " + std::to_string(length));
      const uint8_t* view = bytes.view(offset, length);
      ASSERT_NE(view, nullptr);
      EXPECT_TRUE(std::equal(view, view + length, file.begin() + offset));
      Bytes copied(length);
      EXPECT_TRUE(bytes.copy(offset, length, copied.data()));
      EXPECT_TRUE(std::equal(copied.begin(), copied.end(), file.begin() + offset));
    }
    EXPECT_EQ(bytes.view(size, 1), nullptr);
    EXPECT_EQ(bytes.view(size + 1, 0), nullptr);
    bytes.close();
  }
  std::remove(path.c_str());
}

TEST_F(CoffTest, EachReadingStepHasItsOwnFailure) {
  const std::string head = "Error - Coff file 'x.o'";
  const std::pair<std::function<void(Bytes&)>, std::string> cases[] = {
      {[](Bytes& b) { b.resize(19); }, " could not read file header."},
      {[](Bytes& b) { put16(b, 0, 0x1235); }, " does not appear to be a valid COFF file."},
      {[](Bytes& b) { b.resize(35); }, " could not read optional file header."},
      {[](Bytes& b) { put32(b, 12, 0x10000000); }, " could not read string table length."},
      // The symbol-table pointer moves the string table with it.
      {[](Bytes& b) { put32(b, 8, get32(b, 8) + 1000); }, " could not read string table length."},
      {[](Bytes& b) { put32(b, get32(b, 8) + 180, 0xFFFFFFF0); }, " could not read string table."},
      {[](Bytes& b) { b.back() = 'x'; }, " could not read string table."},
      {[](Bytes& b) { put32(b, scnHdr(1) + 4, 5); }, " section[1] has an invalid s_offset."},
      {[](Bytes& b) { put32(b, scnHdr(0) + 20, 0xFFFFFFF0); }, " could not read raw data."},
      {[](Bytes& b) { put32(b, scnHdr(2) + 16, 0x40000000), put32(b, scnHdr(2) + 36, STYP_DATA); },
       " could not read raw data."},
      {[](Bytes& b) { put16(b, scnHdr(0) + 34, 0xFFFF); }, " could not read line numbers."},
      {[](Bytes& b) { put32(b, scnHdr(0) + 24, 0xFFFFFFFF); }, " could not read relocation info."},
  };
  for (const auto& [damage, message] : cases) {
    SCOPED_TRACE(message);
    Bytes b = sampleImage();
    damage(b);
    EXPECT_EQ(readFailure(b), head + message + "\n");
  }
  // A header past the end, with and without symbols to place the string table.
  Coff one;
  section(one, 1, ".text", Coff::code);
  Bytes b;
  for (int symbols = 0; symbols < 2; ++symbols) {
    if (symbols) push(one, symbol("a", 0, C_EXT));
    one.preWrite(0);
    b = one.image();
    put16(b, 2, 2);
    EXPECT_EQ(readFailure(b), head + " could not read section header.\n");
  }

  // Many headers sharing one block of data, which each would copy again.
  Coff many;
  for (int i = 1; i <= 64; ++i) section(many, i, "s" + std::to_string(i), Coff::romdata);
  many.cRawData["s1"] = Data(4096);
  many.preWrite(0);
  b = many.image();
  for (size_t i = 1; i < 64; ++i) put32(b, scnHdr(i) + 16, 4096), put32(b, scnHdr(i) + 20, get32(b, scnHdr(0) + 20));
  EXPECT_EQ(readFailure(b), head + " could not read raw data.\n");
}

TEST_F(CoffTest, VerifyReportsEachBrokenReference) {
  const std::string head = "Error - Coff file 'sample.o'";
  const std::pair<std::function<void(Coff&)>, std::string> cases[] = {
      {[](Coff& c) { c.cSymTbl[6].n_scnum = 4; }, " symbol[6] has an invalid n_scnum."},
      {[](Coff& c) { c.cSymTbl[6].set_n_offset(5); }, " symbol[6] has an invalid n_offset."},
      {[](Coff& c) { c.cScnHdr.at("a_long_section_name").set_s_offset(99); }, " section[2] has an invalid s_offset."},
      {[](Coff& c) { c.cReloc[".text"][1].r_symndx = 10; }, ", section '.text' reloc[1] has an invalid r_symndx."},
      {[](Coff& c) { c.cSymTbl.clear(), c.cSymKind.clear(), c.cLineInfo.clear(); },
       " has relocation entries but an empty symbol table."},
      {[](Coff& c) { setAux(c.cSymTbl[3], aux_fcn{0, 0, 0, 10, {}}); }, " symbol[3] has an invalid index."},
      {[](Coff& c) { setAux(c.cSymTbl[4], aux_fcn_calls{10, 0, {}}); }, " symbol[4] has an invalid index."},
      // A function whose type also makes it an array keeps a function record.
      {[](Coff& c) {
         c.cSymTbl[2].n_type = 0xE0, c.cSymKind[3] = AuxKind::arr;
         setAux(c.cSymTbl[3], aux_fcn{0, 0, 0, 10, {}});
       },
       " symbol[3] has an invalid index."},
      {[](Coff& c) { c.cLineInfo[".text"][1].l_srcndx = 10; }, ", section '.text' line[1] has an invalid l_srcndx."},
      {[](Coff& c) { c.cLineInfo[".text"][0].l_fcnndx = 99; }, ", section '.text' line[0] has an invalid l_fcnndx."},
      {[](Coff& c) { c.cScnNum[4] = ".text"; }, ", cScnHdr.size() != cScnNum.size() ."},
      {[](Coff& c) { c.cScnNum[3] = ".stack"; }, ", section '.stack' has no section header."},
      {[](Coff& c) { setAux(c.cSymTbl[1], aux_file{77, 0, 0, {}}); }, " symbol[1] has an invalid x_offset."},
  };
  // The writer's shortcut falls back on the full walk and its messages.
  auto writerSays = [](Coff& c, bool expected) {
    return said([&] { EXPECT_EQ(CoffWriter(c).verify(), expected); });
  };
  Coff sound = sampleCoff();
  EXPECT_TRUE(sound.verify());
  EXPECT_EQ(writerSays(sound, true), "");
  for (const auto& [damage, message] : cases) {
    SCOPED_TRACE(message);
    Coff c = sampleCoff();
    damage(c);
    EXPECT_EQ(said([&] { EXPECT_FALSE(c.verify()); }), head + message + "\n");
    EXPECT_EQ(writerSays(c, false), head + message + "\n");
  }

  // Only a Coff built in memory has counts the headers cannot hold, or empty names.
  Coff c = sampleCoff();
  c.cLineInfo[".text"].resize(0x10000, coff_lineno{0, 1, 0, 0, 0});
  EXPECT_EQ(writerSays(c, false), head + ", section '.text' has more line numbers than a section header can count.\n");
  c = sampleCoff();
  c.cScnNum[4] = "";
  c.cScnHdr[""].s_name[0] = 'x';
  EXPECT_EQ(writerSays(c, false), head + " section[3] has an empty name.\n");

  // Without the function flag the function index is not looked at.
  c = sampleCoff();
  c.cLineInfo[".text"][0] = coff_lineno{0, 1, 0, 0, 99};
  EXPECT_TRUE(c.verify());
  // All problems are reported, not just the first.
  c.cSymTbl[6].n_scnum = 9;
  c.cReloc[".text"][0].r_symndx = 100;
  EXPECT_EQ(said([&] { EXPECT_FALSE(c.verify()); }),
            head + " symbol[6] has an invalid n_scnum.\n" + head + ", section '.text' reloc[0] has an invalid r_symndx.\n");
}
