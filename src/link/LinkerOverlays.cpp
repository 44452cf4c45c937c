// Overlaid static activation records: which functions can be active at the
// same time, and the packing of their records into data memory so that only
// records of functions that can never be active together share bytes.
#include <algorithm>
#include <bit>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <span>
#include <unordered_map>

#include "link/Linker.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Error.h"

namespace tarsil {

namespace {

// The closure keeps one bit row per strongly connected component while it
// runs; beyond this many 64-bit words the program is far outside anything
// these targets can hold, and refusing it beats exhausting the host.
constexpr size_t kMaxClosureWords = size_t(1) << 25;  // 256 MiB

std::string symbolName(const Coff& coff, const syment& s) {
  std::optional<std::string> name = Coff::findName(s, coff.cStrTbl);
  return name ? *name : std::string();
}

// The function's own aux_fcn record, when its first auxiliary slot holds one.
std::optional<aux_fcn> fcnAux(const Coff& coff, size_t index) {
  const syment& s = coff.cSymTbl[index];
  if (s.n_numaux == 0 || index + 1 >= coff.cSymTbl.size()) return std::nullopt;
  if (index + 1 < coff.cSymKind.size() && coff.cSymKind[index + 1] != AuxKind::fcn) return std::nullopt;
  return getAux<aux_fcn>(coff.cSymTbl[index + 1]);
}

bool isFunctionDefinition(const Coff& coff, size_t index) {
  if (index < coff.cSymKind.size() && coff.cSymKind[index] != AuxKind::none) return false;
  const syment& s = coff.cSymTbl[index];
  return isFcn(s) && !Coff::isExtReference(s);
}

[[noreturn]] void programError(const std::string& where, const std::string& message) {
  Error::report(Error::error, where, message, false);
  Error::terminate(-1);
}

std::string hex8(unsigned long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "0x%08lx", value);
  return buf;
}

// Symbols numbered by first appearance, found through an open-addressed
// table: the call graph of a large program has tens of thousands of nodes,
// and a node-based hash would allocate for each.
class NodeIndex {
public:
  explicit NodeIndex(size_t expected) {
    size_t capacity = 16;
    while (capacity < 2 * expected) capacity *= 2;
    cSlots.assign(capacity, Slot{nullptr, 0});
  }
  // The number of `s`, given `number` when it is new.
  std::pair<uint32_t, bool> insert(const syment* s, uint32_t number) {
    if (2 * (cCount + 1) > cSlots.size()) grow();
    Slot& slot = find(s);
    if (slot.sym != nullptr) return {slot.number, false};
    slot = Slot{s, number};
    ++cCount;
    return {number, true};
  }
  uint32_t at(const syment* s) const {
    const Slot& slot = const_cast<NodeIndex*>(this)->find(s);
    TARSIL_ASSERT(slot.sym != nullptr);
    return slot.number;
  }

private:
  struct Slot {
    const syment* sym;
    uint32_t number;
  };
  Slot& find(const syment* s) {
    const size_t mask = cSlots.size() - 1;
    size_t i = size_t((reinterpret_cast<std::uintptr_t>(s) >> 3) * 0x9E3779B97F4A7C15ull >> 20) & mask;
    while (cSlots[i].sym != nullptr && cSlots[i].sym != s) i = (i + 1) & mask;
    return cSlots[i];
  }
  void grow() {
    std::vector<Slot> old(cSlots.size() * 2, Slot{nullptr, 0});
    old.swap(cSlots);
    for (const Slot& slot : old)
      if (slot.sym != nullptr) find(slot.sym) = slot;
  }
  std::vector<Slot> cSlots;
  size_t cCount = 0;
};

}  // namespace

// ---- Interference ----------------------------------------------------------

