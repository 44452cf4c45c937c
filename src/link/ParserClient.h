// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <cstdint>
#include <string>

#include "link/SectionDesc.h"
#include "memory/Memory.h"

namespace tarsil {

// What the command line and the command files declare reaches the link
// through this interface. Each operation checks the declaration against those
// already accepted; on false, `error` says why and nothing was recorded.
class ParserClient {
public:
  virtual ~ParserClient() = default;
  virtual bool AddMinHeapSize(uint64_t size, std::string& error) = 0;
  virtual bool AddMapFile(const std::string& name, std::string& error) = 0;
  virtual bool AddOutputFile(const std::string& name, std::string& error) = 0;
  virtual bool AddObjectFile(const std::string& name, std::string& error) = 0;
  virtual bool AddLibraryFile(const std::string& name, std::string& error) = 0;
  virtual bool AddCodePage(const Memory& memory, std::string& error) = 0;
  virtual bool AddDataBank(const Memory& memory, std::string& error) = 0;
  virtual bool AddShareBank(const Memory& memory, std::string& error) = 0;
  virtual bool AddAccessBank(const Memory& memory, std::string& error) = 0;
  virtual bool AddSectionDesc(const SectionDesc& section, std::string& error) = 0;
  virtual bool AddStackDesc(const StackDesc& stack, std::string& error) = 0;
  virtual bool AddLibPath(const std::string& directory, std::string& error) = 0;
  virtual bool AddStrip(bool strip, std::string& error) = 0;
};

}  // namespace tarsil
