#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "database.h"
#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/snapshot.h"

namespace quorvel {

// The companion file of one open store (see snapshot.h): loads the records
// from it at open when it is current, appends every committed change to
// it, and writes it afresh when asked to. It never fails an operation of
// the store: whatever goes wrong with the companion only makes it stale,
// so that the next open reads the rows and writes it again.
//
// Not thread-safe.
class Companion {
 public:
  // The companion of the database `database` opened, whose records are at
  // the version `version` (none: the database keeps no version, and so no
  // companion can be used or written).
  Companion(const Database& database, std::optional<DatabaseVersion> version);
  ~Companion();
  Companion(const Companion&) = delete;
  Companion& operator=(const Companion&) = delete;

  // The database's records read from the companion, with the changes after
  // its base replayed and the list put in id order; nothing when the
  // companion is missing, stale or damaged (it is then written afresh by
  // the next rewrite()). Reads with `parallel_for`.
  std::optional<RecordList> load(const ParallelFor& parallel_for);

  // What load() handed the owner, once.
  std::optional<SnapshotLoad> take_load();

  // Records a change that `database` has just committed: the records it
  // stored and the ids it removed (it removed each), with the owner's
  // note, read back against the database's new version.
  void changed(const Database& database, std::span<const Record> records, std::span<const std::string_view> removed,
               std::string_view note);

  // Whether the companion should be written afresh: it was not current at
  // open, a change could not be appended, or the appended changes have
  // grown past a share of the base.
  bool rewrite_due() const;

  // Writes the companion afresh from `records` with the owner's sections of
  // `annex`, unless `database` can no longer be written by this process (a
  // forked child, a file replaced meanwhile) or keeps no version.
  void rewrite(const Database& database, const RecordList& records, const SnapshotAnnex* annex,
               const ParallelFor& parallel_for);

 private:
  void go_stale();

  std::string path_;
  std::string new_path_;
  std::string database_path_;
  std::optional<DatabaseVersion> version_;  // the database's, as last read
  int log_ = -1;  // the companion opened to append, while it is current
  std::uint64_t base_bytes_ = 0;
  std::uint64_t tail_bytes_ = 0;
  bool stale_ = true;
  std::optional<SnapshotLoad> load_;
};

}  // namespace quorvel