bool Linker::Interference::reaches(const syment* f, const syment* g) const {
  auto rf = cRow.find(f);
  auto rg = cRow.find(g);
  if (rf == cRow.end() || rg == cRow.end()) return false;
  uint32_t col = rg->second;
  return (cBits[size_t(rf->second) * cWords + col / 64] >> (col % 64)) & 1;
}

bool Linker::Interference::interferes(const syment* a, const syment* b) const {
  if (cRow.count(a) == 0 || cRow.count(b) == 0) return true;
  return a == b || reaches(a, b) || reaches(b, a);
}

void Linker::Interference::clear() {
  cRow.clear();
  cBits.clear();
  cConflict.clear();
  cWords = 0;
}

// ---- Call graph ------------------------------------------------------------

bool Linker::actRecScnExists() {
  for (const auto& coff : cCoff) {
    for (size_t i = 0; i < coff->cSymTbl.size(); i += 1 + coff->cSymTbl[i].n_numaux) {
      if (!isFunctionDefinition(*coff, i)) continue;
      std::optional<aux_fcn> aux = fcnAux(*coff, i);
      if (aux && aux->x_actscnum != 0) return true;
    }
  }
  return false;
}

void Linker::propagateInterruptCalls(std::set<const syment*>& visited, const CallGraph& snapshot, const syment* f,
                                     const std::vector<const syment*>& roots) {
  // Call chains can be as deep as the program is long; an explicit stack
  // keeps a hostile chain from exhausting the host's.
  std::vector<const syment*> pending{f};
  if (!visited.insert(f).second) return;
  while (!pending.empty()) {
    const syment* g = pending.back();
    pending.pop_back();
    cCallGraph[g].insert(roots.begin(), roots.end());
    auto callees = snapshot.find(g);
    if (callees == snapshot.end()) continue;
    for (const syment* callee : callees->second)
      if (visited.insert(callee).second) pending.push_back(callee);
  }
}

