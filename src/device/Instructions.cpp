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

// An operand field: `bits` wide, its lowest bit at `shift`; 0 bits means the
// type has no such operand.
struct Field {
  uint8_t shift;
  uint8_t bits;
};

struct Encoding {
  InstType type;
  uint16_t mask;    // opcode bits
  uint16_t opcode;  // their value
  Field one;
  Field two;
};

constexpr Field none{0, 0};
constexpr Field low(uint8_t bits) { return {0, bits}; }
constexpr Field at(uint8_t shift, uint8_t bits) { return {shift, bits}; }

// Each table is searched in order when a word is decoded, so an encoding that
// lies inside a wider one's pattern comes before it (the exact no-operand
// words before the patterns that would also match them).

constexpr Encoding kCore12[] = {
    {T::NOP, 0x0FFF, 0x0000, none, none},
    {T::OPTION, 0x0FFF, 0x0002, none, none},
    {T::SLEEP, 0x0FFF, 0x0003, none, none},
    {T::CLRWDT, 0x0FFF, 0x0004, none, none},
    {T::CLRW, 0x0FFF, 0x0040, none, none},
    {T::TRIS, 0x0FF8, 0x0000, low(3), none},
    {T::MOVWF, 0x0FE0, 0x0020, low(5), none},
    {T::CLRF, 0x0FE0, 0x0060, low(5), none},
    {T::SUBWF, 0x0FC0, 0x0080, low(5), at(5, 1)},
    {T::DECF, 0x0FC0, 0x00C0, low(5), at(5, 1)},
    {T::IORWF, 0x0FC0, 0x0100, low(5), at(5, 1)},
    {T::ANDWF, 0x0FC0, 0x0140, low(5), at(5, 1)},
    {T::XORWF, 0x0FC0, 0x0180, low(5), at(5, 1)},
    {T::ADDWF, 0x0FC0, 0x01C0, low(5), at(5, 1)},
    {T::MOVF, 0x0FC0, 0x0200, low(5), at(5, 1)},
    {T::COMF, 0x0FC0, 0x0240, low(5), at(5, 1)},
    {T::INCF, 0x0FC0, 0x0280, low(5), at(5, 1)},
    {T::DECFSZ, 0x0FC0, 0x02C0, low(5), at(5, 1)},
    {T::RRF, 0x0FC0, 0x0300, low(5), at(5, 1)},
    {T::RLF, 0x0FC0, 0x0340, low(5), at(5, 1)},
    {T::SWAPF, 0x0FC0, 0x0380, low(5), at(5, 1)},
    {T::INCFSZ, 0x0FC0, 0x03C0, low(5), at(5, 1)},
    {T::BCF, 0x0F00, 0x0400, low(5), at(5, 3)},
    {T::BSF, 0x0F00, 0x0500, low(5), at(5, 3)},
    {T::BTFSC, 0x0F00, 0x0600, low(5), at(5, 3)},
    {T::BTFSS, 0x0F00, 0x0700, low(5), at(5, 3)},
    {T::RETLW, 0x0F00, 0x0800, low(8), none},
    {T::CALL, 0x0F00, 0x0900, low(8), none},
    {T::GOTO, 0x0E00, 0x0A00, low(9), none},
    {T::MOVLW, 0x0F00, 0x0C00, low(8), none},
    {T::IORLW, 0x0F00, 0x0D00, low(8), none},
    {T::ANDLW, 0x0F00, 0x0E00, low(8), none},
    {T::XORLW, 0x0F00, 0x0F00, low(8), none},
};

