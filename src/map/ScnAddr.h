// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <string>

namespace tarsil {

// A section name with its address, for ordering the sections of one memory.
struct ScnAddr {
  std::string name;
  uint32_t address = 0;

  ScnAddr() = default;
  ScnAddr(const std::string& n, uint32_t a) : name(n), address(a) {}
};

inline bool scnaddr_less(const ScnAddr& a, const ScnAddr& b) { return a.address < b.address; }
inline bool scnaddr_greater(const ScnAddr& a, const ScnAddr& b) { return a.address > b.address; }

}  // namespace tarsil
