#pragma once
// Hand-built inputs for the linker's stages, as the object reader leaves them.
#include <memory>

#include "TestDevices.h"
#include "TestSupport.h"
#include "link/Passes.h"
#include "support/Error.h"

namespace tarsil::testing {

inline Data dataOf(const std::vector<uint8_t>& b) {
  return Data(b.size(), reinterpret_cast<const char*>(b.data()));
}

inline std::vector<uint8_t> bytesOf(const Data& d) {
  const auto* p = reinterpret_cast<const uint8_t*>(d.bytes());
  return std::vector<uint8_t>(p, p + d.size());
}

inline reloc relocation(uint32_t vaddr, uint32_t symndx, uint16_t type, int16_t addend = 0) {
  return reloc{vaddr, symndx, addend, type};
}

class Input {
public:
  explicit Input(const std::string& file, uint16_t device = testdev::core14Dev)
      : c(std::make_unique<Coff>()) {
    c->cFileName = file;
    c->cOptHdr.proc_type = device;
  }

  // A section of `size` bytes, holding `bytes` when they are given.
  Input& section(const std::string& name, uint32_t flags, uint32_t size, uint32_t paddr = 0,
                 const std::vector<uint8_t>& bytes = {}) {
    scnhdr h{};
    if (name.size() > 8) Coff::addString(c->cStrTbl, name);
    Coff::setName(h, c->cStrTbl, name);
    h.s_flags = flags;
    h.s_size = bytes.empty() ? size : static_cast<uint32_t>(bytes.size());
    h.s_paddr = h.s_vaddr = paddr;
    c->cScnNum[static_cast<int>(c->cScnNum.size()) + 1] = name;
    c->cScnHdr[name] = h;
    if (!bytes.empty()) c->cRawData[name] = dataOf(bytes);
    return *this;
  }

  Input& symbol(const std::string& name, int16_t scnum, uint8_t sclass = C_EXT, uint32_t value = 0) {
    syment s{};
    if (name.size() > 8) Coff::addString(c->cStrTbl, name);
    Coff::setName(s, c->cStrTbl, name);
    s.n_scnum = scnum;
    s.n_sclass = sclass;
    s.n_value = value;
    return slot(s, AuxKind::none);
  }

  Input& slot(const syment& s, AuxKind kind) {
    c->cSymTbl.push_back(s);
    c->cSymKind.push_back(kind);
    return *this;
  }
  template <class Aux>
  Input& aux(const Aux& record, AuxKind kind) {
    syment s{};
    setAux(s, record);
    return slot(s, kind);
  }

  Input& file(const std::string& source) {
    symbol(".file", -2, C_FILE);
    c->cSymTbl.back().n_numaux = 1;
    return aux(aux_file{Coff::addString(c->cStrTbl, source), 0, 0, {}}, AuxKind::file);
  }

  // A function "f" whose auxiliary slot reads as a definition of `name`.
  Input& lookalikeAux(const std::string& name) {
    symbol("f", 1);
    c->cSymTbl.back().n_numaux = 1;
    symbol(name, 1);
    c->cSymKind.back() = AuxKind::fcn;
    return *this;
  }

  std::unique_ptr<Coff> c;
};

class LinkerRig : public ::testing::Test {
protected:
  void SetUp() override {
    Error::reset();
    Error::quiet(true);
  }
  void TearDown() override { Error::reset(); }

  Coff& add(Input& in) {
    l.cCoff.push_back(std::move(in.c));
    return *l.cCoff.back();
  }
  void codePage(const std::string& name, uint32_t start, uint32_t end) {
    ASSERT_TRUE(l.cConfig.AddCodePage(Memory(name, start, end, rom, false, false, ""), error)) << error;
  }
  void dataBank(const std::string& name, uint32_t start, uint32_t end) {
    ASSERT_TRUE(l.cConfig.AddDataBank(Memory(name, start, end, ram, false, false, ""), error)) << error;
  }
  void prepare() {
    ASSERT_TRUE(verifyProcessor(l, error)) << error;
    ASSERT_TRUE(buildSectionAttribs(l, error)) << error;
  }

  LinkContext l{Config()};
  std::string error;
};

}  // namespace tarsil::testing
