#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <functional>
#include <sstream>

#include "coff/Coff.h"
#include "support/InputFile.h"
#include "coff/CoffWriter.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& b, size_t at, uint16_t v) {
  b.at(at) = static_cast<uint8_t>(v);
  b.at(at + 1) = static_cast<uint8_t>(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const Bytes& b, size_t at) {
  return b.at(at) | (b.at(at + 1) << 8) | (b.at(at + 2) << 16) | (static_cast<uint32_t>(b.at(at + 3)) << 24);
}
void append16(Bytes& b, uint16_t v) {
  b.push_back(static_cast<uint8_t>(v));
  b.push_back(static_cast<uint8_t>(v >> 8));
}
void append32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void appendName(Bytes& b, const std::string& name) {
  for (size_t i = 0; i < 8; ++i) b.push_back(i < name.size() ? static_cast<uint8_t>(name[i]) : 0);
}

syment symbol(const std::string& shortName, int16_t scnum, uint8_t sclass, uint8_t numaux = 0, uint16_t type = 0) {
  syment s;
  std::memcpy(s.n_name, shortName.data(), std::min<size_t>(shortName.size(), 8));
  s.n_scnum = scnum;
  s.n_sclass = sclass;
  s.n_numaux = numaux;
  s.n_type = type;
  return s;
}

void push(Coff& c, const syment& s, AuxKind kind = AuxKind::none) {
  c.cSymTbl.push_back(s);
  c.cSymKind.push_back(kind);
}

template <class Aux>
void pushAux(Coff& c, const Aux& aux, AuxKind kind) {
  syment slot;
  setAux(slot, aux);
  push(c, slot, kind);
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

  const char* names[] = {".text", "a_long_section_name", ".bss"};
  const Coff::ScnType kinds[] = {Coff::code, Coff::idata, Coff::udata};
  for (int i = 0; i < 3; ++i) {
    scnhdr h;
    Coff::setName(h, c.cStrTbl, names[i]);
    Coff::setScnFlags(h, kinds[i], false, false, false);
    h.s_paddr = 0x100u * static_cast<uint32_t>(i);
    c.cScnHdr[names[i]] = h;
    c.cScnNum[i + 1] = names[i];
  }
  const char text[] = {1, 2, 3, 4};
  c.cRawData[".text"] = Data(4, text);
  c.cRawData["a_long_section_name"] = Data(3, "xyz");
  c.cRawData[".bss"] = Data(16);
  c.cReloc[".text"] = {reloc{0, 9, -2, 1}, reloc{2, 6, 5, 7}};
  c.cLineInfo[".text"] = {coff_lineno{0, 10, 0, LINENO_HASFCN, 2}, coff_lineno{0, 11, 1, LINENO_HASFCN, 2}};

  push(c, symbol(".file", -2, C_FILE, 1));
  aux_file file;
  file.x_offset = source;
  pushAux(c, file, AuxKind::file);
  push(c, symbol("main", 1, C_EXT, 3, DT_FCN << 4));
  aux_fcn fcn;
  fcn.x_endndx = 6;
  pushAux(c, fcn, AuxKind::fcn);
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

Bytes sampleImage() {
  Coff c = sampleCoff();
  c.preWrite(1000);
  return c.image();
}

std::unique_ptr<Coff> read(const Bytes& b, const std::string& name = "x.o") {
  return Coff::make(std::span<const uint8_t>(b), name);
}

// What a failed read printed; the read must have failed.
std::string readFailure(const Bytes& b) {
  testing::internal::CaptureStdout();
  auto c = read(b);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(c, nullptr);
  return out;
}

constexpr size_t scnHdr(size_t i) { return 36 + 40 * i; }

// An image in the older layout, built by hand: no optional header, 10-byte
// relocations, 6-byte line entries and file names inside the aux records.
Bytes oldImage() {
  Bytes b;
  const uint32_t scnptr = 20 + 40, relptr = scnptr + 2, lnnoptr = relptr + 2 * 10, symptr = lnnoptr + 5 * 6;
  const uint32_t nsyms = 10;
  append16(b, COFF_MAGIC);
  append16(b, 1);
  append32(b, 0);
  append32(b, symptr);
  append32(b, nsyms);
  append16(b, 0);
  append16(b, 0);
  appendName(b, ".text");
  for (uint32_t v : {0u, 0u, 2u, scnptr, relptr, lnnoptr}) append32(b, v);
  append16(b, 2);
  append16(b, 5);
  append32(b, STYP_TEXT);
  b.push_back(0xAA);
  b.push_back(0xBB);
  for (uint32_t r : {0u, 1u}) {
    append32(b, r);
    append32(b, 4 + r);
    append16(b, r == 0 ? 0x99 : 1);
  }
  const std::pair<uint32_t, uint16_t> lines[] = {{7, 0}, {0x10, 10}, {0x11, 11}, {9, 0}, {0x20, 20}};
  for (auto [first, lnno] : lines) {
    append32(b, first);
    append16(b, lnno);
  }
  auto sym = [&](const std::string& name, int16_t scnum, uint8_t sclass, uint8_t numaux) {
    Bytes s(18, 0);
    for (size_t i = 0; i < name.size() && i < 8; ++i) s[i] = static_cast<uint8_t>(name[i]);
    put16(s, 12, static_cast<uint16_t>(scnum));
    s[16] = sclass;
    s[17] = numaux;
    b.insert(b.end(), s.begin(), s.end());
  };
  auto fileAux = [&](const std::string& name) {
    Bytes s(18, 0);
    std::copy(name.begin(), name.end(), s.begin());
    b.insert(b.end(), s.begin(), s.end());
  };
  sym(".file", -2, C_FILE, 1);
  fileAux("first.c");
  sym(".file", -2, C_FILE, 1);
  fileAux("second_file.c");
  for (int i = 4; i < 10; ++i) sym("s" + std::to_string(i), 1, C_EXT, 0);
  const std::string strings = std::string("a_long_symbol") + '\0';
  append32(b, static_cast<uint32_t>(4 + strings.size()));
  b.insert(b.end(), strings.begin(), strings.end());
  return b;
}

class CoffTest : public testing::Test {
protected:
  void SetUp() override { Error::reset(); }
  void TearDown() override { Error::reset(); }
};

}  // namespace

