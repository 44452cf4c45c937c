// SPDX-License-Identifier: Apache-2.0
#include "coff/Archive.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "coff/MemberReader.h"
#include "coff/Prefetch.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/InputFile.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

void report(const std::string& where, const std::string& message) { Error::report(Error::error, where, message, false); }

// Decimal digits followed by 'l', at most `width` characters, the rest NUL;
// the field's last byte is always NUL.
void setNumber(char* field, size_t fieldSize, size_t width, uint64_t value) {
  std::string text = std::to_string(value) + "l";
  std::memset(field, 0, fieldSize);
  std::memcpy(field, text.data(), std::min(text.size(), width));
  field[fieldSize - 1] = '\0';
}

// The leading decimal number of a field that need not be terminated.
uint64_t getNumber(const char* field, size_t fieldSize) {
  uint64_t value = 0;
  for (size_t i = 0; i < fieldSize && field[i] >= '0' && field[i] <= '9'; ++i)
    value = value * 10 + static_cast<uint64_t>(field[i] - '0');
  return value;
}

// The common Unix archiver's member headers are 60 bytes long and end in
// the same two bytes that end ours at 278. Read as ours, such a header gives
// an empty or cut name and an object that is none, so it is told apart by
// where those bytes stand; a name of ours never holds them.
// Members read in part are looked up by address.
template <class Partial>
bool partialBefore(const Partial& entry, const Coff* member) {
  return std::less<const Coff*>{}(entry.member, member);
}

template <class Partial>
void sortByMember(std::vector<Partial>& partial) {
  std::sort(partial.begin(), partial.end(), [](const Partial& a, const Partial& b) { return partialBefore(a, b.member); });
}

bool isForeignHeader(InputBytes& bytes, uint64_t p) {
  auto fmagAt = [&](uint64_t at) {
    const uint8_t* two = bytes.size() - p > at + 1 ? bytes.view(p + at, 2) : nullptr;
    return two != nullptr && two[0] == 0x60 && two[1] == 0x0A;
  };
  return fmagAt(58) && !fmagAt(ARHDRSZ - 2);
}

}  // namespace

ar_hdr ar_hdr::decode(const uint8_t* p) {
  ar_hdr h;
  std::memcpy(h.ar_name, p, sizeof h.ar_name);
  std::memcpy(h.ar_date, p + 256, sizeof h.ar_date);
  std::memcpy(h.ar_size, p + 268, sizeof h.ar_size);
  std::memcpy(h.ar_fmag, p + 278, sizeof h.ar_fmag);
  return h;
}

void ar_hdr::encode(uint8_t* p) const {
  std::memcpy(p, ar_name, sizeof ar_name);
  std::memcpy(p + 256, ar_date, sizeof ar_date);
  std::memcpy(p + 268, ar_size, sizeof ar_size);
  std::memcpy(p + 278, ar_fmag, sizeof ar_fmag);
}

// --- header fields ------------------------------------------------------------

// A NUL cannot be part of a name; cutting there also keeps the name whole
// in messages, which are printed as C strings.
std::string Archive::getName(const ar_hdr& h) {
  size_t n = 0;
  while (n < sizeof h.ar_name && h.ar_name[n] != '/' && h.ar_name[n] != '\0') ++n;
  return std::string(h.ar_name, n);
}

void Archive::setName(ar_hdr& h, const std::string& name) {
  char buffer[sizeof h.ar_name + 1];
  std::memset(buffer, ' ', sizeof buffer);
  size_t n = std::min<size_t>(name.size(), 255);
  std::memcpy(buffer, name.data(), n);
  buffer[n] = '/';
  std::memcpy(h.ar_name, buffer, sizeof h.ar_name);
}

int64_t Archive::getDate(const ar_hdr& h) { return static_cast<int64_t>(getNumber(h.ar_date, sizeof h.ar_date)); }

void Archive::setDate(ar_hdr& h, int64_t date) {
  setNumber(h.ar_date, sizeof h.ar_date, 11, static_cast<uint32_t>(date));
}

uint64_t Archive::getSize(const ar_hdr& h) { return getNumber(h.ar_size, sizeof h.ar_size); }

void Archive::setSize(ar_hdr& h, uint64_t size) {
  setNumber(h.ar_size, sizeof h.ar_size, 9, static_cast<uint32_t>(size));
}

void Archive::setMagic(ar_hdr& h) {
  h.ar_fmag[0] = 0x60;
  h.ar_fmag[1] = 0x0A;
}

// --- copying --------------------------------------------------------------------

