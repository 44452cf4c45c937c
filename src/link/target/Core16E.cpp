// SPDX-License-Identifier: Apache-2.0
// Core16E: 16-bit instruction words, but program memory is addressed in
// bytes, so every instruction starts at an even address and the address
// fields of call, goto and the branches hold word addresses (the byte address
// shifted right by one). There is a single page of up to 2 MiB: call and goto
// are two-word instructions, the first word carrying word-address bits 7..0
// and the second bits 19..8. Data memory is cut into banks of 0x100 bytes,
// selected with MOVLB; an instruction's access bit (bit 8) picks the access
// bank instead, which the command file declares with ACCESSBANK. Relative
// branches count words from the instruction after the branch: BRA and RCALL
// in 11 bits, the conditional branches in 8.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "coff/Coff.h"
#include "link/target/TargetSupport.h"
#include "memory/Memory.h"

namespace tarsil {

using namespace patching;

namespace {

constexpr const char* kChannel = kChannelCore16E;

// A name that begins with '.' stands for the section named by the rest.
std::string displayName(const syment& sym, const StringTable& strTbl) {
  std::string name = Coff::findName(sym, strTbl).value_or("");
  if (!name.empty() && name[0] == '.') name.erase(0, 1);
  return name;
}

std::string notWordAligned(const std::string& name, const char* can) {
  return "Symbol '" + name + "' is not word-aligned.\nIt " + can +
         " be used as the target of a call or goto instruction.";
}

// The special registers that MOVFF cannot write: writing the return stack or
// the program counter's low byte that way would corrupt control flow.
const char* forbiddenMovffDestination(uint32_t address) {
  switch (address & 0xFFF) {
    case 0xFFF: return "TOSU";
    case 0xFFE: return "TOSH";
    case 0xFFD: return "TOSL";
    case 0xFF9: return "PCL";
    default: return nullptr;
  }
}

struct BranchForm {
  int64_t lowest;     // most negative offset, in bytes
  int64_t highest;    // most positive offset, in bytes
  int64_t modulus;    // added to a backward offset to make it a field value
  uint16_t width;     // field width in words
};

constexpr BranchForm kBra{-0x800, 0x7FE, 0x1000, 11};
constexpr BranchForm kCondBra{-0x100, 0xFE, 0x200, 8};

// The messages are put together out of line: most links patch hundreds of
// thousands of fields and word none of these, and a patcher that builds no
// string of its own keeps a small frame.
[[gnu::noinline, gnu::cold]] bool fail(std::string& error, std::string text) {
  error = std::move(text);
  return false;
}

[[gnu::noinline, gnu::cold]] bool outOfBranchRange(const syment& sym, const StringTable& strTbl,
                                                   std::string& error) {
  return fail(error, "Symbol '" + displayName(sym, strTbl) + "' out of range of relative branch instruction.");
}

[[gnu::noinline, gnu::cold]] bool forbiddenDestination(const char* reg, std::string& error) {
  return fail(error, std::string(reg) + " cannot be used as the destination of a MOVFF instruction.");
}

[[gnu::noinline, gnu::cold]] bool misaligned(const syment& sym, const StringTable& strTbl,
                                             const char* can, std::string& error) {
  return fail(error, notWordAligned(displayName(sym, strTbl), can));
}

bool relativeBranch(const BranchForm& form, uint32_t v, uint32_t scnAddr, Data& data, const reloc& r,
                    const syment& sym, const StringTable& strTbl, std::string& error) {
  const int64_t offset = static_cast<int64_t>(v) - 2 - (static_cast<int64_t>(scnAddr) + r.r_vaddr);
  if (offset < form.lowest || offset > form.highest) return outOfBranchRange(sym, strTbl, error);
  const int64_t field = offset > 0 ? offset : offset + form.modulus;
  if (field % 2 != 0) return misaligned(sym, strTbl, "cannot", error);
  return writeField(data, r, static_cast<uint32_t>(field), 1, 0, form.width, error);
}

// The size of the section the symbol refers to; false when the symbol is
// no section reference at all or names no section of the link. Section-size
// fields are few, and the name they need stays out of the common path's
// frame.
[[gnu::noinline]] bool sectionSize(const TargetDevice& device, const Referent& to, const reloc& r, uint32_t& size,
                                   std::string& error) {
  const std::string name = Coff::findName(to.symbol, to.strings).value_or("");
  if (name.empty() || name[0] != '.')
    return fail(error, describe(r) + " needs a section reference, but symbol '" + name + "' does not name a section.");
  const std::optional<uint64_t> found = device.sectionSize(name.substr(1));
  if (!found) return fail(error, describe(r) + " refers to section '" + name.substr(1) + "', which no input has.");
  size = static_cast<uint32_t>(*found);
  return true;
}

class Core16ETarget final : public Target {
public:
  explicit Core16ETarget(TargetDevice device) : Target(std::move(device)) {}
  bool relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const override;

private:
  bool inAccessBank(uint32_t address) const {
    for (const Memory& m : *cDevice.accessBanks)
      if (address >= m.getPhysicalStart() && address <= m.getPhysicalEnd()) return true;
    return false;
  }
};

bool Core16ETarget::relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const {
  Data& data = at.bytes;
  const syment* sym = &to.symbol;
  const StringTable& strTbl = to.strings;
  const uint32_t scnAddr = at.address;
  const uint32_t v = relocValue(*sym, r);
  trace(kChannel, r.r_type, v);

  switch (r.r_type) {
    case RELOCT_CALL:
    case RELOCT_GOTO:
      if (v % 2 != 0) return misaligned(*sym, strTbl, "can not", error);
      return writeField(data, r, v, 1, 0, 8, error);
    case RELOCT_CALL2: return writeField(data, r, v, 9, 0, 12, error);

    case RELOCT_HIGH:
    case RELOCT_BANKSEL:
    case RELOCT_IBANKSEL:
    case RELOCT_MOVLB: return writeField(data, r, v, 8, 0, 8, error);
    case RELOCT_LOW:
    case RELOCT_F:
    case RELOCT_LFSR2: return writeField(data, r, v, 0, 0, 8, error);
    case RELOCT_ALL: return writeField(data, r, v, 0, 0, 16, error);
    case RELOCT_UPPER: return writeField(data, r, v, 16, 0, 8, error);

    case RELOCT_FF1: return writeField(data, r, v, 0, 0, 12, error);
    case RELOCT_FF2:
      if (const char* reg = forbiddenMovffDestination(v)) return forbiddenDestination(reg, error);
      return writeField(data, r, v, 0, 0, 12, error);
    case RELOCT_LFSR1: return writeField(data, r, v, 8, 0, 4, error);

    case RELOCT_BRA: return relativeBranch(kBra, v, scnAddr, data, r, *sym, strTbl, error);
    case RELOCT_CONDBRA: return relativeBranch(kCondBra, v, scnAddr, data, r, *sym, strTbl, error);

    case RELOCT_ACCESS: return writeField(data, r, inAccessBank(v) ? 0 : 1, 0, 8, 1, error);

    case RELOCT_SCNSZ_LOW:
    case RELOCT_SCNSZ_HIGH:
    case RELOCT_SCNSZ_UPPER: {
      uint32_t size = 0;
      if (!sectionSize(cDevice, to, r, size, error)) return false;
      const uint32_t value = size + static_cast<uint32_t>(static_cast<int32_t>(r.r_offset));
      const uint16_t src = r.r_type == RELOCT_SCNSZ_LOW ? 0 : r.r_type == RELOCT_SCNSZ_HIGH ? 8 : 16;
      return writeField(data, r, value, src, 0, 8, error);
    }

    case RELOCT_SCNEND_LOW:
    case RELOCT_SCNEND_LFSR2:
    case RELOCT_SCNEND_HIGH:
    case RELOCT_SCNEND_UPPER:
    case RELOCT_SCNEND_LFSR1: {
      uint32_t size = 0;
      if (!sectionSize(cDevice, to, r, size, error)) return false;
      const uint32_t end = sym->n_value + size - 1 + static_cast<uint32_t>(static_cast<int32_t>(r.r_offset));
      if (r.r_type == RELOCT_SCNEND_HIGH) return writeField(data, r, end, 8, 0, 8, error);
      if (r.r_type == RELOCT_SCNEND_UPPER) return writeField(data, r, end, 16, 0, 8, error);
      if (r.r_type == RELOCT_SCNEND_LFSR1) return writeField(data, r, end, 8, 0, 4, error);
      return writeField(data, r, end, 0, 0, 8, error);
    }

    default: error = kUnsupported; return false;
  }
}

}  // namespace

std::unique_ptr<Target> patching::makeCore16ETarget(TargetDevice device) {
  return std::make_unique<Core16ETarget>(std::move(device));
}

}  // namespace tarsil
