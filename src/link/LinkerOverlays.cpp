// SPDX-License-Identifier: Apache-2.0
// Overlaid static activation records: which functions can be active at the
// same time, and the packing of their records into data memory so that only
// records of functions that can never be active together share bytes.
#include <algorithm>
#include <bit>
#include <iostream>
#include <iterator>
#include <optional>
#include <span>

#include "coff/Prefetch.h"
#include "link/Linker.h"
#include "support/Assert.h"
#include "support/Debug.h"
#include "support/Error.h"
#include "support/HexText.h"

namespace tarsil {

namespace {

// The closure keeps one bit row per strongly connected component while it
// runs, and leaves two rows per record function (what it reaches, what it
// conflicts with) that live on with it. Beyond this many 64-bit words for
// all of them together the program is far outside anything these targets
// can hold, and refusing it beats exhausting the host: one bit per pair of
// functions lets an input of a megabyte or two ask for gigabytes.
constexpr size_t kMaxClosureWords = size_t(1) << 25;  // 256 MiB

std::string symbolName(const Coff& coff, const syment& s) {
  std::optional<std::string> name = Coff::findName(s, coff.cStrTbl);
  return name ? *name : std::string();
}

// The function's own aux_fcn record: its first auxiliary slot, whatever kind
// the reader gave it. A function whose type also makes it an array (one
// returning a pointer to an array) has its slot read as an array's, yet it is
// a function all the same.
std::optional<aux_fcn> fcnAux(const Coff& coff, size_t index) {
  const syment& s = coff.cSymTbl[index];
  if (s.n_numaux == 0 || index + 1 >= coff.cSymTbl.size()) return std::nullopt;
  if (index + 1 < coff.cSymKind.size() && coff.cSymKind[index + 1] == AuxKind::none) return std::nullopt;
  return getAux<aux_fcn>(coff.cSymTbl[index + 1]);
}

// Calls `visit(index)` for every function definition of `coff`, in symbol
// order, until it returns false. The walk passes every symbol of every
// input, so the cheapest tests come first.
template <class Visit>
bool forEachFunctionDefinition(const Coff& coff, Visit&& visit) {
  const syment* table = coff.cSymTbl.data();
  const size_t count = coff.cSymTbl.size();
  const AuxKind* kind = coff.cSymKind.data();
  const size_t kinds = coff.cSymKind.size();
  for (size_t i = 0; i < count; i += 1 + table[i].n_numaux) {
    const syment& s = table[i];
    if (Coff::isExtReference(s) || !isFcn(s)) continue;
    if (i < kinds && kind[i] != AuxKind::none) continue;
    if (!visit(i)) return false;
  }
  return true;
}

[[noreturn]] void programError(const std::string& where, const std::string& message) {
  Error::report(Error::error, where, message, false);
  Error::terminate(-1);
}

}  // namespace

// ---- Interference ----------------------------------------------------------

namespace {

template <class Pairs>
auto findBySymbol(const Pairs& pairs, const syment* s) {
  auto it = std::lower_bound(pairs.begin(), pairs.end(), s,
                             [](const auto& entry, const syment* key) { return entry.first < key; });
  return it != pairs.end() && it->first == s ? it : pairs.end();
}

}  // namespace

uint32_t Linker::Interference::row(const syment* f) const {
  auto it = findBySymbol(cRow, f);
  return it == cRow.end() ? UINT32_MAX : it->second;
}

bool Linker::Interference::reaches(const syment* f, const syment* g) const {
  uint32_t rf = row(f), rg = row(g);
  if (rf == UINT32_MAX || rg == UINT32_MAX) return false;
  return (cBits[size_t(rf) * cWords + rg / 64] >> (rg % 64)) & 1;
}

bool Linker::Interference::interferes(const syment* a, const syment* b) const {
  if (row(a) == UINT32_MAX || row(b) == UINT32_MAX) return true;
  return a == b || reaches(a, b) || reaches(b, a);
}

void Linker::Interference::clear() {
  cRow.clear();
  cBits.clear();
  cConflict.clear();
  cWords = 0;
}

// ---- Call graph ------------------------------------------------------------

uint32_t Linker::CallGraph::find(const syment* s) const {
  auto it = findBySymbol(cBySymbol, s);
  return it == cBySymbol.end() ? kNone : it->second;
}

std::vector<const syment*> Linker::CallGraph::calleesOf(const syment* f) const {
  uint32_t v = find(f);
  if (v == kNone) return {};
  std::vector<uint32_t> reached;
  for (uint32_t w : callees(v)) {
    if (cNodes[w] != nullptr) reached.push_back(w);
    else
      for (uint32_t h : callees(w)) reached.push_back(h);
  }
  std::sort(reached.begin(), reached.end());
  reached.erase(std::unique(reached.begin(), reached.end()), reached.end());
  std::vector<const syment*> out;
  out.reserve(reached.size());
  for (uint32_t w : reached) out.push_back(cNodes[w]);
  return out;
}

bool Linker::actRecScnExists() {
  for (const auto& coff : cCoff) {
    bool none = forEachFunctionDefinition(*coff, [&](size_t i) {
      std::optional<aux_fcn> aux = fcnAux(*coff, i);
      return !(aux && aux->x_actscnum != 0);
    });
    if (!none) return true;
  }
  return false;
}

void Linker::propagateInterruptCalls(std::vector<uint8_t>& visited, uint32_t f, uint8_t mark) const {
  // Call chains can be as deep as the program is long; an explicit stack
  // keeps a hostile chain from exhausting the host's.
  if (visited[f] & mark) return;
  visited[f] |= mark;
  std::vector<uint32_t> pending{f};
  while (!pending.empty()) {
    uint32_t g = pending.back();
    pending.pop_back();
    for (uint32_t callee : cCallGraph.callees(g))
      if (!(visited[callee] & mark)) {
        visited[callee] |= mark;
        pending.push_back(callee);
      }
  }
}

void Linker::buildCallGraph() {
  bool indirectCall = false;
  // Node names serve only the debug listings; a large program should not
  // pay for a copy of every name in a second map.
  const bool named = bool(Debug("Linker::buildCallGraph")) || bool(Debug("Linker::buildInterferenceGraph"));
  cRecordOwners.clear();
  cFuncs.clear();
  CallGraph().swap(cCallGraph);

  // A function without a record, a call or an interrupt class is a node no
  // path leads out of; when something calls it, it enters the graph as a
  // callee like any other symbol. Most functions of a large program are
  // such leaves, so only the others are kept.
  std::vector<std::pair<uint32_t, const syment*>> calls;  // (caller in cFuncs, callee), by caller
  bool haveMain = false;
  for (size_t c = 0; c < cCoff.size(); ++c) {
    prefetchAhead(cCoff, c, &Coff::cSymTbl, &Coff::cSymKind);
    const auto& coff = cCoff[c];
    const std::vector<syment>& table = coff->cSymTbl;
    forEachFunctionDefinition(*coff, [&](size_t i) {
      // Without auxiliary records there is nothing to keep.
      if (table[i].n_numaux == 0 && haveMain && !named) return true;
      std::optional<aux_fcn> aux = fcnAux(*coff, i);
      const bool hasActRec = aux && aux->x_actscnum != 0;
      if (hasActRec) cRecordOwners.emplace_back(c, i);
      const uint32_t self = uint32_t(cFuncs.size());
      const size_t firstCall = calls.size();
      uint32_t interrupt = 0;

      size_t last = std::min(table.size() - 1, i + table[i].n_numaux);
      for (size_t j = i + 2; j <= last; ++j) {
        if (j < coff->cSymKind.size() && coff->cSymKind[j] != AuxKind::fcn_calls) continue;
        aux_fcn_calls call = getAux<aux_fcn_calls>(table[j]);
        if (call.x_is_interrupt != 0) {
          interrupt = call.x_is_interrupt;
          continue;
        }
        if (call.x_calleendx == NO_CALLEE) {
          indirectCall = true;
          continue;
        }
        if (call.x_calleendx >= table.size()) continue;  // verify() refuses such an object
        const syment* callee = &table[call.x_calleendx];
        const syment* reference = callee;
        if (Coff::isExtReference(*callee)) {
          auto def = cExtRefDef.find(callee);
          if (def != cExtRefDef.end() && def->second) callee = def->second;
        }
        if (named) cCallNodeName.emplace(callee, symbolName(*coff, *reference));
        calls.emplace_back(self, callee);
      }

      const bool kept = named || hasActRec || interrupt != 0 || calls.size() != firstCall;
      if (!kept && haveMain) return true;
      std::string_view name = Coff::nameView(table[i], coff->cStrTbl).value_or(std::string_view());
      const bool isMain = !haveMain && name == "main";
      if (!kept && !isMain) return true;
      haveMain = haveMain || isMain;
      cFuncs.push_back(Func{&table[i], name, hasActRec, interrupt});
      if (named) cCallNodeName.emplace(&table[i], std::string(name));
      return true;
    });
  }
  cRecordOwnersKnown = true;

  const Func* mainFunc = nullptr;
  for (const Func& f : cFuncs)
    if (f.cName == "main") {
      mainFunc = &f;
      break;
    }
  if (!mainFunc) programError("Linker::buildCallGraph", "unable to resolve symbol 'main'");

  // Nodes: the functions, then every other callee once.
  std::vector<const syment*>& nodes = cCallGraph.cNodes;
  std::vector<std::pair<const syment*, uint32_t>> functions;
  functions.reserve(cFuncs.size());
  nodes.reserve(cFuncs.size());
  for (const Func& f : cFuncs) {
    functions.emplace_back(f.cSym, uint32_t(nodes.size()));
    nodes.push_back(f.cSym);
  }
  std::sort(functions.begin(), functions.end());
  std::vector<const syment*> others;
  others.reserve(calls.size());
  for (const auto& call : calls)
    if (findBySymbol(functions, call.second) == functions.end()) others.push_back(call.second);
  std::sort(others.begin(), others.end());
  others.erase(std::unique(others.begin(), others.end()), others.end());
  std::vector<std::pair<const syment*, uint32_t>>& bySymbol = cCallGraph.cBySymbol;
  bySymbol.reserve(functions.size() + others.size());
  {
    auto f = functions.begin();
    for (const syment* s : others) {
      for (; f != functions.end() && f->first < s; ++f) bySymbol.push_back(*f);
      bySymbol.emplace_back(s, uint32_t(nodes.size()));
      nodes.push_back(s);
    }
    bySymbol.insert(bySymbol.end(), f, functions.end());
  }
  std::vector<std::pair<const syment*, uint32_t>>().swap(functions);
  std::vector<const syment*>().swap(others);

  // Each node's callees as a set: ascending, each once.
  const size_t n = nodes.size();
  std::vector<uint32_t>& start = cCallGraph.cStart;
  std::vector<uint32_t>& callees = cCallGraph.cCallees;
  start.assign(n + 1, 0);
  callees.reserve(calls.size());
  for (size_t k = 0; k < calls.size();) {
    const uint32_t caller = calls[k].first;
    const size_t from = callees.size();
    for (; k < calls.size() && calls[k].first == caller; ++k) callees.push_back(cCallGraph.find(calls[k].second));
    std::sort(callees.begin() + std::ptrdiff_t(from), callees.end());
    callees.erase(std::unique(callees.begin() + std::ptrdiff_t(from), callees.end()), callees.end());
    start[caller + 1] = uint32_t(callees.size() - from);
  }
  std::vector<std::pair<uint32_t, const syment*>>().swap(calls);
  for (size_t v = 0; v < n; ++v) start[v + 1] += start[v];

  // Handlers become callees of everything they can interrupt: every handler
  // of whatever main reaches, every class-2 handler of whatever a class-1
  // handler reaches. Both walks run over the graph as it was before any
  // handler edge, so one handler's edges never carry another handler
  // further.
  std::vector<uint32_t> class1, class2;
  for (uint32_t v = 0; v < cFuncs.size(); ++v) {
    if (cFuncs[v].cInterrupt == 1) class1.push_back(v);
    if (cFuncs[v].cInterrupt == 2) class2.push_back(v);
  }
  if (!class1.empty() || !class2.empty()) {
    constexpr uint8_t kByMain = 1, kByClass1 = 2;
    std::vector<uint8_t> interrupted(n, 0);
    propagateInterruptCalls(interrupted, uint32_t(mainFunc - cFuncs.data()), kByMain);
    if (!class2.empty())
      for (uint32_t h1 : class1) propagateInterruptCalls(interrupted, h1, kByClass1);

    // Rebuilt with the shared handler nodes after every other node, so each
    // node's callees stay ascending.
    const uint32_t allHandlers = uint32_t(n);
    const uint32_t class2Handlers = uint32_t(n + 1);
    std::vector<uint32_t> withStart(n + 3, 0), with;
    with.reserve(callees.size() + n + class1.size() + 2 * class2.size());
    for (size_t v = 0; v < n; ++v) {
      with.insert(with.end(), callees.begin() + start[v], callees.begin() + start[v + 1]);
      if (interrupted[v] & kByMain) with.push_back(allHandlers);
      if (interrupted[v] & kByClass1) with.push_back(class2Handlers);
      withStart[v + 1] = uint32_t(with.size());
    }
    std::vector<uint32_t> handlers = class1;
    handlers.insert(handlers.end(), class2.begin(), class2.end());
    std::sort(handlers.begin(), handlers.end());
    with.insert(with.end(), handlers.begin(), handlers.end());
    withStart[n + 1] = uint32_t(with.size());
    with.insert(with.end(), class2.begin(), class2.end());
    withStart[n + 2] = uint32_t(with.size());
    start.swap(withStart);
    callees.swap(with);
    nodes.push_back(nullptr);
    nodes.push_back(nullptr);
  }

  if (Debug("Linker::buildCallGraph")) {
    std::cout << "***** Call Graph *****\n";
    for (const Func& f : cFuncs) {
      std::cout << "'" << f.cName << "' calls\n";
      for (const syment* callee : cCallGraph.calleesOf(f.cSym)) std::cout << "    '" << cCallNodeName[callee] << "'\n";
    }
  }

  if (indirectCall)
    programError("Linker::buildCallGraph",
                 "higher order function calls not supported yet in the presence of the overlay storage class");
}

// ---- Interference graph ----------------------------------------------------

void Linker::buildInterferenceGraph() {
  const size_t n = cCallGraph.size();
  const std::vector<uint32_t>& edgeStart = cCallGraph.cStart;
  const std::vector<uint32_t>& edges = cCallGraph.cCallees;
  if (n == 0) return;

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
  for (uint32_t v = 0; v < cFuncs.size(); ++v)
    if (cFuncs[v].cHasActRec && cyclic[comp[v]])
      programError("Linker::buildInterferenceGraph",
                   "Recursion not supported for functions with locals of \"overlay\" storage class: " +
                       std::string(cFuncs[v].cName));

  // Columns: the functions with records, the only ones packing asks about.
  cInterferenceGraph.clear();
  std::vector<uint32_t> column(n, kNone);
  std::vector<uint32_t> owners;  // node of each row
  for (uint32_t v = 0; v < cFuncs.size(); ++v) {
    if (!cFuncs[v].cHasActRec) continue;
    column[v] = uint32_t(owners.size());
    owners.push_back(v);
  }
  const size_t words = (owners.size() + 63) / 64;
  const size_t rowsHeld = compCount + 2 * owners.size();
  if (words != 0 && rowsHeld > kMaxClosureWords / words)
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
    uint32_t v = owners[r];
    std::copy_n(rows.data() + size_t(comp[v]) * words, words, cInterferenceGraph.cBits.data() + size_t(r) * words);
    // Recursion was refused above, so no record function reaches itself.
    cInterferenceGraph.cBits[size_t(r) * words + r / 64] &= ~(uint64_t(1) << (r % 64));
    cInterferenceGraph.cRow.emplace_back(cCallGraph.cNodes[v], r);
  }
  std::sort(cInterferenceGraph.cRow.begin(), cInterferenceGraph.cRow.end());

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
    const uint64_t* from = rows.data() + size_t(comp[owners[r]]) * words;
    uint64_t* to = cInterferenceGraph.cConflict.data() + size_t(r) * words;
    for (size_t k = 0; k < words; ++k) to[k] |= from[k];
    to[r / 64] &= ~(uint64_t(1) << (r % 64));
  }

  if (Debug("Linker::buildInterferenceGraph")) {
    // The full closure over every node, for the reader only.
    std::cout << "***** Interference Graph *****\n";
    std::vector<uint32_t> mark(n, kNone), pending;
    for (uint32_t start = 0; start < cFuncs.size(); ++start) {
      const Func& f = cFuncs[start];
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
      for (uint32_t w : reached)
        if (const syment* s = cCallGraph.cNodes[w]) std::cout << "    '" << cCallNodeName[s] << "'\n";
    }
  }

  // The closure was the call graph's last reader.
  CallGraph().swap(cCallGraph);
  std::vector<Func>().swap(cFuncs);
  std::map<const syment*, std::string>().swap(cCallNodeName);
}

