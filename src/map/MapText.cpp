#include "map/MapText.h"

#include <ostream>

#include "support/AtomicFile.h"

namespace tarsil {

const char mapHexPairs[513] =
    "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"
    "202122232425262728292a2b2c2d2e2f303132333435363738393a3b3c3d3e3f"
    "404142434445464748494a4b4c4d4e4f505152535455565758595a5b5c5d5e5f"
    "606162636465666768696a6b6c6d6e6f707172737475767778797a7b7c7d7e7f"
    "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f"
    "a0a1a2a3a4a5a6a7a8a9aaabacadaeafb0b1b2b3b4b5b6b7b8b9babbbcbdbebf"
    "c0c1c2c3c4c5c6c7c8c9cacbcccdcecfd0d1d2d3d4d5d6d7d8d9dadbdcdddedf"
    "e0e1e2e3e4e5e6e7e8e9eaebecedeeeff0f1f2f3f4f5f6f7f8f9fafbfcfdfeff";

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
