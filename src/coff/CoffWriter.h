// SPDX-License-Identifier: Apache-2.0
#pragma once
// Laying out, checking and writing one image with a single look-up of its
// sections: an executable has thousands of them, and finding each one's
// header, data, relocations and line numbers by name is most of what laying
// it out and writing it cost when each step found them afresh.
#include <cstdint>
#include <cstdio>
#include <memory>

namespace tarsil {

class Coff;

class CoffWriter {
public:
  // `coff` must keep its sections, raw data, relocations and line numbers
  // while the writer lives; header fields and symbols may change.
  explicit CoffWriter(Coff& coff);
  ~CoffWriter();
  CoffWriter(const CoffWriter&) = delete;
  CoffWriter& operator=(const CoffWriter&) = delete;

  // The first part of preWrite alone: each section's size. Afterwards the
  // rest of preWrite writes only the fields that say where things lie in the
  // file (pointers and counts, the file header, the functions' auxiliary
  // entries), so that a reader of the names, sizes, addresses and symbols
  // may go on beside it.
  void settleSizes();
  // Coff::preWrite(timdat).
  void preWrite(uint32_t timdat);
  // Coff::verify(), with the same answer and messages; an image whose every
  // reference plainly holds is passed without the full walk.
  bool verify() const;
  // Coff::write(fp, offset), after preWrite().
  bool write(std::FILE* fp, long offset) const;

private:
  struct Layout;
  Coff& cCoff;
  std::unique_ptr<Layout> cLayout;
};

}  // namespace tarsil