void Archive::init(const Archive& other) {
  cFileName = other.cFileName;
  cMembers.clear();
  std::map<const Coff*, Coff*> copyOf;
  for (const auto& member : other.cMembers) {
    cMembers.push_back(std::make_unique<Coff>(*member));
    copyOf[member.get()] = cMembers.back().get();
  }
  cBytes = other.cBytes;
  cPartial.clear();
  for (const Partial& p : other.cPartial) cPartial.push_back({copyOf.at(p.member), p.at, p.size});
  sortByMember(cPartial);
  cSymbols.clear();
  for (const auto& [symbol, member] : other.cSymbols) {
    auto it = copyOf.find(member);
    if (it != copyOf.end()) cSymbols[symbol] = it->second;
  }
}

// --- reading -----------------------------------------------------------------------

std::unique_ptr<Archive> Archive::make(const std::string& name) {
  InputBytes bytes;
  return make(name, bytes);
}

std::unique_ptr<Archive> Archive::make(const std::string& name, InputBytes& bytes) {
  if (!bytes.open(name)) {
    report("Archive::make()", "Could not open library file '" + name + "' for reading.");
    return nullptr;
  }
  auto archive = make(bytes, name);
  bytes.close();
  return archive;
}

std::unique_ptr<Archive> Archive::make(std::span<const uint8_t> image, const std::string& name) {
  InputBytes bytes(image);
  return make(bytes, name);
}

std::unique_ptr<Archive> Archive::make(InputBytes& bytes, const std::string& name) {
  return read(bytes, name, false);
}

std::unique_ptr<Archive> Archive::makeForImport(InputBytes& bytes, const std::string& name) {
  return read(bytes, name, true);
}

bool Archive::keepImage(const Coff& member, InputBytes& bytes, uint64_t at, uint64_t size) {
  // An image that claims more than the file holds ends with the file.
  size = std::min(size, bytes.size() - at);
  if (!cBytes) cBytes = std::make_shared<Images>();
  uint8_t* into = cBytes->place(size);
  if (into == nullptr || !bytes.copy(at, static_cast<size_t>(size), into)) return false;
  cPartial.push_back({&member, cBytes->used - size, size});
  return true;
}

uint8_t* Archive::Images::place(uint64_t size) {
  if (capacity - used < size) {
    const uint64_t wanted = std::max(used + size, capacity * 2);
    void* larger = std::realloc(data, static_cast<size_t>(wanted));
    if (larger == nullptr) return nullptr;
    data = static_cast<uint8_t*>(larger);
    capacity = wanted;
  }
  used += size;
  return data + used - size;
}

void Archive::keptAll() {
  if (!cBytes || cBytes->data == nullptr) return;
  // Shrinking leaves the block where it is; what it gives back serves the
  // next library.
  void* smaller = std::realloc(cBytes->data, static_cast<size_t>(std::max<uint64_t>(cBytes->used, 1)));
  if (smaller != nullptr) {
    cBytes->data = static_cast<uint8_t*>(smaller);
    cBytes->capacity = cBytes->used;
  }
}

Archive::Images::~Images() { std::free(data); }

std::unique_ptr<Coff> Archive::decode(std::unique_ptr<Coff> member) const {
  auto at = std::lower_bound(cPartial.begin(), cPartial.end(), member.get(), partialBefore<Partial>);
  if (at == cPartial.end() || at->member != member.get()) return member;
  InputBytes bytes{std::span<const uint8_t>(cBytes->data + at->at, static_cast<size_t>(at->size))};
  const std::string name = member->cFileName;
  auto whole = readMemberRest(bytes, std::move(member));
  if (!whole) report("Archive::make()", "Could not build member '" + name + "' in library file '" + cFileName + "'. ");
  return whole;
}

