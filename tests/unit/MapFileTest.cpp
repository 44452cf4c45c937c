#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "map/MapFile.h"
#include "map/MapText.h"
#include "support/Debug.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

// A finished executable for a Core14 device, built field by field.
class MapCoff {
public:
  MapCoff() {
    coff.cOptHdr.proc_type = 0xD91D;
    coff.cOptHdr.rom_width_bits = 14;
  }

  void section(const std::string& name, uint32_t address, uint32_t size, Coff::ScnType type) {
    scnhdr h{};
    if (name.size() > 8) Coff::addString(coff.cStrTbl, name);
    Coff::setName(h, coff.cStrTbl, name);
    h.s_paddr = address;
    h.s_size = size;
    Coff::setScnFlags(h, type, false, false, false);
    const int number = static_cast<int>(coff.cScnNum.size()) + 1;
    coff.cScnNum[number] = name;
    coff.cScnHdr[name] = h;
  }

  void symbol(const std::string& name, uint32_t value, int16_t scnum, uint8_t sclass, uint16_t type = 0) {
    syment s{};
    if (name.size() > 8) Coff::addString(coff.cStrTbl, name);
    Coff::setName(s, coff.cStrTbl, name);
    s.n_value = value;
    s.n_scnum = scnum;
    s.n_sclass = sclass;
    s.n_type = type;
    coff.cSymTbl.push_back(s);
    coff.cSymKind.push_back(AuxKind::none);
  }

  void file(const std::string& source) {
    symbol(".file", 0, -2, C_FILE);
    coff.cSymTbl.back().n_numaux = 1;
    aux_file a{};
    a.x_offset = Coff::addString(coff.cStrTbl, source);
    syment slot{};
    setAux(slot, a);
    coff.cSymTbl.push_back(slot);
    coff.cSymKind.push_back(AuxKind::file);
  }

  void endOfFile() { symbol(".eof", 0, -2, C_FILE); }

  std::string listing(unsigned long progMemSize) const {
    std::ostringstream os;
    MapFile::list(os, coff, progMemSize, "Thu Jan  1 00:00:00 1970\n");
    return os.str();
  }

  Coff coff;
};

std::string between(const std::string& text, const std::string& from, const std::string& to) {
  size_t a = text.find(from);
  if (a == std::string::npos) return "<no " + from + ">";
  size_t b = text.find(to, a + from.size());
  return text.substr(a, b == std::string::npos ? std::string::npos : b - a);
}

std::string usage(const std::string& listing) {
  return between(listing, "                              Program Memory Usage", "\n\n\n");
}

const char* usageHead =
    "                              Program Memory Usage \n"
    "                               Start         End      \n"
    "                           ---------   ---------      \n";

}  // namespace

TEST(MapFile, WholeListingOfASmallProgram) {
  MapCoff m;
  m.section(".code", 0x10, 8, Coff::code);
  m.section(".udata", 0x20, 4, Coff::udata);
  m.section("/src/util.c.actrec", 0x30, 2, Coff::actrec);
  m.file("main.c");
  m.symbol("main", 0x10, 1, C_EXT, 0x20);
  m.symbol("count", 0x20, 2, C_STAT);
  m.endOfFile();
  const std::string expected =
      "TARSIL 3.40, Linker\n"
      "Linker Map File - Created Thu Jan  1 00:00:00 1970\n"
      "\n"
      "                                 Section Info\n"
      "                  Section       Type    Address   Location Size(Bytes)\n"
      "                ---------  ---------  ---------  ---------  ---------\n"
      "                    .code       code   0x000010    program   0x000008\n"
      "                   .udata      udata   0x000020       data   0x000004\n"
      "            util.c.actrec     actrec   0x000030       data   0x000002\n"
      "\n"
      "\n"
      "\n"
      "                              Program Memory Usage \n"
      "                               Start         End      \n"
      "                           ---------   ---------      \n"
      "                            0x000010    0x000013      \n"
      "            4 out of 2048 program addresses used, program memory utilization is 0%\n"
      "\n"
      "\n"
      "\n"
      "                              Symbols - Sorted by Name\n"
      "                     Name    Address   Location    Storage File                     \n"
      "                ---------  ---------  ---------  --------- ---------                \n"
      "                     main   0x000010    program     extern main.c                   \n"
      "                    count   0x000020       data     static main.c                   \n"
      "\n"
      "\n"
      "\n"
      "                              Symbols - Sorted by Address\n"
      "                     Name    Address   Location    Storage File                     \n"
      "                ---------  ---------  ---------  --------- ---------                \n"
      "                     main   0x000010    program     extern main.c                   \n"
      "                    count   0x000020       data     static main.c                   \n"
      "\n"
      "\n";
  EXPECT_EQ(m.listing(2048), expected);
}

