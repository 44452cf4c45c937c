// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <list>
#include <string>
#include <string_view>

namespace tarsil {

// "0x"/"0X" prefix reads hexadecimal, anything else decimal; reading stops at
// the first character that is not a digit, and no digits at all give 0.
uint64_t str2ul(const std::string& s);

// Whether `s` is wholly a number as str2ul reads it: at least one digit, and
// nothing after the prefix but digits of its base. str2ul itself stops
// quietly at the first other character, which would turn "0x7FO" into 0x7F.
bool isNumber(const std::string& s);

std::string quote(const std::string& s);
std::string unquote(const std::string& s);

// Every separator ends an element, so "a;;b" has an empty middle element;
// a trailing separator adds none.
std::list<std::string> split(const std::string& s, char separator);

// One white-space separated word; double quotes group blanks into it.
bool extractToken(std::istream& in, std::string& token);

// Whether two names are equal, for the short names of sections and
// symbols: compared a word at a time, with overlapping loads for the tail,
// instead of a call or a byte loop.
inline bool sameText(std::string_view a, std::string_view b) {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  auto word = [](const char* at) {
    uint64_t w;
    std::memcpy(&w, at, sizeof w);
    return w;
  };
  auto half = [](const char* at) {
    uint32_t w;
    std::memcpy(&w, at, sizeof w);
    return w;
  };
  if (n >= 8) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8)
      if (word(p + i) != word(q + i)) return false;
    return i == n || word(p + n - 8) == word(q + n - 8);
  }
  if (n >= 4) return half(p) == half(q) && half(p + n - 4) == half(q + n - 4);
  for (size_t i = 0; i < n; ++i)
    if (p[i] != q[i]) return false;
  return true;
}

// The first eight bytes of `s` as one number, the first byte highest and a
// shorter string padded with zeros: the numbers order as those bytes do, so
// a sort of names compares whole words and reads the text only on a tie.
inline uint64_t leadingBytes(std::string_view s) {
  uint64_t lead = 0;
  for (size_t i = 0; i < 8; ++i) lead = lead << 8 | (i < s.size() ? static_cast<unsigned char>(s[i]) : 0u);
  return lead;
}

long swapBytes(long v);

// "0x" and width*2 lower-case digits of the low `width` bytes, or "<NaN>".
std::string hexPrint(uint64_t value, int width);

}  // namespace tarsil
