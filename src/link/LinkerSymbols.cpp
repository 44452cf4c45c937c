// SPDX-License-Identifier: Apache-2.0
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "coff/Prefetch.h"
#include "link/Passes.h"
#include "support/Debug.h"
#include "support/HexText.h"
#include "support/Strings.h"

namespace tarsil {

namespace {

// Symbol slots of a table, stepping over each symbol's auxiliary slots.
template <class Visit>
void forEachSymbol(std::vector<syment>& table, Visit visit) {
  for (size_t i = 0; i < table.size(); i += size_t{table[i].n_numaux} + 1) visit(i, table[i]);
}

// A string with its first eight bytes packed most significant first, so that
// sorting compares whole words and looks at the text only on a tie. Ties
// included, the order is the byte-wise order of the strings.
struct PrefixedString {
  uint64_t prefix;
  std::string_view text;

  static PrefixedString of(std::string_view s) { return {leadingBytes(s), s}; }
  bool operator<(const PrefixedString& other) const {
    return prefix != other.prefix ? prefix < other.prefix : text < other.text;
  }
};

}  // namespace

void mergeStringTbls(LinkContext& ctx) {
  const bool debug = static_cast<bool>(Debug("Linker::mergeStringTbls"));
  // Views into the inputs' tables, which stay put until every input has
  // been rewritten below. Each string knows its place among all inputs'
  // entries (input by input, each table in its offset order), so that the
  // new offsets reach the inputs without hashing a name a second time.
  struct Source {
    PrefixedString text;
    uint32_t place;
  };
  std::vector<Source> strings;
  std::vector<size_t> firstPlace(ctx.cCoff.size());
  size_t total = 0;
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    firstPlace[c] = total;
    total += ctx.cCoff[c]->cStrTbl.size();
  }
  strings.reserve(total);
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cStrTbl);
    for (const auto& entry : ctx.cCoff[c]->cStrTbl)
      strings.push_back({PrefixedString::of(entry.second), static_cast<uint32_t>(strings.size())});
  }
  std::sort(strings.begin(), strings.end(), [](const Source& a, const Source& b) { return a.text < b.text; });
  size_t distinct = 0;
  size_t bytes = 0;
  for (size_t i = 0; i < strings.size(); ++i)
    if (i == 0 || strings[i].text.text != strings[i - 1].text.text) {
      ++distinct;
      bytes += strings[i].text.text.size() + 1;
    }

  // The merged table is made whole and then taken over in one piece, so that
  // every input shares its one block.
  std::vector<uint32_t> newOffset(total);
  std::string merged;
  merged.reserve(bytes);
  uint32_t at = 0;
  for (size_t i = 0; i < strings.size(); ++i) {
    const std::string_view s = strings[i].text.text;
    if (i == 0 || s != strings[i - 1].text.text) {
      at = StringTable::firstOffset + static_cast<uint32_t>(merged.size());
      merged.append(s);
      merged.push_back('\0');
      if (debug)
        std::cout << "Linker::mergeStringTbls() - string '" << s << "' at offset " << hexText(at, 8) << "\n";
    }
    newOffset[strings[i].place] = at;
  }
  std::vector<Source>().swap(strings);
  ctx.cOutput.cStrTbl.assign(std::move(merged));
  ctx.cOutputStrTbl.clear();
  ctx.cOutputStrTbl.reserve(distinct);
  for (const auto& [offset, text] : ctx.cOutput.cStrTbl) ctx.cOutputStrTbl.emplace(text, static_cast<int>(offset));

  ctx.forEachInput([&](size_t c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cStrTbl, &Coff::cSymKind, &Coff::cScnHdr);
    Coff& coff = *ctx.cCoff[c];
    thread_local std::vector<std::pair<uint32_t, uint32_t>> moved;
    moved.clear();
    size_t entryPlace = firstPlace[c];
    for (const auto& entry : coff.cStrTbl) moved.emplace_back(entry.first, newOffset[entryPlace++]);
    moveStrings(coff, moved, ctx.cOutput.cStrTbl);
  });
}