TEST(MapFile, UsageMergesAdjacentSectionsInAddressOrder) {
  MapCoff m;
  // Out of address order on purpose; 0x200 words then 0x100 words right after.
  m.section("high", 0x200, 0x200, Coff::code);
  m.section("low", 0x0, 0x400, Coff::code);
  // Empty sections count nothing and neither open nor break a range.
  m.section("empty", 0x150, 0, Coff::code);
  // An odd byte count still takes its whole last location.
  m.section("apart", 0x400, 3, Coff::romdata);
  // Data sections never count as program memory.
  m.section("ram", 0x300, 0x10, Coff::idata);
  EXPECT_EQ(usage(m.listing(0x800)), std::string(usageHead) +
                                         "                            0x000000    0x0002ff      \n"
                                         "                            0x000400    0x000401      \n"
                                         "            770 out of 2048 program addresses used, program memory "
                                         "utilization is 37%");
}

TEST(MapFile, UsageWithoutProgramContentsHasNoRows) {
  MapCoff m;
  m.section("empty", 0x10, 0, Coff::code);
  m.section("ram", 0x20, 4, Coff::udata);
  EXPECT_EQ(usage(m.listing(100)), std::string(usageHead) +
                                       "            0 out of 100 program addresses used, program memory "
                                       "utilization is 0%");
}

TEST(MapFile, UtilizationIsCappedAtOneHundredPercent) {
  MapCoff m;
  m.section("code", 0, 20, Coff::code);
  EXPECT_NE(m.listing(0).find("10 out of 0 program addresses used, program memory utilization is 100%"),
            std::string::npos);
  EXPECT_NE(m.listing(5).find("10 out of 5 program addresses used, program memory utilization is 100%"),
            std::string::npos);
  EXPECT_NE(m.listing(30).find("10 out of 30 program addresses used, program memory utilization is 33%"),
            std::string::npos);
}

TEST(MapFile, LargeSectionsAreCountedInFull) {
  // A byte-addressed device whose fill section covers most of a large memory:
  // more locations than sixteen bits can count.
  MapCoff m;
  m.coff.cOptHdr.proc_type = 0x0486;
  m.coff.cOptHdr.rom_width_bits = 16;
  m.section("code", 0, 0x100, Coff::code);
  m.section(".fill_1", 0x100, 0x1FFF00, Coff::code);
  const std::string text = usage(m.listing(0x200000));
  EXPECT_NE(text.find("0x000000    0x1fffff"), std::string::npos) << text;
  EXPECT_NE(text.find("2097152 out of 2097152 program addresses used, program memory utilization is 100%"),
            std::string::npos)
      << text;
}

TEST(MapFile, ProgramSymbolsComeFirstInBothOrders) {
  MapCoff m;
  m.section("code", 0x100, 2, Coff::code);
  m.section("ram", 0x10, 2, Coff::udata);
  m.symbol("zeta", 0x101, 1, C_EXT);
  m.symbol("beta", 0x100, 1, C_LABEL);
  m.symbol("alpha", 0x10, 2, C_EXT);
  // Not listed: undefined, absolute, debug, and classes other than the three.
  m.symbol("undef", 0, 0, C_EXT);
  m.symbol("abs", 5, -1, C_EXT);
  m.symbol("tag", 0, 1, C_STRTAG);
  const std::string text = m.listing(100);
  const std::string byName = between(text, "Sorted by Name", "\n\n\n");
  const std::string byAddress = between(text, "Sorted by Address", "\n\n\n");
  EXPECT_LT(byName.find(" beta "), byName.find(" zeta "));
  EXPECT_LT(byName.find(" zeta "), byName.find(" alpha "));
  EXPECT_LT(byAddress.find(" beta "), byAddress.find(" zeta "));
  EXPECT_LT(byAddress.find(" zeta "), byAddress.find(" alpha "));
  EXPECT_NE(byName.find("beta   0x000100    program     static"), std::string::npos) << byName;
  for (const char* hidden : {"undef", " abs ", " tag "}) EXPECT_EQ(text.find(hidden), std::string::npos) << hidden;
}

