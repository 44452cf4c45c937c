// SPDX-License-Identifier: Apache-2.0
#pragma once
// The instructions of an object or executable, one line each, in the
// notation of its core family.
#include <cstdint>
#include <iosfwd>

#include "coff/Coff.h"

namespace tarsil::tools {

struct DisasmOptions {
  bool enabled = false;  // -d: code as instructions, romdata as data words
  bool all = false;      // -D: every section with data as instructions
  bool showRaw = true;
  // Program addresses, in locations: from `start` up to, not including, `stop`.
  uint32_t start = 0;
  uint32_t stop = UINT32_MAX;
  // When not 0, the instruction set to decode with, whatever device the file
  // names (the fuzz target decodes every file with every family).
  int instSet = 0;
};

enum class OptionResult { notMine, taken, bad };

// Takes the disassembler's switches at argv[i] (and its value at argv[i+1]
// when given apart, advancing i); a bad value is reported on stderr.
OptionResult parseDisasmOption(int argc, char** argv, int& i, DisasmOptions& options);

void disassemble(const Coff& coff, const DisasmOptions& options, std::ostream& os);

}  // namespace tarsil::tools