// --- records and predicates ----------------------------------------------------------

TEST_F(CoffTest, RecordsEncodeLittleEndianAtTheirOffsets) {
  coff_lineno l{0x01020304, 0x0506, 0x0708090A, 0x0B0C, 0x0D0E0F10};
  uint8_t b[16];
  l.encode(b);
  const uint8_t expected[16] = {4, 3, 2, 1, 6, 5, 0xA, 9, 8, 7, 0xC, 0xB, 0x10, 0xF, 0xE, 0xD};
  EXPECT_EQ(0, std::memcmp(b, expected, 16));

  // Reserved bytes of an auxiliary record survive a change of its fields.
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
  aux_tag tag = getAux<aux_tag>(slot);
  tag.x_size = 9;
  setAux(slot, tag);
  EXPECT_EQ(slot.n_name[0], 0x50);
  EXPECT_EQ(slot.n_value, 0x11223344u);
}

TEST_F(CoffTest, AuxKindFollowsTheTestOrder) {
  EXPECT_EQ(hasAux(symbol(".file", -2, C_FILE, 0)), AuxKind::none);
  EXPECT_EQ(hasAux(symbol(".file", -2, C_FILE, 1)), AuxKind::file);
  // An array of functions is an array first.
  EXPECT_EQ(hasAux(symbol("f", 1, C_EXT, 1, (DT_FCN << 4) | (DT_ARY << 6))), AuxKind::arr);
  EXPECT_EQ(hasAux(symbol("a", 1, C_EXT, 1, DT_ARY << 14)), AuxKind::arr);
  EXPECT_EQ(hasAux(symbol("f", 1, C_EXT, 1, DT_FCN << 4)), AuxKind::fcn);
  EXPECT_EQ(hasAux(symbol("f", 1, C_EXT, 1, DT_FCN << 6)), AuxKind::none);
  EXPECT_EQ(hasAux(symbol(".bf", 1, C_FCN, 1)), AuxKind::bobf);
  EXPECT_EQ(hasAux(symbol(".eb", 1, C_BLOCK, 1)), AuxKind::eobf);
  EXPECT_EQ(hasAux(symbol("tag", 0, C_STRTAG, 1, T_STRUCT)), AuxKind::tag);
  EXPECT_EQ(hasAux(symbol("v", 1, C_EXT, 1, T_UNION)), AuxKind::var);
  EXPECT_EQ(hasAux(symbol(".data", 1, C_STAT, 1)), AuxKind::scn);
  EXPECT_EQ(hasAux(symbol("sect", 1, C_SECTION, 1)), AuxKind::scn);
  // A long name never makes a section symbol, whatever it says.
  syment longName = symbol("", 1, C_STAT, 1);
  longName.set_n_offset(4);
  EXPECT_FALSE(isScn(longName));
  EXPECT_EQ(hasAux(longName), AuxKind::none);
}

