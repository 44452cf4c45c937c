// SPDX-License-Identifier: Apache-2.0
#include "coff/StringTable.h"

#include <algorithm>
#include <cstring>

namespace tarsil {

StringTable::iterator::iterator(const StringTable* table, size_t block, size_t pos)
    : cTable(table), cBlock(block), cPos(pos) {
  settle();
}

// Points the entry at the string at cPos, or at end() past the last block.
void StringTable::iterator::settle() {
  while (cBlock < cTable->cBlocks.size() && cPos >= cTable->cBlocks[cBlock].bytes->size()) {
    ++cBlock;
    cPos = 0;
  }
  if (cBlock == cTable->cBlocks.size()) {
    cPos = 0;
    return;
  }
  const Block& b = cTable->cBlocks[cBlock];
  const char* text = b.bytes->data() + cPos;
  cEntry = {b.start + static_cast<uint32_t>(cPos), std::string_view(text)};
}

StringTable::iterator& StringTable::iterator::operator++() {
  cPos += cEntry.second.size() + 1;
  settle();
  return *this;
}

StringTable::StringTable(std::initializer_list<std::string_view> strings) {
  for (std::string_view s : strings) add(s);
}

void StringTable::assign(std::string bytes) {
  clear();
  if (bytes.empty()) return;
  cBytes = bytes.size();
  cCount = static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\0'));
  cBlocks.push_back({firstOffset, std::make_shared<std::string>(std::move(bytes))});
}

const StringTable::Block* StringTable::blockOf(uint32_t offset) const {
  if (cBlocks.empty() || offset < firstOffset) return nullptr;
  // Tables read from a file are one block; only tables that grew have more.
  if (cBlocks.size() == 1) return &cBlocks.front();
  auto after = std::upper_bound(cBlocks.begin(), cBlocks.end(), offset,
                                [](uint32_t o, const Block& b) { return o < b.start; });
  return &*(after - 1);
}

std::optional<std::string_view> StringTable::at(uint32_t offset) const {
  const Block* b = blockOf(offset);
  if (b == nullptr) return std::nullopt;
  const size_t pos = offset - b->start;
  const std::string& bytes = *b->bytes;
  // Only the first byte of a string names it: the offset of a string's tail
  // is no string of the table.
  if (pos >= bytes.size() || (pos != 0 && bytes[pos - 1] != '\0')) return std::nullopt;
  return std::string_view(bytes.data() + pos);
}

StringTable::iterator StringTable::find(uint32_t offset) const {
  const Block* b = blockOf(offset);
  if (b == nullptr || !at(offset)) return end();
  return iterator(this, static_cast<size_t>(b - cBlocks.data()), offset - b->start);
}

std::string& StringTable::roomFor(size_t n) {
  if (!cBlocks.empty()) {
    std::string& last = *cBlocks.back().bytes;
    // Appending within its capacity leaves a block's bytes where they are.
    if (cBlocks.back().bytes.use_count() == 1 && last.capacity() - last.size() >= n) return last;
  }
  const size_t previous = cBlocks.empty() ? 0 : cBlocks.back().bytes->capacity();
  auto bytes = std::make_shared<std::string>();
  bytes->reserve(std::max({n, previous * 2, size_t{256}}));
  cBlocks.push_back({nextOffset(), std::move(bytes)});
  return *cBlocks.back().bytes;
}

uint32_t StringTable::add(std::string_view s) {
  const uint32_t offset = nextOffset();
  std::string& block = roomFor(s.size() + 1);
  block.append(s);
  block.push_back('\0');
  cBytes += s.size() + 1;
  ++cCount;
  return offset;
}

std::optional<uint32_t> StringTable::offsetOf(std::string_view s) const {
  for (const Entry& e : *this)
    if (e.second == s) return e.first;
  return std::nullopt;
}

bool StringTable::operator==(const StringTable& other) const {
  if (cBytes != other.cBytes || cCount != other.cCount) return false;
  auto a = begin();
  auto b = other.begin();
  for (; a != end(); ++a, ++b)
    if (a->first != b->first || a->second != b->second) return false;
  return true;
}

}  // namespace tarsil
