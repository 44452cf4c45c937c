// SPDX-License-Identifier: Apache-2.0
#include "coff/CoffFormat.h"

#include <ostream>

#include "support/HexText.h"

namespace tarsil {

namespace {

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
void put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}
int16_t getI16(const uint8_t* p) { return static_cast<int16_t>(get16(p)); }
void putI16(uint8_t* p, int16_t v) { put16(p, static_cast<uint16_t>(v)); }

void getName8(char* dst, const uint8_t* p) { std::memcpy(dst, p, 8); }
void putName8(uint8_t* p, const char* src) { std::memcpy(p, src, 8); }

uint32_t nameOffset(const char* name) {
  return get32(reinterpret_cast<const uint8_t*>(name) + 4);
}
void setNameOffset(char* name, uint32_t offset) {
  uint8_t bytes[8] = {};
  put32(bytes + 4, offset);
  std::memcpy(name, bytes, 8);
}

template <class Aux>
Aux startAux(const uint8_t* p) {
  Aux a;
  std::memcpy(a.x_slot, p, AUXESZ);
  return a;
}

// The name field as text: bytes up to the first NUL, at most 8.
std::string shortName(const char* name) {
  size_t n = 0;
  while (n < 8 && name[n] != '\0') ++n;
  return std::string(name, n);
}

}  // namespace

filehdr filehdr::decode(const uint8_t* p) {
  filehdr h;
  h.f_magic = get16(p);
  h.f_nscns = get16(p + 2);
  h.f_timdat = get32(p + 4);
  h.f_symptr = get32(p + 8);
  h.f_nsyms = get32(p + 12);
  h.f_opthdr = get16(p + 16);
  h.f_flags = get16(p + 18);
  return h;
}

void filehdr::encode(uint8_t* p) const {
  put16(p, f_magic);
  put16(p + 2, f_nscns);
  put32(p + 4, f_timdat);
  put32(p + 8, f_symptr);
  put32(p + 12, f_nsyms);
  put16(p + 16, f_opthdr);
  put16(p + 18, f_flags);
}

opthdr opthdr::decode(const uint8_t* p) {
  opthdr h;
  h.magic = get16(p);
  h.vstamp = get16(p + 2);
  h.proc_type = get32(p + 4);
  h.rom_width_bits = get32(p + 8);
  h.ram_width_bits = get32(p + 12);
  return h;
}

void opthdr::encode(uint8_t* p) const {
  put16(p, magic);
  put16(p + 2, vstamp);
  put32(p + 4, proc_type);
  put32(p + 8, rom_width_bits);
  put32(p + 12, ram_width_bits);
}

uint32_t scnhdr::s_offset() const { return nameOffset(s_name); }
void scnhdr::set_s_offset(uint32_t offset) { setNameOffset(s_name, offset); }

scnhdr scnhdr::decode(const uint8_t* p) {
  scnhdr h;
  getName8(h.s_name, p);
  h.s_paddr = get32(p + 8);
  h.s_vaddr = get32(p + 12);
  h.s_size = get32(p + 16);
  h.s_scnptr = get32(p + 20);
  h.s_relptr = get32(p + 24);
  h.s_lnnoptr = get32(p + 28);
  h.s_nreloc = get16(p + 32);
  h.s_nlnno = get16(p + 34);
  h.s_flags = get32(p + 36);
  return h;
}

void scnhdr::encode(uint8_t* p) const {
  putName8(p, s_name);
  put32(p + 8, s_paddr);
  put32(p + 12, s_vaddr);
  put32(p + 16, s_size);
  put32(p + 20, s_scnptr);
  put32(p + 24, s_relptr);
  put32(p + 28, s_lnnoptr);
  put16(p + 32, s_nreloc);
  put16(p + 34, s_nlnno);
  put32(p + 36, s_flags);
}

reloc reloc::decode(const uint8_t* p) {
  reloc r;
  r.r_vaddr = get32(p);
  r.r_symndx = get32(p + 4);
  r.r_offset = getI16(p + 8);
  r.r_type = get16(p + 10);
  return r;
}

reloc reloc::decodeOld(const uint8_t* p) {
  reloc r;
  r.r_vaddr = get32(p);
  r.r_symndx = get32(p + 4);
  r.r_offset = 0;
  r.r_type = 4;
  return r;
}

