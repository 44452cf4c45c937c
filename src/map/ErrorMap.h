// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <iosfwd>
#include <string>

#include "memory/Memory.h"

namespace tarsil {

// The error map's text: the declared memories and what placement put in
// them. `created` is the time line, break included.
void renderErrorMap(std::ostream& os, const std::string& created, const DeclaredMemories& memories);
// Writes the error map now to the file `name`; a file that cannot be
// written is reported, and costs the listing, not the link.
void writeErrorMap(const std::string& name, const DeclaredMemories& memories);

// The error map of a placement that succeeded. It shows what placement did,
// which no later stage changes, and it is wanted only when one of those
// stages fails: a link that completes replaces it with the full map. So it
// is rendered and written when the run gives up, never on a link that
// completes. Whether its file can be written is found out at once, so that
// a map that cannot be written is reported where the immediate write would
// have reported it.
class PendingErrorMap {
public:
  // Nothing is pending without a map file `name`.
  PendingErrorMap(const std::string& name, const DeclaredMemories& memories);
  // Writes the error map unless dismiss() was called.
  ~PendingErrorMap();
  PendingErrorMap(const PendingErrorMap&) = delete;
  PendingErrorMap& operator=(const PendingErrorMap&) = delete;

  // The link completed: its full map stands in the error map's place.
  void dismiss() { cPending = false; }
  bool pending() const { return cPending; }

private:
  std::string cName;
  const DeclaredMemories cMemories;
  // The creation line's time: when placement was done.
  std::string cCreated;
  bool cPending = false;
};

}  // namespace tarsil
