// Metadata text reader: throughput on 1 MiB of mixed metadata, written the way
// Python's json.dumps writes it (", " and ": " separators).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "metadata_text.h"

namespace {

constexpr std::size_t kTextBytes = std::size_t{1} << 20;

// An array of records of mixed content: integers of both signs and the
// largest unsigned one, floats in positional and exponent notation, strings
// with escapes, \u escapes and surrogate pairs, raw non-ASCII text, words,
// and nested arrays and objects.
std::string mixed_metadata_text() {
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<std::int64_t> integer(-1'000'000, 1'000'000);
  std::uniform_real_distribution<double> real(-1000.0, 1000.0);
  std::string text = "[";
  for (std::size_t n = 0; text.size() < kTextBytes; ++n) {
    if (n > 0) text += ", ";
    text += "{\"id\": " + std::to_string(n);
    text += ", \"name\": \"item \\\"" + std::to_string(n) + "\\\" caf\xC3\xA9 \xE4\xB8\xAD\xE6\x96\x87\"";
    text += ", \"tags\": [\"a\\nb\", \"tab\\there\", \"\\u00e9t\\u00e9\", \"\\ud83d\\ude00\", \"\xF0\x9F\x98\x80\"]";
    text += ", \"count\": " + std::to_string(integer(rng));
    text += ", \"score\": " + std::to_string(real(rng));
    text += ", \"tiny\": " + std::to_string(integer(rng)) + "e-9";
    text += ", \"big\": 18446744073709551615, \"ok\": true, \"missing\": null";
    text += ", \"nested\": {\"xs\": [1, 2.5, -3, [], {}], \"path\": \"C:\\\\data\\/file\", \"flag\": false}}";
  }
  text += "]";
  return text;
}

void BM_ReadMetadataText(benchmark::State& state) {
  const std::string text = mixed_metadata_text();
  if (const auto check = quorvel::read_metadata_text(text); !check) {
    state.SkipWithError(check.error().message().c_str());
    return;
  }
  for (auto _ : state) {
    auto value = quorvel::read_metadata_text(text);
    benchmark::DoNotOptimize(value);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["text_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ReadMetadataText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
