// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

namespace tarsil {

class Linker;

// The error map of a placement that succeeded. It shows what placement did,
// which no later stage changes, and it is wanted only when one of those
// stages fails: a link that completes replaces it with the full map. So it
// is rendered and written when the run gives up, never on a link that
// completes. Whether its file can be written is found out at once, so that
// a map that cannot be written is reported where the immediate write would
// have reported it.
class PendingErrorMap {
public:
  explicit PendingErrorMap(const Linker& linker);
  // Writes the error map unless dismiss() was called.
  ~PendingErrorMap();
  PendingErrorMap(const PendingErrorMap&) = delete;
  PendingErrorMap& operator=(const PendingErrorMap&) = delete;

  // The link completed: its full map stands in the error map's place.
  void dismiss() { cPending = false; }
  bool pending() const { return cPending; }

private:
  const Linker& cLinker;
  // The creation line's time: when placement was done.
  std::string cCreated;
  bool cPending = false;
};

}  // namespace tarsil
