#include "quorvel/storage/record_store.h"

#include <sqlite3.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "companion.h"
#include "database.h"
#include "load_records.h"
#include "open_errors.h"
#include "record_json.h"

namespace quorvel {

using Kind = StorageError::Kind;

std::expected<RecordStore, StorageError> RecordStore::open(const std::string& path,
                                                           const ParallelFor& parallel_for) {
  auto database = Database::open(path);
  if (!database) return std::unexpected(naming_file(std::move(database.error()), path));
  // A version that cannot be read only means no companion.
  auto version = (*database)->version();
  auto companion = std::make_unique<Companion>(**database, version ? *version : std::nullopt);
  if (auto records = companion->load(parallel_for)) {
    return RecordStore(std::move(*database), std::move(*records), parallel_for, std::move(companion));
  }
  auto records = load_records((*database)->handle(), path, parallel_for);
  if (!records) {
    // A damaged row's error names the file already.
    if (records.error().kind == Kind::Serialization) return std::unexpected(std::move(records.error()));
    return std::unexpected(naming_file(std::move(records.error()), path));
  }
  return RecordStore(std::move(*database), std::move(*records), parallel_for, std::move(companion));
}

RecordStore::RecordStore(std::unique_ptr<Database> database, RecordList records, ParallelFor parallel_for,
                         std::unique_ptr<Companion> companion)
    : database_(std::move(database)),
      records_(std::move(records)),
      parallel_for_(std::move(parallel_for)),
      companion_(std::move(companion)) {}

RecordStore::RecordStore(RecordStore&&) noexcept = default;
RecordStore& RecordStore::operator=(RecordStore&& other) noexcept {
  if (this != &other) {
    close_snapshot(nullptr);
    database_ = std::move(other.database_);
    records_ = std::move(other.records_);
    parallel_for_ = std::move(other.parallel_for_);
    companion_ = std::move(other.companion_);
  }
  return *this;
}
RecordStore::~RecordStore() { close_snapshot(nullptr); }

void RecordStore::add_note(std::string_view note) {
  if (companion_) companion_->changed(*database_, {}, {}, note);
}

std::optional<SnapshotLoad> RecordStore::take_snapshot_load() {
  return companion_ ? companion_->take_load() : std::nullopt;
}

bool RecordStore::snapshot_due() const { return companion_ && companion_->rewrite_due(); }

void RecordStore::write_snapshot(const SnapshotAnnex* annex) {
  if (companion_) companion_->rewrite(*database_, records_, annex, parallel_for_);
}

void RecordStore::close_snapshot(const SnapshotAnnex* annex, bool now) {
  if (!companion_) return;
  if (now || companion_->rewrite_due()) companion_->rewrite(*database_, records_, annex, parallel_for_);
  companion_.reset();
}

std::expected<void, StorageError> RecordStore::insert(Record record, std::string_view note,
                                                     const CommitOverlap& overlap) {
  std::string value;
  if (auto ok = append_record_json(value, record); !ok) {
    return std::unexpected(StorageError{Kind::Serialization, std::move(ok.error())});
  }
  // Room in the list first: once the change is committed, applying it must
  // not fail.
  records_.reserve_more(1, record.vector.size(), record.timestamp.has_value());
  sqlite3* db = database_->handle();
  sqlite3_stmt* put = database_->put();
  if (overlap.start) overlap.start();
  auto written = database_->write_transaction([&]() -> std::expected<void, StorageError> {
    sqlite3_bind_text64(put, 1, record.id.data(), record.id.size(), SQLITE_STATIC, SQLITE_UTF8);
    sqlite3_bind_blob64(put, 2, value.data(), value.size(), SQLITE_STATIC);
    auto ok = execute(db, put, Kind::Storage);
    sqlite3_clear_bindings(put);
    return ok;
  });
  if (written && companion_) companion_->changed(*database_, std::span(&record, 1), {}, note);
  if (overlap.finish) overlap.finish();
  if (!written) return written;

  // Committed: now the record list. A stored id is replaced where it stands.
  if (const auto position = records_.find(record.id)) {
    records_.replace(*position, record.vector, std::move(record.metadata), record.timestamp);
  } else {
    records_.append(std::move(record.id), record.vector, std::move(record.metadata), record.timestamp);
  }
  return {};
}

std::expected<void, StorageError> RecordStore::insert_all(std::vector<Record> records, std::size_t* refused,
                                                         std::string_view note,
                                                         const ProgressReport& progress) {
  std::size_t floats = 0;
  bool timestamps = false;
  for (const Record& record : records) {
    floats += record.vector.size();
    timestamps = timestamps || record.timestamp.has_value();
  }
  records_.reserve_more(records.size(), floats, timestamps);
  sqlite3* db = database_->handle();
  sqlite3_stmt* put = database_->put();
  // The JSON forms of a run of records are written on the workers, then
  // stored one by one; a run bounds the memory the forms take.
  constexpr std::size_t kRun = 1024;
  std::vector<std::string> forms(std::min(kRun, records.size()));
  std::vector<std::optional<std::string>> problems(forms.size());
  auto written = database_->write_transaction([&]() -> std::expected<void, StorageError> {
    for (std::size_t start = 0; start < records.size(); start += kRun) {
      const std::size_t count = std::min(kRun, records.size() - start);
      parallel_for_(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
          forms[i].clear();
          problems[i].reset();
          if (auto ok = append_record_json(forms[i], records[start + i]); !ok) problems[i] = std::move(ok.error());
        }
      });
      for (std::size_t i = 0; i < count; ++i) {
        if (problems[i]) {
          if (refused != nullptr) *refused = start + i;
          return std::unexpected(StorageError{Kind::Serialization, std::move(*problems[i])});
        }
        const Record& record = records[start + i];
        sqlite3_bind_text64(put, 1, record.id.data(), record.id.size(), SQLITE_STATIC, SQLITE_UTF8);
        sqlite3_bind_blob64(put, 2, forms[i].data(), forms[i].size(), SQLITE_STATIC);
        auto ok = execute(db, put, Kind::Storage);
        sqlite3_clear_bindings(put);
        if (!ok) return ok;
      }
      if (progress) progress(start + count, records.size());
    }
    return {};
  });
  if (!written) return written;
  if (companion_) companion_->changed(*database_, records, {}, note);

  for (Record& record : records) {
    if (const auto position = records_.find(record.id)) {
      records_.replace(*position, record.vector, std::move(record.metadata), record.timestamp);
    } else {
      records_.append(std::move(record.id), record.vector, std::move(record.metadata), record.timestamp);
    }
  }
  return {};
}

std::expected<bool, StorageError> RecordStore::remove(std::string_view id, std::string_view note) {
  sqlite3* db = database_->handle();
  sqlite3_stmt* erase = database_->erase();
  bool removed = false;
  auto written = database_->write_transaction([&]() -> std::expected<void, StorageError> {
    sqlite3_bind_text64(erase, 1, id.data(), id.size(), SQLITE_STATIC, SQLITE_UTF8);
    auto ok = execute(db, erase, Kind::Storage);
    sqlite3_clear_bindings(erase);
    if (ok) removed = sqlite3_changes(db) > 0;
    return ok;
  });
  if (!written) return std::unexpected(std::move(written.error()));
  if (!removed) return false;
  if (companion_) companion_->changed(*database_, {}, std::span(&id, 1), note);

  // Committed: free the entry's slot. Nothing can fail here, and no other
  // entry moves.
  records_.remove(id);
  return true;
}

}  // namespace quorvel
