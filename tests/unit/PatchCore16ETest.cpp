#include "PatchCoreHelpers.h"

using namespace tarsil;
using namespace tarsil::testing;
using namespace tarsil::patching;

namespace {

constexpr const char* kDevice = "t16e-2m-3840a";

}  // namespace

TEST(PatchCore16E, callsAndGotosTakeWordAddresses) {
  PatchRig rig(kDevice);
  EXPECT_EQ(rig.patched({0xEC00}, {.type = RELOCT_CALL, .value = 0x1234}), W{0xEC1A});
  EXPECT_EQ(rig.patched({0xEF00}, {.type = RELOCT_GOTO, .value = 0x1FE}), W{0xEFFF});
  EXPECT_EQ(rig.patched({0xF000}, {.type = RELOCT_CALL2, .value = 0x12345}), W{0xF091});
  EXPECT_EQ(rig.patched({0xF000}, {.type = RELOCT_CALL2, .value = 0x1FFFFE}), W{0xFFFF});

  EXPECT_EQ(rig.refused({0xEC00}, {.type = RELOCT_CALL, .value = 0x1235}),
            "Symbol 'target' is not word-aligned.\nIt can not be used as the target of a call or goto instruction.");
  // An addend can make an aligned symbol an odd target; names longer than
  // eight characters come from the string table, section references lose
  // their '.'.
  EXPECT_EQ(rig.refused({0xEF00}, {.type = RELOCT_GOTO, .value = 0x1234, .addend = 1, .name = "a_long_label"}),
            "Symbol 'a_long_label' is not word-aligned.\nIt can not be used as the target of a call or goto "
            "instruction.");
  EXPECT_EQ(rig.refused({0xEF00}, {.type = RELOCT_GOTO, .value = 0x1235, .name = ".code"}),
            "Symbol 'code' is not word-aligned.\nIt can not be used as the target of a call or goto instruction.");
}

TEST(PatchCore16E, byteAndRegisterFields) {
  PatchRig rig(kDevice);
  for (uint16_t type : {RELOCT_HIGH, RELOCT_BANKSEL, RELOCT_IBANKSEL, RELOCT_MOVLB})
    EXPECT_EQ(rig.patched({0x0100}, {.type = type, .value = 0x0ABC}), W{0x010A}) << type;
  for (uint16_t type : {RELOCT_LOW, RELOCT_F, RELOCT_LFSR2})
    EXPECT_EQ(rig.patched({0x6E00}, {.type = type, .value = 0x0ABC}), W{0x6EBC}) << type;
  EXPECT_EQ(rig.patched({0x0E00}, {.type = RELOCT_UPPER, .value = 0x123456}), W{0x0E12});
  EXPECT_EQ(rig.patched({0xFFFF}, {.type = RELOCT_ALL, .value = 0x123456}), W{0x3456});
  EXPECT_EQ(rig.patched({0xC000}, {.type = RELOCT_FF1, .value = 0x0ABC}), W{0xCABC});
  EXPECT_EQ(rig.patched({0xF000}, {.type = RELOCT_FF2, .value = 0x0123}), W{0xF123});
  EXPECT_EQ(rig.patched({0xF000}, {.type = RELOCT_FF2, .value = 0x0FFC}), W{0xFFFC});
  EXPECT_EQ(rig.patched({0xEE10}, {.type = RELOCT_LFSR1, .value = 0x0ABC}), W{0xEE1A});
}

TEST(PatchCore16E, movffCannotWriteTheReturnStackOrTheProgramCounter) {
  PatchRig rig(kDevice);
  const std::pair<uint32_t, const char*> forbidden[] = {
      {0xFFF, "TOSU"}, {0xFFE, "TOSH"}, {0xFFD, "TOSL"}, {0xFF9, "PCL"}, {0x1FFD, "TOSL"}};
  for (const auto& [address, reg] : forbidden) {
    EXPECT_EQ(rig.refused({0xF000}, {.type = RELOCT_FF2, .value = address}),
              std::string(reg) + " cannot be used as the destination of a MOVFF instruction.");
  }
  // As the source, every register will do.
  EXPECT_EQ(rig.patched({0xC000}, {.type = RELOCT_FF1, .value = 0xFFD}), W{0xCFFD});
}

