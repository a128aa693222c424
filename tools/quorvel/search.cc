// quorvel search FILE --query JSON_ARRAY [...]: the engine's search request
// from the shell.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "progress.h"
#include "quorvel/core/engine.h"
#include "quorvel/json/json_reader.h"
#include "quorvel/json/json_writer.h"

namespace quorvel::cli {
namespace {

template <typename Number>
std::optional<Number> number_of(std::string_view text) {
  Number value{};
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Whether a yes-or-no index setting is on: true/1 or false/0.
std::optional<bool> switch_of(std::string_view value) {
  if (value == "true" || value == "1") return true;
  if (value == "false" || value == "0") return false;
  return std::nullopt;
}

// The --index settings: the index's configuration, and whether filtered
// searches go through it.
struct IndexSettings {
  HnswConfig config;
  bool filter_through_index = false;
};

// "m=16,ef_construction=200,ef=64" and optionally m_max, m_max0, ml,
// selection (closest or diverse), keep_pruned, seed, build_threads and
// filtered (index or exhaustive); what is not given is what
// default_hnsw_config() derives from m (16 unless given) and the
// configuration's own defaults.
std::expected<IndexSettings, std::string> index_settings_of(std::string_view settings) {
  std::optional<std::uint64_t> m, m_max, m_max0, ef_construction, ef_search, build_threads;
  std::optional<std::uint32_t> seed;
  std::optional<float> ml;
  std::optional<NeighborSelection> selection;
  std::optional<bool> keep_pruned;
  bool filter_through_index = false;
  while (!settings.empty()) {
    const std::size_t comma = settings.find(',');
    const std::string_view item = settings.substr(0, comma);
    settings = comma == std::string_view::npos ? std::string_view() : settings.substr(comma + 1);
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) return std::unexpected("expected name=value in --index, got " + std::string(item));
    const std::string_view name = item.substr(0, equals);
    const std::string_view value = item.substr(equals + 1);
    if (name == "ml") {
      ml = number_of<float>(value);
      if (!ml) return std::unexpected("ml must be a number, got " + std::string(value));
      continue;
    }
    if (name == "selection") {
      selection = selection_named(value);
      if (!selection) return std::unexpected("selection must be closest or diverse, got " + std::string(value));
      continue;
    }
    if (name == "keep_pruned") {
      keep_pruned = switch_of(value);
      if (!keep_pruned) return std::unexpected("keep_pruned must be true or false, got " + std::string(value));
      continue;
    }
    if (name == "filtered") {
      if (value != "index" && value != "exhaustive") {
        return std::unexpected("filtered must be index or exhaustive, got " + std::string(value));
      }
      filter_through_index = value == "index";
      continue;
    }
    if (name == "seed") {
      seed = number_of<std::uint32_t>(value);
      if (!seed) return std::unexpected("seed must be a whole number below 2^32, got " + std::string(value));
      continue;
    }
    const auto count = number_of<std::uint64_t>(value);
    if (!count) return std::unexpected(std::string(name) + " must be a whole number, got " + std::string(value));
    if (name == "m") {
      m = count;
    } else if (name == "m_max") {
      m_max = count;
    } else if (name == "m_max0") {
      m_max0 = count;
    } else if (name == "ef_construction") {
      ef_construction = count;
    } else if (name == "ef" || name == "ef_search") {
      ef_search = count;
    } else if (name == "build_threads") {
      build_threads = count;
    } else {
      return std::unexpected("unknown index setting " + std::string(name) +
                             " (m, m_max, m_max0, ef_construction, ef, ml, selection, keep_pruned, seed, "
                             "build_threads, filtered)");
    }
  }
  IndexSettings chosen;
  HnswConfig& config = chosen.config;
  config = default_hnsw_config(m.value_or(16));
  config.m_max = m_max.value_or(config.m_max);
  config.m_max0 = m_max0.value_or(config.m_max0);
  config.ef_construction = ef_construction.value_or(config.ef_construction);
  config.ef_search = ef_search.value_or(config.ef_search);
  config.ml = ml.value_or(config.ml);
  config.selection = selection.value_or(config.selection);
  config.keep_pruned = keep_pruned.value_or(config.keep_pruned);
  if (seed) config.seed = seed;
  config.build_threads = build_threads.value_or(config.build_threads);
  chosen.filter_through_index = filter_through_index;
  return chosen;
}

// The request that the command line asks for, or why it cannot be made (a
// usage error: nothing about the file is known yet).
std::expected<SearchRequest, std::string> request_of(const CommandLine& line) {
  SearchRequest request;
  const auto query_text = line.last("--query");
  if (!query_text) return std::unexpected("--query is required");
  auto query = read_json_document(*query_text);
  const auto* elements = query ? query->get_if<JsonValue::Array>() : nullptr;
  if (elements == nullptr) return std::unexpected("--query must be a JSON array of numbers");
  for (const JsonValue& element : *elements) {
    if (!element.holds<JsonValue::Unsigned>() && !element.holds<JsonValue::Signed>() && !element.holds<JsonValue::Float>()) {
      return std::unexpected("--query must be a JSON array of numbers");
    }
    const double value = std::visit(
        [](auto n) -> double {
          if constexpr (std::is_arithmetic_v<decltype(n)>) return static_cast<double>(n);
          return 0.0;
        },
        element.data());
    // A number beyond the float range has no 32-bit value to search with.
    if (std::fabs(value) > std::numeric_limits<float>::max()) {
      return std::unexpected("--query element " + std::to_string(request.query.size()) +
                             " is beyond the range of a 32-bit float");
    }
    request.query.push_back(static_cast<float>(value));
  }
  request.k = 10;
  if (const auto k = line.last("-k")) {
    const auto value = number_of<std::uint64_t>(*k);
    if (!value) return std::unexpected("-k must be a whole number, 0 or more, got " + *k);
    request.k = *value;
  }
  if (const auto it = line.options.find("--filter"); it != line.options.end()) {
    for (const std::string& filter : it->second) {
      const std::size_t equals = filter.find('=');
      if (equals == std::string::npos) return std::unexpected("--filter needs KEY=JSON, got " + filter);
      const std::string key = filter.substr(0, equals);
      const std::string text = filter.substr(equals + 1);
      auto value = read_json_document(text);
      if (!value) {
        return std::unexpected("--filter " + filter + ": the value is not JSON (" + value.error().message() +
                               "); text needs double quotes, as in --filter '" + key + "=\"" + text + "\"'");
      }
      request.filters.push_back({key, std::move(*value)});
    }
  }
  if (const auto decay = line.last("--decay")) {
    const auto value = number_of<float>(*decay);
    // Only a factor in (0, 1] lowers a score with age; NaN fails both tests.
    if (!value || !(*value > 0.0f && *value <= 1.0f)) {
      return std::unexpected("--decay must be a number above 0 and at most 1, got " + *decay);
    }
    request.decay = *value;
  }
  if (const auto now = line.last("--now")) {
    const auto value = number_of<std::uint64_t>(*now);
    if (!value) return std::unexpected("--now must be whole seconds, got " + *now);
    request.now = *value;
  }
  if (request.decay && !request.now) {
    return std::unexpected("--decay needs --now, the time in seconds that the records' ages are counted to");
  }
  return request;
}

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  auto request = request_of(line);
  if (!request) return usage_error(kSearchCommand, request.error());
  EngineOptions options;
  if (const auto metric = line.last("--metric")) {
    const auto chosen = metric_named(*metric);
    if (!chosen) return usage_error(kSearchCommand, "--metric must be cosine, dot, euclidean or manhattan, got " + *metric);
    options.metric = *chosen;
  }
  const auto settings = line.last("--index");
  if (settings) {
    auto chosen = index_settings_of(*settings);
    if (!chosen) return usage_error(kSearchCommand, chosen.error());
    options.index = chosen->config;
    request->filter_through_index = chosen->filter_through_index;
  }
  std::error_code ignored;
  if (!std::filesystem::exists(path, ignored)) return fail(path, "no such file");
  std::unique_ptr<Progress> indexing;
  options.index_progress = [&indexing](std::size_t done, std::size_t total) {
    if (!indexing) indexing = std::make_unique<Progress>("indexing", total, "records");
    indexing->set_done(done);
  };
  auto engine = Engine::open(path, options);
  indexing.reset();
  if (!engine && engine.error().kind == EngineError::Kind::IndexConfig) {
    return usage_error(kSearchCommand, "--index " + *settings + ": " + engine.error().detail);
  }
  if (!engine) return fail_to_open(path, engine.error());

