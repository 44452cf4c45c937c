// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <memory>

namespace tarsil {

// An owned byte buffer: the raw data of a section. Copies are deep.
//
// Zeros are held by their count until something asks for the bytes: a
// section that an object declares without bytes in the file, or a buffer
// about to be filled, costs no memory while only its size is looked at.
class Data {
public:
  Data() = default;
  Data(uint64_t size, const char* bytes);
  explicit Data(uint64_t size) : cSize(static_cast<uint32_t>(size)) {}
  Data(const Data& other);
  Data& operator=(const Data& other);
  // A buffer moved from is empty.
  Data(Data&& other) noexcept : cBytes(std::move(other.cBytes)), cSize(other.cSize) { other.cSize = 0; }
  Data& operator=(Data&& other) noexcept;

  // Null when the buffer is empty. Zeros still held by their count are made
  // here, so even the const form may allocate.
  char* bytes() { return onlyZeros() ? makeZeros() : cBytes.get(); }
  const char* bytes() const { return onlyZeros() ? makeZeros() : cBytes.get(); }
  uint32_t size() const { return cSize; }
  // The bytes when they are made, else null; never makes them. For asking
  // ahead for memory that a walk will read.
  const char* made() const { return cBytes.get(); }
  // True while every byte is a zero not made yet.
  bool onlyZeros() const { return cSize != 0 && !cBytes; }

  void append(const Data& other);
  void print(std::ostream& os) const;

private:
  char* makeZeros() const;

  // Null when the size is 0 or the zeros are not made yet.
  mutable std::unique_ptr<char[]> cBytes;
  uint32_t cSize = 0;
};

}  // namespace tarsil
