// The attached index's options, each against its baseline in the same run:
//   1. changes: at 100,000 clustered records of 384 floats, deletes and
//      re-inserts with retire_deleted (diverse selection) against the same
//      changes under the written behaviour (a rebuild each) and against the
//      insert of a new id; then half of the records replaced, and recall@10
//      of the churned index against a fresh build over the same records at
//      the same ef;
//   2. filtered: at 1,000,000 clustered records of 384 floats, filters that
//      0.1% to 50% of the records pass: the search through the index (one
//      thread; recall@10 against the exact filtered answer) against the
//      filtered exhaustive search (the engine's workers), in alternating
//      rounds: where the index stops paying, and the engine's own choice;
//   3. build: the index over the same 1,000,000 records on both cores and on
//      one thread, and hnswlib's build on both cores, with recall@10 of each.
// Times are medians of wall time; the machine has 2 cores.
//
// Usage: index_options_bench [--quick] [--dir DIR] [--parts changes,filtered,build] [--records N]
//   --quick    a tenth of every size, to try it out
//   --records  the records of parts 2 and 3 (default 1,000,000)

#include <hnswlib/hnswlib.h>
#include <oneapi/tbb/parallel_for.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "database_writer.h"
#include "datasets.h"
#include "quorvel/core/engine.h"
#include "search.h"