  std::string out;
  for (const SearchResult& result : engine->search(*request)) {
    out = "{\"id\":";
    append_json_string(out, result.id);
    out += ",\"score\":";
    append_json_float(out, result.score);
    out += ",\"metadata\":";
    out += result.metadata ? to_json(*result.metadata) : "null";
    out += "}\n";
    std::fputs(out.c_str(), stdout);
  }
  return kDone;
}

}  // namespace

const Command kSearchCommand{
    "search", "the records closest to a query",
    "usage: quorvel search FILE --query JSON_ARRAY [-k N] [--metric METRIC]\n"
    "                      [--filter KEY=JSON ...] [--decay FACTOR --now SECONDS]\n"
    "                      [--index m=16,ef_construction=200,ef=64]\n\n"
    "Prints the k (default 10) records closest to the query, best first, one JSON\n"
    "object per line: {\"id\":...,\"score\":...,\"metadata\":...}.\n"
    "  --metric    cosine (default), dot, euclidean or manhattan\n"
    "  --filter    only records whose metadata object holds KEY with this exact value\n"
    "              (repeatable; 1 and 1.0 differ)\n"
    "  --decay     with --now: records with a timestamp before now lose rank by\n"
    "              FACTOR (above 0, at most 1) per day of age: a score of cosine or\n"
    "              dot that is 0 or more is multiplied by it, a negative one and a\n"
    "              distance divided by it\n"
    "  --index     build an HNSW index (m, ef_construction, ef; also m_max, m_max0,\n"
    "              ml) and search through it when there are no filters and no decay;\n"
    "              selection=diverse keeps neighbours that point different ways\n"
    "              (keep_pruned=true fills lists up from the others), seed=N makes\n"
    "              the build repeatable, build_threads=0 builds on every core, and\n"
    "              filtered=index searches through the index with filters too;\n"
    "              the graph is kept in the companion FILE-snapshot, and the next\n"
    "              search with the same settings (ef aside) loads it instead\n",
    {"--query", "-k", "--metric", "--filter", "--decay", "--now", "--index"}, 1, run};

}  // namespace quorvel::cli
