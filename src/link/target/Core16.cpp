// SPDX-License-Identifier: Apache-2.0
// Core16: 16-bit instruction words, two bytes each in raw data. Program
// memory is cut into pages of 0x2000 words; call and goto carry 13 address
// bits and the rest travels through PCLATH (register 3), loaded by a MOVLW,
// MOVWF pair. Data memory is cut into banks of 0x100 bytes with two bank
// registers: MOVLR selects the bank of the general-purpose registers (low
// byte of the address 0x20 or more), MOVLB the bank of the peripheral ones,
// so a bank select must look at the address to know which to emit.
#include <iostream>

#include "device/Processor.h"
#include "link/target/TargetSupport.h"
#include "support/Debug.h"

namespace tarsil {

using namespace patching;

namespace {

constexpr const char* kChannel = kChannelCore16;
constexpr uint16_t PCLATH = 3;

class Core16Target final : public Target {
public:
  explicit Core16Target(TargetDevice device) : Target(std::move(device)) {}
  bool relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const override;
};

bool Core16Target::relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const {
  Data& data = at.bytes;
  const uint32_t v = relocValue(to.symbol, r);
  trace(kChannel, r.r_type, v);

  switch (r.r_type) {
    case RELOCT_CALL:
    case RELOCT_GOTO: return writeField(data, r, v, 0, 0, 13, error);
    case RELOCT_HIGH: return writeField(data, r, v, 8, 0, 8, error);
    case RELOCT_LOW:
    case RELOCT_F: return writeField(data, r, v, 0, 0, 8, error);
    case RELOCT_P: return writeField(data, r, v, 0, 8, 5, error);
    case RELOCT_ALL: return writeField(data, r, v, 0, 0, 16, error);

    case RELOCT_BANKSEL:
    case RELOCT_IBANKSEL: {
      const uint16_t bank = getDataBankNumber(cDevice.procType, v);
      const bool gpr = isGpr(cDevice.procType, v);
      if (Debug(kChannel)) std::cout << "Linker::doPatchCore16() -  RELOCT_BANKSEL, isgpr=" << gpr << '\n';
      return writeWords(data, r, {encode(instSetCore16, gpr ? InstType::MOVLR : InstType::MOVLB, bank)}, error);
    }

    case RELOCT_PAGESEL:
    case RELOCT_PAGESEL_WREG:
      return writeWords(data, r,
                        {encode(instSetCore16, InstType::MOVLW, highByte(v)),
                         encode(instSetCore16, InstType::MOVWF, PCLATH)},
                        error);

    case RELOCT_MOVLR: return writeField(data, r, getDataBankNumber(cDevice.procType, v), 0, 4, 4, error);
    case RELOCT_MOVLB: return writeField(data, r, getDataBankNumber(cDevice.procType, v), 0, 0, 4, error);

    default: error = kUnsupported; return false;
  }
}

}  // namespace

std::unique_ptr<Target> patching::makeCore16Target(TargetDevice device) {
  return std::make_unique<Core16Target>(std::move(device));
}

}  // namespace tarsil