TEST_F(CoffTest, RelocationsAndLinesCompareOnTheirKeyFieldsOnly) {
  EXPECT_EQ((reloc{4, 2, 1, 7}), (reloc{4, 2, -9, 7}));
  EXPECT_NE((reloc{4, 2, 1, 7}), (reloc{4, 3, 1, 7}));
  EXPECT_LT((reloc{3, 9, 0, 9}), (reloc{4, 0, 0, 0}));
  EXPECT_FALSE((reloc{4, 0, 0, 0}) < (reloc{4, 9, 0, 9}));
  EXPECT_EQ((coff_lineno{1, 2, 3, 0, 0}), (coff_lineno{1, 2, 3, 1, 99}));
  EXPECT_LT((coff_lineno{9, 2, 9, 0, 0}), (coff_lineno{0, 3, 0, 0, 0}));
}

TEST_F(CoffTest, SectionFlagsAndKinds) {
  scnhdr h;
  Coff::setScnFlags(h, Coff::actrec, true, true, true);
  EXPECT_EQ(h.s_flags, STYP_ABS | STYP_SHARED | STYP_ACCESS | STYP_ACTREC);
  EXPECT_EQ(Coff::getScnType(h), Coff::actrec);
  h.s_flags |= STYP_OVRLY;
  Coff::setScnFlags(h, Coff::unknown, false, false, false);
  EXPECT_EQ(h.s_flags, 0u);
  h.s_flags = STYP_BSS | STYP_DATA;
  EXPECT_EQ(Coff::getScnType(h), Coff::idata);
  EXPECT_STREQ(Coff::scnTypeName(Coff::romdata), "romdata");
}

TEST_F(CoffTest, NamesOfEightCharactersStayInTheFieldLongerOnesUseTheTable) {
  std::map<int, std::string> table;
  Coff::addString(table, "first_string");
  uint32_t nine = Coff::addString(table, "ninechars");
  EXPECT_EQ(nine, 4u + 13u);

  scnhdr h;
  Coff::setName(h, table, "eight_ch");
  EXPECT_FALSE(Coff::needsString(h));
  EXPECT_EQ(0, std::memcmp(h.s_name, "eight_ch", 8));
  EXPECT_EQ(Coff::getName(h, table), "eight_ch");
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

// --- writing and reading back --------------------------------------------------------

TEST_F(CoffTest, WriteReadWriteReproducesTheImage) {
  Coff c = sampleCoff();
  c.preWrite(1000);
  const Bytes image = c.image();
  ASSERT_EQ(image.size(), c.size());

  auto back = read(image, "sample.o");
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->verify());
  EXPECT_EQ(back->cSymKind, c.cSymKind);
  EXPECT_EQ(back->cStrTbl, c.cStrTbl);
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
  EXPECT_EQ(c.size(), 36u + 3 * 40 + 4 + 3 + 2 * 12 + 2 * 16 + 10 * 18 + (4 + 20 + 19 + 9));

  // The function's aux record points at its first line.
  const scnhdr& text = back->cScnHdr.at(".text");
  EXPECT_EQ(getAux<aux_fcn>(back->cSymTbl[3]).x_lnnoptr, text.s_lnnoptr);
  EXPECT_EQ(text.s_lnnoptr, text.s_relptr + 2 * 12);
}

