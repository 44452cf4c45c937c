// SPDX-License-Identifier: Apache-2.0
#pragma once
// Hexadecimal numbers as text: one writer for messages, dumps, listings and
// the tools' output, so that a value is never cut to fewer digits than it
// needs by one caller's private copy.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace tarsil {

// How a number is spelled; the default is "0x" and lower-case digits.
enum HexOptions : unsigned {
  hexPrefixed = 0,
  hexBare = 1,   // no "0x"
  hexUpper = 2,  // digits A-F (the prefix stays "0x")
};

// Two lower-case digits for each byte value: "000102...feff".
extern const char hexDigitPairs[513];

// The length of what putHexText writes: the prefix and the value's digits,
// at least `minDigits` (and at least one) of them.
inline size_t hexTextLength(uint64_t value, int minDigits, unsigned options = hexPrefixed) {
  size_t digits = (static_cast<size_t>(std::bit_width(value)) + 3) / 4;
  const size_t least = minDigits < 1 ? 1 : static_cast<size_t>(minDigits);
  if (digits < least) digits = least;
  return digits + ((options & hexBare) != 0 ? 0 : 2);
}

// Writes the value at `at` and returns the end: a value that needs more than
// `minDigits` digits keeps them all. Two digits a step, since the map lists
// two numbers per symbol.
inline char* putHexText(char* at, uint64_t value, int minDigits, unsigned options = hexPrefixed) {
  char* const end = at + hexTextLength(value, minDigits, options);
  if ((options & hexBare) == 0) {
    at[0] = '0';
    at[1] = 'x';
    at += 2;
  }
  char* p = end;
  for (; p - at > 1; value >>= 8) {
    p -= 2;
    std::memcpy(p, hexDigitPairs + 2 * (value & 0xFF), 2);
  }
  if (p != at) at[0] = hexDigitPairs[2 * (value & 0xF) + 1];
  if ((options & hexUpper) != 0)
    for (char* d = at; d != end; ++d)
      if (*d >= 'a') *d = static_cast<char>(*d - 'a' + 'A');
  return end;
}

inline std::string hexText(uint64_t value, int minDigits = 1, unsigned options = hexPrefixed) {
  std::string text(hexTextLength(value, minDigits, options), '0');
  putHexText(text.data(), value, minDigits, options);
  return text;
}

}  // namespace tarsil
