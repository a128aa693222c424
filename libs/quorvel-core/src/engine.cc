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

std::expected<Engine, EngineError> Engine::open(const std::string& path, const EngineOptions& options) {
  std::unique_ptr<WorkerPool> own_pool;
  if (options.worker_threads) own_pool = std::make_unique<WorkerPool>(*options.worker_threads);
  WorkerPool& pool = own_pool ? *own_pool : worker_pool();
  auto store = RecordStore::open(path, [&pool](std::size_t count, const auto& body) { pool.parallel_for(count, body); });
  if (!store) return wrap(std::move(store.error()));
  return Engine(std::move(*store), options.metric, std::move(own_pool), pool);
}

Engine::Engine(RecordStore store, Metric metric, std::unique_ptr<WorkerPool> own_pool, WorkerPool& pool)
    : store_(std::move(store)), metric_(metric), own_pool_(std::move(own_pool)), pool_(&pool) {}

Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;
Engine::~Engine() = default;

std::expected<void, EngineError> Engine::insert(std::string_view id, std::vector<float> vector,
                                                std::optional<JsonValue> metadata) {
  Record record{std::string(id), std::move(vector), std::move(metadata), std::nullopt};
  if (auto ok = store_.insert(std::move(record)); !ok) return wrap(std::move(ok.error()));
  return {};
}

std::optional<SearchResult> Engine::get(std::string_view id) const {
  const RecordList& records = store_.records();
  const auto position = records.find(id);
  if (!position) return std::nullopt;
  return SearchResult{std::string(records.id(*position)), records.metadata(*position), 0.0f};
}

std::expected<void, EngineError> Engine::remove(std::string_view id) {
  if (auto removed = store_.remove(id); !removed) return wrap(std::move(removed.error()));
  return {};
}

std::vector<SearchResult> Engine::search(std::span<const float> query, std::uint64_t k) const {
  WorkerPool& pool = *pool_;
  return search_records(store_.records(), metric_, query, k,
                        [&pool](std::size_t count, const auto& body) { pool.parallel_for(count, body); });
}

}  // namespace quorvel