TEST_F(CoffTest, FilesOnDiskAndImagesInsideLargerFiles) {
  Coff c = sampleCoff();
  char path[] = "/tmp/tarsil-coff-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  c.cFileName = path;
  c.preWrite();
  EXPECT_NE(c.cFileHdr.f_timdat, 0u);
  ASSERT_TRUE(c.write());
  auto back = Coff::make(std::string(path));
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->image(), c.image());

  // Every pointer of an image at offset 1000 counts from there.
  std::FILE* fp = std::fopen(path, "wb+");
  ASSERT_NE(fp, nullptr);
  const Bytes junk(1000, 0xEE);
  std::fwrite(junk.data(), 1, junk.size(), fp);
  ASSERT_TRUE(c.write(fp, 1000));
  std::fclose(fp);
  InputBytes bytes;
  ASSERT_TRUE(bytes.open(path));
  auto inner = Coff::make(bytes, 1000, "member.o");
  std::remove(path);
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->cFileName, "member.o");
  EXPECT_EQ(inner->cRawData.at(".text").bytes()[3], 4);
  inner->cFileName = path;
  EXPECT_EQ(inner->image(), c.image());

  testing::internal::CaptureStdout();
  EXPECT_EQ(Coff::make(std::string("/nonexistent/dir/x.o")), nullptr);
  c.cFileName = "/nonexistent/dir/y.o";
  EXPECT_FALSE(c.write());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error - Could not open Coff file '/nonexistent/dir/x.o' for reading.\n"
            "Error - Could not open Coff file '/nonexistent/dir/y.o' for writing.\n");
}

// A file is read a window at a time: every extent around and across the
// windows' edges reads back as it stands, and a buffer that served another
// file first never shows that file's bytes.
TEST_F(CoffTest, ExtentsOfFilesReadBackAcrossWindows) {
  char path[] = "/tmp/tarsil-extents-XXXXXX";
  int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  constexpr size_t w = InputBytes::kWindow;
  InputBytes bytes;
  for (size_t size : {3 * w + 17, size_t{100}, size_t{0}}) {
    Bytes file(size);
    for (size_t i = 0; i < size; ++i) file[i] = static_cast<uint8_t>(i * 7 + i / 251 + size);
    std::FILE* out = std::fopen(path, "wb");
    ASSERT_NE(out, nullptr);
    if (!file.empty()) std::fwrite(file.data(), 1, file.size(), out);
    std::fclose(out);
    ASSERT_TRUE(bytes.open(path));
    ASSERT_EQ(bytes.size(), size);
    const std::pair<size_t, size_t> extents[] = {{0, 20}, {w - 3, 10}, {size / 2, size / 3}, {1, 2 * w}, {w, w + 1},
                                                 {size - std::min<size_t>(size, 5), std::min<size_t>(size, 5)}, {0, size}};
    for (auto [offset, length] : extents) {
      if (offset + length > size) continue;
      const uint8_t* view = bytes.view(offset, length);
      ASSERT_NE(view, nullptr) << size << ' ' << offset << ' ' << length;
      EXPECT_TRUE(std::equal(view, view + length, file.begin() + offset)) << size << ' ' << offset << ' ' << length;
      Bytes copied(length);
      EXPECT_TRUE(bytes.copy(offset, length, copied.data()));
      EXPECT_TRUE(std::equal(copied.begin(), copied.end(), file.begin() + offset)) << size << ' ' << offset;
    }
    EXPECT_EQ(bytes.view(size, 1), nullptr);
    EXPECT_EQ(bytes.view(size + 1, 0), nullptr);
    bytes.close();
  }
  std::remove(path);
}

TEST_F(CoffTest, FilesWithoutSymbolsOrStringsReadBack) {
  // A stripped executable: no symbols, but a long section name whose string
  // table must be found after the last line entry.
  Coff c = sampleCoff();
  c.cSymTbl.clear();
  c.cSymKind.clear();
  c.cReloc.clear();
  c.cFileHdr.f_flags = F_EXEC | F_LNNO | F_LSYMS;
  c.preWrite(0);
  EXPECT_EQ(c.cFileHdr.f_symptr, 0u);
  auto back = read(c.image());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->cScnNum.at(2), "a_long_section_name");
  EXPECT_EQ(back->cStrTbl, c.cStrTbl);
  EXPECT_EQ(back->cLineInfo.at(".text").size(), 2u);
  c.cLineInfo.clear();
  c.preWrite(0);
  back = read(c.image());
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->verify());
  EXPECT_EQ(back->cStrTbl, c.cStrTbl);

  // Nothing at all: headers and an empty string table.
  Coff empty;
  empty.preWrite(0);
  Bytes image = empty.image();
  EXPECT_EQ(image.size(), 40u);
  back = read(image);
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->cStrTbl.empty());
  EXPECT_TRUE(back->cSymTbl.empty());
}

