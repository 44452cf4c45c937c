// SPDX-License-Identifier: Apache-2.0
#include "support/Strings.h"

#include <cstdint>
#include <istream>

#include "support/HexText.h"

namespace tarsil {

uint64_t str2ul(const std::string& s) {
  unsigned base = 10;
  size_t i = 0;
  if (s.size() > 2 && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  }
  // Like the C runtime's conversion, but without its sign and blank handling
  // reaching past what the command-file language allows, and saturating
  // instead of wrapping on overflow.
  uint64_t value = 0;
  bool overflow = false;
  for (; i < s.size(); ++i) {
    char c = s[i];
    unsigned digit;
    if (c >= '0' && c <= '9') digit = static_cast<unsigned>(c - '0');
    else if (base == 16 && c >= 'a' && c <= 'f') digit = static_cast<unsigned>(c - 'a' + 10);
    else if (base == 16 && c >= 'A' && c <= 'F') digit = static_cast<unsigned>(c - 'A' + 10);
    else break;
    if (digit >= base) break;
    if (value > (~0UL - digit) / base) overflow = true;
    else value = value * base + digit;
  }
  return overflow ? ~0UL : value;
}

bool isNumber(const std::string& s) {
  const bool hex = s.size() > 2 && (s[1] == 'x' || s[1] == 'X');
  const size_t first = hex ? 2 : 0;
  if (first == s.size()) return false;
  for (size_t i = first; i < s.size(); ++i) {
    const char c = s[i];
    const bool digit = (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return false;
  }
  return true;
}

std::string quote(const std::string& s) { return "\"" + s + "\""; }

std::string unquote(const std::string& s) {
  std::string out;
  for (char c : s)
    if (c != '"') out += c;
  return out;
}

std::list<std::string> split(const std::string& s, char separator) {
  std::list<std::string> out;
  std::string current;
  for (char c : s) {
    if (c == separator) {
      out.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  if (!current.empty()) out.push_back(current);
  return out;
}

static bool isBlank(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool extractToken(std::istream& in, std::string& token) {
  token.clear();
  bool appended = false;
  bool quoted = false;
  int c;
  while ((c = in.peek()) != EOF && isBlank(c)) in.get();
  while ((c = in.get()) != EOF) {
    if (quoted) {
      if (c == '"') quoted = false;
      else {
        token += static_cast<char>(c);
        appended = true;
      }
    } else if (isBlank(c)) {
      return appended;
    } else if (c == '"') {
      quoted = true;
    } else {
      token += static_cast<char>(c);
      appended = true;
    }
  }
  return appended && !quoted;
}

long swapBytes(long v) {
  uint32_t u = static_cast<uint32_t>(v);
  u = (u >> 24) | ((u >> 8) & 0xFF00u) | ((u << 8) & 0xFF0000u) | (u << 24);
  return static_cast<long>(static_cast<int32_t>(u));
}

const char hexDigitPairs[513] =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
    "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
    "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
    "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
    "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
    "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

std::string hexPrint(uint64_t value, int width) {
  if (width < 1 || width > 4) return "<NaN>";
  const uint64_t mask = (uint64_t{1} << (8 * width)) - 1;
  return hexText(value & mask, 2 * width);
}

}  // namespace tarsil
