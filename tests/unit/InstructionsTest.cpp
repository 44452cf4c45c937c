#include <gtest/gtest.h>

#include <cstdint>

#include "device/Instructions.h"

using namespace tarsil;

namespace {

uint16_t build(int instSet, InstType type) {
  uint16_t w = 0;
  setInstType(&w, type, instSet);
  return w;
}

uint16_t build(int instSet, InstType type, uint16_t one) {
  uint16_t w = build(instSet, type);
  setOperandOne(&w, one, instSet);
  return w;
}

uint16_t build(int instSet, InstType type, uint16_t one, uint16_t two) {
  uint16_t w = build(instSet, type, one);
  setOperandTwo(&w, two, instSet);
  return w;
}

constexpr int kSets[] = {instSetCore14, instSetCore16, instSetCore12, instSetCore16E};

}  // namespace

// The sequences that relocations expand to and the data-carrying returns.
TEST(Instructions, wordsTheLinkerBuilds) {
  EXPECT_EQ(build(instSetCore14, InstType::BSF, 3, 5), 0x1683);
  EXPECT_EQ(build(instSetCore14, InstType::BCF, 3, 6), 0x1303);
  EXPECT_EQ(build(instSetCore14, InstType::BSF, 3, 7), 0x1783);
  EXPECT_EQ(build(instSetCore14, InstType::BCF, 10, 4), 0x120A);
  EXPECT_EQ(build(instSetCore14, InstType::BSF, 10, 3), 0x158A);
  EXPECT_EQ(build(instSetCore14, InstType::MOVLW, 0x12), 0x3012);
  EXPECT_EQ(build(instSetCore14, InstType::MOVWF, 10), 0x008A);
  EXPECT_EQ(build(instSetCore14, InstType::RETLW, 0xFF), 0x34FF);

  EXPECT_EQ(build(instSetCore12, InstType::BSF, 3, 5), 0x05A3);
  EXPECT_EQ(build(instSetCore12, InstType::BCF, 4, 6), 0x04C4);
  EXPECT_EQ(build(instSetCore12, InstType::RETLW, 0x80), 0x0880);

  EXPECT_EQ(build(instSetCore16, InstType::MOVLB, 5), 0xB805);
  EXPECT_EQ(build(instSetCore16, InstType::MOVLR, 5), 0xBA50);
  EXPECT_EQ(build(instSetCore16, InstType::MOVLW, 0xA5), 0xB0A5);
  EXPECT_EQ(build(instSetCore16, InstType::MOVWF, 3), 0x0103);
  EXPECT_EQ(build(instSetCore16, InstType::RETLW, 0x7E), 0xB67E);

  EXPECT_EQ(build(instSetCore16E, InstType::RETLW, 0x41), 0x0C41);
  EXPECT_EQ(build(instSetCore16E, InstType::MOVLB, 0x0F), 0x010F);
  EXPECT_EQ(build(instSetCore16E, InstType::MOVLW, 0x80), 0x0E80);
}

TEST(Instructions, operandsAreMaskedToTheirField) {
  // A data byte that arrived sign-extended keeps only its low byte.
  for (int set : kSets) EXPECT_EQ(build(set, InstType::RETLW, 0xFFFF) & 0xFF, 0xFF) << set;
  EXPECT_EQ(build(instSetCore14, InstType::RETLW, 0xFFFF), 0x34FF);
  EXPECT_EQ(build(instSetCore12, InstType::RETLW, 0xFF80), 0x0880);
  EXPECT_EQ(build(instSetCore16, InstType::RETLW, 0xFFFF), 0xB6FF);
  EXPECT_EQ(build(instSetCore16E, InstType::RETLW, 0xFFC1), 0x0CC1);

  EXPECT_EQ(build(instSetCore12, InstType::BSF, 0xFF, 0xFF), 0x05FF);
  EXPECT_EQ(build(instSetCore14, InstType::BSF, 0xFFFF, 0xFFFF), 0x17FF);
  EXPECT_EQ(build(instSetCore14, InstType::MOVWF, 0xFFFF), 0x00FF);
  EXPECT_EQ(build(instSetCore16, InstType::MOVLB, 0xFF), 0xB80F);
  EXPECT_EQ(build(instSetCore16, InstType::MOVLR, 0xFF), 0xBAF0);
}

