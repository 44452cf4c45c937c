// SPDX-License-Identifier: Apache-2.0
#pragma once
// A library file: its member objects and the index from each external
// symbol to the member that defines it.
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "coff/Coff.h"
#include "support/FlatMap.h"

namespace tarsil {

inline constexpr char ARMAG[] = "!<arch>\n";
inline constexpr size_t SARMAG = 8;
inline constexpr size_t ARHDRSZ = 280;

struct ar_hdr {
  char ar_name[256] = {};
  char ar_date[12] = {};
  char ar_size[10] = {};
  char ar_fmag[2] = {};

  static ar_hdr decode(const uint8_t* p);
  void encode(uint8_t* p) const;
};

class Archive {
public:
  std::string cFileName;
  // Members in file order; each member's cFileName is its member name.
  std::vector<std::unique_ptr<Coff>> cMembers;
  // External symbol to its defining member (owned by cMembers).
  FlatMap<std::string, Coff*> cSymbols;

  Archive() = default;
  Archive(const Archive& other) { init(other); }
  Archive& operator=(const Archive& other) {
    if (this != &other) init(other);
    return *this;
  }
  void init(const Archive& other);

  // Reports its own error and returns null on failure.
  static std::unique_ptr<Archive> make(const std::string& name);
  // As above, reading the file through `scratch`, which the caller may pass
  // again for the next library: the members keep no pointer into it.
  static std::unique_ptr<Archive> make(const std::string& name, InputBytes& scratch);
  // A library held in memory (the whole file).
  static std::unique_ptr<Archive> make(std::span<const uint8_t> bytes, const std::string& name);
  // A library whose bytes are `bytes`, read as far as its members reach.
  static std::unique_ptr<Archive> make(InputBytes& bytes, const std::string& name);
  // The same for a link, which imports only some members: of each, the
  // headers, symbols and strings are read now, and the rest by decode() once
  // the member is imported. A member whose rest is broken fails only then.
  static std::unique_ptr<Archive> makeForImport(InputBytes& bytes, const std::string& name);
  // The whole of a member that makeForImport() read in part (or the member
  // itself when it was read whole), null after reporting what is wrong with
  // it. Safe to call side by side; `member` may have left the archive.
  std::unique_ptr<Coff> decode(std::unique_ptr<Coff> member) const;

  void makeSymbols();
  bool hasExtDefinition(const std::string& symbol) const;
  // A fresh copy of the member that defines the symbol, or null.
  std::unique_ptr<Coff> getCoff(const std::string& symbol) const;
  // Hands the given members over to the caller, in the order given, instead
  // of copying them: they leave cMembers and every index entry that names
  // them, so the archive then answers as if it had never held them. One pass
  // over the members and the index, however many are taken.
  std::vector<std::unique_ptr<Coff>> takeMembers(const std::vector<const Coff*>& members);
  // Lays every member out again (keeping its time stamp) before writing it.
  bool write();
  // The bytes write() would produce.
  std::vector<uint8_t> image();
  void print(std::ostream& os) const;

  static std::string getName(const ar_hdr& h);
  static void setName(ar_hdr& h, const std::string& name);
  static int64_t getDate(const ar_hdr& h);
  static void setDate(ar_hdr& h, int64_t date);
  static uint64_t getSize(const ar_hdr& h);
  static void setSize(ar_hdr& h, uint64_t size);
  static void setMagic(ar_hdr& h);

private:
  static std::unique_ptr<Archive> read(InputBytes& bytes, const std::string& name, bool lazy);
  bool keepImage(const Coff& member, InputBytes& bytes, uint64_t at, uint64_t size);
  // Ends keeping images: the block shrinks to what they use.
  void keptAll();
  // A library read for import: the images of the members read in part, one
  // after another, and where each lies among them, by member.
  struct Partial {
    const Coff* member;
    uint64_t at;
    uint64_t size;
  };
  // One block, never cleared: grown by doubling (in place, as a rule, since
  // it is the latest block made) and shrunk to what the images use once the
  // library is read. Copies of the archive share it.
  struct Images {
    uint8_t* data = nullptr;
    uint64_t capacity = 0;
    uint64_t used = 0;
    Images() = default;
    Images(const Images&) = delete;
    Images& operator=(const Images&) = delete;
    ~Images();
    // Room for `size` more bytes, null when there is no memory for them.
    uint8_t* place(uint64_t size);
  };
  std::shared_ptr<Images> cBytes;
  std::vector<Partial> cPartial;
};

}  // namespace tarsil
