// SPDX-License-Identifier: Apache-2.0
#include "Dump.h"

#include <algorithm>
#include <ostream>
#include <string>

#include "CoffNames.h"
#include "device/Processor.h"
#include "support/HexText.h"

namespace tarsil::tools {

namespace {

// A name as text between quotes; a bad string-table offset is shown rather
// than looked up, since a dump must survive whatever the file holds.
std::string quoted(const std::optional<std::string>& name, uint32_t offset) {
  if (!name) return "<no string at offset " + std::to_string(offset) + ">";
  return "'" + printable(*name) + "'";
}

std::string symbolName(const Coff& coff, const syment& s) {
  return quoted(Coff::findName(s, coff.cStrTbl), Coff::needsString(s) ? s.n_offset() : 0);
}

// The name of the symbol at a slot index, when the index names a symbol.
std::string slotName(const Coff& coff, uint32_t index) {
  if (index >= coff.cSymTbl.size() || index >= coff.cSymKind.size() || coff.cSymKind[index] != AuxKind::none)
    return "";
  return " " + symbolName(coff, coff.cSymTbl[index]);
}

// `special` adds the names of the numbers a symbol uses for "no section".
std::string sectionNumberText(const Coff& coff, int number, bool special) {
  std::string text = std::to_string(number);
  if (special && number == 0) return text + " (UNDEF)";
  if (special && number == -1) return text + " (ABS)";
  if (special && number == -2) return text + " (DEBUG)";
  auto found = coff.cScnNum.find(number);
  if (found != coff.cScnNum.end()) return text + " (" + printable(found->second) + ")";
  return text;
}

std::string named(std::span<const NamedValue> table, uint32_t value) {
  const char* name = nameOf(table, value);
  return name ? std::string(" ") + name : std::string();
}

void dumpFileHeader(const Coff& coff, std::ostream& os) {
  const filehdr& h = coff.cFileHdr;
  os << "file header:\n";
  os << "  f_magic   " << hexText(h.f_magic, 4) << '\n';
  os << "  f_nscns   " << h.f_nscns << '\n';
  os << "  f_timdat  " << h.f_timdat << '\n';
  os << "  f_symptr  " << hexText(h.f_symptr, 8) << '\n';
  os << "  f_nsyms   " << h.f_nsyms << '\n';
  os << "  f_opthdr  " << h.f_opthdr << '\n';
  os << "  f_flags   " << hexText(h.f_flags, 4) << ' ' << flagText(fileFlagNames(), h.f_flags) << '\n';
  if (h.f_opthdr != OPTHDR_SIZE) {
    os << "optional header: none (older layout)\n";
    return;
  }
  const opthdr& o = coff.cOptHdr;
  os << "optional header:\n";
  os << "  magic           " << hexText(o.magic, 4) << '\n';
  os << "  vstamp          " << hexText(o.vstamp, 4) << '\n';
  std::string_view device = findDvsProcName(o.proc_type & 0xFFFF);
  os << "  proc_type       " << hexText(o.proc_type, 8) << " (" << (device.empty() ? "unknown device" : device)
     << ")\n";
  os << "  rom_width_bits  " << o.rom_width_bits << '\n';
  os << "  ram_width_bits  " << o.ram_width_bits << '\n';
}

void dumpSectionHeader(const scnhdr& h, std::ostream& os) {
  os << "  s_paddr    " << hexText(h.s_paddr, 8) << '\n';
  os << "  s_vaddr    " << hexText(h.s_vaddr, 8) << '\n';
  os << "  s_size     " << h.s_size << '\n';
  os << "  s_scnptr   " << hexText(h.s_scnptr, 8) << '\n';
  os << "  s_relptr   " << hexText(h.s_relptr, 8) << '\n';
  os << "  s_lnnoptr  " << hexText(h.s_lnnoptr, 8) << '\n';
  os << "  s_nreloc   " << h.s_nreloc << '\n';
  os << "  s_nlnno    " << h.s_nlnno << '\n';
  os << "  s_flags    " << hexText(h.s_flags, 8) << ' ' << flagText(sectionFlagNames(), h.s_flags) << '\n';
  os << "  kind       " << Coff::scnTypeName(Coff::getScnType(h)) << '\n';
}

// Sixteen bytes a row. A run of rows equal to the one before shows as one
// "*" line, and the last row is always shown, so that a large zero-filled
// section stays readable and its end is visible.
void dumpData(const Data& data, std::ostream& os) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(data.bytes());
  const uint32_t size = data.size();
  os << "  data (" << size << " bytes):\n";
  bool skipping = false;
  std::string line;
  for (uint32_t row = 0; row < size; row += 16) {
    uint32_t end = std::min<uint32_t>(size, row + 16);
    bool last = end == size;
    bool repeat = row >= 16 && end - row == 16 && std::equal(bytes + row, bytes + end, bytes + row - 16);
    if (repeat && !last) {
      if (!skipping) os << "    *\n";
      skipping = true;
      continue;
    }
    skipping = false;
    line = "    " + hexText(row, 4, hexBare) + ':';
    for (uint32_t i = row; i < end; ++i) {
      line += ' ';
      line += hexText(bytes[i], 2, hexBare);
    }
    os << line << '\n';
  }
}

void dumpRelocs(const Coff& coff, const std::vector<reloc>& relocs, std::ostream& os) {
  os << "  relocs (" << relocs.size() << "):\n";
  for (size_t i = 0; i < relocs.size(); ++i) {
    const reloc& r = relocs[i];
    os << "    [" << i << "] address " << hexText(r.r_vaddr, 8) << " symbol " << r.r_symndx
       << slotName(coff, r.r_symndx) << " addend " << r.r_offset << " type " << r.r_type
       << named(relocTypeNames(), r.r_type) << '\n';
  }
}

void dumpLines(const Coff& coff, const std::vector<coff_lineno>& lines, std::ostream& os) {
  os << "  lines (" << lines.size() << "):\n";
  for (size_t i = 0; i < lines.size(); ++i) {
    const coff_lineno& l = lines[i];
    os << "    [" << i << "] line " << l.l_lnno << " address " << hexText(l.l_paddr, 8) << " file " << l.l_srcndx
       << slotName(coff, l.l_srcndx) << " flags " << hexText(l.l_flags, 4);
    if (hasFcnIndex(l)) os << " function " << l.l_fcnndx << slotName(coff, l.l_fcnndx);
    os << '\n';
  }
}

void dumpSections(const Coff& coff, const DumpParts& parts, std::ostream& os) {
  if (!parts.sections && !parts.data && !parts.relocs && !parts.lines) return;
  for (const auto& [number, name] : coff.cScnNum) {
    os << "section " << number << " '" << printable(name) << "':\n";
    auto hdr = coff.cScnHdr.find(name);
    // Two headers of one name share one entry: the later one.
    if (parts.sections && hdr != coff.cScnHdr.end()) dumpSectionHeader(hdr->second, os);
    if (parts.data) {
      auto data = coff.cRawData.find(name);
      if (data != coff.cRawData.end()) dumpData(data->second, os);
      else os << "  data: none\n";
    }
    if (parts.relocs) {
      auto relocs = coff.cReloc.find(name);
      if (relocs != coff.cReloc.end() && !relocs->second.empty()) dumpRelocs(coff, relocs->second, os);
    }
    if (parts.lines) {
      auto lines = coff.cLineInfo.find(name);
      if (lines != coff.cLineInfo.end() && !lines->second.empty()) dumpLines(coff, lines->second, os);
    }
  }
}

void dumpAux(const Coff& coff, const syment& slot, AuxKind kind, std::ostream& os) {
  os << "aux " << auxKindName(kind) << ':';
  switch (kind) {
    case AuxKind::none:
      break;
    case AuxKind::file: {
      auto a = getAux<aux_file>(slot);
      os << " name " << quoted(Coff::findName(a, coff.cStrTbl), a.x_offset) << " offset " << a.x_offset
         << " incline " << a.x_incline << " flags " << unsigned{a.x_flags};
      break;
    }
    case AuxKind::scn: {
      auto a = getAux<aux_scn>(slot);
      os << " length " << a.x_scnlen << " nreloc " << a.x_nreloc << " nlinno " << a.x_nlinno;
      break;
    }
    case AuxKind::tag: {
      auto a = getAux<aux_tag>(slot);
      os << " size " << a.x_size << " endndx " << a.x_endndx;
      break;
    }
    case AuxKind::eos: {
      auto a = getAux<aux_eos>(slot);
      os << " tagndx " << a.x_tagndx << " size " << a.x_size;
      break;
    }
    case AuxKind::fcn: {
      auto a = getAux<aux_fcn>(slot);
      os << " tagndx " << a.x_tagndx << " size " << a.x_size << " lnnoptr " << hexText(a.x_lnnoptr, 8) << " endndx "
         << a.x_endndx << " actscnum " << sectionNumberText(coff, a.x_actscnum, false);
      break;
    }
    case AuxKind::arr: {
      auto a = getAux<aux_arr>(slot);
      os << " tagndx " << a.x_tagndx << " lnno " << a.x_lnno << " size " << a.x_size << " dimen [" << a.x_dimen[0]
         << ", " << a.x_dimen[1] << ", " << a.x_dimen[2] << ", " << a.x_dimen[3] << ']';
      break;
    }
    case AuxKind::eobf: {
      auto a = getAux<aux_eobf>(slot);
      os << " srcndx " << a.x_srcndx << " lnno " << a.x_lnno;
      break;
    }
    case AuxKind::bobf: {
      auto a = getAux<aux_bobf>(slot);
      os << " srcndx " << a.x_srcndx << " lnno " << a.x_lnno << " endndx " << a.x_endndx;
      break;
    }
    case AuxKind::var: {
      auto a = getAux<aux_var>(slot);
      os << " tagndx " << a.x_tagndx << " size " << a.x_size;
      break;
    }
    case AuxKind::field: {
      auto a = getAux<aux_field>(slot);
      os << " size " << a.x_size;
      break;
    }
    case AuxKind::fcn_calls: {
      auto a = getAux<aux_fcn_calls>(slot);
      os << " callee ";
      if (a.x_calleendx == NO_CALLEE) os << "none";
      else os << a.x_calleendx << slotName(coff, a.x_calleendx);
      os << " interrupt " << a.x_is_interrupt;
      break;
    }
  }
  os << '\n';
}

void dumpSymbols(const Coff& coff, std::ostream& os) {
  os << "symbols (" << coff.cSymTbl.size() << " slots):\n";
  for (size_t i = 0; i < coff.cSymTbl.size(); ++i) {
    const syment& s = coff.cSymTbl[i];
    AuxKind kind = i < coff.cSymKind.size() ? coff.cSymKind[i] : AuxKind::none;
    // Shown as the linker reads it: a function's first record is its
    // function record, whatever else its type says.
    if (i > 0 && coff.cSymKind[i - 1] == AuxKind::none) kind = auxRecord(coff.cSymTbl[i - 1], kind);
    os << "  [" << i << "] ";
    if (kind != AuxKind::none) {
      os << "  ";
      dumpAux(coff, s, kind, os);
      continue;
    }
    os << symbolName(coff, s) << " value " << hexText(s.n_value, 8) << " section "
       << sectionNumberText(coff, s.n_scnum, true) << " type " << hexText(s.n_type, 4) << " class "
       << unsigned{s.n_sclass} << named(storageClassNames(), s.n_sclass) << " numaux " << unsigned{s.n_numaux} << '\n';
  }
}

void dumpStrings(const Coff& coff, std::ostream& os) {
  os << "strings (" << coff.cStrTbl.size() << "):\n";
  for (const auto& [offset, text] : coff.cStrTbl) os << "  [" << offset << "] '" << printable(text) << "'\n";
}

}  // namespace

