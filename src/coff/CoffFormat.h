// SPDX-License-Identifier: Apache-2.0
#pragma once
// The records of the object-file format, as plain values. Files are never
// read into these structs as raw blocks: every record has decode/encode that
// go field by field in little-endian, so host layout and byte order do not
// matter. A symbol-table slot is kept as a `syment` whatever it holds, since
// its fields cover all 18 bytes; getAux/setAux view it as an auxiliary record.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <string>

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

bool isAry(const syment& s);
bool isFcn(const syment& s);
bool isTag(const syment& s);
bool isField(const syment& s);
bool isVar(const syment& s);
bool isScn(const syment& s);
bool isRelocatable(const syment& s);
AuxKind hasAux(const syment& s);
// The record in a symbol's first auxiliary slot, of the kind hasAux gave the
// slot: a function's is its function record even when its type also makes
// it an array (a function returning a pointer to an array), the rule hasAux
// tries first. Whoever rebases or points that record must read it so.
inline AuxKind firstAuxRecord(const syment& symbol, AuxKind kind) {
  return kind == AuxKind::arr && isFcn(symbol) ? AuxKind::fcn : kind;
}

inline bool hasRelocation(const filehdr& h) { return (h.f_flags & F_RELFLG) == 0; }
inline bool isExecutable(const filehdr& h) { return (h.f_flags & F_EXEC) != 0; }
inline bool hasLineNumbers(const filehdr& h) { return (h.f_flags & F_LNNO) == 0; }
inline bool hasLocalSymbols(const filehdr& h) { return (h.f_flags & F_LSYMS) == 0; }

inline bool isTextScn(const scnhdr& h) { return (h.s_flags & STYP_TEXT) != 0; }
inline bool isDataScn(const scnhdr& h) { return (h.s_flags & STYP_DATA) != 0; }
inline bool isBssScn(const scnhdr& h) { return (h.s_flags & STYP_BSS) != 0; }
inline bool isRomDataScn(const scnhdr& h) { return (h.s_flags & STYP_DATA_ROM) != 0; }
inline bool isActRecScn(const scnhdr& h) { return (h.s_flags & STYP_ACTREC) != 0; }

inline bool hasFcnIndex(const coff_lineno& l) { return (l.l_flags & LINENO_HASFCN) != 0; }

// --- dumps: one labelled line per field ------------------------------------------

void print(const filehdr& r, std::ostream& os);
void print(const opthdr& r, std::ostream& os);
void print(const scnhdr& r, std::ostream& os);
void print(const reloc& r, std::ostream& os);
void print(const coff_lineno& r, std::ostream& os);
void print(const gnu_lineno& r, std::ostream& os);
void print(const syment& r, std::ostream& os);
void print(const aux_file& r, std::ostream& os);
void print(const aux_scn& r, std::ostream& os);
void print(const aux_tag& r, std::ostream& os);
void print(const aux_eos& r, std::ostream& os);
void print(const aux_fcn& r, std::ostream& os);
void print(const aux_arr& r, std::ostream& os);
void print(const aux_eobf& r, std::ostream& os);
void print(const aux_bobf& r, std::ostream& os);
void print(const aux_var& r, std::ostream& os);
void print(const aux_field& r, std::ostream& os);
void print(const aux_fcn_calls& r, std::ostream& os);
// A slot printed as the record its kind says it is.
void printSlot(const syment& slot, AuxKind kind, std::ostream& os);

}  // namespace tarsil
