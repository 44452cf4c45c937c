// SPDX-License-Identifier: Apache-2.0
#pragma once
#include <string>

namespace tarsil {

// The entry of `map` under `name`, moving `it` forward through a map whose
// keys the caller visits in ascending order: a walk over all names costs one
// pass over the map instead of one search per name.
template <class Map>
auto advanceTo(const Map& map, typename Map::const_iterator& it, const std::string& name)
    -> const typename Map::mapped_type* {
  for (; it != map.end(); ++it) {
    const int c = it->first.compare(name);
    if (c == 0) return &it->second;
    if (c > 0) break;
  }
  return nullptr;
}

}  // namespace tarsil