namespace {

using bench_data::Rows;
using quorvel::Engine;
using quorvel::JsonValue;

constexpr std::uint64_t kK = 10;

double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <class T>
T or_exit(std::expected<T, quorvel::EngineError> value) {
  if (!value) {
    std::fprintf(stderr, "%s\n", value.error().message().c_str());
    std::exit(1);
  }
  return std::move(*value);
}

void ok_or_exit(const std::expected<void, quorvel::EngineError>& done) {
  if (!done) {
    std::fprintf(stderr, "%s\n", done.error().message().c_str());
    std::exit(1);
  }
}

Engine open_engine(const std::string& path) {
  quorvel::EngineOptions options;
  options.metric = quorvel::Metric::Euclidean;
  return or_exit(Engine::open(path, options));
}

quorvel::HnswConfig diverse_config() {
  quorvel::HnswConfig config = quorvel::default_hnsw_config(16);
  config.selection = quorvel::NeighborSelection::Diverse;
  config.seed = 100;
  return config;
}

std::size_t number_of(std::string_view id) { return std::strtoull(id.data() + 1, nullptr, 10); }

// The exact k nearest stored rows of each query (Euclidean) among the rows
// that `keep` keeps, on every core.
template <class Keep>
std::vector<std::vector<std::size_t>> exact_answers(const Rows& stored, const Rows& queries, Keep keep) {
  std::vector<std::vector<std::size_t>> truth(queries.count);
  tbb::parallel_for(std::size_t{0}, queries.count, [&](std::size_t q) {
    std::vector<std::pair<float, std::size_t>> all;
    for (std::size_t i = 0; i < stored.count; ++i) {
      if (keep(i)) all.emplace_back(quorvel::euclidean(queries.row(q), stored.row(i)), i);
    }
    const std::size_t kept = std::min<std::size_t>(kK, all.size());
    std::partial_sort(all.begin(), all.begin() + static_cast<std::ptrdiff_t>(kept), all.end());
    for (std::size_t i = 0; i < kept; ++i) truth[q].push_back(all[i].second);
  });
  return truth;
}

// recall@10 of the engine's searches of `queries` against `truth`, with
// record i named numbered_id(i).
double engine_recall(const Engine& engine, const Rows& queries, const std::vector<std::vector<std::size_t>>& truth) {
  std::size_t found = 0;
  std::size_t wanted = 0;
  for (std::size_t q = 0; q < queries.count; ++q) {
    for (const quorvel::SearchResult& result : engine.search(queries.row(q), kK)) {
      found += std::count(truth[q].begin(), truth[q].end(), number_of(result.id));
    }
    wanted += truth[q].size();
  }
  return static_cast<double>(found) / static_cast<double>(wanted);
}

void write_rows(const std::string& path, const Rows& rows, std::size_t first = 0) {
  bench_data::write_database(
      path, rows.count, [first](std::size_t i) { return bench_data::numbered_id(first + i); },
      [&](std::size_t i) { return std::vector<float>(rows.row(i).begin(), rows.row(i).end()); },
      [](std::size_t) { return std::optional<JsonValue>(); });
}

void changes(std::size_t count, const std::string& directory) {
  const std::string path = directory + "/changes.db";
  bench_data::ClusteredVectors generator(7);
  Rows stored = generator.draw(count);
  const Rows queries = generator.draw(1000);
  write_rows(path, stored);

  std::printf("changes with the index attached, %zu clustered records of 384 floats, Euclidean, m = 16, "
              "ef_construction = 200, diverse selection\n",
              count);
  // The written behaviour: each delete or re-insert rebuilds the index.
  double rebuild_delete = 0;
  double rebuild_reinsert = 0;
  {
    Engine engine = open_engine(path);
    ok_or_exit(engine.attach_index(diverse_config()));
    double start = wall_seconds();
    ok_or_exit(engine.remove(bench_data::numbered_id(count / 3)));
    rebuild_delete = wall_seconds() - start;
    start = wall_seconds();
    const Rows fresh = generator.draw(1);
    ok_or_exit(engine.insert(bench_data::numbered_id(count / 2), {fresh.row(0).begin(), fresh.row(0).end()}, {}));
    rebuild_reinsert = wall_seconds() - start;
    ok_or_exit(engine.insert(bench_data::numbered_id(count / 3), {stored.row(count / 3).begin(), stored.row(count / 3).end()}, {}));
    ok_or_exit(engine.insert(bench_data::numbered_id(count / 2), {stored.row(count / 2).begin(), stored.row(count / 2).end()}, {}));
  }

  // The same changes without an index, on a copy of the file, in the same
  // rounds: what the commit and the record list cost by themselves.
  const std::string bare_path = directory + "/changes-bare.db";
  std::filesystem::copy_file(path, bare_path, std::filesystem::copy_options::overwrite_existing);
  Engine bare = open_engine(bare_path);
  Engine engine = open_engine(path);
  quorvel::HnswConfig config = diverse_config();
  config.retire_deleted = true;
  config.build_threads = 0;
  ok_or_exit(engine.attach_index(config));
  // Rounds of 100 deletes of random stored records, 100 re-inserts of them
  // (the record comes back with a new vector) and 100 inserts of new ids,
  // each made to the indexed engine and to the bare one, the two taking
  // turns to go first.
  std::mt19937 random(5);
  std::vector<double> deletes[2];
  std::vector<double> reinserts[2];
  std::vector<double> inserts[2];
  std::size_t next_new = count;
  std::vector<std::size_t> held;
  const auto both = [&](int round, std::vector<double>* times, const auto& change) {
    for (int turn = 0; turn < 2; ++turn) {
      const int which = (turn + round) % 2;  // 0: indexed, 1: bare
      const double start = wall_seconds();
      change(which == 0 ? engine : bare);
      times[which].push_back(wall_seconds() - start);
    }
  };
  for (int round = 0; round < 20; ++round) {
    held.clear();
    for (int i = 0; i < 100; ++i) {
      const std::size_t n = random() % count;
      if (!engine.get(bench_data::numbered_id(n))) continue;
      both(round, deletes, [&](Engine& e) { ok_or_exit(e.remove(bench_data::numbered_id(n))); });
      held.push_back(n);
    }
    for (const std::size_t n : held) {
      const Rows fresh = generator.draw(1);
      std::copy(fresh.values.begin(), fresh.values.end(), stored.values.begin() + static_cast<std::ptrdiff_t>(n * 384));
      both(round, reinserts, [&](Engine& e) {
        ok_or_exit(e.insert(bench_data::numbered_id(n), {fresh.row(0).begin(), fresh.row(0).end()}, {}));
      });
    }
    for (int i = 0; i < 100; ++i) {
      const Rows fresh = generator.draw(1);
      both(round, inserts, [&](Engine& e) {
        ok_or_exit(e.insert(bench_data::numbered_id(next_new), {fresh.row(0).begin(), fresh.row(0).end()}, {}));
      });
      ++next_new;
      stored.values.insert(stored.values.end(), fresh.values.begin(), fresh.values.end());
      ++stored.count;
    }
  }
  const auto mean = [](const std::vector<double>& times) {
    double total = 0;
    for (const double t : times) total += t;
    return total / static_cast<double>(times.size());
  };
  std::printf("  written behaviour (a rebuild each, one thread): delete %.2f s, re-insert %.2f s\n", rebuild_delete,
              rebuild_reinsert);
  std::printf("  retire_deleted, 20 rounds of 100 of each, each a durable commit; mean (median, max) in ms, with the "
              "index and without one:\n");
  const auto line = [&](const char* what, const std::vector<double>* times) {
    std::printf("    %-18s %7.3f (%6.3f, %6.1f)   %7.3f (%6.3f, %6.1f)   the index adds %.3f ms\n", what,
                mean(times[0]) * 1e3, median(times[0]) * 1e3, *std::ranges::max_element(times[0]) * 1e3,
                mean(times[1]) * 1e3, median(times[1]) * 1e3, *std::ranges::max_element(times[1]) * 1e3,
                (mean(times[0]) - mean(times[1])) * 1e3);
  };
  line("delete", deletes);
  line("re-insert", reinserts);
  line("insert of a new id", inserts);
  std::printf("  delete / rebuilding delete %.2g, re-insert / rebuilding re-insert %.2g\n",
              mean(deletes[0]) / rebuild_delete, mean(reinserts[0]) / rebuild_reinsert);

  // Replace half of the original records, in batches of 1,000 (one commit
  // each), counting the compactions on the way.
  std::vector<std::size_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), random);
  std::size_t compactions = 0;
  double replacing = 0;
  for (std::size_t begin = 0; begin < count / 2; begin += 1000) {
    std::vector<quorvel::Record> batch;
    for (std::size_t i = begin; i < std::min(count / 2, begin + 1000); ++i) {
      const Rows fresh = generator.draw(1);
      std::copy(fresh.values.begin(), fresh.values.end(),
                stored.values.begin() + static_cast<std::ptrdiff_t>(order[i] * 384));
      batch.push_back({bench_data::numbered_id(order[i]), {fresh.row(0).begin(), fresh.row(0).end()}, {}, {}});
    }
    const std::uint64_t retired = engine.index()->retired_count();
    const double start = wall_seconds();
    ok_or_exit(engine.insert_all(std::move(batch)));
    replacing += wall_seconds() - start;
    if (engine.index()->retired_count() < retired) ++compactions;
  }
  const auto truth = exact_answers(stored, queries, [](std::size_t) { return true; });
  std::printf("  replaced half of the records (%zu) in batches of 1,000: %.1f s, %zu compactions on the way, "
              "%llu nodes retired now\n",
              count / 2, replacing, compactions, static_cast<unsigned long long>(engine.index()->retired_count()));
  std::printf("  %6s  %14s  %14s  %10s\n", "ef", "recall churned", "recall fresh", "difference");
  std::vector<double> churned;
  for (const std::uint64_t ef : {10, 20, 40, 80, 160}) {
    engine.set_index_ef_search(ef);
    churned.push_back(engine_recall(engine, queries, truth));
  }
  quorvel::HnswConfig fresh_config = diverse_config();
  fresh_config.build_threads = 0;
  ok_or_exit(engine.attach_index(fresh_config));
  std::size_t i = 0;
  for (const std::uint64_t ef : {10, 20, 40, 80, 160}) {
    engine.set_index_ef_search(ef);
    const double fresh = engine_recall(engine, queries, truth);
    std::printf("  %6llu  %14.4f  %14.4f  %+10.4f\n", static_cast<unsigned long long>(ef), churned[i], fresh,
                churned[i] - fresh);
    ++i;
  }
  std::printf("\n");
}

