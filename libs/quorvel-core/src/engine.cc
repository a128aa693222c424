#include "quorvel/core/engine.h"

#include <utility>

#include "search.h"
#include "worker_pool.h"

namespace quorvel {
namespace {

constexpr std::string_view kEngineErrorPrefix = "Storage error: ";

std::unexpected<EngineError> wrap(StorageError error) {
  return std::unexpected(EngineError{std::move(error)});
}

}  // namespace

std::string EngineError::message() const {
  return std::string(kEngineErrorPrefix) + storage.message();
}

std::expected<Engine, EngineError> Engine::open(const std::string& path) {
  auto store = RecordStore::open(path, run_on_worker_pool);
  if (!store) return wrap(std::move(store.error()));
  return Engine(std::move(*store));
}

std::expected<void, EngineError> Engine::insert(std::string_view id, std::vector<float> vector,
                                                std::optional<JsonValue> metadata) {
  Record record{std::string(id), std::move(vector), std::move(metadata), std::nullopt};
  if (auto ok = store_.insert(std::move(record)); !ok) return wrap(std::move(ok.error()));
  return {};
}

std::optional<SearchResult> Engine::get(std::string_view id) const {
  const Record* record = store_.find(id);
  if (record == nullptr) return std::nullopt;
  return SearchResult{record->id, record->metadata, 0.0f};
}

std::expected<void, EngineError> Engine::remove(std::string_view id) {
  if (auto removed = store_.remove(id); !removed) return wrap(std::move(removed.error()));
  return {};
}

std::vector<SearchResult> Engine::search(std::span<const float> query, std::uint64_t k) const {
  return search_records(store_.records(), metric_, query, k, run_on_worker_pool);
}

}  // namespace quorvel
