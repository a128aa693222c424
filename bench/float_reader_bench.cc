// Reading stored vector elements: the store's reader against Debian's
// fast_float and simdjson, on the text the store writes.
//
// The vectors: 384 floats drawn uniformly from [-1, 1) and 384 drawn from a
// normal distribution, written as the store writes them (shortest digits,
// so a few elements near zero take an exponent). Every reader must give the
// floats the store's reader gives: the nearest float to the nearest double
// of each decimal. fast_float and simdjson read doubles, which are then
// narrowed; the program checks that all three agree on every element before
// timing.
//
// - Bare*: a stored record without metadata, {"id":..,"vector":[..],
//   "metadata":null,"timestamp":null}. The store's reader reads the whole
//   record; fast_float reads the array's elements, found by a search for
//   '['; simdjson reads the id and the vector.
// - Record*: a stored record with a small metadata object. The store's
//   reader builds the metadata as a value; simdjson merely skips it, which
//   flatters simdjson.
// simdjson is handed input with its padding already in place, as it needs;
// copying a row into a padded buffer is not timed.

#include <benchmark/benchmark.h>
#include <fast_float/fast_float.h>
#include <simdjson.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "plain_floats.h"
#include "quorvel/storage/record.h"
#include "record_json.h"

namespace {

constexpr std::size_t kDimensions = 384;
constexpr std::size_t kVectors = 256;

struct Inputs {
  std::vector<std::string> bare;     // stored records without metadata
  std::vector<std::string> records;  // stored records with metadata
  std::vector<simdjson::padded_string> padded_bare;
  std::vector<simdjson::padded_string> padded_records;
};

std::string stored_form(const quorvel::Record& record) {
  std::string out;
  if (!quorvel::append_record_json(out, record)) std::abort();
  return out;
}

const Inputs& inputs() {
  static const Inputs made = [] {
    Inputs in;
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    for (std::size_t v = 0; v < kVectors; ++v) {
      quorvel::Record record{"doc-" + std::to_string(v), std::vector<float>(kDimensions), {}, {}};
      for (float& x : record.vector) x = v % 2 == 0 ? uniform(rng) : normal(rng);
      in.bare.push_back(stored_form(record));
      record.metadata = quorvel::JsonValue::make_object(
          {quorvel::JsonValue::Member{"n", quorvel::JsonValue(static_cast<std::uint64_t>(v))},
           quorvel::JsonValue::Member{"source", quorvel::JsonValue(std::string("crawl"))}});
      in.records.push_back(stored_form(record));
      in.padded_bare.emplace_back(in.bare.back());
      in.padded_records.emplace_back(in.records.back());
    }
    return in;
  }();
  return made;
}

bool read_with_store(const std::string& text, quorvel::FloatBlock& out) {
  return quorvel::read_record_json_into(text, out).has_value();
}

void read_with_fast_float(const std::string& text, std::vector<float>& out) {
  const char* p = std::strchr(text.c_str(), '[') + 1;
  const char* const end = text.data() + text.size();
  while (*p != ']') {
    double value = 0.0;
    const auto result = fast_float::from_chars(p, end, value);
    out.push_back(static_cast<float>(value));
    p = result.ptr;
    if (*p == ',') ++p;
  }
}

// The id and the vector; anything else is skipped.
void read_with_simdjson(simdjson::ondemand::parser& parser, const simdjson::padded_string& text,
                        std::string& id, std::vector<float>& out) {
  auto document = parser.iterate(text);
  for (auto field : document.get_object()) {
    const std::string_view key = field.unescaped_key();
    if (key == "id") {
      id = std::string_view(field.value().get_string());
    } else if (key == "vector") {
      for (auto element : field.value().get_array()) out.push_back(static_cast<float>(double(element.get_double())));
    }
  }
}

// All three readers give the same floats for every element, or the
// comparison is void.
bool readers_agree() {
  simdjson::ondemand::parser parser;
  for (std::size_t v = 0; v < kVectors; ++v) {
    quorvel::FloatBlock ours;
    std::vector<float> fast, simd;
    std::string id;
    if (!read_with_store(inputs().bare[v], ours)) return false;
    read_with_fast_float(inputs().bare[v], fast);
    read_with_simdjson(parser, inputs().padded_records[v], id, simd);
    if (ours.size() != kDimensions || fast.size() != kDimensions || simd.size() != kDimensions) return false;
    if (std::memcmp(ours.data(), fast.data(), kDimensions * sizeof(float)) != 0) return false;
    if (std::memcmp(ours.data(), simd.data(), kDimensions * sizeof(float)) != 0) return false;
  }
  return true;
}

void count(benchmark::State& state, const std::vector<std::string>& texts) {
  std::size_t bytes = 0;
  for (const auto& text : texts) bytes += text.size();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes / texts.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kDimensions));  // floats
}

void time_store(benchmark::State& state, const std::vector<std::string>& texts) {
  if (!readers_agree()) state.SkipWithError("the readers disagree");
  quorvel::FloatBlock out;
  out.reserve(kDimensions);
  std::size_t i = 0;
  for (auto _ : state) {
    out.clear();
    if (!read_with_store(texts[i++ % kVectors], out)) state.SkipWithError("a stored record did not read back");
    benchmark::DoNotOptimize(out.data());
  }
  count(state, texts);
}

void time_simdjson(benchmark::State& state, const std::vector<simdjson::padded_string>& padded,
                   const std::vector<std::string>& texts) {
  simdjson::ondemand::parser parser;
  std::vector<float> out;
  out.reserve(kDimensions);
  std::string id;
  std::size_t i = 0;
  for (auto _ : state) {
    out.clear();
    read_with_simdjson(parser, padded[i++ % kVectors], id, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::DoNotOptimize(id.data());
  }
  count(state, texts);
}

void BM_BareStore(benchmark::State& state) { time_store(state, inputs().bare); }
BENCHMARK(BM_BareStore);

void BM_BareFastFloat(benchmark::State& state) {
  std::vector<float> out;
  out.reserve(kDimensions);
  std::size_t i = 0;
  for (auto _ : state) {
    out.clear();
    read_with_fast_float(inputs().bare[i++ % kVectors], out);
    benchmark::DoNotOptimize(out.data());
  }
  count(state, inputs().bare);
}
BENCHMARK(BM_BareFastFloat);

void BM_BareSimdjson(benchmark::State& state) { time_simdjson(state, inputs().padded_bare, inputs().bare); }
BENCHMARK(BM_BareSimdjson);

void BM_RecordStore(benchmark::State& state) { time_store(state, inputs().records); }
BENCHMARK(BM_RecordStore);

void BM_RecordSimdjsonSkippingMetadata(benchmark::State& state) {
  time_simdjson(state, inputs().padded_records, inputs().records);
}
BENCHMARK(BM_RecordSimdjsonSkippingMetadata);

}  // namespace

BENCHMARK_MAIN();
