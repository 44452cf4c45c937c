// SPDX-License-Identifier: Apache-2.0
#include "coff/CoffFormat.h"

#include <cstring>
#include <ostream>
#include <string_view>

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

// One field in little-endian, by its type.
void load(const uint8_t* p, uint8_t& v) { v = p[0]; }
void load(const uint8_t* p, uint16_t& v) { v = get16(p); }
void load(const uint8_t* p, int16_t& v) { v = static_cast<int16_t>(get16(p)); }
void load(const uint8_t* p, uint32_t& v) { v = get32(p); }
void load(const uint8_t* p, char (&v)[8]) { std::memcpy(v, p, 8); }
void load(const uint8_t* p, uint16_t (&v)[4]) {
  for (size_t i = 0; i < 4; ++i) v[i] = get16(p + 2 * i);
}

void store(uint8_t* p, uint8_t v) { p[0] = v; }
void store(uint8_t* p, uint16_t v) { put16(p, v); }
void store(uint8_t* p, int16_t v) { put16(p, static_cast<uint16_t>(v)); }
void store(uint8_t* p, uint32_t v) { put32(p, v); }
void store(uint8_t* p, const char (&v)[8]) { std::memcpy(p, v, 8); }
void store(uint8_t* p, const uint16_t (&v)[4]) {
  for (size_t i = 0; i < 4; ++i) put16(p + 2 * i, v[i]);
}

template <class Record>
constexpr bool keepsSlot = requires(Record r) { r.x_slot; };

template <class Record>
Record decodeRecord(const uint8_t* p) {
  Record r;
  if constexpr (keepsSlot<Record>) std::memcpy(r.x_slot, p, AUXESZ);
  std::apply([&](const auto&... f) { (load(p + f.offset, r.*(f.member)), ...); }, Layout<Record>::fields);
  return r;
}

template <class Record>
void encodeRecord(const Record& r, uint8_t* p) {
  if constexpr (keepsSlot<Record>) std::memcpy(p, r.x_slot, AUXESZ);
  std::apply([&](const auto&... f) { (store(p + f.offset, r.*(f.member)), ...); }, Layout<Record>::fields);
}

uint32_t nameOffset(const char* name) { return get32(reinterpret_cast<const uint8_t*>(name) + 4); }
void setNameOffset(char* name, uint32_t offset) {
  uint8_t bytes[8] = {};
  put32(bytes + 4, offset);
  std::memcpy(name, bytes, 8);
}

// The name field as text: bytes up to the first NUL, at most 8.
std::string shortName(const char* name) {
  size_t n = 0;
  while (n < 8 && name[n] != '\0') ++n;
  return std::string(name, n);
}

}  // namespace

// Every record's decode and encode are its layout's.
#define TARSIL_RECORD_CODEC(R)                                 \
  R R::decode(const uint8_t* p) { return decodeRecord<R>(p); } \
  void R::encode(uint8_t* p) const { encodeRecord(*this, p); }

TARSIL_RECORD_CODEC(filehdr)
TARSIL_RECORD_CODEC(opthdr)
TARSIL_RECORD_CODEC(scnhdr)
TARSIL_RECORD_CODEC(reloc)
TARSIL_RECORD_CODEC(coff_lineno)
TARSIL_RECORD_CODEC(gnu_lineno)
TARSIL_RECORD_CODEC(syment)
TARSIL_RECORD_CODEC(aux_file)
TARSIL_RECORD_CODEC(aux_scn)
TARSIL_RECORD_CODEC(aux_tag)
TARSIL_RECORD_CODEC(aux_eos)
TARSIL_RECORD_CODEC(aux_fcn)
TARSIL_RECORD_CODEC(aux_arr)
TARSIL_RECORD_CODEC(aux_eobf)
TARSIL_RECORD_CODEC(aux_bobf)
TARSIL_RECORD_CODEC(aux_var)
TARSIL_RECORD_CODEC(aux_field)
TARSIL_RECORD_CODEC(aux_fcn_calls)

#undef TARSIL_RECORD_CODEC

