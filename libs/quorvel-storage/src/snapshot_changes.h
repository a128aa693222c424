#pragma once

// Change entries of the companion file: what a committed change did to the
// records, appended after the commit, so that an open can replay it.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/storage/record.h"

namespace quorvel {

// One version of the records within one database (see DatabaseVersion):
// the counter and the stamp.
struct VersionStep {
  std::uint64_t counter = 0;
  std::string stamp;

  friend bool operator==(const VersionStep&, const VersionStep&) = default;
};

// A change as an entry records it: the version it was made on and the one
// it made, the records it inserted (new or replacing), the ids it removed,
// and the owner's note. An entry that changed no record (a note alone)
// has before == after.
struct ChangeEntry {
  VersionStep before;
  VersionStep after;
  std::vector<Record> records;
  std::vector<std::string> removed;
  std::string note;
};

// The bytes of one entry: magic, length, payload, checksum.
std::string encode_change(const VersionStep& before, const VersionStep& after, std::span<const Record> records,
                          std::span<const std::string_view> removed, std::string_view note);

// Reads the entries at the start of `bytes`, in order, up to the first
// that is cut short or damaged (a torn write of a crash): those are
// ignored, with everything after them. ends[i] gets where entry i ends in
// `bytes`. Vectors and metadata are read as encode_change wrote them;
// nothing outside `bytes` is read.
std::vector<ChangeEntry> decode_changes(std::string_view bytes, std::vector<std::uint64_t>& ends);

}  // namespace quorvel
