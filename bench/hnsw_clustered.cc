// Our HNSW index against hnswlib over clustered vectors of 384 floats
// (Euclidean), with the same parameters as hnsw_fashion_mnist: recall@10,
// queries per second at several ef on one thread, and both build times
// (bench/hnsw_comparison.h).
//
// The vectors: 1,000 cluster centres with coordinates drawn from N(0, 1);
// each vector is a centre chosen at random, plus a point of a random
// 24-dimensional subspace (N(0, 2^2) along each of 24 random directions of
// about unit length), plus N(0, 0.05^2) noise in every coordinate. Two
// vectors of one cluster lie about 14 apart, two centres about 28. So nearest
// neighbours are meaningful, as in real embeddings, where random Gaussian
// vectors in 384 dimensions would defeat every graph index. Queries are
// further draws from the same generator.
//
// Usage: hnsw_clustered [--stored N] [--queries N] [--rounds R] [--csv PATH]

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

#include "hnsw_comparison.h"

namespace {

using hnsw_comparison::Rows;

constexpr std::size_t kDimension = 384;
constexpr std::size_t kClusters = 1000;
constexpr std::size_t kSubspace = 24;

// The generator: centres and subspace directions fixed by the seed.
class ClusteredVectors {
 public:
  explicit ClusteredVectors(std::uint32_t seed) : random_(seed) {
    std::normal_distribution<float> unit(0.0f, 1.0f);
    centres_.resize(kClusters * kDimension);
    for (float& value : centres_) value = unit(random_);
    directions_.resize(kSubspace * kDimension);
    // About unit length: coordinates N(0, 1 / 384).
    const float scale = 1.0f / std::sqrt(static_cast<float>(kDimension));
    for (float& value : directions_) value = unit(random_) * scale;
  }

  Rows draw(std::size_t count) {
    std::uniform_int_distribution<std::size_t> cluster(0, kClusters - 1);
    std::normal_distribution<float> along(0.0f, 2.0f);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    Rows rows;
    rows.count = count;
    rows.dimension = kDimension;
    rows.values.resize(count * kDimension);
    for (std::size_t i = 0; i < count; ++i) {
      float* row = rows.values.data() + i * kDimension;
      const float* centre = centres_.data() + cluster(random_) * kDimension;
      for (std::size_t d = 0; d < kDimension; ++d) row[d] = centre[d] + noise(random_);
      for (std::size_t s = 0; s < kSubspace; ++s) {
        const float amount = along(random_);
        const float* direction = directions_.data() + s * kDimension;
        for (std::size_t d = 0; d < kDimension; ++d) row[d] += amount * direction[d];
      }
    }
    return rows;
  }

 private:
  std::mt19937 random_;
  std::vector<float> centres_;
  std::vector<float> directions_;
};

}  // namespace

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
  ClusteredVectors generator(384);
  const Rows stored = generator.draw(stored_count);
  const Rows queries = generator.draw(query_count);
  hnsw_comparison::compare("clustered-384", stored, queries, options);
  return 0;
}
