// SPDX-License-Identifier: Apache-2.0
#include "support/Temporaries.h"

#include <cstdlib>
#include <type_traits>

#include "support/Platform.h"

namespace tarsil {

static_assert(std::atomic<char*>::is_always_lock_free && std::atomic<int>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);
static_assert(std::is_trivially_destructible_v<Temporaries>);

// The count goes up before the end is looked at, and removeAll announces the
// end before it looks at the count: one of the two always sees the other.
bool Temporaries::beginCreating() {
  cCreating.fetch_add(1);
  if (!cEnding.load()) return true;
  cCreating.fetch_sub(1);
  return false;
}

void Temporaries::endCreating() { cCreating.fetch_sub(1); }

int Temporaries::add(char* name) {
  for (int i = 0; i < kSlots; ++i) {
    char* empty = nullptr;
    if (!cSlots[i].compare_exchange_strong(empty, name)) continue;
    int inUse = cInUse.load();
    while (inUse <= i && !cInUse.compare_exchange_weak(inUse, i + 1)) {
    }
    return i;
  }
  return -1;
}

void Temporaries::forget(int slot) {
  if (slot >= 0) std::free(cSlots[slot].exchange(nullptr));
}

void Temporaries::removeAll(bool release) {
  cEnding.store(true);
  // A creation in progress is a few system calls on another thread.
  while (cCreating.load() != 0) {
  }
  const int inUse = cInUse.load();
  for (int i = 0; i < inUse; ++i) {
    char* name = cSlots[i].exchange(nullptr);
    if (!name) continue;
    platform::removeWhileInterrupted(name);
    if (release) std::free(name);
  }
}

}  // namespace tarsil