TEST(MapFile, SymbolsTakeTheInnermostOpenSourceFile) {
  MapCoff m;
  m.section("code", 0, 8, Coff::code);
  m.file("outer.c");
  m.symbol("a", 0, 1, C_EXT);
  m.file("inner.h");
  m.symbol("b", 1, 1, C_EXT);
  m.endOfFile();
  m.symbol("c", 2, 1, C_EXT);
  m.endOfFile();
  m.symbol("d", 3, 1, C_EXT);
  // A stray end of file does nothing.
  m.endOfFile();
  const std::string byName = between(m.listing(100), "Sorted by Name", "\n\n\n");
  EXPECT_NE(byName.find("a   0x000000    program     extern outer.c"), std::string::npos) << byName;
  EXPECT_NE(byName.find("b   0x000001    program     extern inner.h"), std::string::npos) << byName;
  EXPECT_NE(byName.find("c   0x000002    program     extern outer.c"), std::string::npos) << byName;
  EXPECT_NE(byName.find("d   0x000003    program     extern " + std::string(25, ' ')), std::string::npos) << byName;
}

TEST(MapFile, LongNamesPushTheirRowsInsteadOfLosingCharacters) {
  MapCoff m;
  const std::string name = "a_section_name_longer_than_the_column";
  m.section(name, 0, 2, Coff::code);
  m.symbol(name, 0, 1, C_EXT);
  const std::string text = m.listing(100);
  EXPECT_NE(text.find("\n" + name + "       code   0x000000"), std::string::npos) << text;
  EXPECT_NE(text.find("\n" + name + "   0x000000    program"), std::string::npos) << text;
}

// Names and file names of every length, each padded to its column: the
// short copies must take every byte, no more and no fewer.
TEST(MapFile, ColumnsHoldTextsOfEveryLengthWhole) {
  std::string source;
  for (int i = 0; i < 40; ++i) source += static_cast<char>('a' + i % 26);
  for (size_t n = 0; n <= source.size(); ++n) {
    SCOPED_TRACE(n);
    const std::string text = source.substr(0, n);
    char buffer[128];
    std::memset(buffer, '#', sizeof buffer);
    MapRow row(buffer);
    row.right<25>(text).put('|').left<25>(text).put('|').put(text).put('|');
    const std::string pad(n < 25 ? 25 - n : 0, ' ');
    EXPECT_EQ(std::string(row.begin(), row.end()), pad + text + "|" + text + pad + "|" + text + "|");
    EXPECT_EQ(buffer[row.end() - row.begin()], '#');
  }
}

TEST(MapFile, NamesSortByTheirOwnBytesOnly) {
  // A name kept in the symbol may be followed by anything the file held:
  // those bytes are no part of it. Short and long names sort together.
  MapCoff m;
  m.section("text", 0, 2, Coff::code);
  m.symbol("abc", 3, 1, C_EXT);
  m.symbol("abd", 2, 1, C_EXT);
  m.symbol("ab", 1, 1, C_EXT);
  m.symbol("abcdefghij", 4, 1, C_EXT);
  m.symbol("abc0", 5, 1, C_EXT);
  m.symbol("", 6, 1, C_EXT);
  // "abc" with a tail that would sort it after "abd".
  std::memcpy(m.coff.cSymTbl[0].n_name + 4, "zzzz", 4);
  m.coff.cSymTbl[2].n_name[3] = '\x7f';
  const std::string byName = between(m.listing(100), "Sorted by Name", "\n\n\n");
  std::vector<std::string> names;
  std::istringstream rows(byName);
  std::string row;
  while (std::getline(rows, row)) {
    std::istringstream fields(row);
    std::string name, address;
    if (fields >> name >> address && address.rfind("0x", 0) == 0) names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"ab", "abc", "abc0", "abcdefghij", "abd"})) << byName;
}