TEST(PatchCore16E, relativeBranchesCountWordsFromTheNextInstruction) {
  PatchRig rig(kDevice);
  auto bra = [&](uint32_t target, uint32_t at) {
    return rig.run({0xD000}, {.type = RELOCT_BRA, .value = target, .scnAddr = at});
  };
  EXPECT_EQ(bra(0x100, 0x100).words, W{0xD7FF});  // to itself: back one word
  EXPECT_EQ(bra(0x102, 0x100).words, W{0xD000});  // to the next instruction
  EXPECT_EQ(bra(0x900, 0x100).words, W{0xD3FF});  // furthest forward
  EXPECT_EQ(bra(0x802, 0x1000).words, W{0xD400});  // furthest back
  const std::string outOfRange = "Symbol 'target' out of range of relative branch instruction.";
  EXPECT_EQ(bra(0x902, 0x100).error, outOfRange);
  EXPECT_EQ(bra(0x800, 0x1000).error, outOfRange);
  EXPECT_EQ(bra(0x0, 0x1000).error, outOfRange);
  EXPECT_EQ(bra(0x105, 0x100).error,
            "Symbol 'target' is not word-aligned.\nIt cannot be used as the target of a call or goto instruction.");
  EXPECT_EQ(bra(0xFF, 0x100).error,
            "Symbol 'target' is not word-aligned.\nIt cannot be used as the target of a call or goto instruction.");
  // A target that wraps below zero is far out of reach, not a short hop back.
  EXPECT_EQ(rig.refused({0xD000}, {.type = RELOCT_BRA, .value = 0, .addend = -2, .scnAddr = 0}), outOfRange);

  // The branch's own place is the piece's start plus the offset in the piece.
  EXPECT_EQ(rig.patched({0, 0, 0xD000}, {.type = RELOCT_BRA, .value = 0x100, .offset = 4, .scnAddr = 0x100}),
            (W{0, 0, 0xD7FD}));

  auto bz = [&](uint32_t target, uint32_t at) {
    return rig.run({0xE000}, {.type = RELOCT_CONDBRA, .value = target, .scnAddr = at});
  };
  EXPECT_EQ(bz(0x100, 0x100).words, W{0xE0FF});
  EXPECT_EQ(bz(0x102, 0x100).words, W{0xE000});
  EXPECT_EQ(bz(0x200, 0x100).words, W{0xE07F});
  EXPECT_EQ(bz(0x002, 0x100).words, W{0xE080});
  EXPECT_EQ(bz(0x202, 0x100).error, outOfRange);
  EXPECT_EQ(bz(0x000, 0x100).error, outOfRange);
  EXPECT_EQ(bz(0x103, 0x100).ok, false);
}

TEST(PatchCore16E, accessBitFollowsTheDeclaredAccessBanks) {
  PatchRig rig(kDevice);
  std::string error;
  ASSERT_TRUE(rig.linker().AddAccessBank(Memory("accessram", 0x000, 0x05F, ram, false, false, ""), error));
  ASSERT_TRUE(rig.linker().AddAccessBank(Memory("accesssfr", 0xF60, 0xFFF, ram, false, false, ""), error));
  EXPECT_EQ(rig.patched({0x6F10}, {.type = RELOCT_ACCESS, .value = 0x010}), W{0x6E10});
  EXPECT_EQ(rig.patched({0x6F5F}, {.type = RELOCT_ACCESS, .value = 0x05F}), W{0x6E5F});
  EXPECT_EQ(rig.patched({0x6E60}, {.type = RELOCT_ACCESS, .value = 0x060}), W{0x6F60});
  EXPECT_EQ(rig.patched({0x6E00}, {.type = RELOCT_ACCESS, .value = 0x100}), W{0x6F00});
  EXPECT_EQ(rig.patched({0x6F80}, {.type = RELOCT_ACCESS, .value = 0xF80}), W{0x6E80});
  // Without access banks every address goes through the bank register.
  EXPECT_EQ(PatchRig(kDevice).patched({0x6E10}, {.type = RELOCT_ACCESS, .value = 0x010}), W{0x6F10});
}

