// SPDX-License-Identifier: Apache-2.0
// Laying out and writing an image. preWrite, size and the writer walk the
// same sections in the same order, so the pointers preWrite stores describe
// exactly the bytes the writer emits.
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <memory>
#include <string_view>
#include <type_traits>

#include "coff/CoffWriter.h"

#include "coff/Coff.h"
#include "coff/Prefetch.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/HexText.h"
#include "support/NameIndex.h"
#include "support/Platform.h"
#include "support/SortedWalk.h"
#include "support/TimeStamp.h"

namespace tarsil {

namespace {

constexpr size_t headersSize = FILHSZ + OPTHSZ;
// An executable's thousands of sections each have their bytes and lists
// apart: a walk over them asks for those of a section some places on.
constexpr size_t kListsAhead = partAhead;

// Everything the layout needs of one section, looked up once: an executable
// has thousands of sections, and every look-up by name compares strings.
template <class CoffT>
struct Section {
  using Header = std::conditional_t<std::is_const_v<CoffT>, const scnhdr, scnhdr>;
  const std::string* name = nullptr;
  Header* header = nullptr;
  const Data* raw = nullptr;
  const std::vector<reloc>* relocs = nullptr;
  const std::vector<coff_lineno>* lines = nullptr;
  bool taken = false;

  size_t rawSize() const { return raw ? raw->size() : 0; }
  size_t relocCount() const { return relocs ? relocs->size() : 0; }
  size_t lineCount() const { return lines ? lines->size() : 0; }
  bool bss() const { return isBssScn(*header); }
};

// The sections a file gets, in number order: each name once, and only names
// that have a header. A Coff that verify() accepts has no other kind. When
// `numbers` is given, it receives each section number (ascending) with the
// place of its section in the result.
template <class CoffT>
std::vector<Section<CoffT>> sectionOrder(CoffT& coff, std::vector<std::pair<int, size_t>>* numbers = nullptr) {
  // An object of a few sections, such as each member of a library, is laid
  // out with plain searches: building an index would cost more than it saves.
  constexpr size_t kFew = 8;
  if (coff.cScnHdr.size() <= kFew) {
    std::vector<Section<CoffT>> order;
    order.reserve(coff.cScnHdr.size());
    if (numbers) numbers->reserve(coff.cScnNum.size());
    auto find = [](const auto& map, const std::string& name) -> const typename std::remove_reference_t<
                                                                    decltype(map)>::mapped_type* {
      auto it = map.find(name);
      return it == map.end() ? nullptr : &it->second;
    };
    for (const auto& [number, name] : coff.cScnNum) {
      auto header = coff.cScnHdr.find(name);
      if (header == coff.cScnHdr.end()) continue;
      size_t at = 0;
      while (at < order.size() && order[at].header != &header->second) ++at;
      if (at == order.size()) {
        Section<CoffT> s;
        s.name = &header->first;
        s.header = &header->second;
        s.raw = find(coff.cRawData, name);
        s.relocs = find(coff.cReloc, name);
        s.lines = find(coff.cLineInfo, name);
        order.push_back(s);
      }
      if (numbers) numbers->emplace_back(number, at);
    }
    return order;
  }

  std::vector<Section<CoffT>> byName;
  byName.reserve(coff.cScnHdr.size());
  auto raw = coff.cRawData.cbegin();
  auto relocs = coff.cReloc.cbegin();
  auto lines = coff.cLineInfo.cbegin();
  for (auto& [name, header] : coff.cScnHdr) {
    Section<CoffT> s;
    s.name = &name;
    s.header = &header;
    s.raw = advanceTo(coff.cRawData, raw, name);
    s.relocs = advanceTo(coff.cReloc, relocs, name);
    s.lines = advanceTo(coff.cLineInfo, lines, name);
    byName.push_back(s);
  }
  NameIndex<size_t> index(byName.size());
  for (size_t i = 0; i < byName.size(); ++i) index.emplace(*byName[i].name, i);

  std::vector<Section<CoffT>> order;
  order.reserve(byName.size());
  std::vector<size_t> place(byName.size());
  if (numbers) numbers->reserve(coff.cScnNum.size());
  for (const auto& [number, name] : coff.cScnNum) {
    const size_t* at = index.find(name);
    if (at == nullptr) continue;
    Section<CoffT>& s = byName[*at];
    if (!s.taken) {
      s.taken = true;
      place[*at] = order.size();
      order.push_back(s);
    }
    if (numbers) numbers->emplace_back(number, place[*at]);
  }
  return order;
}

// Points each function's aux_fcn at its first line entry, once the line
// pointers of `order` are set.
void pointFunctionsAtLines(Coff& coff, const std::vector<Section<Coff>>& order,
                           const std::vector<std::pair<int, size_t>>& numbers);

uint64_t stringTableLength(const Coff& coff) {
  return 4 + coff.cStrTbl.byteSize();
}

// Where the bytes go: a file or a growing buffer, through a block of memory
// that collects the small records, so that the file sees a few large writes
// instead of one per record.
class Sink {
public:
  explicit Sink(std::FILE* fp) : cFile(fp) {}
  explicit Sink(std::vector<uint8_t>* buffer) : cBuffer(buffer) {}