void Linker::buildCallGraph() {
  bool indirectCall = false;
  // Node names serve only the debug listings; a large program should not
  // pay for a copy of every name in a second map.
  const bool named = bool(Debug("Linker::buildCallGraph")) || bool(Debug("Linker::buildInterferenceGraph"));
  cRecordOwners.clear();
  for (size_t c = 0; c < cCoff.size(); ++c) {
    const auto& coff = cCoff[c];
    const std::vector<syment>& table = coff->cSymTbl;
    // One input's symbols lie in one array, in ascending address order, so
    // each function's node goes right after the previous one's: the hint
    // spares a search of the whole graph.
    CallGraph::iterator hint = cCallGraph.end();
    for (size_t i = 0; i < table.size(); i += 1 + table[i].n_numaux) {
      if (!isFunctionDefinition(*coff, i)) continue;
      Func func;
      func.cSym = &table[i];
      func.cName = symbolName(*coff, table[i]);
      std::optional<aux_fcn> aux = fcnAux(*coff, i);
      func.cHasActRec = aux && aux->x_actscnum != 0;
      if (func.cHasActRec) cRecordOwners.emplace_back(c, i);
      if (named) cCallNodeName.emplace(func.cSym, func.cName);
      hint = cCallGraph.try_emplace(hint, func.cSym);
      std::set<const syment*>& callees = hint->second;
      ++hint;

      size_t last = std::min(table.size() - 1, i + table[i].n_numaux);
      for (size_t j = i + 2; j <= last; ++j) {
        if (j < coff->cSymKind.size() && coff->cSymKind[j] != AuxKind::fcn_calls) continue;
        aux_fcn_calls call = getAux<aux_fcn_calls>(table[j]);
        if (call.x_is_interrupt != 0) {
          func.cInterrupt = call.x_is_interrupt;
          continue;
        }
        if (call.x_calleendx == NO_CALLEE) {
          indirectCall = true;
          continue;
        }
        if (call.x_calleendx >= table.size()) continue;  // verify() refuses such an object
        const syment* callee = &table[call.x_calleendx];
        std::string calleeName = named ? symbolName(*coff, *callee) : std::string();
        if (Coff::isExtReference(*callee)) {
          auto def = cExtRefDef.find(callee);
          if (def != cExtRefDef.end() && def->second) callee = def->second;
        }
        if (named) cCallNodeName.emplace(callee, calleeName);
        callees.insert(callee);
      }
      cFuncs.push_back(std::move(func));
    }
  }
  cRecordOwnersKnown = true;

  const Func* mainFunc = nullptr;
  for (const Func& f : cFuncs)
    if (f.cName == "main") {
      mainFunc = &f;
      break;
    }
  if (!mainFunc) programError("Linker::buildCallGraph", "unable to resolve symbol 'main'");

  // Handlers become callees of everything they can interrupt. Each walk runs
  // over the graph as it was before any handler edge, so one handler's edges
  // never carry another handler further.
  std::vector<const syment*> class1, class2, handlers;
  for (const Func& f : cFuncs) {
    if (f.cInterrupt == 1) class1.push_back(f.cSym);
    if (f.cInterrupt == 2) class2.push_back(f.cSym);
  }
  handlers = class1;
  handlers.insert(handlers.end(), class2.begin(), class2.end());
  if (!handlers.empty()) {
    const CallGraph snapshot = cCallGraph;
    std::set<const syment*> visited;
    propagateInterruptCalls(visited, snapshot, mainFunc->cSym, handlers);
    // Any class-2 handler may interrupt whatever a class-1 handler runs; one
    // visited set serves all class-1 handlers because each adds the same
    // callees.
    if (!class2.empty()) {
      visited.clear();
      for (const syment* h1 : class1) propagateInterruptCalls(visited, snapshot, h1, class2);
    }
  }

  if (Debug("Linker::buildCallGraph")) {
    std::cout << "***** Call Graph *****\n";
    for (const Func& f : cFuncs) {
      std::cout << "'" << f.cName << "' calls\n";
      for (const syment* callee : cCallGraph[f.cSym]) std::cout << "    '" << cCallNodeName[callee] << "'\n";
    }
  }

  if (indirectCall)
    programError("Linker::buildCallGraph",
                 "higher order function calls not supported yet in the presence of the overlay storage class");
}

// ---- Interference graph ----------------------------------------------------

