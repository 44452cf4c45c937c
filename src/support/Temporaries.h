// SPDX-License-Identifier: Apache-2.0
#pragma once
// The temporary files a process has made and not yet renamed or removed,
// for a handler to remove when the process is ended from outside. The handler
// may run on any thread while another is between creating a file and
// recording its name; it waits such a creation out, and once it has begun no
// new creation starts, so that no file made in that window is left behind.
// The handler only reads atomics and removes files: it takes no lock and
// allocates nothing, and the window it waits for does neither.
#include <atomic>

namespace tarsil {

class Temporaries {
public:
  // Opens the window for one creation; false when the process is ending,
  // and no file may be made any more.
  bool beginCreating();
  // Records `name` (allocated with malloc, then owned here) in a free slot,
  // inside the window, so that removeAll sees every slot taken:
  // the slot, or -1 when every slot is taken and the file will not be
  // removed by an interruption.
  int add(char* name);
  void endCreating();

  // Forgets a file that was renamed or removed.
  void forget(int slot);
  // Removes every recorded file. From an interruption handler (`release`
  // false, names are not freed) or at exit.
  void removeAll(bool release);
  bool ending() const { return cEnding.load(); }

private:
  static constexpr int kSlots = 4096;
  // Trivially destroyed: a handler may still read them while statics are.
  std::atomic<char*> cSlots[kSlots]{};
  // One past the highest slot ever taken: removal looks no further.
  std::atomic<int> cInUse{0};
  std::atomic<int> cCreating{0};
  std::atomic<bool> cEnding{false};
};

}  // namespace tarsil
