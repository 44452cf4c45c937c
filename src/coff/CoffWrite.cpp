// Laying out and writing an image. preWrite, size and the writer walk the
// same sections in the same order, so the pointers preWrite stores describe
// exactly the bytes the writer emits.
#include <ctime>
#include <iostream>
#include <unordered_map>

#include "coff/Coff.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

constexpr size_t headersSize = FILHSZ + OPTHSZ;

// The sections a file gets, in number order: each name once, and only names
// that have a header. A Coff that verify() accepts has no other kind.
std::vector<std::string> sectionOrder(const Coff& coff) {
  std::vector<std::string> order;
  std::unordered_map<std::string, bool> seen;
  for (const auto& [number, name] : coff.cScnNum)
    if (coff.cScnHdr.count(name) && seen.emplace(name, true).second) order.push_back(name);
  return order;
}

template <class Map>
size_t countOf(const Map& map, const std::string& name) {
  auto it = map.find(name);
  return it == map.end() ? 0 : it->second.size();
}

size_t rawSize(const Coff& coff, const std::string& name) {
  auto it = coff.cRawData.find(name);
  return it == coff.cRawData.end() ? 0 : it->second.size();
}

bool isBss(const Coff& coff, const std::string& name) { return isBssScn(coff.cScnHdr.at(name)); }

uint64_t stringTableLength(const Coff& coff) {
  uint64_t length = 4;
  for (const auto& [offset, s] : coff.cStrTbl) length += s.size() + 1;
  return length;
}

std::string hex(uint64_t v) { return hexPrint(static_cast<unsigned long>(v), 4); }

// Where the bytes go: a file or a buffer. The suffix is the failure message.
class Sink {
public:
  explicit Sink(std::FILE* fp) : cFile(fp) {}
  explicit Sink(std::vector<uint8_t>* buffer) : cBuffer(buffer) {}

  bool put(const uint8_t* bytes, size_t n) {
    if (n == 0) return true;
    if (cBuffer) {
      cBuffer->insert(cBuffer->end(), bytes, bytes + n);
      return true;
    }
    return std::fwrite(bytes, 1, n, cFile) == n;
  }
  bool put(const std::vector<uint8_t>& bytes) { return put(bytes.data(), bytes.size()); }

private:
  std::FILE* cFile = nullptr;
  std::vector<uint8_t>* cBuffer = nullptr;
};

bool emit(const Coff& coff, Sink& sink) {
  const std::string head = "Coff file '" + coff.cFileName;
  auto fail = [&](const char* suffix) {
    Error::report(Error::error, "Coff::write()", head + suffix, false);
    return false;
  };
  const auto order = sectionOrder(coff);

  uint8_t buf[SCNHSZ];
  coff.cFileHdr.encode(buf);
  if (!sink.put(buf, FILHSZ)) return fail("' could not write file header.");
  coff.cOptHdr.encode(buf);
  if (!sink.put(buf, OPTHSZ)) return fail("' could not write optional file header.");
  for (const auto& name : order) {
    coff.cScnHdr.at(name).encode(buf);
    if (!sink.put(buf, SCNHSZ)) return fail("' could not write section header.");
  }
  for (const auto& name : order) {
    auto data = coff.cRawData.find(name);
    if (isBss(coff, name) || data == coff.cRawData.end()) continue;
    if (!sink.put(reinterpret_cast<const uint8_t*>(data->second.bytes()), data->second.size()))
      return fail("' could not write raw data.");
  }
  std::vector<uint8_t> bytes;
  for (const auto& name : order) {
    auto relocs = coff.cReloc.find(name);
    if (relocs == coff.cReloc.end()) continue;
    bytes.assign(relocs->second.size() * RELSZ, 0);
    for (size_t i = 0; i < relocs->second.size(); ++i) relocs->second[i].encode(bytes.data() + RELSZ * i);
    if (!sink.put(bytes)) return fail("' could not write reloc.");
  }
  for (const auto& name : order) {
    auto lines = coff.cLineInfo.find(name);
    if (lines == coff.cLineInfo.end()) continue;
    bytes.assign(lines->second.size() * LINESZ, 0);
    for (size_t i = 0; i < lines->second.size(); ++i) lines->second[i].encode(bytes.data() + LINESZ * i);
    if (!sink.put(bytes)) return fail("' could not write lineinfo.");
  }
  bytes.assign(coff.cSymTbl.size() * SYMESZ, 0);
  for (size_t i = 0; i < coff.cSymTbl.size(); ++i) coff.cSymTbl[i].encode(bytes.data() + SYMESZ * i);
  if (!sink.put(bytes)) return fail("' could not write symbol.");

  uint32_t length = static_cast<uint32_t>(stringTableLength(coff));
  uint8_t word[4] = {static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                     static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  if (!sink.put(word, 4)) return fail("' could not write string table length.");
  bytes.clear();
  for (const auto& [offset, s] : coff.cStrTbl) {
    bytes.insert(bytes.end(), s.begin(), s.end());
    bytes.push_back(0);
  }
  if (!sink.put(bytes)) return fail("' could not write string.");
  return true;
}

}  // namespace

