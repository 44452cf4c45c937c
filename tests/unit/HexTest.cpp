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

}  // namespace
}  // namespace tarsil::hex
