// SPDX-License-Identifier: Apache-2.0
#pragma once
// A core family's relocations: how each relocation type writes a symbol's
// value into the instruction words of a section, and what must hold of a
// relocation before any is written. The link picks its family's target once.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "coff/CoffFormat.h"
#include "coff/StringTable.h"
#include "support/Data.h"

namespace tarsil {

class Memory;

// Where a relocation writes: the bytes of its input's section, and the
// address that section was loaded at (relative branches count from it).
struct Location {
  Data& bytes;
  uint32_t address;
};

// The symbol a relocation names, with its input's string table for the
// name that messages and section references need.
struct Referent {
  const syment& symbol;
  const StringTable& strings;
};

// What a target knows of the device and of the link beyond the relocation.
struct TargetDevice {
  int procType = 0;
  int instSet = 0;
  // The access banks the command files declare (Core16E's access bit).
  const std::vector<Memory>* accessBanks = nullptr;
  // The size in bytes of the section of this name, or nothing when no input
  // has one (Core16E's section-size relocations).
  std::function<std::optional<uint64_t>(const std::string&)> sectionSize;
};

class Target {
public:
  virtual ~Target() = default;

  // The target of the device's family. An instruction set that has none
  // refuses every relocation, without a word of its own.
  static std::unique_ptr<Target> forDevice(TargetDevice device);

  // Writes the relocation's field in `at` from the value of `to` (plus the
  // relocation's addend); false with `error` set, and nothing written, when
  // the field cannot take it.
  virtual bool relocate(const Location& at, const reloc& r, const Referent& to, std::string& error) const = 0;
  // Whether relocations of some type, or of this type, are checked before
  // the first of the link is written, and the check: false with `error` set
  // when the relocation cannot be patched at all.
  virtual bool hasChecks() const { return false; }
  virtual bool checks(uint16_t /*type*/) const { return false; }
  virtual bool check(const reloc& r, const Referent& to, std::string& error) const;

protected:
  explicit Target(TargetDevice device) : cDevice(std::move(device)) {}
  const TargetDevice cDevice;
};

}  // namespace tarsil