reloc reloc::decodeOld(const uint8_t* p) {
  reloc r;
  r.r_vaddr = get32(p + offsetOf<&reloc::r_vaddr>());
  r.r_symndx = get32(p + offsetOf<&reloc::r_symndx>());
  r.r_type = 4;
  return r;
}

uint32_t scnhdr::s_offset() const { return nameOffset(s_name); }
void scnhdr::set_s_offset(uint32_t offset) { setNameOffset(s_name, offset); }
uint32_t syment::n_offset() const { return nameOffset(n_name); }
void syment::set_n_offset(uint32_t offset) { setNameOffset(n_name, offset); }

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

namespace {

bool isAry(const syment& s) {
  unsigned derived = s.n_type >> 4;
  for (int i = 0; i < 6; ++i, derived >>= 2)
    if ((derived & 3) == DT_ARY) return true;
  return false;
}

bool isTag(const syment& s) { return s.n_sclass == C_STRTAG || s.n_sclass == C_UNTAG || s.n_sclass == C_ENTAG; }

bool isField(const syment& s) { return s.n_sclass == C_FIELD; }

bool isVar(const syment& s) {
  unsigned base = s.n_type & 0xF;
  return base == T_STRUCT || base == T_UNION || base == T_ENUM;
}

}  // namespace

bool isFcn(const syment& s) { return ((s.n_type >> 4) & 3) == DT_FCN; }

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

void shiftIndices(syment& slot, AuxKind record, uint32_t base) {
  uint8_t bytes[AUXESZ];
  slot.encode(bytes);
  bool moved = false;
  for (const IndexField& f : kIndexFields) {
    if (f.record != record || get32(bytes + f.offset) == f.none) continue;
    put32(bytes + f.offset, get32(bytes + f.offset) + base);
    moved = true;
  }
  if (moved) slot = syment::decode(bytes);
}

// --- dumps ------------------------------------------------------------------------

namespace {

void show(std::ostream& os, uint8_t v, Shown) { os << static_cast<unsigned>(v); }
void show(std::ostream& os, int16_t v, Shown) { os << v; }
void show(std::ostream& os, uint16_t v, Shown shown) {
  if (shown == Shown::hex) os << hexText(v, 8);
  else os << v;
}
void show(std::ostream& os, uint32_t v, Shown shown) {
  if (shown == Shown::hex) os << hexText(v, 8);
  else os << v;
}
void show(std::ostream& os, const uint16_t (&v)[4], Shown) { os << v[0] << ' ' << v[1] << ' ' << v[2] << ' ' << v[3]; }

template <class Record, class T>
void showField(std::ostream& os, const Record& r, const Field<Record, T>& f) {
  os << f.name << " = ";
  show(os, r.*(f.member), f.shown);
}

// A name field shows its text, or the string-table offset that stands for
// it: "s_name = '.text'" or "s_offset = 4".
template <class Record>
void showField(std::ostream& os, const Record& r, const Field<Record, char[8]>& f) {
  const char* name = r.*(f.member);
  const std::string_view label(f.name, std::strlen(f.name) - 4);
  if (name[0] == 0 && name[1] == 0 && name[2] == 0 && name[3] == 0)
    os << label << "offset = " << nameOffset(name);
  else
    os << label << "name = '" << shortName(name) << "'";
}

}  // namespace

template <class Record>
void print(const Record& r, std::ostream& os) {
  using L = Layout<Record>;
  os << L::label;
  bool first = true;
  std::apply(
      [&](const auto&... f) {
        ((os << (first || !L::oneLine ? "" : ", "), showField(os, r, f), first = false, os << (L::oneLine ? "" : "\n")),
         ...);
      },
      L::fields);
  if (L::oneLine) os << '\n';
}

template void print(const filehdr&, std::ostream&);
template void print(const opthdr&, std::ostream&);
template void print(const scnhdr&, std::ostream&);
template void print(const reloc&, std::ostream&);
template void print(const coff_lineno&, std::ostream&);
template void print(const gnu_lineno&, std::ostream&);
template void print(const syment&, std::ostream&);

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
