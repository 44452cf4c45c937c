// SPDX-License-Identifier: Apache-2.0
// Reading an image. Every count and file pointer comes from an untrusted
// file, so each read is checked against the bytes actually present before
// anything is allocated for it.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "coff/Coff.h"
#include "coff/MemberReader.h"
#include "support/Error.h"
#include "support/InputFile.h"

namespace tarsil {

namespace {

// Zero-filled sections other than uninitialized ones (s_scnptr 0) take
// memory once the executable is made of them. No device has more than a few
// megabytes of memory, so more than this in one object can only be a broken
// header.
constexpr uint64_t maxZeroFill = 16u << 20;
constexpr uint64_t maxStringTable = 0x40000000;

bool isString(const StringTable& strTbl, uint32_t offset) { return strTbl.contains(offset); }

class Reader {
public:
  // The image starts at byte `base` of `bytes` and runs to their end. With
  // `headersOnly`, the sections' bytes, relocations and line numbers are
  // left where they are; an image of the older layout is read whole anyway.
  Reader(InputBytes& bytes, uint64_t base, const std::string& name, bool headersOnly = false)
      : cBytes(bytes), cBase(base), cSize(bytes.size() - std::min(base, bytes.size())), cName(name),
        cHeadersOnly(headersOnly) {}

  std::unique_ptr<Coff> read();
  // Reads the sections' contents that read() left unread into `partial`.
  std::unique_ptr<Coff> readRest(std::unique_ptr<Coff> partial);
  // False when read() left the sections' contents unread.
  bool whole() const { return !cHeadersOnly; }
  // True when the contents left unread read the same from the image's first
  // `size` bytes alone as from the whole file: each lies within them (and
  // they add up to no more), or past the file's end, where it fails either way.
  bool within(uint64_t size) const { return cReach <= size && cClaimed <= size; }
  // True when verify() would find nothing wrong with what read() returned,
  // as far as the reader could tell while reading; false means "not known".
  bool sound(const Coff& coff) const;
  // size() of a sound result.
  uint64_t soundSize(const Coff& coff) const;
  // A symbol whose auxiliary slots would run past the table's end ends the
  // walk, and keeps its count of them: written out, it would take the next
  // input's first slots as its own. Such a table was cut short, which the
  // readers that check refuse. False when there is none.
  bool reportCutSymbolTable(const Coff& coff) const;

private:
  InputBytes& cBytes;
  const uint64_t cBase;
  const uint64_t cSize;
  const std::string& cName;
  std::unique_ptr<Coff> cCoff;
  bool cHeadersOnly;
  bool cOldLayout = false;
  // Bytes taken for raw data, relocations and line numbers. A file the writer
  // made never reuses bytes between these, so they cannot add up to more than
  // the image; headers that make them overlap would multiply the memory spent.
  uint64_t cBytesTaken = 0;
  uint64_t cZeroFill = 0;
  // What verify() would check, gathered on the way: a doubt about a name or
  // a section number, and the highest symbol index referred to by an
  // auxiliary slot, a relocation or a line number (-1 when none).
  bool cDoubt = false;
  int64_t cHighestIndex = -1;
  // The slot of the symbol whose auxiliary slots are missing, or -1.
  int64_t cCutSymbol = -1;
  // The bytes the writer gives the sections: raw data of all but
  // uninitialized ones, relocations and line numbers.
  uint64_t cSectionBytes = 0;
  // Of the contents left unread that the file holds: where the farthest
  // ends, and their bytes.
  uint64_t cReach = 0;
  uint64_t cClaimed = 0;
  // What the sections hold, in file order, handed to the Coff's tables in
  // one step once all are read.
  std::vector<std::pair<std::string, scnhdr>> cHeaders;
  std::vector<std::pair<std::string, Data>> cRaw;
  std::vector<std::pair<std::string, std::vector<reloc>>> cRelocs;
  std::vector<std::pair<std::string, std::vector<coff_lineno>>> cLines;

  void refersTo(uint64_t index) { cHighestIndex = std::max<int64_t>(cHighestIndex, static_cast<int64_t>(index)); }