// Metadata of record i: one field per share, 0 for the records that a
// filter on it lets pass.
struct Share {
  const char* key;
  std::size_t every;  // one record in `every` passes
};
constexpr Share kShares[] = {{"s1000", 1000}, {"s500", 500}, {"s200", 200}, {"s100", 100}, {"s50", 50},
                             {"s20", 20},     {"s10", 10},   {"s2", 2}};

JsonValue metadata_of(std::size_t i) {
  std::vector<JsonValue::Member> members;
  for (const Share& share : kShares) {
    members.push_back({share.key, JsonValue(static_cast<JsonValue::Unsigned>(i % share.every))});
  }
  return JsonValue::make_object(std::move(members));
}

// The big set of parts 2 and 3: written once, opened by each.
struct BigSet {
  std::string path;
  Rows stored;
  Rows queries;
};

BigSet big_set(std::size_t count, const std::string& directory) {
  BigSet set;
  set.path = directory + "/big.db";
  bench_data::ClusteredVectors generator(11);
  set.stored = generator.draw(count);
  set.queries = generator.draw(200);
  if (!std::filesystem::exists(set.path)) {
    bench_data::write_database(
        set.path, count, bench_data::numbered_id,
        [&](std::size_t i) { return std::vector<float>(set.stored.row(i).begin(), set.stored.row(i).end()); },
        [](std::size_t i) { return std::optional(metadata_of(i)); });
  }
  return set;
}

