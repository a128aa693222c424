#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/storage/json_value.h"
#include "quorvel/storage/record.h"
#include "quorvel/storage/record_store.h"
#include "quorvel/storage/storage_error.h"

namespace quorvel {

// One record as the engine hands it out: copies of its id and metadata, and
// its score against a query (0.0 from get()).
struct SearchResult {
  std::string id;
  std::optional<JsonValue> metadata;
  float score = 0.0f;

  friend bool operator==(const SearchResult&, const SearchResult&) = default;
};

// The error value of every fallible engine operation: the record store's
// error, unchanged.
struct EngineError {
  StorageError storage;

  // "Storage error: " followed by the store's message.
  std::string message() const;
  friend bool operator==(const EngineError&, const EngineError&) = default;
};

// One open database file. Reads are answered from the in-memory record list;
// every change is committed to the file before the list changes.
//
// Not thread-safe: insert and remove need exclusive access; get, get_all and
// search need shared access and may run concurrently with each other.
class Engine {
 public:
  // Opens or creates the database at `path` and loads every stored record,
  // in ascending byte order of the ids. Fails with the store's error.
  [[nodiscard]] static std::expected<Engine, EngineError> open(const std::string& path);

  // Stores a record without timestamp under `id`, replacing one stored under
  // the same id (in the file, and in place in the record list). Accepts any
  // id, vector length and metadata that the file can hold; fails with the
  // store's error, and then nothing changes.
  [[nodiscard]] std::expected<void, EngineError> insert(std::string_view id, std::vector<float> vector,
                                                        std::optional<JsonValue> metadata);

  // The record stored under `id`, as a copy with score 0.0, or nothing.
  std::optional<SearchResult> get(std::string_view id) const;

  // The whole record list, first to last. Valid until the next insert or
  // remove; callers copy what they keep.
  const std::vector<Record>& get_all() const { return store_.records(); }

  // Removes the record stored under `id`; succeeds whether or not there was
  // one. Fails with the store's error, and then nothing changes.
  [[nodiscard]] std::expected<void, EngineError> remove(std::string_view id);

 private:
  explicit Engine(RecordStore store) : store_(std::move(store)) {}

  RecordStore store_;
};

}  // namespace quorvel