// ---- Record map ------------------------------------------------------------

void Linker::buildScnActivationRecordMap() {
  // The call graph has already found, in this same order, every function
  // that owns a record; without it the symbol tables are walked again.
  if (!cRecordOwnersKnown) {
    cRecordOwners.clear();
    for (size_t c = 0; c < cCoff.size(); ++c) {
      const Coff& coff = *cCoff[c];
      forEachFunctionDefinition(coff, [&](size_t i) {
        std::optional<aux_fcn> aux = fcnAux(coff, i);
        if (aux && aux->x_actscnum != 0) cRecordOwners.emplace_back(c, i);
        return true;
      });
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
  std::vector<std::pair<size_t, size_t>>().swap(cRecordOwners);
  cRecordOwnersKnown = false;
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
    return cInterferenceGraph.row(owner->second);
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
    uint64_t size = mem.largestHole();
    if (size != 0) holes.insert({&mem, size});
  }
  if (debug) {
    std::cout << "Available holes:\n";
    for (const MemorySize& h : holes)
      std::cout << "    memory id: " << h.first->getName() << ", size (in bytes): " << h.second << "\n";
  }

  struct Placed {
    uint64_t offset;
    uint64_t size;
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
  std::vector<std::pair<uint64_t, uint64_t>> hits;  // offset, size
  while (!records.empty()) {
    auto next = std::prev(records.end());
    if (holes.empty()) {
      if (debug) std::cout << "Record cannot be allocated.  Aborting.\n";
      err = "section '" + next->first + "' can not fit the section. Section '" + next->first +
            "' length=" + hexText(next->second, 8);
      return false;
    }
    if (debug) std::cout << "Choosing current hole in which to allocate...\n";
    auto hole = std::prev(holes.end());
    Memory* mem = hole->first;
    const uint64_t holeSize = hole->second;
    if (debug) std::cout << "Current hole: memory id: " << mem->getName() << ", size (in bytes): " << holeSize << "\n";

    for (const Placed& p : placed)
      if (p.row != kNoRow) {
        placedMask[p.row / 64] = 0;
        placedAt[p.row] = UINT32_MAX;
      }
    placed.clear();
    irregular.clear();
    ActRecOffsets group;
    uint64_t used = 0;
    while (!records.empty()) {
      next = std::prev(records.end());
      const std::string& name = next->first;
      const uint64_t size = next->second;
      const uint32_t row = rowOf(name);
      if (debug) {
        std::cout << "Trying to allocate act rec: section id : " << name << ", size: " << size << "\n";
        std::cout << "Trying to allocate at offset 0...\n";
      }
      // The lowest offset clear of every interfering record. Moving past
      // each conflict in offset order reaches it: the candidate only grows,
      // so no record passed can be in the way again.
      uint64_t offset = 0;
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
            "' length=" + hexText(next->second, 8);
      return false;
    }
    mem->allocateActRecs(group, used);
    if (debug) std::cout << "Removing current hole from set of available holes.\n";
    holes.erase(hole);
    if (uint64_t size = mem->largestHole(); size != 0) {
      if (debug) std::cout << "Adding available hole: memory id: " << mem->getName() << ", size (in bytes): " << size << "\n";
      holes.insert({mem, size});
    }
  }
  return true;
}

}  // namespace tarsil
