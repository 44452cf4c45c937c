#include "TestSupport.h"
#include "device/Instructions.h"

using namespace tarsil;

namespace {

uint16_t build(int instSet, InstType type, int one = -1, int two = -1) {
  uint16_t w = 0;
  setInstType(&w, type, instSet);
  if (one >= 0) setOperandOne(&w, static_cast<uint16_t>(one), instSet);
  if (two >= 0) setOperandTwo(&w, static_cast<uint16_t>(two), instSet);
  return w;
}

using T = InstType;
constexpr int C12 = instSetCore12, C14 = instSetCore14, C16 = instSetCore16, C16E = instSetCore16E;

}  // namespace

// Operands are masked to their field: a sign-extended data byte keeps its low byte.
TEST(Instructions, wordsOfEachFamily) {
  const struct { int set; InstType type; int one, two; uint16_t word; } cases[] = {
      {C14, T::BSF, 3, 5, 0x1683}, {C14, T::BCF, 3, 6, 0x1303}, {C14, T::BSF, 3, 7, 0x1783},
      {C14, T::BCF, 10, 4, 0x120A}, {C14, T::BSF, 10, 3, 0x158A}, {C14, T::MOVLW, 0x12, -1, 0x3012},
      {C14, T::MOVWF, 10, -1, 0x008A}, {C14, T::RETLW, 0xFF, -1, 0x34FF}, {C12, T::BSF, 3, 5, 0x05A3},
      {C12, T::BCF, 4, 6, 0x04C4}, {C12, T::RETLW, 0x80, -1, 0x0880}, {C16, T::MOVLB, 5, -1, 0xB805},
      {C16, T::MOVLR, 5, -1, 0xBA50}, {C16, T::MOVLW, 0xA5, -1, 0xB0A5}, {C16, T::MOVWF, 3, -1, 0x0103},
      {C16, T::RETLW, 0x7E, -1, 0xB67E}, {C16E, T::RETLW, 0x41, -1, 0x0C41},
      {C16E, T::MOVLB, 0x0F, -1, 0x010F}, {C16E, T::MOVLW, 0x80, -1, 0x0E80},
      {C14, T::RETLW, 0xFFFF, -1, 0x34FF}, {C12, T::RETLW, 0xFF80, -1, 0x0880},
      {C16, T::RETLW, 0xFFFF, -1, 0xB6FF}, {C16E, T::RETLW, 0xFFC1, -1, 0x0CC1},
      {C12, T::BSF, 0xFF, 0xFF, 0x05FF}, {C14, T::BSF, 0xFFFF, 0xFFFF, 0x17FF},
      {C14, T::MOVWF, 0xFFFF, -1, 0x00FF}, {C16, T::MOVLB, 0xFF, -1, 0xB80F},
      {C16, T::MOVLR, 0xFF, -1, 0xBAF0}, {C12, T::GOTO, 0x1FF, -1, 0x0BFF}, {C12, T::CALL, 0x1FF, -1, 0x09FF},
      {C12, T::DECF, 0x1F, 1, 0x00FF}, {C12, T::MOVWF, 0x1F, 1, 0x003F}, {C12, T::CLRW, 0xFF, 1, 0x0040},
      {C14, T::CALL, 0x7FF, -1, 0x27FF}, {C14, T::GOTO, 0x7FF, -1, 0x2FFF}, {C14, T::TRIS, 6, -1, 0x0066},
      {C14, T::OPTION, -1, -1, 0x0062}, {C14, T::ADDWF, 0x20, 1, 0x07A0}, {C14, T::CLRF, 0x20, 1, 0x01A0},
      {C14, T::ADDLW, 0x01, -1, 0x3E01}, {C14, T::SUBLW, 0x01, -1, 0x3C01},
      {C16, T::CALL, 0x1FFF, -1, 0xFFFF}, {C16, T::GOTO, 0x1234, -1, 0xD234},
      {C16, T::LCALL, 0x34, -1, 0xB734}, {C16, T::BTG, 0x12, 7, 0x3F12}, {C16, T::MOVPF, 0x1F, 0x12, 0x5F12},
      {C16, T::MOVFP, 0x12, 0x1F, 0x7F12}, {C16, T::TLRD, 1, 0x34, 0xA234}, {C16, T::TABLWT, 1, 1, 0xAE00},
      {C16, T::ADDWF, 0x34, 1, 0x0F34}, {C16E, T::BRA, 0x7FF, -1, 0xD7FF},
      {C16E, T::RCALL, 0x001, -1, 0xD801}, {C16E, T::MOVFF, 0xABC, -1, 0xCABC},
      {C16E, T::WORD2, 0xFFFF, -1, 0xFFFF}, {C16E, T::LFSR, 2, 0xF, 0xEE2F}, {C16E, T::RETURN, 1, -1, 0x0013},
      {C16E, T::RETFIE, 1, -1, 0x0011}, {C16E, T::CALL, 0x34, 1, 0xED34}, {C16E, T::BCF, 0x80, 7, 0x9E80},
      {C16E, T::ADDWF, 0x80, 1, 0x2680}, {C16E, T::MOVWF, 0x80, 1, 0x6F80}, {C16E, T::BNZ, 0xFE, -1, 0xE1FE}
  };
  for (const auto& c : cases) EXPECT_EQ(build(c.set, c.type, c.one, c.two), c.word) << getInstName(c.type);
}