void filtered(const BigSet& set) {
  Engine engine = open_engine(set.path);
  quorvel::HnswConfig config = diverse_config();
  config.build_threads = 0;
  config.ef_search = 64;
  const double start = wall_seconds();
  ok_or_exit(engine.attach_index(config));
  std::printf("filtered search, %zu clustered records of 384 floats, Euclidean, k = 10, diverse selection "
              "(index built on both cores in %.0f s), %zu queries\n",
              set.stored.count, wall_seconds() - start, set.queries.count);
  std::printf("  the index's search: one thread, ef = 64 (raised to k), records tested as it meets them; the "
              "exhaustive search: the engine's workers; medians of 5 alternating rounds\n");
  std::printf("  %8s  %10s  %12s  %12s  %8s  %16s\n", "passing", "recall", "index ms", "exhaustive ms", "speed",
              "engine's choice");
  const quorvel::RecordList& records = engine.get_all();
  const quorvel::HnswIndex& index = *engine.index();
  const auto vector_of = [&](std::uint64_t node) { return records.vector(static_cast<std::size_t>(node)); };
  for (const Share& share : kShares) {
    const std::vector<quorvel::MetadataFilter> filters = {{share.key, JsonValue(0)}};
    const auto truth =
        exact_answers(set.stored, set.queries, [&](std::size_t i) { return i % share.every == 0; });
    std::vector<double> index_times;
    std::vector<double> exhaustive_times;
    std::size_t found = 0;
    for (int round = 0; round < 5; ++round) {
      double t = wall_seconds();
      for (std::size_t q = 0; q < set.queries.count; ++q) {
        const auto passing = [&](std::uint64_t node) {
          return quorvel::passes(records.metadata(static_cast<std::size_t>(node)), filters);
        };
        const auto matches = index.search(set.queries.row(q), kK, config.ef_search, vector_of,
                                          quorvel::Metric::Euclidean, passing);
        if (round == 0) {
          for (const quorvel::HnswMatch& match : matches) found += std::ranges::count(truth[q], match.node);
        }
      }
      index_times.push_back((wall_seconds() - t) / static_cast<double>(set.queries.count));
      t = wall_seconds();
      for (std::size_t q = 0; q < set.queries.count / 10; ++q) {
        const std::vector<float> query(set.queries.row(q).begin(), set.queries.row(q).end());
        (void)engine.search(quorvel::SearchRequest{query, kK, filters, {}, {}});
      }
      exhaustive_times.push_back((wall_seconds() - t) / static_cast<double>(set.queries.count / 10));
    }
    const double share_passing = 1.0 / static_cast<double>(share.every);
    const bool index_chosen = quorvel::index_filters_faster(records, filters, std::max(kK, config.ef_search));
    std::printf("  %7.2f%%  %10.4f  %12.3f  %12.2f  %7.1fx  %16s\n", share_passing * 100,
                static_cast<double>(found) / static_cast<double>(set.queries.count * kK), median(index_times) * 1e3,
                median(exhaustive_times) * 1e3, median(exhaustive_times) / median(index_times),
                index_chosen ? "index" : "exhaustive");
  }
  std::printf("\n");
}

