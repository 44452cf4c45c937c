// SPDX-License-Identifier: Apache-2.0
#pragma once
// Devices as data: a text file in the form `tarsil-objdump --devices` lists
// the table (name, code, family, program, data and gpr columns, numbers in
// hexadecimal with 0x, '#' starting a comment) adds its rows to the
// processor table, so that a part the built-in table lacks can be linked
// for without a new build.
#include <iosfwd>
#include <string>
#include <vector>

namespace tarsil {

// Reads `name` and adds each row in file order. False with `error` set,
// naming the file and, for a bad row, its line; rows before it stay added,
// so callers end the run. Each built-in device a row replaces gets a line
// in `warnings`.
bool loadDeviceFile(const std::string& name, std::vector<std::string>& warnings, std::string& error);

// The same for the companion programs: each warning and the error go to
// `diagnostics` as lines that start with "<program>: ".
bool loadDeviceFile(const std::string& name, const char* program, std::ostream& diagnostics);

// A device file is a short list; anything larger is a wrong file.
inline constexpr size_t kMaxDeviceFileBytes = size_t{16} << 20;

}  // namespace tarsil
