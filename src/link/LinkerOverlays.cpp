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
#include "link/Passes.h"
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

uint32_t LinkContext::Interference::row(const syment* f) const {
  auto it = findBySymbol(cRow, f);
  return it == cRow.end() ? UINT32_MAX : it->second;
}

bool LinkContext::Interference::reaches(const syment* f, const syment* g) const {
  uint32_t rf = row(f), rg = row(g);
  if (rf == UINT32_MAX || rg == UINT32_MAX) return false;
  return (cBits[size_t(rf) * cWords + rg / 64] >> (rg % 64)) & 1;
}

bool LinkContext::Interference::interferes(const syment* a, const syment* b) const {
  if (row(a) == UINT32_MAX || row(b) == UINT32_MAX) return true;
  return a == b || reaches(a, b) || reaches(b, a);
}

void LinkContext::Interference::clear() {
  cRow.clear();
  cBits.clear();
  cConflict.clear();
  cWords = 0;
}

// ---- Call graph ------------------------------------------------------------

uint32_t LinkContext::CallGraph::find(const syment* s) const {
  auto it = findBySymbol(cBySymbol, s);
  return it == cBySymbol.end() ? kNone : it->second;
}

std::vector<const syment*> LinkContext::CallGraph::calleesOf(const syment* f) const {
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

bool actRecScnExists(LinkContext& ctx) {
  for (const auto& coff : ctx.cCoff) {
    bool none = forEachFunctionDefinition(*coff, [&](size_t i) {
      std::optional<aux_fcn> aux = fcnAux(*coff, i);
      return !(aux && aux->x_actscnum != 0);
    });
    if (!none) return true;
  }
  return false;
}

namespace {

// Marks with `mark` in `visited` every node that `f` reaches in the call
// graph, itself included, skipping nodes that carry the mark already.
void propagateInterruptCalls(const LinkContext& ctx, std::vector<uint8_t>& visited, uint32_t f, uint8_t mark) {
  // Call chains can be as deep as the program is long; an explicit stack
  // keeps a hostile chain from exhausting the host's.
  if (visited[f] & mark) return;
  visited[f] |= mark;
  std::vector<uint32_t> pending{f};
  while (!pending.empty()) {
    uint32_t g = pending.back();
    pending.pop_back();
    for (uint32_t callee : ctx.cCallGraph.callees(g))
      if (!(visited[callee] & mark)) {
        visited[callee] |= mark;
        pending.push_back(callee);
      }
  }
}

// The calls of the kept functions: (caller's place in cFuncs, callee), by caller.
using Calls = std::vector<std::pair<uint32_t, const syment*>>;

// One function definition's call records: its interrupt class, or 0 when it
// is no handler; its calls go to `calls` by `self`. Returns false for a call
// through a pointer, which the graph cannot follow.
bool readCalls(LinkContext& linker, const Coff& coff, size_t i, uint32_t self, bool named, Calls& calls,
               uint32_t& interrupt) {
  const std::vector<syment>& table = coff.cSymTbl;
  bool direct = true;
  size_t last = std::min(table.size() - 1, i + table[i].n_numaux);
  for (size_t j = i + 2; j <= last; ++j) {
    if (j < coff.cSymKind.size() && coff.cSymKind[j] != AuxKind::fcn_calls) continue;
    aux_fcn_calls call = getAux<aux_fcn_calls>(table[j]);
    if (call.x_is_interrupt != 0) {
      interrupt = call.x_is_interrupt;
      continue;
    }
    if (call.x_calleendx == NO_CALLEE) {
      direct = false;
      continue;
    }
    if (call.x_calleendx >= table.size()) continue;  // verify() refuses such an object
    const syment* callee = &table[call.x_calleendx];
    const syment* reference = callee;
    if (Coff::isExtReference(*callee)) {
      auto def = linker.cExtRefDef.find(callee);
      if (def != linker.cExtRefDef.end() && def->second) callee = def->second;
    }
    if (named) linker.cCallNodeName.emplace(callee, symbolName(coff, *reference));
    calls.emplace_back(self, callee);
  }
  return direct;
}

// The functions worth a node, into cFuncs, and their calls. A function
// without a record, a call or an interrupt class is a node no path leads
// out of; when something calls it, it enters the graph as a callee like any
// other symbol. Most functions of a large program are such leaves, so only
// the others are kept. Returns false when some call goes through a pointer.
bool gatherFunctions(LinkContext& linker, bool named, Calls& calls) {
  bool direct = true;
  bool haveMain = false;
  for (size_t c = 0; c < linker.cCoff.size(); ++c) {
    prefetchAhead(linker.cCoff, c, &Coff::cSymTbl, &Coff::cSymKind);
    const Coff& coff = *linker.cCoff[c];
    const std::vector<syment>& table = coff.cSymTbl;
    forEachFunctionDefinition(coff, [&](size_t i) {
      // Without auxiliary records there is nothing to keep.
      if (table[i].n_numaux == 0 && haveMain && !named) return true;
      std::optional<aux_fcn> aux = fcnAux(coff, i);
      const bool hasActRec = aux && aux->x_actscnum != 0;
      if (hasActRec) linker.cRecordOwners.emplace_back(c, i);
      const uint32_t self = uint32_t(linker.cFuncs.size());
      const size_t firstCall = calls.size();
      uint32_t interrupt = 0;
      direct = readCalls(linker, coff, i, self, named, calls, interrupt) && direct;

      const bool kept = named || hasActRec || interrupt != 0 || calls.size() != firstCall;
      if (!kept && haveMain) return true;
      std::string_view name = Coff::nameView(table[i], coff.cStrTbl).value_or(std::string_view());
      const bool isMain = !haveMain && name == "main";
      if (!kept && !isMain) return true;
      haveMain = haveMain || isMain;
      linker.cFuncs.push_back(LinkContext::Func{&table[i], name, hasActRec, interrupt});
      if (named) linker.cCallNodeName.emplace(&table[i], std::string(name));
      return true;
    });
  }
  return direct;
}

// Nodes: the functions, then every other callee once.
void numberNodes(LinkContext::CallGraph& graph, const std::vector<LinkContext::Func>& funcs, const Calls& calls) {
  std::vector<const syment*>& nodes = graph.cNodes;
  std::vector<std::pair<const syment*, uint32_t>> functions;
  functions.reserve(funcs.size());
  nodes.reserve(funcs.size());
  for (const LinkContext::Func& f : funcs) {
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
  std::vector<std::pair<const syment*, uint32_t>>& bySymbol = graph.cBySymbol;
  bySymbol.reserve(functions.size() + others.size());
  auto f = functions.begin();
  for (const syment* s : others) {
    for (; f != functions.end() && f->first < s; ++f) bySymbol.push_back(*f);
    bySymbol.emplace_back(s, uint32_t(nodes.size()));
    nodes.push_back(s);
  }
  bySymbol.insert(bySymbol.end(), f, functions.end());
}

// Each node's callees as a set: ascending, each once.
void linkCallees(LinkContext::CallGraph& graph, const Calls& calls) {
  const size_t n = graph.cNodes.size();
  std::vector<uint32_t>& start = graph.cStart;
  std::vector<uint32_t>& callees = graph.cCallees;
  start.assign(n + 1, 0);
  callees.reserve(calls.size());
  for (size_t k = 0; k < calls.size();) {
    const uint32_t caller = calls[k].first;
    const size_t from = callees.size();
    for (; k < calls.size() && calls[k].first == caller; ++k) callees.push_back(graph.find(calls[k].second));
    std::sort(callees.begin() + std::ptrdiff_t(from), callees.end());
    callees.erase(std::unique(callees.begin() + std::ptrdiff_t(from), callees.end()), callees.end());
    start[caller + 1] = uint32_t(callees.size() - from);
  }
  for (size_t v = 0; v < n; ++v) start[v + 1] += start[v];
}

void addHandlerEdges(LinkContext& linker, uint32_t mainNode) {
  // Handlers become callees of everything they can interrupt: every handler
  // of whatever main reaches, every class-2 handler of whatever a class-1
  // handler reaches. Both walks run over the graph as it was before any
  // handler edge, so one handler's edges never carry another handler
  // further.
  std::vector<uint32_t> class1, class2;
  for (uint32_t v = 0; v < linker.cFuncs.size(); ++v) {
    if (linker.cFuncs[v].cInterrupt == 1) class1.push_back(v);
    if (linker.cFuncs[v].cInterrupt == 2) class2.push_back(v);
  }
  if (class1.empty() && class2.empty()) return;
  const size_t n = linker.cCallGraph.size();
  std::vector<uint32_t>& start = linker.cCallGraph.cStart;
  std::vector<uint32_t>& callees = linker.cCallGraph.cCallees;
  constexpr uint8_t kByMain = 1, kByClass1 = 2;
  std::vector<uint8_t> interrupted(n, 0);
  propagateInterruptCalls(linker, interrupted, mainNode, kByMain);
  if (!class2.empty())
    for (uint32_t h1 : class1) propagateInterruptCalls(linker, interrupted, h1, kByClass1);

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
  linker.cCallGraph.cNodes.push_back(nullptr);
  linker.cCallGraph.cNodes.push_back(nullptr);
}

void printCallGraph(LinkContext& linker) {
  std::cout << "***** Call Graph *****\n";
  for (const LinkContext::Func& f : linker.cFuncs) {
    std::cout << "'" << f.cName << "' calls\n";
    for (const syment* callee : linker.cCallGraph.calleesOf(f.cSym))
      std::cout << "    '" << linker.cCallNodeName[callee] << "'\n";
  }
}

}  // namespace

void buildCallGraph(LinkContext& ctx) {
  // Node names serve only the debug listings; a large program should not
  // pay for a copy of every name in a second map.
  const bool named = bool(Debug("Linker::buildCallGraph")) || bool(Debug("Linker::buildInterferenceGraph"));
  ctx.cRecordOwners.clear();
  ctx.cFuncs.clear();
  LinkContext::CallGraph().swap(ctx.cCallGraph);

  Calls calls;
  const bool direct = gatherFunctions(ctx, named, calls);
  ctx.cRecordOwnersKnown = true;

  const LinkContext::Func* mainFunc = nullptr;
  for (const LinkContext::Func& f : ctx.cFuncs)
    if (f.cName == "main") {
      mainFunc = &f;
      break;
    }
  if (!mainFunc) programError("Linker::buildCallGraph", "unable to resolve symbol 'main'");

  numberNodes(ctx.cCallGraph, ctx.cFuncs, calls);
  linkCallees(ctx.cCallGraph, calls);
  Calls().swap(calls);
  addHandlerEdges(ctx, uint32_t(mainFunc - ctx.cFuncs.data()));

  if (Debug("Linker::buildCallGraph")) printCallGraph(ctx);

  if (!direct)
    programError("Linker::buildCallGraph",
                 "higher order function calls not supported yet in the presence of the overlay storage class");
}

// ---- Interference graph ----------------------------------------------------

namespace {

constexpr uint32_t kNoNode = UINT32_MAX;

// A graph's strongly connected components: component c's members are
// members[start[c], start[c + 1]), and of[v] is node v's component.
struct Components {
  std::vector<uint32_t> of, members, start{0};
  size_t size() const { return start.size() - 1; }
  std::span<const uint32_t> operator[](size_t c) const {
    return {members.data() + start[c], start[c + 1] - start[c]};
  }
};

// The components, iteratively; they come out callees first, which is the
// order the closure needs.
Components stronglyConnected(size_t n, const std::vector<uint32_t>& edgeStart, const std::vector<uint32_t>& edges) {
  Components comps;
  std::vector<uint32_t> order(n, kNoNode), low(n, 0), stack;
  comps.of.assign(n, kNoNode);
  comps.members.reserve(n);
  std::vector<std::pair<uint32_t, uint32_t>> dfs;  // node, next edge
  uint32_t counter = 0;
  for (uint32_t root = 0; root < n; ++root) {
    if (order[root] != kNoNode) continue;
    dfs.emplace_back(root, edgeStart[root]);
    order[root] = low[root] = counter++;
    stack.push_back(root);
    while (!dfs.empty()) {
      auto& [v, next] = dfs.back();
      if (next < edgeStart[v + 1]) {
        uint32_t w = edges[next++];
        if (order[w] == kNoNode) {
          order[w] = low[w] = counter++;
          stack.push_back(w);
          dfs.emplace_back(w, edgeStart[w]);
        } else if (comps.of[w] == kNoNode) {
          low[v] = std::min(low[v], order[w]);
        }
        continue;
      }
      uint32_t done = v;
      dfs.pop_back();
      if (!dfs.empty()) low[dfs.back().first] = std::min(low[dfs.back().first], low[done]);
      if (low[done] != order[done]) continue;
      const uint32_t c = uint32_t(comps.size());
      uint32_t w;
      do {
        w = stack.back();
        stack.pop_back();
        comps.of[w] = c;
        comps.members.push_back(w);
      } while (w != done);
      comps.start.push_back(uint32_t(comps.members.size()));
    }
  }
  return comps;
}

// A function with a record cannot reach itself: its component is a cycle
// or it calls itself directly.
void refuseRecursion(const Components& comps, const std::vector<uint32_t>& edgeStart,
                     const std::vector<uint32_t>& edges, const std::vector<LinkContext::Func>& funcs) {
  std::vector<bool> cyclic(comps.size(), false);
  for (size_t c = 0; c < comps.size(); ++c) {
    if (comps[c].size() > 1) cyclic[c] = true;
    else {
      uint32_t v = comps[c][0];
      for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e)
        if (edges[e] == v) cyclic[c] = true;
    }
  }
  for (uint32_t v = 0; v < funcs.size(); ++v)
    if (funcs[v].cHasActRec && cyclic[comps.of[v]])
      programError("Linker::buildInterferenceGraph",
                   "Recursion not supported for functions with locals of \"overlay\" storage class: " +
                       std::string(funcs[v].cName));
}

// One bit row per component: every record function (its bit is `column`)
// that the component contains or reaches along `edges`. Each component's
// successors must be done before it: in the components' order for the call
// graph, backwards for the reversed one.
std::vector<uint64_t> closeRows(const Components& comps, const std::vector<uint32_t>& column,
                                const std::vector<uint32_t>& edgeStart, const std::vector<uint32_t>& edges,
                                size_t words, bool backwards) {
  const size_t count = comps.size();
  std::vector<uint64_t> rows(count * words, 0);
  std::vector<uint32_t> seen(count, kNoNode);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t c = uint32_t(backwards ? count - 1 - i : i);
    uint64_t* row = rows.data() + size_t(c) * words;
    for (uint32_t v : comps[c]) {
      if (column[v] != kNoNode) row[column[v] / 64] |= uint64_t(1) << (column[v] % 64);
      for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e) {
        uint32_t d = comps.of[edges[e]];
        if (d == c || seen[d] == c) continue;
        seen[d] = c;
        const uint64_t* from = rows.data() + size_t(d) * words;
        for (size_t k = 0; k < words; ++k) row[k] |= from[k];
      }
    }
  }
  return rows;
}

