#include "PatchCoreHelpers.h"

using namespace tarsil;
using namespace tarsil::testing;
using namespace tarsil::patching;

namespace {

// One page and one bank; two banks; four banks and four pages; two pages;
// three pages.
constexpr const char* kSmall = "t14-2k-128a";
constexpr const char* kTwoBanks = "t14-2k-256a";
constexpr const char* kFourBanks = "t14-8k-512a";
constexpr const char* kTwoPages = "t14-4k-256a";
constexpr const char* kThreePages = "t14-6k-512a";

}  // namespace

TEST(PatchCore14, fieldsKeepTheOpcodeBits) {
  PatchRig rig(kFourBanks);
  // The page bits of a call travel through PCLATH, never into the word.
  EXPECT_EQ(rig.patched({0x2000}, {.type = RELOCT_CALL, .value = 0x0834}), W{0x2034});
  EXPECT_EQ(rig.patched({0x2800}, {.type = RELOCT_GOTO, .value = 0x1FFF}), W{0x2FFF});
  EXPECT_EQ(rig.patched({0x3000}, {.type = RELOCT_HIGH, .value = 0x1234}), W{0x3012});
  EXPECT_EQ(rig.patched({0x3000}, {.type = RELOCT_LOW, .value = 0x1234}), W{0x3034});
  EXPECT_EQ(rig.patched({0xFFFF}, {.type = RELOCT_ALL, .value = 0x1234}), W{0x1234});
  EXPECT_EQ(rig.patched({0x0080}, {.type = RELOCT_F, .value = 0x1A5}), W{0x00A5});
  // The addend counts, and the patched word is the one at the offset.
  EXPECT_EQ(rig.patched({0x3000, 0x3000}, {.type = RELOCT_LOW, .value = 0x100, .offset = 2, .addend = -1}),
            (W{0x3000, 0x30FF}));
}

TEST(PatchCore14, bankSelectIsAsLongAsTheDeviceNeeds) {
  const W untouched{0x3FFF, 0x3FFF};
  EXPECT_EQ(PatchRig(kFourBanks).patched(untouched, {.type = RELOCT_BANKSEL, .value = 0x1A0}), (W{0x1683, 0x1703}));
  EXPECT_EQ(PatchRig(kFourBanks).patched(untouched, {.type = RELOCT_BANKSEL, .value = 0x020}), (W{0x1283, 0x1303}));
  EXPECT_EQ(PatchRig(kFourBanks).patched(untouched, {.type = RELOCT_BANKSEL, .value = 0x120}), (W{0x1283, 0x1703}));
  EXPECT_EQ(PatchRig(kTwoBanks).patched(untouched, {.type = RELOCT_BANKSEL, .value = 0x0A0}), (W{0x1683, 0x3FFF}));
  EXPECT_EQ(PatchRig(kSmall).patched(untouched, {.type = RELOCT_BANKSEL, .value = 0x1A0}), untouched);

  // Indirect access needs a bank bit only beyond two banks.
  EXPECT_EQ(PatchRig(kFourBanks).patched(untouched, {.type = RELOCT_IBANKSEL, .value = 0x1A0}), (W{0x1783, 0x3FFF}));
  EXPECT_EQ(PatchRig(kFourBanks).patched(untouched, {.type = RELOCT_IBANKSEL, .value = 0x0A0}), (W{0x1383, 0x3FFF}));
  EXPECT_EQ(PatchRig(kTwoBanks).patched(untouched, {.type = RELOCT_IBANKSEL, .value = 0x1A0}), untouched);
}

TEST(PatchCore14, pageSelect) {
  // Through W: always both words, whatever the number of pages.
  for (const char* device : {kSmall, kFourBanks}) {
    for (uint16_t type : {RELOCT_PAGESEL, RELOCT_PAGESEL_WREG}) {
      EXPECT_EQ(PatchRig(device).patched({0, 0}, {.type = type, .value = 0x0834}), (W{0x3008, 0x008A})) << device;
    }
  }
  // By bits: as many words as page bits.
  const W untouched{0x3FFF, 0x3FFF};
  EXPECT_EQ(PatchRig(kFourBanks).patched(untouched, {.type = RELOCT_PAGESEL_BITS, .value = 0x1834}),
            (W{0x158A, 0x160A}));
  EXPECT_EQ(PatchRig(kThreePages).patched(untouched, {.type = RELOCT_PAGESEL_BITS, .value = 0x0834}),
            (W{0x158A, 0x120A}));
  EXPECT_EQ(PatchRig(kTwoPages).patched(untouched, {.type = RELOCT_PAGESEL_BITS, .value = 0x0034}),
            (W{0x118A, 0x3FFF}));
  EXPECT_EQ(PatchRig(kSmall).patched(untouched, {.type = RELOCT_PAGESEL_BITS, .value = 0x0834}), untouched);
}

TEST(PatchCore14, refusals) {
  PatchRig rig(kFourBanks);
  for (uint16_t type : std::initializer_list<uint16_t>{0, 5, 11, 12, 13, 14, 19, 22, 25, 32, 33, 0xFFFF}) {
    EXPECT_EQ(rig.refused({0x2000}, {.type = type, .value = 0x10}), "unsupported relocation type.") << type;
  }
  // A two-word sequence whose second word is missing writes neither.
  EXPECT_EQ(rig.refused({0x0000, 0x3FFF}, {.type = RELOCT_BANKSEL, .value = 0x1A0, .offset = 2}),
            "relocation RELOCT_BANKSEL at offset 0x0002 writes past the end of the section's raw data (4 bytes).");
  EXPECT_EQ(rig.refused({0x0000, 0x3FFF}, {.type = RELOCT_PAGESEL, .value = 0x834, .offset = 2}),
            "relocation RELOCT_PAGESEL at offset 0x0002 writes past the end of the section's raw data (4 bytes).");
  EXPECT_EQ(rig.refused({0x2000}, {.type = RELOCT_CALL, .value = 0x834, .offset = 1}),
            "relocation RELOCT_CALL at offset 0x0001 writes past the end of the section's raw data (2 bytes).");
  // The same place is fine where the sequence is one word long.
  EXPECT_EQ(PatchRig(kTwoBanks).patched({0x0000, 0x3FFF}, {.type = RELOCT_BANKSEL, .value = 0x0A0, .offset = 2}),
            (W{0x0000, 0x1683}));
}
