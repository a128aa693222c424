// Times Engine::search in C++, for the Python binding benchmark
// (binding_bench.py), which times the module's search on the same data with
// the same queries and compares the two. The benchmark alternates rounds of
// both, so that a change of machine load affects them alike.
//
// Usage: engine_search_timer <database> <queries> <dimension> <k>
//   <queries> holds the query vectors as consecutive native 32-bit floats,
//   <dimension> per query. Opens the database, searches every query once to
//   warm up and prints "ready". Then, for every line read from standard
//   input, searches every query once and prints one line with the time of
//   each search in microseconds. Ends at the end of the input.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"

namespace {

std::vector<std::vector<float>> read_queries(const char* path, std::size_t dimension) {
  std::ifstream file(path, std::ios::binary);
  std::vector<float> all;
  float value = 0.0f;
  while (file.read(reinterpret_cast<char*>(&value), sizeof value)) all.push_back(value);
  std::vector<std::vector<float>> queries;
  for (std::size_t start = 0; start + dimension <= all.size(); start += dimension) {
    queries.emplace_back(all.begin() + static_cast<std::ptrdiff_t>(start),
                         all.begin() + static_cast<std::ptrdiff_t>(start + dimension));
  }
  return queries;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s <database> <queries> <dimension> <k>\n", argv[0]);
    return 2;
  }
  const std::size_t dimension = std::strtoull(argv[3], nullptr, 10);
  const std::uint64_t k = std::strtoull(argv[4], nullptr, 10);

  auto engine = quorvel::Engine::open(argv[1]);
  if (!engine) {
    std::fprintf(stderr, "%s\n", engine.error().message().c_str());
    return 1;
  }
  const auto queries = read_queries(argv[2], dimension);
  if (queries.empty()) {
    std::fprintf(stderr, "no queries of %zu floats in %s\n", dimension, argv[2]);
    return 1;
  }

  std::size_t returned = 0;  // keeps the searches from being optimised away
  for (const auto& query : queries) returned += engine->search(query, k).size();
  std::printf("ready\n");
  std::fflush(stdout);

  std::string line;
  while (std::getline(std::cin, line)) {
    for (const auto& query : queries) {
      const auto start = std::chrono::steady_clock::now();
      returned += engine->search(query, k).size();
      const auto stop = std::chrono::steady_clock::now();
      std::printf("%.3f ", std::chrono::duration<double, std::micro>(stop - start).count());
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  return returned == 0 ? 1 : 0;
}
