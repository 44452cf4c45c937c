// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "coff/Archive.h"
#include "coff/Coff.h"
#include "coff/Prefetch.h"
#include "device/Processor.h"
#include "link/Passes.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/FileIdentity.h"
#include "support/FileInfo.h"
#include "support/InputFile.h"
#include "support/NameHash.h"
#include "support/Strings.h"
#include "support/Threads.h"

namespace tarsil {

namespace {

// A name with any separator is taken only where it points. FileInfo sees no
// path in "/x.o", a file of the root directory, so the test is made here.
bool hasDirectory(const std::string& name) { return name.find_first_of("\\/") != std::string::npos; }

// A directory of the same name is no candidate: taking it would hide the
// file further down the search list behind a read error. The look-up also
// gives the file's identity, which the set of inputs needs.
std::optional<FileIdentity> candidate(const std::string& path) {
  bool directory = false;
  auto id = fileIdentity(path, directory);
  if (!id || directory) return std::nullopt;
  return id;
}

struct Found {
  std::string path;
  FileIdentity id;
  // The name as messages give it: as written, with the directory it was
  // found in before it, and the user's own separators.
  std::string shown;
};

// The first of the paths where `name` may be that `test` accepts. Bare names
// are looked up in `dirs` in order; the current directory is searched only
// when listed.
template <class Test>
std::optional<Found> firstCandidate(const std::string& name, const std::vector<std::string>& dirs, Test test) {
  auto tried = [&test](const std::string& shown) {
    std::optional<Found> found = test(hostPath(shown));
    if (found) found->shown = shown;
    return found;
  };
  if (hasDirectory(name)) return tried(name);
  for (const std::string& dir : dirs) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') path += '/';
    path += name;
    if (auto found = tried(path)) return found;
  }
  return std::nullopt;
}

// The path under which `name` is found, or nothing.
std::optional<Found> findFile(const std::string& name, const std::vector<std::string>& dirs) {
  return firstCandidate(name, dirs, [](std::string path) -> std::optional<Found> {
    if (auto id = candidate(path)) return Found{std::move(path), *id, {}};
    return std::nullopt;
  });
}

// The same path, found by opening each candidate instead of looking at it
// first, which saves a call to the file system per file; the file is left
// open in `bytes` when it could be opened.
std::optional<Found> openFile(const std::string& name, const std::vector<std::string>& dirs, InputBytes& bytes) {
  return firstCandidate(name, dirs, [&bytes](std::string path) -> std::optional<Found> {
    if (bytes.open(path)) return Found{std::move(path), bytes.identity(), {}};
    const InputFile::Failure failure = bytes.failure();
    if (failure == InputFile::Failure::absent || failure == InputFile::Failure::directory) return std::nullopt;
    // Something is there that cannot be read: it is found as a look-up
    // finds it, and reading it gives the reader's message.
    if (auto id = candidate(path)) return Found{std::move(path), *id, {}};
    return std::nullopt;
  });
}

// Replaces each name by the path where it was found, taken in order, and
// records the file among `inputs`: one named twice, however spelt, would be
// read twice.
bool takeFound(std::vector<std::string>& names, std::vector<std::optional<Found>>& lookedUp, FileSet& inputs,
               const char* kind, std::string& error) {
  for (size_t i = 0; i < names.size(); ++i) {
    std::string& name = names[i];
    std::optional<Found>& found = lookedUp[i];
    if (!found) {
      error = "could not find file '" + name + "'.";
      return false;
    }
    if (inputs.add(found->path, found->id)) {
      error = std::string("mutliple inclusion of ") + kind + " file '" + name + "' ";
      return false;
    }
    name = std::move(found->shown);
  }
  return true;
}

// Reads the file that `name` names on this system, the messages naming it
// as given: a reader opened by name would name it by the converted path.
template <class Read>
auto readNamed(const std::string& name, InputBytes& bytes, const char* kind, Read read) -> decltype(read(bytes)) {
  if (!bytes.open(hostPath(name))) {
    Error::report(Error::error, "Linker::buildCoffs()", std::string("Could not open ") + kind + " file '" + name +
                                                            "' for reading.",
                  false);
    return nullptr;
  }
  auto made = read(bytes);
  bytes.close();
  return made;
}

std::unique_ptr<Coff> readObject(const std::string& name, InputBytes& bytes) {
  return readNamed(name, bytes, "Coff", [&name](InputBytes& b) { return Coff::makeVerified(b, 0, name); });
}

// Finds each of `names` and takes what was found.
bool findFiles(std::vector<std::string>& names, const std::vector<std::string>& dirs, FileSet& inputs,
               const char* kind, std::string& error) {
  // Each look-up waits on the file system: they are made side by side and
  // taken in order, so that the name reported is the first missing or
  // repeated one, as when they are made one after the other.
  std::vector<std::optional<Found>> lookedUp(names.size());
  inOrderUntilFailure(names.size(), [&](size_t i, unsigned) {
    lookedUp[i] = findFile(names[i], dirs);
    return true;
  });
  return takeFound(names, lookedUp, inputs, kind, error);
}

// Reads every file of `paths` with `read` and appends what it made to
// `into`, side by side when threads are allowed, with the outcome and the
// messages of reading them in order. Each thread keeps one set of buffers
// for the files it reads.
template <class T, class Read>
bool readAll(const std::vector<std::string>& paths, std::vector<std::unique_ptr<T>>& into, Read read) {
  const size_t n = paths.size();
  std::vector<std::unique_ptr<T>> items(n);
  std::vector<InputBytes> scratch(threadCount());
  const size_t failed = inOrderUntilFailure(n, [&](size_t i, unsigned worker) {
    items[i] = read(paths[i], scratch[worker]);
    return items[i] != nullptr;
  });
  if (failed != n) return false;
  into.reserve(into.size() + n);
  for (auto& item : items) into.push_back(std::move(item));
  return true;
}

uint16_t deviceCode(const Coff& coff) { return static_cast<uint16_t>(coff.cOptHdr.proc_type & 0xFFFF); }

bool isGeneric(const Coff& coff) { return (coff.cFileHdr.f_flags & F_GENERIC) != 0; }

// The external names of the link, each interned once, with what the import
// needs to know of it: whether some object joined so far defines it, and the
// library member that would. The import then picks names from a heap instead
// of walking every object's symbols again on each pass.
class UndefinedNames {
public:
  explicit UndefinedNames(const std::vector<std::unique_ptr<Archive>>& archives) {
    size_t offered = 0;
    for (const auto& archive : archives) offered += archive->cSymbols.size();
    cNames.reserve(offered * 2);
    // The earliest library that defines a name is the one asked.
    for (size_t a = 0; a < archives.size(); ++a) {
      for (const auto& [symbol, member] : archives[a]->cSymbols) {
        Name& name = cNames[intern(symbol)];
        if (name.member == nullptr) {
          name.member = member;
          name.archive = a;
        }
      }
    }
  }