TEST(Instructions, operandLayoutsOfEachFamily) {
  EXPECT_EQ(build(instSetCore12, InstType::GOTO, 0x1FF), 0x0BFF);
  EXPECT_EQ(build(instSetCore12, InstType::CALL, 0x1FF), 0x09FF);
  EXPECT_EQ(build(instSetCore12, InstType::DECF, 0x1F, 1), 0x00FF);
  EXPECT_EQ(build(instSetCore12, InstType::MOVWF, 0x1F, 1), 0x003F);  // no destination bit
  EXPECT_EQ(build(instSetCore12, InstType::CLRW, 0xFF, 1), 0x0040);

  EXPECT_EQ(build(instSetCore14, InstType::CALL, 0x7FF), 0x27FF);
  EXPECT_EQ(build(instSetCore14, InstType::GOTO, 0x123), 0x2923);
  EXPECT_EQ(build(instSetCore14, InstType::TRIS, 6), 0x0066);
  EXPECT_EQ(build(instSetCore14, InstType::ADDWF, 0x20, 1), 0x07A0);
  EXPECT_EQ(build(instSetCore14, InstType::CLRF, 0x20, 1), 0x01A0);
  EXPECT_EQ(build(instSetCore14, InstType::ADDLW, 0x01), 0x3E01);
  EXPECT_EQ(build(instSetCore14, InstType::SUBLW, 0x01), 0x3C01);

  EXPECT_EQ(build(instSetCore16, InstType::CALL, 0x1FFF), 0xFFFF);
  EXPECT_EQ(build(instSetCore16, InstType::GOTO, 0x1234), 0xD234);
  EXPECT_EQ(build(instSetCore16, InstType::LCALL, 0x34), 0xB734);
  EXPECT_EQ(build(instSetCore16, InstType::BTG, 0x12, 7), 0x3F12);
  EXPECT_EQ(build(instSetCore16, InstType::MOVPF, 0x1F, 0x12), 0x5F12);
  EXPECT_EQ(build(instSetCore16, InstType::MOVFP, 0x12, 0x1F), 0x7F12);
  EXPECT_EQ(build(instSetCore16, InstType::TLRD, 1, 0x34), 0xA234);
  EXPECT_EQ(build(instSetCore16, InstType::TABLWT, 1, 1), 0xAE00);
  EXPECT_EQ(build(instSetCore16, InstType::ADDWF, 0x34, 1), 0x0F34);

  EXPECT_EQ(build(instSetCore16E, InstType::BRA, 0x7FF), 0xD7FF);
  EXPECT_EQ(build(instSetCore16E, InstType::RCALL, 0x001), 0xD801);
  EXPECT_EQ(build(instSetCore16E, InstType::MOVFF, 0xABC), 0xCABC);
  EXPECT_EQ(build(instSetCore16E, InstType::WORD2, 0xFFFF), 0xFFFF);
  EXPECT_EQ(build(instSetCore16E, InstType::LFSR, 2, 0xF), 0xEE2F);
  EXPECT_EQ(build(instSetCore16E, InstType::RETURN, 1), 0x0013);
  EXPECT_EQ(build(instSetCore16E, InstType::RETFIE, 1), 0x0011);
  EXPECT_EQ(build(instSetCore16E, InstType::CALL, 0x34, 1), 0xED34);
  EXPECT_EQ(build(instSetCore16E, InstType::BCF, 0x80, 7), 0x9E80);
  EXPECT_EQ(build(instSetCore16E, InstType::ADDWF, 0x80, 1), 0x2680);
  EXPECT_EQ(build(instSetCore16E, InstType::MOVWF, 0x80, 1), 0x6F80);
  EXPECT_EQ(build(instSetCore16E, InstType::BNZ, 0xFE), 0xE1FE);
}

TEST(Instructions, settingTheTypeKeepsTheOperands) {
  uint16_t w = 0x1683;  // BSF 3,5
  setInstType(&w, InstType::BCF, instSetCore14);
  EXPECT_EQ(w, 0x1283);
  w = 0xC000 | 0x1683;  // bits above the 14-bit word are not the encoder's
  setInstType(&w, InstType::BCF, instSetCore14);
  EXPECT_EQ(w, 0xD283);
  w = 0xF5A3;
  setInstType(&w, InstType::BCF, instSetCore12);
  EXPECT_EQ(w, 0xF4A3);
  w = 0x01FF;
  setInstType(&w, InstType::MOVWF, instSetCore16E);
  EXPECT_EQ(w, 0x6FFF);
  w = 0xFFFF;
  setInstType(&w, InstType::MOVLR, instSetCore16);
  EXPECT_EQ(w, 0xBBFF);
  setOperandOne(&w, 0, instSetCore16);
  EXPECT_EQ(w, 0xBB0F);
}