  // Room for `n` bytes (at most kRecordMax) that the caller fills at once.
  uint8_t* room(size_t n) {
    TARSIL_ASSERT(n <= kRecordMax);
    if (cUsed + n > kBlock) flushBlock();
    uint8_t* p = cBlock.get() + cUsed;
    cUsed += n;
    return p;
  }

  // `n` zero bytes, without a buffer of that many.
  void zeros(size_t n) {
    while (n != 0) {
      if (cUsed == kBlock) flushBlock();
      const size_t part = std::min(n, kBlock - cUsed);
      std::memset(cBlock.get() + cUsed, 0, part);
      cUsed += part;
      n -= part;
    }
  }

  void put(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    if (cUsed + n <= kBlock) {
      std::memcpy(cBlock.get() + cUsed, bytes, n);
      cUsed += n;
      return;
    }
    flushBlock();
    if (n <= kBlock / 2) {
      std::memcpy(cBlock.get(), bytes, n);
      cUsed = n;
      return;
    }
    out(bytes, n);
  }

  // Hands everything collected to the file; false when any write since the
  // last call failed, so that the failure is told with the part it hit.
  bool flush() {
    flushBlock();
    const bool ok = cOk;
    cOk = true;
    return ok;
  }

  static constexpr size_t kRecordMax = SCNHSZ;
  // Why the first failed write failed (an errno value), or 0.
  int error() const { return cError; }

private:
  static constexpr size_t kBlock = 64 * 1024;

  void flushBlock() {
    out(cBlock.get(), cUsed);
    cUsed = 0;
  }
  void out(const uint8_t* bytes, size_t n) {
    if (n == 0) return;
    if (cBuffer) {
      cBuffer->insert(cBuffer->end(), bytes, bytes + n);
    } else if (cOk && std::fwrite(bytes, 1, n, cFile) != n) {
      cOk = false;
      cError = errno;
    }
  }