// The graph with every edge turned round: who calls each node.
void reverseEdges(size_t n, const std::vector<uint32_t>& edgeStart, const std::vector<uint32_t>& edges,
                  std::vector<uint32_t>& inStart, std::vector<uint32_t>& inEdges) {
  inStart.assign(n + 1, 0);
  inEdges.resize(edges.size());
  for (uint32_t w : edges) ++inStart[w + 1];
  for (size_t v = 0; v < n; ++v) inStart[v + 1] += inStart[v];
  std::vector<uint32_t> fill(inStart.begin(), inStart.end() - 1);
  for (uint32_t v = 0; v < n; ++v)
    for (uint32_t e = edgeStart[v]; e < edgeStart[v + 1]; ++e) inEdges[fill[edges[e]]++] = v;
}

// The full closure over every node, for the reader only.
void printInterference(LinkContext& linker) {
  const size_t n = linker.cCallGraph.size();
  const std::vector<uint32_t>& edgeStart = linker.cCallGraph.cStart;
  const std::vector<uint32_t>& edges = linker.cCallGraph.cCallees;
  std::cout << "***** Interference Graph *****\n";
  std::vector<uint32_t> mark(n, kNoNode), pending;
  for (uint32_t start = 0; start < linker.cFuncs.size(); ++start) {
    const LinkContext::Func& f = linker.cFuncs[start];
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
      if (const syment* s = linker.cCallGraph.cNodes[w]) std::cout << "    '" << linker.cCallNodeName[s] << "'\n";
  }
}

}  // namespace