void moveStrings(Coff& coff, const std::vector<std::pair<uint32_t, uint32_t>>& moved,
                         const StringTable& merged) {
  const bool debug = static_cast<bool>(Debug("Linker::replaceStringTbl"));
  auto newOffset = [&](uint32_t old, uint32_t& result) {
    auto it = std::lower_bound(moved.begin(), moved.end(), std::make_pair(old, uint32_t{0}));
    if (it == moved.end() || it->first != old) return false;
    result = it->second;
    return true;
  };

  uint32_t now = 0;
  for (auto& [name, hdr] : coff.cScnHdr)
    if (Coff::needsString(hdr) && newOffset(hdr.s_offset(), now)) hdr.set_s_offset(now);

  for (size_t i = 0; i < coff.cSymTbl.size(); ++i) {
    syment& slot = coff.cSymTbl[i];
    AuxKind kind = i < coff.cSymKind.size() ? coff.cSymKind[i] : AuxKind::none;
    if (kind == AuxKind::none) {
      if (Coff::needsString(slot) && newOffset(slot.n_offset(), now)) {
        if (debug)
          std::cout << "Linker::replaceStringTbl() - file '" << coff.cFileName << "', symbol offset "
                    << hexText(slot.n_offset(), 8) << " to " << hexText(now, 8) << "\n";
        slot.set_n_offset(now);
      }
    } else if (kind == AuxKind::file) {
      aux_file aux = getAux<aux_file>(slot);
      if (newOffset(aux.x_offset, now)) {
        aux.x_offset = now;
        setAux(slot, aux);
      }
    }
  }
  // Every input names its strings in the one merged table, whose bytes it
  // shares instead of holding a copy.
  coff.cStrTbl = merged;
}

void setupLinkerSymbols(LinkContext& ctx) {
  auto define = [&ctx](syment& sym, const char* name) {
    sym = syment{};
    std::memcpy(sym.n_name, name, std::min<size_t>(std::strlen(name), sizeof sym.n_name));
    sym.n_sclass = C_EXT;
    ctx.cExtSymDef[name] = &sym;
  };
  define(ctx.cCinitSym, "_cinit");
  define(ctx.cStackSym, "_stack");
  define(ctx.cStksizeSym, "_stksize");
}

namespace {

// The length of a name held in the 8-byte field, which a NUL ends when the
// name is shorter. Every symbol passes here, so the field is searched as one
// word where the byte order allows.
size_t inlineNameLength(const char (&field)[8]) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t w;
    std::memcpy(&w, field, sizeof w);
    // The lowest marked byte is the first NUL; marks above it may be false.
    const uint64_t zero = (w - 0x0101010101010101ull) & ~w & 0x8080808080808080ull;
    return zero == 0 ? sizeof field : static_cast<size_t>(std::countr_zero(zero) / 8);
  } else {
    size_t n = 0;
    while (n < sizeof field && field[n] != '\0') ++n;
    return n;
  }
}

// A symbol's name without copying it: the inline field, or the entry of the
// input's own string table. No value when the table lacks the offset.
std::optional<std::string_view> nameView(const Coff& coff, const syment& s) {
  if (!Coff::needsString(s)) return std::string_view(s.n_name, inlineNameLength(s.n_name));
  return coff.cStrTbl.at(s.n_offset());
}

bool longName(const Coff& coff, size_t index, const syment& sym, std::string_view& name, std::string& error) {
  auto found = nameView(coff, sym);
  if (!found) {
    error = "symbol " + std::to_string(index) + " in file '" + coff.cFileName + "' has no name in the string table.";
    return false;
  }
  name = *found;
  return true;
}

// Every external symbol passes here: inline names, the common case, are
// taken on the spot, and only a long name costs a search of the table.
inline bool externalName(const Coff& coff, size_t index, const syment& sym, std::string_view& name,
                         std::string& error) {
  if (!Coff::needsString(sym)) {
    name = std::string_view(sym.n_name, inlineNameLength(sym.n_name));
    return true;
  }
  return longName(coff, index, sym, name, error);
}

}  // namespace