  // An input joins in two steps, so that the first, which only reads the
  // table, can be taken by several inputs side by side: each of the input's
  // names that a library defines as a mark (its id, shifted, with the lowest
  // bit set for a definition) written from `out` on, and the number written;
  // at most one per symbol slot.
  size_t marks(const Coff& coff, uint32_t* out) const {
    uint32_t* const first = out;
    forEachName(coff, [&out](uint32_t mark) { *out++ = mark; });
    return static_cast<size_t>(out - first);
  }
  // The second step, given each input's marks in the order the inputs
  // join: notes the names it defines and queues those it wants.
  void take(uint32_t mark) {
    const uint32_t id = mark >> 1;
    Name& name = cNames[id];
    if ((mark & 1) != 0) {
      name.defined = true;
    } else if (!name.defined && !name.queued && name.member != nullptr) {
      name.queued = true;
      cQueue.push_back(id);
      std::push_heap(cQueue.begin(), cQueue.end(), later());
    }
  }

  // The alphabetically first undefined name that a library defines; false
  // when there is none. Names defined since they were queued are dropped
  // here: a name once defined stays defined.
  bool next(uint32_t& id) {
    while (!cQueue.empty()) {
      std::pop_heap(cQueue.begin(), cQueue.end(), later());
      id = cQueue.back();
      cQueue.pop_back();
      if (!cNames[id].defined) return true;
    }
    return false;
  }

  std::string_view text(uint32_t id) const { return cNames[id].text; }
  const Coff* member(uint32_t id) const { return cNames[id].member; }
  size_t archive(uint32_t id) const { return cNames[id].archive; }

private:
  struct Name {
    // Into the archives' indexes and the objects' tables, which outlive this.
    std::string_view text;
    uint64_t hash = 0;
    // A name of up to 8 bytes is also kept as one word (see wordOf), so
    // that it compares as a number.
    uint64_t word = 0;
    // The first 8 bytes, the first one highest and zero-padded: names that
    // differ there are ordered by this number alone (no name holds a NUL).
    uint64_t lead = 0;
    const Coff* member = nullptr;
    size_t archive = 0;
    bool defined = false;
    bool queued = false;
  };

