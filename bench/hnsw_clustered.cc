// Our HNSW index against hnswlib over clustered vectors of 384 floats
// (Euclidean), with the same parameters as hnsw_fashion_mnist: recall@10,
// queries per second at several ef on one thread, and both build times
// (bench/hnsw_comparison.h).
//
// The vectors: bench_data::ClusteredVectors (bench/datasets.h); queries are
// further draws from the same generator.
//
// Usage: hnsw_clustered [--stored N] [--queries N] [--rounds R] [--csv PATH]

#include <cstdlib>
#include <string_view>

#include "datasets.h"
#include "hnsw_comparison.h"

int main(int argc, char** argv) {
  std::size_t stored_count = 100000;
  std::size_t query_count = 10000;
  const hnsw_comparison::Options options =
      hnsw_comparison::parse_options(argc, argv, [&](std::string_view option, const char* value) {
        if (option == "--stored") {
          stored_count = std::strtoull(value, nullptr, 10);
        } else if (option == "--queries") {
          query_count = std::strtoull(value, nullptr, 10);
        } else {
          return false;
        }
        return true;
      });
  bench_data::ClusteredVectors generator(384);
  const bench_data::Rows stored = generator.draw(stored_count);
  const bench_data::Rows queries = generator.draw(query_count);
  hnsw_comparison::compare("clustered-384", stored, queries, options);
  return 0;
}
