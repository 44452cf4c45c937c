// SPDX-License-Identifier: Apache-2.0
#include "coff/Coff.h"

#include <algorithm>
#include <ostream>

#include "support/Error.h"

namespace tarsil {

namespace {

std::optional<std::string> lookUp(const StringTable& strTbl, uint32_t offset) {
  auto text = strTbl.at(offset);
  if (!text) return std::nullopt;
  return std::string(*text);
}

bool hasString(const StringTable& strTbl, uint32_t offset) { return strTbl.contains(offset); }

std::string shortName(const char* name) {
  size_t n = 0;
  while (n < 8 && name[n] != '\0') ++n;
  return std::string(name, n);
}

void storeName(char* field, const StringTable& strTbl, const std::string& name, const char* what) {
  std::memset(field, 0, 8);
  if (name.size() <= 8) {
    std::memcpy(field, name.data(), name.size());
    return;
  }
  auto offset = strTbl.offsetOf(name);
  if (!offset) {
    Error::report(Error::error, "Coff::setName()",
                  std::string("Could not find ") + what + " name '" + name + "' in string table.", true);
    return;
  }
  uint8_t bytes[4] = {static_cast<uint8_t>(*offset), static_cast<uint8_t>(*offset >> 8),
                      static_cast<uint8_t>(*offset >> 16), static_cast<uint8_t>(*offset >> 24)};
  std::memcpy(field + 4, bytes, 4);
}

}  // namespace

// --- names -----------------------------------------------------------------------

std::optional<std::string> Coff::findName(const scnhdr& h, const StringTable& strTbl) {
  if (needsString(h)) return lookUp(strTbl, h.s_offset());
  return shortName(h.s_name);
}

std::optional<std::string> Coff::findName(const syment& s, const StringTable& strTbl) {
  if (needsString(s)) return lookUp(strTbl, s.n_offset());
  return shortName(s.n_name);
}

std::optional<std::string> Coff::findName(const aux_file& a, const StringTable& strTbl) {
  return lookUp(strTbl, a.x_offset);
}

std::optional<std::string_view> Coff::nameView(const syment& s, const StringTable& strTbl) {
  if (needsString(s)) return strTbl.at(s.n_offset());
  size_t n = 0;
  while (n < 8 && s.n_name[n] != '\0') ++n;
  return std::string_view(s.n_name, n);
}

std::string Coff::getName(const scnhdr& h, const StringTable& strTbl) {
  auto name = findName(h, strTbl);
  if (!name) {
    Error::report(Error::error, "Coff::getName()", "Unable to find section name in string table.", true);
    return std::string();
  }
  return std::move(*name);
}

std::string Coff::getName(const syment& s, const StringTable& strTbl) {
  auto name = findName(s, strTbl);
  if (!name) {
    Error::report(Error::error, "Coff::getName()", "Unable to find symbol name in string table.", true);
    return std::string();
  }
  return std::move(*name);
}

std::string Coff::getName(const aux_file& a, const StringTable& strTbl) {
  auto name = findName(a, strTbl);
  if (!name) {
    Error::report(Error::error, "Coff::getName()", "Unable to find aux_file name in string table.", true);
    return std::string();
  }
  return std::move(*name);
}

void Coff::setName(scnhdr& h, const StringTable& strTbl, const std::string& name) {
  storeName(h.s_name, strTbl, name, "section");
}

void Coff::setName(syment& s, const StringTable& strTbl, const std::string& name) {
  storeName(s.n_name, strTbl, name, "symbol");
}

uint32_t Coff::addString(StringTable& strTbl, const std::string& s) { return strTbl.add(s); }

// --- section kinds ---------------------------------------------------------------------

Coff::ScnType Coff::getScnType(const scnhdr& h) {
  if (h.s_flags & STYP_TEXT) return code;
  if (h.s_flags & STYP_DATA) return idata;
  if (h.s_flags & STYP_BSS) return udata;
  if (h.s_flags & STYP_DATA_ROM) return romdata;
  if (h.s_flags & STYP_ACTREC) return actrec;
  return unknown;
}

const char* Coff::scnTypeName(ScnType t) {
  switch (t) {
    case unknown: return "unknown";
    case code: return "code";
    case idata: return "idata";
    case udata: return "udata";
    case romdata: return "romdata";
    case actrec: return "actrec";
  }
  return "unknown";
}

void Coff::setScnFlags(scnhdr& h, ScnType t, bool abs, bool shared, bool access) {
  uint32_t flags = abs ? STYP_ABS : 0;
  if (shared) flags |= STYP_SHARED;
  if (access) flags |= STYP_ACCESS;
  switch (t) {
    case code: flags |= STYP_TEXT; break;
    case idata: flags |= STYP_DATA; break;
    case udata: flags |= STYP_BSS; break;
    case romdata: flags |= STYP_DATA_ROM; break;
    case actrec: flags |= STYP_ACTREC; break;
    case unknown: break;
  }
  h.s_flags = flags;
}

// --- checking ------------------------------------------------------------------------------

bool Coff::verify() const {
  bool ok = true;
  auto problem = [&](const std::string& suffix) {
    Error::report(Error::error, "Coff::verify()", "Coff file '" + cFileName + suffix, false);
    ok = false;
  };
  const uint64_t n = cSymTbl.size();
  auto valid = [n](uint64_t index) { return index < n; };
  // Built only for a message: the walk over every slot must not pay for it.
  auto at = [](size_t i) { return "' symbol[" + std::to_string(i) + "]"; };

  // Sections numbered 1 to n, as every file has them, need no look-up.
  const bool numberedInOrder =
      cScnNum.empty() || (cScnNum.begin()->first == 1 && cScnNum.rbegin()->first == static_cast<int>(cScnNum.size()));
  auto isSection = [&](int number) {
    if (numberedInOrder) return number >= 1 && number <= static_cast<int>(cScnNum.size());
    return cScnNum.count(number) != 0;
  };

  // Findings come out check by check, each over every slot: every section
  // number first, then every name, the headers, the relocations and then the
  // auxiliary records, as a reader of the messages expects them.
  auto kindOf = [&](size_t i) { return i < cSymKind.size() ? cSymKind[i] : AuxKind::none; };
  for (size_t i = 0; i < cSymTbl.size(); ++i) {
    const syment& s = cSymTbl[i];
    if (kindOf(i) == AuxKind::none && s.n_scnum != 0 && s.n_scnum != -1 && s.n_scnum != -2 && !isSection(s.n_scnum))
      problem(at(i) + " has an invalid n_scnum.");
  }
  for (size_t i = 0; i < cSymTbl.size(); ++i) {
    const syment& s = cSymTbl[i];
    if (kindOf(i) == AuxKind::none && needsString(s) && !hasString(cStrTbl, s.n_offset()))
      problem(at(i) + " has an invalid n_offset.");
  }

  size_t index = 0;
  for (const auto& [name, hdr] : cScnHdr) {
    if (needsString(hdr) && !hasString(cStrTbl, hdr.s_offset()))
      problem("' section[" + std::to_string(index) + "] has an invalid s_offset.");
    ++index;
  }

  for (const auto& [name, relocs] : cReloc) {
    if (relocs.empty()) continue;
    if (cSymTbl.empty()) {
      problem("' has relocation entries but an empty symbol table.");
      continue;
    }
    for (size_t j = 0; j < relocs.size(); ++j)
      if (!valid(relocs[j].r_symndx))
        problem("', section '" + name + "' reloc[" + std::to_string(j) + "] has an invalid r_symndx.");
  }

  for (size_t i = 0; i < cSymTbl.size(); ++i) {
    const AuxKind kind = kindOf(i);
    if (kind == AuxKind::none) continue;
    const syment& s = cSymTbl[i];
    // The linker turns every file name into text; one the table lacks would
    // end the process there.
    if (kind == AuxKind::file) {
      if (!hasString(cStrTbl, getAux<aux_file>(s).x_offset)) problem(at(i) + " has an invalid x_offset.");
      continue;
    }
    const bool first = i > 0 && kindOf(i - 1) == AuxKind::none;
    bool invalid = false;
    forEachIndex(s, first ? auxRecord(cSymTbl[i - 1], kind) : kind,
                 [&](const IndexField&, uint32_t value) { invalid = invalid || !valid(value); });
    if (invalid) problem(at(i) + " has an invalid index.");
  }

  for (const auto& [name, lines] : cLineInfo) {
    for (size_t j = 0; j < lines.size(); ++j) {
      if (!valid(lines[j].l_srcndx))
        problem("', section '" + name + "' line[" + std::to_string(j) + "] has an invalid l_srcndx.");
      if (hasFcnIndex(lines[j]) && !valid(lines[j].l_fcnndx))
        problem("', section '" + name + "' line[" + std::to_string(j) + "] has an invalid l_fcnndx.");
    }
  }

  if (cScnHdr.size() != cScnNum.size()) problem("', cScnHdr.size() != cScnNum.size() .");
  // Equal sizes can still pair different names; such a section would be
  // left out of the written file.
  for (const auto& [number, name] : cScnNum) {
    if (cScnHdr.count(name) == 0) problem("', section '" + name + "' has no section header.");
    // Every later stage keys sections by name; an empty one would be taken
    // for no section at all.
    if (name.empty()) problem("' section[" + std::to_string(number - 1) + "] has an empty name.");
  }

  // Counts the headers cannot hold: only a Coff built in memory gets here,
  // and writing it would silently drop entries.
  if (cScnNum.size() > 0xFFFF) problem("' has more sections than a file header can count.");
  for (const auto& [name, relocs] : cReloc)
    if (relocs.size() > 0xFFFF)
      problem("', section '" + name + "' has more relocation entries than a section header can count.");
  for (const auto& [name, lines] : cLineInfo)
    if (lines.size() > 0xFFFF)
      problem("', section '" + name + "' has more line numbers than a section header can count.");
  return ok;
}

// --- dump ----------------------------------------------------------------------------------

void Coff::print(std::ostream& os) const {
  os << "CoffFile: " << cFileName << '\n';
  tarsil::print(cFileHdr, os);
  tarsil::print(cOptHdr, os);
  for (const auto& [number, name] : cScnNum) {
    os << "Section[" << number << "]: " << name << '\n';
    auto hdr = cScnHdr.find(name);
    if (hdr != cScnHdr.end()) tarsil::print(hdr->second, os);
    if (auto lines = cLineInfo.find(name); lines != cLineInfo.end()) {
      os << "Line Numbers:\n";
      for (const auto& l : lines->second) tarsil::print(l, os);
    }
    if (auto relocs = cReloc.find(name); relocs != cReloc.end()) {
      os << "Relocations:\n";
      for (const auto& r : relocs->second) tarsil::print(r, os);
    }
    if (auto data = cRawData.find(name); data != cRawData.end()) {
      os << "Raw Data:\n";
      data->second.print(os);
    }
  }
  os << "Symbol Table:\n";
  for (size_t i = 0; i < cSymTbl.size(); ++i) {
    os << "Index[" << i << "]: ";
    printSlot(cSymTbl[i], i < cSymKind.size() ? cSymKind[i] : AuxKind::none, os);
  }
  os << "String Table:\n";
  for (const auto& [offset, s] : cStrTbl) os << "Offset[" << offset << "]: " << s << '\n';
}

}  // namespace tarsil