unsigned long Coff::size() const {
  uint64_t length = headersSize;
  const auto order = sectionOrder(*this);
  length += SCNHSZ * order.size();
  for (const auto& name : order) {
    if (!isBss(*this, name)) length += rawSize(*this, name);
    length += RELSZ * countOf(cReloc, name) + LINESZ * countOf(cLineInfo, name);
  }
  length += SYMESZ * cSymTbl.size() + stringTableLength(*this);
  if (Debug("Coff::size")) std::cout << "Coff::size() - fileLength=" << hex(length) << '\n';
  return static_cast<unsigned long>(length);
}

void Coff::preWrite() { preWrite(static_cast<uint32_t>(std::time(nullptr))); }

void Coff::preWrite(uint32_t timdat) {
  TARSIL_ASSERT(cSymTbl.size() == cSymKind.size());
  // The writer puts the strings one after another, so their keys must be
  // exactly the offsets at which they land.
  int expectedKey = 4;
  for (const auto& [offset, s] : cStrTbl) {
    TARSIL_ASSERT_TEXT(offset == expectedKey, "cStrTbl keys are the strings' offsets");
    expectedKey += static_cast<int>(s.size()) + 1;
  }
  const bool debug = static_cast<bool>(Debug("Coff::preWrite"));
  const auto order = sectionOrder(*this);
  uint64_t pos = headersSize;

  const uint64_t secHdrStart = pos;
  pos += SCNHSZ * order.size();
  if (debug) std::cout << "secHdrStart=" << hex(secHdrStart) << ", secHdrLength=" << hex(pos - secHdrStart) << '\n';

  const uint64_t rawDataStart = pos;
  for (const auto& name : order) {
    scnhdr& h = cScnHdr.at(name);
    const size_t n = rawSize(*this, name);
    // An uninitialized section may have only its size, set in the header by
    // whoever built it; holding its zeros in memory would serve no purpose.
    if (!isBssScn(h) || cRawData.count(name) != 0) h.s_size = static_cast<uint32_t>(n);
    h.s_scnptr = (n == 0 || isBssScn(h)) ? 0 : static_cast<uint32_t>(pos);
    if (!isBssScn(h)) pos += n;
  }
  if (debug) std::cout << "rawDataStart=" << hex(rawDataStart) << ", rawDataLength=" << hex(pos - rawDataStart) << '\n';

  const uint64_t relocStart = pos;
  for (const auto& name : order) {
    scnhdr& h = cScnHdr.at(name);
    const size_t n = countOf(cReloc, name);
    h.s_nreloc = static_cast<uint16_t>(n);
    h.s_relptr = n == 0 ? 0 : static_cast<uint32_t>(pos);
    pos += RELSZ * n;
  }
  if (debug) std::cout << "relocStart=" << hex(relocStart) << ", relocLength=" << hex(pos - relocStart) << '\n';

  const uint64_t lineStart = pos;
  for (const auto& name : order) {
    scnhdr& h = cScnHdr.at(name);
    const size_t n = countOf(cLineInfo, name);
    h.s_nlnno = static_cast<uint16_t>(n);
    h.s_lnnoptr = n == 0 ? 0 : static_cast<uint32_t>(pos);
    pos += LINESZ * n;
  }
  if (debug) std::cout << "lineStart=" << hex(lineStart) << ", lineLength=" << hex(pos - lineStart) << '\n';

  const uint64_t symbolStart = pos;
  pos += SYMESZ * cSymTbl.size();
  if (debug) std::cout << "symbolStart=" << hex(symbolStart) << ", symbolLength=" << hex(pos - symbolStart) << '\n';
  if (debug)
    std::cout << "stringStart=" << hex(pos) << ", stringLength=" << hex(stringTableLength(*this)) << '\n';

  if (debug) {
    for (const auto& [number, name] : cScnNum) {
      std::cout << "scnNum=" << number << ", secName=" << name << '\n';
      std::cout << "raw data: size=" << rawSize(*this, name) << '\n';
      std::cout << "reloc: num=" << countOf(cReloc, name) << '\n';
      std::cout << "line: num=" << countOf(cLineInfo, name) << '\n';
    }
  }

  cFileHdr.f_magic = COFF_MAGIC;
  // The image is always written in the current layout, whatever was read.
  cFileHdr.f_opthdr = OPTHDR_SIZE;
  cFileHdr.f_nscns = static_cast<uint16_t>(order.size());
  cFileHdr.f_timdat = timdat;
  cFileHdr.f_nsyms = static_cast<uint32_t>(cSymTbl.size());
  cFileHdr.f_symptr = cSymTbl.empty() ? 0 : static_cast<uint32_t>(symbolStart);
  fixupAuxFcns();
}

