// SPDX-License-Identifier: Apache-2.0
#pragma once
// The map listing's text, put together by hand: the listing has two rows per
// symbol, and formatting them through streams cost more than the rest of the
// map. Rows go through a fixed buffer straight to their destination, so the
// listing never exists whole in memory.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <memory>
#include <string>
#include <string_view>

#include "support/HexText.h"

namespace tarsil {

class AtomicFile;

// Hexadecimal fields show "0x" and at least six digits; a value that needs
// more keeps all of them and makes its field wider, so large sections and
// addresses are shown whole.
constexpr int mapHexDigits = 6;

// Copies the short texts the listing is made of (names, file names) without
// a library call for each: two overlapping fixed-size copies cover any
// length up to twice their size.
inline void copyText(char* to, const char* from, size_t n) {
  if (n >= 8 && n <= 16) {
    std::memcpy(to, from, 8);
    std::memcpy(to + n - 8, from + n - 8, 8);
  } else if (n >= 4 && n < 8) {
    std::memcpy(to, from, 4);
    std::memcpy(to + n - 4, from + n - 4, 4);
  } else if (n < 4) {
    for (size_t i = 0; i < n; ++i) to[i] = from[i];
  } else {
    std::memcpy(to, from, n);
  }
}

// One row being written in place. The columns follow printf's "%*s" and
// "%-*s": padded, never cut, so a long name pushes the rest of its row along
// instead of losing characters. Widths are constants, so the padding is a
// fixed store that the text then partly covers.
class MapRow {
public:
  explicit MapRow(char* at) : cBegin(at), cEnd(at) {}

  MapRow& put(char c) {
    *cEnd++ = c;
    return *this;
  }
  MapRow& put(std::string_view text) {
    // An empty view may hold no pointer at all, which is never read.
    copyText(cEnd, text.data(), text.size());
    cEnd += text.size();
    return *this;
  }
  template <size_t Count>
  MapRow& copy(const char* text) {
    std::memcpy(cEnd, text, Count);
    cEnd += Count;
    return *this;
  }
  template <size_t Count>
  MapRow& spaces() {
    std::memset(cEnd, ' ', Count);
    cEnd += Count;
    return *this;
  }
  template <size_t Width>
  MapRow& right(std::string_view text) {
    if (text.size() < Width) {
      std::memset(cEnd, ' ', Width);
      cEnd += Width - text.size();
    }
    return put(text);
  }
  template <size_t Width>
  MapRow& left(std::string_view text) {
    std::memset(cEnd, ' ', Width);
    copyText(cEnd, text.data(), text.size());
    cEnd += text.size() < Width ? Width : text.size();
    return *this;
  }
  template <size_t Width>
  MapRow& hex(uint64_t value) {
    // Nearly every value has six digits or fewer: their field is the same
    // every time.
    if constexpr (Width >= 8) {
      if (value < 0x1000000) {
        std::memset(cEnd, ' ', Width - 8);
        char* at = cEnd + Width - 8;
        at[0] = '0';
        at[1] = 'x';
        std::memcpy(at + 2, hexDigitPairs + 2 * ((value >> 16) & 0xFF), 2);
        std::memcpy(at + 4, hexDigitPairs + 2 * ((value >> 8) & 0xFF), 2);
        std::memcpy(at + 6, hexDigitPairs + 2 * (value & 0xFF), 2);
        cEnd += Width;
        return *this;
      }
    }
    const size_t length = hexTextLength(value, mapHexDigits);
    if (length < Width) {
      std::memset(cEnd, ' ', Width);
      cEnd += Width - length;
    }
    cEnd = putHexText(cEnd, value, mapHexDigits);
    return *this;
  }

  char* begin() const { return cBegin; }
  char* end() const { return cEnd; }

private:
  char* cBegin;
  char* cEnd;
};

class MapText {
public:
  // Into a stream, for listings that tests and tools keep in memory.
  explicit MapText(std::ostream& os);
  // Into a file being written; its write() records any failure.
  explicit MapText(AtomicFile& file);
  ~MapText();
  MapText(const MapText&) = delete;
  MapText& operator=(const MapText&) = delete;

  MapText& put(std::string_view text);
  MapText& decimal(uint64_t value);

  // A row of at most `most` bytes, taken into the text by add().
  MapRow row(size_t most) {
    if (cCapacity - cUsed >= most) return MapRow(cBuffer.get() + cUsed);
    return roomElsewhere(most);
  }
  void add(const MapRow& row) {
    if (row.begin() == cBuffer.get() + cUsed)
      cUsed += static_cast<size_t>(row.end() - row.begin());
    else
      addFromElsewhere(row);
  }

  // Hands the buffered text on; false when the destination refused any of it.
  bool flush();

  static constexpr size_t cCapacity = 1 << 16;

private:
  void drain(std::string_view text);
  MapRow roomElsewhere(size_t most);
  void addFromElsewhere(const MapRow& row);

  std::ostream* cStream = nullptr;
  AtomicFile* cFile = nullptr;
  std::unique_ptr<char[]> cBuffer;
  size_t cUsed = 0;
  // Rows too long for the buffer: only names out of all proportion make one.
  std::string cLongRow;
  bool cFailed = false;
};

}  // namespace tarsil