void buildInterferenceGraph(LinkContext& ctx) {
  const size_t n = ctx.cCallGraph.size();
  const std::vector<uint32_t>& edgeStart = ctx.cCallGraph.cStart;
  const std::vector<uint32_t>& edges = ctx.cCallGraph.cCallees;
  if (n == 0) return;

  const Components comps = stronglyConnected(n, edgeStart, edges);
  refuseRecursion(comps, edgeStart, edges, ctx.cFuncs);

  // Columns: the functions with records, the only ones packing asks about.
  ctx.cInterferenceGraph.clear();
  std::vector<uint32_t> column(n, kNoNode);
  std::vector<uint32_t> owners;  // node of each row
  for (uint32_t v = 0; v < ctx.cFuncs.size(); ++v) {
    if (!ctx.cFuncs[v].cHasActRec) continue;
    column[v] = uint32_t(owners.size());
    owners.push_back(v);
  }
  const size_t words = (owners.size() + 63) / 64;
  const size_t rowsHeld = comps.size() + 2 * owners.size();
  if (words != 0 && rowsHeld > kMaxClosureWords / words)
    programError("Linker::buildInterferenceGraph",
                 "the call graph is too large for overlaid activation records (" + std::to_string(n) +
                     " functions, " + std::to_string(owners.size()) + " with records)");

  // What each record function reaches.
  std::vector<uint64_t> rows = closeRows(comps, column, edgeStart, edges, words, false);
  ctx.cInterferenceGraph.cWords = words;
  ctx.cInterferenceGraph.cBits.assign(owners.size() * words, 0);
  for (uint32_t r = 0; r < owners.size(); ++r) {
    uint32_t v = owners[r];
    std::copy_n(rows.data() + size_t(comps.of[v]) * words, words, ctx.cInterferenceGraph.cBits.data() + size_t(r) * words);
    // Recursion was refused above, so no record function reaches itself.
    ctx.cInterferenceGraph.cBits[size_t(r) * words + r / 64] &= ~(uint64_t(1) << (r % 64));
    ctx.cInterferenceGraph.cRow.emplace_back(ctx.cCallGraph.cNodes[v], r);
  }
  std::sort(ctx.cInterferenceGraph.cRow.begin(), ctx.cInterferenceGraph.cRow.end());

  // Who reaches each: the same closure over the reversed graph. A record
  // conflicts with both.
  {
    std::vector<uint32_t> inStart, inEdges;
    reverseEdges(n, edgeStart, edges, inStart, inEdges);
    rows = closeRows(comps, column, inStart, inEdges, words, true);
  }
  ctx.cInterferenceGraph.cConflict = ctx.cInterferenceGraph.cBits;
  for (uint32_t r = 0; r < owners.size(); ++r) {
    const uint64_t* from = rows.data() + size_t(comps.of[owners[r]]) * words;
    uint64_t* to = ctx.cInterferenceGraph.cConflict.data() + size_t(r) * words;
    for (size_t k = 0; k < words; ++k) to[k] |= from[k];
    to[r / 64] &= ~(uint64_t(1) << (r % 64));
  }

  if (Debug("Linker::buildInterferenceGraph")) printInterference(ctx);

  // The closure was the call graph's last reader.
  LinkContext::CallGraph().swap(ctx.cCallGraph);
  std::vector<LinkContext::Func>().swap(ctx.cFuncs);
  std::map<const syment*, std::string>().swap(ctx.cCallNodeName);
}

