// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <iosfwd>

#include "memory/Memory.h"

namespace tarsil {

// The summary --print-memory-usage shows after a link: one row per declared
// memory, code pages then data, shared and access banks, each kind in
// declaration order. Used counts what placement gave to sections, the stack
// and activation records; fill is not use. Program memory is counted in
// locations, data memory in bytes, as the header says.
void writeMemoryUsage(std::ostream& os, const DeclaredMemories& memories);

}  // namespace tarsil