// Bits above a narrow family's word are not the encoder's either.
TEST(Instructions, settingTheTypeKeepsTheOperands) {
  const struct { int set; InstType type; uint16_t before, after; } cases[] = {
      {C14, T::BCF, 0x1683, 0x1283}, {C14, T::BCF, 0xD683, 0xD283}, {C12, T::BCF, 0xF5A3, 0xF4A3},
      {C16E, T::MOVWF, 0x01FF, 0x6FFF}, {C16, T::MOVLR, 0xFFFF, 0xBBFF}};
  for (auto c : cases) {
    setInstType(&c.before, c.type, c.set);
    EXPECT_EQ(c.before, c.after) << getInstName(c.type);
  }
}

// A type whose pattern another type's took (an overlap in a table, a misplaced row) fails here.
TEST(Instructions, decodingInvertsTheEncoders) {
  const uint16_t patterns[] = {0x0000, 0x5555, 0xFFFF};
  const uint16_t emptySecond = build(instSetCore16E, InstType::WORD2);
  for (int set : {C14, C16, C12, C16E}) {
    int supported = 0;
    for (int t = 1; t <= static_cast<int>(InstType::PAGESEL); ++t) {
      auto type = static_cast<InstType>(t);
      if (!isInstTypeSupported(type, set)) continue;
      ++supported;
      EXPECT_NE(getInstName(type), nullptr);
      // The bare 12-bit TRIS opcode is the NOP word; the examples show its decoding.
      if (set == instSetCore12 && type == InstType::TRIS) continue;
      for (uint16_t pattern : patterns) {
        uint16_t w = build(set, type);
        for (unsigned i = 0; i < kMaxOperands; ++i) setOperand(&w, i, pattern, set);
        Instruction inst = decodeInstruction(w, &emptySecond, set);
        ASSERT_EQ(inst.type, type) << "set " << set << " type " << t << " pattern " << pattern;
        EXPECT_EQ(getInstType(w, set), type);
        if (inst.words == 2) continue;  // their second word is checked below
        for (const Operand& op : inst.operands) {
          EXPECT_EQ(op.kind == OperandKind::none, op.bits == 0) << "set " << set << " type " << t;
          EXPECT_EQ(op.value, pattern & ((1u << op.bits) - 1)) << "set " << set << " type " << t;
        }
      }
    }
    EXPECT_GT(supported, 30) << set;
  }
}

// Without its second word, the first word is no instruction.
TEST(Instructions, twoWordInstructions) {
  // Operands of the first word, of the WORD2, then as decoded.
  struct Case { InstType type; uint16_t first[2], second; uint32_t one, two; uint8_t bitsOne, bitsTwo; };
  const Case cases[] = {
      {InstType::CALL, {0xFF, 1}, 0xFFF, 0xFFFFF, 1, 20, 1},
      {InstType::GOTO, {0x01, 0}, 0x800, 0x80001, 0, 20, 0},
      {InstType::LFSR, {2, 0xA}, 0x0BC, 2, 0xABC, 2, 12},
      {InstType::MOVFF, {0xFFF, 0}, 0x123, 0xFFF, 0x123, 12, 12},
  };
  for (const auto& c : cases) {
    uint16_t words[2] = {build(C16E, c.type, c.first[0], c.first[1]), build(C16E, InstType::WORD2, c.second)};
    Instruction inst = decodeInstruction(words[0], &words[1], instSetCore16E);
    EXPECT_EQ(inst.type, c.type);
    EXPECT_EQ(inst.words, 2);
    EXPECT_EQ(inst.operands[0].value, c.one) << getInstName(c.type);
    EXPECT_EQ(inst.operands[1].value, c.two) << getInstName(c.type);
    EXPECT_EQ(inst.operands[0].bits, c.bitsOne) << getInstName(c.type);
    EXPECT_EQ(inst.operands[1].bits, c.bitsTwo) << getInstName(c.type);
    EXPECT_EQ(decodeInstruction(words[0], nullptr, instSetCore16E).type, InstType::none);
    const uint16_t notSecond = 0x0000;
    EXPECT_EQ(decodeInstruction(words[0], &notSecond, instSetCore16E).type, InstType::none);
  }
}

TEST(Instructions, wordsThatAreNoInstruction) {
  const struct { int set; uint16_t word; } words[] = {
      {instSetCore12, 0x0041},  {instSetCore12, 0x1000},  {instSetCore14, 0x0001},  {instSetCore14, 0x3B00},
      {instSetCore14, 0x4000},  {instSetCore16, 0x0001},  {instSetCore16, 0xB900},  {instSetCore16, 0xBE00},
      {instSetCore16E, 0x0001}, {instSetCore16E, 0x0014}, {instSetCore16E, 0xE800}, {instSetCore16E, 0xEE40},
  };
  for (const auto& [set, word] : words) {
    Instruction inst = decodeInstruction(word, nullptr, set);
    EXPECT_EQ(inst.type, InstType::none) << "set " << set << " word " << word;
    EXPECT_EQ(inst.words, 0);
  }
  EXPECT_EQ(getInstType_Core14(0x0064), InstType::CLRWDT);
  EXPECT_EQ(getInstType_Core16E(0x0013), InstType::RETURN);
}