  bool fail(const std::string& suffix) {
    Error::report(Error::error, "Coff::make()", "Coff file '" + cName + suffix, false);
    return false;
  }
  bool has(uint64_t offset, uint64_t length) const { return offset <= cSize && length <= cSize - offset; }
  bool take(uint64_t offset, uint64_t length) {
    if (!has(offset, length)) return false;
    cBytesTaken += length;
    return cBytesTaken <= cSize;
  }
  // The image's bytes at `offset`, valid until the next call; null when they
  // are not all there.
  const uint8_t* view(uint64_t offset, uint64_t length) {
    return has(offset, length) ? cBytes.view(cBase + offset, static_cast<size_t>(length)) : nullptr;
  }

  // Bytes within a window are copied from it; a larger extent is read
  // straight into the section's buffer.
  bool readRawData(const scnhdr& h, Data& data) {
    if (h.s_size >= InputBytes::kWindow) return cBytes.copy(cBase + h.s_scnptr, h.s_size, data.bytes());
    const uint8_t* bytes = view(h.s_scnptr, h.s_size);
    if (bytes != nullptr) data = Data(h.s_size, reinterpret_cast<const char*>(bytes));
    return bytes != nullptr;
  }

  uint64_t sectionHeaderPos(uint64_t s) const { return FILHSZ + cCoff->cFileHdr.f_opthdr + SCNHSZ * s; }
  bool stringTablePos(uint64_t& pos);
  bool readStrings(uint32_t& nextFree);
  bool readSymbols(uint32_t nextFree);
  bool readSection(uint16_t s);
  bool countSection(const scnhdr& h);
  bool readContents(const std::string& name, const scnhdr& h);
  void settleSections();
};

// The string table follows the symbol table. A file without symbols may
// have no symbol-table pointer at all; its string table then follows the
// last section data, relocation or line entry.
bool Reader::stringTablePos(uint64_t& pos) {
  const filehdr& fh = cCoff->cFileHdr;
  if (fh.f_nsyms != 0 || fh.f_symptr != 0) {
    pos = static_cast<uint64_t>(fh.f_symptr) + SYMESZ * static_cast<uint64_t>(fh.f_nsyms);
    return true;
  }
  pos = sectionHeaderPos(fh.f_nscns);
  for (uint16_t s = 0; s < fh.f_nscns; ++s) {
    const uint8_t* raw = view(sectionHeaderPos(s), SCNHSZ);
    if (raw == nullptr) return fail("' could not read section header.");
    scnhdr h = scnhdr::decode(raw);
    if (h.s_scnptr != 0) pos = std::max<uint64_t>(pos, uint64_t{h.s_scnptr} + h.s_size);
    if (h.s_relptr != 0)
      pos = std::max<uint64_t>(pos, uint64_t{h.s_relptr} + uint64_t{h.s_nreloc} * (cOldLayout ? RELSZ_OLD : RELSZ));
    if (h.s_lnnoptr != 0)
      pos = std::max<uint64_t>(pos, uint64_t{h.s_lnnoptr} + uint64_t{h.s_nlnno} * (cOldLayout ? LINESZ_OLD : LINESZ));
  }
  return true;
}

bool Reader::readStrings(uint32_t& nextFree) {
  uint64_t pos = 0;
  if (!stringTablePos(pos)) return false;
  const uint8_t* p = view(pos, 4);
  if (p == nullptr) return fail("' could not read string table length.");
  uint32_t length = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                    (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  uint64_t rest = length > 4 ? length - 4 : 0;
  const uint8_t* table = rest > maxStringTable ? nullptr : view(pos + 4, rest);
  if (table == nullptr) return fail("' could not read string table.");

  const char* bytes = reinterpret_cast<const char*>(table);
  uint64_t i = 0;
  while (i < rest) {
    const char* nul = static_cast<const char*>(std::memchr(bytes + i, 0, rest - i));
    // A last string cut off by the table's end would be read as some other name.
    if (nul == nullptr) return fail("' could not read string table.");
    uint64_t len = static_cast<uint64_t>(nul - (bytes + i));
    // An empty string ends the table for every reader.
    if (len == 0) break;
    i += len + 1;
  }
  cCoff->cStrTbl.assign(std::string(bytes, i));
  nextFree = static_cast<uint32_t>(4 + i);
  return true;
}

bool Reader::readSymbols(uint32_t nextFree) {
  const filehdr& fh = cCoff->cFileHdr;
  const uint64_t count = fh.f_nsyms;
  const uint8_t* table = view(fh.f_symptr, SYMESZ * count);
  if (table == nullptr) return fail("' could not read symbol table.");
  auto& symTbl = cCoff->cSymTbl;
  auto& symKind = cCoff->cSymKind;
  // Sized once and filled in place; cut back below where the walk ends early.
  symTbl.resize(count);
  symKind.assign(count, AuxKind::none);

  const int nscns = fh.f_nscns;
  const auto& strTbl = cCoff->cStrTbl;
  uint64_t i = 0;
  uint64_t taken = 0;
  while (i < count) {
    const syment& sym = symTbl[taken++] = syment::decode(table + SYMESZ * i);
    if (sym.n_scnum > nscns || sym.n_scnum < -2) cDoubt = true;
    if (Coff::needsString(sym) && !isString(strTbl, sym.n_offset())) cDoubt = true;
    AuxKind kind = hasAux(sym);
    const uint8_t numaux = sym.n_numaux;
    if (kind == AuxKind::none) {
      ++i;
      continue;
    }
    if (i + numaux >= count) {
      cCutSymbol = static_cast<int64_t>(taken - 1);
      break;
    }

    syment first = syment::decode(table + SYMESZ * (i + 1));
    if (cOldLayout && kind == AuxKind::file) {
      // The older layout holds the name in the record itself; it may run on
      // through the symbol's further auxiliary slots but no further.
      const char* name = reinterpret_cast<const char*>(table + SYMESZ * (i + 1));
      size_t room = AUXESZ * numaux;
      const void* nul = std::memchr(name, 0, room);
      size_t len = nul ? static_cast<size_t>(static_cast<const char*>(nul) - name) : room;
      if (nextFree > maxStringTable) return fail("' could not read symbol table.");
      aux_file aux;
      // An empty string would end the table for every later reader, so an
      // empty name gets no entry and its record names none (verify says so).
      if (len != 0) {
        aux.x_offset = cCoff->cStrTbl.add(std::string_view(name, len));
        nextFree += static_cast<uint32_t>(len + 1);
      }
      setAux(first, aux);
    }
    if (kind == AuxKind::file) {
      if (!isString(strTbl, getAux<aux_file>(first).x_offset)) cDoubt = true;
    } else {
      forEachIndex(first, auxRecord(sym, kind), [this](const IndexField&, uint32_t index) { refersTo(index); });
    }
    symKind[taken] = kind;
    symTbl[taken++] = first;
    for (uint64_t j = 2; j <= numaux; ++j) {
      symKind[taken] = AuxKind::fcn_calls;
      const syment& call = symTbl[taken++] = syment::decode(table + SYMESZ * (i + j));
      forEachIndex(call, AuxKind::fcn_calls, [this](const IndexField&, uint32_t index) { refersTo(index); });
    }
    i += uint64_t{numaux} + 1;
  }
  symTbl.resize(taken);
  symKind.resize(taken);
  return true;
}

bool Reader::readSection(uint16_t s) {
  Coff& coff = *cCoff;
  const uint8_t* raw = view(sectionHeaderPos(s), SCNHSZ);
  if (raw == nullptr) return fail("' could not read section header.");
  scnhdr h = scnhdr::decode(raw);
  auto found = Coff::findName(h, coff.cStrTbl);
  if (!found) {
    if (Coff::sectionNamesFatal()) Coff::getName(h, coff.cStrTbl);  // ends the process
    return fail("' section[" + std::to_string(s) + "] has an invalid s_offset.");
  }
  const std::string& name = *found;
  if (name.empty()) cDoubt = true;
  cHeaders.emplace_back(name, h);
  // Sections are numbered in the order read: each number goes at the end.
  coff.cScnNum.emplace_hint(coff.cScnNum.end(), s + 1, name);
  return cHeadersOnly ? countSection(h) : readContents(name, h);
}

bool Reader::readContents(const std::string& name, const scnhdr& h) {
  // An uninitialized section is held by the size in its header alone: its
  // bytes are in no file and never written, whatever size it declares. Other
  // sections without bytes in the file are zeros, held by their count until
  // the executable needs them.
  const bool sizeOnly = h.s_scnptr == 0 && Coff::getScnType(h) == Coff::udata;
  if (h.s_size != 0 && !sizeOnly) {
    Data data(h.s_size);
    if (h.s_scnptr == 0) {
      cZeroFill += h.s_size;
      if (cZeroFill > maxZeroFill) return fail("' could not read raw data.");
    } else if (!take(h.s_scnptr, h.s_size) || !readRawData(h, data)) {
      return fail("' could not read raw data.");
    }
    cRaw.emplace_back(name, std::move(data));
    if (!isBssScn(h)) cSectionBytes += h.s_size;
  }

  if (h.s_nlnno != 0) {
    const size_t entry = cOldLayout ? LINESZ_OLD : LINESZ;
    const uint8_t* table = take(h.s_lnnoptr, uint64_t{h.s_nlnno} * entry) ? view(h.s_lnnoptr, uint64_t{h.s_nlnno} * entry) : nullptr;
    if (table == nullptr) return fail("' could not read line numbers.");
    auto& lines = cLines.emplace_back(name, std::vector<coff_lineno>()).second;
    if (!cOldLayout) {
      lines.resize(h.s_nlnno);
      for (uint32_t j = 0; j < h.s_nlnno; ++j) {
        const coff_lineno& l = lines[j] = coff_lineno::decode(table + uint64_t{entry} * j);
        refersTo(l.l_srcndx);
        if (hasFcnIndex(l)) refersTo(l.l_fcnndx);
      }
    } else {
      // Function markers take no entry of their own: the count is a bound.
      lines.reserve(h.s_nlnno);
      uint32_t function = 0;
      for (uint32_t j = 0; j < h.s_nlnno; ++j) {
        gnu_lineno old = gnu_lineno::decode(table + uint64_t{entry} * j);
        if (old.l_lnno == 0) {
          function = old.l_symndx();
          continue;
        }
        coff_lineno l;
        l.l_lnno = old.l_lnno;
        l.l_paddr = old.l_paddr;
        l.l_flags = LINENO_HASFCN;
        l.l_fcnndx = function;
        refersTo(l.l_srcndx);
        refersTo(l.l_fcnndx);
        lines.push_back(l);
      }
    }
    cSectionBytes += LINESZ * uint64_t{lines.size()};
  }

  if (h.s_nreloc != 0) {
    const size_t entry = cOldLayout ? RELSZ_OLD : RELSZ;
    const uint8_t* table = take(h.s_relptr, uint64_t{h.s_nreloc} * entry) ? view(h.s_relptr, uint64_t{h.s_nreloc} * entry) : nullptr;
    if (table == nullptr) return fail("' could not read relocation info.");
    auto& relocs = cRelocs.emplace_back(name, std::vector<reloc>()).second;
    relocs.resize(h.s_nreloc);
    cSectionBytes += RELSZ * uint64_t{h.s_nreloc};
    for (uint32_t j = 0; j < h.s_nreloc; ++j) {
      const uint8_t* p = table + uint64_t{entry} * j;
      relocs[j] = cOldLayout ? reloc::decodeOld(p) : reloc::decode(p);
      refersTo(relocs[j].r_symndx);
    }
  }
  return true;
}

// The bytes the writer will give a section, from its header alone, as
// readSection() counts them having read the section.
bool Reader::countSection(const scnhdr& h) {
  const bool sizeOnly = h.s_scnptr == 0 && Coff::getScnType(h) == Coff::udata;
  if (h.s_size != 0 && !sizeOnly) {
    if (h.s_scnptr == 0) {
      cZeroFill += h.s_size;
      if (cZeroFill > maxZeroFill) return fail("' could not read raw data.");
    }
    if (!isBssScn(h)) cSectionBytes += h.s_size;
  }
  cSectionBytes += LINESZ * uint64_t{h.s_nlnno} + RELSZ * uint64_t{h.s_nreloc};
  auto reach = [this](uint64_t at, uint64_t length) {
    if (!has(at, length)) return;
    cReach = std::max(cReach, at + length);
    cClaimed += length;
  };
  if (h.s_size != 0 && !sizeOnly && h.s_scnptr != 0) reach(h.s_scnptr, h.s_size);
  if (h.s_nlnno != 0) reach(h.s_lnnoptr, LINESZ * uint64_t{h.s_nlnno});
  if (h.s_nreloc != 0) reach(h.s_relptr, RELSZ * uint64_t{h.s_nreloc});
  return true;
}

std::unique_ptr<Coff> Reader::readRest(std::unique_ptr<Coff> partial) {
  cCoff = std::move(partial);
  // A coff read in part has one header per name (it was sound), so its
  // sections in number order are those of the file in file order.
  for (const auto& [number, name] : cCoff->cScnNum)
    if (!readContents(name, cCoff->cScnHdr.at(name))) return nullptr;
  settleSections();
  return std::move(cCoff);
}

std::unique_ptr<Coff> Reader::read() {
  cCoff = std::make_unique<Coff>();
  cCoff->cFileName = cName;
  const uint8_t* header = view(0, FILHSZ);
  if (header == nullptr) return fail("' could not read file header."), nullptr;
  cCoff->cFileHdr = filehdr::decode(header);
  const filehdr& fh = cCoff->cFileHdr;
  if (fh.f_magic != COFF_MAGIC) return fail("' does not appear to be a valid COFF file."), nullptr;

  if (fh.f_opthdr != OPTHDR_SIZE) {
    Error::report(Error::error, "Coff::make()", "Coff file '" + cName + "' missing optional file header.", false);
    cOldLayout = true;
    // Its line numbers are counted only by converting them.
    cHeadersOnly = false;
  } else {
    const uint8_t* optional = view(FILHSZ, OPTHSZ);
    if (optional == nullptr) return fail("' could not read optional file header."), nullptr;
    cCoff->cOptHdr = opthdr::decode(optional);
  }

  uint32_t nextFree = 4;
  if (!readStrings(nextFree)) return nullptr;
  if (!readSymbols(nextFree)) return nullptr;
  // Room for as many headers as the file can hold, not as it claims.
  cHeaders.reserve(std::min<uint64_t>(fh.f_nscns, cSize / SCNHSZ));
  for (uint16_t s = 0; s < fh.f_nscns; ++s)
    if (!readSection(s)) return nullptr;
  settleSections();
  return std::move(cCoff);
}

// Two sections of one name share its entries, as the tables are keyed by
// name: the later header and bytes replace the earlier, relocations and
// line numbers add up in file order.
void Reader::settleSections() {
  Coff& coff = *cCoff;
  auto later = [](auto& kept, auto&& incoming) { kept = std::move(incoming); };
  auto both = [](auto& kept, auto&& incoming) { kept.insert(kept.end(), incoming.begin(), incoming.end()); };
  coff.cScnHdr.mergeIn(std::move(cHeaders), later);
  coff.cRawData.mergeIn(std::move(cRaw), later);
  coff.cReloc.mergeIn(std::move(cRelocs), both);
  coff.cLineInfo.mergeIn(std::move(cLines), both);
}

// Every check of verify() either is covered here or cannot fail for a Coff
// the reader built: sections are numbered 1 to f_nscns, and every section
// name was found while reading. Two headers of one name leave fewer headers
// than numbers, which verify() must then report.
bool Reader::sound(const Coff& coff) const {
  return !cDoubt && cHighestIndex < static_cast<int64_t>(coff.cSymTbl.size()) &&
         coff.cScnHdr.size() == coff.cScnNum.size();
}

bool Reader::reportCutSymbolTable(const Coff& coff) const {
  if (cCutSymbol < 0) return false;
  const syment& sym = coff.cSymTbl[static_cast<size_t>(cCutSymbol)];
  std::optional<std::string> name = Coff::findName(sym, coff.cStrTbl);
  Error::report(Error::error, "Coff::make()",
                "Coff file '" + cName + "' symbol[" + std::to_string(cCutSymbol) + "]" +
                    (name ? " ('" + *name + "')" : std::string()) + " claims " + std::to_string(sym.n_numaux) +
                    " auxiliary entries past the end of the symbol table.",
                false);
  return true;
}

// Sound means one header per name and a name for each, so the sections
// written are exactly the ones read.
uint64_t Reader::soundSize(const Coff& coff) const {
  uint64_t length = FILHSZ + OPTHSZ + SCNHSZ * uint64_t{coff.cScnNum.size()} + cSectionBytes;
  length += SYMESZ * uint64_t{coff.cSymTbl.size()} + 4;
  length += coff.cStrTbl.byteSize();
  return length;
}

}  // namespace

namespace {

void cannotOpen(const std::string& name) {
  Error::report(Error::error, "Coff::make()", "Could not open Coff file '" + name + "' for reading.", false);
}

}  // namespace

std::unique_ptr<Coff> Coff::make(InputBytes& bytes, uint64_t offset, const std::string& name) {
  return Reader(bytes, offset, name).read();
}

std::unique_ptr<Coff> Coff::make(std::span<const uint8_t> image, const std::string& name) {
  InputBytes bytes(image);
  return make(bytes, 0, name);
}

std::unique_ptr<Coff> Coff::make(const std::string& name) {
  InputBytes bytes;
  if (!bytes.open(name)) return cannotOpen(name), nullptr;
  return make(bytes, 0, name);
}

namespace {

// What `reader` read whole, once checked; null when the check fails.
std::unique_ptr<Coff> verified(Reader& reader, std::unique_ptr<Coff> coff, uint64_t* imageSize) {
  const bool sound = reader.sound(*coff);
  if (!sound && !coff->verify()) return nullptr;
  if (imageSize) *imageSize = sound ? static_cast<uint64_t>(reader.soundSize(*coff)) : coff->size();
  return coff;
}

}  // namespace

std::unique_ptr<Coff> Coff::makeVerified(InputBytes& bytes, uint64_t offset, const std::string& name,
                                          uint64_t* imageSize) {
  Reader reader(bytes, offset, name);
  auto coff = reader.read();
  if (!coff || reader.reportCutSymbolTable(*coff)) return nullptr;
  return verified(reader, std::move(coff), imageSize);
}

std::unique_ptr<Coff> readMemberRest(InputBytes& image, std::unique_ptr<Coff> partial) {
  const std::string name = partial->cFileName;
  Reader reader(image, 0, name);
  auto coff = reader.readRest(std::move(partial));
  if (!coff) return nullptr;
  return verified(reader, std::move(coff), nullptr);
}

std::unique_ptr<Coff> Coff::makeHeaders(InputBytes& bytes, uint64_t offset, const std::string& name,
                                         uint64_t& imageSize, bool& whole) {
  Reader reader(bytes, offset, name, true);
  auto coff = reader.read();
  if (!coff || reader.reportCutSymbolTable(*coff)) return nullptr;
  whole = reader.whole();
  if (whole) return verified(reader, std::move(coff), &imageSize);
  if (reader.sound(*coff) && reader.within(reader.soundSize(*coff))) {
    imageSize = reader.soundSize(*coff);
    return coff;
  }
  // Whatever the full check would report is found on the whole image, and
  // contents outside it are read from where they are.
  whole = true;
  return makeVerified(bytes, offset, name, &imageSize);
}

std::unique_ptr<Coff> Coff::makeVerified(std::span<const uint8_t> image, const std::string& name,
                                          uint64_t* imageSize) {
  InputBytes bytes(image);
  return makeVerified(bytes, 0, name, imageSize);
}

std::unique_ptr<Coff> Coff::makeVerified(const std::string& name) {
  InputBytes bytes;
  return makeVerified(name, bytes);
}

std::unique_ptr<Coff> Coff::makeVerified(const std::string& name, InputBytes& bytes) {
  if (!bytes.open(name)) return cannotOpen(name), nullptr;
  auto coff = makeVerified(bytes, 0, name);
  bytes.close();
  return coff;
}

}  // namespace tarsil
