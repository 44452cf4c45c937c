// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "link/Config.h"
#include "memory/Memory.h"
#include "support/FileIdentity.h"

namespace tarsil {

class Coff;
struct LinkContext;

// One link, as the driver and the outputs beside the executable see it: made
// from what the command line and the command files declared, run once.
class Linker {
public:
  explicit Linker(Config config);
  ~Linker();
  Linker(const Linker&) = delete;
  Linker& operator=(const Linker&) = delete;

  // Runs every pass in order; false with `error` set (or empty when the
  // failing pass reported its own messages) ends the link.
  bool run(std::string& error);

  // Every file the link read, each once, in the order first read: the
  // command files, then the objects and libraries as found.
  const FileSet& getInputFiles() const;
  // Every file the link writes, in the order written, where each is written.
  std::vector<OutputName> outputs() const;
  // The declared memories, with what placement put in them.
  DeclaredMemories memories() const;
  // The executable, once run has succeeded.
  const Coff& executable() const;

  // The configuration and, on the "Linker::print" debug channel, the state.
  void print(std::ostream& os) const;

private:
  std::unique_ptr<LinkContext> cContext;
};

}  // namespace tarsil
