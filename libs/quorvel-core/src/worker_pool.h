#pragma once

#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string_view>

#include <sys/types.h>

namespace quorvel {

// The number of worker threads that the environment asks for, read the way
// the variable's users know it: RAYON_NUM_THREADS when it is a positive
// integer; when it is 0, one per hardware thread; when it is unset or not a
// number, RAYON_RS_NUM_CPUS when that is a positive integer; otherwise one
// per hardware thread. A number is decimal digits with an optional leading
// "+". `hardware` (the hardware thread count) must be at least 1.
std::size_t worker_count(std::optional<std::string_view> num_threads,
                         std::optional<std::string_view> rs_num_cpus, std::size_t hardware);

// The most threads a pool has; a larger request is cut to this.
inline constexpr std::size_t kMaxWorkerThreads = 1024;

// A fixed number of threads that run loops in parallel. The calling thread
// takes part in each loop and returns when every part has run. In a process
// forked from the one that made the pool, loops run on the calling thread
// alone (the pool's threads do not survive a fork).
//
// Thread-safe: several threads may run loops on one pool at once.
class WorkerPool {
 public:
  // A pool of `threads` threads, the caller's included, at least 1 and at
  // most kMaxWorkerThreads.
  explicit WorkerPool(std::size_t threads);
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // The number of threads that run each loop, the caller's included.
  std::size_t size() const { return size_; }

  // Runs body(begin, end) over contiguous sub-ranges that together cover
  // [0, count) exactly once, on the pool's threads, and returns when all
  // have finished. The body must not throw.
  void parallel_for(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

  // Starts `task` on one of the pool's threads other than the caller and
  // returns at once; the future is ready once the task has run. Runs
  // nothing and returns an invalid future when no other thread can take it:
  // a pool of one thread, a forked child, or a caller that is itself running
  // a pool's task. The task must not throw.
  std::future<void> start_beside(std::function<void()> task);

 private:
  struct Arena;
  std::size_t size_;
  pid_t owner_;  // the process that made the pool
  std::unique_ptr<Arena> arena_;
};

// The process-wide pool, created on first use from the environment (see
// worker_count) and kept for the life of the process (never destroyed).
WorkerPool& worker_pool();

// WorkerPool::parallel_for on the process-wide pool, in the shape of the
// record store's ParallelFor.
void run_on_worker_pool(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body);

}  // namespace quorvel