TEST(PatchCore16E, sectionSizeAndEnd) {
  PatchRig rig(kDevice);
  rig.linker().cScns["buffer"].setSize(0x123456);
  rig.linker().cScns["table"].setSize(0x10);
  const PatchRig::Reloc size{.type = RELOCT_SCNSZ_LOW, .value = 0x0200, .name = ".buffer"};
  auto with = [](PatchRig::Reloc r, uint16_t type, int16_t addend = 0) {
    r.type = type;
    r.addend = addend;
    return r;
  };
  EXPECT_EQ(rig.patched({0x0E00}, with(size, RELOCT_SCNSZ_LOW)), W{0x0E56});
  EXPECT_EQ(rig.patched({0x0E00}, with(size, RELOCT_SCNSZ_HIGH)), W{0x0E34});
  EXPECT_EQ(rig.patched({0x0E00}, with(size, RELOCT_SCNSZ_UPPER)), W{0x0E12});
  EXPECT_EQ(rig.patched({0x0E00}, with(size, RELOCT_SCNSZ_LOW, 2)), W{0x0E58});

  // The last address: the section's start plus its size less one.
  const PatchRig::Reloc end{.type = RELOCT_SCNEND_LOW, .value = 0x1FF80, .name = ".table"};
  EXPECT_EQ(rig.patched({0x0E00}, with(end, RELOCT_SCNEND_LOW)), W{0x0E8F});
  EXPECT_EQ(rig.patched({0x0E00}, with(end, RELOCT_SCNEND_HIGH)), W{0x0EFF});
  EXPECT_EQ(rig.patched({0x0E00}, with(end, RELOCT_SCNEND_UPPER)), W{0x0E01});
  EXPECT_EQ(rig.patched({0x0E00}, with(end, RELOCT_SCNEND_LOW, 0x71)), W{0x0E00});
  EXPECT_EQ(rig.patched({0xF000}, with(end, RELOCT_SCNEND_LFSR2)), W{0xF08F});
  EXPECT_EQ(rig.patched({0xEE10}, with(end, RELOCT_SCNEND_LFSR1)), W{0xEE1F});
  EXPECT_EQ(rig.patched({0x0E00}, {.type = RELOCT_SCNEND_LOW, .value = 0x0200, .name = ".table"}), W{0x0E0F});

  EXPECT_EQ(rig.refused({0x0E00}, {.type = RELOCT_SCNSZ_LOW, .value = 0x200, .name = "buffer"}),
            "relocation RELOCT_SCNSZ_LOW at offset 0x0000 needs a section reference, but symbol 'buffer' does not "
            "name a section.");
  EXPECT_EQ(rig.refused({0x0E00}, {.type = RELOCT_SCNEND_HIGH, .value = 0x200, .name = ".nosuch"}),
            "relocation RELOCT_SCNEND_HIGH at offset 0x0000 refers to section 'nosuch', which no input has.");
}

TEST(PatchCore16E, refusals) {
  PatchRig rig(kDevice);
  for (uint16_t type : std::initializer_list<uint16_t>{0, 5, 7, 11, 12, 23, 24, 33}) {
    EXPECT_EQ(rig.refused({0xEC00}, {.type = type, .value = 0x10}), "unsupported relocation type.") << type;
  }
  // Core16E data may hold single bytes at odd offsets: a byte field fits in
  // the last byte, a word does not.
  EXPECT_EQ(rig.run({0x0000}, {.type = RELOCT_LOW, .value = 0xAB, .offset = 1}).words, W{0xAB00});
  EXPECT_EQ(rig.refused({0x0000}, {.type = RELOCT_ALL, .value = 0xAB, .offset = 1}),
            "relocation RELOCT_ALL at offset 0x0001 writes past the end of the section's raw data (2 bytes).");
  EXPECT_EQ(rig.refused({0x0000}, {.type = RELOCT_ACCESS, .value = 0xAB, .offset = 1}),
            "relocation RELOCT_ACCESS at offset 0x0001 writes past the end of the section's raw data (2 bytes).");
}
