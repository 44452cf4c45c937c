// SPDX-License-Identifier: Apache-2.0
#include "device/Instructions.h"

#include <array>
#include <cstddef>

#include "support/Assert.h"

#define TARSIL_ASSERT_MGINST(cond) TARSIL_ASSERT_MODULE(cond, "LanguageToolShared/mginst")

namespace tarsil {

// Object files and the other tools of the suite store these numbers.
static_assert(static_cast<int>(InstType::BCF) == 7 && static_cast<int>(InstType::BSF) == 15);
static_assert(static_cast<int>(InstType::MOVLB) == 45 && static_cast<int>(InstType::MOVLW) == 47);
static_assert(static_cast<int>(InstType::MOVWF) == 49 && static_cast<int>(InstType::RETLW) == 62);
static_assert(static_cast<int>(InstType::TRIS) == 92 && static_cast<int>(InstType::PAGESEL) == 98);

namespace {

using T = InstType;

// An operand field: `bits` wide, its lowest bit at `shift`, written in
// assembler notation as `kind` says; 0 bits means the type has no such
// operand.
struct Field {
  uint8_t shift = 0;
  uint8_t bits = 0;
  OperandKind kind = OperandKind::none;
};

// What a Core16E two-word instruction takes from its second word (WORD2).
enum class Word2 : uint8_t {
  none,
  extendsOne,  // bits 11..0 continue operand one above its 8 bits (call and goto targets)
  extendsTwo,  // bits 7..0 follow operand two's 4 bits (the LFSR literal)
  isTwo,       // bits 11..0 are operand two (the MOVFF destination)
};

struct Encoding {
  InstType type;
  uint16_t mask;    // opcode bits
  uint16_t opcode;  // their value
  // Operands one to four, in assembler order. The fourth is only the
  // register of Core16's table reads and writes, whose operand two is empty.
  std::array<Field, kMaxOperands> fields{};
  Word2 word2 = Word2::none;
};

using K = OperandKind;
constexpr Field reg(uint8_t bits, uint8_t shift = 0) { return {shift, bits, K::reg}; }
constexpr Field lit(uint8_t bits, uint8_t shift = 0) { return {shift, bits, K::literal}; }
constexpr Field num(uint8_t bits, uint8_t shift) { return {shift, bits, K::number}; }
constexpr Field dest(uint8_t shift) { return {shift, 1, K::dest}; }
constexpr Field bitNo(uint8_t shift) { return {shift, 3, K::bit}; }
constexpr Field access() { return {8, 1, K::access}; }
constexpr Field fast(uint8_t shift) { return {shift, 1, K::fast}; }
constexpr Field target(uint8_t bits) { return {0, bits, K::target}; }
constexpr Field branch(uint8_t bits) { return {0, bits, K::branch}; }
constexpr Field none{};

// Each table is searched in order when a word is decoded, so an encoding that
// lies inside a wider one's pattern comes before it (the exact no-operand
// words before the patterns that would also match them).

constexpr Encoding kCore12[] = {
    {T::NOP, 0x0FFF, 0x0000},
    {T::OPTION, 0x0FFF, 0x0002},
    {T::SLEEP, 0x0FFF, 0x0003},
    {T::CLRWDT, 0x0FFF, 0x0004},
    {T::CLRW, 0x0FFF, 0x0040},
    {T::TRIS, 0x0FF8, 0x0000, {reg(3)}},
    {T::MOVWF, 0x0FE0, 0x0020, {reg(5)}},
    {T::CLRF, 0x0FE0, 0x0060, {reg(5)}},
    {T::SUBWF, 0x0FC0, 0x0080, {reg(5), dest(5)}},
    {T::DECF, 0x0FC0, 0x00C0, {reg(5), dest(5)}},
    {T::IORWF, 0x0FC0, 0x0100, {reg(5), dest(5)}},
    {T::ANDWF, 0x0FC0, 0x0140, {reg(5), dest(5)}},
    {T::XORWF, 0x0FC0, 0x0180, {reg(5), dest(5)}},
    {T::ADDWF, 0x0FC0, 0x01C0, {reg(5), dest(5)}},
    {T::MOVF, 0x0FC0, 0x0200, {reg(5), dest(5)}},
    {T::COMF, 0x0FC0, 0x0240, {reg(5), dest(5)}},
    {T::INCF, 0x0FC0, 0x0280, {reg(5), dest(5)}},
    {T::DECFSZ, 0x0FC0, 0x02C0, {reg(5), dest(5)}},
    {T::RRF, 0x0FC0, 0x0300, {reg(5), dest(5)}},
    {T::RLF, 0x0FC0, 0x0340, {reg(5), dest(5)}},
    {T::SWAPF, 0x0FC0, 0x0380, {reg(5), dest(5)}},
    {T::INCFSZ, 0x0FC0, 0x03C0, {reg(5), dest(5)}},
    {T::BCF, 0x0F00, 0x0400, {reg(5), bitNo(5)}},
    {T::BSF, 0x0F00, 0x0500, {reg(5), bitNo(5)}},
    {T::BTFSC, 0x0F00, 0x0600, {reg(5), bitNo(5)}},
    {T::BTFSS, 0x0F00, 0x0700, {reg(5), bitNo(5)}},
    {T::RETLW, 0x0F00, 0x0800, {lit(8)}},
    {T::CALL, 0x0F00, 0x0900, {target(8)}},
    {T::GOTO, 0x0E00, 0x0A00, {target(9)}},
    {T::MOVLW, 0x0F00, 0x0C00, {lit(8)}},
    {T::IORLW, 0x0F00, 0x0D00, {lit(8)}},
    {T::ANDLW, 0x0F00, 0x0E00, {lit(8)}},
    {T::XORLW, 0x0F00, 0x0F00, {lit(8)}},
};

constexpr Encoding kCore14[] = {
    {T::RETURN, 0x3FFF, 0x0008},
    {T::RETFIE, 0x3FFF, 0x0009},
    {T::OPTION, 0x3FFF, 0x0062},
    {T::SLEEP, 0x3FFF, 0x0063},
    {T::CLRWDT, 0x3FFF, 0x0064},
    {T::TRIS, 0x3FF8, 0x0060, {reg(3)}},
    {T::NOP, 0x3F9F, 0x0000},
    {T::MOVWF, 0x3F80, 0x0080, {reg(7)}},
    {T::CLRW, 0x3F80, 0x0100},
    {T::CLRF, 0x3F80, 0x0180, {reg(7)}},
    {T::SUBWF, 0x3F00, 0x0200, {reg(7), dest(7)}},
    {T::DECF, 0x3F00, 0x0300, {reg(7), dest(7)}},
    {T::IORWF, 0x3F00, 0x0400, {reg(7), dest(7)}},
    {T::ANDWF, 0x3F00, 0x0500, {reg(7), dest(7)}},
    {T::XORWF, 0x3F00, 0x0600, {reg(7), dest(7)}},
    {T::ADDWF, 0x3F00, 0x0700, {reg(7), dest(7)}},
    {T::MOVF, 0x3F00, 0x0800, {reg(7), dest(7)}},
    {T::COMF, 0x3F00, 0x0900, {reg(7), dest(7)}},
    {T::INCF, 0x3F00, 0x0A00, {reg(7), dest(7)}},
    {T::DECFSZ, 0x3F00, 0x0B00, {reg(7), dest(7)}},
    {T::RRF, 0x3F00, 0x0C00, {reg(7), dest(7)}},
    {T::RLF, 0x3F00, 0x0D00, {reg(7), dest(7)}},
    {T::SWAPF, 0x3F00, 0x0E00, {reg(7), dest(7)}},
    {T::INCFSZ, 0x3F00, 0x0F00, {reg(7), dest(7)}},
    {T::BCF, 0x3C00, 0x1000, {reg(7), bitNo(7)}},
    {T::BSF, 0x3C00, 0x1400, {reg(7), bitNo(7)}},
    {T::BTFSC, 0x3C00, 0x1800, {reg(7), bitNo(7)}},
    {T::BTFSS, 0x3C00, 0x1C00, {reg(7), bitNo(7)}},
    {T::CALL, 0x3800, 0x2000, {target(11)}},
    {T::GOTO, 0x3800, 0x2800, {target(11)}},
    {T::MOVLW, 0x3C00, 0x3000, {lit(8)}},
    {T::RETLW, 0x3C00, 0x3400, {lit(8)}},
    {T::IORLW, 0x3F00, 0x3800, {lit(8)}},
    {T::ANDLW, 0x3F00, 0x3900, {lit(8)}},
    {T::XORLW, 0x3F00, 0x3A00, {lit(8)}},
    {T::SUBLW, 0x3E00, 0x3C00, {lit(8)}},
    {T::ADDLW, 0x3E00, 0x3E00, {lit(8)}},
};

// The s bit of CLRF, SETF, NEGW and DAW says whether WREG is written too, so
// it is shown as a number rather than as a destination.
constexpr Encoding kCore16[] = {
    {T::NOP, 0xFFFF, 0x0000},
    {T::RETURN, 0xFFFF, 0x0002},
    {T::SLEEP, 0xFFFF, 0x0003},
    {T::CLRWDT, 0xFFFF, 0x0004},
    {T::RETFIE, 0xFFFF, 0x0005},
    {T::MOVWF, 0xFF00, 0x0100, {reg(8)}},
    {T::SUBWFB, 0xFE00, 0x0200, {reg(8), dest(8)}},
    {T::SUBWF, 0xFE00, 0x0400, {reg(8), dest(8)}},
    {T::DECF, 0xFE00, 0x0600, {reg(8), dest(8)}},
    {T::IORWF, 0xFE00, 0x0800, {reg(8), dest(8)}},
    {T::ANDWF, 0xFE00, 0x0A00, {reg(8), dest(8)}},
    {T::XORWF, 0xFE00, 0x0C00, {reg(8), dest(8)}},
    {T::ADDWF, 0xFE00, 0x0E00, {reg(8), dest(8)}},
    {T::ADDWFC, 0xFE00, 0x1000, {reg(8), dest(8)}},
    {T::COMF, 0xFE00, 0x1200, {reg(8), dest(8)}},
    {T::INCF, 0xFE00, 0x1400, {reg(8), dest(8)}},
    {T::DECFSZ, 0xFE00, 0x1600, {reg(8), dest(8)}},
    {T::RRCF, 0xFE00, 0x1800, {reg(8), dest(8)}},
    {T::RLCF, 0xFE00, 0x1A00, {reg(8), dest(8)}},
    {T::SWAPF, 0xFE00, 0x1C00, {reg(8), dest(8)}},
    {T::INCFSZ, 0xFE00, 0x1E00, {reg(8), dest(8)}},
    {T::RRNCF, 0xFE00, 0x2000, {reg(8), dest(8)}},
    {T::RLNCF, 0xFE00, 0x2200, {reg(8), dest(8)}},
    {T::INFSNZ, 0xFE00, 0x2400, {reg(8), dest(8)}},
    {T::DCFSNZ, 0xFE00, 0x2600, {reg(8), dest(8)}},
    {T::CLRF, 0xFE00, 0x2800, {reg(8), num(1, 8)}},
    {T::SETF, 0xFE00, 0x2A00, {reg(8), num(1, 8)}},
    {T::NEGW, 0xFE00, 0x2C00, {reg(8), num(1, 8)}},
    {T::DAW, 0xFE00, 0x2E00, {reg(8), num(1, 8)}},
    {T::CPFSLT, 0xFF00, 0x3000, {reg(8)}},
    {T::CPFSEQ, 0xFF00, 0x3100, {reg(8)}},
    {T::CPFSGT, 0xFF00, 0x3200, {reg(8)}},
    {T::TSTFSZ, 0xFF00, 0x3300, {reg(8)}},
    {T::MULWF, 0xFF00, 0x3400, {reg(8)}},
    {T::BTG, 0xF800, 0x3800, {reg(8), bitNo(8)}},
    {T::MOVPF, 0xE000, 0x4000, {reg(5, 8), reg(8)}},
    {T::MOVFP, 0xE000, 0x6000, {reg(8), reg(5, 8)}},
    {T::BSF, 0xF800, 0x8000, {reg(8), bitNo(8)}},
    {T::BCF, 0xF800, 0x8800, {reg(8), bitNo(8)}},
    {T::BTFSS, 0xF800, 0x9000, {reg(8), bitNo(8)}},
    {T::BTFSC, 0xF800, 0x9800, {reg(8), bitNo(8)}},
    {T::TLRD, 0xFC00, 0xA000, {num(1, 9), reg(8)}},
    {T::TLWT, 0xFC00, 0xA400, {num(1, 9), reg(8)}},
    {T::TABLRD, 0xFC00, 0xA800, {num(1, 9), none, num(1, 8), reg(8)}},
    {T::TABLWT, 0xFC00, 0xAC00, {num(1, 9), none, num(1, 8), reg(8)}},
    {T::MOVLW, 0xFF00, 0xB000, {lit(8)}},
    {T::ADDLW, 0xFF00, 0xB100, {lit(8)}},
    {T::SUBLW, 0xFF00, 0xB200, {lit(8)}},
    {T::IORLW, 0xFF00, 0xB300, {lit(8)}},
    {T::XORLW, 0xFF00, 0xB400, {lit(8)}},
    {T::ANDLW, 0xFF00, 0xB500, {lit(8)}},
    {T::RETLW, 0xFF00, 0xB600, {lit(8)}},
    {T::LCALL, 0xFF00, 0xB700, {lit(8)}},
    {T::MOVLB, 0xFF00, 0xB800, {lit(4)}},
    {T::MOVLR, 0xFE00, 0xBA00, {lit(4, 4)}},
    {T::MULLW, 0xFF00, 0xBC00, {lit(8)}},
    {T::GOTO, 0xE000, 0xC000, {target(13)}},
    {T::CALL, 0xE000, 0xE000, {target(13)}},
};

constexpr Encoding kCore16E[] = {
    {T::NOP, 0xFFFF, 0x0000},
    {T::SLEEP, 0xFFFF, 0x0003},
    {T::CLRWDT, 0xFFFF, 0x0004},
    {T::PUSH, 0xFFFF, 0x0005},
    {T::POP, 0xFFFF, 0x0006},
    {T::DAW, 0xFFFF, 0x0007},
    {T::TBLRD, 0xFFFF, 0x0008},
    {T::TBLRDPOSTINC, 0xFFFF, 0x0009},
    {T::TBLRDPOSTDEC, 0xFFFF, 0x000A},
    {T::TBLRDPREINC, 0xFFFF, 0x000B},
    {T::TBLWT, 0xFFFF, 0x000C},
    {T::TBLWTPOSTINC, 0xFFFF, 0x000D},
    {T::TBLWTPOSTDEC, 0xFFFF, 0x000E},
    {T::TBLWTPREINC, 0xFFFF, 0x000F},
    {T::RETFIE, 0xFFFE, 0x0010, {fast(0)}},
    {T::RETURN, 0xFFFE, 0x0012, {fast(0)}},
    {T::RESET, 0xFFFF, 0x00FF},
    {T::MOVLB, 0xFF00, 0x0100, {lit(8)}},
    {T::MULWF, 0xFE00, 0x0200, {reg(8), access()}},
    {T::DECF, 0xFC00, 0x0400, {reg(8), dest(9), access()}},
    {T::SUBLW, 0xFF00, 0x0800, {lit(8)}},
    {T::IORLW, 0xFF00, 0x0900, {lit(8)}},
    {T::XORLW, 0xFF00, 0x0A00, {lit(8)}},
    {T::ANDLW, 0xFF00, 0x0B00, {lit(8)}},
    {T::RETLW, 0xFF00, 0x0C00, {lit(8)}},
    {T::MULLW, 0xFF00, 0x0D00, {lit(8)}},
    {T::MOVLW, 0xFF00, 0x0E00, {lit(8)}},
    {T::ADDLW, 0xFF00, 0x0F00, {lit(8)}},
    {T::IORWF, 0xFC00, 0x1000, {reg(8), dest(9), access()}},
    {T::ANDWF, 0xFC00, 0x1400, {reg(8), dest(9), access()}},
    {T::XORWF, 0xFC00, 0x1800, {reg(8), dest(9), access()}},
    {T::COMF, 0xFC00, 0x1C00, {reg(8), dest(9), access()}},
    {T::ADDWFC, 0xFC00, 0x2000, {reg(8), dest(9), access()}},
    {T::ADDWF, 0xFC00, 0x2400, {reg(8), dest(9), access()}},
    {T::INCF, 0xFC00, 0x2800, {reg(8), dest(9), access()}},
    {T::DECFSZ, 0xFC00, 0x2C00, {reg(8), dest(9), access()}},
    {T::RRCF, 0xFC00, 0x3000, {reg(8), dest(9), access()}},
    {T::RLCF, 0xFC00, 0x3400, {reg(8), dest(9), access()}},
    {T::SWAPF, 0xFC00, 0x3800, {reg(8), dest(9), access()}},
    {T::INCFSZ, 0xFC00, 0x3C00, {reg(8), dest(9), access()}},
    {T::RRNCF, 0xFC00, 0x4000, {reg(8), dest(9), access()}},
    {T::RLNCF, 0xFC00, 0x4400, {reg(8), dest(9), access()}},
    {T::INFSNZ, 0xFC00, 0x4800, {reg(8), dest(9), access()}},
    {T::DCFSNZ, 0xFC00, 0x4C00, {reg(8), dest(9), access()}},
    {T::MOVF, 0xFC00, 0x5000, {reg(8), dest(9), access()}},
    {T::SUBFWB, 0xFC00, 0x5400, {reg(8), dest(9), access()}},
    {T::SUBWFB, 0xFC00, 0x5800, {reg(8), dest(9), access()}},
    {T::SUBWF, 0xFC00, 0x5C00, {reg(8), dest(9), access()}},
    {T::CPFSLT, 0xFE00, 0x6000, {reg(8), access()}},
    {T::CPFSEQ, 0xFE00, 0x6200, {reg(8), access()}},
    {T::CPFSGT, 0xFE00, 0x6400, {reg(8), access()}},
    {T::TSTFSZ, 0xFE00, 0x6600, {reg(8), access()}},
    {T::SETF, 0xFE00, 0x6800, {reg(8), access()}},
    {T::CLRF, 0xFE00, 0x6A00, {reg(8), access()}},
    {T::NEGF, 0xFE00, 0x6C00, {reg(8), access()}},
    {T::MOVWF, 0xFE00, 0x6E00, {reg(8), access()}},
    {T::BTG, 0xF000, 0x7000, {reg(8), bitNo(9), access()}},
    {T::BSF, 0xF000, 0x8000, {reg(8), bitNo(9), access()}},
    {T::BCF, 0xF000, 0x9000, {reg(8), bitNo(9), access()}},
    {T::BTFSS, 0xF000, 0xA000, {reg(8), bitNo(9), access()}},
    {T::BTFSC, 0xF000, 0xB000, {reg(8), bitNo(9), access()}},
    {T::MOVFF, 0xF000, 0xC000, {reg(12)}, Word2::isTwo},
    {T::BRA, 0xF800, 0xD000, {branch(11)}},
    {T::RCALL, 0xF800, 0xD800, {branch(11)}},
    {T::BZ, 0xFF00, 0xE000, {branch(8)}},
    {T::BNZ, 0xFF00, 0xE100, {branch(8)}},
    {T::BC, 0xFF00, 0xE200, {branch(8)}},
    {T::BNC, 0xFF00, 0xE300, {branch(8)}},
    {T::BOV, 0xFF00, 0xE400, {branch(8)}},
    {T::BNOV, 0xFF00, 0xE500, {branch(8)}},
    {T::BN, 0xFF00, 0xE600, {branch(8)}},
    {T::BNN, 0xFF00, 0xE700, {branch(8)}},
    {T::CALL, 0xFE00, 0xEC00, {target(8), fast(8)}, Word2::extendsOne},
    {T::LFSR, 0xFFC0, 0xEE00, {num(2, 4), lit(4)}, Word2::extendsTwo},
    {T::GOTO, 0xFF00, 0xEF00, {target(8)}, Word2::extendsOne},
    {T::WORD2, 0xF000, 0xF000, {lit(12)}},
};

constexpr std::size_t kTypeCount = static_cast<std::size_t>(InstType::PAGESEL) + 1;

// Position of each type in a family's table, or -1, so that encoding a type
// does not search the table.
template <std::size_t N>
constexpr std::array<int8_t, kTypeCount> indexByType(const Encoding (&table)[N]) {
  std::array<int8_t, kTypeCount> index{};
  for (auto& slot : index) slot = -1;
  for (std::size_t i = 0; i < N; ++i) index[static_cast<std::size_t>(table[i].type)] = static_cast<int8_t>(i);
  return index;
}

struct Family {
  const Encoding* table;
  std::size_t size;
  std::array<int8_t, kTypeCount> index;
  uint16_t wordMask;  // the bits of the family's instruction word
};

template <std::size_t N>
constexpr Family family(const Encoding (&table)[N], uint16_t wordMask) {
  return {table, N, indexByType(table), wordMask};
}

constexpr Family kCore12Family = family(kCore12, 0x0FFF);
constexpr Family kCore14Family = family(kCore14, 0x3FFF);
constexpr Family kCore16Family = family(kCore16, 0xFFFF);
constexpr Family kCore16EFamily = family(kCore16E, 0xFFFF);

const Encoding* find(const Family& f, InstType type) {
  auto i = static_cast<std::size_t>(type);
  if (i >= kTypeCount || f.index[i] < 0) return nullptr;
  return &f.table[f.index[i]];
}

const Encoding* decode(const Family& f, uint16_t word) {
  for (std::size_t i = 0; i < f.size; ++i)
    if ((word & f.table[i].mask) == f.table[i].opcode) return &f.table[i];
  return nullptr;
}

void setType(const Family& f, uint16_t* word, InstType type) {
  const Encoding* encoding = find(f, type);
  TARSIL_ASSERT_MGINST(word != nullptr && encoding != nullptr);
  *word = static_cast<uint16_t>((*word & ~encoding->mask) | encoding->opcode);
}

uint16_t fieldMask(Field field) { return static_cast<uint16_t>(((1u << field.bits) - 1) << field.shift); }

void setField(uint16_t* word, Field field, uint16_t value) {
  if (field.bits == 0) return;
  *word = static_cast<uint16_t>((*word & ~fieldMask(field)) | ((static_cast<unsigned>(value) << field.shift) & fieldMask(field)));
}

uint16_t getField(uint16_t word, Field field) { return static_cast<uint16_t>((word & fieldMask(field)) >> field.shift); }

void setOperandOf(const Family& f, uint16_t* word, unsigned index, uint16_t value) {
  TARSIL_ASSERT_MGINST(word != nullptr && index < kMaxOperands);
  const Encoding* encoding = decode(f, *word);
  // An operand can only be placed once the word carries a known opcode.
  TARSIL_ASSERT_MGINST(encoding != nullptr);
  setField(word, encoding->fields[index], value);
}

InstType typeOf(const Encoding* encoding) { return encoding ? encoding->type : InstType::none; }

const Family& familyOf(int instSet) {
  switch (instSet) {
    case instSetCore14:
      return kCore14Family;
    case instSetCore16:
      return kCore16Family;
    case instSetCore12:
      return kCore12Family;
    case instSetCore16E:
      return kCore16EFamily;
    default:
      break;
  }
  bool knownInstructionSet = false;
  TARSIL_ASSERT_MGINST(knownInstructionSet);
  return kCore14Family;
}

// Lower case, as the assemblers of these cores spell them; the table
// instructions of Core16E carry the pointer step in their name.
constexpr const char* kNames[kTypeCount] = {
    nullptr,   "addlw",   "addwf",   "addwfc",  "andlw",  "andwf",   "bc",      "bcf",     "bn",     "bnc",
    "bnn",     "bnov",    "bnz",     "bov",     "bra",    "bsf",     "btfsc",   "btfss",   "btg",    "bz",
    "call",    "clrf",    "clrw",    "clrwdt",  "comf",   "cpfseq",  "cpfsgt",  "cpfslt",  "daw",    "dcfsnz",
    "decf",    "decfsz",  "goto",    "halt",    "incf",   "incfsz",  "infsnz",  "iorlw",   "iorwf",  "lcall",
    "lfsr",    "log",     "movf",    "movff",   "movfp",  "movlb",   "movlr",   "movlw",   "movpf",  "movwf",
    "mullw",   "mulwf",   "negf",    "negw",    "nop",    "option",  "pause",   "pop",     "push",   "rcall",
    "reset",   "retfie",  "retlw",   "return",  "rlcf",   "rlf",     "rlncf",   "rrcf",    "rrf",    "rrncf",
    "setf",    "sleep",   "stop",    "subfwb",  "sublw",  "subwf",   "subwfb",  "swapf",   "tablrd", "tablwt",
    "tblrd*",  "tblrd*-", "tblrd*+", "tblrd+*", "tblwt*", "tblwt*-", "tblwt*+", "tblwt+*", "tlrd",   "tlwt",
    "trap",    "tret",    "tris",    "tstfsz",  "word2",  "xorlw",   "xorwf",   "banksel", "pagesel",
};

}  // namespace

void setInstType_Core12(uint16_t* word, InstType type) { setType(kCore12Family, word, type); }
void setInstType_Core14(uint16_t* word, InstType type) { setType(kCore14Family, word, type); }
void setInstType_Core16(uint16_t* word, InstType type) { setType(kCore16Family, word, type); }
void setInstType_Core16E(uint16_t* word, InstType type) { setType(kCore16EFamily, word, type); }

void setOperandOne_Core12(uint16_t* word, uint16_t value) { setOperandOf(kCore12Family, word, 0, value); }
void setOperandOne_Core14(uint16_t* word, uint16_t value) { setOperandOf(kCore14Family, word, 0, value); }
void setOperandOne_Core16(uint16_t* word, uint16_t value) { setOperandOf(kCore16Family, word, 0, value); }
void setOperandOne_Core16E(uint16_t* word, uint16_t value) { setOperandOf(kCore16EFamily, word, 0, value); }

void setOperandTwo_Core12(uint16_t* word, uint16_t value) { setOperandOf(kCore12Family, word, 1, value); }
void setOperandTwo_Core14(uint16_t* word, uint16_t value) { setOperandOf(kCore14Family, word, 1, value); }
void setOperandTwo_Core16(uint16_t* word, uint16_t value) { setOperandOf(kCore16Family, word, 1, value); }
void setOperandTwo_Core16E(uint16_t* word, uint16_t value) { setOperandOf(kCore16EFamily, word, 1, value); }

InstType getInstType_Core12(uint16_t word) { return typeOf(decode(kCore12Family, word)); }
InstType getInstType_Core14(uint16_t word) { return typeOf(decode(kCore14Family, word)); }
InstType getInstType_Core16(uint16_t word) { return typeOf(decode(kCore16Family, word)); }
InstType getInstType_Core16E(uint16_t word) { return typeOf(decode(kCore16EFamily, word)); }

void setInstType(uint16_t* word, InstType type, int instSet) { setType(familyOf(instSet), word, type); }

void setOperandOne(uint16_t* word, uint16_t value, int instSet) { setOperandOf(familyOf(instSet), word, 0, value); }
void setOperandTwo(uint16_t* word, uint16_t value, int instSet) { setOperandOf(familyOf(instSet), word, 1, value); }
void setOperand(uint16_t* word, unsigned index, uint16_t value, int instSet) {
  setOperandOf(familyOf(instSet), word, index, value);
}

InstType getInstType(uint16_t word, int instSet) { return typeOf(decode(familyOf(instSet), word)); }

bool isInstTypeSupported(InstType type, int instSet) {
  if (instSet < instSetCore14 || instSet > instSetCore16E) return false;
  return find(familyOf(instSet), type) != nullptr;
}

const char* getInstName(InstType type) {
  auto i = static_cast<std::size_t>(type);
  return i < kTypeCount ? kNames[i] : nullptr;
}

Instruction decodeInstruction(uint16_t word, const uint16_t* next, int instSet) {
  const Family& f = familyOf(instSet);
  // Bits above a 12- or 14-bit word belong to no instruction.
  const Encoding* encoding = (word & ~f.wordMask) == 0 ? decode(f, word) : nullptr;
  if (!encoding) return {};
  Instruction inst;
  inst.type = encoding->type;
  inst.words = 1;
  for (unsigned i = 0; i < kMaxOperands; ++i) {
    const Field& field = encoding->fields[i];
    inst.operands[i] = {field.kind, field.bits, getField(word, field)};
  }
  if (encoding->word2 == Word2::none) return inst;
  if (!next || typeOf(decode(f, *next)) != InstType::WORD2) return {};
  inst.words = 2;
  uint32_t second = *next & 0x0FFFu;
  Operand& one = inst.operands[0];
  Operand& two = inst.operands[1];
  switch (encoding->word2) {
    case Word2::extendsOne:
      one.value |= second << one.bits;
      one.bits = static_cast<uint8_t>(one.bits + 12);
      break;
    case Word2::extendsTwo:
      two.value = (two.value << 8) | (second & 0xFFu);
      two.bits = static_cast<uint8_t>(two.bits + 8);
      break;
    case Word2::isTwo:
      two = {OperandKind::reg, 12, second};
      break;
    case Word2::none:
      break;
  }
  return inst;
}

}  // namespace tarsil
