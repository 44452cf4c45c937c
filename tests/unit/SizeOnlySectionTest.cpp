#include <gtest/gtest.h>

#include "coff/Coff.h"
#include "support/Error.h"

using namespace tarsil;

namespace {

scnhdr header(Coff& c, const std::string& name, Coff::ScnType kind, uint32_t size) {
  scnhdr h{};
  Coff::setName(h, c.cStrTbl, name);
  Coff::setScnFlags(h, kind, false, false, false);
  h.s_size = size;
  return h;
}

// An executable whose only data section is as large as the header field
// allows, held as a size alone.
Coff withLargeBss() {
  Coff c;
  c.cFileName = "big.o";
  c.cScnNum[1] = "code";
  c.cScnHdr["code"] = header(c, "code", Coff::code, 0);
  c.cRawData["code"] = Data(2, "\x01\x02");
  c.cScnNum[2] = "big";
  c.cScnHdr["big"] = header(c, "big", Coff::udata, 0xFFFFFFF0u);
  return c;
}

}  // namespace

TEST(SizeOnlySectionTest, UninitializedSectionKeepsItsHeaderSizeAndTakesNoBytes) {
  Error::reset();
  Coff c = withLargeBss();
  c.preWrite(0);
  EXPECT_EQ(c.cScnHdr.at("big").s_size, 0xFFFFFFF0u);
  EXPECT_EQ(c.cScnHdr.at("big").s_scnptr, 0u);
  const std::vector<uint8_t> image = c.image();
  EXPECT_EQ(image.size(), c.size());
  EXPECT_LT(image.size(), 256u);

  // Laid out again, as the archive writer does, nothing changes.
  c.preWrite(0);
  EXPECT_EQ(c.image(), image);
}

TEST(SizeOnlySectionTest, HeldBytesStillGiveTheSize) {
  Error::reset();
  // Data read from a file, or given by a caller, decides the size as before:
  // a stale header size must not survive it, for either kind.
  Coff c = withLargeBss();
  c.cRawData["big"] = Data(6);
  c.cScnHdr.at("code").s_size = 99;
  c.preWrite(0);
  EXPECT_EQ(c.cScnHdr.at("big").s_size, 6u);
  EXPECT_EQ(c.cScnHdr.at("code").s_size, 2u);

  // A code section without data is empty whatever its header said.
  c.cRawData.erase("code");
  c.cScnHdr.at("code").s_size = 99;
  c.preWrite(0);
  EXPECT_EQ(c.cScnHdr.at("code").s_size, 0u);
}

TEST(SizeOnlySectionTest, ReadBackKeepsTheSizeWithinTheReadersLimit) {
  Error::reset();
  Coff c = withLargeBss();
  c.cScnHdr.at("big").s_size = 0x1000;
  c.preWrite(0);
  const std::vector<uint8_t> image = c.image();
  auto back = Coff::make(std::span<const uint8_t>(image), "big.o");
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->cScnHdr.at("big").s_size, 0x1000u);
  back->preWrite(0);
  EXPECT_EQ(back->image(), image);
}