TEST(MapFile, HexFieldsKeepEveryDigitAndWidenOnlyWhenNeeded) {
  // A column holds the same text, right-aligned, whatever the value's size.
  for (uint64_t v : {0ULL, 0x5ULL, 0xabcULL, 0x12345ULL, 0xfedcbaULL, 0xffffffULL, 0x1000000ULL, 0xfedcba98ULL,
                     0x1ffffffffULL}) {
    char buffer[32];
    MapRow row(buffer);
    row.hex<10>(v);
    const std::string digits = hexText(v, mapHexDigits);
    EXPECT_EQ(std::string(row.begin(), row.end()), std::string(digits.size() < 10 ? 10 - digits.size() : 0, ' ') + digits);
  }

  // A byte-addressed device whose program memory runs past 24 bits: the
  // wide fields push their row's left edge, never the columns after them.
  MapCoff m;
  m.coff.cOptHdr.proc_type = 0x0486;
  m.coff.cOptHdr.rom_width_bits = 16;
  m.section("low", 0xfffffe, 2, Coff::code);
  m.section("high", 0x1000000, 0x2000000, Coff::code);
  m.symbol("top", 0xfedcba98, 2, C_EXT);
  const std::string text = m.listing(0);
  EXPECT_NE(text.find("\n                      low       code   0xfffffe    program   0x000002\n"
                      "                     high       code  0x1000000    program  0x2000000\n"),
            std::string::npos)
      << text;
  EXPECT_NE(usage(text).find("\n                            0xfffffe   0x2ffffff      \n"), std::string::npos) << text;
  EXPECT_NE(text.find("\n                      top 0xfedcba98    program     extern "), std::string::npos) << text;
}

// Both symbol orders against the plain definition: a stable sort by name,
// then a stable sort of that by address. The names share long prefixes, run
// past eight bytes, repeat, and use bytes above 0x7f, which sort last.
TEST(MapFile, SymbolOrdersAreStableSortsByNameThenByAddress) {
  MapCoff m;
  m.section("code", 0, 0x100, Coff::code);
  m.section("ram", 0x20, 0x40, Coff::udata);
  struct Row {
    std::string name;
    uint32_t address;
    bool data;
    size_t number;
  };
  std::vector<Row> rows;
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t range) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % range;
  };
  const std::string alphabet[] = {"a", "b", "_", "\xe9", "9"};
  for (size_t k = 0; k < 400; ++k) {
    std::string name = "sym";
    const uint32_t length = next(10);
    for (uint32_t c = 0; c < length; ++c) name += alphabet[next(5)];
    const bool data = next(3) == 0;
    const uint32_t address = next(16);
    rows.push_back({name, address, data, k});
    m.symbol(name, address, data ? 2 : 1, next(2) != 0 ? C_EXT : C_STAT);
  }
  auto byName = rows;
  std::stable_sort(byName.begin(), byName.end(), [](const Row& a, const Row& b) { return a.name < b.name; });
  auto byAddress = byName;
  std::stable_sort(byAddress.begin(), byAddress.end(),
                   [](const Row& a, const Row& b) { return a.address < b.address; });

  auto expected = [](const std::vector<Row>& order) {
    std::string text;
    for (bool data : {false, true})
      for (const Row& r : order)
        if (r.data == data) text += r.name + "   " + hexText(r.address, mapHexDigits) + "\n";
    return text;
  };
  auto listed = [](const std::string& section) {
    std::string text;
    std::istringstream in(section);
    std::string line;
    while (std::getline(in, line)) {
      if (line.find(" 0x") == std::string::npos) continue;
      std::istringstream fields(line);
      std::string name, address;
      fields >> name >> address;
      text += name + "   " + address + "\n";
    }
    return text;
  };
  const std::string text = m.listing(100);
  EXPECT_EQ(listed(between(text, "Sorted by Name", "\n\n\n")), expected(byName));
  EXPECT_EQ(listed(between(text, "Sorted by Address", "\n\n\n")), expected(byAddress));
}

