// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <iosfwd>
#include <string>

namespace tarsil {

// One SECTION directive: where a named section is to be placed.
class SectionDesc {
public:
  SectionDesc() = default;
  SectionDesc(const std::string& name, const std::string& loadMemory, const std::string& runMemory)
      : cName(name), cLoadMemory(loadMemory), cRunMemory(runMemory) {}

  const std::string& getName() const { return cName; }
  const std::string& getLoadMemory() const { return cLoadMemory; }
  const std::string& getRunMemory() const { return cRunMemory; }

  bool operator<(const SectionDesc& other) const { return cName < other.cName; }
  bool operator==(const SectionDesc& other) const { return cName == other.cName; }

  void print(std::ostream& os) const;

private:
  std::string cName;
  std::string cLoadMemory;
  std::string cRunMemory;
};

// The STACK directive.
class StackDesc {
public:
  StackDesc() = default;
  StackDesc(uint32_t size, const std::string& runMemory) : cSize(size), cRunMemory(runMemory) {}

  uint32_t getSize() const { return cSize; }
  const std::string& getRunMemory() const { return cRunMemory; }

  bool operator<(const StackDesc& other) const { return cSize < other.cSize; }
  bool operator==(const StackDesc& other) const { return cSize == other.cSize; }

  void print(std::ostream& os) const;

private:
  uint32_t cSize = 0;
  std::string cRunMemory;
};

}  // namespace tarsil
