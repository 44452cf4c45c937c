#pragma once
// Builds instruction words of the four core families field by field: first
// the opcode of an instruction type, then its operands, which are placed
// according to the type read back from the word. Words are 16 bits; Core12
// uses the low 12 and Core14 the low 14, and bits outside a field are never
// touched.
//
// Any instruction set other than 1 to 4, or a type the family lacks, is a
// caller's mistake and stops the program.
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

// Writes the opcode bits of `type` and keeps every operand bit.
void setInstType(uint16_t* word, InstType type, int instSet);
// Masks `value` to the field of the word's first or second operand and puts
// it there; a type without that operand leaves the word as it is. The type is
// read from the word, so setInstType comes first.
void setOperandOne(uint16_t* word, uint16_t value, int instSet);
void setOperandTwo(uint16_t* word, uint16_t value, int instSet);
// InstType::none when the opcode bits name no instruction of the family.
InstType getInstType(uint16_t word, int instSet);
bool isInstTypeSupported(InstType type, int instSet);

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