  // Names are short and looked up once per symbol of every object, so they
  // go into an open-addressed table of ids hashed a word at a time. A name
  // of up to 8 bytes, as most are, is hashed and compared as the one word
  // its bytes make when zero-padded, wherever the name is held.
  static constexpr size_t wordSize = 8;
  static constexpr uint32_t kAbsent = UINT32_MAX;

  static uint64_t wordOf(std::string_view text) {
    uint64_t word = 0;
    if (!text.empty()) std::memcpy(&word, text.data(), text.size());
    return word;
  }

  // Seeded with the process's secret, as every name hash is (see NameHash).
  uint64_t hashOfWord(uint64_t word, size_t size) const {
    // A product mixes upwards only: the slot is taken from the top bits.
    return (word ^ cSeed ^ (size << 59)) * 0xC4CEB9FE1A85EC53ull;
  }

  uint64_t hashOf(std::string_view text) const {
    if (text.size() <= wordSize) return hashOfWord(wordOf(text), text.size());
    uint64_t h = 0x9E3779B97F4A7C15ull ^ cSeed ^ text.size();
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
      uint64_t word;
      std::memcpy(&word, text.data() + i, 8);
      h = (h ^ word) * 0xFF51AFD7ED558CCDull;
      h ^= h >> 32;
    }
    uint64_t rest = 0;
    std::memcpy(&rest, text.data() + i, text.size() - i);
    // A product mixes upwards only: the slot is taken from the top bits.
    return (h ^ rest) * 0xC4CEB9FE1A85EC53ull;
  }

  size_t slotOf(uint64_t hash) const { return static_cast<size_t>(hash >> cShift); }

  void grow() {
    std::vector<uint32_t> slots(cSlots.empty() ? 1024 : cSlots.size() * 2, 0);
    cShift = static_cast<unsigned>(64 - std::countr_zero(slots.size()));
    const size_t mask = slots.size() - 1;
    for (uint32_t id = 0; id < cNames.size(); ++id) {
      size_t at = slotOf(cNames[id].hash);
      while (slots[at] != 0) at = (at + 1) & mask;
      slots[at] = id + 1;
    }
    cSlots.swap(slots);
  }

  uint32_t intern(std::string_view text) {
    if ((cNames.size() + 1) * 2 > cSlots.size()) grow();
    const bool word = text.size() <= wordSize;
    const uint64_t hash = word ? hashOfWord(wordOf(text), text.size()) : hashOf(text);
    const size_t at = word ? probeWord(wordOf(text), text.size(), hash) : probe(text, hash);
    if (cSlots[at] != 0) return cSlots[at] - 1;
    cSlots[at] = static_cast<uint32_t>(cNames.size()) + 1;
    cNames.push_back(Name{text, hash, word ? wordOf(text) : 0, leadingBytes(text)});
    return static_cast<uint32_t>(cNames.size() - 1);
  }

  // The id of `text`, or kAbsent when it was never entered.
  uint32_t find(std::string_view text) const {
    if (text.size() <= wordSize) return findWord(wordOf(text), text.size());
    if (cSlots.empty()) return kAbsent;
    const size_t at = probe(text, hashOf(text));
    return cSlots[at] != 0 ? cSlots[at] - 1 : kAbsent;
  }
  // A name of `size` bytes, at most 8, whose wordOf is `word`.
  uint32_t findWord(uint64_t word, size_t size) const {
    if (cSlots.empty()) return kAbsent;
    const size_t at = probeWord(word, size, hashOfWord(word, size));
    return cSlots[at] != 0 ? cSlots[at] - 1 : kAbsent;
  }

  // The slot that holds the name, or the free slot where it belongs.
  size_t probe(std::string_view text, uint64_t hash) const {
    const size_t mask = cSlots.size() - 1;
    for (size_t at = slotOf(hash);; at = (at + 1) & mask) {
      const uint32_t slot = cSlots[at];
      if (slot == 0) return at;
      const Name& name = cNames[slot - 1];
      if (name.hash == hash && name.text == text) return at;
    }
  }
  size_t probeWord(uint64_t word, size_t size, uint64_t hash) const {
    const size_t mask = cSlots.size() - 1;
    for (size_t at = slotOf(hash);; at = (at + 1) & mask) {
      const uint32_t slot = cSlots[at];
      if (slot == 0) return at;
      const Name& name = cNames[slot - 1];
      if (name.hash == hash && name.word == word && name.text.size() == size) return at;
    }
  }

