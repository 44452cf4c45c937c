#include "support/Strings.h"

#include <cstdint>
#include <cstdio>
#include <istream>

namespace tarsil {

unsigned long str2ul(const std::string& s) {
  unsigned base = 10;
  size_t i = 0;
  if (s.size() > 2 && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    i = 2;
  }
  // Like the C runtime's conversion, but without its sign and blank handling
  // reaching past what the command-file language allows, and saturating
  // instead of wrapping on overflow.
  unsigned long value = 0;
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

std::string hexPrint(unsigned long value, int width) {
  if (width < 1 || width > 4) return "<NaN>";
  // The map prints two addresses per symbol: formatting through printf
  // cost more than sorting the symbols.
  static constexpr char digits[] = "0123456789abcdef";
  const int count = width * 2;
  std::string text(static_cast<size_t>(count) + 2, '0');
  text[1] = 'x';
  for (int i = 0; i < count; ++i) text[static_cast<size_t>(count + 1 - i)] = digits[(value >> (4 * i)) & 0xF];
  return text;
}

}  // namespace tarsil