constexpr Encoding kCore14[] = {
    {T::RETURN, 0x3FFF, 0x0008, none, none},
    {T::RETFIE, 0x3FFF, 0x0009, none, none},
    {T::OPTION, 0x3FFF, 0x0062, none, none},
    {T::SLEEP, 0x3FFF, 0x0063, none, none},
    {T::CLRWDT, 0x3FFF, 0x0064, none, none},
    {T::TRIS, 0x3FF8, 0x0060, low(3), none},
    {T::NOP, 0x3F9F, 0x0000, none, none},
    {T::MOVWF, 0x3F80, 0x0080, low(7), none},
    {T::CLRW, 0x3F80, 0x0100, none, none},
    {T::CLRF, 0x3F80, 0x0180, low(7), none},
    {T::SUBWF, 0x3F00, 0x0200, low(7), at(7, 1)},
    {T::DECF, 0x3F00, 0x0300, low(7), at(7, 1)},
    {T::IORWF, 0x3F00, 0x0400, low(7), at(7, 1)},
    {T::ANDWF, 0x3F00, 0x0500, low(7), at(7, 1)},
    {T::XORWF, 0x3F00, 0x0600, low(7), at(7, 1)},
    {T::ADDWF, 0x3F00, 0x0700, low(7), at(7, 1)},
    {T::MOVF, 0x3F00, 0x0800, low(7), at(7, 1)},
    {T::COMF, 0x3F00, 0x0900, low(7), at(7, 1)},
    {T::INCF, 0x3F00, 0x0A00, low(7), at(7, 1)},
    {T::DECFSZ, 0x3F00, 0x0B00, low(7), at(7, 1)},
    {T::RRF, 0x3F00, 0x0C00, low(7), at(7, 1)},
    {T::RLF, 0x3F00, 0x0D00, low(7), at(7, 1)},
    {T::SWAPF, 0x3F00, 0x0E00, low(7), at(7, 1)},
    {T::INCFSZ, 0x3F00, 0x0F00, low(7), at(7, 1)},
    {T::BCF, 0x3C00, 0x1000, low(7), at(7, 3)},
    {T::BSF, 0x3C00, 0x1400, low(7), at(7, 3)},
    {T::BTFSC, 0x3C00, 0x1800, low(7), at(7, 3)},
    {T::BTFSS, 0x3C00, 0x1C00, low(7), at(7, 3)},
    {T::CALL, 0x3800, 0x2000, low(11), none},
    {T::GOTO, 0x3800, 0x2800, low(11), none},
    {T::MOVLW, 0x3C00, 0x3000, low(8), none},
    {T::RETLW, 0x3C00, 0x3400, low(8), none},
    {T::IORLW, 0x3F00, 0x3800, low(8), none},
    {T::ANDLW, 0x3F00, 0x3900, low(8), none},
    {T::XORLW, 0x3F00, 0x3A00, low(8), none},
    {T::SUBLW, 0x3E00, 0x3C00, low(8), none},
    {T::ADDLW, 0x3E00, 0x3E00, low(8), none},
};