  // A name held in a symbol's own 8-byte field, NUL-padded when shorter.
  // Bytes after the first NUL may be anything and are no part of the name.
  uint32_t findField(const char (&field)[8]) const {
    if constexpr (std::endian::native == std::endian::little) {
      uint64_t w;
      std::memcpy(&w, field, sizeof w);
      // The lowest marked byte is the first NUL; marks above it may be false.
      const uint64_t zero = (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
      const size_t size = zero == 0 ? wordSize : static_cast<size_t>(std::countr_zero(zero) / 8);
      if (size < wordSize) w &= (uint64_t{1} << (8 * size)) - 1;
      return findWord(w, size);
    } else {
      size_t size = 0;
      while (size < wordSize && field[size] != '\0') ++size;
      return find(std::string_view(field, size));
    }
  }

  // Calls mark(id << 1 | definition) for each external name of `coff` that
  // a library defines, in table order. Symbols are found by stepping over
  // each one's auxiliary slots, as symbol resolution finds them: an
  // auxiliary slot whose bytes look like a definition must not stand for one
  // here, or a member that does define the name would never be asked for.
  template <class Mark>
  void forEachName(const Coff& coff, Mark mark) const {
    const std::vector<syment>& table = coff.cSymTbl;
    for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1) {
      const syment& sym = table[i];
      const bool isDef = Coff::isExtDefinition(sym);
      if (!isDef && !Coff::isExtReference(sym)) continue;
      // Only the libraries' names were entered: a name no library defines
      // is never asked for, whoever defines or wants it.
      uint32_t id = kAbsent;
      if (Coff::needsString(sym)) {
        // Inputs were checked on reading, so every name resolves; a name
        // that does not cannot be asked for or satisfied, and is passed over.
        auto text = Coff::nameView(sym, coff.cStrTbl);
        if (!text) continue;
        id = find(*text);
      } else {
        id = findField(sym.n_name);
      }
      if (id != kAbsent) mark(id << 1 | (isDef ? 1u : 0u));
    }
  }

  // Orders the heap so that its top is the smallest name.
  struct Later {
    const std::vector<Name>* names;
    bool operator()(uint32_t a, uint32_t b) const {
      const Name& x = (*names)[a];
      const Name& y = (*names)[b];
      if (x.lead != y.lead) return x.lead > y.lead;
      return x.text > y.text;
    }
  };
  Later later() const { return Later{&cNames}; }

  const uint64_t cSeed = nameHashSeed();
  // Each slot holds an id plus one, 0 when free; at most half are taken.
  std::vector<uint32_t> cSlots;
  unsigned cShift = 64;
  std::vector<Name> cNames;
  std::vector<uint32_t> cQueue;
};

// Reads the rest of each member imported, `imported` naming its library.
bool decodeMembers(const LinkContext& ctx, const std::vector<std::pair<size_t, const Coff*>>& imported,
                   std::vector<std::unique_ptr<Coff>>& members) {
  // Side by side; the first member in import order that turns out broken
  // fails the link, with the messages that reading the members in turn
  // would have given.
  HeldMessages held;
  const size_t n = members.size();
  const size_t failed = inOrderHolding(
      n,
      [&](size_t m, unsigned) {
        members[m] = ctx.cArchive[imported[m].first]->decode(std::move(members[m]));
        return members[m] != nullptr;
      },
      held);
  for (const auto& [m, messages] : held)
    if (m <= failed) Error::release(messages);
  return failed == n;
}

}  // namespace