void reloc::encode(uint8_t* p) const {
  put32(p, r_vaddr);
  put32(p + 4, r_symndx);
  putI16(p + 8, r_offset);
  put16(p + 10, r_type);
}

coff_lineno coff_lineno::decode(const uint8_t* p) {
  coff_lineno l;
  l.l_srcndx = get32(p);
  l.l_lnno = get16(p + 4);
  l.l_paddr = get32(p + 6);
  l.l_flags = get16(p + 10);
  l.l_fcnndx = get32(p + 12);
  return l;
}

void coff_lineno::encode(uint8_t* p) const {
  put32(p, l_srcndx);
  put16(p + 4, l_lnno);
  put32(p + 6, l_paddr);
  put16(p + 10, l_flags);
  put32(p + 12, l_fcnndx);
}

gnu_lineno gnu_lineno::decode(const uint8_t* p) {
  gnu_lineno l;
  l.l_paddr = get32(p);
  l.l_lnno = get16(p + 4);
  return l;
}

void gnu_lineno::encode(uint8_t* p) const {
  put32(p, l_paddr);
  put16(p + 4, l_lnno);
}

uint32_t syment::n_offset() const { return nameOffset(n_name); }
void syment::set_n_offset(uint32_t offset) { setNameOffset(n_name, offset); }

syment syment::decode(const uint8_t* p) {
  syment s;
  getName8(s.n_name, p);
  s.n_value = get32(p + 8);
  s.n_scnum = getI16(p + 12);
  s.n_type = get16(p + 14);
  s.n_sclass = p[16];
  s.n_numaux = p[17];
  return s;
}

void syment::encode(uint8_t* p) const {
  putName8(p, n_name);
  put32(p + 8, n_value);
  putI16(p + 12, n_scnum);
  put16(p + 14, n_type);
  p[16] = n_sclass;
  p[17] = n_numaux;
}

aux_file aux_file::decode(const uint8_t* p) {
  auto a = startAux<aux_file>(p);
  a.x_offset = get32(p);
  a.x_incline = get32(p + 4);
  a.x_flags = p[8];
  return a;
}
void aux_file::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_offset);
  put32(p + 4, x_incline);
  p[8] = x_flags;
}

aux_scn aux_scn::decode(const uint8_t* p) {
  auto a = startAux<aux_scn>(p);
  a.x_scnlen = get32(p);
  a.x_nreloc = get16(p + 4);
  a.x_nlinno = get16(p + 6);
  return a;
}
void aux_scn::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_scnlen);
  put16(p + 4, x_nreloc);
  put16(p + 6, x_nlinno);
}

aux_tag aux_tag::decode(const uint8_t* p) {
  auto a = startAux<aux_tag>(p);
  a.x_size = get16(p + 6);
  a.x_endndx = get32(p + 12);
  return a;
}
void aux_tag::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put16(p + 6, x_size);
  put32(p + 12, x_endndx);
}

aux_eos aux_eos::decode(const uint8_t* p) {
  auto a = startAux<aux_eos>(p);
  a.x_tagndx = get32(p);
  a.x_size = get16(p + 6);
  return a;
}
void aux_eos::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_tagndx);
  put16(p + 6, x_size);
}

aux_fcn aux_fcn::decode(const uint8_t* p) {
  auto a = startAux<aux_fcn>(p);
  a.x_tagndx = get32(p);
  a.x_size = get32(p + 4);
  a.x_lnnoptr = get32(p + 8);
  a.x_endndx = get32(p + 12);
  a.x_actscnum = getI16(p + 16);
  return a;
}
void aux_fcn::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_tagndx);
  put32(p + 4, x_size);
  put32(p + 8, x_lnnoptr);
  put32(p + 12, x_endndx);
  putI16(p + 16, x_actscnum);
}

aux_arr aux_arr::decode(const uint8_t* p) {
  auto a = startAux<aux_arr>(p);
  a.x_tagndx = get32(p);
  a.x_lnno = get16(p + 4);
  a.x_size = get16(p + 6);
  for (int i = 0; i < 4; ++i) a.x_dimen[i] = get16(p + 8 + 2 * i);
  return a;
}
void aux_arr::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_tagndx);
  put16(p + 4, x_lnno);
  put16(p + 6, x_size);
  for (int i = 0; i < 4; ++i) put16(p + 8 + 2 * i, x_dimen[i]);
}

