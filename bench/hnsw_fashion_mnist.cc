// Our HNSW index against hnswlib over the Fashion-MNIST training images (784
// pixel values each, Euclidean), with the same parameters: recall@10 against
// exact search over the test images and queries per second at several ef on
// one thread, plus both build times (bench/hnsw_comparison.h).
//
// Usage: hnsw_fashion_mnist [--train N] [--queries N] [--data DIR]
//                           [--rounds R] [--csv PATH]
// (subsets of the first N images, for quick runs while iterating).

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "hnsw_comparison.h"

namespace {

using hnsw_comparison::Rows;

std::uint32_t big_endian(const unsigned char* bytes) {
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) | (std::uint32_t{bytes[2]} << 8) |
         std::uint32_t{bytes[3]};
}

// Reads the first `limit` images of a gzip-compressed IDX image file
// (magic 0x00000803, then count, rows and columns, then one byte a pixel).
Rows load_images(const std::string& path, std::size_t limit) {
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

}  // namespace

int main(int argc, char** argv) {
  std::size_t train_limit = SIZE_MAX;
  std::size_t query_limit = SIZE_MAX;
  std::string data = "/usr/share/datasets/fashion-mnist";
  const hnsw_comparison::Options options =
      hnsw_comparison::parse_options(argc, argv, [&](std::string_view option, const char* value) {
        if (option == "--train") {
          train_limit = std::strtoull(value, nullptr, 10);
        } else if (option == "--queries") {
          query_limit = std::strtoull(value, nullptr, 10);
        } else if (option == "--data") {
          data = value;
        } else {
          return false;
        }
        return true;
      });
  const Rows train = load_images(data + "/train-images-idx3-ubyte.gz", train_limit);
  const Rows queries = load_images(data + "/t10k-images-idx3-ubyte.gz", query_limit);
  hnsw_comparison::compare("fashion-mnist", train, queries, options);
  return 0;
}
