#pragma once

// The data sets of the benchmarks: Fashion-MNIST from Debian's package, and
// clustered vectors that behave like real embeddings.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace bench_data {

// Vectors as rows of floats, one row per vector.
struct Rows {
  std::size_t count = 0;
  std::size_t dimension = 0;
  std::vector<float> values;

  std::span<const float> row(std::size_t i) const { return {values.data() + i * dimension, dimension}; }
};

// Where Debian's dataset-fashion-mnist keeps its files.
inline constexpr const char* kFashionMnist = "/usr/share/datasets/fashion-mnist";

inline std::uint32_t big_endian(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
         std::uint32_t{bytes[3]};
}

// Reads the first `limit` images of a gzip-compressed IDX image file
// (magic 0x00000803, then count, rows and columns, then one byte a pixel),
// as rows of pixel values 0 to 255. Ends the program when it cannot.
inline Rows load_idx_images(const std::string& path, std::size_t limit) {
  const std::string command = "gzip -dc '" + path + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) {
    std::fprintf(stderr, "cannot run %s\n", command.c_str());
    std::exit(1);
  }
  unsigned char header[16];
  if (std::fread(header, 1, sizeof header, pipe.get()) != sizeof header || big_endian(header) != 0x803) {
    std::fprintf(stderr, "%s is not an IDX image file\n", path.c_str());
    std::exit(1);
  }
  Rows images;
  images.count = std::min<std::size_t>(big_endian(header + 4), limit);
  images.dimension = std::size_t{big_endian(header + 8)} * big_endian(header + 12);
  std::vector<unsigned char> pixels(images.count * images.dimension);
  if (std::fread(pixels.data(), 1, pixels.size(), pipe.get()) != pixels.size()) {
    std::fprintf(stderr, "%s is shorter than its header says\n", path.c_str());
    std::exit(1);
  }
  images.values.assign(pixels.begin(), pixels.end());
  return images;
}

// Clustered vectors: 1,000 cluster centres with coordinates drawn from
// N(0, 1); each vector is a centre chosen at random, plus a point of a
// random 24-dimensional subspace (N(0, 2^2) along each of 24 random
// directions of about unit length), plus N(0, 0.05^2) noise in every
// coordinate. Two vectors of one cluster lie about 14 apart, two centres
// about 28. So nearest neighbours are meaningful, as in real embeddings,
// where random Gaussian vectors in 384 dimensions would defeat every graph
// index. Further draws from the same generator serve as queries.
class ClusteredVectors {
 public:
  static constexpr std::size_t kClusters = 1000;
  static constexpr std::size_t kSubspace = 24;

  explicit ClusteredVectors(std::uint32_t seed, std::size_t dimension = 384)
      : dimension_(dimension), random_(seed) {
    std::normal_distribution<float> unit(0.0f, 1.0f);
    centres_.resize(kClusters * dimension_);
    for (float& value : centres_) value = unit(random_);
    directions_.resize(kSubspace * dimension_);
    // About unit length: coordinates N(0, 1 / dimension).
    const float scale = 1.0f / std::sqrt(static_cast<float>(dimension_));
    for (float& value : directions_) value = unit(random_) * scale;
  }

  Rows draw(std::size_t count) {
    std::uniform_int_distribution<std::size_t> cluster(0, kClusters - 1);
    std::normal_distribution<float> along(0.0f, 2.0f);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    Rows rows;
    rows.count = count;
    rows.dimension = dimension_;
    rows.values.resize(count * dimension_);
    for (std::size_t i = 0; i < count; ++i) {
      float* row = rows.values.data() + i * dimension_;
      const float* centre = centres_.data() + cluster(random_) * dimension_;
      for (std::size_t d = 0; d < dimension_; ++d) row[d] = centre[d] + noise(random_);
      for (std::size_t s = 0; s < kSubspace; ++s) {
        const float amount = along(random_);
        const float* direction = directions_.data() + s * dimension_;
        for (std::size_t d = 0; d < dimension_; ++d) row[d] += amount * direction[d];
      }
    }
    return rows;
  }

 private:
  std::size_t dimension_;
  std::mt19937 random_;
  std::vector<float> centres_;
  std::vector<float> directions_;
};

}  // namespace bench_data
