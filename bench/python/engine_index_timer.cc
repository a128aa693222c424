// Times Engine::search through an attached index in C++, one query at a
// time on one thread, for the Python engine benchmark (engine_bench.py),
// which times the same searches from Python through quorvel_engine.
//
// Usage: engine_index_timer <database> <queries> <dimension> <k> <m> <ef_construction>
//   Opens the database under the Euclidean metric with an index of
//   HnswConfig m and ef_construction (the other fields as m gives them),
//   reads the queries (consecutive native 32-bit floats, <dimension> per
//   query) and prints "ready". Then, for every line "<ef>" read from
//   standard input, searches every query once with that ef and prints one
//   line: the seconds all searches took by the wall clock, then by the
//   thread's CPU time, then the ids found, k per query.

#include <chrono>
#include <ctime>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"

namespace {

double thread_cpu_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    std::fprintf(stderr, "usage: %s <database> <queries> <dimension> <k> <m> <ef_construction> <seed>\n",
                 argv[0]);
    return 2;
  }
  const std::size_t dimension = std::strtoull(argv[3], nullptr, 10);
  const std::uint64_t k = std::strtoull(argv[4], nullptr, 10);
  const std::uint64_t m = std::strtoull(argv[5], nullptr, 10);
  quorvel::EngineOptions options;
  options.metric = quorvel::Metric::Euclidean;
  options.worker_threads = 1;
  quorvel::HnswConfig config = quorvel::default_hnsw_config(m);
  config.ef_construction = std::strtoull(argv[6], nullptr, 10);
  // The Python side builds with the same seed, so both search one graph.
  config.seed = static_cast<std::uint32_t>(std::strtoul(argv[7], nullptr, 10));
  options.index = config;
  auto engine = quorvel::Engine::open(argv[1], options);
  if (!engine) {
    std::fprintf(stderr, "%s\n", engine.error().message().c_str());
    return 1;
  }
  std::ifstream file(argv[2], std::ios::binary);
  std::vector<float> all;
  for (float value = 0.0f; file.read(reinterpret_cast<char*>(&value), sizeof value);) all.push_back(value);
  std::vector<std::vector<float>> queries;
  for (std::size_t start = 0; start + dimension <= all.size(); start += dimension) {
    queries.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(start),
                         all.begin() + static_cast<std::ptrdiff_t>(start + dimension));
  }
  std::printf("ready\n");
  std::fflush(stdout);

  std::vector<std::vector<quorvel::SearchResult>> answers(queries.size());
  for (std::string line; std::getline(std::cin, line);) {
    engine->set_index_ef_search(std::strtoull(line.c_str(), nullptr, 10));
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_cpu_seconds();
    for (std::size_t q = 0; q < queries.size(); ++q) answers[q] = engine->search(queries[q], k);
    const double cpu_seconds = thread_cpu_seconds() - cpu_start;
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string out = std::to_string(seconds) + " " + std::to_string(cpu_seconds);
    for (const auto& hits : answers) {
      for (const auto& hit : hits) out += " " + hit.id;
    }
    std::printf("%s\n", out.c_str());
    std::fflush(stdout);
  }
  return 0;
}