TEST_F(CoffTest, ReadingSplitsTheStringTableAndFillsSectionsWithoutData) {
  Bytes b = sampleImage();
  // Keys follow the strings: 4, then 4 + 19 + 1, then that + 18 + 1.
  auto c = read(b);
  ASSERT_NE(c, nullptr);
  std::map<int, std::string> expected{{4, "a_long_section_name"}, {24, "a_long_symbol_name"}, {43, "main.asm"}};
  EXPECT_EQ(c->cStrTbl, expected);

  // A section with a size but no file pointer gets zero bytes; one of size 0
  // gets no entry.
  put32(b, scnHdr(0) + 20, 0);
  put32(b, scnHdr(1) + 16, 0);
  c = read(b);
  ASSERT_NE(c, nullptr);
  const Data& text = c->cRawData.at(".text");
  ASSERT_EQ(text.size(), 4u);
  EXPECT_EQ(text.bytes()[0], 0);
  EXPECT_EQ(c->cRawData.count("a_long_section_name"), 0u);

  // Two headers of one name: the second wins, both are numbered.
  b = sampleImage();
  std::memcpy(&b[scnHdr(2)], ".text\0\0\0", 8);
  c = read(b);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cScnNum.at(3), ".text");
  EXPECT_TRUE(isBssScn(c->cScnHdr.at(".text")));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(c->verify());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error - Coff file 'x.o', cScnHdr.size() != cScnNum.size() .\n");
}

TEST_F(CoffTest, SymbolWalkTakesAuxSlotsOnlyWhenTheyFit) {
  Bytes b = sampleImage();
  const uint32_t symptr = get32(b, 8);
  // The section symbol's single aux slot is the last-but-one slot; give it
  // more aux slots than remain and the walk stops before them.
  b[symptr + 7 * 18 + 17] = 3;
  auto c = read(b);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cSymTbl.size(), 8u);
  EXPECT_EQ(c->cSymKind.back(), AuxKind::none);

  // A symbol whose aux slots have no kind leaves them as symbols.
  b = sampleImage();
  b[symptr + 9 * 18 + 17] = 0;
  b[symptr + 6 * 18 + 17] = 1;  // the long-named external, no kind of aux
  c = read(b);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->cSymKind[7], AuxKind::none);
  EXPECT_EQ(c->cSymKind[8], AuxKind::scn);
}

TEST_F(CoffTest, OlderLayoutIsConvertedOnTheFly) {
  testing::internal::CaptureStdout();
  auto c = read(oldImage(), "old.o");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error - Coff file 'old.o' missing optional file header.\n");
  EXPECT_EQ(Error::errors(), 1);
  ASSERT_NE(c, nullptr);

  const auto& relocs = c->cReloc.at(".text");
  ASSERT_EQ(relocs.size(), 2u);
  for (const reloc& r : relocs) {
    EXPECT_EQ(r.r_type, 4);
    EXPECT_EQ(r.r_offset, 0);
  }
  EXPECT_EQ(relocs[1].r_symndx, 5u);

  const auto& lines = c->cLineInfo.at(".text");
  ASSERT_EQ(lines.size(), 3u);
  const uint32_t fcn[] = {7, 7, 9}, lnno[] = {10, 11, 20}, paddr[] = {0x10, 0x11, 0x20};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(lines[i].l_fcnndx, fcn[i]);
    EXPECT_EQ(lines[i].l_lnno, lnno[i]);
    EXPECT_EQ(lines[i].l_paddr, paddr[i]);
    EXPECT_EQ(lines[i].l_flags, LINENO_HASFCN);
    EXPECT_EQ(lines[i].l_srcndx, 0u);
  }

  // File names join the string table at successive free offsets.
  std::map<int, std::string> expected{{4, "a_long_symbol"}, {18, "first.c"}, {26, "second_file.c"}};
  EXPECT_EQ(c->cStrTbl, expected);
  EXPECT_EQ(Coff::getName(getAux<aux_file>(c->cSymTbl[1]), c->cStrTbl), "first.c");
  aux_file second = getAux<aux_file>(c->cSymTbl[3]);
  EXPECT_EQ(second.x_offset, 26u);
  EXPECT_EQ(second.x_incline, 0u);
  EXPECT_TRUE(c->verify());

  // An empty name cannot stand in the table: no entry, and a record that
  // names none.
  Bytes empty = oldImage();
  const size_t firstAux = get32(empty, 8) + 18;
  std::fill(empty.begin() + static_cast<long>(firstAux), empty.begin() + static_cast<long>(firstAux + 18), 0);
  Error::quiet(true);
  auto unnamed = read(empty, "old.o");
  Error::quiet(false);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(unnamed->cStrTbl, (std::map<int, std::string>{{4, "a_long_symbol"}, {18, "second_file.c"}}));
  EXPECT_EQ(getAux<aux_file>(unnamed->cSymTbl[1]).x_offset, 0u);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(unnamed->verify());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error - Coff file 'old.o' symbol[1] has an invalid x_offset.\n");

  // Written out, it is a file of the current layout with the same content.
  c->preWrite(7);
  testing::internal::CaptureStdout();
  auto again = read(c->image(), "new.o");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->cFileHdr.f_opthdr, 16);
  EXPECT_EQ(again->cStrTbl, expected);
  EXPECT_EQ(again->cLineInfo.at(".text"), lines);
  EXPECT_EQ(again->cRawData.at(".text").size(), 2u);
}