aux_eobf aux_eobf::decode(const uint8_t* p) {
  auto a = startAux<aux_eobf>(p);
  a.x_srcndx = get32(p);
  a.x_lnno = get16(p + 4);
  return a;
}
void aux_eobf::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_srcndx);
  put16(p + 4, x_lnno);
}

aux_bobf aux_bobf::decode(const uint8_t* p) {
  auto a = startAux<aux_bobf>(p);
  a.x_srcndx = get32(p);
  a.x_lnno = get16(p + 4);
  a.x_endndx = get32(p + 12);
  return a;
}
void aux_bobf::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_srcndx);
  put16(p + 4, x_lnno);
  put32(p + 12, x_endndx);
}

aux_var aux_var::decode(const uint8_t* p) {
  auto a = startAux<aux_var>(p);
  a.x_tagndx = get32(p);
  a.x_size = get16(p + 6);
  return a;
}
void aux_var::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_tagndx);
  put16(p + 6, x_size);
}

aux_field aux_field::decode(const uint8_t* p) {
  auto a = startAux<aux_field>(p);
  a.x_size = get16(p + 6);
  return a;
}
void aux_field::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put16(p + 6, x_size);
}

aux_fcn_calls aux_fcn_calls::decode(const uint8_t* p) {
  auto a = startAux<aux_fcn_calls>(p);
  a.x_calleendx = get32(p);
  a.x_is_interrupt = get32(p + 4);
  return a;
}
void aux_fcn_calls::encode(uint8_t* p) const {
  std::memcpy(p, x_slot, AUXESZ);
  put32(p, x_calleendx);
  put32(p + 4, x_is_interrupt);
}

const char* relocTypeName(uint16_t type) {
  static const char* const names[] = {
      nullptr,
      "RELOCT_CALL",
      "RELOCT_GOTO",
      "RELOCT_HIGH",
      "RELOCT_LOW",
      "RELOCT_P",
      "RELOCT_BANKSEL",
      "RELOCT_PAGESEL",
      "RELOCT_ALL",
      "RELOCT_IBANKSEL",
      "RELOCT_F",
      "RELOCT_TRIS",
      "RELOCT_MOVLR",
      "RELOCT_MOVLB",
      "RELOCT_CALL2",
      "RELOCT_FF1",
      "RELOCT_FF2",
      "RELOCT_LFSR1",
      "RELOCT_LFSR2",
      "RELOCT_BRA",
      "RELOCT_CONDBRA",
      "RELOCT_UPPER",
      "RELOCT_ACCESS",
      "RELOCT_PAGESEL_WREG",
      "RELOCT_PAGESEL_BITS",
      "RELOCT_SCNSZ_LOW",
      "RELOCT_SCNSZ_HIGH",
      "RELOCT_SCNSZ_UPPER",
      "RELOCT_SCNEND_LOW",
      "RELOCT_SCNEND_HIGH",
      "RELOCT_SCNEND_UPPER",
      "RELOCT_SCNEND_LFSR1",
      "RELOCT_SCNEND_LFSR2",
  };
  static_assert(sizeof names / sizeof names[0] == kRelocTypeCount + 1);
  return type >= 1 && type <= kRelocTypeCount ? names[type] : nullptr;
}

const char* auxKindName(AuxKind kind) {
  switch (kind) {
    case AuxKind::none: return "none";
    case AuxKind::file: return "file";
    case AuxKind::scn: return "scn";
    case AuxKind::tag: return "tag";
    case AuxKind::eos: return "eos";
    case AuxKind::fcn: return "fcn";
    case AuxKind::arr: return "arr";
    case AuxKind::eobf: return "eobf";
    case AuxKind::bobf: return "bobf";
    case AuxKind::var: return "var";
    case AuxKind::fcn_calls: return "fcn_calls";
    case AuxKind::field: return "field";
  }
  return "unknown";
}

// --- predicates ---------------------------------------------------------------

bool isAry(const syment& s) {
  unsigned derived = s.n_type >> 4;
  for (int i = 0; i < 6; ++i, derived >>= 2)
    if ((derived & 3) == DT_ARY) return true;
  return false;
}

bool isFcn(const syment& s) { return ((s.n_type >> 4) & 3) == DT_FCN; }

bool isTag(const syment& s) { return s.n_sclass == C_STRTAG || s.n_sclass == C_UNTAG || s.n_sclass == C_ENTAG; }

bool isField(const syment& s) { return s.n_sclass == C_FIELD; }