void dumpObject(const Coff& coff, const DumpParts& parts, std::ostream& os) {
  if (parts.fileHeader) dumpFileHeader(coff, os);
  dumpSections(coff, parts, os);
  if (parts.disasm.enabled) disassemble(coff, parts.disasm, os);
  if (parts.syms) dumpSymbols(coff, os);
  if (parts.strings) dumpStrings(coff, os);
}

void dumpArchive(const Archive& archive, const DumpParts& parts, std::ostream& os) {
  os << "members (" << archive.cMembers.size() << "):\n";
  for (size_t i = 0; i < archive.cMembers.size(); ++i) os << "  [" << i << "] '" << printable(archive.cMembers[i]->cFileName) << "'\n";
  if (parts.archive) {
    os << "index (" << archive.cSymbols.size() << "):\n";
    for (const auto& [symbol, member] : archive.cSymbols) os << "  '" << printable(symbol) << "' in '" << printable(member->cFileName) << "'\n";
  }
  DumpParts objectParts = parts;
  objectParts.archive = false;
  if (!objectParts.any()) return;
  for (size_t i = 0; i < archive.cMembers.size(); ++i) {
    os << "member " << i << " '" << printable(archive.cMembers[i]->cFileName) << "':\n";
    dumpObject(*archive.cMembers[i], objectParts, os);
  }
}

}  // namespace tarsil::tools
