// SPDX-License-Identifier: Apache-2.0
// Any byte string handed to the object reader: it must reject what it cannot
// read with a message, never crash, hang or end the process. An object that
// it accepts and that checks out must survive being written and read again
// unchanged. The object dumper must print whatever the reader accepts, and
// the disassembler must decode every section of it as each of the families.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <sstream>

#include "Dump.h"
#include "coff/Coff.h"
#include "device/Processor.h"
#include "support/Error.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tarsil::Error::quiet(true);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::unique_ptr<tarsil::Coff> coff = tarsil::Coff::make(std::span<const uint8_t>(data, size), "fuzz.o");
  if (!coff) return 0;
  // Zeros that the object declares without bytes (up to 16 MiB) decode
  // alike and would take seconds an input: the disassembler is fuzzed on the
  // bytes the input holds.
  bool declaredZeros = false;
  for (const auto& [name, raw] : coff->cRawData) declaredZeros = declaredZeros || raw.onlyZeros();
  std::ostringstream dump;
  tarsil::tools::dumpObject(*coff, tarsil::tools::DumpParts::all(), dump);
  tarsil::tools::DisasmOptions disasm;
  disasm.enabled = disasm.all = true;
  for (int instSet = tarsil::instSetCore14; instSet <= tarsil::instSetCore16E && !declaredZeros; ++instSet) {
    disasm.instSet = instSet;
    tarsil::tools::disassemble(*coff, disasm, dump);
  }
  if (!coff->verify()) return 0;

  tarsil::Coff first(*coff);
  first.preWrite(0);
  std::vector<uint8_t> image = first.image();
  if (image.size() != first.size()) std::abort();

  std::unique_ptr<tarsil::Coff> again = tarsil::Coff::make(std::span<const uint8_t>(image), "again.o");
  if (!again) std::abort();
  again->preWrite(0);
  if (again->image() != image) std::abort();
  return 0;
}
