#pragma once

// Our HnswIndex against hnswlib on one set of vectors (Euclidean distance),
// shared by the benchmark programs that differ only in their data:
// both indexes are built with the same parameters in alternating rounds,
// then every query is answered at several ef in alternating passes, and
// the program prints recall@10, queries per second, the ratios and the
// build times (medians of the rounds), optionally also as CSV for plots.
//
// Times are processor time of the working thread (CLOCK_THREAD_CPUTIME_ID):
// the machine may be shared, and time spent waiting for a processor counts
// for neither library.

#include <hnswlib/hnswlib.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "datasets.h"
#include "hnsw_internals.h"
#include "quorvel/index/hnsw_index.h"
#include "quorvel/index/metric.h"

namespace hnsw_comparison {

constexpr std::size_t kM = 16;
constexpr std::size_t kEfConstruction = 200;
constexpr std::size_t kK = 10;
constexpr std::size_t kEfValues[] = {10, 20, 40, 80, 160};

using Rows = bench_data::Rows;

// What a run measures, from the command line: --rounds R (build rounds and
// query passes per library, default 3), --csv PATH (also write the results
// there). Unknown options are left to the program.
struct Options {
  int rounds = 3;
  std::string csv;
};

// Processor time of the calling thread, in seconds.
inline double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

inline double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The exact kK nearest stored vectors of every query, by Euclidean
// distance, ties to the smaller number.
inline std::vector<std::vector<std::size_t>> exact_neighbours(const Rows& stored, const Rows& queries) {
  std::vector<std::vector<std::size_t>> truth(queries.count);
  tbb::parallel_for(std::size_t{0}, queries.count, [&](std::size_t q) {
    std::vector<quorvel::Candidate> all(stored.count);
    for (std::size_t i = 0; i < stored.count; ++i) all[i] = {quorvel::euclidean(queries.row(q), stored.row(i)), i};
    const std::size_t kept = std::min(kK, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(kept), all.end(), quorvel::closer_first);
    for (std::size_t i = 0; i < kept; ++i) truth[q].push_back(all[i].node);
  });
  return truth;
}

struct Point {
  double recall;
  double qps;
};

// Runs every query once through `search` (which returns numbers of stored
// vectors) and measures recall@kK and queries per second.
template <class Search>
Point measure(const Rows& queries, const std::vector<std::vector<std::size_t>>& truth, Search search) {
  std::vector<std::vector<std::size_t>> answers(queries.count);
  const double start = thread_seconds();
  for (std::size_t q = 0; q < queries.count; ++q) answers[q] = search(queries.row(q));
  const double elapsed = thread_seconds() - start;
  std::size_t found = 0;
  std::size_t wanted = 0;
  for (std::size_t q = 0; q < queries.count; ++q) {
    for (const std::size_t node : answers[q]) found += std::count(truth[q].begin(), truth[q].end(), node);
    wanted += truth[q].size();
  }
  return {static_cast<double>(found) / static_cast<double>(wanted), static_cast<double>(queries.count) / elapsed};
}

// The distance loops hnswlib runs: it compiles in those the compiler flags
// allow and picks the widest the processor has.
inline const char* peer_simd() {
#if defined(USE_AVX512)
  if (AVX512Capable()) return "AVX-512";
#endif
#if defined(USE_AVX)
  if (AVXCapable()) return "AVX";
#endif
#if defined(USE_SSE)
  return "SSE";
#else
  return "scalar";
#endif
}

// Builds both indexes over `stored` and compares them on `queries`, printing
// the results under the heading `name` (and appending them to options.csv
// as "set,ef,recall_ours,recall_peer,qps_ours,qps_peer" rows plus one
// "set,build,,,seconds_ours,seconds_peer" row).
inline void compare(const std::string& name, const Rows& stored, const Rows& queries, const Options& options) {
  std::printf("%s: %zu stored, %zu queries, %zu dimensions, Euclidean\n", name.c_str(), stored.count, queries.count,
              stored.dimension);
  std::printf("m = %zu, m_max = %zu, m_max0 = %zu, ef_construction = %zu, ml = 1 / ln %zu, k = %zu, %d rounds\n", kM,
              kM, 2 * kM, kEfConstruction, kM, kK, options.rounds);
  std::printf("hnswlib distance loops: %s; ours: the metric functions (chosen at run time)\n", peer_simd());
  const auto truth = exact_neighbours(stored, queries);

  quorvel::HnswConfig config = quorvel::default_hnsw_config(kM);
  config.ef_construction = kEfConstruction;
  config.ef_search = kEfValues[0];
  const auto vector_of = [&stored](std::uint64_t node) { return stored.row(node); };
  hnswlib::L2Space space(stored.dimension);

  // Alternating build rounds; the indexes of the last round answer the
  // queries. Our level draws come from a fixed seed, as hnswlib's do, so
  // every round (and every run) builds the same graph.
  std::vector<double> ours_builds;
  std::vector<double> peer_builds;
  std::unique_ptr<quorvel::HnswIndex> ours;
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> peer;
  for (int round = 0; round < options.rounds; ++round) {
    ours = std::make_unique<quorvel::HnswIndex>(config);
    std::mt19937 level_words(100);
    double start = thread_seconds();
    for (std::size_t i = 0; i < stored.count; ++i) {
      quorvel::HnswInternals::insert_with_word(*ours, static_cast<std::uint32_t>(level_words()), i, stored.row(i),
                                               vector_of, quorvel::Metric::Euclidean);
    }
    ours_builds.push_back(thread_seconds() - start);

    peer.reset();
    peer = std::make_unique<hnswlib::HierarchicalNSW<float>>(&space, stored.count, kM, kEfConstruction);
    start = thread_seconds();
    for (std::size_t i = 0; i < stored.count; ++i) peer->addPoint(stored.row(i).data(), i);
    peer_builds.push_back(thread_seconds() - start);
  }
  const double ours_build = median(ours_builds);
  const double peer_build = median(peer_builds);
  std::printf("\nbuild time, one thread (processor time, median of %d): ours %.2f s, hnswlib %.2f s, ratio %.2f\n\n",
              options.rounds, ours_build, peer_build, ours_build / peer_build);

  FILE* csv = options.csv.empty() ? nullptr : std::fopen(options.csv.c_str(), "a");
  if (csv != nullptr) std::fprintf(csv, "%s,build,,,%.3f,%.3f\n", name.c_str(), ours_build, peer_build);
  std::printf("%6s  %12s  %12s  %12s  %12s  %9s\n", "ef", "recall ours", "recall peer", "QPS ours", "QPS peer",
              "QPS ratio");
  for (const std::size_t ef : kEfValues) {
    const auto search_ours = [&](std::span<const float> query) {
      std::vector<std::size_t> nodes;
      for (const quorvel::HnswMatch& match : ours->search(query, kK, ef, vector_of, quorvel::Metric::Euclidean))
        nodes.push_back(match.node);
      return nodes;
    };
    const auto search_peer = [&](std::span<const float> query) {
      std::vector<std::size_t> nodes;
      auto results = peer->searchKnn(query.data(), kK);
      while (!results.empty()) {
        nodes.push_back(results.top().second);
        results.pop();
      }
      return nodes;
    };
    peer->setEf(ef);
    // Alternating passes, so that both libraries see the same load.
    std::vector<double> ours_qps;
    std::vector<double> peer_qps;
    double ours_recall = 0;
    double peer_recall = 0;
    for (int pass = 0; pass < options.rounds; ++pass) {
      const Point ours_point = measure(queries, truth, search_ours);
      const Point peer_point = measure(queries, truth, search_peer);
      ours_qps.push_back(ours_point.qps);
      peer_qps.push_back(peer_point.qps);
      ours_recall = ours_point.recall;
      peer_recall = peer_point.recall;
    }
    const double ours_median = median(ours_qps);
    const double peer_median = median(peer_qps);
    std::printf("%6zu  %12.4f  %12.4f  %12.0f  %12.0f  %9.2f\n", ef, ours_recall, peer_recall, ours_median,
                peer_median, ours_median / peer_median);
    if (csv != nullptr) {
      std::fprintf(csv, "%s,%zu,%.4f,%.4f,%.0f,%.0f\n", name.c_str(), ef, ours_recall, peer_recall, ours_median,
                   peer_median);
    }
  }
  if (csv != nullptr) std::fclose(csv);
  std::printf("\n");
}

// Reads --rounds and --csv; other options go to `other(option, value)`,
// which returns false for an option it does not know either.
template <class Other>
Options parse_options(int argc, char** argv, Other other) {
  Options options;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view option = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "option %s needs a value\n", argv[i]);
      std::exit(2);
    }
    if (option == "--rounds") {
      options.rounds = std::max(1, std::atoi(argv[i + 1]));
    } else if (option == "--csv") {
      options.csv = argv[i + 1];
    } else if (!other(option, argv[i + 1])) {
      std::fprintf(stderr, "unknown option %s\n", argv[i]);
      std::exit(2);
    }
  }
  return options;
}

}  // namespace hnsw_comparison