bool isVar(const syment& s) {
  unsigned base = s.n_type & 0xF;
  return base == T_STRUCT || base == T_UNION || base == T_ENUM;
}

bool isScn(const syment& s) { return s.n_sclass == C_SECTION || (s.n_sclass == C_STAT && s.n_name[0] == '.'); }

bool isRelocatable(const syment& s) {
  if (s.n_scnum <= 0) return false;
  switch (s.n_sclass) {
    case C_EXT:
    case C_STAT:
    case C_BLOCK:
    case C_FCN:
    case C_LABEL: return true;
    default: return false;
  }
}

AuxKind hasAux(const syment& s) {
  if (s.n_numaux == 0) return AuxKind::none;
  if (s.n_sclass == C_FILE) return AuxKind::file;
  if (s.n_sclass == C_EOS) return AuxKind::eos;
  if (isAry(s)) return AuxKind::arr;
  if (isFcn(s)) return AuxKind::fcn;
  if (isField(s)) return AuxKind::field;
  std::string name = shortName(s.n_name);
  if (name == ".bf") return AuxKind::bobf;
  if (name == ".ef") return AuxKind::eobf;
  if (name == ".bb") return AuxKind::bobf;
  if (name == ".eb") return AuxKind::eobf;
  if (isTag(s)) return AuxKind::tag;
  if (isVar(s)) return AuxKind::var;
  if (isScn(s)) return AuxKind::scn;
  return AuxKind::none;
}

// --- dumps ------------------------------------------------------------------------

namespace {

void printName8(const char* name, const char* label, std::ostream& os) {
  if (name[0] == 0 && name[1] == 0 && name[2] == 0 && name[3] == 0)
    os << label << "_offset = " << nameOffset(name) << '\n';
  else
    os << label << "_name = '" << shortName(name) << "'\n";
}

}  // namespace

void print(const filehdr& r, std::ostream& os) {
  os << "f_magic = " << hexText(r.f_magic, 8) << '\n'
     << "f_nscns = " << r.f_nscns << '\n'
     << "f_timdat = " << r.f_timdat << '\n'
     << "f_symptr = " << hexText(r.f_symptr, 8) << '\n'
     << "f_nsyms = " << r.f_nsyms << '\n'
     << "f_opthdr = " << r.f_opthdr << '\n'
     << "f_flags = " << hexText(r.f_flags, 8) << '\n';
}

void print(const opthdr& r, std::ostream& os) {
  os << "magic = " << hexText(r.magic, 8) << '\n'
     << "vstamp = " << r.vstamp << '\n'
     << "proc_type = " << hexText(r.proc_type, 8) << '\n'
     << "rom_width_bits = " << r.rom_width_bits << '\n'
     << "ram_width_bits = " << r.ram_width_bits << '\n';
}

void print(const scnhdr& r, std::ostream& os) {
  printName8(r.s_name, "s", os);
  os << "s_paddr = " << hexText(r.s_paddr, 8) << '\n'
     << "s_vaddr = " << hexText(r.s_vaddr, 8) << '\n'
     << "s_size = " << r.s_size << '\n'
     << "s_scnptr = " << hexText(r.s_scnptr, 8) << '\n'
     << "s_relptr = " << hexText(r.s_relptr, 8) << '\n'
     << "s_lnnoptr = " << hexText(r.s_lnnoptr, 8) << '\n'
     << "s_nreloc = " << r.s_nreloc << '\n'
     << "s_nlnno = " << r.s_nlnno << '\n'
     << "s_flags = " << hexText(r.s_flags, 8) << '\n';
}

void print(const reloc& r, std::ostream& os) {
  os << "r_vaddr = " << hexText(r.r_vaddr, 8) << ", r_symndx = " << r.r_symndx << ", r_offset = " << r.r_offset
     << ", r_type = " << r.r_type << '\n';
}

void print(const coff_lineno& r, std::ostream& os) {
  os << "l_srcndx = " << r.l_srcndx << ", l_lnno = " << r.l_lnno << ", l_paddr = " << hexText(r.l_paddr, 8)
     << ", l_flags = " << hexText(r.l_flags, 8) << ", l_fcnndx = " << r.l_fcnndx << '\n';
}

void print(const gnu_lineno& r, std::ostream& os) {
  os << "l_paddr = " << hexText(r.l_paddr, 8) << ", l_lnno = " << r.l_lnno << '\n';
}

