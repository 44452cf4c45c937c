// SPDX-License-Identifier: Apache-2.0
#pragma once
// The records of the object-file format, as plain values. Files are never
// read into these structs as raw blocks: each record's Layout says where its
// fields lie, and decode/encode go field by field in little-endian from it,
// so host layout and byte order do not matter. A symbol-table slot is kept
// as a `syment` whatever it holds, since its fields cover all 18 bytes;
// getAux/setAux view it as an auxiliary record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>

namespace tarsil {

// --- magic numbers and sizes -------------------------------------------------

inline constexpr uint16_t COFF_MAGIC = 0x1234;
// An `f_opthdr` of any other value selects the older layout.
inline constexpr uint16_t OPTHDR_SIZE = 16;

inline constexpr size_t FILHSZ = 20;
inline constexpr size_t OPTHSZ = 16;
inline constexpr size_t SCNHSZ = 40;
inline constexpr size_t RELSZ = 12;
inline constexpr size_t RELSZ_OLD = 10;
inline constexpr size_t LINESZ = 16;
inline constexpr size_t LINESZ_OLD = 6;
inline constexpr size_t SYMESZ = 18;
inline constexpr size_t AUXESZ = 18;

// --- file flags ----------------------------------------------------------------

inline constexpr uint16_t F_RELFLG = 0x0001;
inline constexpr uint16_t F_EXEC = 0x0002;
inline constexpr uint16_t F_LNNO = 0x0004;
inline constexpr uint16_t F_LSYMS = 0x0080;
inline constexpr uint16_t F_GENERIC = 0x8000;

// --- section flags -------------------------------------------------------------

inline constexpr uint32_t STYP_TEXT = 0x00000020;
inline constexpr uint32_t STYP_DATA = 0x00000040;
inline constexpr uint32_t STYP_BSS = 0x00000080;
inline constexpr uint32_t STYP_DATA_ROM = 0x00000100;
inline constexpr uint32_t STYP_ABS = 0x00001000;
inline constexpr uint32_t STYP_SHARED = 0x00002000;
inline constexpr uint32_t STYP_OVRLY = 0x00004000;
inline constexpr uint32_t STYP_ACCESS = 0x00008000;
inline constexpr uint32_t STYP_ACTREC = 0x00010000;

// --- line-number flags ---------------------------------------------------------

inline constexpr uint16_t LINENO_HASFCN = 0x0001;

// --- storage classes, base and derived types -----------------------------------

inline constexpr uint8_t C_EXT = 2;
inline constexpr uint8_t C_STAT = 3;
inline constexpr uint8_t C_LABEL = 6;
inline constexpr uint8_t C_STRTAG = 10;
inline constexpr uint8_t C_UNTAG = 12;
inline constexpr uint8_t C_ENTAG = 15;
inline constexpr uint8_t C_FIELD = 18;
inline constexpr uint8_t C_BLOCK = 100;
inline constexpr uint8_t C_FCN = 101;
inline constexpr uint8_t C_EOS = 102;
inline constexpr uint8_t C_FILE = 103;
inline constexpr uint8_t C_SECTION = 109;

inline constexpr uint16_t T_STRUCT = 8;
inline constexpr uint16_t T_UNION = 9;
inline constexpr uint16_t T_ENUM = 10;

inline constexpr uint16_t DT_FCN = 2;
inline constexpr uint16_t DT_ARY = 3;

// The value of `x_calleendx` that names no callee; it passes every index check.
inline constexpr uint32_t NO_CALLEE = 0xFFFFFFFF;

// --- records ---------------------------------------------------------------------
//
// Each record is a plain struct, and one table, its Layout below, says where
// each field lies in the file and how a dump shows it. Decoding, encoding
// and printing are written once over those tables, so that a field's offset
// is stated in one place only.

struct filehdr {
  uint16_t f_magic = 0;
  uint16_t f_nscns = 0;
  uint32_t f_timdat = 0;
  uint32_t f_symptr = 0;
  uint32_t f_nsyms = 0;
  uint16_t f_opthdr = 0;
  uint16_t f_flags = 0;

