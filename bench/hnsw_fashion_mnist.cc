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

#include "datasets.h"
#include "hnsw_comparison.h"

int main(int argc, char** argv) {
  std::size_t train_limit = SIZE_MAX;
  std::size_t query_limit = SIZE_MAX;
  std::string data = bench_data::kFashionMnist;
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
  const bench_data::Rows train = bench_data::load_idx_images(data + "/train-images-idx3-ubyte.gz", train_limit);
  const bench_data::Rows queries = bench_data::load_idx_images(data + "/t10k-images-idx3-ubyte.gz", query_limit);
  hnsw_comparison::compare("fashion-mnist", train, queries, options);
  return 0;
}
