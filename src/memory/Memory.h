#pragma once
// Placeholder interface: the memory-regions work fills in Range and the rest
// of Memory. The parser only builds Memory values and the configuration only
// asks for name, size and overlap.
#include <cstdint>
#include <iosfwd>
#include <string>

namespace tarsil {

enum MemType { rom = 0, ram = 1 };

class Memory {
public:
  Memory(const std::string& name, uint32_t start, uint32_t end, MemType type, bool isProtected, bool hasFill,
         const std::string& fill);

  const std::string& getName() const { return cName; }
  MemType type() const { return cType; }
  bool isProtected() const { return cProtected; }
  bool hasFill() const { return cHasFill; }
  const std::string& getFill() const { return cFill; }
  uint32_t getPhysicalStart() const { return cPhysicalStart; }
  uint32_t getPhysicalEnd() const { return cPhysicalEnd; }
  uint32_t size() const { return cPhysicalEnd - cPhysicalStart + 1; }
  bool overlap(const Memory& other) const;
  void print(std::ostream& os) const;

private:
  std::string cName;
  MemType cType;
  bool cProtected;
  bool cHasFill;
  std::string cFill;
  uint32_t cPhysicalStart;
  uint32_t cPhysicalEnd;
};

}  // namespace tarsil
