#include "quorvel/storage/stored_file.h"

#include <sys/stat.h>

#include <utility>

#include "database.h"
#include "messages.h"
#include "open_errors.h"
#include "record_json.h"
#include "snapshot_file.h"
#include "snapshot_format.h"

namespace quorvel {
namespace {

using Kind = StorageError::Kind;

std::expected<std::uint64_t, StorageError> single_number(sqlite3* db, const char* sql) {
  auto stmt = prepare(db, sql, Kind::Storage);
  if (!stmt) return std::unexpected(std::move(stmt.error()));
  if (sqlite3_step(stmt->get()) != SQLITE_ROW) return sqlite_failure(Kind::Storage, db);
  return static_cast<std::uint64_t>(sqlite3_column_int64(stmt->get(), 0));
}

}  // namespace

std::expected<StoredFile, StorageError> StoredFile::open(const std::string& path) {
  auto database = Database::open_to_read(path);
  if (!database) return std::unexpected(naming_file(std::move(database.error()), path));
  return StoredFile(std::move(*database));
}

StoredFile::StoredFile(std::unique_ptr<Database> database) : database_(std::move(database)) {}
StoredFile::StoredFile(StoredFile&&) noexcept = default;
StoredFile& StoredFile::operator=(StoredFile&&) noexcept = default;
StoredFile::~StoredFile() = default;

std::expected<void, StorageError> StoredFile::for_each_row(
    const std::function<bool(std::string_view, std::string_view)>& visit) const {
  sqlite3* db = database_->handle();
  auto select = prepare(db, "SELECT id, value FROM records ORDER BY id", Kind::Table);
  if (!select) return std::unexpected(std::move(select.error()));
  sqlite3_stmt* stmt = select->get();
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const auto* key = static_cast<const char*>(sqlite3_column_blob(stmt, 0));
    const std::size_t key_size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, 0));
    const auto* value = static_cast<const char*>(sqlite3_column_blob(stmt, 1));
    const std::size_t value_size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, 1));
    if (!visit(std::string_view(key == nullptr ? "" : key, key_size),
               std::string_view(value == nullptr ? "" : value, value_size))) {
      sqlite3_reset(stmt);
      return {};
    }
  }
  if (rc != SQLITE_DONE) return sqlite_failure(Kind::Storage, db);
  return {};
}

std::expected<StoredFile::Facts, StorageError> StoredFile::facts() const {
  sqlite3* db = database_->handle();
  Facts facts;
  for (auto [field, sql] : {std::pair{&facts.page_size, "PRAGMA page_size"},
                            std::pair{&facts.page_count, "PRAGMA page_count"}}) {
    auto number = single_number(db, sql);
    if (!number) return std::unexpected(std::move(number.error()));
    *field = *number;
  }
  auto mode = prepare(db, "PRAGMA journal_mode", Kind::Storage);
  if (!mode) return std::unexpected(std::move(mode.error()));
  if (sqlite3_step(mode->get()) != SQLITE_ROW) return sqlite_failure(Kind::Storage, db);
  facts.journal_mode = reinterpret_cast<const char*>(sqlite3_column_text(mode->get(), 0));
  struct stat status {};
  if (::stat(sqlite3_db_filename(db, "main"), &status) == 0) facts.file_bytes = static_cast<std::uint64_t>(status.st_size);
  return facts;
}

StoredFile::Companion StoredFile::companion() const {
  Companion facts;
  const std::string path = database_->file_name() + snapshot::kSuffix;
  struct stat status {};
  facts.exists = ::stat(path.c_str(), &status) == 0;
  if (!facts.exists) {
    facts.why_not = storage::messages::kCompanionMissing;
    return facts;
  }
  facts.bytes = static_cast<std::uint64_t>(status.st_size);
  auto version = database_->version();
  if (!version || !*version) {
    facts.why_not = storage::messages::kCompanionNoVersion;
    return facts;
  }
  auto file = open_snapshot(path, **version);
  if (!file) {
    facts.why_not = std::move(file.error().reason);
    return facts;
  }
  facts.records = (*file)->header.record_count;
  auto chain = read_change_chain(**file, **version);
  if (!chain) {
    facts.why_not = std::move(chain.error().reason);
    return facts;
  }
  facts.changes = chain->entries.size();
  if (auto checked = verify_snapshot(**file); !checked) {
    facts.why_not = std::move(checked.error().reason);
    return facts;
  }
  facts.current = true;
  return facts;
}

std::expected<std::uint64_t, StorageError> StoredFile::row_count() const {
  return single_number(database_->handle(), "SELECT count(*) FROM records");
}

std::expected<Record, JsonError> read_stored_row(std::string_view key, std::string_view value) {
  return read_record_json(value, key);
}

std::expected<Record, JsonError> read_stored_record(std::string_view value) { return read_record_json(value); }

std::expected<std::string, std::string> stored_form(const Record& record) {
  std::string out;
  if (auto ok = append_record_json(out, record); !ok) return std::unexpected(std::move(ok.error()));
  return out;
}

}  // namespace quorvel