// --- hostile input ---------------------------------------------------------------------

TEST_F(CoffTest, EachReadingStepHasItsOwnFailure) {
  const Bytes good = sampleImage();
  const uint32_t symptr = get32(good, 8);
  const std::string head = "Error - Coff file 'x.o'";
  struct Case {
    const char* what;
    std::function<void(Bytes&)> damage;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"short header", [](Bytes& b) { b.resize(19); }, " could not read file header."},
      {"magic", [](Bytes& b) { put16(b, 0, 0x1235); }, " does not appear to be a valid COFF file."},
      {"short optional header", [](Bytes& b) { b.resize(35); }, " could not read optional file header."},
      {"symbols past the end", [](Bytes& b) { put32(b, 12, 0x10000000); }, " could not read string table length."},
      {"string table too long", [](Bytes& b) { put32(b, get32(b, 8) + 180, 0xFFFFFFF0); },
       " could not read string table."},
      {"last string unterminated", [](Bytes& b) { b.back() = 'x'; }, " could not read string table."},
      {"section name offset", [](Bytes& b) { put32(b, scnHdr(1) + 4, 5); }, " section[1] has an invalid s_offset."},
      {"raw data past the end", [](Bytes& b) { put32(b, scnHdr(0) + 20, 0xFFFFFFF0); }, " could not read raw data."},
      {"huge zero fill",
       [](Bytes& b) {
         put32(b, scnHdr(2) + 16, 0x40000000);
         put32(b, scnHdr(2) + 36, STYP_DATA);
       },
       " could not read raw data."},
      {"line numbers", [](Bytes& b) { put16(b, scnHdr(0) + 34, 0xFFFF); }, " could not read line numbers."},
      {"relocations", [](Bytes& b) { put32(b, scnHdr(0) + 24, 0xFFFFFFFF); }, " could not read relocation info."},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    Bytes b = good;
    test.damage(b);
    EXPECT_EQ(readFailure(b), head + test.message + "\n");
  }
  // The same size is no fault in an uninitialized section, which is never
  // given its bytes: 4 GiB of it cost nothing.
  Bytes b = good;
  put32(b, scnHdr(2) + 16, 0xFFFFFFFF);
  auto bss = read(b, "x.o");
  ASSERT_NE(bss, nullptr);
  EXPECT_EQ(bss->cScnHdr.at(".bss").s_size, 0xFFFFFFFFu);
  EXPECT_EQ(bss->cRawData.count(".bss"), 0u);

  // The symbol-table pointer moves the string table with it.
  b = good;
  put32(b, 8, symptr + 1000);
  EXPECT_EQ(readFailure(b), head + " could not read string table length.\n");

  // A header past the end, with and without symbols to place the string table.
  Coff one;
  scnhdr h;
  Coff::setName(h, one.cStrTbl, ".text");
  one.cScnHdr[".text"] = h;
  one.cScnNum[1] = ".text";
  one.preWrite(0);
  b = one.image();
  put16(b, 2, 2);
  EXPECT_EQ(readFailure(b), head + " could not read section header.\n");
  push(one, symbol("a", 0, C_EXT));
  one.preWrite(0);
  b = one.image();
  put16(b, 2, 2);
  EXPECT_EQ(readFailure(b), head + " could not read section header.\n");
}

