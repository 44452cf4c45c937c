// The programming-file writer of tarsil-hex, built into the test binary from
// its own source.
#include "../../tools/tarsil-hex/Hex.cpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <sstream>

namespace tarsil::hex {
namespace {

// An independent reader of the records: every byte with its full address.
// Fails the test on a malformed line or a bad checksum.
std::map<uint64_t, uint8_t> readRecords(const std::string& text, bool& sawEnd) {
  std::map<uint64_t, uint8_t> bytes;
  std::istringstream in(text);
  std::string line;
  uint64_t upper = 0;
  sawEnd = false;
  while (std::getline(in, line)) {
    EXPECT_FALSE(sawEnd) << "record after the end-of-file record: " << line;
    EXPECT_EQ(line[0], ':');
    EXPECT_EQ(line.size() % 2, 1u) << line;
    std::vector<uint8_t> raw;
    for (size_t i = 1; i + 1 < line.size(); i += 2) raw.push_back(static_cast<uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    EXPECT_GE(raw.size(), 5u) << line;
    if (raw.size() < 5) continue;
    uint8_t sum = 0;
    for (uint8_t b : raw) sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0) << "checksum of " << line;
    EXPECT_EQ(raw[0], raw.size() - 5) << line;
    EXPECT_LE(raw[0], 16) << line;
    uint64_t offset = uint64_t{raw[1]} << 8 | raw[2];
    switch (raw[3]) {
      case 0x00:
        // No record runs past its aligned row.
        EXPECT_LE(offset % 16 + raw[0], 16u) << line;
        for (size_t i = 0; i < raw[0]; ++i) EXPECT_TRUE(bytes.emplace((upper << 16) + offset + i, raw[4 + i]).second);
        break;
      case 0x01: sawEnd = true; break;
      case 0x04: upper = uint64_t{raw[4]} << 8 | raw[5]; break;
      default: ADD_FAILURE() << "unexpected record type in " << line;
    }
  }
  return bytes;
}

Segment segment(uint64_t address, std::vector<uint8_t> bytes, std::string section = "s") {
  Segment s;
  s.section = std::move(section);
  s.address = address;
  s.bytes = std::move(bytes);
  return s;
}

TEST(HexRecords, AnImageReadsBackByteForByte) {
  // Sparse runs of every length and alignment, adjacent ones, and runs that
  // cross 64 KiB boundaries: whatever the writer splits or joins, a reader
  // must find exactly the same bytes at the same addresses.
  std::mt19937 random(7);
  std::vector<Segment> segments;
  uint64_t address = 0x3;
  while (address < 0x50000) {
    std::vector<uint8_t> bytes(random() % 70 + 1);
    for (auto& b : bytes) b = static_cast<uint8_t>(random());
    segments.push_back(segment(address, bytes));
    address += bytes.size() + (random() % 3 == 0 ? 0 : random() % 0x3000);
  }
  segments.push_back(segment(0x5fffe, {1, 2, 3, 4}));

  std::map<uint64_t, uint8_t> expected;
  for (const Segment& s : segments)
    for (size_t i = 0; i < s.bytes.size(); ++i) expected[s.address + i] = s.bytes[i];
  bool sawEnd = false;
  EXPECT_EQ(readRecords(records(segments, true), sawEnd), expected);
  EXPECT_TRUE(sawEnd);
}

TEST(HexSplit, EvenAndOddBytesAtHalfTheirAddress) {
  // Starting and ending on an odd byte: the halves do not line up.
  Split split = splitBytes({segment(3, {0x13, 0x14, 0x15, 0x16}), segment(7, {0x17}), segment(10, {0x1a})});
  ASSERT_EQ(split.low.size(), 2u);
  EXPECT_EQ(split.low[0].address, 2u);
  EXPECT_EQ(split.low[0].bytes, (std::vector<uint8_t>{0x14, 0x16}));
  EXPECT_EQ(split.low[1].address, 5u);
  EXPECT_EQ(split.low[1].bytes, (std::vector<uint8_t>{0x1a}));
  ASSERT_EQ(split.high.size(), 1u);
  EXPECT_EQ(split.high[0].address, 1u);
  EXPECT_EQ(split.high[0].bytes, (std::vector<uint8_t>{0x13, 0x15, 0x17}));
}

class HexQuiet : public ::testing::Test {
protected:
  void SetUp() override {
    Error::reset();
    Error::quiet(true);
  }
  void TearDown() override { Error::reset(); }
};

using HexFormatChoice = HexQuiet;

TEST_F(HexFormatChoice, EachFormatReachesExactlyItsRange) {
  auto ending = [](uint64_t last) {
    Program p;
    p.segments = {segment(0, {0}), segment(last, {0})};
    return p;
  };
  EXPECT_EQ(chooseFormat(std::nullopt, Program()), Format::inhx8m);
  EXPECT_EQ(chooseFormat(std::nullopt, ending(0xffff)), Format::inhx8m);
  EXPECT_EQ(chooseFormat(std::nullopt, ending(0x10000)), Format::inhx32);
  EXPECT_EQ(chooseFormat(Format::inhx8m, ending(0xffff)), Format::inhx8m);
  EXPECT_EQ(chooseFormat(Format::inhx8s, ending(0x1ffff)), Format::inhx8s);
  EXPECT_EQ(chooseFormat(Format::inhx32, ending(0x1fffff)), Format::inhx32);
  EXPECT_EQ(Error::errors(), 0);
  EXPECT_EQ(chooseFormat(Format::inhx8m, ending(0x10000)), std::nullopt);
  EXPECT_EQ(chooseFormat(Format::inhx8s, ending(0x20000)), std::nullopt);
  EXPECT_EQ(Error::errors(), 2);
}

TEST(HexNames, FormatsAndOutputNames) {
  EXPECT_EQ(parseFormat("inhx8s"), Format::inhx8s);
  EXPECT_EQ(parseFormat("Inhx32"), Format::inhx32);
  EXPECT_EQ(parseFormat("INHX8"), std::nullopt);

  using V = std::vector<std::string>;
  EXPECT_EQ(outputNames(Format::inhx8m, "a.out", ""), V{"a.hex"});
  EXPECT_EQ(outputNames(Format::inhx32, "prog", ""), V{"prog.hex"});
  EXPECT_EQ(outputNames(Format::inhx8m, "x.tar.cof", ""), V{"x.tar.hex"});
  // Dots in directories and a leading dot are no extension.
  EXPECT_EQ(outputNames(Format::inhx8m, "build.d/prog", ""), V{"build.d/prog.hex"});
  EXPECT_EQ(outputNames(Format::inhx8m, "c:\\work.x\\prog", ""), V{"c:\\work.x\\prog.hex"});
  EXPECT_EQ(outputNames(Format::inhx8m, "dir/.prog", ""), V{"dir/.prog.hex"});
  EXPECT_EQ(outputNames(Format::inhx8m, "a.out", "b.txt"), V{"b.txt"});
  EXPECT_EQ(outputNames(Format::inhx8s, "d/a.out", ""), (V{"d/a.hxl", "d/a.hxh"}));
  EXPECT_EQ(outputNames(Format::inhx8s, "a.out", "out/b.hex"), (V{"out/b.hxl", "out/b.hxh"}));
}

// The first device of a family that has program memory of its own.
int deviceOf(int instSet) {
  for (int p = 1; p <= procTypeCount; ++p)
    if (getInstSet(p) == instSet && getProgramLocations(p) != 0) return p;
  return 0;
}

Coff executable(int procType) {
  Coff c;
  c.cFileName = "x.out";
  c.cFileHdr.f_magic = COFF_MAGIC;
  c.cFileHdr.f_opthdr = OPTHDR_SIZE;
  c.cFileHdr.f_flags = F_EXEC;
  c.cOptHdr.proc_type = getDvsProcType(procType);
  return c;
}

void addSection(Coff& c, const std::string& name, uint32_t flags, uint32_t address, std::vector<uint8_t> bytes) {
  int number = static_cast<int>(c.cScnNum.size()) + 1;
  c.cScnNum[number] = name;
  scnhdr h{};
  h.s_flags = flags;
  h.s_paddr = address;
  h.s_size = static_cast<uint32_t>(bytes.size());
  c.cScnHdr[name] = h;
  if (!bytes.empty()) c.cRawData[name] = Data(h.s_size, reinterpret_cast<const char*>(bytes.data()));
}

using HexExtract = HexQuiet;

TEST_F(HexExtract, ProgramMemoryOnlyInAddressOrder) {
  int p = deviceOf(instSetCore14);
  ASSERT_NE(p, 0);
  Coff c = executable(p);
  addSection(c, "late", STYP_TEXT, 0x20, {1, 2});
  addSection(c, "early", STYP_DATA_ROM | STYP_ABS, 0x4, {3, 4});
  addSection(c, "ram", STYP_DATA, 0x4, {5, 6});
  addSection(c, "zero", STYP_BSS, 0x4, std::vector<uint8_t>(2));
  addSection(c, "both", STYP_TEXT | STYP_BSS, 0x4, std::vector<uint8_t>(2));
  addSection(c, "record", STYP_ACTREC, 0x4, {7});
  addSection(c, "plain", 0, 0x4, {8});
  addSection(c, "empty", STYP_TEXT, 0x4, {});
  Program program;
  ASSERT_TRUE(extractProgram(c, program));
  EXPECT_EQ(program.bytesPerLocation, 2u);
  ASSERT_EQ(program.segments.size(), 2u);
  EXPECT_EQ(program.segments[0].section, "early");
  EXPECT_EQ(program.segments[0].address, 0x8u);
  EXPECT_EQ(program.segments[1].section, "late");
  EXPECT_EQ(program.segments[1].address, 0x40u);
  EXPECT_EQ(program.lastAddress(), 0x41u);
  EXPECT_EQ(Error::errors(), 0);
}

}  // namespace
}  // namespace tarsil::hex
