// SPDX-License-Identifier: Apache-2.0
// Core12: 12-bit instruction words, two bytes each in raw data. Program
// memory is cut into pages of 0x200 words; a goto carries 9 address bits, a
// call only 8, so a call reaches just the lower half of a page (checked
// before any is written). The page number travels through bits 5 and 6 of
// STATUS (register 3). Data memory is cut into banks of 0x20 bytes,
// selected by bits 5 and 6 of FSR (register 4), the same bits for direct and
// indirect access; the bank sequence is always two words long, whatever the
// device, while the page sequence is only as long as the device needs.
#include "coff/Coff.h"
#include "device/Processor.h"
#include "link/target/TargetSupport.h"

namespace tarsil {

using namespace patching;

namespace {

constexpr const char* kChannel = kChannelCore12;
constexpr uint16_t STATUS = 3;
constexpr uint16_t FSR = 4;

uint16_t select(uint16_t reg, uint16_t bit, bool set) { return bitSelect(instSetCore12, reg, bit, set); }

class Core12Target final : public Target {
public:
  explicit Core12Target(TargetDevice device) : Target(std::move(device)) {}
  bool relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const override;
  bool check(const reloc& r, const Referent& to, std::string& error) const override;
  bool hasChecks() const override { return true; }
  bool checks(uint16_t type) const override { return type == RELOCT_CALL; }
};

// A call carries 8 address bits: it reaches only the lower half of a page.
bool Core12Target::check(const reloc& r, const Referent& to, std::string& error) const {
  const uint32_t page = getLocationsPerPage(cDevice.procType);
  if (relocValue(to.symbol, r) % page < page / 2) return true;
  error = "performs a call to \n symbol '" + Coff::findName(to.symbol, to.strings).value_or("") +
          "' which is not in the lower half of a page.";
  return false;
}

bool Core12Target::relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const {
  Data& data = at.bytes;
  const uint32_t v = relocValue(to.symbol, r);
  trace(kChannel, r.r_type, v);

  switch (r.r_type) {
    case RELOCT_CALL: return writeField(data, r, v, 0, 0, 8, error);
    case RELOCT_GOTO: return writeField(data, r, v, 0, 0, 9, error);
    case RELOCT_HIGH: return writeField(data, r, v, 8, 0, 8, error);
    case RELOCT_LOW: return writeField(data, r, v, 0, 0, 8, error);
    case RELOCT_ALL: return writeField(data, r, v, 0, 0, 16, error);
    case RELOCT_F: return writeField(data, r, v, 0, 0, 5, error);
    case RELOCT_TRIS: return writeField(data, r, v, 0, 0, 3, error);

    case RELOCT_BANKSEL:
    case RELOCT_IBANKSEL:
      return writeWords(data, r, {select(FSR, 5, bitOf(v, 5)), select(FSR, 6, bitOf(v, 6))}, error);

    case RELOCT_PAGESEL:
    case RELOCT_PAGESEL_BITS:
      return writeSelectBits(data, r, getNumberOfPages(cDevice.procType), select(STATUS, 5, bitOf(v, 9)),
                             select(STATUS, 6, bitOf(v, 10)), kChannel,
                             "Linker::doPatchCore12() - RELOCT_PAGESEL encountered for a device with only one page!",
                             error);

    default: error = kUnsupported; return false;
  }
}

}  // namespace

std::unique_ptr<Target> patching::makeCore12Target(TargetDevice device) {
  return std::make_unique<Core12Target>(std::move(device));
}

}  // namespace tarsil