void Linker::buildInterferenceGraph() {
  // Nodes: every function, then every callee that is not one (a data symbol
  // or an unresolved reference still takes part in the closure).
  NodeIndex index(cFuncs.size() + cCallGraph.size());
  std::vector<const syment*> nodes;
  auto nodeOf = [&](const syment* s) {
    auto [number, inserted] = index.insert(s, uint32_t(nodes.size()));
    if (inserted) nodes.push_back(s);
    return number;
  };
  for (const Func& f : cFuncs) nodeOf(f.cSym);
  std::size_t edgeCount = 0;
  for (const auto& [f, callees] : cCallGraph) {
    nodeOf(f);
    for (const syment* g : callees) nodeOf(g);
    edgeCount += callees.size();
  }
  const size_t n = nodes.size();

  // Edges by caller, laid out flat: each caller's callees in set order.
  std::vector<uint32_t> edgeStart(n + 1, 0), edges(edgeCount);
  for (const auto& [f, callees] : cCallGraph) edgeStart[index.at(f) + 1] = uint32_t(callees.size());
  for (size_t v = 0; v < n; ++v) edgeStart[v + 1] += edgeStart[v];
  for (const auto& [f, callees] : cCallGraph) {
    uint32_t at = edgeStart[index.at(f)];
    for (const syment* g : callees) edges[at++] = index.at(g);
  }

  // Strongly connected components, iteratively; they come out callees first,
  // which is the order the closure needs. Component c's members are
  // compMembers[compStart[c], compStart[c + 1]).
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<uint32_t> order(n, kNone), low(n, 0), comp(n, kNone), stack;
  std::vector<std::pair<uint32_t, uint32_t>> dfs;  // node, next edge
  std::vector<uint32_t> compMembers, compStart{0};
  compMembers.reserve(n);
  uint32_t counter = 0;
  for (uint32_t root = 0; root < n; ++root) {
    if (order[root] != kNone) continue;
    dfs.emplace_back(root, edgeStart[root]);
    order[root] = low[root] = counter++;
    stack.push_back(root);
    while (!dfs.empty()) {
      auto& [v, next] = dfs.back();
      if (next < edgeStart[v + 1]) {
        uint32_t w = edges[next++];
        if (order[w] == kNone) {
          order[w] = low[w] = counter++;
          stack.push_back(w);
          dfs.emplace_back(w, edgeStart[w]);
        } else if (comp[w] == kNone) {
          low[v] = std::min(low[v], order[w]);
        }
        continue;
      }
      uint32_t done = v;
      dfs.pop_back();
      if (!dfs.empty()) low[dfs.back().first] = std::min(low[dfs.back().first], low[done]);
      if (low[done] != order[done]) continue;
      const uint32_t c = uint32_t(compStart.size() - 1);
      uint32_t w;
      do {
        w = stack.back();
        stack.pop_back();
        comp[w] = c;
        compMembers.push_back(w);
      } while (w != done);
      compStart.push_back(uint32_t(compMembers.size()));
    }
  }
  const size_t compCount = compStart.size() - 1;
  auto members = [&](size_t c) {
    return std::span<const uint32_t>(compMembers.data() + compStart[c], compStart[c + 1] - compStart[c]);
  };

  // A function reaches itself when its component is a cycle or it calls
  // itself directly.
  std::vector<bool> cyclic(compCount, false);
  for (size_t c = 0; c < compCount; ++c) {
    if (members(c).size() > 1) cyclic[c] = true;
    else {
      uint32_t v = members(c)[0];
      for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e)
        if (edges[e] == v) cyclic[c] = true;
    }
  }
  for (const Func& f : cFuncs)
    if (f.cHasActRec && cyclic[comp[index.at(f.cSym)]])
      programError("Linker::buildInterferenceGraph",
                   "Recursion not supported for functions with locals of \"overlay\" storage class: " + f.cName);

  // Columns: the functions with records, the only ones packing asks about.
  cInterferenceGraph.clear();
  std::vector<uint32_t> column(n, kNone);
  std::vector<const syment*> owners;
  for (const Func& f : cFuncs) {
    if (!f.cHasActRec) continue;
    uint32_t v = index.at(f.cSym);
    if (column[v] != kNone) continue;
    column[v] = uint32_t(owners.size());
    owners.push_back(f.cSym);
  }
  const size_t words = (owners.size() + 63) / 64;
  if (words != 0 && compCount > kMaxClosureWords / words)
    programError("Linker::buildInterferenceGraph",
                 "the call graph is too large for overlaid activation records (" + std::to_string(n) +
                     " functions, " + std::to_string(owners.size()) + " with records)");

  // Each component's row holds every record function it reaches or contains.
  std::vector<uint64_t> rows(compCount * words, 0);
  std::vector<uint32_t> seen(compCount, kNone);
  for (uint32_t c = 0; c < compCount; ++c) {
    uint64_t* row = rows.data() + size_t(c) * words;
    for (uint32_t v : members(c)) {
      if (column[v] != kNone) row[column[v] / 64] |= uint64_t(1) << (column[v] % 64);
      for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e) {
        uint32_t d = comp[edges[e]];
        if (d == c || seen[d] == c) continue;
        seen[d] = c;
        const uint64_t* from = rows.data() + size_t(d) * words;
        for (size_t k = 0; k < words; ++k) row[k] |= from[k];
      }
    }
  }

  cInterferenceGraph.cWords = words;
  cInterferenceGraph.cBits.assign(owners.size() * words, 0);
  for (uint32_t r = 0; r < owners.size(); ++r) {
    uint32_t v = index.at(owners[r]);
    std::copy_n(rows.data() + size_t(comp[v]) * words, words, cInterferenceGraph.cBits.data() + size_t(r) * words);
    // Recursion was refused above, so no record function reaches itself.
    cInterferenceGraph.cBits[size_t(r) * words + r / 64] &= ~(uint64_t(1) << (r % 64));
    cInterferenceGraph.cRow.emplace(owners[r], r);
  }

  // The same over the reversed graph gives who reaches each component;
  // callers come later in the order above, so it runs backwards.
  {
    std::vector<uint32_t> inStart(n + 1, 0), inEdges(edges.size());
    for (uint32_t w : edges) ++inStart[w + 1];
    for (size_t v = 0; v < n; ++v) inStart[v + 1] += inStart[v];
    std::vector<uint32_t> fill(inStart.begin(), inStart.end() - 1);
    for (uint32_t v = 0; v < n; ++v)
      for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e) inEdges[fill[edges[e]]++] = v;
    std::fill(rows.begin(), rows.end(), 0);
    std::fill(seen.begin(), seen.end(), kNone);
    for (uint32_t c = uint32_t(compCount); c-- > 0;) {
      uint64_t* row = rows.data() + size_t(c) * words;
      for (uint32_t v : members(c)) {
        if (column[v] != kNone) row[column[v] / 64] |= uint64_t(1) << (column[v] % 64);
        for (uint32_t e = inStart[v]; e < inStart[v + 1]; ++e) {
          uint32_t d = comp[inEdges[e]];
          if (d == c || seen[d] == c) continue;
          seen[d] = c;
          const uint64_t* from = rows.data() + size_t(d) * words;
          for (size_t k = 0; k < words; ++k) row[k] |= from[k];
        }
      }
    }
  }
  cInterferenceGraph.cConflict = cInterferenceGraph.cBits;
  for (uint32_t r = 0; r < owners.size(); ++r) {
    const uint64_t* from = rows.data() + size_t(comp[index.at(owners[r])]) * words;
    uint64_t* to = cInterferenceGraph.cConflict.data() + size_t(r) * words;
    for (size_t k = 0; k < words; ++k) to[k] |= from[k];
    to[r / 64] &= ~(uint64_t(1) << (r % 64));
  }

  if (Debug("Linker::buildInterferenceGraph")) {
    // The full closure over every node, for the reader only.
    std::cout << "***** Interference Graph *****\n";
    std::vector<uint32_t> mark(n, kNone), pending;
    for (const Func& f : cFuncs) {
      uint32_t start = index.at(f.cSym);
      std::cout << "'" << f.cName << "' interferes with\n";
      pending.assign(1, start);
      std::vector<uint32_t> reached;
      while (!pending.empty()) {
        uint32_t v = pending.back();
        pending.pop_back();
        for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e) {
          uint32_t w = edges[e];
          if (mark[w] == start) continue;
          mark[w] = start;
          reached.push_back(w);
          pending.push_back(w);
        }
      }
      std::sort(reached.begin(), reached.end());
      for (uint32_t w : reached) std::cout << "    '" << cCallNodeName[nodes[w]] << "'\n";
    }
  }
}