TEST_F(CoffTest, SectionsSharingBytesCannotMultiplyMemory) {
  // Many headers pointing at the same block of data: a file the writer makes
  // never does this, and each one would copy the block again.
  Coff c;
  c.cFileName = "many.o";
  for (int i = 1; i <= 64; ++i) {
    scnhdr h;
    std::string name = "s" + std::to_string(i);
    Coff::setName(h, c.cStrTbl, name);
    h.s_flags = STYP_DATA_ROM;
    c.cScnHdr[name] = h;
    c.cScnNum[i] = name;
  }
  c.cRawData["s1"] = Data(4096);
  c.preWrite(0);
  Bytes b = c.image();
  const uint32_t data = get32(b, scnHdr(0) + 20);
  for (size_t i = 1; i < 64; ++i) {
    put32(b, scnHdr(i) + 16, 4096);
    put32(b, scnHdr(i) + 20, data);
  }
  EXPECT_NE(readFailure(b).find("could not read raw data."), std::string::npos);
}

TEST_F(CoffTest, NoPrefixOrSingleByteDamageCrashesTheReader) {
  Error::quiet(true);
  for (const Bytes& good : {sampleImage(), oldImage()}) {
    for (size_t n = 0; n < good.size(); ++n) {
      Bytes prefix(good.begin(), good.begin() + static_cast<long>(n));
      auto c = read(prefix);
      // Cut anywhere before the string table's last byte, nothing is read.
      EXPECT_EQ(c, nullptr) << "prefix " << n;
    }
    for (size_t i = 0; i < good.size(); ++i) {
      for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
        Bytes b = good;
        b[i] = value;
        auto c = read(b);
        if (c && c->verify()) {
          c->preWrite(0);
          Bytes image = c->image();
          EXPECT_EQ(image.size(), c->size());
          auto again = read(image);
          ASSERT_NE(again, nullptr);
          again->preWrite(0);
          EXPECT_EQ(again->image(), image) << "byte " << i;
        }
      }
    }
  }
}

// Reading with the check folded in must say and decide exactly what reading
// and then checking does, whatever byte of the image is damaged.
TEST_F(CoffTest, VerifiedReadingAgreesWithReadingThenVerifying) {
  size_t refusedByCheck = 0;
  auto separately = [&refusedByCheck](const Bytes& b, std::string& said) {
    testing::internal::CaptureStdout();
    auto c = read(b);
    const bool ok = c && c->verify();
    said = testing::internal::GetCapturedStdout();
    if (c && !ok) ++refusedByCheck;
    return ok;
  };
  // The image size learnt while reading must be the one the writer gives,
  // since a library finds its next member by it.
  auto together = [](const Bytes& b, std::string& said) {
    testing::internal::CaptureStdout();
    unsigned long size = 0;
    auto c = Coff::makeVerified(std::span<const uint8_t>(b), "x.o", &size);
    said = testing::internal::GetCapturedStdout();
    if (c) {
      EXPECT_EQ(size, c->size());
    }
    return c != nullptr;
  };
  for (const Bytes& good : {sampleImage(), oldImage()}) {
    for (size_t i = 0; i < good.size(); ++i) {
      for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x01}, uint8_t{0x0B}}) {
        Bytes b = good;
        b[i] = value;
        std::string first, second;
        const bool ok = separately(b, first);
        EXPECT_EQ(together(b, second), ok) << "byte " << i << " value " << int{value};
        EXPECT_EQ(second, first) << "byte " << i << " value " << int{value};
      }
    }
  }
  // The damage must reach the checks, not only the reader's own.
  EXPECT_GT(refusedByCheck, 20u) << refusedByCheck;
}

// --- checking -------------------------------------------------------------------------------