constexpr Encoding kCore16[] = {
    {T::NOP, 0xFFFF, 0x0000, none, none},
    {T::RETURN, 0xFFFF, 0x0002, none, none},
    {T::SLEEP, 0xFFFF, 0x0003, none, none},
    {T::CLRWDT, 0xFFFF, 0x0004, none, none},
    {T::RETFIE, 0xFFFF, 0x0005, none, none},
    {T::MOVWF, 0xFF00, 0x0100, low(8), none},
    {T::SUBWFB, 0xFE00, 0x0200, low(8), at(8, 1)},
    {T::SUBWF, 0xFE00, 0x0400, low(8), at(8, 1)},
    {T::DECF, 0xFE00, 0x0600, low(8), at(8, 1)},
    {T::IORWF, 0xFE00, 0x0800, low(8), at(8, 1)},
    {T::ANDWF, 0xFE00, 0x0A00, low(8), at(8, 1)},
    {T::XORWF, 0xFE00, 0x0C00, low(8), at(8, 1)},
    {T::ADDWF, 0xFE00, 0x0E00, low(8), at(8, 1)},
    {T::ADDWFC, 0xFE00, 0x1000, low(8), at(8, 1)},
    {T::COMF, 0xFE00, 0x1200, low(8), at(8, 1)},
    {T::INCF, 0xFE00, 0x1400, low(8), at(8, 1)},
    {T::DECFSZ, 0xFE00, 0x1600, low(8), at(8, 1)},
    {T::RRCF, 0xFE00, 0x1800, low(8), at(8, 1)},
    {T::RLCF, 0xFE00, 0x1A00, low(8), at(8, 1)},
    {T::SWAPF, 0xFE00, 0x1C00, low(8), at(8, 1)},
    {T::INCFSZ, 0xFE00, 0x1E00, low(8), at(8, 1)},
    {T::RRNCF, 0xFE00, 0x2000, low(8), at(8, 1)},
    {T::RLNCF, 0xFE00, 0x2200, low(8), at(8, 1)},
    {T::INFSNZ, 0xFE00, 0x2400, low(8), at(8, 1)},
    {T::DCFSNZ, 0xFE00, 0x2600, low(8), at(8, 1)},
    {T::CLRF, 0xFE00, 0x2800, low(8), at(8, 1)},
    {T::SETF, 0xFE00, 0x2A00, low(8), at(8, 1)},
    {T::NEGW, 0xFE00, 0x2C00, low(8), at(8, 1)},
    {T::DAW, 0xFE00, 0x2E00, low(8), at(8, 1)},
    {T::CPFSLT, 0xFF00, 0x3000, low(8), none},
    {T::CPFSEQ, 0xFF00, 0x3100, low(8), none},
    {T::CPFSGT, 0xFF00, 0x3200, low(8), none},
    {T::TSTFSZ, 0xFF00, 0x3300, low(8), none},
    {T::MULWF, 0xFF00, 0x3400, low(8), none},
    {T::BTG, 0xF800, 0x3800, low(8), at(8, 3)},
    {T::MOVPF, 0xE000, 0x4000, at(8, 5), low(8)},
    {T::MOVFP, 0xE000, 0x6000, low(8), at(8, 5)},
    {T::BSF, 0xF800, 0x8000, low(8), at(8, 3)},
    {T::BCF, 0xF800, 0x8800, low(8), at(8, 3)},
    {T::BTFSS, 0xF800, 0x9000, low(8), at(8, 3)},
    {T::BTFSC, 0xF800, 0x9800, low(8), at(8, 3)},
    {T::TLRD, 0xFC00, 0xA000, at(9, 1), low(8)},
    {T::TLWT, 0xFC00, 0xA400, at(9, 1), low(8)},
    {T::TABLRD, 0xFC00, 0xA800, at(9, 1), none},
    {T::TABLWT, 0xFC00, 0xAC00, at(9, 1), none},
    {T::MOVLW, 0xFF00, 0xB000, low(8), none},
    {T::ADDLW, 0xFF00, 0xB100, low(8), none},
    {T::SUBLW, 0xFF00, 0xB200, low(8), none},
    {T::IORLW, 0xFF00, 0xB300, low(8), none},
    {T::XORLW, 0xFF00, 0xB400, low(8), none},
    {T::ANDLW, 0xFF00, 0xB500, low(8), none},
    {T::RETLW, 0xFF00, 0xB600, low(8), none},
    {T::LCALL, 0xFF00, 0xB700, low(8), none},
    {T::MOVLB, 0xFF00, 0xB800, low(4), none},
    {T::MOVLR, 0xFE00, 0xBA00, at(4, 4), none},
    {T::MULLW, 0xFF00, 0xBC00, low(8), none},
    {T::GOTO, 0xE000, 0xC000, low(13), none},
    {T::CALL, 0xE000, 0xE000, low(13), none},
};