void build(const BigSet& set) {
  const auto truth = exact_answers(set.stored, set.queries, [](std::size_t) { return true; });
  std::printf("index build over %zu clustered records of 384 floats, Euclidean, m = 16, ef_construction = 200, "
              "diverse selection (wall time; recall@10 at ef 64 over %zu queries)\n",
              set.stored.count, set.queries.count);
  // Both cores: through the engine's attach on its workers.
  Engine engine = open_engine(set.path);
  double ours_two = 0;
  double ours_one = 0;
  for (const std::uint64_t threads : {std::uint64_t{0}, std::uint64_t{1}}) {
    quorvel::HnswConfig config = diverse_config();
    config.build_threads = threads;
    config.ef_search = 64;
    engine.detach_index();
    const double start = wall_seconds();
    ok_or_exit(engine.attach_index(config));
    const double seconds = wall_seconds() - start;
    (threads == 0 ? ours_two : ours_one) = seconds;
    std::printf("  quorvel, %s: %.1f s, recall %.4f\n", threads == 0 ? "both cores" : "one thread", seconds,
                engine_recall(engine, set.queries, truth));
    if (threads == 0) {
      // hnswlib between our two builds, on both cores.
      engine.detach_index();
      hnswlib::L2Space space(set.stored.dimension);
      auto peer = std::make_unique<hnswlib::HierarchicalNSW<float>>(&space, set.stored.count, 16, 200, 100);
      const double peer_start = wall_seconds();
      std::atomic<std::size_t> next{0};
      std::vector<std::thread> threads_of_peer;
      for (int t = 0; t < 2; ++t) {
        threads_of_peer.emplace_back([&] {
          for (std::size_t i = next++; i < set.stored.count; i = next++) peer->addPoint(set.stored.row(i).data(), i);
        });
      }
      for (std::thread& thread : threads_of_peer) thread.join();
      const double peer_seconds = wall_seconds() - peer_start;
      peer->setEf(64);
      std::size_t found = 0;
      for (std::size_t q = 0; q < set.queries.count; ++q) {
        auto results = peer->searchKnn(set.queries.row(q).data(), kK);
        for (; !results.empty(); results.pop()) found += std::ranges::count(truth[q], results.top().second);
      }
      std::printf("  hnswlib, both cores: %.1f s, recall %.4f\n", peer_seconds,
                  static_cast<double>(found) / static_cast<double>(set.queries.count * kK));
      std::printf("  ours on both cores / hnswlib on both cores: %.2f\n", ours_two / peer_seconds);
    }
  }
  std::printf("  ours on both cores / ours on one thread: %.2f\n\n", ours_two / ours_one);
}

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  std::string directory;
  std::string parts = "changes,filtered,build";
  std::size_t big_records = 1000000;
  for (int i = 1; i < argc; ++i) {
    const std::string_view option = argv[i];
    if (option == "--quick") {
      quick = true;
    } else if (option == "--dir" && i + 1 < argc) {
      directory = argv[++i];
    } else if (option == "--parts" && i + 1 < argc) {
      parts = argv[++i];
    } else if (option == "--records" && i + 1 < argc) {
      big_records = std::strtoull(argv[++i], nullptr, 10);
    } else {
      std::fprintf(stderr, "usage: %s [--quick] [--dir DIR] [--parts changes,filtered,build] [--records N]\n",
                   argv[0]);
      return 2;
    }
  }
  const bool own_directory = directory.empty();
  if (own_directory) {
    char pattern[] = "/tmp/quorvel-index-options-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return 1;
    directory = pattern;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const auto wanted = [&](std::string_view part) { return parts.find(part) != std::string::npos; };
  if (wanted("changes")) changes(quick ? 10000 : 100000, directory);
  if (wanted("filtered") || wanted("build")) {
    const BigSet set = big_set(quick ? big_records / 10 : big_records, directory);
    if (wanted("filtered")) filtered(set);
    if (wanted("build")) build(set);
  }
  if (own_directory) std::filesystem::remove_all(directory);
  return 0;
}