void Coff::fixupAuxFcns() {
  const bool debug = static_cast<bool>(Debug("Coff::fixupAuxFcns"));
  // First line entry of each function, per section, found in one pass.
  std::map<std::string, std::unordered_map<uint32_t, size_t>> firstLine;
  for (const auto& [name, lines] : cLineInfo) {
    auto& first = firstLine[name];
    for (size_t j = 0; j < lines.size(); ++j)
      if (hasFcnIndex(lines[j])) first.emplace(lines[j].l_fcnndx, j);
  }
  for (size_t i = 1; i < cSymTbl.size() && i < cSymKind.size(); ++i) {
    if (cSymKind[i] != AuxKind::fcn) continue;
    const syment& sym = cSymTbl[i - 1];
    auto scn = cScnNum.find(sym.n_scnum);
    if (scn == cScnNum.end()) continue;
    auto hdr = cScnHdr.find(scn->second);
    auto lines = firstLine.find(scn->second);
    if (hdr == cScnHdr.end() || lines == firstLine.end()) continue;
    auto line = lines->second.find(static_cast<uint32_t>(i - 1));
    if (line == lines->second.end()) continue;
    aux_fcn aux = getAux<aux_fcn>(cSymTbl[i]);
    const uint32_t old = aux.x_lnnoptr;
    aux.x_lnnoptr = static_cast<uint32_t>(hdr->second.s_lnnoptr + LINESZ * line->second);
    setAux(cSymTbl[i], aux);
    if (debug)
      std::cout << "Coff::fixupAuxFcns() - symbol '" << findName(sym, cStrTbl).value_or("") << "' in section '"
                << scn->second << "'  from " << hex(old) << " to " << hex(aux.x_lnnoptr) << '\n';
  }
}

std::vector<uint8_t> Coff::image() const {
  std::vector<uint8_t> bytes;
  Sink sink(&bytes);
  emit(*this, sink);
  return bytes;
}

bool Coff::write(std::FILE* fp, long offset) const {
  if (offset < 0 || std::fseek(fp, offset, SEEK_SET) != 0) {
    Error::report(Error::error, "Coff::write()", "Coff file '" + cFileName + "' could not write file header.", false);
    return false;
  }
  Sink sink(fp);
  return emit(*this, sink);
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

}  // namespace tarsil