// ---- Record map ------------------------------------------------------------

void buildScnActivationRecordMap(LinkContext& ctx) {
  // The call graph has already found, in this same order, every function
  // that owns a record; without it the symbol tables are walked again.
  if (!ctx.cRecordOwnersKnown) {
    ctx.cRecordOwners.clear();
    for (size_t c = 0; c < ctx.cCoff.size(); ++c) {
      const Coff& coff = *ctx.cCoff[c];
      forEachFunctionDefinition(coff, [&](size_t i) {
        std::optional<aux_fcn> aux = fcnAux(coff, i);
        if (aux && aux->x_actscnum != 0) ctx.cRecordOwners.emplace_back(c, i);
        return true;
      });
    }
  }
  for (const auto& [c, i] : ctx.cRecordOwners) {
    const auto& coff = ctx.cCoff[c];
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
      ctx.cScnActRec[scn->second] = &table[i];
    }
  }
  std::vector<std::pair<size_t, size_t>>().swap(ctx.cRecordOwners);
  ctx.cRecordOwnersKnown = false;
}

void releaseCallGraphs(LinkContext& ctx) {
  // Swapped out rather than cleared, so that the memory really goes.
  LinkContext::CallGraph().swap(ctx.cCallGraph);
  std::vector<LinkContext::Func>().swap(ctx.cFuncs);
  std::map<const syment*, std::string>().swap(ctx.cCallNodeName);
  std::vector<std::pair<size_t, size_t>>().swap(ctx.cRecordOwners);
  ctx.cRecordOwnersKnown = false;
  LinkContext::Interference().swap(ctx.cInterferenceGraph);
}

