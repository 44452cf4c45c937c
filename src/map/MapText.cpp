#include "map/MapText.h"

#include <ostream>

#include "support/AtomicFile.h"

namespace tarsil {

std::string mapHex(uint64_t value) {
  std::string text(mapHexLength(value), '0');
  putMapHex(text.data(), value);
  return text;
}

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

MapRow MapText::row(size_t most) {
  if (most > cCapacity) {
    cLongRow.resize(most);
    return MapRow(cLongRow.data());
  }
  if (cCapacity - cUsed < most) flush();
  return MapRow(cBuffer.get() + cUsed);
}

void MapText::add(const MapRow& row) {
  const size_t length = static_cast<size_t>(row.end() - row.begin());
  if (row.begin() == cBuffer.get() + cUsed) {
    cUsed += length;
    return;
  }
  flush();
  drain({row.begin(), length});
}

}  // namespace tarsil
