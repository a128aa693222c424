#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <vector>

#include "database.h"
#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/snapshot.h"
#include "snapshot_changes.h"
#include "snapshot_format.h"

namespace quorvel {

// An open companion file whose header has been checked, shared by the
// readers of its sections (see SnapshotLoad).
struct SnapshotLoad::Sections {
  Sections() = default;
  Sections(const Sections&) = delete;
  Sections& operator=(const Sections&) = delete;
  ~Sections();

  int fd = -1;
  snapshot::Header header{};
  std::vector<std::uint64_t> checksums;  // of every block of every section
  std::vector<bool> taken;               // per section: handed out already
  // What reads many blocks of a section at once.
  ParallelFor parallel_for = run_serially;

  // The entry of the section of `kind`, or nullptr.
  const snapshot::SectionEntry* find(std::uint32_t kind) const;
};

// Why a companion cannot be used: what an open reports nowhere (a stale
// companion only costs time) but `quorvel check` and `info` show.
struct SnapshotRefusal {
  std::string reason;
};

// The companion at `path`, opened and checked up to what an open needs to
// know whether to use it: magic, format version, header and checksum
// table checksums, and that it reflects the database `version` names
// (database_id and schema counter). Its records are not read yet.
std::expected<std::shared_ptr<SnapshotLoad::Sections>, SnapshotRefusal> open_snapshot(
    const std::string& path, const DatabaseVersion& version);

// The change entries after the base of `file`, as far as they chain from
// the base's version to `version` (each made on the version the one before
// made): the entries that bring the base to `version`, and where the last
// of them ends in the file. Refused when the chain does not reach
// `version`.
struct ChangeChain {
  std::vector<ChangeEntry> entries;
  std::uint64_t end = 0;
};
std::expected<ChangeChain, SnapshotRefusal> read_change_chain(const SnapshotLoad::Sections& file,
                                                             const DatabaseVersion& version);

// Reads the records of the companion's sections into a new list, checking
// every block, in parallel with `parallel_for`. Refused when a block's
// checksum is wrong or the sections do not make a list (ids not in
// ascending order, lengths that do not add up, a metadata value that does
// not read back).
std::expected<RecordList, SnapshotRefusal> read_snapshot_records(const SnapshotLoad::Sections& file,
                                                                const ParallelFor& parallel_for);

// Checks every block of every section of `file` against its checksum, and
// that its records make a list (as read_snapshot_records does).
std::expected<void, SnapshotRefusal> verify_snapshot(const SnapshotLoad::Sections& file);

// A reader of the section `entry` of `file` (see SnapshotSectionReader).
std::unique_ptr<SnapshotSectionReader> section_reader(std::shared_ptr<SnapshotLoad::Sections> file,
                                                      const snapshot::SectionEntry& entry);

}  // namespace quorvel
