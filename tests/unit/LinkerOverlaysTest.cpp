// The call graph of functions that own activation records at sizes the
// end-to-end tests cannot reach. How the records share banks is pinned there.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "link/Linker.h"

namespace tarsil {
namespace {

// Builds one input with function symbols, their records and calls, the way
// the object reader leaves them: a symbol slot, an aux_fcn slot, then one
// aux_fcn_calls slot per call or interrupt class.
class Program {
public:
  struct Fn {
    std::string name;
    int actScn = 0;  // section number of its record, 0 for none
    uint32_t interrupt = 0;
    std::vector<std::string> calls;  // "*" for a call through a pointer
  };

  void add(Fn fn) { fns.push_back(std::move(fn)); }

  // Section numbers from 1, one per named record.
  int record(const std::string& name) {
    scns.push_back(name);
    return int(scns.size());
  }

  std::unique_ptr<Coff> build() const {
    auto coff = std::make_unique<Coff>();
    coff->cFileName = "p.o";
    for (size_t i = 0; i < scns.size(); ++i) coff->cScnNum[int(i + 1)] = scns[i];
    std::map<std::string, size_t> slot;
    size_t next = 0;
    for (const Fn& f : fns) {
      slot[f.name] = next;
      next += 2 + f.calls.size() + (f.interrupt ? 1 : 0);
    }
    for (const Fn& f : fns) {
      syment s{};
      if (f.name.size() <= 8)
        std::memcpy(s.n_name, f.name.data(), f.name.size());
      else
        s.set_n_offset(uint32_t(Coff::addString(coff->cStrTbl, f.name)));
      s.n_type = 0x20;
      s.n_sclass = C_EXT;
      s.n_scnum = 1;
      s.n_numaux = uint8_t(1 + f.calls.size() + (f.interrupt ? 1 : 0));
      coff->cSymTbl.push_back(s);
      coff->cSymKind.push_back(AuxKind::none);
      aux_fcn fa;
      fa.x_actscnum = int16_t(f.actScn);
      syment slotFcn{};
      setAux(slotFcn, fa);
      coff->cSymTbl.push_back(slotFcn);
      coff->cSymKind.push_back(AuxKind::fcn);
      auto pushCall = [&](uint32_t callee, uint32_t interrupt) {
        aux_fcn_calls c;
        c.x_calleendx = callee;
        c.x_is_interrupt = interrupt;
        syment slotCall{};
        setAux(slotCall, c);
        coff->cSymTbl.push_back(slotCall);
        coff->cSymKind.push_back(AuxKind::fcn_calls);
      };
      for (const std::string& callee : f.calls) pushCall(callee == "*" ? NO_CALLEE : uint32_t(slot.at(callee)), 0);
      if (f.interrupt) pushCall(0, f.interrupt);
    }
    return coff;
  }

  std::vector<Fn> fns;
  std::vector<std::string> scns;
};

struct Linked {
  Linker linker;
  std::string nameOf(const syment* s) const {
    const Coff& coff = *linker.cCoff.front();
    return std::string(Coff::nameView(*s, coff.cStrTbl).value_or(""));
  }
  const syment* sym(const std::string& name) const {
    for (const syment& s : linker.cCoff.front()->cSymTbl)
      if (s.n_type == 0x20 && nameOf(&s) == name) return &s;
    return nullptr;
  }
  bool reaches(const std::string& a, const std::string& b) const {
    return linker.cInterferenceGraph.reaches(sym(a), sym(b));
  }
};

std::unique_ptr<Linked> callGraph(const Program& p) {
  auto l = std::make_unique<Linked>();
  l->linker.cCoff.push_back(p.build());
  l->linker.buildCallGraph();
  return l;
}

std::unique_ptr<Linked> link(const Program& p) {
  auto l = callGraph(p);
  l->linker.buildInterferenceGraph();
  l->linker.buildScnActivationRecordMap();
  return l;
}

std::string nameOf(int i) { return i == 0 ? std::string("main") : "f" + std::to_string(i); }

TEST(LinkerOverlays, ManyHandlersOverManyFunctionsStayLinear) {
  // Every handler is a callee of every function main reaches; written out
  // one edge per pair, this program would need millions of them.
  constexpr int kCallees = 3000, kHandlers = 3000;
  Program p;
  Program::Fn mainFn{"main", 0, 0, {}};
  for (int i = 0; i < kCallees; ++i) mainFn.calls.push_back("f" + std::to_string(i));
  mainFn.actScn = p.record(".main");
  p.add(mainFn);
  for (int i = 0; i < kCallees; ++i) p.add({"f" + std::to_string(i), 0, 0, {}});
  for (int i = 0; i < kHandlers; ++i) p.add({"h" + std::to_string(i), 0, uint32_t(1 + i % 2), {}});
  p.add({"g", p.record(".g"), 1, {}});
  auto l = callGraph(p);
  EXPECT_LT(l->linker.cCallGraph.cCallees.size(), size_t(4 * (kCallees + kHandlers)));
  EXPECT_EQ(l->linker.cCallGraph.calleesOf(l->sym("f7")).size(), size_t(kHandlers + 1));
  l->linker.buildInterferenceGraph();
  EXPECT_TRUE(l->reaches("main", "g"));
}

TEST(LinkerOverlays, AClosureBeyondTheHostsMeansIsRefused) {
  // One bit per pair of records, three times over (the closure's rows, and
  // what each record reaches and conflicts with): 27,000 independent records
  // would need about 270 MB, though each matrix alone would stay under the
  // bound. The program ends before any of it is taken.
  Program p;
  for (int i = 0; i < 27000; ++i) p.add({nameOf(i), p.record("." + nameOf(i)), 0, {}});
  EXPECT_EXIT(link(p), testing::ExitedWithCode(255), "");
}

}  // namespace
}  // namespace tarsil