// ---- Packing ---------------------------------------------------------------

namespace {

constexpr uint32_t kNoRow = UINT32_MAX;

// The records packed into one hole so far, and where the next one may go.
// Each owner's row has a bit in `cMask`, so a record's conflicts are its
// conflict row and the mask; records without a row of their own (unknown
// owner, or a second record of one owner) are few and are tested one by
// one.
class HolePacking {
public:
  explicit HolePacking(const LinkContext::Interference& graph)
      : cWords(graph.cWords), cConflict(graph.cConflict), cMask(graph.cWords, 0), cAt(graph.cRow.size(), kNoRow) {}

  // Empty again, for the next hole.
  void clear() {
    for (const Placed& p : cPlaced)
      if (p.row != kNoRow) {
        cMask[p.row / 64] = 0;
        cAt[p.row] = kNoRow;
      }
    cPlaced.clear();
    cIrregular.clear();
  }

  // The lowest offset clear of every record that interferes with one of
  // `size` bytes owned by `row` (kNoRow for an unknown owner, which
  // interferes with all). Moving past each conflict in offset order reaches
  // it: the candidate only grows, so no record passed can be in the way
  // again.
  uint64_t lowestOffset(uint32_t row, uint64_t size, bool debug) {
    uint64_t offset = 0;
    if (size == 0) return offset;
    cHits.clear();
    if (row == kNoRow) {
      for (const Placed& p : cPlaced) cHits.emplace_back(p.offset, p.size);
    } else {
      const uint64_t* mine = cConflict.data() + size_t(row) * cWords;
      for (size_t k = 0; k < cWords; ++k) {
        for (uint64_t m = mine[k] & cMask[k]; m != 0; m &= m - 1) {
          const Placed& p = cPlaced[cAt[k * 64 + size_t(std::countr_zero(m))]];
          cHits.emplace_back(p.offset, p.size);
        }
      }
      for (uint32_t i : cIrregular)
        if (interfere(row, cPlaced[i].row)) cHits.emplace_back(cPlaced[i].offset, cPlaced[i].size);
    }
    std::sort(cHits.begin(), cHits.end());
    for (const auto& [at, length] : cHits) {
      if (at >= offset + size) break;
      if (length == 0 || at + length <= offset) continue;
      offset = at + length;
      if (debug) {
        std::cout << "Testing for conflicts with already allocated act rec: offset: " << at << ", size: " << length
                  << "\n";
        std::cout << "Failure!  Records overlap and cannot be overlaid.\n";
        std::cout << "Trying to allocate at offset " << offset << "\n";
      }
    }
    return offset;
  }

