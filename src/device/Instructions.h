// SPDX-License-Identifier: Apache-2.0
#pragma once
// Builds instruction words of the four core families field by field: first
// the opcode of an instruction type, then its operands, which are placed
// according to the type read back from the word. Words are 16 bits; Core12
// uses the low 12 and Core14 the low 14, and bits outside a field are never
// touched. The same tables decode a word back into its type and operands.
//
// Any instruction set other than 1 to 4, or a type the family lacks, is a
// caller's mistake and stops the program.
#include <array>
#include <cstdint>

#include "device/Processor.h"

namespace tarsil {

// One numbering for every family, in alphabetical order of the mnemonic;
// BANKSEL and PAGESEL name assembler directives and have no encoding.
enum class InstType : uint8_t {
  none = 0,
  ADDLW = 1, ADDWF, ADDWFC, ANDLW, ANDWF, BC, BCF, BN, BNC, BNN,
  BNOV, BNZ, BOV, BRA, BSF, BTFSC, BTFSS, BTG, BZ, CALL,
  CLRF, CLRW, CLRWDT, COMF, CPFSEQ, CPFSGT, CPFSLT, DAW, DCFSNZ, DECF,
  DECFSZ, GOTO, HALT, INCF, INCFSZ, INFSNZ, IORLW, IORWF, LCALL, LFSR,
  LOG, MOVF, MOVFF, MOVFP, MOVLB, MOVLR, MOVLW, MOVPF, MOVWF, MULLW,
  MULWF, NEGF, NEGW, NOP, OPTION, PAUSE, POP, PUSH, RCALL, RESET,
  RETFIE, RETLW, RETURN, RLCF, RLF, RLNCF, RRCF, RRF, RRNCF, SETF,
  SLEEP, STOP, SUBFWB, SUBLW, SUBWF, SUBWFB, SWAPF, TABLRD, TABLWT, TBLRD,
  TBLRDPOSTDEC, TBLRDPOSTINC, TBLRDPREINC, TBLWT, TBLWTPOSTDEC, TBLWTPOSTINC, TBLWTPREINC, TLRD, TLWT, TRAP,
  TRET, TRIS, TSTFSZ, WORD2, XORLW, XORWF, BANKSEL, PAGESEL,
};

// How an operand is written in assembler notation.
enum class OperandKind : uint8_t {
  none,     // the type has no such operand
  reg,      // file register address
  literal,  // constant
  number,   // small number shown in decimal (table selectors, FSR number, s bit)
  dest,     // destination: 0 the working register, 1 the file register
  bit,      // bit number
  access,   // Core16E: 0 the access bank, 1 the bank register's bank
  fast,     // Core16E: 1 saves or restores the shadow registers
  target,   // call or goto address in words: within the page, whole on Core16E
  branch,   // signed relative offset in words, from the next instruction
};

inline constexpr unsigned kMaxOperands = 4;

struct Operand {
  OperandKind kind = OperandKind::none;
  uint8_t bits = 0;  // width of the field(s) the value came from
  uint32_t value = 0;
};

// One decoded instruction. Operands are in assembler order and by position:
// [0] is operand one and [1] operand two, as the setters place them; [2] is
// the Core16E access bit, and Core16's table reads and writes, whose operand
// two is empty, carry their increment bit and register in [2] and [3].
struct Instruction {
  InstType type = InstType::none;
  uint8_t words = 0;  // 0 when the word is no instruction of the family
  std::array<Operand, kMaxOperands> operands{};
};

// Writes the opcode bits of `type` and keeps every operand bit.
void setInstType(uint16_t* word, InstType type, int instSet);
// Masks `value` to the field of the word's first or second operand and puts
// it there; a type without that operand leaves the word as it is. The type is
// read from the word, so setInstType comes first.
void setOperandOne(uint16_t* word, uint16_t value, int instSet);
void setOperandTwo(uint16_t* word, uint16_t value, int instSet);
// The same for operand `index` (0 to kMaxOperands - 1).
void setOperand(uint16_t* word, unsigned index, uint16_t value, int instSet);
// InstType::none when the opcode bits name no instruction of the family.
InstType getInstType(uint16_t word, int instSet);
bool isInstTypeSupported(InstType type, int instSet);
// The lower-case mnemonic, or null for InstType::none.
const char* getInstName(InstType type);

// Decodes the instruction that starts with `word`. `next` is the word after
// it, or null at the end of the code: a Core16E two-word instruction needs a
// second word of type WORD2, whose bits join its operands (the call or goto
// target's upper bits, the LFSR literal's low byte, the MOVFF destination as
// operand two). A type of none means the word is no instruction, never a
// guess; a WORD2 on its own is returned as such.
Instruction decodeInstruction(uint16_t word, const uint16_t* next, int instSet);

void setInstType_Core12(uint16_t* word, InstType type);
void setInstType_Core14(uint16_t* word, InstType type);
void setInstType_Core16(uint16_t* word, InstType type);
void setInstType_Core16E(uint16_t* word, InstType type);
void setOperandOne_Core12(uint16_t* word, uint16_t value);
void setOperandOne_Core14(uint16_t* word, uint16_t value);
void setOperandOne_Core16(uint16_t* word, uint16_t value);
void setOperandOne_Core16E(uint16_t* word, uint16_t value);
void setOperandTwo_Core12(uint16_t* word, uint16_t value);
void setOperandTwo_Core14(uint16_t* word, uint16_t value);
void setOperandTwo_Core16(uint16_t* word, uint16_t value);
void setOperandTwo_Core16E(uint16_t* word, uint16_t value);
InstType getInstType_Core12(uint16_t word);
InstType getInstType_Core14(uint16_t word);
InstType getInstType_Core16(uint16_t word);
InstType getInstType_Core16E(uint16_t word);

}  // namespace tarsil
