#include "worker_pool.h"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/info.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/task_arena.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <system_error>

#include <unistd.h>

#include "loop_order.h"

namespace quorvel {
namespace {

// Decimal digits with an optional leading "+", nothing else.
std::optional<std::size_t> parse_count(std::optional<std::string_view> text) {
  if (!text) return std::nullopt;
  std::string_view digits = *text;
  if (digits.starts_with('+')) digits.remove_prefix(1);
  if (digits.empty() || digits.front() == '+' || digits.front() == '-') return std::nullopt;
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

std::optional<std::string_view> environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string_view(value);
}

// Whether the calling thread is running a part of a pool's loop or a task
// started beside a caller, for as long as it does.
thread_local bool running_pool_work = false;

class PoolWork {
 public:
  PoolWork() : outer_(running_pool_work) { running_pool_work = true; }
  ~PoolWork() { running_pool_work = outer_; }
  PoolWork(const PoolWork&) = delete;
  PoolWork& operator=(const PoolWork&) = delete;

 private:
  bool outer_;
};

std::size_t hardware_threads() {
  return static_cast<std::size_t>(std::max(tbb::info::default_concurrency(), 1));
}

}  // namespace

std::size_t worker_count(std::optional<std::string_view> num_threads,
                         std::optional<std::string_view> rs_num_cpus, std::size_t hardware) {
  if (const auto count = parse_count(num_threads)) return *count > 0 ? *count : hardware;
  if (const auto count = parse_count(rs_num_cpus); count && *count > 0) return *count;
  return hardware;
}

struct WorkerPool::Arena {
  explicit Arena(std::size_t threads) : arena(static_cast<int>(threads)) {
    // oneTBB caps all arenas together at the hardware thread count; lift the
    // cap for a pool that asks for more (never lower it).
    if (threads > hardware_threads()) cap.emplace(tbb::global_control::max_allowed_parallelism, threads);
  }

  std::optional<tbb::global_control> cap;
  tbb::task_arena arena;
};

WorkerPool::WorkerPool(std::size_t threads)
    : size_(std::clamp<std::size_t>(threads, 1, kMaxWorkerThreads)),
      owner_(::getpid()),
      arena_(std::make_unique<Arena>(size_)) {}

WorkerPool::~WorkerPool() = default;

void WorkerPool::parallel_for(std::size_t count,
                              const std::function<void(std::size_t, std::size_t)>& body) {
  if (count == 0) return;
  // The pool's threads exist only in the process that made it; a forked
  // child inherits a scheduler whose threads are gone, so it runs the loop
  // itself.
  if (size_ == 1 || ::getpid() != owner_) {
    body(0, count);
    return;
  }
  LoopOrder order;
  order.before_loop();
  arena_->arena.execute([&] {
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count), [&](const tbb::blocked_range<std::size_t>& part) {
      order.part_starts();
      const PoolWork working;
      body(part.begin(), part.end());
      order.part_ends();
    });
  });
  order.after_loop();
}

std::future<void> WorkerPool::start_beside(std::function<void()> task) {
  // A caller on a pool's thread could wait for a task that only it would run.
  if (size_ == 1 || ::getpid() != owner_ || running_pool_work) return {};
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> ready = done->get_future();
  arena_->arena.enqueue([task = std::move(task), done] {
    const PoolWork working;
    task();
    done->set_value();
  });
  return ready;
}

WorkerPool& worker_pool() {
  // Never destroyed: tearing the scheduler down at exit could wait for
  // threads that a forked child does not have.
  static WorkerPool* const pool = new WorkerPool(
      worker_count(environment("RAYON_NUM_THREADS"), environment("RAYON_RS_NUM_CPUS"), hardware_threads()));
  return *pool;
}

void run_on_worker_pool(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  worker_pool().parallel_for(count, body);
}

}  // namespace quorvel
