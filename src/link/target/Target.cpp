// SPDX-License-Identifier: Apache-2.0
#include "link/target/TargetSupport.h"

#include <iostream>

#include "device/Processor.h"
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

void patchBits(Data& d, uint32_t rawOffset, uint32_t value, uint16_t srcBegin, uint16_t dstBegin, uint16_t width) {
  TARSIL_ASSERT(width <= 16);
  TARSIL_ASSERT(srcBegin < 32);
  TARSIL_ASSERT(dstBegin < 16);
  TARSIL_ASSERT((srcBegin + width) < 32);
  const uint32_t dsize = d.size();
  TARSIL_ASSERT(rawOffset <= dsize);
  TARSIL_ASSERT_TEXT(static_cast<uint64_t>(rawOffset) * 8 + dstBegin + width <= static_cast<uint64_t>(dsize) * 8,
                     "field lies within the data");
  if (width == 0) return;
  mergeBits(d.bytes() + rawOffset, value, srcBegin, dstBegin, width);
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
    patchBits(d, offset, w, 0, 0, 16);
    offset += 2;
  }
  return true;
}

bool writeSelectBits(Data& d, const reloc& r, uint32_t count, uint16_t low, uint16_t high, const char* channel,
                     const char* alone, std::string& error) {
  if (count <= 1) {
    trace(channel, alone);
    return true;
  }
  if (count == 2) return writeWords(d, r, {low}, error);
  return writeWords(d, r, {low, high}, error);
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

namespace tarsil {

bool Target::check(const reloc&, const Referent&, std::string&) const { return true; }

namespace {

class NoFamily final : public Target {
public:
  explicit NoFamily(TargetDevice device) : Target(std::move(device)) {}
  bool relocate(const Location&, const reloc&, const Referent&, std::string&) const override { return false; }
};

}  // namespace

// The one place where the family decides.
std::unique_ptr<Target> Target::forDevice(TargetDevice device) {
  switch (device.instSet) {
    case instSetCore12: return patching::makeCore12Target(std::move(device));
    case instSetCore14: return patching::makeCore14Target(std::move(device));
    case instSetCore16: return patching::makeCore16Target(std::move(device));
    case instSetCore16E: return patching::makeCore16ETarget(std::move(device));
    default: return std::make_unique<NoFamily>(std::move(device));
  }
}

}  // namespace tarsil
