#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quorvel {

// Of the records at `positions` (in the order they were given), those a
// database keeps, in ascending byte order of their ids: of records with one
// id, the last given, as storing them one after another would leave it.
// `id_of(position)` is the id of the record there.
template <typename IdOf>
std::vector<std::size_t> kept_in_id_order(std::vector<std::size_t> positions, IdOf id_of) {
  std::stable_sort(positions.begin(), positions.end(),
                   [&](std::size_t a, std::size_t b) { return id_of(a) < id_of(b); });
  std::vector<std::size_t> kept;
  kept.reserve(positions.size());
  for (std::size_t i = 0; i < positions.size(); ++i) {
    if (i + 1 < positions.size() && id_of(positions[i + 1]) == id_of(positions[i])) continue;
    kept.push_back(positions[i]);
  }
  return kept;
}

}  // namespace quorvel
