// The listing as a whole is pinned by the end-to-end map tests; these cover
// what a handful of symbols there cannot: every column width, hundreds of
// symbols in both orders, and rows past the writer's buffer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "map/MapFile.h"
#include "map/MapText.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

// A finished executable for a Core14 device, built field by field.
struct MapCoff {
  MapCoff() {
    coff.cOptHdr.proc_type = 0xD91D;
    coff.cOptHdr.rom_width_bits = 14;
    section("code", 0, 0x100, Coff::code);
    section("ram", 0x20, 0x40, Coff::udata);
  }
  void section(const std::string& name, uint32_t address, uint32_t size, Coff::ScnType type) {
    scnhdr h{};
    Coff::setName(h, coff.cStrTbl, name);
    h.s_paddr = address;
    h.s_size = size;
    Coff::setScnFlags(h, type, false, false, false);
    coff.cScnNum[static_cast<int>(coff.cScnNum.size()) + 1] = name;
    coff.cScnHdr[name] = h;
  }
  void symbol(const std::string& name, uint32_t value, int16_t scnum, uint8_t sclass = C_EXT) {
    syment s{};
    if (name.size() > 8) Coff::addString(coff.cStrTbl, name);
    Coff::setName(s, coff.cStrTbl, name);
    s.n_value = value;
    s.n_scnum = scnum;
    s.n_sclass = sclass;
    coff.cSymTbl.push_back(s);
    coff.cSymKind.push_back(AuxKind::none);
  }
  std::string listing() const {
    std::ostringstream os;
    MapFile::list(os, coff, 100, "Thu Jan  1 00:00:00 1970\n");
    return os.str();
  }
  Coff coff;
};

// Name and address of each symbol row of one of the two symbol lists.
std::string rows(const std::string& listing, const std::string& order) {
  const size_t from = listing.find(order);
  std::istringstream in(listing.substr(from, listing.find("\n\n\n", from) - from));
  std::string line, text;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string name, address;
    if (fields >> name >> address && address.rfind("0x", 0) == 0) text += name + " " + address + "\n";
  }
  return text;
}

}  // namespace

// Texts of every length, each padded to its column: the short copies must
// take every byte, no more and no fewer. Hex fields keep every digit and
// widen to the left only when the value needs it.
TEST(MapFile, ColumnsHoldTextsAndNumbersOfEveryLengthWhole) {
  std::string source;
  for (int i = 0; i < 40; ++i) source += static_cast<char>('a' + i % 26);
  for (size_t n = 0; n <= source.size(); ++n) {
    const std::string text = source.substr(0, n);
    char buffer[128];
    std::memset(buffer, '#', sizeof buffer);
    MapRow row(buffer);
    row.right<25>(text).put('|').left<25>(text).put('|').put(text).put('|');
    const std::string pad(n < 25 ? 25 - n : 0, ' ');
    EXPECT_EQ(std::string(row.begin(), row.end()), pad + text + "|" + text + pad + "|" + text + "|") << n;
    EXPECT_EQ(buffer[row.end() - row.begin()], '#') << n;
  }
  for (uint64_t v : {0ULL, 0x5ULL, 0xabcULL, 0xfedcbaULL, 0xffffffULL, 0x1000000ULL, 0xfedcba98ULL, 0x1ffffffffULL}) {
    char buffer[32];
    MapRow row(buffer);
    row.hex<10>(v);
    const std::string digits = hexText(v, mapHexDigits);
    EXPECT_EQ(std::string(row.begin(), row.end()), std::string(digits.size() < 10 ? 10 - digits.size() : 0, ' ') + digits);
  }
}

// Both symbol orders against the plain definition: a stable sort by name,
// then a stable sort of that by address, program before data. The names
// share long prefixes, run past eight bytes, repeat, and use bytes above
// 0x7f, which sort last; a short name's bytes after its end are no part of it.
TEST(MapFile, SymbolOrdersAreStableSortsByNameThenByAddress) {
  MapCoff m;
  struct Row {
    std::string name;
    uint32_t address;
    bool data;
  };
  std::vector<Row> rows400;
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t range) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % range;
  };
  const std::string alphabet[] = {"a", "b", "_", "\xe9", "9"};
  for (size_t k = 0; k < 400; ++k) {
    std::string name = "sym";
    for (uint32_t c = next(10); c > 0; --c) name += alphabet[next(5)];
    const bool data = next(3) == 0;
    rows400.push_back({name, next(16), data});
    m.symbol(name, rows400.back().address, data ? 2 : 1, next(2) != 0 ? C_EXT : C_STAT);
    if (name.size() < 7) std::memcpy(m.coff.cSymTbl.back().n_name + name.size() + 1, "\x7f", 1);
  }
  auto expected = [](std::vector<Row> order, bool byAddress) {
    std::stable_sort(order.begin(), order.end(), [](const Row& a, const Row& b) { return a.name < b.name; });
    if (byAddress)
      std::stable_sort(order.begin(), order.end(), [](const Row& a, const Row& b) { return a.address < b.address; });
    std::string text;
    for (bool data : {false, true})
      for (const Row& r : order)
        if (r.data == data) text += r.name + " " + hexText(r.address, mapHexDigits) + "\n";
    return text;
  };
  const std::string text = m.listing();
  EXPECT_EQ(rows(text, "Sorted by Name"), expected(rows400, false));
  EXPECT_EQ(rows(text, "Sorted by Address"), expected(rows400, true));
}

TEST(MapFile, TheFileHoldsTheSameListingAsTheStream) {
  Error::reset();
  MapCoff m;
  // More rows than one buffer holds, and one row longer than the buffer.
  for (uint32_t k = 0; k < 2000; ++k) m.symbol("s" + std::to_string(k), k, 1);
  const std::string giant(MapText::cCapacity + 100, 'n');
  m.symbol(giant, 7, 1);
  const std::string path = ::testing::TempDir() + "tarsil-mapfile-same.map";
  ASSERT_TRUE(MapFile::write(path, m.coff, 100));
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  std::remove(path.c_str());
  auto afterCreated = [](const std::string& text) { return text.substr(text.find('\n', text.find("Created"))); };
  const std::string listing = m.listing();
  EXPECT_EQ(afterCreated(file.str()), afterCreated(listing));
  EXPECT_NE(listing.find("\n" + giant + "   0x000007    program"), std::string::npos);
  EXPECT_EQ(Error::errors(), 0);
}
