#include "companion.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <span>
#include <unordered_set>
#include <utility>
#include <vector>

#include "record_list_internals.h"
#include "snapshot_changes.h"
#include "snapshot_file.h"
#include "snapshot_format.h"
#include "snapshot_io.h"
#include "snapshot_writer.h"

namespace quorvel {
namespace {

namespace format = snapshot;

// Appended changes are replayed at every open until the companion is
// written afresh; past this share of the base (and this many bytes) that
// costs more than writing it.
constexpr std::uint64_t kTailShare = 8;
constexpr std::uint64_t kSmallestDueTail = 1 << 20;
// A change larger than this (a bulk insert) is not appended: the companion
// is written afresh instead (at the close, or the next open), which costs
// no more than appending it and keeps its entry out of memory.
constexpr std::uint64_t kLargestAppended = std::uint64_t{64} << 20;

VersionStep step_of(const DatabaseVersion& version) { return {version.counter, version.stamp}; }

// Applies the changes of `entries` to `records` as the store applied them
// when they were made, and says what each did.
std::vector<ReplayedChange> replay(RecordList& records, std::vector<ChangeEntry>& entries) {
  std::vector<ReplayedChange> changes;
  changes.reserve(entries.size());
  for (ChangeEntry& entry : entries) {
    ReplayedChange change;
    change.note = std::move(entry.note);
    std::size_t floats = 0;
    bool timestamps = false;
    for (const Record& record : entry.records) {
      floats += record.vector.size();
      timestamps = timestamps || record.timestamp.has_value();
    }
    records.reserve_more(entry.records.size(), floats, timestamps);
    const std::size_t stored_before = records.slot_count();
    std::unordered_set<std::size_t> seen;
    const auto prior = [&](std::size_t position) {
      const std::span<const float> vector = records.vector(position);
      return PriorRecord{position, std::vector<float>(vector.begin(), vector.end())};
    };
    for (Record& record : entry.records) {
      if (const auto position = records.find(record.id)) {
        if (*position < stored_before && seen.insert(*position).second) {
          change.replaced_records.push_back(prior(*position));
        }
        records.replace(*position, record.vector, std::move(record.metadata), record.timestamp);
        ++change.replaced;
      } else {
        records.append(std::move(record.id), record.vector, std::move(record.metadata), record.timestamp);
        ++change.appended;
      }
    }
    for (const std::string& id : entry.removed) {
      const auto position = records.find(id);
      if (!position) continue;
      change.removed_records.push_back(prior(*position));
      change.removed += records.remove(id) ? 1 : 0;
    }
    changes.push_back(std::move(change));
  }
  return changes;
}

}  // namespace

Companion::Companion(const Database& database, std::optional<DatabaseVersion> version)
    : path_(database.file_name() + format::kSuffix),
      new_path_(database.file_name() + format::kNewSuffix),
      database_path_(database.file_name()),
      version_(std::move(version)) {}

Companion::~Companion() {
  if (log_ >= 0) ::close(log_);
}

std::optional<RecordList> Companion::load(const ParallelFor& parallel_for) {
  if (!version_) return std::nullopt;
  auto file = open_snapshot(path_, *version_);
  if (!file) return std::nullopt;
  (*file)->parallel_for = parallel_for;
  auto chain = read_change_chain(**file, *version_);
  if (!chain) return std::nullopt;
  auto records = read_snapshot_records(**file, parallel_for);
  if (!records) return std::nullopt;

  SnapshotLoad load;
  load.loaded_records = records->size();
  load.changes = replay(*records, chain->entries);
  // Put the list in id order, as an open from the rows gives it (the
  // companion's records are in that order already).
  const std::vector<std::size_t> order = load.changes.empty() ? std::vector<std::size_t>() : id_order(*records);
  bool in_order = order.size() == records->slot_count();
  for (std::size_t i = 0; i < order.size() && in_order; ++i) in_order = order[i] == i;
  if (!load.changes.empty() && !in_order) {
    load.moved.assign(records->slot_count(), SnapshotLoad::kGone);
    for (std::size_t i = 0; i < order.size(); ++i) load.moved[order[i]] = i;
    RecordListInternals::reorder(*records, order);
  }
  load.sections = std::move(*file);

  // Entries past the version reached (of a state the database no longer
  // has) or cut short by a crash are dropped, so that new ones chain on.
  struct stat status {};
  const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (fd >= 0 && ::fstat(fd, &status) == 0 &&
      (static_cast<std::uint64_t>(status.st_size) == chain->end || ::ftruncate(fd, static_cast<off_t>(chain->end)) == 0)) {
    log_ = fd;
    base_bytes_ = load.sections->header.base_bytes;
    tail_bytes_ = chain->end - base_bytes_;
    stale_ = false;
  } else if (fd >= 0) {
    ::close(fd);
  }
  load_ = std::move(load);
  return std::move(*records);
}

std::optional<SnapshotLoad> Companion::take_load() { return std::exchange(load_, std::nullopt); }

void Companion::go_stale() {
  if (log_ >= 0) ::close(log_);
  log_ = -1;
  stale_ = true;
}

void Companion::changed(const Database& database, std::span<const Record> records,
                        std::span<const std::string_view> removed, std::string_view note) {
  if (!version_) return;
  auto now = database.version();
  if (!now || !*now) {
    version_.reset();
    go_stale();
    return;
  }
  DatabaseVersion before = std::exchange(*version_, std::move(**now));
  if (stale_) return;
  std::uint64_t bytes = note.size();
  for (const Record& record : records) bytes += record.id.size() + record.vector.size() * sizeof(float);
  if (bytes > kLargestAppended) {
    go_stale();
    return;
  }
  const std::string entry = encode_change(step_of(before), step_of(*version_), records, removed, note);
  if (!append_fully(log_, entry.data(), entry.size())) {
    // A part of the entry may have been written: the chain ends before it.
    go_stale();
    return;
  }
  tail_bytes_ += entry.size();
}

bool Companion::rewrite_due() const {
  return version_ && (stale_ || tail_bytes_ > std::max(kSmallestDueTail, base_bytes_ / kTailShare));
}

void Companion::rewrite(const Database& database, const RecordList& records, const SnapshotAnnex* annex,
                        const ParallelFor& parallel_for) {
  if (!version_ || !database.writable_here()) return;
  go_stale();
  struct stat status {};
  const mode_t mode = ::stat(database_path_.c_str(), &status) == 0 ? status.st_mode : 0600;
  auto written = write_snapshot(path_, new_path_, mode, records, *version_, annex, parallel_for);
  if (!written) return;
  log_ = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW);
  if (log_ < 0) return;
  base_bytes_ = *written;
  tail_bytes_ = 0;
  stale_ = false;
}

}  // namespace quorvel
