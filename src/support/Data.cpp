// SPDX-License-Identifier: Apache-2.0
#include "support/Data.h"

#include <cstring>
#include <ostream>

#include "support/HexText.h"

namespace tarsil {

Data::Data(uint64_t size, const char* bytes) : cSize(static_cast<uint32_t>(size)) {
  if (cSize == 0) return;
  cBytes.reset(new char[cSize]);
  std::memcpy(cBytes.get(), bytes, cSize);
}

Data::Data(const Data& other) : cSize(other.cSize) {
  if (other.cBytes) {
    cBytes.reset(new char[cSize]);
    std::memcpy(cBytes.get(), other.cBytes.get(), cSize);
  }
}

Data& Data::operator=(const Data& other) {
  if (this != &other) *this = Data(other);
  return *this;
}

Data& Data::operator=(Data&& other) noexcept {
  cBytes = std::move(other.cBytes);
  cSize = other.cSize;
  other.cSize = 0;
  return *this;
}

char* Data::makeZeros() const {
  cBytes.reset(new char[cSize]());
  return cBytes.get();
}

void Data::append(const Data& other) {
  if (other.cSize == 0) return;
  const uint32_t size = cSize + other.cSize;
  if (onlyZeros() && other.onlyZeros()) {
    cSize = size;
    return;
  }
  std::unique_ptr<char[]> joined(new char[size]);
  std::memcpy(joined.get(), bytes(), cSize);
  std::memcpy(joined.get() + cSize, other.bytes(), other.cSize);
  cBytes = std::move(joined);
  cSize = size;
}

void Data::print(std::ostream& os) const {
  const char* bytes = this->bytes();
  for (size_t i = 0; i < cSize; ++i) {
    if (i != 0 && i % 4 == 0) os << ' ';
    if (i != 0 && i % 32 == 0) os << '\n';
    os << hexText(static_cast<unsigned char>(bytes[i]), 2, hexBare);
  }
  os << '\n';
}

}  // namespace tarsil