void print(const syment& r, std::ostream& os) {
  if (r.n_name[0] == 0 && r.n_name[1] == 0 && r.n_name[2] == 0 && r.n_name[3] == 0)
    os << "n_offset = " << r.n_offset();
  else
    os << "n_name = '" << shortName(r.n_name) << "'";
  os << ", n_value = " << hexText(r.n_value, 8) << ", n_scnum = " << r.n_scnum << ", n_type = " << hexText(r.n_type, 8)
     << ", n_sclass = " << static_cast<unsigned>(r.n_sclass) << ", n_numaux = " << static_cast<unsigned>(r.n_numaux)
     << '\n';
}

void print(const aux_file& r, std::ostream& os) {
  os << "aux_file: x_offset = " << r.x_offset << ", x_incline = " << r.x_incline
     << ", x_flags = " << static_cast<unsigned>(r.x_flags) << '\n';
}

void print(const aux_scn& r, std::ostream& os) {
  os << "aux_scn: x_scnlen = " << r.x_scnlen << ", x_nreloc = " << r.x_nreloc << ", x_nlinno = " << r.x_nlinno
     << '\n';
}

void print(const aux_tag& r, std::ostream& os) {
  os << "aux_tag: x_size = " << r.x_size << ", x_endndx = " << r.x_endndx << '\n';
}

void print(const aux_eos& r, std::ostream& os) {
  os << "aux_eos: x_tagndx = " << r.x_tagndx << ", x_size = " << r.x_size << '\n';
}

void print(const aux_fcn& r, std::ostream& os) {
  os << "aux_fcn: x_tagndx = " << r.x_tagndx << ", x_size = " << r.x_size << ", x_lnnoptr = " << hexText(r.x_lnnoptr, 8)
     << ", x_endndx = " << r.x_endndx << ", x_actscnum = " << r.x_actscnum << '\n';
}

void print(const aux_arr& r, std::ostream& os) {
  os << "aux_arr: x_tagndx = " << r.x_tagndx << ", x_lnno = " << r.x_lnno << ", x_size = " << r.x_size
     << ", x_dimen = " << r.x_dimen[0] << ' ' << r.x_dimen[1] << ' ' << r.x_dimen[2] << ' ' << r.x_dimen[3] << '\n';
}

void print(const aux_eobf& r, std::ostream& os) {
  os << "aux_eobf: x_srcndx = " << r.x_srcndx << ", x_lnno = " << r.x_lnno << '\n';
}

void print(const aux_bobf& r, std::ostream& os) {
  os << "aux_bobf: x_srcndx = " << r.x_srcndx << ", x_lnno = " << r.x_lnno << ", x_endndx = " << r.x_endndx
     << '\n';
}

void print(const aux_var& r, std::ostream& os) {
  os << "aux_var: x_tagndx = " << r.x_tagndx << ", x_size = " << r.x_size << '\n';
}

void print(const aux_field& r, std::ostream& os) { os << "aux_field: x_size = " << r.x_size << '\n'; }

void print(const aux_fcn_calls& r, std::ostream& os) {
  os << "aux_fcn_calls: x_calleendx = " << hexText(r.x_calleendx, 8) << ", x_is_interrupt = " << r.x_is_interrupt
     << '\n';
}

void printSlot(const syment& slot, AuxKind kind, std::ostream& os) {
  switch (kind) {
    case AuxKind::none: print(slot, os); return;
    case AuxKind::file: print(getAux<aux_file>(slot), os); return;
    case AuxKind::scn: print(getAux<aux_scn>(slot), os); return;
    case AuxKind::tag: print(getAux<aux_tag>(slot), os); return;
    case AuxKind::eos: print(getAux<aux_eos>(slot), os); return;
    case AuxKind::fcn: print(getAux<aux_fcn>(slot), os); return;
    case AuxKind::arr: print(getAux<aux_arr>(slot), os); return;
    case AuxKind::eobf: print(getAux<aux_eobf>(slot), os); return;
    case AuxKind::bobf: print(getAux<aux_bobf>(slot), os); return;
    case AuxKind::var: print(getAux<aux_var>(slot), os); return;
    case AuxKind::fcn_calls: print(getAux<aux_fcn_calls>(slot), os); return;
    case AuxKind::field: print(getAux<aux_field>(slot), os); return;
  }
}

}  // namespace tarsil
