// SPDX-License-Identifier: Apache-2.0
#pragma once
// One object file, library member or executable in memory: read, checked,
// laid out and written.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "coff/CoffFormat.h"
#include "coff/StringTable.h"
#include "support/Data.h"
#include "support/FlatMap.h"

namespace tarsil {

class InputBytes;

class Coff {
public:
  enum ScnType { unknown = 0, code = 1, idata = 2, udata = 3, romdata = 4, actrec = 5 };

  std::string cFileName;
  filehdr cFileHdr;
  opthdr cOptHdr;
  // Section number (from 1) to name; iteration order is the file's order.
  FlatMap<int, std::string> cScnNum;
  FlatMap<std::string, scnhdr> cScnHdr;
  FlatMap<std::string, Data> cRawData;
  // Entries in file order.
  FlatMap<std::string, std::vector<reloc>> cReloc;
  FlatMap<std::string, std::vector<coff_lineno>> cLineInfo;
  // Slot by slot, auxiliary slots included: a slot's position is its index.
  std::vector<syment> cSymTbl;
  std::vector<AuxKind> cSymKind;
  StringTable cStrTbl;

  Coff() = default;
  Coff(const Coff&) = default;
  Coff& operator=(const Coff&) = default;
  void init(const Coff& other) { *this = other; }

  // --- reading -------------------------------------------------------------
  // Each reports its own error and returns null on failure.

  static std::unique_ptr<Coff> make(const std::string& name);
  // An image at byte `offset` of `bytes`, running to their end; its file
  // pointers count from there. Only the extents its headers describe are
  // read.
  static std::unique_ptr<Coff> make(InputBytes& bytes, uint64_t offset, const std::string& name);
  // An image held in memory, from its first byte to the end of the
  // containing file (or archive), which bounds every read.
  static std::unique_ptr<Coff> make(std::span<const uint8_t> image, const std::string& name);

  // The same readers followed by verify(): null when either fails. What the
  // reader has already seen to be sound is not walked a second time, so a
  // sound image costs no more than reading it; any doubt falls back on the
  // full check, whose messages come out as they would after make().
  static std::unique_ptr<Coff> makeVerified(const std::string& name);
  // As above, reading the file through `scratch`, which the caller may pass
  // again for the next file.
  static std::unique_ptr<Coff> makeVerified(const std::string& name, InputBytes& scratch);
  // When `imageSize` is given, it receives size() of the result, learnt on
  // the way where the reader can.
  static std::unique_ptr<Coff> makeVerified(InputBytes& bytes, uint64_t offset, const std::string& name,
                                            uint64_t* imageSize = nullptr);
  static std::unique_ptr<Coff> makeVerified(std::span<const uint8_t> image, const std::string& name,
                                            uint64_t* imageSize = nullptr);
  // A library member as the import needs it: its headers, symbols and
  // strings, read and checked as makeVerified() does; its sections' bytes,
  // relocations and line numbers stay in `bytes` until makeVerified() reads
  // them for a member imported. `imageSize` is that of the whole image.
  // `whole` tells that the member was read whole after all (the older
  // layout, or anything the reader doubts, which only the full check can
  // settle).
  static std::unique_ptr<Coff> makeHeaders(InputBytes& bytes, uint64_t offset, const std::string& name,
                                           uint64_t& imageSize, bool& whole);

  // While one of these lives, a section name missing from the string table
  // ends the process as every failed name look-up does ("Unable to find
  // section name in string table."), instead of failing the read alone: the
  // linker reads its inputs so, the companion tools report it and go on.
  class SectionNamesFatal {
  public:
    SectionNamesFatal() : cPrevious(cSectionNamesFatal) { cSectionNamesFatal = true; }
    ~SectionNamesFatal() { cSectionNamesFatal = cPrevious; }
    SectionNamesFatal(const SectionNamesFatal&) = delete;
    SectionNamesFatal& operator=(const SectionNamesFatal&) = delete;

  private:
    bool cPrevious;
  };
  static bool sectionNamesFatal() { return cSectionNamesFatal; }

  // True when every internal reference holds; reports each problem found.
  bool verify() const;

  // --- writing -------------------------------------------------------------

  // Lays the file out: every pointer, count and size field of the headers.
  void preWrite();
  // The same, keeping the given time stamp instead of the current time, for
  // reproducible images.
  void preWrite(uint32_t timdat);
  // The byte count write() will produce.
  uint64_t size() const;
  void fixupAuxFcns();
  bool write() const;
  bool write(std::FILE* fp, long offset) const;
  // The image write() would produce, for archives held in memory and tests.
  std::vector<uint8_t> image() const;

  // --- names -----------------------------------------------------------------
  // A failed look-up ends the process: these are for objects that verify()
  // accepted or that the linker built itself.

  static std::string getName(const scnhdr& h, const StringTable& strTbl);
  static std::string getName(const syment& s, const StringTable& strTbl);
  static std::string getName(const aux_file& a, const StringTable& strTbl);
  // The same without ending the process: no value when the offset is unknown.
  static std::optional<std::string> findName(const scnhdr& h, const StringTable& strTbl);
  static std::optional<std::string> findName(const syment& s, const StringTable& strTbl);
  static std::optional<std::string> findName(const aux_file& a, const StringTable& strTbl);
  // The name without copying it: a view into the symbol's own name field or
  // into the table's string, valid while both stay as they are (so `s` must
  // be the stored entry, not a temporary copy). No value when the offset is
  // unknown.
  static std::optional<std::string_view> nameView(const syment& s, const StringTable& strTbl);
  // A name longer than 8 characters must be in the table already.
  static void setName(scnhdr& h, const StringTable& strTbl, const std::string& name);
  static void setName(syment& s, const StringTable& strTbl, const std::string& name);

  // Appends a string at the table's next free offset and returns the offset.
  // An equal string already present is not looked for: callers that want one
  // copy keep their own index of what they added.
  static uint32_t addString(StringTable& strTbl, const std::string& s);

  void print(std::ostream& os) const;

  // --- flags and predicates ------------------------------------------------------

  static ScnType getScnType(const scnhdr& h);
  // "unknown", "code", "idata", "udata", "romdata", "actrec".
  static const char* scnTypeName(ScnType t);
  static bool isAbs(const scnhdr& h) { return (h.s_flags & STYP_ABS) != 0; }
  static bool isShared(const scnhdr& h) { return (h.s_flags & STYP_SHARED) != 0; }
  static bool isOverlay(const scnhdr& h) { return (h.s_flags & STYP_OVRLY) != 0; }
  static bool isAccess(const scnhdr& h) { return (h.s_flags & STYP_ACCESS) != 0; }
  static void setScnFlags(scnhdr& h, ScnType t, bool abs, bool shared, bool access);
  static bool isExtDefinition(const syment& s) { return s.n_sclass == C_EXT && s.n_scnum > 0; }
  static bool isExtReference(const syment& s) { return s.n_sclass == C_EXT && s.n_scnum == 0; }
  // A name whose first four bytes are zero is held in the string table.
  // Asked of every symbol by many stages, so kept where it can be inlined.
  static bool needsString(const scnhdr& h) { return firstWordZero(h.s_name); }
  static bool needsString(const syment& s) { return firstWordZero(s.n_name); }

private:
  static bool firstWordZero(const char* name) {
    uint32_t word;
    std::memcpy(&word, name, sizeof word);
    return word == 0;
  }

  static inline bool cSectionNamesFatal = false;
};

}  // namespace tarsil