// Decoding inverts the encoders: every type of every family, built with all
// its operands at 0, at a mixed pattern and at their largest values, reads
// back as the same type with the same operands. A type whose pattern another
// type's took (an overlap in a table, a misplaced row) fails here.
TEST(Instructions, decodingInvertsTheEncoders) {
  const uint16_t patterns[] = {0x0000, 0x5555, 0xFFFF};
  const uint16_t emptySecond = build(instSetCore16E, InstType::WORD2);
  for (int set : kSets) {
    int supported = 0;
    for (int t = 1; t <= static_cast<int>(InstType::PAGESEL); ++t) {
      auto type = static_cast<InstType>(t);
      if (!isInstTypeSupported(type, set)) continue;
      ++supported;
      EXPECT_NE(getInstName(type), nullptr);
      // The bare 12-bit TRIS opcode is the NOP word, so the setters read it
      // as NOP and place no port; its decoding is shown by the examples.
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
  EXPECT_FALSE(isInstTypeSupported(InstType::MOVLB, instSetCore14));
  EXPECT_FALSE(isInstTypeSupported(InstType::MOVLR, instSetCore16E));
  EXPECT_FALSE(isInstTypeSupported(InstType::BANKSEL, instSetCore16));
  EXPECT_FALSE(isInstTypeSupported(InstType::BSF, 0));
  EXPECT_STREQ(getInstName(InstType::TBLRDPOSTINC), "tblrd*+");
}

// The second word of a Core16E two-word instruction completes its operands;
// without one, the first word is no instruction.
TEST(Instructions, twoWordInstructions) {
  struct Case {
    InstType type;
    uint16_t first[2];  // operands one and two of the first word
    uint16_t second;    // operand of the WORD2
    uint32_t one, two;  // as decoded
    uint8_t bitsOne, bitsTwo;
  };
  const Case cases[] = {
      {InstType::CALL, {0xFF, 1}, 0xFFF, 0xFFFFF, 1, 20, 1},
      {InstType::GOTO, {0x01, 0}, 0x800, 0x80001, 0, 20, 0},
      {InstType::LFSR, {2, 0xA}, 0x0BC, 2, 0xABC, 2, 12},
      {InstType::MOVFF, {0xFFF, 0}, 0x123, 0xFFF, 0x123, 12, 12},
  };
  for (const Case& c : cases) {
    uint16_t words[2] = {build(instSetCore16E, c.type, c.first[0], c.first[1]),
                         build(instSetCore16E, InstType::WORD2, c.second)};
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

// Words no family instruction has stay data, bits beyond a narrow word too.
TEST(Instructions, wordsThatAreNoInstruction) {
  const struct {
    int set;
    uint16_t word;
  } words[] = {
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

TEST(Instructions, familyFunctionsMatchTheDispatcher) {
  uint16_t a = 0, b = 0;
  setInstType_Core16(&a, InstType::MOVLR);
  setOperandOne_Core16(&a, 5);
  setInstType(&b, InstType::MOVLR, instSetCore16);
  setOperandOne(&b, 5, instSetCore16);
  EXPECT_EQ(a, b);
  a = 0;
  setInstType_Core12(&a, InstType::BSF);
  setOperandTwo_Core12(&a, 5);
  EXPECT_EQ(a, 0x05A0);
  a = 0;
  setInstType_Core16E(&a, InstType::LFSR);
  setOperandTwo_Core16E(&a, 3);
  EXPECT_EQ(a, 0xEE03);
}

using InstructionsDeathTest = ::testing::Test;

TEST(InstructionsDeathTest, unsupportedCombinationsStop) {
  uint16_t w = 0;
  EXPECT_DEATH(setInstType(&w, InstType::MOVLB, instSetCore14), "LanguageToolShared/mginst");
  EXPECT_DEATH(setInstType(&w, InstType::MOVLR, instSetCore16E), "LanguageToolShared/mginst");
  EXPECT_DEATH(setInstType(&w, InstType::PAGESEL, instSetCore12), "LanguageToolShared/mginst");
  EXPECT_DEATH(setInstType(&w, InstType::BSF, 5), "LanguageToolShared/mginst");
  EXPECT_DEATH(getInstType(0, 0), "LanguageToolShared/mginst");
  w = 0xE800;  // no 16E instruction has these opcode bits
  EXPECT_DEATH(setOperandOne(&w, 1, instSetCore16E), "LanguageToolShared/mginst");
}