// Members are found from their headers alone, one after another, so that
// bytes no member covers are never read.
std::unique_ptr<Archive> Archive::read(InputBytes& bytes, const std::string& name, bool lazy) {
  auto archive = std::make_unique<Archive>();
  archive->cFileName = name;
  const uint64_t size = bytes.size();
  const uint8_t* magic = bytes.view(0, SARMAG);
  if (magic == nullptr) {
    report("Archive::make()", "Could not read archive magic string in library file '" + name + "'.");
    return nullptr;
  }
  if (std::memcmp(magic, ARMAG, SARMAG) != 0) {
    report("Archive::make()", "File '" + name + "' is not a valid library file.");
    return nullptr;
  }

  auto missingMember = [&]() {
    report("Archive::make()", "Library file '" + name + "' has a missing member object file.");
    return nullptr;
  };
  uint64_t p = SARMAG;
  while (true) {
    if (isForeignHeader(bytes, p)) {
      report("Archive::make()", "Library file '" + name +
                                    "' is not in this linker's library format: its member headers are 60 bytes "
                                    "long, not 280.");
      return nullptr;
    }
    if (size - p < ARHDRSZ) {
      // Blank padding after the last member is harmless; anything else is a
      // member cut off by a truncated file, which must not vanish silently.
      const uint8_t* tail = bytes.view(p, static_cast<size_t>(size - p));
      if (tail == nullptr) return missingMember();
      for (const uint8_t* c = tail; c != tail + (size - p); ++c)
        if (*c != 0 && *c != ' ' && *c != '\n') return missingMember();
      break;
    }
    const uint8_t* raw = bytes.view(p, ARHDRSZ);
    if (raw == nullptr) return missingMember();
    ar_hdr header = ar_hdr::decode(raw);
    p += ARHDRSZ;
    if (p >= size) return missingMember();
    const std::string member = getName(header);
    // Members are read to the archive's end: their images are located by
    // their computed size, not by the header's.
    // The linker takes members into the link without checking them again,
    // so a member whose references do not hold is refused here.
    uint64_t imageSize = 0;
    bool whole = true;
    auto coff =
        lazy ? Coff::makeHeaders(bytes, p, member, imageSize, whole) : Coff::makeVerified(bytes, p, member, &imageSize);
    if (!coff) {
      report("Archive::make()", "Could not build member '" + member + "' in library file '" + name + "'. ");
      return nullptr;
    }
    // The rest of a member read in part is read from a copy of its image
    // when it is imported: the file is long closed by then.
    if (!whole && !archive->keepImage(*coff, bytes, p, imageSize)) {
      report("Archive::make()", "Could not build member '" + member + "' in library file '" + name + "'. ");
      return nullptr;
    }
    archive->cMembers.push_back(std::move(coff));
    if (imageSize >= size - p) break;
    p += imageSize;
  }
  archive->keptAll();
  sortByMember(archive->cPartial);
  archive->makeSymbols();
  return archive;
}

void Archive::makeSymbols() {
  // The names come member by member, in no order an index could take
  // cheaply one at a time: they are gathered, sorted once, and the first
  // definition of a name in member order is the one kept.
  struct Found {
    uint64_t prefix;  // leadingBytes of the name
    std::string_view name;
    Coff* member;
    size_t order;
    bool operator<(const Found& other) const {
      if (prefix != other.prefix) return prefix < other.prefix;
      if (name != other.name) return name < other.name;
      return order < other.order;
    }
  };
  std::vector<Found> found;
  // A name missing from its member's table ends the process, once the
  // definitions met before it are reported as they would have been.
  const syment* unnamed = nullptr;
  const Coff* unnamedIn = nullptr;
  for (size_t m = 0; m < cMembers.size(); ++m) {
    prefetchAhead(cMembers, m, &Coff::cSymTbl);
    const auto& member = cMembers[m];
    if (unnamed != nullptr) break;
    // Symbols are found by stepping over each one's auxiliary slots, as
    // library import and symbol resolution find them: the reader marks the
    // auxiliary slots of a symbol whose kind has no record as symbols, and
    // such a slot whose bytes look like a definition must not put the member
    // in the index for a name it does not define.
    const std::vector<syment>& table = member->cSymTbl;
    for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1) {
      const syment& sym = table[i];
      if (!Coff::isExtDefinition(sym)) continue;
      auto symbol = Coff::nameView(sym, member->cStrTbl);
      if (!symbol) {
        unnamed = &sym;
        unnamedIn = member.get();
        break;
      }
      found.push_back({leadingBytes(*symbol), *symbol, member.get(), found.size()});
    }
  }
  std::sort(found.begin(), found.end());

  std::vector<std::pair<std::string, Coff*>> entries;
  entries.reserve(found.size());
  // Each later definition of a name, reported in member order.
  std::vector<std::pair<size_t, std::string_view>> again;
  for (size_t i = 0; i < found.size(); ++i) {
    if (i > 0 && found[i].name == found[i - 1].name) {
      again.emplace_back(found[i].order, found[i].name);
      continue;
    }
    entries.emplace_back(std::string(found[i].name), found[i].member);
  }
  cSymbols.assignSorted(std::move(entries));
  std::sort(again.begin(), again.end());
  for (const auto& [order, name] : again)
    report("Archive::makeSymbols()", "Symbol '" + std::string(name) + "' has multiple external definitions.");
  // Ends the process, as for any name that cannot be found.
  if (unnamed != nullptr) Coff::getName(*unnamed, unnamedIn->cStrTbl);

  if (Debug("Archive::makeSymbols")) {
    std::cout << "Symbols:\n";
    for (const auto& [symbol, member] : cSymbols) std::cout << symbol << ' ' << member->cFileName << '\n';
  }
}