  std::FILE* cFile = nullptr;
  std::vector<uint8_t>* cBuffer = nullptr;
  // Not zeroed: a small executable uses a sliver of it.
  std::unique_ptr<uint8_t[]> cBlock = std::make_unique_for_overwrite<uint8_t[]>(kBlock);
  size_t cUsed = 0;
  bool cOk = true;
  int cError = 0;
};

template <class Order>
bool emit(const Coff& coff, const Order& order, Sink& sink) {
  auto fail = [&](const char* suffix) {
    std::string message = "Coff file '" + coff.cFileName + suffix;
    if (sink.error() != 0) message += " " + platform::errorText(sink.error()) + ".";
    Error::report(Error::error, "Coff::write()", message, false);
    return false;
  };

  coff.cFileHdr.encode(sink.room(FILHSZ));
  if (!sink.flush()) return fail("' could not write file header.");
  coff.cOptHdr.encode(sink.room(OPTHSZ));
  if (!sink.flush()) return fail("' could not write optional file header.");
  for (const auto& s : order) s.header->encode(sink.room(SCNHSZ));
  if (!sink.flush()) return fail("' could not write section header.");
  for (size_t k = 0; k < order.size(); ++k) {
    if (k + kListsAhead < order.size() && order[k + kListsAhead].raw)
      __builtin_prefetch(order[k + kListsAhead].raw->made());
    const auto& s = order[k];
    if (!s.bss() && s.raw) {
      if (s.raw->onlyZeros()) sink.zeros(s.raw->size());
      else sink.put(reinterpret_cast<const uint8_t*>(s.raw->bytes()), s.raw->size());
    }
  }
  if (!sink.flush()) return fail("' could not write raw data.");
  for (const auto& s : order)
    if (s.relocs)
      for (const reloc& r : *s.relocs) r.encode(sink.room(RELSZ));
  if (!sink.flush()) return fail("' could not write reloc.");
  for (size_t k = 0; k < order.size(); ++k) {
    if (k + kListsAhead < order.size() && order[k + kListsAhead].lines)
      __builtin_prefetch(order[k + kListsAhead].lines->data());
    if (const auto* lines = order[k].lines)
      for (const coff_lineno& l : *lines) l.encode(sink.room(LINESZ));
  }
  if (!sink.flush()) return fail("' could not write lineinfo.");
  for (const syment& sym : coff.cSymTbl) sym.encode(sink.room(SYMESZ));
  if (!sink.flush()) return fail("' could not write symbol.");

  const auto length = static_cast<uint32_t>(stringTableLength(coff));
  const uint8_t word[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                           static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  sink.put(word, 4);
  if (!sink.flush()) return fail("' could not write string table length.");
  for (const auto& [offset, s] : coff.cStrTbl) {
    // The terminating NUL travels with the string.
    sink.put(reinterpret_cast<const uint8_t*>(s.data()), s.size() + 1);
  }
  if (!sink.flush()) return fail("' could not write string.");
  return true;
}

}  // namespace

uint64_t Coff::size() const {
  uint64_t length = headersSize;
  const auto order = sectionOrder(*this);
  length += SCNHSZ * order.size();
  for (const auto& s : order) {
    if (!s.bss()) length += s.rawSize();
    length += RELSZ * s.relocCount() + LINESZ * s.lineCount();
  }
  length += SYMESZ * cSymTbl.size() + stringTableLength(*this);
  if (Debug("Coff::size")) std::cout << "Coff::size() - fileLength=" << hexText(length, 8) << '\n';
  return static_cast<uint64_t>(length);
}

void Coff::preWrite() { preWrite(outputTimeStamp()); }

void Coff::preWrite(uint32_t timdat) { CoffWriter(*this).preWrite(timdat); }

void Coff::fixupAuxFcns() {
  std::vector<std::pair<int, size_t>> numbers;
  const auto order = sectionOrder(*this, &numbers);
  pointFunctionsAtLines(*this, order, numbers);
}

namespace {

void pointFunctionsAtLines(Coff& coff, const std::vector<Section<Coff>>& order,
                           const std::vector<std::pair<int, size_t>>& numbers) {
  const bool debug = static_cast<bool>(Debug("Coff::fixupAuxFcns"));
  auto& cSymTbl = coff.cSymTbl;
  const auto& cSymKind = coff.cSymKind;
  const size_t slots = std::min(cSymTbl.size(), cSymKind.size());

  // The place in `order` of the section a symbol names, or none.
  constexpr size_t none = SIZE_MAX;
  auto placeOf = [&numbers](int number) {
    // Sections are numbered 1 up in nearly every file, so the number is
    // nearly always the place.
    auto scn = numbers.begin() + (number >= 1 && static_cast<size_t>(number) <= numbers.size() ? number - 1 : 0);
    if (scn == numbers.end() || scn->first != number)
      scn = std::lower_bound(numbers.begin(), numbers.end(), std::make_pair(number, size_t{0}));
    return scn == numbers.end() || scn->first != number ? none : scn->second;
  };

  // A function's first line is the first entry that names it in the list of
  // its own section, so one pass over the lists finds them all; the
  // functions already pointed are marked, one bit each.
  std::vector<bool> pointed(slots);
  struct Change {
    size_t slot;
    size_t section;
    uint32_t from;
    uint32_t to;
  };
  std::vector<Change> changes;
  for (size_t k = 0; k < order.size(); ++k) {
    if (k + kListsAhead < order.size() && order[k + kListsAhead].lines)
      __builtin_prefetch(order[k + kListsAhead].lines->data());
    if (!order[k].lines) continue;
    const auto& lines = *order[k].lines;
    uint32_t previous = UINT32_MAX;
    for (size_t j = 0; j < lines.size(); ++j) {
      if (!hasFcnIndex(lines[j])) continue;
      const uint32_t f = lines[j].l_fcnndx;
      // A function's lines come in a run; only the run's first can be new.
      if (f == previous) continue;
      previous = f;
      if (f + size_t{1} >= slots || pointed[f]) continue;
      if (auxRecord(cSymTbl[f], cSymKind[f + 1]) != AuxKind::fcn) continue;
      if (placeOf(cSymTbl[f].n_scnum) != k) continue;
      pointed[f] = true;
      aux_fcn aux = getAux<aux_fcn>(cSymTbl[f + 1]);
      const uint32_t old = aux.x_lnnoptr;
      aux.x_lnnoptr = static_cast<uint32_t>(order[k].header->s_lnnoptr + LINESZ * j);
      setAux(cSymTbl[f + 1], aux);
      if (debug) changes.push_back({f, k, old, aux.x_lnnoptr});
    }
  }

  // Told in symbol order, as a walk over the symbols would find them.
  std::sort(changes.begin(), changes.end(), [](const Change& a, const Change& b) { return a.slot < b.slot; });
  for (const Change& c : changes)
    std::cout << "Coff::fixupAuxFcns() - symbol '" << Coff::findName(cSymTbl[c.slot], coff.cStrTbl).value_or("")
              << "' in section '" << *order[c.section].name << "'  from " << hexText(c.from, 8) << " to "
              << hexText(c.to, 8) << '\n';
}

// Each section's size is that of its bytes. An uninitialized section may
// have only its size, set in the header by whoever built it; holding its
// zeros in memory would serve no purpose. A header already right is not
// written: readers may be reading it (see CoffWriter).
void settleSizes(const std::vector<Section<Coff>>& order) {
  for (const auto& s : order) {
    scnhdr& h = *s.header;
    const auto n = static_cast<uint32_t>(s.rawSize());
    if ((!isBssScn(h) || s.raw != nullptr) && h.s_size != n) h.s_size = n;
  }
}

void layOut(Coff& coff, const std::vector<Section<Coff>>& order, const std::vector<std::pair<int, size_t>>& numbers,
            uint32_t timdat) {
  const auto& cSymTbl = coff.cSymTbl;
  TARSIL_ASSERT(cSymTbl.size() == coff.cSymKind.size());
  const bool debug = static_cast<bool>(Debug("Coff::preWrite"));
  uint64_t pos = headersSize;

  const uint64_t secHdrStart = pos;
  pos += SCNHSZ * order.size();
  if (debug)
    std::cout << "secHdrStart=" << hexText(secHdrStart, 8) << ", secHdrLength=" << hexText(pos - secHdrStart, 8)
              << '\n';

  const uint64_t rawDataStart = pos;
  settleSizes(order);
  for (const auto& s : order) {
    scnhdr& h = *s.header;
    const size_t n = s.rawSize();
    h.s_scnptr = (n == 0 || isBssScn(h)) ? 0 : static_cast<uint32_t>(pos);
    if (!isBssScn(h)) pos += n;
  }
  if (debug)
    std::cout << "rawDataStart=" << hexText(rawDataStart, 8) << ", rawDataLength=" << hexText(pos - rawDataStart, 8)
              << '\n';

  const uint64_t relocStart = pos;
  for (const auto& s : order) {
    const size_t n = s.relocCount();
    s.header->s_nreloc = static_cast<uint16_t>(n);
    s.header->s_relptr = n == 0 ? 0 : static_cast<uint32_t>(pos);
    pos += RELSZ * n;
  }
  if (debug)
    std::cout << "relocStart=" << hexText(relocStart, 8) << ", relocLength=" << hexText(pos - relocStart, 8) << '\n';

  const uint64_t lineStart = pos;
  for (const auto& s : order) {
    const size_t n = s.lineCount();
    s.header->s_nlnno = static_cast<uint16_t>(n);
    s.header->s_lnnoptr = n == 0 ? 0 : static_cast<uint32_t>(pos);
    pos += LINESZ * n;
  }
  if (debug)
    std::cout << "lineStart=" << hexText(lineStart, 8) << ", lineLength=" << hexText(pos - lineStart, 8) << '\n';

  const uint64_t symbolStart = pos;
  pos += SYMESZ * cSymTbl.size();
  if (debug)
    std::cout << "symbolStart=" << hexText(symbolStart, 8) << ", symbolLength=" << hexText(pos - symbolStart, 8)
              << '\n';
  if (debug)
    std::cout << "stringStart=" << hexText(pos, 8) << ", stringLength=" << hexText(stringTableLength(coff), 8) << '\n';

  if (debug) {
    auto count = [](const auto& map, const std::string& name) -> size_t {
      auto it = map.find(name);
      return it == map.end() ? 0 : it->second.size();
    };
    for (const auto& [number, name] : coff.cScnNum) {
      std::cout << "scnNum=" << number << ", secName=" << name << '\n';
      std::cout << "raw data: size=" << count(coff.cRawData, name) << '\n';
      std::cout << "reloc: num=" << count(coff.cReloc, name) << '\n';
      std::cout << "line: num=" << count(coff.cLineInfo, name) << '\n';
    }
  }

  filehdr& f = coff.cFileHdr;
  f.f_magic = COFF_MAGIC;
  // The image is always written in the current layout, whatever was read.
  f.f_opthdr = OPTHDR_SIZE;
  f.f_nscns = static_cast<uint16_t>(order.size());
  f.f_timdat = timdat;
  f.f_nsyms = static_cast<uint32_t>(cSymTbl.size());
  f.f_symptr = cSymTbl.empty() ? 0 : static_cast<uint32_t>(symbolStart);
  pointFunctionsAtLines(coff, order, numbers);
}

}  // namespace

std::vector<uint8_t> Coff::image() const {
  std::vector<uint8_t> bytes;
  bytes.reserve(size());
  Sink sink(&bytes);
  emit(*this, sectionOrder(*this), sink);
  return bytes;
}

bool Coff::write(std::FILE* fp, long offset) const {
  if (offset < 0 || std::fseek(fp, offset, SEEK_SET) != 0) {
    Error::report(Error::error, "Coff::write()", "Coff file '" + cFileName + "' could not write file header.", false);
    return false;
  }
  Sink sink(fp);
  return emit(*this, sectionOrder(*this), sink);
}

bool Coff::write() const {
  std::FILE* fp = std::fopen(cFileName.c_str(), "wb");
  if (fp == nullptr) {
    Error::report(Error::error, "Coff::write()", "Could not open Coff file '" + cFileName + "' for writing.", false);
    return false;
  }
  bool ok = write(fp, 0);
  // Buffered bytes reach the disk only here; a failure must not pass as success.
  if (std::fclose(fp) != 0 && ok) {
    Error::report(Error::error, "Coff::write()", "Could not close Coff file '" + cFileName + "' after writing.", false);
    ok = false;
  }
  return ok;
}

namespace {

// True only when every check of verify() plainly passes, each learnt in one
// cheap pass: sections found by the layout, string offsets against a bitmap
// of where strings start. False says nothing more than "look closer".
bool plainlySound(const Coff& coff, const std::vector<Section<Coff>>& order,
                  const std::vector<std::pair<int, size_t>>& numbers) {
  const size_t sections = coff.cScnNum.size();
  // Numbered 1 up without gaps, every name once and with its header.
  if (sections > 0xFFFF || coff.cScnHdr.size() != sections || numbers.size() != sections || order.size() != sections)
    return false;
  if (sections != 0 && (coff.cScnNum.begin()->first != 1 || coff.cScnNum.rbegin()->first != static_cast<int>(sections)))
    return false;

  auto isString = [&coff](uint32_t offset) { return coff.cStrTbl.contains(offset); };

  for (const auto& s : order) {
    if (s.name->empty()) return false;
    if (Coff::needsString(*s.header) && !isString(s.header->s_offset())) return false;
  }

  const size_t n = coff.cSymTbl.size();
  if (coff.cSymKind.size() != n) return false;
  const int lastSection = static_cast<int>(sections);
  const syment* symbols = coff.cSymTbl.data();
  const AuxKind* kinds = coff.cSymKind.data();
  for (size_t i = 0; i < n; ++i) {
    const syment& s = symbols[i];
    if (kinds[i] == AuxKind::none) {
      if (s.n_scnum < -2 || s.n_scnum > lastSection) return false;
      if (Coff::needsString(s) && !isString(s.n_offset())) return false;
      continue;
    }
    if (kinds[i] == AuxKind::file) {
      if (!isString(slotWord(s, 0))) return false;
      continue;
    }
    const AuxKind record = i > 0 && kinds[i - 1] == AuxKind::none ? auxRecord(symbols[i - 1], kinds[i]) : kinds[i];
    bool beyond = false;
    forEachIndex(s, record, [&](const IndexField&, uint32_t index) { beyond = beyond || index >= n; });
    if (beyond) return false;
  }

  for (const auto& [name, relocs] : coff.cReloc) {
    if (relocs.size() > 0xFFFF || (!relocs.empty() && n == 0)) return false;
    for (const reloc& r : relocs)
      if (r.r_symndx >= n) return false;
  }
  const auto* lists = coff.cLineInfo.data();
  for (size_t k = 0; k < coff.cLineInfo.size(); ++k) {
    if (k + kListsAhead < coff.cLineInfo.size()) __builtin_prefetch(lists[k + kListsAhead].second.data());
    const std::vector<coff_lineno>& lines = lists[k].second;
    if (lines.size() > 0xFFFF) return false;
    for (const coff_lineno& l : lines)
      if (l.l_srcndx >= n || (hasFcnIndex(l) && l.l_fcnndx >= n)) return false;
  }
  return true;
}

}  // namespace

struct CoffWriter::Layout {
  std::vector<Section<Coff>> order;
  // Each section number with the place of its section in `order`.
  std::vector<std::pair<int, size_t>> numbers;
};

CoffWriter::CoffWriter(Coff& coff) : cCoff(coff), cLayout(std::make_unique<Layout>()) {
  cLayout->order = sectionOrder(coff, &cLayout->numbers);
}

CoffWriter::~CoffWriter() = default;

void CoffWriter::settleSizes() { tarsil::settleSizes(cLayout->order); }

void CoffWriter::preWrite(uint32_t timdat) { layOut(cCoff, cLayout->order, cLayout->numbers, timdat); }

bool CoffWriter::verify() const {
  if (plainlySound(cCoff, cLayout->order, cLayout->numbers)) return true;
  return cCoff.verify();
}

bool CoffWriter::write(std::FILE* fp, long offset) const {
  if (offset < 0 || std::fseek(fp, offset, SEEK_SET) != 0) {
    Error::report(Error::error, "Coff::write()", "Coff file '" + cCoff.cFileName + "' could not write file header.",
                  false);
    return false;
  }
  Sink sink(fp);
  return emit(cCoff, cLayout->order, sink);
}

}  // namespace tarsil
