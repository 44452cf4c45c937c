#include "link/patch/PatchSupport.h"

#include <cstdio>
#include <iostream>

#include "link/Linker.h"
#include "support/Debug.h"

namespace tarsil::patching {

namespace {

std::string hex(uint64_t v, int digits) {
  char buf[24];
  std::snprintf(buf, sizeof buf, "0x%0*llx", digits, static_cast<unsigned long long>(v));
  return buf;
}

// The bytes from the relocation's offset that `count` more bytes need must
// all be there. Done in 64 bits: an offset near 4 GiB must not wrap round
// into a small one.
bool spanFits(const Data& d, const reloc& r, uint64_t count, std::string& error) {
  if (static_cast<uint64_t>(r.r_vaddr) + count <= d.size()) return true;
  error = describe(r) + " writes past the end of the section's raw data (" + std::to_string(d.size()) + " bytes).";
  return false;
}

}  // namespace

std::string relocTypeText(uint16_t type) {
  if (const char* name = tarsil::relocTypeName(type)) return name;
  return "RELOCT_" + std::to_string(type);
}

std::string describe(const reloc& r) { return "relocation " + relocTypeText(r.r_type) + " at offset " + hex(r.r_vaddr, 4); }

const syment* symbolOf(const std::vector<syment>& symTbl, const reloc& r, std::string& error) {
  if (r.r_symndx < symTbl.size()) return &symTbl[r.r_symndx];
  error = describe(r) + " names symbol " + std::to_string(r.r_symndx) + ", but the symbol table has " +
          std::to_string(symTbl.size()) + " entries.";
  return nullptr;
}

uint32_t relocValue(const syment& s, const reloc& r) {
  return s.n_value + static_cast<uint32_t>(static_cast<int32_t>(r.r_offset));
}

bool writeField(Data& d, const reloc& r, uint32_t value, uint16_t src, uint16_t width, uint16_t dst,
                std::string& error) {
  if (!spanFits(d, r, (dst + width + 7u) / 8u, error)) return false;
  Linker::patch(d, r.r_vaddr, value, src, dst, width);
  return true;
}

bool writeWords(Data& d, const reloc& r, std::initializer_list<uint16_t> words, std::string& error) {
  if (!spanFits(d, r, 2 * static_cast<uint64_t>(words.size()), error)) return false;
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

void trace(const char* channel, uint16_t type, uint32_t value) {
  if (Debug(channel)) std::cout << channel << "() - " << relocTypeText(type) << ", value=" << hex(value, 4) << '\n';
}

void trace(const char* channel, const char* text) {
  if (Debug(channel)) std::cout << text << '\n';
}

}  // namespace tarsil::patching
