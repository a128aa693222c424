#pragma once

// Our HnswIndex, with closest and with diverse neighbour selection, against
// hnswlib on one set of vectors (Euclidean distance), shared by the
// benchmark programs that differ only in their data: the indexes are built
// with the same parameters in alternating rounds, then every query is
// answered at several ef in alternating passes, and the program prints
// recall@10, queries per second, the speed ratios at equal recall and the
// build times (medians of the rounds), optionally also as CSV for plots.
//
// Times are processor time of the working thread (CLOCK_THREAD_CPUTIME_ID):
// the machine may be shared, and time spent waiting for a processor counts
// for neither library.

#include <hnswlib/hnswlib.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
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
constexpr std::size_t kEfValues[] = {10, 16, 24, 32, 48, 64, 96, 128, 192, 256};

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

// One index under comparison: how to build it over the stored vectors
// (timed), and how to answer one query at a given ef with the numbers of
// stored vectors.
struct Contender {
  std::string name;
  std::function<void()> build;
  std::function<std::vector<std::size_t>(std::span<const float>, std::size_t)> search;
};

// Queries per second at `target` recall on one contender's curve (points by
// ascending ef): between the two points whose recalls enclose the target,
// interpolated linearly in recall and logarithmically in speed. Nothing
// when the curve never reaches the target or starts above it.
inline std::optional<double> qps_at_recall(const std::vector<Point>& curve, double target) {
  for (std::size_t i = 1; i < curve.size(); ++i) {
    const Point& low = curve[i - 1];
    const Point& high = curve[i];
    if (low.recall <= target && target <= high.recall) {
      if (high.recall == low.recall) return low.qps;
      const double t = (target - low.recall) / (high.recall - low.recall);
      return std::exp(std::log(low.qps) + t * (std::log(high.qps) - std::log(low.qps)));
    }
  }
  return std::nullopt;
}