bool Archive::hasExtDefinition(const std::string& symbol) const { return cSymbols.count(symbol) != 0; }

std::unique_ptr<Coff> Archive::getCoff(const std::string& symbol) const {
  auto it = cSymbols.find(symbol);
  if (it == cSymbols.end()) return nullptr;
  return std::make_unique<Coff>(*it->second);
}

std::vector<std::unique_ptr<Coff>> Archive::takeMembers(const std::vector<const Coff*>& members) {
  std::unordered_map<const Coff*, size_t> wanted;
  wanted.reserve(members.size());
  for (size_t i = 0; i < members.size(); ++i) wanted.emplace(members[i], i);

  std::vector<std::unique_ptr<Coff>> taken(members.size());
  size_t kept = 0;
  for (size_t i = 0; i < cMembers.size(); ++i) {
    auto it = wanted.find(cMembers[i].get());
    if (it != wanted.end()) taken[it->second] = std::move(cMembers[i]);
    else if (kept++ != i) cMembers[kept - 1] = std::move(cMembers[i]);
  }
  cMembers.resize(kept);
  if (kept == 0) cSymbols.clear();
  else erase_if(cSymbols, [&wanted](const auto& entry) { return wanted.count(entry.second) != 0; });
  // A pointer that named no member (or one named twice) hands over nothing.
  std::erase(taken, nullptr);
  return taken;
}

// --- writing -------------------------------------------------------------------------

namespace {

// Lays the member out again, keeping its time stamp: pointers read from
// another file need not describe the order the writer uses.
void memberHeader(Coff& member, uint8_t* raw) {
  member.preWrite(member.cFileHdr.f_timdat);
  ar_hdr header;
  Archive::setName(header, member.cFileName);
  Archive::setDate(header, member.cFileHdr.f_timdat);
  Archive::setSize(header, member.size());
  Archive::setMagic(header);
  header.encode(raw);
}

}  // namespace

std::vector<uint8_t> Archive::image() {
  std::vector<uint8_t> bytes(ARMAG, ARMAG + SARMAG);
  for (const auto& member : cMembers) {
    uint8_t raw[ARHDRSZ];
    memberHeader(*member, raw);
    bytes.insert(bytes.end(), raw, raw + ARHDRSZ);
    auto memberImage = member->image();
    bytes.insert(bytes.end(), memberImage.begin(), memberImage.end());
  }
  return bytes;
}

bool Archive::write() {
  std::FILE* fp = std::fopen(cFileName.c_str(), "wb");
  if (fp == nullptr) {
    report("Archive::write()", "Could not open library file '" + cFileName + "' for writing.");
    return false;
  }
  auto fail = [&](const std::string& message) {
    if (!message.empty()) report("Archive::write()", message);
    std::fclose(fp);
    return false;
  };
  if (std::fwrite(ARMAG, 1, SARMAG, fp) != SARMAG)
    return fail("Could not write archive magic string in library file '" + cFileName + "'. ");
  long position = static_cast<long>(SARMAG);
  for (const auto& member : cMembers) {
    uint8_t raw[ARHDRSZ];
    memberHeader(*member, raw);
    if (std::fwrite(raw, 1, ARHDRSZ, fp) != ARHDRSZ)
      return fail("Could not write member header for '" + member->cFileName + "' in library file '" + cFileName +
                  "'. ");
    position += static_cast<long>(ARHDRSZ);
    if (!member->write(fp, position)) return fail("");
    position += static_cast<long>(member->size());
  }
  if (std::fclose(fp) != 0) {
    report("Archive::write()", "Could not close library file '" + cFileName + "' after writing.");
    return false;
  }
  return true;
}

// --- dump ------------------------------------------------------------------------------

void Archive::print(std::ostream& os) const {
  os << "Archive: " << cFileName << '\n';
  os << "  Members: " << '\n';
  for (size_t i = 0; i < cMembers.size(); ++i) {
    os << "    Member[" << i << "]\n";
    cMembers[i]->print(os);
  }
}

}  // namespace tarsil
