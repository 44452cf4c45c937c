// SPDX-License-Identifier: Apache-2.0
#pragma once
// The instructions of an object or executable, one line each, in the
// notation of its core family.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "coff/Coff.h"

namespace tarsil::tools {

struct DisasmOptions {
  bool enabled = false;  // -d: code as instructions, romdata as data words
  bool all = false;      // -D: every section with data as instructions
  bool showRaw = true;
  bool lines = false;   // -l: file:line before the instructions of each line
  bool source = false;  // -S: the source line itself too, where its file is found
  // Where -S looks for a relative source file after the current directory.
  std::vector<std::string> sourceDirs;
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
// The same for one letter of a group of short options ("-dl").
bool takeDisasmLetter(char letter, DisasmOptions& options);

void disassemble(const Coff& coff, const DisasmOptions& options, std::ostream& os);

}  // namespace tarsil::tools
