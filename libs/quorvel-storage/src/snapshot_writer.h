#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "database.h"
#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/snapshot.h"

namespace quorvel {

// The positions of the entries of `records` in ascending byte order of
// their ids (free slots left out): the order a companion holds them in.
// Linear when the list is in that order but for entries appended at its
// end.
std::vector<std::size_t> id_order(const RecordList& records);

// Writes a companion file of `records` (in id order) that reflects
// `version`, with the owner's sections that `annex` writes (none when it is
// null): first under `new_path`, which is then renamed to `path`. The file
// gets the permission bits of `mode` (the database file's, so that it
// shows no more than the database does). Returns the length of what was
// written (the base, before any change entry), or the system's reason for
// a failure; then nothing is left at `new_path` and `path` is as it was.
// Blocks are written and checksummed with `parallel_for`. Nothing is
// synced: every byte is checked before it is used, so a companion cut
// short by a crash is only stale.
std::expected<std::uint64_t, std::string> write_snapshot(const std::string& path, const std::string& new_path,
                                                         mode_t mode, const RecordList& records,
                                                         const DatabaseVersion& version, const SnapshotAnnex* annex,
                                                         const ParallelFor& parallel_for);

}  // namespace quorvel
