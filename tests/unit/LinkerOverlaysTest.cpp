// The call graph at sizes the end-to-end tests cannot reach.
#include "LinkerRig.h"

namespace tarsil {
namespace {

// Per function: a symbol slot, an aux_fcn slot, then an aux_fcn_calls slot per call or interrupt class.
class Program {
public:
  struct Fn { std::string name; int actScn = 0; uint32_t interrupt = 0; std::vector<std::string> calls; };

  void add(Fn fn) { fns.push_back(std::move(fn)); }

  int record(const std::string& name) { return scns.push_back(name), int(scns.size()); }

  std::unique_ptr<Coff> build() const {
    testing::Input in("p.o");
    for (size_t i = 0; i < scns.size(); ++i) in.c->cScnNum[int(i + 1)] = scns[i];
    std::map<std::string, uint32_t> slot;
    uint32_t next = 0;
    for (const Fn& f : fns) {
      slot[f.name] = next;
      next += uint32_t(2 + f.calls.size() + (f.interrupt ? 1 : 0));
    }
    for (const Fn& f : fns) {
      in.symbol(f.name, 1);
      in.c->cSymTbl.back().n_type = 0x20;
      in.c->cSymTbl.back().n_numaux = uint8_t(1 + f.calls.size() + (f.interrupt ? 1 : 0));
      aux_fcn fa;
      fa.x_actscnum = int16_t(f.actScn);
      in.aux(fa, AuxKind::fcn);
      for (const std::string& callee : f.calls) in.aux(aux_fcn_calls{slot.at(callee), 0, {}}, AuxKind::fcn_calls);
      if (f.interrupt) in.aux(aux_fcn_calls{0, f.interrupt, {}}, AuxKind::fcn_calls);
    }
    return std::move(in.c);
  }

  std::vector<Fn> fns;
  std::vector<std::string> scns;
};

struct Linked {
  LinkContext linker{Config()};
  const syment* sym(const std::string& name) const {
    for (const syment& s : linker.cCoff.front()->cSymTbl)
      if (s.n_type == 0x20 && Coff::nameView(s, linker.cCoff.front()->cStrTbl) == name) return &s;
    return nullptr;
  }
};

std::unique_ptr<Linked> callGraph(const Program& p) {
  auto l = std::make_unique<Linked>();
  l->linker.cCoff.push_back(p.build());
  buildCallGraph(l->linker);
  return l;
}

void link(const Program& p) {
  auto l = callGraph(p);
  buildInterferenceGraph(l->linker);
  buildScnActivationRecordMap(l->linker);
}

std::string nameOf(int i) { return i == 0 ? std::string("main") : "f" + std::to_string(i); }

TEST(LinkerOverlays, ManyHandlersOverManyFunctionsStayLinear) {
  // Every handler is a callee of every function main reaches: millions of edges if written out.
  constexpr int kCallees = 3000, kHandlers = 3000;
  Program p;
  Program::Fn mainFn{"main", p.record(".main"), 0, {}};
  for (int i = 0; i < kCallees; ++i) mainFn.calls.push_back("f" + std::to_string(i));
  p.add(mainFn);
  for (int i = 0; i < kCallees; ++i) p.add({"f" + std::to_string(i), 0, 0, {}});
  for (int i = 0; i < kHandlers; ++i) p.add({"h" + std::to_string(i), 0, uint32_t(1 + i % 2), {}});
  p.add({"g", p.record(".g"), 1, {}});
  auto l = callGraph(p);
  EXPECT_LT(l->linker.cCallGraph.cCallees.size(), size_t(4 * (kCallees + kHandlers)));
  EXPECT_EQ(l->linker.cCallGraph.calleesOf(l->sym("f7")).size(), size_t(kHandlers + 1));
  buildInterferenceGraph(l->linker);
  EXPECT_TRUE(l->linker.cInterferenceGraph.reaches(l->sym("main"), l->sym("g")));
}

TEST(LinkerOverlays, AClosureBeyondTheHostsMeansIsRefused) {
  // Three bit matrices of 27,000 records need about 270 MB, though each alone stays under
  // the bound; the program ends before any of it is taken.
  Program p;
  for (int i = 0; i < 27000; ++i) p.add({nameOf(i), p.record("." + nameOf(i)), 0, {}});
  EXPECT_EXIT(link(p), ::testing::ExitedWithCode(255), "");
}

}  // namespace
}  // namespace tarsil