  void add(uint64_t offset, uint64_t size, uint32_t row) {
    const uint32_t at = uint32_t(cPlaced.size());
    cPlaced.push_back({offset, size, row});
    if (row != kNoRow && cAt[row] == kNoRow) {
      cAt[row] = at;
      cMask[row / 64] |= uint64_t(1) << (row % 64);
    } else {
      cIrregular.push_back(at);
    }
  }

private:
  bool interfere(uint32_t a, uint32_t b) const {
    if (a == kNoRow || b == kNoRow || a == b) return true;
    return ((cConflict[size_t(a) * cWords + b / 64] >> (b % 64)) & 1) != 0;
  }

  struct Placed {
    uint64_t offset;
    uint64_t size;
    uint32_t row;
  };
  const size_t cWords;
  const std::vector<uint64_t>& cConflict;
  std::vector<Placed> cPlaced;
  std::vector<uint64_t> cMask;
  std::vector<uint32_t> cAt;
  std::vector<uint32_t> cIrregular;
  std::vector<std::pair<uint64_t, uint64_t>> cHits;  // offset, size
};

std::string cannotFit(const std::pair<std::string, uint64_t>& record) {
  return "section '" + record.first + "' can not fit the section. Section '" + record.first +
         "' length=" + hexText(record.second, 8);
}

}  // namespace

