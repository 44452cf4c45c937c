// The layout that preWrite stores and the bytes the writer emits, for
// objects whose tables do not line up name for name with their headers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "coff/Coff.h"
#include "coff/CoffWriter.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

using Bytes = std::vector<uint8_t>;

// A name of at most eight characters, in the record's own field.
void shortName(char (&field)[8], const char* name) {
  std::memset(field, 0, sizeof field);
  std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
}

scnhdr header(const char* name, uint32_t flags = STYP_TEXT) {
  scnhdr h{};
  shortName(h.s_name, name);
  h.s_flags = flags;
  return h;
}

Data bytes(size_t n, uint8_t seed) {
  std::vector<char> b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<char>(seed + i * 7);
  return Data(static_cast<unsigned long>(n), b.data());
}

coff_lineno line(uint32_t fcn, bool hasFcn = true) {
  coff_lineno l{};
  l.l_lnno = 1;
  l.l_fcnndx = fcn;
  l.l_flags = hasFcn ? LINENO_HASFCN : 0;
  return l;
}

void function(Coff& c, const char* name, int16_t scnum) {
  syment s{};
  shortName(s.n_name, name);
  s.n_scnum = scnum;
  s.n_sclass = C_EXT;
  s.n_numaux = 1;
  c.cSymTbl.push_back(s);
  c.cSymKind.push_back(AuxKind::none);
  aux_fcn a{};
  a.x_lnnoptr = 0xDEAD;
  syment slot{};
  setAux(slot, a);
  c.cSymTbl.push_back(slot);
  c.cSymKind.push_back(AuxKind::fcn);
}

Bytes fileBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class CoffLayoutTest : public ::testing::Test {
protected:
  void SetUp() override {
    Error::reset();
    Error::quiet(true);
  }
  void TearDown() override { Error::reset(); }
};

// A large object: raw data several times the writer's block, thousands of
// symbols and long names, so that every buffering path is taken.
Coff largeCoff() {
  Coff c;
  c.cFileName = "large.o";
  c.cScnNum = {{1, "big"}, {2, "small"}};
  c.cScnHdr["big"] = header("big");
  c.cScnHdr["small"] = header("small");
  c.cRawData["big"] = bytes(300000, 3);
  c.cRawData["small"] = bytes(5, 9);
  for (int i = 0; i < 4000; ++i) c.cLineInfo["big"].push_back(line(0, i == 0));
  function(c, "f", 1);
  int offset = 4;
  for (int i = 0; i < 3000; ++i) {
    const std::string name = "a_rather_long_symbol_name_" + std::to_string(i);
    c.cStrTbl[offset] = name;
    syment s{};
    for (int b = 0; b < 4; ++b) s.n_name[4 + b] = static_cast<char>((offset >> (8 * b)) & 0xFF);
    c.cSymTbl.push_back(s);
    c.cSymKind.push_back(AuxKind::none);
    offset += static_cast<int>(name.size()) + 1;
  }
  return c;
}

}  // namespace

// Small objects and large ones are laid out by different searches; each
// case runs with and without empty sections numbered after the others.
class CoffLayoutSizes : public CoffLayoutTest, public ::testing::WithParamInterface<int> {};

INSTANTIATE_TEST_SUITE_P(CoffLayout, CoffLayoutSizes, ::testing::Values(0, 20));

TEST_P(CoffLayoutSizes, TablesWithNamesTheHeadersLackDoNotShiftTheLayout) {
  const int extra = GetParam();
  Coff c;
  c.cFileName = "odd.o";
  // Numbered out of name order, one name numbered twice.
  c.cScnNum = {{1, "f"}, {2, "b"}, {3, "d"}, {4, "b"}};
  c.cScnHdr = {{"b", header("b")}, {"d", header("d")}, {"f", header("f")}};
  for (int i = 0; i < extra; ++i) {
    const std::string name = "x" + std::to_string(i);
    c.cScnNum[5 + i] = name;
    c.cScnHdr[name] = header(name.c_str());
  }
  // Every table also holds names that no header has, before, between and
  // after the headers' names.
  c.cRawData = {{"a", bytes(3, 1)}, {"b", bytes(2, 2)}, {"c", bytes(5, 3)}, {"f", bytes(4, 4)}, {"g", bytes(1, 5)}};
  c.cReloc["0"].resize(1);
  c.cReloc["d"].resize(2);
  c.cReloc["e"].resize(1);
  c.cLineInfo["a"].push_back(line(0));
  c.cLineInfo["f"] = {line(0, false), line(0, false), line(0, false)};
  c.cLineInfo["z"].push_back(line(0));
  c.preWrite(0);

  const auto& h = c.cScnHdr;
  const uint32_t raw = 36 + static_cast<uint32_t>(3 + extra) * 40;
  EXPECT_EQ(c.cFileHdr.f_nscns, 3u + static_cast<unsigned>(extra));
  EXPECT_EQ(h.at("f").s_scnptr, raw);
  EXPECT_EQ(h.at("f").s_size, 4u);
  EXPECT_EQ(h.at("b").s_scnptr, raw + 4);
  EXPECT_EQ(h.at("b").s_size, 2u);
  EXPECT_EQ(h.at("d").s_scnptr, 0u);
  EXPECT_EQ(h.at("d").s_size, 0u);
  EXPECT_EQ(h.at("d").s_nreloc, 2u);
  EXPECT_EQ(h.at("d").s_relptr, raw + 6);
  EXPECT_EQ(h.at("b").s_nreloc, 0u);
  EXPECT_EQ(h.at("f").s_relptr, 0u);
  EXPECT_EQ(h.at("f").s_nlnno, 3u);
  EXPECT_EQ(h.at("f").s_lnnoptr, raw + 6 + 2 * 12);
  EXPECT_EQ(h.at("b").s_lnnoptr, 0u);
  const unsigned long size = raw + 6 + 2 * 12 + 3 * 16 + 4;
  EXPECT_EQ(c.size(), size);

  const Bytes image = c.image();
  ASSERT_EQ(image.size(), size);
  // Headers in number order, each once; f's bytes first in the raw data.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[36])), "f");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[76])), "b");
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&image[116])), "d");
  EXPECT_EQ(0, std::memcmp(&image[raw], c.cRawData.at("f").bytes(), 4));
  EXPECT_EQ(0, std::memcmp(&image[raw + 4], c.cRawData.at("b").bytes(), 2));
}