bool buildCoffs(LinkContext& ctx, std::string& error) {
  if (ctx.cConfig.cObjectFile.empty()) {
    error = "no input object files specified.";
    return false;
  }
  std::vector<std::string> dirs{"."};
  dirs.insert(dirs.end(), ctx.cConfig.cLibPath.begin(), ctx.cConfig.cLibPath.end());
  Coff::SectionNamesFatal fatal;
  // The readers report their own failures; the stage adds nothing to them.
  auto read = readObject;
  // A debug channel's lines keep their order only when each file is read
  // once all are found, one after the other.
  if (Debug::anyOn())
    return findFiles(ctx.cConfig.cObjectFile, dirs, ctx.cInputFiles, "object", error) &&
           readAll(ctx.cConfig.cObjectFile, ctx.cCoff, read);

  // Thousands of objects are each found and read in one step, side by side.
  // The outcome is that of finding all and then reading all: the first
  // missing or repeated name is the one reported, with nothing the readers
  // said, and otherwise the readers' messages come in order up to the first
  // file that failed.
  const size_t n = ctx.cConfig.cObjectFile.size();
  std::vector<std::optional<Found>> found(n);
  std::vector<std::unique_ptr<Coff>> coffs(n);
  std::vector<InputBytes> scratch(threadCount());
  std::atomic<size_t> firstFailed{n};
  HeldMessages held;
  inOrderHolding(
      n,
      [&](size_t i, unsigned worker) {
        InputBytes& bytes = scratch[worker];
        found[i] = openFile(ctx.cConfig.cObjectFile[i], dirs, bytes);
        // Past a file that failed, the others are only looked for.
        if (found[i] && i < firstFailed.load(std::memory_order_relaxed)) {
          const std::string& name = found[i]->shown;
          try {
            coffs[i] = bytes.isOpen() ? Coff::makeVerified(bytes, 0, name) : read(name, bytes);
          } catch (const Error::Halted&) {
            // Its fatal message ends the process if it is given out.
          }
          if (!coffs[i]) {
            size_t seen = firstFailed.load(std::memory_order_relaxed);
            while (i < seen && !firstFailed.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
            }
          }
        }
        bytes.close();
        return true;
      },
      held);
  if (!takeFound(ctx.cConfig.cObjectFile, found, ctx.cInputFiles, "object", error)) return false;
  const size_t failed = firstFailed.load();
  for (const auto& [i, messages] : held)
    if (i <= failed) Error::release(messages);
  if (failed != n) return false;
  ctx.cCoff.reserve(ctx.cCoff.size() + n);
  for (auto& coff : coffs) ctx.cCoff.push_back(std::move(coff));
  return true;
}

bool buildLibs(LinkContext& ctx, std::string& error) {
  if (!findFiles(ctx.cConfig.cLibraryFile, ctx.cConfig.cLibPath, ctx.cInputFiles, "library", error)) return false;

  Coff::SectionNamesFatal fatal;
  return readAll(ctx.cConfig.cLibraryFile, ctx.cArchive,
                 [](const std::string& name, InputBytes& scratch) {
                   return readNamed(name, scratch, "library",
                                    [&name](InputBytes& bytes) { return Archive::makeForImport(bytes, name); });
                 });
}