constexpr Encoding kCore16E[] = {
    {T::NOP, 0xFFFF, 0x0000, none, none},
    {T::SLEEP, 0xFFFF, 0x0003, none, none},
    {T::CLRWDT, 0xFFFF, 0x0004, none, none},
    {T::PUSH, 0xFFFF, 0x0005, none, none},
    {T::POP, 0xFFFF, 0x0006, none, none},
    {T::DAW, 0xFFFF, 0x0007, none, none},
    {T::TBLRD, 0xFFFF, 0x0008, none, none},
    {T::TBLRDPOSTINC, 0xFFFF, 0x0009, none, none},
    {T::TBLRDPOSTDEC, 0xFFFF, 0x000A, none, none},
    {T::TBLRDPREINC, 0xFFFF, 0x000B, none, none},
    {T::TBLWT, 0xFFFF, 0x000C, none, none},
    {T::TBLWTPOSTINC, 0xFFFF, 0x000D, none, none},
    {T::TBLWTPOSTDEC, 0xFFFF, 0x000E, none, none},
    {T::TBLWTPREINC, 0xFFFF, 0x000F, none, none},
    {T::RETFIE, 0xFFFE, 0x0010, low(1), none},
    {T::RETURN, 0xFFFE, 0x0012, low(1), none},
    {T::RESET, 0xFFFF, 0x00FF, none, none},
    {T::MOVLB, 0xFF00, 0x0100, low(8), none},
    {T::MULWF, 0xFE00, 0x0200, low(8), at(8, 1)},
    {T::DECF, 0xFC00, 0x0400, low(8), at(9, 1)},
    {T::SUBLW, 0xFF00, 0x0800, low(8), none},
    {T::IORLW, 0xFF00, 0x0900, low(8), none},
    {T::XORLW, 0xFF00, 0x0A00, low(8), none},
    {T::ANDLW, 0xFF00, 0x0B00, low(8), none},
    {T::RETLW, 0xFF00, 0x0C00, low(8), none},
    {T::MULLW, 0xFF00, 0x0D00, low(8), none},
    {T::MOVLW, 0xFF00, 0x0E00, low(8), none},
    {T::ADDLW, 0xFF00, 0x0F00, low(8), none},
    {T::IORWF, 0xFC00, 0x1000, low(8), at(9, 1)},
    {T::ANDWF, 0xFC00, 0x1400, low(8), at(9, 1)},
    {T::XORWF, 0xFC00, 0x1800, low(8), at(9, 1)},
    {T::COMF, 0xFC00, 0x1C00, low(8), at(9, 1)},
    {T::ADDWFC, 0xFC00, 0x2000, low(8), at(9, 1)},
    {T::ADDWF, 0xFC00, 0x2400, low(8), at(9, 1)},
    {T::INCF, 0xFC00, 0x2800, low(8), at(9, 1)},
    {T::DECFSZ, 0xFC00, 0x2C00, low(8), at(9, 1)},
    {T::RRCF, 0xFC00, 0x3000, low(8), at(9, 1)},
    {T::RLCF, 0xFC00, 0x3400, low(8), at(9, 1)},
    {T::SWAPF, 0xFC00, 0x3800, low(8), at(9, 1)},
    {T::INCFSZ, 0xFC00, 0x3C00, low(8), at(9, 1)},
    {T::RRNCF, 0xFC00, 0x4000, low(8), at(9, 1)},
    {T::RLNCF, 0xFC00, 0x4400, low(8), at(9, 1)},
    {T::INFSNZ, 0xFC00, 0x4800, low(8), at(9, 1)},
    {T::DCFSNZ, 0xFC00, 0x4C00, low(8), at(9, 1)},
    {T::MOVF, 0xFC00, 0x5000, low(8), at(9, 1)},
    {T::SUBFWB, 0xFC00, 0x5400, low(8), at(9, 1)},
    {T::SUBWFB, 0xFC00, 0x5800, low(8), at(9, 1)},
    {T::SUBWF, 0xFC00, 0x5C00, low(8), at(9, 1)},
    {T::CPFSLT, 0xFE00, 0x6000, low(8), at(8, 1)},
    {T::CPFSEQ, 0xFE00, 0x6200, low(8), at(8, 1)},
    {T::CPFSGT, 0xFE00, 0x6400, low(8), at(8, 1)},
    {T::TSTFSZ, 0xFE00, 0x6600, low(8), at(8, 1)},
    {T::SETF, 0xFE00, 0x6800, low(8), at(8, 1)},
    {T::CLRF, 0xFE00, 0x6A00, low(8), at(8, 1)},
    {T::NEGF, 0xFE00, 0x6C00, low(8), at(8, 1)},
    {T::MOVWF, 0xFE00, 0x6E00, low(8), at(8, 1)},
    {T::BTG, 0xF000, 0x7000, low(8), at(9, 3)},
    {T::BSF, 0xF000, 0x8000, low(8), at(9, 3)},
    {T::BCF, 0xF000, 0x9000, low(8), at(9, 3)},
    {T::BTFSS, 0xF000, 0xA000, low(8), at(9, 3)},
    {T::BTFSC, 0xF000, 0xB000, low(8), at(9, 3)},
    {T::MOVFF, 0xF000, 0xC000, low(12), none},
    {T::BRA, 0xF800, 0xD000, low(11), none},
    {T::RCALL, 0xF800, 0xD800, low(11), none},
    {T::BZ, 0xFF00, 0xE000, low(8), none},
    {T::BNZ, 0xFF00, 0xE100, low(8), none},
    {T::BC, 0xFF00, 0xE200, low(8), none},
    {T::BNC, 0xFF00, 0xE300, low(8), none},
    {T::BOV, 0xFF00, 0xE400, low(8), none},
    {T::BNOV, 0xFF00, 0xE500, low(8), none},
    {T::BN, 0xFF00, 0xE600, low(8), none},
    {T::BNN, 0xFF00, 0xE700, low(8), none},
    {T::CALL, 0xFE00, 0xEC00, low(8), at(8, 1)},
    {T::LFSR, 0xFFC0, 0xEE00, at(4, 2), low(4)},
    {T::GOTO, 0xFF00, 0xEF00, low(8), none},
    {T::WORD2, 0xF000, 0xF000, low(12), none},
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
};

