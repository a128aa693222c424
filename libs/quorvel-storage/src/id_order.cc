#include "quorvel/storage/id_order.h"

#include <string>

#include "kept_order.h"

namespace quorvel {

bool ids_strictly_ascending(const RecordList& list) {
  bool after_first = false;
  std::string_view previous;
  for (const RecordView entry : list) {
    if (after_first && !(previous < entry.id)) return false;
    previous = entry.id;
    after_first = true;
  }
  return true;
}

std::vector<std::size_t> kept_in_id_order(const RecordList& list) {
  std::vector<std::size_t> positions;
  positions.reserve(list.size());
  for (auto entry = list.begin(); entry != list.end(); ++entry) positions.push_back(entry.position());
  return kept_in_id_order(std::move(positions), [&](std::size_t position) { return list.id(position); });
}

RecordList copy_entries(const RecordList& list, std::span<const std::size_t> positions) {
  std::size_t floats = 0;
  bool timestamps = false;
  for (const std::size_t position : positions) {
    floats += list.vector(position).size();
    timestamps = timestamps || list.timestamp(position).has_value();
  }
  RecordList copy;
  copy.reserve_more(positions.size(), floats, timestamps);
  for (const std::size_t position : positions) {
    const RecordView entry = list[position];
    copy.append(std::string(entry.id), entry.vector, entry.metadata, entry.timestamp);
  }
  return copy;
}

}  // namespace quorvel
