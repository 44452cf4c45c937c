// SPDX-License-Identifier: Apache-2.0
#pragma once
// What the four family targets share: the relocation numbering, the value a
// relocation inserts, the bounds checks that keep every write inside the
// section's bytes, and the bit-select instructions that the bank and page
// sequences are made of.
#include <cstdint>
#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "coff/CoffFormat.h"
#include "device/Instructions.h"
#include "link/target/Target.h"
#include "support/Assert.h"
#include "support/Data.h"

namespace tarsil::patching {

// One numbering for every family; it is part of the object format.
enum RelocType : uint16_t {
  RELOCT_CALL = 1,
  RELOCT_GOTO = 2,
  RELOCT_HIGH = 3,
  RELOCT_LOW = 4,
  RELOCT_P = 5,
  RELOCT_BANKSEL = 6,
  RELOCT_PAGESEL = 7,
  RELOCT_ALL = 8,
  RELOCT_IBANKSEL = 9,
  RELOCT_F = 10,
  RELOCT_TRIS = 11,
  RELOCT_MOVLR = 12,
  RELOCT_MOVLB = 13,
  RELOCT_CALL2 = 14,
  RELOCT_FF1 = 15,
  RELOCT_FF2 = 16,
  RELOCT_LFSR1 = 17,
  RELOCT_LFSR2 = 18,
  RELOCT_BRA = 19,
  RELOCT_CONDBRA = 20,
  RELOCT_UPPER = 21,
  RELOCT_ACCESS = 22,
  RELOCT_PAGESEL_WREG = 23,
  RELOCT_PAGESEL_BITS = 24,
  RELOCT_SCNSZ_LOW = 25,
  RELOCT_SCNSZ_HIGH = 26,
  RELOCT_SCNSZ_UPPER = 27,
  RELOCT_SCNEND_LOW = 28,
  RELOCT_SCNEND_HIGH = 29,
  RELOCT_SCNEND_UPPER = 30,
  RELOCT_SCNEND_LFSR1 = 31,
  RELOCT_SCNEND_LFSR2 = 32,
};

// "RELOCT_CALL" ... "RELOCT_SCNEND_LFSR2"; "RELOCT_<n>" for a number that
// names no type.
std::string relocTypeText(uint16_t type);

inline constexpr const char* kUnsupported = "unsupported relocation type.";

// Each family's target; Target::forDevice chooses among them.
std::unique_ptr<Target> makeCore12Target(TargetDevice device);
std::unique_ptr<Target> makeCore14Target(TargetDevice device);
std::unique_ptr<Target> makeCore16Target(TargetDevice device);
std::unique_ptr<Target> makeCore16ETarget(TargetDevice device);

// Each family's debug channel.
inline constexpr const char* kChannelCore12 = "Linker::doPatchCore12";
inline constexpr const char* kChannelCore14 = "Linker::doPatchCore14";
inline constexpr const char* kChannelCore16 = "Linker::doPatchCore16";
inline constexpr const char* kChannelCore16E = "Linker::doPatchCore16E";

// "relocation RELOCT_CALL at offset 0x0004": how this module's own messages
// point at the entry that went wrong.
std::string describe(const reloc& r);

// symbolOf's failure: sets the message and returns null.
const syment* missingSymbol(const std::vector<syment>& symTbl, const reloc& r, std::string& error);

// The symbol the relocation names, or null with `error` set. The caller has
// normally refused bad indexes already; this keeps the patchers safe when
// they are handed a table directly.
inline const syment* symbolOf(const std::vector<syment>& symTbl, const reloc& r, std::string& error) {
  if (r.r_symndx < symTbl.size()) return &symTbl[r.r_symndx];
  return missingSymbol(symTbl, r, error);
}

// The symbol's value plus the addend. Addresses wrap as 32-bit quantities, so
// a negative addend on a small value gives a large one that fails any check.
inline uint32_t relocValue(const syment& s, const reloc& r) {
  return s.n_value + static_cast<uint32_t>(static_cast<int32_t>(r.r_offset));
}

// Bits 8..15 of a value: the high byte that MOVLW and the HIGH fields take.
inline uint16_t highByte(uint32_t v) { return static_cast<uint16_t>((v >> 8) & 0xFF); }
inline bool bitOf(uint32_t v, unsigned n) { return ((v >> n) & 1) != 0; }

// Writes `width` bits of `value`, from bit `srcBegin` on, into the buffer
// from bit `dstBegin` of byte `rawOffset` on, least significant bit first.
// Callers check their fields against the data first: a field that still
// runs past the end is a target's mistake, never something to write.
void patchBits(Data& d, uint32_t rawOffset, uint32_t value, uint16_t srcBegin, uint16_t dstBegin, uint16_t width);

// Bits src .. src+width-1 of `value` into `bytes` from bit `dst` of its first
// byte on, touching no byte past the field's last one. The field fits in the
// first four bytes (width <= 16, dst < 16).
inline void mergeBits(char* bytes, uint32_t value, uint16_t src, uint16_t dst, uint16_t width) {
  if (width == 0) return;
  const unsigned count = (dst + width + 7u) / 8u;
  uint32_t word = 0;
  for (unsigned i = 0; i < count; ++i) word |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << (8 * i);
  const uint32_t field = (1u << width) - 1u;
  word = (word & ~(field << dst)) | (((value >> src) & field) << dst);
  for (unsigned i = 0; i < count; ++i) bytes[i] = static_cast<char>(static_cast<uint8_t>(word >> (8 * i)));
}

// writeField's and writeWords' failure: the field runs past the data.
bool pastEnd(const Data& d, const reloc& r, std::string& error);

// Writes bits src .. src+width-1 of `value` into the word at the
// relocation's offset from bit `dst` on (the order of patchBits);
// refuses, writing nothing, a field that would reach past the data.
inline bool writeField(Data& d, const reloc& r, uint32_t value, uint16_t src, uint16_t dst, uint16_t width,
                       std::string& error) {
  TARSIL_ASSERT(width <= 16 && dst < 16 && src + width < 32);
  // In 64 bits: an offset near 4 GiB must not wrap round into a small one.
  if (static_cast<uint64_t>(r.r_vaddr) + (dst + width + 7u) / 8u > d.size()) return pastEnd(d, r, error);
  mergeBits(d.bytes() + r.r_vaddr, value, src, dst, width);
  return true;
}

// Writes whole instruction words at the relocation's offset and after it.
// Every word is checked against the data before the first is written, so a
// sequence is either written whole or not at all.
bool writeWords(Data& d, const reloc& r, std::initializer_list<uint16_t> words, std::string& error);

// A word built from nothing: the type's opcode, then its operands.
uint16_t encode(int instSet, InstType type, uint16_t one);
uint16_t encode(int instSet, InstType type, uint16_t one, uint16_t two);
// BSF reg,bit when `set`, else BCF reg,bit: one bit of a bank or page number
// copied into a select register.
uint16_t bitSelect(int instSet, uint16_t reg, uint16_t bit, bool set);
// A page or bank number set one bit per instruction: with one page or bank
// there is nothing to select (`alone` goes to the channel), two take the low
// bit's word, more take both words.
bool writeSelectBits(Data& d, const reloc& r, uint32_t count, uint16_t low, uint16_t high, const char* channel,
                     const char* alone, std::string& error);

// Debug channels keep their levels while a stage runs. A stage that patches
// many relocations holds a TraceScope: when none of the targets' channels is
// on, trace() then returns at once instead of asking for the channel per
// relocation.
class TraceScope {
public:
  TraceScope();
  ~TraceScope();
  TraceScope(const TraceScope&) = delete;
  TraceScope& operator=(const TraceScope&) = delete;

  // True while a scope knows that every patcher channel is off.
  static bool silent() { return cSilent > 0; }

private:
  bool cCounted = false;
  static inline int cSilent = 0;
};

void traceValue(const char* channel, uint16_t type, uint32_t value);

// One line on a target's debug channel: the type's name and the value.
inline void trace(const char* channel, uint16_t type, uint32_t value) {
  if (!TraceScope::silent()) traceValue(channel, type, value);
}
// A line of the target's own text on its channel.
void trace(const char* channel, const char* text);

}  // namespace tarsil::patching
