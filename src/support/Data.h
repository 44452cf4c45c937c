#pragma once
#include <cstdint>
#include <iosfwd>
#include <vector>

namespace tarsil {

// An owned byte buffer: the raw data of a section. Copies are deep.
class Data {
public:
  Data() = default;
  Data(unsigned long size, const char* bytes);
  explicit Data(unsigned long size);

  // Null when the buffer is empty.
  char* bytes() { return cBytes.empty() ? nullptr : cBytes.data(); }
  const char* bytes() const { return cBytes.empty() ? nullptr : cBytes.data(); }
  uint32_t size() const { return static_cast<uint32_t>(cBytes.size()); }

  void append(const Data& other);
  void print(std::ostream& os) const;

private:
  std::vector<char> cBytes;
};

}  // namespace tarsil