// ---- Record map ------------------------------------------------------------

void Linker::buildScnActivationRecordMap() {
  // The call graph has already found, in this same order, every function
  // that owns a record; without it the symbol tables are walked again.
  if (!cRecordOwnersKnown) {
    cRecordOwners.clear();
    for (size_t c = 0; c < cCoff.size(); ++c) {
      const Coff& coff = *cCoff[c];
      for (size_t i = 0; i < coff.cSymTbl.size(); i += 1 + coff.cSymTbl[i].n_numaux) {
        if (!isFunctionDefinition(coff, i)) continue;
        std::optional<aux_fcn> aux = fcnAux(coff, i);
        if (aux && aux->x_actscnum != 0) cRecordOwners.emplace_back(c, i);
      }
    }
  }
  for (const auto& [c, i] : cRecordOwners) {
    const auto& coff = cCoff[c];
    const std::vector<syment>& table = coff->cSymTbl;
    {
      std::optional<aux_fcn> aux = fcnAux(*coff, i);
      auto scn = coff->cScnNum.find(aux->x_actscnum);
      if (scn == coff->cScnNum.end()) {
        Error::report(Error::error, "Linker::buildScnActivationRecordMap",
                      "Coff file '" + coff->cFileName + "' symbol[" + std::to_string(i + 1) +
                          "] has an invalid x_actscnum.",
                      false);
        Error::terminate(1);
      }
      cScnActRec[scn->second] = &table[i];
    }
  }
}