bool importLibraryMembers(LinkContext& ctx, std::string& /*error*/) {
  const bool debug = static_cast<bool>(Debug("Linker::importLibraryMembers"));
  // Members are chosen first and handed over from their libraries at the end,
  // so that each library is gone through once however many members leave it.
  std::vector<std::pair<size_t, const Coff*>> imported;
  {
    UndefinedNames names(ctx.cArchive);
    // Every input's names are looked up side by side, each input's into its
    // own part of one array: the objects', taken at once in object order,
    // and every library member's before any is chosen (all were read, and
    // looked up side by side they cost less than the chosen ones' in turn).
    // Inputs are numbered objects first, then members library by library.
    std::vector<const Coff*> inputs;
    for (const auto& coff : ctx.cCoff) inputs.push_back(coff.get());
    const size_t objects = inputs.size();
    for (const auto& archive : ctx.cArchive)
      for (const auto& member : archive->cMembers) inputs.push_back(member.get());
    std::vector<size_t> first(inputs.size() + 1, 0);
    auto inputAt = [&inputs](size_t i) -> const Coff& { return *inputs[i]; };
    for (size_t i = 0; i < inputs.size(); ++i) {
      prefetchRecordsAheadOf(inputAt, inputs.size(), i, &Coff::cSymTbl);
      first[i + 1] = first[i] + inputs[i]->cSymTbl.size();
    }
    std::vector<uint32_t> marks(first.back());
    std::vector<size_t> made(inputs.size(), 0);
    inOrderUntilFailure(inputs.size(), [&](size_t i, unsigned) {
      prefetchAheadOf(inputAt, inputs.size(), i, &Coff::cSymTbl);
      made[i] = names.marks(*inputs[i], marks.data() + first[i]);
      return true;
    });
    auto join = [&](size_t i) {
      for (size_t k = first[i]; k < first[i] + made[i]; ++k) names.take(marks[k]);
    };
    for (size_t c = 0; c < objects; ++c) join(c);
    // A member's number from its address, for the members asked for.
    std::vector<std::pair<const Coff*, uint32_t>> numberOf;
    numberOf.reserve(inputs.size() - objects);
    for (size_t m = objects; m < inputs.size(); ++m) numberOf.emplace_back(inputs[m], static_cast<uint32_t>(m));
    std::sort(numberOf.begin(), numberOf.end());

    // The index and this import read a member's symbols alike, so a member
    // asked for a name defines it and is not asked again; should they ever
    // differ, the member still joins only once.
    std::vector<bool> joined(inputs.size(), false);
    uint32_t symbol = 0;
    while (names.next(symbol)) {
      const Coff* member = names.member(symbol);
      const size_t archive = names.archive(symbol);
      const auto at = std::lower_bound(numberOf.begin(), numberOf.end(), std::make_pair(member, uint32_t{0}));
      TARSIL_ASSERT(at != numberOf.end() && at->first == member);
      const uint32_t m = at->second;
      if (joined[m]) continue;
      joined[m] = true;
      if (debug)
        std::cout << "Linker::importLibraryMembers() - imported library '" << ctx.cArchive[archive]->cFileName
                  << "', member '" << member->cFileName << "' for symbol '" << names.text(symbol) << "'\n";
      join(m);
      imported.emplace_back(archive, member);
    }
  }

  std::vector<std::vector<const Coff*>> chosen(ctx.cArchive.size());
  for (const auto& [archive, member] : imported) chosen[archive].push_back(member);
  std::vector<std::vector<std::unique_ptr<Coff>>> taken(ctx.cArchive.size());
  for (size_t a = 0; a < ctx.cArchive.size(); ++a) {
    taken[a] = ctx.cArchive[a]->takeMembers(chosen[a]);
    // A member joins once: every name it defines is defined from then on.
    TARSIL_ASSERT(taken[a].size() == chosen[a].size());
  }
  std::vector<size_t> nextOf(ctx.cArchive.size(), 0);
  std::vector<std::unique_ptr<Coff>> joining;
  joining.reserve(imported.size());
  for (const auto& [archive, member] : imported) joining.push_back(std::move(taken[archive][nextOf[archive]++]));
  if (!decodeMembers(ctx, imported, joining)) return false;
  ctx.cCoff.reserve(ctx.cCoff.size() + imported.size());
  ctx.cMemberOf.resize(ctx.cCoff.size());
  for (size_t m = 0; m < joining.size(); ++m) {
    ctx.cCoff.push_back(std::move(joining[m]));
    ctx.cMemberOf.push_back(ctx.cArchive[imported[m].first]->cFileName);
  }
  return true;
}

bool verifyProcessor(LinkContext& ctx, std::string& error) {
  if (ctx.cCoff.empty()) {
    error = "no input object files specified.";
    return false;
  }

  // Every object's device code is checked before any is converted, wherever
  // the object stands: an unknown code is named as such, not taken for a
  // disagreement.
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cOptHdr, &Coff::cFileHdr);
    const auto& coff = ctx.cCoff[c];
    if (!isDvsProcTypeSupported(deviceCode(*coff))) {
      error = "Unsupported processor type in file '" + coff->cFileName + "'";
      return false;
    }
  }

  // The first device-specific object settles the device; when every object
  // is generic, the first one does.
  const Coff* settler = ctx.cCoff.front().get();
  for (const auto& coff : ctx.cCoff) {
    if (!isGeneric(*coff)) {
      settler = coff.get();
      break;
    }
  }
  ctx.cProcType = convertDvsProcType(deviceCode(*settler));
  ctx.cInstSet = getInstSet(ctx.cProcType);
  ctx.cRomWidthBits = getRomWidth(ctx.cProcType);
  ctx.cRamWidthBits = getRamWidth(ctx.cProcType);

  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cOptHdr, &Coff::cFileHdr);
    const auto& coff = ctx.cCoff[c];
    const int procType = convertDvsProcType(deviceCode(*coff));
    const bool agrees = isGeneric(*coff) ? getInstSet(procType) == ctx.cInstSet : procType == ctx.cProcType;
    if (!agrees) {
      error = "processor types do not agree across all input files.";
      return false;
    }
  }

  for (Memory& memory : ctx.cConfig.cCodePage) memory.setRangeWidths(ctx.cRomWidthBits);
  for (auto* banks : {&ctx.cConfig.cDataBanks, &ctx.cConfig.cShareBanks, &ctx.cConfig.cAccessBanks})
    for (Memory& memory : *banks) memory.setRangeWidths(ctx.cRamWidthBits);
  return true;
}

}  // namespace tarsil