bool buildExtSymDef(LinkContext& ctx, std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::buildExtSymDef"));
  // Sized once: growing would hash every name again at each step.
  size_t definitions = 3;
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cSymTbl);
    forEachSymbol(ctx.cCoff[c]->cSymTbl, [&](size_t, syment& sym) { definitions += Coff::isExtDefinition(sym) ? 1 : 0; });
  }
  ctx.cExtSymDef.reserve(ctx.cExtSymDef.size() + definitions);
  setupLinkerSymbols(ctx);
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchAhead(ctx.cCoff, c, &Coff::cSymTbl);
    const auto& coff = ctx.cCoff[c];
    bool ok = true;
    forEachSymbol(coff->cSymTbl, [&](size_t index, syment& sym) {
      if (!ok || !Coff::isExtDefinition(sym)) return;
      std::string_view name;
      if (!externalName(*coff, index, sym, name, error)) {
        ok = false;
        return;
      }
      auto [known, fresh] = ctx.cExtSymDef.emplace(name, &sym);
      if (!fresh) {
        error = duplicateDefinition(ctx, name, known->second, c);
        ok = false;
        return;
      }
      if (debug)
        std::cout << "Linker::buildExtSymDef() - symbol '" << name << "' defined in file '" << coff->cFileName
                  << "'\n";
    });
    if (!ok) return false;
  }
  return true;
}

bool buildExtRefDef(LinkContext& ctx, std::string& error) {
  const bool debug = static_cast<bool>(Debug("Linker::buildExtRefDef"));
  // The bindings are kept in the order the inputs' symbol tables lie in
  // memory, so that they come out sorted by reference and stand as they are
  // made rather than sorted. Sorted by address as a number, next to the
  // input's position, so that a comparison reads neither the input nor its
  // table. Each input gets room for all its references in one vector and
  // fills its own part, side by side with the others; section references
  // leave gaps, closed afterwards.
  std::vector<size_t> first(ctx.cCoff.size() + 1, 0);
  std::vector<std::pair<uintptr_t, uint32_t>> order(ctx.cCoff.size());
  for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
    prefetchRecordsAhead(ctx.cCoff, c, &Coff::cSymTbl);
    order[c] = {reinterpret_cast<uintptr_t>(ctx.cCoff[c]->cSymTbl.data()), static_cast<uint32_t>(c)};
  }
  std::sort(order.begin(), order.end());
  size_t room = 0;
  auto inOrder = [&](size_t k) -> const Coff& { return *ctx.cCoff[order[k].second]; };
  for (size_t k = 0; k < order.size(); ++k) {
    prefetchAheadOf(inOrder, order.size(), k, &Coff::cSymTbl);
    const uint32_t c = order[k].second;
    first[c] = room;
    forEachSymbol(ctx.cCoff[c]->cSymTbl, [&](size_t, syment& sym) { room += Coff::isExtReference(sym) ? 1 : 0; });
  }
  std::vector<ExtRefBindings::value_type> bindings(room);
  std::vector<size_t> made(ctx.cCoff.size(), 0);

  // The failure reported is the one met first in input order.
  const bool ok = ctx.forEachInputUntilFailure(
      [&](size_t c, std::string& failure) {
        const Coff& coff = *ctx.cCoff[c];
        size_t next = first[c];
        bool found = true;
        forEachSymbol(ctx.cCoff[c]->cSymTbl, [&](size_t index, syment& sym) {
          if (!found || !Coff::isExtReference(sym)) return;
          std::string_view name;
          if (!externalName(coff, index, sym, name, failure)) {
            found = false;
            return;
          }
          // A section reference is bound to its section once sections are placed.
          if (!name.empty() && name[0] == '.') return;
          auto def = ctx.cExtSymDef.find(name);
          if (def == ctx.cExtSymDef.end()) {
            failure =
                "could not find definition of symbol '" + std::string(name) + "' in file '" + coff.cFileName + "'.";
            found = false;
            return;
          }
          bindings[next++] = {&sym, def->second};
          if (debug)
            std::cout << "Linker::buildExtRefDef() - reference to symbol '" << name << "' in file '"
                      << coff.cFileName << "' bound\n";
        });
        made[c] = next - first[c];
        return found;
      },
      error);
  if (!ok) return false;

  std::vector<ExtRefBindings::Run> runs;
  runs.reserve(ctx.cCoff.size());
  size_t kept = 0;
  for (const auto& [address, c] : order) {
    const auto from = bindings.begin() + static_cast<std::ptrdiff_t>(first[c]);
    std::copy(from, from + static_cast<std::ptrdiff_t>(made[c]), bindings.begin() + static_cast<std::ptrdiff_t>(kept));
    runs.push_back({kept, made[c]});
    kept += made[c];
  }
  bindings.resize(kept);
  ctx.cExtRefDef.assign(std::move(bindings), std::move(runs));
  return true;
}

}  // namespace tarsil
