// The compact writer's two ways of writing a float, held against each other
// over every one of the 2^32 bit patterns: the direct way (the shortest
// digits found in integers, laid out positionally) must write exactly the
// bytes the general way (std::to_chars, then laid out) writes, for every
// float it takes; it declines the rest, which the general way writes anyway.
// Then both are timed on normally distributed floats, the common vector
// element.
//
// Usage: float_text_check [threads]   (a few minutes on two cores)

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "float_text.h"

namespace {

using quorvel::json::append_float_by_to_chars;
using quorvel::json::write_plain_float;

struct Tally {
  std::uint64_t taken = 0;
  std::uint64_t mismatches = 0;
  std::uint32_t first_mismatch = 0;
};

Tally check_range(std::uint64_t begin, std::uint64_t end) {
  Tally tally;
  std::string general;
  char text[quorvel::json::kPlainFloatBytes];
  for (std::uint64_t bits = begin; bits < end; ++bits) {
    const float value = std::bit_cast<float>(static_cast<std::uint32_t>(bits));
    const char* written = write_plain_float(text, value);
    if (written == nullptr) continue;
    ++tally.taken;
    general.clear();
    append_float_by_to_chars(general, value);
    if (general.compare(0, std::string::npos, text, static_cast<std::size_t>(written - text)) != 0) {
      if (tally.mismatches++ == 0) tally.first_mismatch = static_cast<std::uint32_t>(bits);
    }
  }
  return tally;
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned threads = argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : std::thread::hardware_concurrency();
  constexpr std::uint64_t kAll = std::uint64_t{1} << 32;
  constexpr std::uint64_t kChunk = std::uint64_t{1} << 24;
  std::atomic<std::uint64_t> next{0};
  std::vector<Tally> tallies(threads);
  std::vector<std::thread> workers;
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (std::uint64_t begin; (begin = next.fetch_add(kChunk)) < kAll;) {
        const Tally part = check_range(begin, begin + kChunk);
        Tally& mine = tallies[t];
        if (part.mismatches > 0 && mine.mismatches == 0) mine.first_mismatch = part.first_mismatch;
        mine.taken += part.taken;
        mine.mismatches += part.mismatches;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  Tally total;
  for (const Tally& tally : tallies) {
    if (tally.mismatches > 0 && total.mismatches == 0) total.first_mismatch = tally.first_mismatch;
    total.taken += tally.taken;
    total.mismatches += tally.mismatches;
  }
  std::printf("all 2^32 patterns: %llu written directly, %llu differ from the general way\n",
              static_cast<unsigned long long>(total.taken), static_cast<unsigned long long>(total.mismatches));
  if (total.mismatches > 0) {
    const float value = std::bit_cast<float>(total.first_mismatch);
    std::string general;
    append_float_by_to_chars(general, value);
    char text[quorvel::json::kPlainFloatBytes];
    const char* written = write_plain_float(text, value);
    std::printf("first: bits %08x general %s direct %.*s\n", total.first_mismatch, general.c_str(),
                static_cast<int>(written - text), text);
  }

  // Timing on one thread: normally distributed floats.
  std::mt19937 generator(7);
  std::normal_distribution<float> normal;
  std::vector<float> values(1 << 22);
  for (float& value : values) value = normal(generator);
  std::string out;
  out.reserve(values.size() * 25);
  const auto time = [&](auto&& write) {
    out.clear();
    const auto start = std::chrono::steady_clock::now();
    for (const float value : values) write(value);
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
           static_cast<double>(values.size());
  };
  for (int round = 0; round < 3; ++round) {
    const double general = time([&](float value) { append_float_by_to_chars(out, value); });
    const double direct = time([&](float value) {
      char text[quorvel::json::kPlainFloatBytes];
      if (const char* end = write_plain_float(text, value)) {
        out.append(text, static_cast<std::size_t>(end - text));
      } else {
        append_float_by_to_chars(out, value);
      }
    });
    std::printf("round %d: general %.1f ns, direct %.1f ns a float\n", round + 1, general, direct);
  }
  return total.mismatches == 0 ? 0 : 1;
}