TEST(MapFile, TheFileHoldsTheSameListingAsTheStream) {
  Error::reset();
  Error::quiet(true);
  MapCoff m;
  m.section("code", 0, 0x100, Coff::code);
  // More rows than one buffer holds, and one row longer than the buffer.
  for (uint32_t k = 0; k < 2000; ++k) m.symbol("s" + std::to_string(k), k, 1, C_EXT);
  const std::string giant(MapText::cCapacity + 100, 'n');
  m.symbol(giant, 7, 1, C_EXT);
  const std::string path = ::testing::TempDir() + "tarsil-mapfile-same.map";
  ASSERT_TRUE(MapFile::write(path, m.coff, 100));
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  std::remove(path.c_str());
  auto afterCreated = [](const std::string& text) { return text.substr(text.find('\n', text.find("Created"))); };
  const std::string listing = m.listing(100);
  EXPECT_EQ(afterCreated(file.str()), afterCreated(listing));
  EXPECT_NE(listing.find("\n" + giant + "   0x000007    program"), std::string::npos);
  EXPECT_EQ(Error::errors(), 0);
  Error::reset();
}

// The channel dumps each list once it is sorted: sections by address, then
// the symbols by name and again by address, program before data each time.
TEST(MapFile, DebugChannelDumpsEachListAfterItsSort) {
  MapCoff m;
  m.section("late", 0x40, 2, Coff::code);
  m.section("early", 0x10, 2, Coff::code);
  m.section("ram", 0x20, 2, Coff::udata);
  m.file("x.c");
  m.symbol("zz", 0x40, 1, C_EXT, 0x20);
  m.symbol("aa", 0x41, 1, C_STAT);
  m.symbol("mm", 0x20, 3, C_EXT);
  std::ostringstream dump;
  std::streambuf* saved = std::cout.rdbuf(dump.rdbuf());
  Debug("MapFile::write", 1);
  m.listing(100);
  Debug("MapFile::write", 0);
  std::cout.rdbuf(saved);
  const std::string text = dump.str();
  auto at = [&text](const std::string& what, size_t from) { return text.find(what, from); };
  const size_t early = at("SectionInfo: name='early'", 0);
  const size_t late = at("SectionInfo: name='late'", early);
  const size_t ram = at("SectionInfo: name='ram'", late);
  const size_t aa =
      at("SymbolInfo: name='aa' address=0x00000041 location=program storage=static kind=variable "
         "file='x.c'",
         ram);
  const size_t zz = at("SymbolInfo: name='zz' address=0x00000040 location=program storage=extern kind=function", aa);
  const size_t mm = at("SymbolInfo: name='mm' address=0x00000020 location=data", zz);
  const size_t zz2 = at("SymbolInfo: name='zz'", mm);
  const size_t aa2 = at("SymbolInfo: name='aa'", zz2);
  const size_t mm2 = at("SymbolInfo: name='mm'", aa2);
  EXPECT_NE(mm2, std::string::npos) << text;
}

TEST(MapFile, WriteReplacesTheFileOrReportsWhyNot) {
  Error::reset();
  Error::quiet(true);
  MapCoff m;
  m.section("code", 0, 2, Coff::code);
  const std::string path = ::testing::TempDir() + "tarsil-mapfile-test.map";
  {
    std::ofstream old(path);
    old << "an older, longer map file that must disappear entirely\n";
  }
  ASSERT_TRUE(MapFile::write(path, m.coff, 100));
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(text.str().rfind("TARSIL 3.40, Linker\nLinker Map File - Created ", 0), 0u);
  EXPECT_EQ(text.str().find("older"), std::string::npos);
  std::remove(path.c_str());

  EXPECT_FALSE(MapFile::write(::testing::TempDir() + "no-such-dir/x.map", m.coff, 100));
  EXPECT_EQ(Error::errors(), 1);
  Error::reset();
}