TEST_P(CoffLayoutSizes, FunctionsPointAtTheirFirstLineInTheirOwnSection) {
  Coff c;
  c.cFileName = "fn.o";
  c.cScnNum = {{1, "one"}, {2, "two"}};
  c.cScnHdr = {{"one", header("one")}, {"two", header("two")}};
  for (int i = 0; i < GetParam(); ++i) {
    const std::string name = "x" + std::to_string(i);
    c.cScnNum[3 + i] = name;
    c.cScnHdr[name] = header(name.c_str());
  }
  function(c, "f", 1);   // slots 0, 1
  function(c, "g", 2);   // slots 2, 3
  function(c, "h", 1);   // slots 4, 5: no lines at all
  function(c, "k", 7);   // slots 6, 7: no such section
  // g has a line in the wrong section first; f's lines are interleaved with
  // g's and start after an entry that names f without the flag.
  c.cLineInfo["one"] = {line(2), line(0, false), line(0), line(2), line(0)};
  c.cLineInfo["two"] = {line(0), line(6), line(2), line(2)};
  c.preWrite(0);

  const uint32_t one = c.cScnHdr.at("one").s_lnnoptr;
  const uint32_t two = c.cScnHdr.at("two").s_lnnoptr;
  EXPECT_EQ(two, one + 5 * 16);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[1]).x_lnnoptr, one + 2 * 16);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[3]).x_lnnoptr, two + 2 * 16);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[5]).x_lnnoptr, 0xDEADu);
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[7]).x_lnnoptr, 0xDEADu);

  // The public entry does the same work on its own.
  setAux(c.cSymTbl[1], aux_fcn{});
  c.fixupAuxFcns();
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[1]).x_lnnoptr, one + 2 * 16);
}

TEST_F(CoffLayoutTest, TheFileAndTheImageHoldTheSameBytes) {
  Coff c = largeCoff();
  c.preWrite(42);
  const Bytes image = c.image();
  ASSERT_EQ(image.size(), c.size());
  EXPECT_EQ(getAux<aux_fcn>(c.cSymTbl[1]).x_lnnoptr, c.cScnHdr.at("big").s_lnnoptr);

  const auto dir = std::filesystem::temp_directory_path();
  const auto path = dir / ("tarsil-layout-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + ".o");
  c.cFileName = path.string();
  ASSERT_TRUE(c.write());
  EXPECT_EQ(fileBytes(path), image);

  // The writer that looks the sections up once lays out and writes the same.
  {
    Coff again = largeCoff();
    CoffWriter writer(again);
    writer.preWrite(42);
    std::FILE* fp = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(fp, nullptr);
    ASSERT_TRUE(writer.write(fp, 0));
    std::fclose(fp);
    EXPECT_EQ(fileBytes(path), image);
  }

  // Inside a larger file, after a prefix the writer must not touch.
  std::FILE* fp = std::fopen(path.string().c_str(), "wb");
  ASSERT_NE(fp, nullptr);
  std::fputs("prefix", fp);
  ASSERT_TRUE(c.write(fp, 100));
  std::fclose(fp);
  const Bytes inside = fileBytes(path);
  ASSERT_EQ(inside.size(), 100 + image.size());
  EXPECT_EQ(std::string(inside.begin(), inside.begin() + 6), "prefix");
  EXPECT_TRUE(std::equal(image.begin(), image.end(), inside.begin() + 100));
  std::filesystem::remove(path);

  auto back = Coff::make(std::span<const uint8_t>(image), "large.o");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->cStrTbl, c.cStrTbl);
  EXPECT_EQ(back->cRawData.at("big").size(), 300000u);
}

TEST_F(CoffLayoutTest, AWriteThatCannotCompleteFails) {
  std::FILE* fp = std::fopen("/dev/full", "wb");
  if (fp == nullptr) GTEST_SKIP() << "no /dev/full here";
  Coff c = largeCoff();
  c.preWrite(0);
  EXPECT_FALSE(c.write(fp, 0));
  std::fclose(fp);
  EXPECT_GT(Error::errors(), 0);
}