TEST_F(CoffTest, VerifyReportsEachBrokenReference) {
  const std::string head = "Error - Coff file 'sample.o'";
  struct Case {
    const char* what;
    std::function<void(Coff&)> damage;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"n_scnum", [](Coff& c) { c.cSymTbl[6].n_scnum = 4; }, " symbol[6] has an invalid n_scnum."},
      {"n_offset", [](Coff& c) { c.cSymTbl[6].set_n_offset(5); }, " symbol[6] has an invalid n_offset."},
      {"s_offset", [](Coff& c) { c.cScnHdr.at("a_long_section_name").set_s_offset(99); },
       " section[2] has an invalid s_offset."},
      {"r_symndx", [](Coff& c) { c.cReloc[".text"][1].r_symndx = 10; },
       ", section '.text' reloc[1] has an invalid r_symndx."},
      {"no symbols",
       [](Coff& c) {
         c.cSymTbl.clear();
         c.cSymKind.clear();
         c.cLineInfo.clear();
       },
       " has relocation entries but an empty symbol table."},
      {"aux index",
       [](Coff& c) {
         aux_fcn a = getAux<aux_fcn>(c.cSymTbl[3]);
         a.x_endndx = 10;
         setAux(c.cSymTbl[3], a);
       },
       " symbol[3] has an invalid index."},
      {"callee", [](Coff& c) { setAux(c.cSymTbl[4], aux_fcn_calls{10, 0, {}}); }, " symbol[4] has an invalid index."},
      {"l_srcndx", [](Coff& c) { c.cLineInfo[".text"][1].l_srcndx = 10; },
       ", section '.text' line[1] has an invalid l_srcndx."},
      {"l_fcnndx", [](Coff& c) { c.cLineInfo[".text"][0].l_fcnndx = 99; },
       ", section '.text' line[0] has an invalid l_fcnndx."},
      {"numbering", [](Coff& c) { c.cScnNum[4] = ".text"; }, ", cScnHdr.size() != cScnNum.size() ."},
      {"unpaired name", [](Coff& c) { c.cScnNum[3] = ".stack"; }, ", section '.stack' has no section header."},
      {"file name", [](Coff& c) { setAux(c.cSymTbl[1], aux_file{77, 0, 0, {}}); }, " symbol[1] has an invalid x_offset."},
  };
  EXPECT_TRUE(sampleCoff().verify());
  // The writer passes what it can see to be sound without the full walk;
  // whatever it cannot, it leaves to the full walk and its messages.
  auto writerSays = [](Coff& c, bool& ok) {
    CoffWriter writer(c);
    testing::internal::CaptureStdout();
    ok = writer.verify();
    return testing::internal::GetCapturedStdout();
  };
  {
    Coff c = sampleCoff();
    bool ok = false;
    EXPECT_EQ(writerSays(c, ok), "");
    EXPECT_TRUE(ok);
  }
  for (const auto& test : cases) {
    SCOPED_TRACE(test.what);
    Coff c = sampleCoff();
    test.damage(c);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(c.verify());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), head + test.message + "\n");
    bool ok = true;
    EXPECT_EQ(writerSays(c, ok), head + test.message + "\n");
    EXPECT_FALSE(ok);
  }

  // Counts that the headers cannot hold, and a name no later stage could
  // tell from no section: only a Coff built in memory has them.
  {
    Coff c = sampleCoff();
    c.cLineInfo[".text"].resize(0x10000, coff_lineno{0, 1, 0, 0, 0});
    bool ok = true;
    EXPECT_EQ(writerSays(c, ok), head + ", section '.text' has more line numbers than a section header can count.\n");
    EXPECT_FALSE(ok);
  }
  {
    Coff c = sampleCoff();
    c.cScnNum[4] = "";
    scnhdr h{};
    h.s_name[0] = 'x';
    c.cScnHdr[""] = h;
    bool ok = true;
    EXPECT_EQ(writerSays(c, ok), head + " section[3] has an empty name.\n");
    EXPECT_FALSE(ok);
  }

  // Without the function flag the function index is not looked at.
  Coff c = sampleCoff();
  c.cLineInfo[".text"][0] = coff_lineno{0, 1, 0, 0, 99};
  EXPECT_TRUE(c.verify());

  // All problems are reported, not just the first.
  c.cSymTbl[6].n_scnum = 9;
  c.cReloc[".text"][0].r_symndx = 100;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(c.verify());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            head + " symbol[6] has an invalid n_scnum.\n" + head + ", section '.text' reloc[0] has an invalid r_symndx.\n");
}

TEST_F(CoffTest, DumpShowsEverySlotAsItsKind) {
  std::ostringstream os;
  sampleCoff().print(os);
  const std::string dump = os.str();
  EXPECT_EQ(dump.rfind("CoffFile:", 0), 0u);
  EXPECT_NE(dump.find("Index[3]: aux_fcn:"), std::string::npos);
  EXPECT_NE(dump.find("Index[5]: aux_fcn_calls: x_calleendx = 0xffffffff"), std::string::npos);
  EXPECT_NE(dump.find("Raw Data:"), std::string::npos);
  EXPECT_NE(dump.find("Offset[43]: main.asm"), std::string::npos);
}