template <std::size_t N>
constexpr Family family(const Encoding (&table)[N]) {
  return {table, N, indexByType(table)};
}

constexpr Family kCore12Family = family(kCore12);
constexpr Family kCore14Family = family(kCore14);
constexpr Family kCore16Family = family(kCore16);
constexpr Family kCore16EFamily = family(kCore16E);

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

void setField(uint16_t* word, Field field, uint16_t value) {
  if (field.bits == 0) return;
  auto fieldMask = static_cast<uint16_t>(((1u << field.bits) - 1) << field.shift);
  *word = static_cast<uint16_t>((*word & ~fieldMask) | ((static_cast<unsigned>(value) << field.shift) & fieldMask));
}

const Encoding& decodeForOperand(const Family& f, const uint16_t* word) {
  TARSIL_ASSERT_MGINST(word != nullptr);
  const Encoding* encoding = decode(f, *word);
  // An operand can only be placed once the word carries a known opcode.
  TARSIL_ASSERT_MGINST(encoding != nullptr);
  return *encoding;
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

}  // namespace

void setInstType_Core12(uint16_t* word, InstType type) { setType(kCore12Family, word, type); }
void setInstType_Core14(uint16_t* word, InstType type) { setType(kCore14Family, word, type); }
void setInstType_Core16(uint16_t* word, InstType type) { setType(kCore16Family, word, type); }
void setInstType_Core16E(uint16_t* word, InstType type) { setType(kCore16EFamily, word, type); }

void setOperandOne_Core12(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore12Family, word).one, value);
}
void setOperandOne_Core14(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore14Family, word).one, value);
}
void setOperandOne_Core16(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore16Family, word).one, value);
}
void setOperandOne_Core16E(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore16EFamily, word).one, value);
}

void setOperandTwo_Core12(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore12Family, word).two, value);
}
void setOperandTwo_Core14(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore14Family, word).two, value);
}
void setOperandTwo_Core16(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore16Family, word).two, value);
}
void setOperandTwo_Core16E(uint16_t* word, uint16_t value) {
  setField(word, decodeForOperand(kCore16EFamily, word).two, value);
}

InstType getInstType_Core12(uint16_t word) { return typeOf(decode(kCore12Family, word)); }
InstType getInstType_Core14(uint16_t word) { return typeOf(decode(kCore14Family, word)); }
InstType getInstType_Core16(uint16_t word) { return typeOf(decode(kCore16Family, word)); }
InstType getInstType_Core16E(uint16_t word) { return typeOf(decode(kCore16EFamily, word)); }

void setInstType(uint16_t* word, InstType type, int instSet) { setType(familyOf(instSet), word, type); }

void setOperandOne(uint16_t* word, uint16_t value, int instSet) {
  const Family& f = familyOf(instSet);
  setField(word, decodeForOperand(f, word).one, value);
}

void setOperandTwo(uint16_t* word, uint16_t value, int instSet) {
  const Family& f = familyOf(instSet);
  setField(word, decodeForOperand(f, word).two, value);
}

InstType getInstType(uint16_t word, int instSet) { return typeOf(decode(familyOf(instSet), word)); }

bool isInstTypeSupported(InstType type, int instSet) {
  if (instSet < instSetCore14 || instSet > instSetCore16E) return false;
  return find(familyOf(instSet), type) != nullptr;
}

}  // namespace tarsil
