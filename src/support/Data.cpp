#include "support/Data.h"

#include <ostream>

#include "support/HexText.h"

namespace tarsil {

Data::Data(unsigned long size, const char* bytes) : cBytes(bytes, bytes + size) {}

Data::Data(unsigned long size) : cBytes(size, 0) {}

void Data::append(const Data& other) { cBytes.insert(cBytes.end(), other.cBytes.begin(), other.cBytes.end()); }

void Data::print(std::ostream& os) const {
  for (size_t i = 0; i < cBytes.size(); ++i) {
    if (i != 0 && i % 4 == 0) os << ' ';
    if (i != 0 && i % 32 == 0) os << '\n';
    os << hexText(static_cast<unsigned char>(cBytes[i]), 2, hexBare);
  }
  os << '\n';
}

}  // namespace tarsil
