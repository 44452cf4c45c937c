// SPDX-License-Identifier: Apache-2.0
// Core14: 14-bit instruction words, two bytes each in raw data, the top two
// bits always zero. Program memory is cut into pages of 0x800 words; a call
// or goto carries only the 11-bit address within the page, and the page
// number travels through bits 3 and 4 of PCLATH (register 10). Data memory is
// cut into banks of 0x80 bytes, selected by bits 5 and 6 of STATUS
// (register 3) for direct access and by bit 7 for indirect access. Devices
// have one to four banks and one to four pages; a select sequence is only as
// long as the device needs, and writes nothing where there is nothing to
// select.
#include "device/Processor.h"
#include "link/target/TargetSupport.h"

namespace tarsil {

using namespace patching;

namespace {

constexpr const char* kChannel = kChannelCore14;
constexpr uint16_t STATUS = 3;
constexpr uint16_t PCLATH = 10;

uint16_t select(uint16_t reg, uint16_t bit, bool set) { return bitSelect(instSetCore14, reg, bit, set); }

class Core14Target final : public Target {
public:
  explicit Core14Target(TargetDevice device) : Target(std::move(device)) {}
  bool relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const override;
};

bool Core14Target::relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const {
  Data& data = at.bytes;
  const uint32_t v = relocValue(to.symbol, r);
  trace(kChannel, r.r_type, v);

  switch (r.r_type) {
    case RELOCT_CALL:
    case RELOCT_GOTO: return writeField(data, r, v, 0, 0, 11, error);
    case RELOCT_HIGH: return writeField(data, r, v, 8, 0, 8, error);
    case RELOCT_LOW: return writeField(data, r, v, 0, 0, 8, error);
    case RELOCT_ALL: return writeField(data, r, v, 0, 0, 16, error);
    case RELOCT_F: return writeField(data, r, v, 0, 0, 7, error);

    case RELOCT_BANKSEL:
      return writeSelectBits(data, r, getNumberOfBanks(cDevice.procType), select(STATUS, 5, bitOf(v, 7)),
                             select(STATUS, 6, bitOf(v, 8)), kChannel,
                             "Linker::doPatchCore14() - RELOCT_BANKSEL encountered for a device with only one bank!",
                             error);

    case RELOCT_IBANKSEL:
      if (getNumberOfBanks(cDevice.procType) < 3) {
        trace(kChannel, "Linker::doPatchCore14() - RELOCT_IBANKSEL encountered for a device with one or two banks!");
        return true;
      }
      return writeWords(data, r, {select(STATUS, 7, bitOf(v, 8))}, error);

    case RELOCT_PAGESEL:
    case RELOCT_PAGESEL_WREG:
      return writeWords(data, r,
                        {encode(instSetCore14, InstType::MOVLW, highByte(v)),
                         encode(instSetCore14, InstType::MOVWF, PCLATH)},
                        error);

    case RELOCT_PAGESEL_BITS:
      return writeSelectBits(
          data, r, getNumberOfPages(cDevice.procType), select(PCLATH, 3, bitOf(v, 11)), select(PCLATH, 4, bitOf(v, 12)),
          kChannel, "Linker::doPatchCore14() - RELOCT_PAGESEL_BITS encountered for a device with only one page!", error);

    default: error = kUnsupported; return false;
  }
}

}  // namespace

std::unique_ptr<Target> patching::makeCore14Target(TargetDevice device) {
  return std::make_unique<Core14Target>(std::move(device));
}

}  // namespace tarsil
