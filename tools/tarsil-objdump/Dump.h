// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <iosfwd>

#include "Disassemble.h"
#include "coff/Archive.h"
#include "coff/Coff.h"

namespace tarsil::tools {

// The parts of a dump; a plain run shows them all.
struct DumpParts {
  bool fileHeader = false;
  bool sections = false;
  bool data = false;
  bool relocs = false;
  bool lines = false;
  bool syms = false;
  bool strings = false;
  bool archive = false;
  // Not part of all(): asked for on its own.
  DisasmOptions disasm;

  bool any() const {
    return fileHeader || sections || data || relocs || lines || syms || strings || archive || disasm.enabled;
  }
  static DumpParts all() { return {true, true, true, true, true, true, true, true, {}}; }
  // Every part, keeping the disassembly asked for.
  void selectAll() { *this = {true, true, true, true, true, true, true, true, disasm}; }
};

// One line per record or field, every number in a fixed form, so that a test
// can match any line on its own.
void dumpObject(const Coff& coff, const DumpParts& parts, std::ostream& os);
void dumpArchive(const Archive& archive, const DumpParts& parts, std::ostream& os);

}  // namespace tarsil::tools
