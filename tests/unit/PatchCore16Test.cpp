#include "PatchCoreHelpers.h"

using namespace tarsil;
using namespace tarsil::testing;
using namespace tarsil::patching;

namespace {

constexpr const char* kDevice = "t16-16k-2048a";

}  // namespace

TEST(PatchCore16, fieldsKeepTheOpcodeBits) {
  PatchRig rig(kDevice);
  EXPECT_EQ(rig.patched({0xE000}, {.type = RELOCT_CALL, .value = 0x1234}), W{0xF234});
  EXPECT_EQ(rig.patched({0xC000}, {.type = RELOCT_GOTO, .value = 0x3FFF}), W{0xDFFF});
  EXPECT_EQ(rig.patched({0xC000}, {.type = RELOCT_GOTO, .value = 0x2000}), W{0xC000});
  EXPECT_EQ(rig.patched({0xB000}, {.type = RELOCT_HIGH, .value = 0x1234}), W{0xB012});
  EXPECT_EQ(rig.patched({0xB000}, {.type = RELOCT_LOW, .value = 0x1234}), W{0xB034});
  EXPECT_EQ(rig.patched({0x0100}, {.type = RELOCT_F, .value = 0x0321}), W{0x0121});
  EXPECT_EQ(rig.patched({0xFFFF}, {.type = RELOCT_ALL, .value = 0x1234}), W{0x1234});
  // The peripheral field sits in bits 12..8.
  EXPECT_EQ(rig.patched({0x60FF}, {.type = RELOCT_P, .value = 0x3F}), W{0x7FFF});
  EXPECT_EQ(rig.patched({0x7FFF}, {.type = RELOCT_P, .value = 0x00}), W{0x60FF});
}

TEST(PatchCore16, bankSelectPicksTheRegisterByTheAddress) {
  PatchRig rig(kDevice);
  for (uint16_t type : {RELOCT_BANKSEL, RELOCT_IBANKSEL}) {
    EXPECT_EQ(rig.patched({0, 0xFFFF}, {.type = type, .value = 0x0320}), (W{0xBA30, 0xFFFF}));
    EXPECT_EQ(rig.patched({0, 0xFFFF}, {.type = type, .value = 0x0310}), (W{0xB803, 0xFFFF}));
    EXPECT_EQ(rig.patched({0, 0xFFFF}, {.type = type, .value = 0x07FF}), (W{0xBA70, 0xFFFF}));
  }
  // The bank number alone, into the MOVLR and MOVLB fields of a given word.
  EXPECT_EQ(rig.patched({0xBA00}, {.type = RELOCT_MOVLR, .value = 0x0520}), W{0xBA50});
  EXPECT_EQ(rig.patched({0xB800}, {.type = RELOCT_MOVLB, .value = 0x0710}), W{0xB807});
  EXPECT_EQ(rig.patched({0xB80F}, {.type = RELOCT_MOVLB, .value = 0x1100}), W{0xB801});
}

TEST(PatchCore16, pageSelectLoadsPclathThroughW) {
  PatchRig rig(kDevice);
  for (uint16_t type : {RELOCT_PAGESEL, RELOCT_PAGESEL_WREG})
    EXPECT_EQ(rig.patched({0, 0}, {.type = type, .value = 0x3456}), (W{0xB034, 0x0103}));
}

TEST(PatchCore16, refusals) {
  PatchRig rig(kDevice);
  for (uint16_t type : std::initializer_list<uint16_t>{11, 14, 15, 17, 19, 21, 22, 24, 28}) {
    EXPECT_EQ(rig.refused({0xE000}, {.type = type, .value = 0x10}), "unsupported relocation type.") << type;
  }
  EXPECT_EQ(rig.refused({0xE000}, {.type = RELOCT_PAGESEL, .value = 0x1234}),
            "relocation RELOCT_PAGESEL at offset 0x0000 writes past the end of the section's raw data (2 bytes).");
}
