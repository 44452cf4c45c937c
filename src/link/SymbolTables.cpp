// SPDX-License-Identifier: Apache-2.0
#include "link/SymbolTables.h"

namespace tarsil {

void ExtRefBindings::assign(std::vector<value_type> bindings, std::vector<Run> runs) {
  std::erase_if(runs, [](const Run& r) { return r.count == 0; });
  auto runLess = [&bindings](const Run& a, const Run& b) {
    return std::less<const syment*>{}(bindings[a.first].first, bindings[b.first].first);
  };
  // Inputs are usually allocated one after another, so the runs tend to be
  // in address order already and need no copy.
  if (std::is_sorted(runs.begin(), runs.end(), runLess)) {
    cBindings = std::move(bindings);
    // The table stays for most of the link: a vector grown by doubling may
    // be half empty, but a little slack is not worth a copy of it all.
    if (cBindings.capacity() - cBindings.size() > cBindings.size() / 8) cBindings.shrink_to_fit();
    return;
  }
  std::sort(runs.begin(), runs.end(), runLess);
  cBindings.clear();
  cBindings.reserve(bindings.size());
  for (const Run& r : runs)
    cBindings.insert(cBindings.end(), bindings.begin() + static_cast<std::ptrdiff_t>(r.first),
                     bindings.begin() + static_cast<std::ptrdiff_t>(r.first + r.count));
}

}  // namespace tarsil
