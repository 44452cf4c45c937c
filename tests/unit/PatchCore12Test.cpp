#include "PatchCoreHelpers.h"

using namespace tarsil;
using namespace tarsil::testing;
using namespace tarsil::patching;

namespace {

constexpr const char* kOnePage = "t12-512-32a";
constexpr const char* kTwoPages = "t12-1k-32a";
constexpr const char* kFourPages = "t12-2k-128a";

}  // namespace

TEST(PatchCore12, fieldsKeepTheOpcodeBits) {
  PatchRig rig(kFourPages);
  // A call holds 8 address bits, a goto 9.
  EXPECT_EQ(rig.patched({0x0900}, {.type = RELOCT_CALL, .value = 0x1FF}), W{0x09FF});
  EXPECT_EQ(rig.patched({0x0900}, {.type = RELOCT_CALL, .value = 0x355}), W{0x0955});
  EXPECT_EQ(rig.patched({0x0A00}, {.type = RELOCT_GOTO, .value = 0x3FF}), W{0x0BFF});
  EXPECT_EQ(rig.patched({0x0A00}, {.type = RELOCT_GOTO, .value = 0x600}), W{0x0A00});
  EXPECT_EQ(rig.patched({0x0C00}, {.type = RELOCT_HIGH, .value = 0x1234}), W{0x0C12});
  EXPECT_EQ(rig.patched({0x0C00}, {.type = RELOCT_LOW, .value = 0x1234}), W{0x0C34});
  EXPECT_EQ(rig.patched({0x0FFF}, {.type = RELOCT_ALL, .value = 0x0123}), W{0x0123});
  EXPECT_EQ(rig.patched({0x0020}, {.type = RELOCT_F, .value = 0x47}), W{0x0027});
  EXPECT_EQ(rig.patched({0x0008}, {.type = RELOCT_TRIS, .value = 0x0E}), W{0x000E});
  EXPECT_EQ(rig.patched({0x0008}, {.type = RELOCT_TRIS, .value = 0x01}), W{0x0009});
}

TEST(PatchCore12, bankSelectIsAlwaysTwoWordsOfFsrBits) {
  for (const char* device : {kOnePage, kFourPages}) {
    for (uint16_t type : {RELOCT_BANKSEL, RELOCT_IBANKSEL}) {
      // 0x47 is in bank 2: FSR bit 5 clear, bit 6 set.
      EXPECT_EQ(PatchRig(device).patched({0, 0}, {.type = type, .value = 0x47}), (W{0x04A4, 0x05C4})) << device;
      EXPECT_EQ(PatchRig(device).patched({0, 0}, {.type = type, .value = 0x3F}), (W{0x05A4, 0x04C4})) << device;
    }
  }
}

TEST(PatchCore12, pageSelectIsAsLongAsTheDeviceNeeds) {
  const W untouched{0x0FFF, 0x0FFF};
  for (uint16_t type : {RELOCT_PAGESEL, RELOCT_PAGESEL_BITS}) {
    EXPECT_EQ(PatchRig(kFourPages).patched(untouched, {.type = type, .value = 0x600}), (W{0x05A3, 0x05C3}));
    EXPECT_EQ(PatchRig(kFourPages).patched(untouched, {.type = type, .value = 0x200}), (W{0x05A3, 0x04C3}));
    EXPECT_EQ(PatchRig(kFourPages).patched(untouched, {.type = type, .value = 0x4FF}), (W{0x04A3, 0x05C3}));
    EXPECT_EQ(PatchRig(kTwoPages).patched(untouched, {.type = type, .value = 0x200}), (W{0x05A3, 0x0FFF}));
    EXPECT_EQ(PatchRig(kOnePage).patched(untouched, {.type = type, .value = 0x600}), untouched);
  }
}

TEST(PatchCore12, refusals) {
  PatchRig rig(kFourPages);
  for (uint16_t type : std::initializer_list<uint16_t>{5, 12, 13, 14, 15, 19, 23, 25}) {
    EXPECT_EQ(rig.refused({0x0900}, {.type = type, .value = 0x10}), "unsupported relocation type.") << type;
  }
  EXPECT_EQ(rig.refused({0x0000}, {.type = RELOCT_BANKSEL, .value = 0x47}),
            "relocation RELOCT_BANKSEL at offset 0x0000 writes past the end of the section's raw data (2 bytes).");
  EXPECT_EQ(PatchRig(kTwoPages).patched({0x0FFF}, {.type = RELOCT_PAGESEL, .value = 0x200}), W{0x05A3});
  EXPECT_EQ(PatchRig(kOnePage).patched({}, {.type = RELOCT_PAGESEL, .value = 0x200}), W{});
}
