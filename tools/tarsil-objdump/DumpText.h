#pragma once
// The text forms that every part of a dump shares.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace tarsil::tools {

inline std::string hex(uint32_t value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

// Bytes outside printable ASCII as \xNN, so that a hostile name cannot upset
// the terminal or the line structure of a dump.
inline std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    unsigned char u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u < 0x7F && u != '\\') {
      out += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", u);
      out += escaped;
    }
  }
  return out;
}

}  // namespace tarsil::tools