// Our index with closest and with diverse neighbour selection beside
// hnswlib, over `stored`, on `queries`: builds in alternating rounds (the
// last builds answer the queries), then every ef in alternating passes.
// Prints build times, recall and queries per second per ef, and the speed
// of each of ours over hnswlib's at equal recall; appends to options.csv
// rows "set,library,ef,recall,qps" and "set,library,build,,seconds".
inline void compare(const std::string& name, const Rows& stored, const Rows& queries, const Options& options) {
  std::printf("%s: %zu stored, %zu queries, %zu dimensions, Euclidean\n", name.c_str(), stored.count, queries.count,
              stored.dimension);
  std::printf("m = %zu, m_max = %zu, m_max0 = %zu, ef_construction = %zu, ml = 1 / ln %zu, k = %zu, %d rounds\n", kM,
              kM, 2 * kM, kEfConstruction, kM, kK, options.rounds);
  std::printf("hnswlib distance loops: %s; ours: the metric functions (chosen at run time)\n", peer_simd());
  const auto truth = exact_neighbours(stored, queries);

  const auto vector_of = [&stored](std::uint64_t node) { return stored.row(node); };
  hnswlib::L2Space space(stored.dimension);

  // Our level draws come from a fixed seed, as hnswlib's do, so every round
  // (and every run) builds the same graph.
  std::vector<std::unique_ptr<quorvel::HnswIndex>> ours(2);
  std::vector<Contender> contenders;
  for (const auto selection : {quorvel::NeighborSelection::Closest, quorvel::NeighborSelection::Diverse}) {
    const std::size_t slot = contenders.size();
    quorvel::HnswConfig config = quorvel::default_hnsw_config(kM);
    config.ef_construction = kEfConstruction;
    config.selection = selection;
    contenders.push_back(Contender{
        selection == quorvel::NeighborSelection::Closest ? "ours-closest" : "ours-diverse",
        [&, config, slot] {
          ours[slot] = std::make_unique<quorvel::HnswIndex>(config);
          std::mt19937 level_words(100);
          for (std::size_t i = 0; i < stored.count; ++i) {
            quorvel::HnswInternals::insert_with_word(*ours[slot], static_cast<std::uint32_t>(level_words()), i,
                                                     stored.row(i), vector_of, quorvel::Metric::Euclidean);
          }
        },
        [&, slot](std::span<const float> query, std::size_t ef) {
          std::vector<std::size_t> nodes;
          for (const quorvel::HnswMatch& match : ours[slot]->search(query, kK, ef, vector_of, quorvel::Metric::Euclidean))
            nodes.push_back(match.node);
          return nodes;
        }});
  }
  std::unique_ptr<hnswlib::HierarchicalNSW<float>> peer;
  std::size_t peer_ef = 0;
  contenders.push_back(Contender{
      "hnswlib",
      [&] {
        peer.reset();
        peer = std::make_unique<hnswlib::HierarchicalNSW<float>>(&space, stored.count, kM, kEfConstruction);
        peer_ef = 0;
        for (std::size_t i = 0; i < stored.count; ++i) peer->addPoint(stored.row(i).data(), i);
      },
      [&](std::span<const float> query, std::size_t ef) {
        if (ef != peer_ef) {
          peer->setEf(ef);
          peer_ef = ef;
        }
        std::vector<std::size_t> nodes;
        auto results = peer->searchKnn(query.data(), kK);
        while (!results.empty()) {
          nodes.push_back(results.top().second);
          results.pop();
        }
        return nodes;
      }});

  std::vector<std::vector<double>> builds(contenders.size());
  for (int round = 0; round < options.rounds; ++round) {
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      const double start = thread_seconds();
      contenders[c].build();
      builds[c].push_back(thread_seconds() - start);
    }
  }
  FILE* csv = options.csv.empty() ? nullptr : std::fopen(options.csv.c_str(), "a");
  std::printf("\nbuild time, one thread (processor time, median of %d):", options.rounds);
  for (std::size_t c = 0; c < contenders.size(); ++c) {
    std::printf(" %s %.2f s%s", contenders[c].name.c_str(), median(builds[c]), c + 1 < contenders.size() ? "," : "\n\n");
    if (csv != nullptr) std::fprintf(csv, "%s,%s,build,,%.3f\n", name.c_str(), contenders[c].name.c_str(), median(builds[c]));
  }

  std::printf("%6s", "ef");
  for (const Contender& contender : contenders) std::printf("  %14s recall  %10s", contender.name.c_str(), "QPS");
  std::printf("\n");
  std::vector<std::vector<Point>> curves(contenders.size());
  for (const std::size_t ef : kEfValues) {
    std::vector<std::vector<double>> rates(contenders.size());
    std::vector<double> recalls(contenders.size());
    // Alternating passes, so that every library sees the same load.
    for (int pass = 0; pass < options.rounds; ++pass) {
      for (std::size_t c = 0; c < contenders.size(); ++c) {
        const Point point =
            measure(queries, truth, [&](std::span<const float> query) { return contenders[c].search(query, ef); });
        rates[c].push_back(point.qps);
        recalls[c] = point.recall;
      }
    }
    std::printf("%6zu", ef);
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      curves[c].push_back({recalls[c], median(rates[c])});
      std::printf("  %21.4f  %10.0f", recalls[c], median(rates[c]));
      if (csv != nullptr) {
        std::fprintf(csv, "%s,%s,%zu,%.4f,%.0f\n", name.c_str(), contenders[c].name.c_str(), ef, recalls[c],
                     median(rates[c]));
      }
    }
    std::printf("\n");
  }
  if (csv != nullptr) std::fclose(csv);

  const std::size_t peer_index = contenders.size() - 1;
  std::printf("\nqueries per second at equal recall (interpolated between ef), ours over hnswlib:\n");
  std::printf("%8s  %12s  %12s  %12s  %8s  %8s\n", "recall", "closest", "diverse", "hnswlib", "closest", "diverse");
  for (const double target : {0.80, 0.90, 0.95, 0.97, 0.98, 0.99, 0.995}) {
    const auto peer_rate = qps_at_recall(curves[peer_index], target);
    std::printf("%8.3f", target);
    for (std::size_t c = 0; c < contenders.size(); ++c) {
      const auto rate = qps_at_recall(curves[c], target);
      if (rate) {
        std::printf("  %12.0f", *rate);
      } else {
        std::printf("  %12s", "-");
      }
    }
    for (std::size_t c = 0; c < peer_index; ++c) {
      const auto rate = qps_at_recall(curves[c], target);
      if (rate && peer_rate) {
        std::printf("  %8.2f", *rate / *peer_rate);
      } else {
        std::printf("  %8s", "-");
      }
    }
    std::printf("\n");
  }
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
