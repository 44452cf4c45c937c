#pragma once
// The text forms that every part of a dump shares (names go through
// printable(), in CoffNames.h).
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "CoffNames.h"

namespace tarsil::tools {

inline std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

}  // namespace tarsil::tools
