// SPDX-License-Identifier: Apache-2.0
#include "link/patch/PatchSupport.h"

#include <iostream>

#include "link/Linker.h"
#include "support/Debug.h"
#include "support/HexText.h"

namespace tarsil::patching {

std::string relocTypeText(uint16_t type) {
  if (const char* name = tarsil::relocTypeName(type)) return name;
  return "RELOCT_" + std::to_string(type);
}

std::string describe(const reloc& r) {
  return "relocation " + relocTypeText(r.r_type) + " at offset " + hexText(r.r_vaddr, 4);
}

const syment* missingSymbol(const std::vector<syment>& symTbl, const reloc& r, std::string& error) {
  error = describe(r) + " names symbol " + std::to_string(r.r_symndx) + ", but the symbol table has " +
          std::to_string(symTbl.size()) + " entries.";
  return nullptr;
}

bool pastEnd(const Data& d, const reloc& r, std::string& error) {
  error = describe(r) + " writes past the end of the section's raw data (" + std::to_string(d.size()) + " bytes).";
  return false;
}

bool writeWords(Data& d, const reloc& r, std::initializer_list<uint16_t> words, std::string& error) {
  // In 64 bits: an offset near 4 GiB must not wrap round into a small one.
  if (static_cast<uint64_t>(r.r_vaddr) + 2 * static_cast<uint64_t>(words.size()) > d.size())
    return pastEnd(d, r, error);
  uint32_t offset = r.r_vaddr;
  for (uint16_t w : words) {
    Linker::patch(d, offset, w, 0, 0, 16);
    offset += 2;
  }
  return true;
}

uint16_t encode(int instSet, InstType type, uint16_t one) {
  uint16_t w = 0;
  setInstType(&w, type, instSet);
  setOperandOne(&w, one, instSet);
  return w;
}

uint16_t encode(int instSet, InstType type, uint16_t one, uint16_t two) {
  uint16_t w = encode(instSet, type, one);
  setOperandTwo(&w, two, instSet);
  return w;
}

uint16_t bitSelect(int instSet, uint16_t reg, uint16_t bit, bool set) {
  return encode(instSet, set ? InstType::BSF : InstType::BCF, reg, bit);
}

TraceScope::TraceScope() {
  for (const char* channel : {kChannelCore12, kChannelCore14, kChannelCore16, kChannelCore16E})
    if (Debug(channel)) return;
  cCounted = true;
  ++cSilent;
}

TraceScope::~TraceScope() {
  if (cCounted) --cSilent;
}

void traceValue(const char* channel, uint16_t type, uint32_t value) {
  if (Debug(channel)) std::cout << channel << "() - " << relocTypeText(type) << ", value=" << hexText(value, 4) << '\n';
}

void trace(const char* channel, const char* text) {
  if (Debug(channel)) std::cout << text << '\n';
}

}  // namespace tarsil::patching