bool allocateActUnassigned(LinkContext& ctx, LinkContext::ActRecSet& records, std::vector<Memory>& mems, std::string& err) {
  // Looked up once: the packing loop is hot.
  const bool debug = bool(Debug("Linker::allocateActUnassigned"));
  if (debug) std::cout << "***** Static Activation Record Allocation *****\n";

  // Row of each record's owner in the interference bits; kNoRow when the
  // owner is unknown, which makes the record interfere with every other.
  auto rowOf = [&](const std::string& name) {
    auto owner = ctx.cScnActRec.find(name);
    if (owner == ctx.cScnActRec.end()) return kNoRow;
    return ctx.cInterferenceGraph.row(owner->second);
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

  HolePacking packing(ctx.cInterferenceGraph);
  while (!records.empty()) {
    if (holes.empty()) {
      if (debug) std::cout << "Record cannot be allocated.  Aborting.\n";
      err = cannotFit(*std::prev(records.end()));
      return false;
    }
    if (debug) std::cout << "Choosing current hole in which to allocate...\n";
    auto hole = std::prev(holes.end());
    Memory* mem = hole->first;
    const uint64_t holeSize = hole->second;
    if (debug) std::cout << "Current hole: memory id: " << mem->getName() << ", size (in bytes): " << holeSize << "\n";

    packing.clear();
    ActRecOffsets group;
    uint64_t used = 0;
    while (!records.empty()) {
      auto next = std::prev(records.end());
      const std::string& name = next->first;
      const uint64_t size = next->second;
      const uint32_t row = rowOf(name);
      if (debug) {
        std::cout << "Trying to allocate act rec: section id : " << name << ", size: " << size << "\n";
        std::cout << "Trying to allocate at offset 0...\n";
      }
      const uint64_t offset = packing.lowestOffset(row, size, debug);
      if (offset + size > holeSize) {
        if (debug) std::cout << "No more room in current hole.\n";
        break;
      }
      if (debug) std::cout << "Success!  Allocated at offset " << offset << "\n";
      packing.add(offset, size, row);
      group.emplace(name, offset);
      ctx.cScnMem[name] = mem;
      used = std::max(used, offset + size);
      records.erase(next);
    }

    if (group.empty()) {
      if (debug) std::cout << "Record cannot be allocated.  Aborting.\n";
      err = cannotFit(*std::prev(records.end()));
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