void Linker::releaseCallGraphs() {
  // Swapped out rather than cleared, so that the memory really goes.
  CallGraph().swap(cCallGraph);
  std::vector<Func>().swap(cFuncs);
  std::map<const syment*, std::string>().swap(cCallNodeName);
  std::vector<std::pair<size_t, size_t>>().swap(cRecordOwners);
  cRecordOwnersKnown = false;
  Interference().swap(cInterferenceGraph);
}

// ---- Packing ---------------------------------------------------------------

bool Linker::allocateActUnassigned(ActRecSet& records, std::vector<Memory>& mems, std::string& err) {
  // Looked up once: the packing loop is hot.
  const bool debug = bool(Debug("Linker::allocateActUnassigned"));
  if (debug) std::cout << "***** Static Activation Record Allocation *****\n";

  // Row of each record's owner in the interference bits; kNoRow when the
  // owner is unknown, which makes the record interfere with every other.
  constexpr uint32_t kNoRow = UINT32_MAX;
  auto rowOf = [&](const std::string& name) {
    auto owner = cScnActRec.find(name);
    if (owner == cScnActRec.end()) return kNoRow;
    auto row = cInterferenceGraph.cRow.find(owner->second);
    return row == cInterferenceGraph.cRow.end() ? kNoRow : row->second;
  };
  const size_t words = cInterferenceGraph.cWords;
  const std::vector<uint64_t>& conflict = cInterferenceGraph.cConflict;
  auto interfere = [&](uint32_t a, uint32_t b) {
    if (a == kNoRow || b == kNoRow || a == b) return true;
    return ((conflict[size_t(a) * words + b / 64] >> (b % 64)) & 1) != 0;
  };

  std::multiset<MemorySize, bool (*)(const MemorySize&, const MemorySize&)> holes(memsize_less);
  for (Memory& mem : mems) {
    if (mem.isProtected()) continue;
    unsigned long size = mem.largestHole();
    if (size != 0) holes.insert({&mem, size});
  }
  if (debug) {
    std::cout << "Available holes:\n";
    for (const MemorySize& h : holes)
      std::cout << "    memory id: " << h.first->getName() << ", size (in bytes): " << h.second << "\n";
  }

  struct Placed {
    unsigned long offset;
    unsigned long size;
    uint32_t row;
  };
  // The records of the current hole. Each owner's row has a bit in
  // placedMask, so a record's conflicts are its conflict row and the mask;
  // records without a row of their own (unknown owner, or a second record
  // of one owner) are few and are tested one by one.
  std::vector<Placed> placed;
  std::vector<uint64_t> placedMask(words, 0);
  std::vector<uint32_t> placedAt(cInterferenceGraph.cRow.size(), UINT32_MAX);
  std::vector<uint32_t> irregular;
  std::vector<std::pair<unsigned long, unsigned long>> hits;  // offset, size
  while (!records.empty()) {
    auto next = std::prev(records.end());
    if (holes.empty()) {
      if (debug) std::cout << "Record cannot be allocated.  Aborting.\n";
      err = "section '" + next->first + "' can not fit the section. Section '" + next->first +
            "' length=" + hex8(next->second);
      return false;
    }
    if (debug) std::cout << "Choosing current hole in which to allocate...\n";
    auto hole = std::prev(holes.end());
    Memory* mem = hole->first;
    const unsigned long holeSize = hole->second;
    if (debug) std::cout << "Current hole: memory id: " << mem->getName() << ", size (in bytes): " << holeSize << "\n";

    for (const Placed& p : placed)
      if (p.row != kNoRow) {
        placedMask[p.row / 64] = 0;
        placedAt[p.row] = UINT32_MAX;
      }
    placed.clear();
    irregular.clear();
    ActRecOffsets group;
    unsigned long used = 0;
    while (!records.empty()) {
      next = std::prev(records.end());
      const std::string& name = next->first;
      const unsigned long size = next->second;
      const uint32_t row = rowOf(name);
      if (debug) {
        std::cout << "Trying to allocate act rec: section id : " << name << ", size: " << size << "\n";
        std::cout << "Trying to allocate at offset 0...\n";
      }
      // The lowest offset clear of every interfering record. Moving past
      // each conflict in offset order reaches it: the candidate only grows,
      // so no record passed can be in the way again.
      unsigned long offset = 0;
      if (size != 0) {
        hits.clear();
        if (row == kNoRow) {
          for (const Placed& p : placed) hits.emplace_back(p.offset, p.size);
        } else {
          const uint64_t* mine = conflict.data() + size_t(row) * words;
          for (size_t k = 0; k < words; ++k) {
            for (uint64_t m = mine[k] & placedMask[k]; m != 0; m &= m - 1) {
              const Placed& p = placed[placedAt[k * 64 + size_t(std::countr_zero(m))]];
              hits.emplace_back(p.offset, p.size);
            }
          }
          for (uint32_t i : irregular)
            if (interfere(row, placed[i].row)) hits.emplace_back(placed[i].offset, placed[i].size);
        }
        std::sort(hits.begin(), hits.end());
        for (const auto& [at, length] : hits) {
          if (at >= offset + size) break;
          if (length == 0 || at + length <= offset) continue;
          offset = at + length;
          if (debug) {
            std::cout << "Testing for conflicts with already allocated act rec: offset: " << at
                      << ", size: " << length << "\n";
            std::cout << "Failure!  Records overlap and cannot be overlaid.\n";
            std::cout << "Trying to allocate at offset " << offset << "\n";
          }
        }
      }
      if (offset + size > holeSize) {
        if (debug) std::cout << "No more room in current hole.\n";
        break;
      }
      if (debug) std::cout << "Success!  Allocated at offset " << offset << "\n";
      uint32_t at = uint32_t(placed.size());
      placed.push_back({offset, size, row});
      if (row != kNoRow && placedAt[row] == UINT32_MAX) {
        placedAt[row] = at;
        placedMask[row / 64] |= uint64_t(1) << (row % 64);
      } else {
        irregular.push_back(at);
      }
      group.emplace(name, offset);
      cScnMem[name] = mem;
      used = std::max(used, offset + size);
      records.erase(next);
    }

    if (group.empty()) {
      if (debug) std::cout << "Record cannot be allocated.  Aborting.\n";
      next = std::prev(records.end());
      err = "section '" + next->first + "' can not fit the section. Section '" + next->first +
            "' length=" + hex8(next->second);
      return false;
    }
    mem->allocateActRecs(group, used);
    if (debug) std::cout << "Removing current hole from set of available holes.\n";
    holes.erase(hole);
    if (unsigned long size = mem->largestHole(); size != 0) {
      if (debug) std::cout << "Adding available hole: memory id: " << mem->getName() << ", size (in bytes): " << size << "\n";
      holes.insert({mem, size});
    }
  }
  return true;
}

}  // namespace tarsil