  static filehdr decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct opthdr {
  uint16_t magic = 0;
  uint16_t vstamp = 0;
  uint32_t proc_type = 0;
  uint32_t rom_width_bits = 0;
  uint32_t ram_width_bits = 0;

  static opthdr decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct scnhdr {
  char s_name[8] = {};
  uint32_t s_paddr = 0;
  uint32_t s_vaddr = 0;
  uint32_t s_size = 0;
  uint32_t s_scnptr = 0;
  uint32_t s_relptr = 0;
  uint32_t s_lnnoptr = 0;
  uint16_t s_nreloc = 0;
  uint16_t s_nlnno = 0;
  uint32_t s_flags = 0;

  // The string-table offset held in the second word of the name field; only
  // meaningful when the first word is zero (Coff::needsString).
  uint32_t s_offset() const;
  void set_s_offset(uint32_t offset);

  static scnhdr decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct reloc {
  uint32_t r_vaddr = 0;
  uint32_t r_symndx = 0;
  int16_t r_offset = 0;
  uint16_t r_type = 0;

  static reloc decode(const uint8_t* p);
  // The older 10-byte entry: its own type field is dropped, every entry
  // becomes type 4 with no addend.
  static reloc decodeOld(const uint8_t* p);
  void encode(uint8_t* p) const;

  // Entries sort by position alone.
  friend bool operator<(const reloc& a, const reloc& b) { return a.r_vaddr < b.r_vaddr; }
  // The addend does not take part: two patches of one place for one symbol
  // are the same relocation.
  friend bool operator==(const reloc& a, const reloc& b) {
    return a.r_vaddr == b.r_vaddr && a.r_symndx == b.r_symndx && a.r_type == b.r_type;
  }
};

// The fields are stored widest first so that an entry takes 16 bytes, not 20:
// a large link keeps about a hundred thousand of them. The constructor takes
// them in the file's order.
struct coff_lineno {
  uint32_t l_srcndx = 0;
  uint32_t l_paddr = 0;
  uint32_t l_fcnndx = 0;
  uint16_t l_lnno = 0;
  uint16_t l_flags = 0;

  constexpr coff_lineno() = default;
  constexpr coff_lineno(uint32_t srcndx, uint16_t lnno, uint32_t paddr, uint16_t flags, uint32_t fcnndx)
      : l_srcndx(srcndx), l_paddr(paddr), l_fcnndx(fcnndx), l_lnno(lnno), l_flags(flags) {}

  static coff_lineno decode(const uint8_t* p);
  void encode(uint8_t* p) const;

  friend bool operator<(const coff_lineno& a, const coff_lineno& b) { return a.l_lnno < b.l_lnno; }
  friend bool operator==(const coff_lineno& a, const coff_lineno& b) {
    return a.l_srcndx == b.l_srcndx && a.l_lnno == b.l_lnno && a.l_paddr == b.l_paddr;
  }
};

static_assert(sizeof(coff_lineno) == 16);

// Line entry of the older layout. With `l_lnno` 0 the first word is the
// symbol index of the function the following entries belong to.
struct gnu_lineno {
  uint32_t l_paddr = 0;
  uint16_t l_lnno = 0;

  uint32_t l_symndx() const { return l_paddr; }

  static gnu_lineno decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct syment {
  char n_name[8] = {};
  uint32_t n_value = 0;
  int16_t n_scnum = 0;
  uint16_t n_type = 0;
  uint8_t n_sclass = 0;
  uint8_t n_numaux = 0;

  // See scnhdr::s_offset.
  uint32_t n_offset() const;
  void set_n_offset(uint32_t offset);

  static syment decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

// Auxiliary records. Each keeps the slot it was read from in `x_slot`, so the
// bytes that no field names are written back unchanged; records made from
// nothing have them zero.
using AuxSlot = uint8_t[AUXESZ];

struct aux_file {
  uint32_t x_offset = 0;
  uint32_t x_incline = 0;
  uint8_t x_flags = 0;
  AuxSlot x_slot = {};
  static aux_file decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_scn {
  uint32_t x_scnlen = 0;
  uint16_t x_nreloc = 0;
  uint16_t x_nlinno = 0;
  AuxSlot x_slot = {};
  static aux_scn decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_tag {
  uint16_t x_size = 0;
  uint32_t x_endndx = 0;
  AuxSlot x_slot = {};
  static aux_tag decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_eos {
  uint32_t x_tagndx = 0;
  uint16_t x_size = 0;
  AuxSlot x_slot = {};
  static aux_eos decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_fcn {
  uint32_t x_tagndx = 0;
  uint32_t x_size = 0;
  uint32_t x_lnnoptr = 0;
  uint32_t x_endndx = 0;
  int16_t x_actscnum = 0;
  AuxSlot x_slot = {};
  static aux_fcn decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_arr {
  uint32_t x_tagndx = 0;
  uint16_t x_lnno = 0;
  uint16_t x_size = 0;
  uint16_t x_dimen[4] = {};
  AuxSlot x_slot = {};
  static aux_arr decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_eobf {
  uint32_t x_srcndx = 0;
  uint16_t x_lnno = 0;
  AuxSlot x_slot = {};
  static aux_eobf decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_bobf {
  uint32_t x_srcndx = 0;
  uint16_t x_lnno = 0;
  uint32_t x_endndx = 0;
  AuxSlot x_slot = {};
  static aux_bobf decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_var {
  uint32_t x_tagndx = 0;
  uint16_t x_size = 0;
  AuxSlot x_slot = {};
  static aux_var decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_field {
  uint16_t x_size = 0;
  AuxSlot x_slot = {};
  static aux_field decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

struct aux_fcn_calls {
  uint32_t x_calleendx = 0;
  uint32_t x_is_interrupt = 0;
  AuxSlot x_slot = {};
  static aux_fcn_calls decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

// --- where each field lies ----------------------------------------------------------

// How a dump shows a number.
enum class Shown : uint8_t { decimal, hex };

template <class Record, class T>
struct Field {
  const char* name;
  T Record::*member;
  uint32_t offset;
  Shown shown = Shown::decimal;
};

template <class Record, class T>
constexpr Field<Record, T> field(const char* name, T Record::*member, uint32_t offset,
                                 Shown shown = Shown::decimal) {
  return {name, member, offset, shown};
}

// Layout<R>::fields lists R's fields in file order; `size` is the record's
// length in the file. A dump prints a record with `label` before it, and its
// fields one a line or, with `oneLine`, on one line between commas.
template <class Record>
struct Layout;

// What the layouts of one family of records share.
struct HeaderLayout {
  static constexpr const char* label = "";
  static constexpr bool oneLine = false;
};
struct EntryLayout {
  static constexpr const char* label = "";
  static constexpr bool oneLine = true;
};
struct AuxLayout {
  static constexpr size_t size = AUXESZ;
  static constexpr bool oneLine = true;
};

template <>
struct Layout<filehdr> : HeaderLayout {
  static constexpr size_t size = FILHSZ;
  static constexpr auto fields = std::tuple{
      field("f_magic", &filehdr::f_magic, 0, Shown::hex), field("f_nscns", &filehdr::f_nscns, 2),
      field("f_timdat", &filehdr::f_timdat, 4),          field("f_symptr", &filehdr::f_symptr, 8, Shown::hex),
      field("f_nsyms", &filehdr::f_nsyms, 12),           field("f_opthdr", &filehdr::f_opthdr, 16),
      field("f_flags", &filehdr::f_flags, 18, Shown::hex)};
};

template <>
struct Layout<opthdr> : HeaderLayout {
  static constexpr size_t size = OPTHSZ;
  static constexpr auto fields = std::tuple{
      field("magic", &opthdr::magic, 0, Shown::hex), field("vstamp", &opthdr::vstamp, 2),
      field("proc_type", &opthdr::proc_type, 4, Shown::hex), field("rom_width_bits", &opthdr::rom_width_bits, 8),
      field("ram_width_bits", &opthdr::ram_width_bits, 12)};
};

template <>
struct Layout<scnhdr> : HeaderLayout {
  static constexpr size_t size = SCNHSZ;
  static constexpr auto fields = std::tuple{
      field("s_name", &scnhdr::s_name, 0),          field("s_paddr", &scnhdr::s_paddr, 8, Shown::hex),
      field("s_vaddr", &scnhdr::s_vaddr, 12, Shown::hex), field("s_size", &scnhdr::s_size, 16),
      field("s_scnptr", &scnhdr::s_scnptr, 20, Shown::hex), field("s_relptr", &scnhdr::s_relptr, 24, Shown::hex),
      field("s_lnnoptr", &scnhdr::s_lnnoptr, 28, Shown::hex), field("s_nreloc", &scnhdr::s_nreloc, 32),
      field("s_nlnno", &scnhdr::s_nlnno, 34),       field("s_flags", &scnhdr::s_flags, 36, Shown::hex)};
};

template <>
struct Layout<reloc> : EntryLayout {
  static constexpr size_t size = RELSZ;
  static constexpr auto fields =
      std::tuple{field("r_vaddr", &reloc::r_vaddr, 0, Shown::hex), field("r_symndx", &reloc::r_symndx, 4),
                 field("r_offset", &reloc::r_offset, 8), field("r_type", &reloc::r_type, 10)};
};

template <>
struct Layout<coff_lineno> : EntryLayout {
  static constexpr size_t size = LINESZ;
  static constexpr auto fields = std::tuple{
      field("l_srcndx", &coff_lineno::l_srcndx, 0), field("l_lnno", &coff_lineno::l_lnno, 4),
      field("l_paddr", &coff_lineno::l_paddr, 6, Shown::hex), field("l_flags", &coff_lineno::l_flags, 10, Shown::hex),
      field("l_fcnndx", &coff_lineno::l_fcnndx, 12)};
};

template <>
struct Layout<gnu_lineno> : EntryLayout {
  static constexpr size_t size = LINESZ_OLD;
  static constexpr auto fields =
      std::tuple{field("l_paddr", &gnu_lineno::l_paddr, 0, Shown::hex), field("l_lnno", &gnu_lineno::l_lnno, 4)};
};

template <>
struct Layout<syment> : EntryLayout {
  static constexpr size_t size = SYMESZ;
  static constexpr auto fields = std::tuple{
      field("n_name", &syment::n_name, 0),      field("n_value", &syment::n_value, 8, Shown::hex),
      field("n_scnum", &syment::n_scnum, 12),   field("n_type", &syment::n_type, 14, Shown::hex),
      field("n_sclass", &syment::n_sclass, 16), field("n_numaux", &syment::n_numaux, 17)};
};

template <>
struct Layout<aux_file> : AuxLayout {
  static constexpr const char* label = "aux_file: ";
  static constexpr auto fields =
      std::tuple{field("x_offset", &aux_file::x_offset, 0), field("x_incline", &aux_file::x_incline, 4),
                 field("x_flags", &aux_file::x_flags, 8)};
};

template <>
struct Layout<aux_scn> : AuxLayout {
  static constexpr const char* label = "aux_scn: ";
  static constexpr auto fields =
      std::tuple{field("x_scnlen", &aux_scn::x_scnlen, 0), field("x_nreloc", &aux_scn::x_nreloc, 4),
                 field("x_nlinno", &aux_scn::x_nlinno, 6)};
};

template <>
struct Layout<aux_tag> : AuxLayout {
  static constexpr const char* label = "aux_tag: ";
  static constexpr auto fields =
      std::tuple{field("x_size", &aux_tag::x_size, 6), field("x_endndx", &aux_tag::x_endndx, 12)};
};

template <>
struct Layout<aux_eos> : AuxLayout {
  static constexpr const char* label = "aux_eos: ";
  static constexpr auto fields =
      std::tuple{field("x_tagndx", &aux_eos::x_tagndx, 0), field("x_size", &aux_eos::x_size, 6)};
};

template <>
struct Layout<aux_fcn> : AuxLayout {
  static constexpr const char* label = "aux_fcn: ";
  static constexpr auto fields = std::tuple{
      field("x_tagndx", &aux_fcn::x_tagndx, 0), field("x_size", &aux_fcn::x_size, 4),
      field("x_lnnoptr", &aux_fcn::x_lnnoptr, 8, Shown::hex), field("x_endndx", &aux_fcn::x_endndx, 12),
      field("x_actscnum", &aux_fcn::x_actscnum, 16)};
};

template <>
struct Layout<aux_arr> : AuxLayout {
  static constexpr const char* label = "aux_arr: ";
  static constexpr auto fields =
      std::tuple{field("x_tagndx", &aux_arr::x_tagndx, 0), field("x_lnno", &aux_arr::x_lnno, 4),
                 field("x_size", &aux_arr::x_size, 6), field("x_dimen", &aux_arr::x_dimen, 8)};
};

template <>
struct Layout<aux_eobf> : AuxLayout {
  static constexpr const char* label = "aux_eobf: ";
  static constexpr auto fields =
      std::tuple{field("x_srcndx", &aux_eobf::x_srcndx, 0), field("x_lnno", &aux_eobf::x_lnno, 4)};
};

template <>
struct Layout<aux_bobf> : AuxLayout {
  static constexpr const char* label = "aux_bobf: ";
  static constexpr auto fields =
      std::tuple{field("x_srcndx", &aux_bobf::x_srcndx, 0), field("x_lnno", &aux_bobf::x_lnno, 4),
                 field("x_endndx", &aux_bobf::x_endndx, 12)};
};

template <>
struct Layout<aux_var> : AuxLayout {
  static constexpr const char* label = "aux_var: ";
  static constexpr auto fields =
      std::tuple{field("x_tagndx", &aux_var::x_tagndx, 0), field("x_size", &aux_var::x_size, 6)};
};

template <>
struct Layout<aux_field> : AuxLayout {
  static constexpr const char* label = "aux_field: ";
  static constexpr auto fields = std::tuple{field("x_size", &aux_field::x_size, 6)};
};

template <>
struct Layout<aux_fcn_calls> : AuxLayout {
  static constexpr const char* label = "aux_fcn_calls: ";
  static constexpr auto fields = std::tuple{field("x_calleendx", &aux_fcn_calls::x_calleendx, 0, Shown::hex),
                                            field("x_is_interrupt", &aux_fcn_calls::x_is_interrupt, 4)};
};

template <class T>
struct MemberOf;
template <class Record, class T>
struct MemberOf<T Record::*> {
  using record = Record;
};

template <class A, class B>
constexpr bool sameMember(A a, B b) {
  if constexpr (std::is_same_v<A, B>) return a == b;
  else return false;
}

// The offset in the file of the field `Member` of a record, from its layout.
template <auto Member>
constexpr uint32_t offsetOf() {
  uint32_t offset = UINT32_MAX;
  std::apply([&offset](const auto&... f) { ((offset = sameMember(f.member, Member) ? f.offset : offset), ...); },
             Layout<typename MemberOf<decltype(Member)>::record>::fields);
  return offset;
}

// What a slot of the symbol table holds: a symbol (`none`) or the kind of
// auxiliary record.
enum class AuxKind : uint8_t { none = 0, file, scn, tag, eos, fcn, arr, eobf, bobf, var, fcn_calls, field };

// "none", "file", ... "fcn_calls", "field".
const char* auxKindName(AuxKind kind);

// "RELOCT_CALL" ... "RELOCT_SCNEND_LFSR2" for the relocation types 1 to 32,
// one numbering for every family; null for any other number.
const char* relocTypeName(uint16_t type);
constexpr uint16_t kRelocTypeCount = 32;

// A slot's 18 bytes viewed as an auxiliary record, and stored back.
template <class Aux>
Aux getAux(const syment& slot) {
  uint8_t bytes[AUXESZ];
  slot.encode(bytes);
  return Aux::decode(bytes);
}

template <class Aux>
void setAux(syment& slot, const Aux& aux) {
  uint8_t bytes[AUXESZ];
  aux.encode(bytes);
  slot = syment::decode(bytes);
}

// --- predicates --------------------------------------------------------------------

bool isFcn(const syment& s);
bool isScn(const syment& s);
bool isRelocatable(const syment& s);
AuxKind hasAux(const syment& s);

inline bool isExecutable(const filehdr& h) { return (h.f_flags & F_EXEC) != 0; }
inline bool isBssScn(const scnhdr& h) { return (h.s_flags & STYP_BSS) != 0; }
inline bool hasFcnIndex(const coff_lineno& l) { return (l.l_flags & LINENO_HASFCN) != 0; }

// --- what auxiliary records refer to ------------------------------------------------

// The record a slot holds, given the kind the reader gave it and the symbol
// that owns it: a function's first record is its function record even when
// its type also makes it an array (a function returning a pointer to an
// array), the rule hasAux tries first. Every reader of a record's fields
// asks this, so that the checker, the executable's table and its line
// pointers see one record.
inline AuxKind auxRecord(const syment& owner, AuxKind kind) {
  return kind == AuxKind::arr && isFcn(owner) ? AuxKind::fcn : kind;
}

// A field of an auxiliary record that holds a symbol index: the checker
// requires it to name a slot of the table, and the executable's table shifts
// it by the place its input's slots take there. `none` is a value that
// names nothing and passes both untouched.
struct IndexField {
  AuxKind record;
  uint32_t offset;
  const char* name;
  std::optional<uint32_t> none;
};

inline constexpr IndexField kIndexFields[] = {
    {AuxKind::tag, offsetOf<&aux_tag::x_endndx>(), "x_endndx", std::nullopt},
    {AuxKind::eos, offsetOf<&aux_eos::x_tagndx>(), "x_tagndx", std::nullopt},
    {AuxKind::fcn, offsetOf<&aux_fcn::x_tagndx>(), "x_tagndx", std::nullopt},
    {AuxKind::fcn, offsetOf<&aux_fcn::x_endndx>(), "x_endndx", std::nullopt},
    {AuxKind::arr, offsetOf<&aux_arr::x_tagndx>(), "x_tagndx", std::nullopt},
    {AuxKind::bobf, offsetOf<&aux_bobf::x_endndx>(), "x_endndx", std::nullopt},
    {AuxKind::var, offsetOf<&aux_var::x_tagndx>(), "x_tagndx", std::nullopt},
    {AuxKind::fcn_calls, offsetOf<&aux_fcn_calls::x_calleendx>(), "x_calleendx", NO_CALLEE},
};

// The little-endian word at byte `offset` (0, 4, 8 or 12) of a slot's
// file image, where auxiliary records keep their indices.
inline uint32_t slotWord(const syment& s, uint32_t offset) {
  if (offset == 8) return s.n_value;
  if (offset == 12) return uint32_t{static_cast<uint16_t>(s.n_scnum)} | uint32_t{s.n_type} << 16;
  const auto* b = reinterpret_cast<const unsigned char*>(s.n_name) + offset;
  return uint32_t{b[0]} | uint32_t{b[1]} << 8 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 24;
}

// Calls fn(field, index) for each index the record of kind `record` in
// `slot` holds, but those that name nothing.
template <class Fn>
void forEachIndex(const syment& slot, AuxKind record, Fn fn) {
  for (const IndexField& f : kIndexFields) {
    if (f.record != record) continue;
    const uint32_t index = slotWord(slot, f.offset);
    if (index != f.none) fn(f, index);
  }
}

// Adds `base` to each index the record of kind `record` in `slot` holds, but
// those that name nothing.
void shiftIndices(syment& slot, AuxKind record, uint32_t base);

// --- dumps -----------------------------------------------------------------------------

// One labelled line per field, or the fields on one line (Layout::oneLine).
template <class Record>
void print(const Record& r, std::ostream& os);
// A slot printed as the record its kind says it is.
void printSlot(const syment& slot, AuxKind kind, std::ostream& os);

}  // namespace tarsil
