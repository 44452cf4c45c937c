// SPDX-License-Identifier: Apache-2.0
#pragma once
// A string table as the file holds it: NUL-terminated strings one after
// another, a string known by the offset of its first byte from the start of
// the table, whose first four bytes are its length (so the first string is at
// 4). The bytes are kept as they are, instead of a node and a copy per string.
//
// The bytes stand in blocks that never move once written, so a view of a
// string stays valid while any table holding its block lives, however much is
// added afterwards; copies of a table share its blocks. A block is written to
// only while one table holds it.
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tarsil {

class StringTable {
public:
  static constexpr uint32_t firstOffset = 4;

  // A string and its offset, as the table's iterator hands them out.
  struct Entry {
    uint32_t first = 0;
    std::string_view second;
  };

  class iterator {
  public:
    iterator() = default;
    const Entry& operator*() const { return cEntry; }
    const Entry* operator->() const { return &cEntry; }
    iterator& operator++();
    bool operator==(const iterator& other) const { return cBlock == other.cBlock && cPos == other.cPos; }

  private:
    friend class StringTable;
    iterator(const StringTable* table, size_t block, size_t pos);
    void settle();

    const StringTable* cTable = nullptr;
    size_t cBlock = 0;
    size_t cPos = 0;
    Entry cEntry;
  };

  StringTable() = default;
  // Strings laid one after another from offset 4, for tests and tools.
  StringTable(std::initializer_list<std::string_view> strings);

  // Replaces the table with `bytes`, which must be whole strings, each with
  // its NUL: the part of a file's table up to its first empty string.
  void assign(std::string bytes);

  iterator begin() const { return iterator(this, 0, 0); }
  iterator end() const { return iterator(this, cBlocks.size(), 0); }
  // The string that starts at `offset`, or end().
  iterator find(uint32_t offset) const;
  // The string that starts at `offset`; no value when none starts there.
  std::optional<std::string_view> at(uint32_t offset) const;
  bool contains(uint32_t offset) const { return at(offset).has_value(); }

  // Appends `s` at nextOffset() and returns its offset. An equal string
  // already present is not looked for.
  uint32_t add(std::string_view s);
  // Where the next string added will be.
  uint32_t nextOffset() const { return firstOffset + static_cast<uint32_t>(cBytes); }
  // The bytes of the strings with their NULs: the table's length less 4.
  uint64_t byteSize() const { return cBytes; }
  size_t size() const { return cCount; }
  bool empty() const { return cCount == 0; }
  void clear() { *this = StringTable(); }

  // The offset of the first string equal to `s`, by offset.
  std::optional<uint32_t> offsetOf(std::string_view s) const;

  // The same strings at the same offsets.
  bool operator==(const StringTable& other) const;

private:
  struct Block {
    uint32_t start;  // offset of its first byte
    std::shared_ptr<std::string> bytes;
  };
  // The block holding `offset`, or null.
  const Block* blockOf(uint32_t offset) const;
  // A block of its own with room for `n` more bytes at the end.
  std::string& roomFor(size_t n);

  std::vector<Block> cBlocks;
  size_t cBytes = 0;
  size_t cCount = 0;
};

}  // namespace tarsil
