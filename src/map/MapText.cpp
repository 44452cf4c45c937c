// SPDX-License-Identifier: Apache-2.0
#include "map/MapText.h"

#include <ostream>

#include "support/AtomicFile.h"

namespace tarsil {

MapText::MapText(std::ostream& os) : cStream(&os), cBuffer(new char[cCapacity]) {}

MapText::MapText(AtomicFile& file) : cFile(&file), cBuffer(new char[cCapacity]) {}

MapText::~MapText() { flush(); }

void MapText::drain(std::string_view text) {
  if (text.empty()) return;
  if (cStream != nullptr) {
    cStream->write(text.data(), static_cast<std::streamsize>(text.size()));
    if (!*cStream) cFailed = true;
  } else if (!cFile->write(text)) {
    cFailed = true;
  }
}

bool MapText::flush() {
  drain({cBuffer.get(), cUsed});
  cUsed = 0;
  return !cFailed;
}

MapText& MapText::put(std::string_view text) {
  // Text as large as the buffer, from a writer with a buffer of its own,
  // goes straight on instead of being copied once more.
  if (text.size() >= cCapacity / 2) {
    flush();
    drain(text);
    return *this;
  }
  MapRow r = row(text.size());
  r.put(text);
  add(r);
  return *this;
}

MapText& MapText::decimal(uint64_t value) {
  char digits[20];
  size_t n = sizeof digits;
  do {
    digits[--n] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  return put({digits + n, sizeof digits - n});
}

MapRow MapText::roomElsewhere(size_t most) {
  if (most > cCapacity) {
    cLongRow.resize(most);
    return MapRow(cLongRow.data());
  }
  flush();
  return MapRow(cBuffer.get());
}

void MapText::addFromElsewhere(const MapRow& row) {
  flush();
  drain({row.begin(), static_cast<size_t>(row.end() - row.begin())});
}

}  // namespace tarsil
