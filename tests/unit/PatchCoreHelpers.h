#pragma once
// A rig for the family patcher tests: one device, one symbol, one
// relocation over a few instruction words.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "coff/Coff.h"
#include "device/Processor.h"
#include "link/Linker.h"
#include "link/patch/PatchSupport.h"

namespace tarsil::testing {

inline Data wordsOf(const std::vector<uint16_t>& w) {
  std::vector<char> b;
  for (uint16_t x : w) {
    b.push_back(static_cast<char>(x & 0xFF));
    b.push_back(static_cast<char>(x >> 8));
  }
  return Data(b.size(), b.data());
}

inline std::vector<uint16_t> wordsIn(const Data& d) {
  const auto* p = reinterpret_cast<const uint8_t*>(d.bytes());
  std::vector<uint16_t> w;
  for (uint32_t i = 0; i + 1 < d.size(); i += 2) w.push_back(static_cast<uint16_t>(p[i] | (p[i + 1] << 8)));
  return w;
}

struct Outcome {
  bool ok = false;
  std::vector<uint16_t> words;
  std::string error;
};

// Everything printed for a failure, so that EXPECT_EQ shows what went wrong.
inline std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << (o.ok ? "ok" : "failed: " + o.error) << " [";
  for (uint16_t w : o.words) os << ' ' << std::hex << w;
  return os << " ]";
}

class PatchRig {
public:
  explicit PatchRig(const char* device) {
    EXPECT_TRUE(convertDvsProcName(device, &cLinker.cProcType)) << device;
    cLinker.cInstSet = getInstSet(cLinker.cProcType);
  }

  Linker& linker() { return cLinker; }

  struct Reloc {
    uint16_t type;
    uint32_t value;
    uint32_t offset = 0;
    int16_t addend = 0;
    uint32_t scnAddr = 0;
    std::string name = "target";
  };

  // Patches `words` with one relocation through Linker::doPatch.
  Outcome run(std::vector<uint16_t> words, const Reloc& rel) {
    syment s;
    std::map<int, std::string> strTbl;
    if (rel.name.size() > 8) {
      strTbl[4] = rel.name;
      s.set_n_offset(4);
    } else {
      std::memcpy(s.n_name, rel.name.data(), rel.name.size());
    }
    s.n_value = rel.value;
    s.n_sclass = C_EXT;
    std::vector<syment> symTbl{s};
    reloc r;
    r.r_vaddr = rel.offset;
    r.r_symndx = 0;
    r.r_offset = rel.addend;
    r.r_type = rel.type;
    Data d = wordsOf(words);
    Outcome o;
    o.ok = cLinker.doPatch(rel.scnAddr, d, r, symTbl, strTbl, o.error);
    o.words = wordsIn(d);
    return o;
  }

  // The words after a relocation that must succeed.
  std::vector<uint16_t> patched(std::vector<uint16_t> words, const Reloc& rel) {
    Outcome o = run(words, rel);
    EXPECT_TRUE(o.ok) << o;
    return o.words;
  }

  // The text of a relocation that must fail; the words must stay as they were.
  std::string refused(std::vector<uint16_t> words, const Reloc& rel) {
    Outcome o = run(words, rel);
    EXPECT_FALSE(o.ok) << o;
    EXPECT_EQ(o.words, words);
    return o.error;
  }

private:
  Linker cLinker;
};

using W = std::vector<uint16_t>;

}  // namespace tarsil::testing
