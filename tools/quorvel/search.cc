// quorvel search FILE --query JSON_ARRAY [...]: the engine's search request
// from the shell.

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
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

std::optional<Metric> metric_of(std::string_view name) {
  if (name == "cosine") return Metric::Cosine;
  if (name == "dot") return Metric::DotProduct;
  if (name == "euclidean") return Metric::Euclidean;
  if (name == "manhattan") return Metric::Manhattan;
  return std::nullopt;
}

// "m=16,ef_construction=200,ef=64" and optionally m_max, m_max0 and ml; what
// is not given is what default_hnsw_config() derives from m (16 unless given).
std::expected<HnswConfig, std::string> index_config_of(std::string_view settings) {
  std::optional<std::uint64_t> m, m_max, m_max0, ef_construction, ef_search;
  std::optional<float> ml;
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
    } else {
      return std::unexpected("unknown index setting " + std::string(name) +
                             " (m, m_max, m_max0, ef_construction, ef, ml)");
    }
  }
  HnswConfig config = default_hnsw_config(m.value_or(16));
  config.m_max = m_max.value_or(config.m_max);
  config.m_max0 = m_max0.value_or(config.m_max0);
  config.ef_construction = ef_construction.value_or(config.ef_construction);
  config.ef_search = ef_search.value_or(config.ef_search);
  config.ml = ml.value_or(config.ml);
  return config;
}

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
    request.query.push_back(std::visit(
        [](auto n) -> float {
          if constexpr (std::is_arithmetic_v<decltype(n)>) return static_cast<float>(n);
          return 0.0f;
        },
        element.data()));
  }
  request.k = 10;
  if (const auto k = line.last("-k")) {
    const auto value = number_of<std::uint64_t>(*k);
    if (!value) return std::unexpected("-k must be a whole number, got " + *k);
    request.k = *value;
  }
  if (const auto it = line.options.find("--filter"); it != line.options.end()) {
    for (const std::string& filter : it->second) {
      const std::size_t equals = filter.find('=');
      if (equals == std::string::npos) return std::unexpected("--filter needs KEY=JSON, got " + filter);
      auto value = read_json_document(std::string_view(filter).substr(equals + 1));
      if (!value) return std::unexpected("--filter " + filter + ": " + value.error().message());
      request.filters.push_back({filter.substr(0, equals), std::move(*value)});
    }
  }
  if (const auto decay = line.last("--decay")) {
    const auto value = number_of<float>(*decay);
    if (!value) return std::unexpected("--decay must be a number, got " + *decay);
    request.decay = *value;
  }
  if (const auto now = line.last("--now")) {
    const auto value = number_of<std::uint64_t>(*now);
    if (!value) return std::unexpected("--now must be whole seconds, got " + *now);
    request.now = *value;
  }
  return request;
}

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  auto request = request_of(line);
  if (!request) return fail("search", request.error());
  EngineOptions options;
  if (const auto metric = line.last("--metric")) {
    const auto chosen = metric_of(*metric);
    if (!chosen) return fail("search", "--metric must be cosine, dot, euclidean or manhattan, got " + *metric);
    options.metric = *chosen;
  }
  if (const auto settings = line.last("--index")) {
    auto config = index_config_of(*settings);
    if (!config) return fail("search", config.error());
    options.index = *config;
  }
  std::error_code ignored;
  if (!std::filesystem::exists(path, ignored)) return fail(path, "no such file");
  auto engine = Engine::open(path, options);
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
    "  --decay     with --now: scores of records with a timestamp before now are\n"
    "              multiplied by FACTOR per day of age\n"
    "  --index     build an HNSW index (m, ef_construction, ef; also m_max, m_max0,\n"
    "              ml) and search through it when there are no filters and no decay;\n"
    "              the graph is kept in the companion FILE-snapshot, and the next\n"
    "              search with the same settings (ef aside) loads it instead\n",
    {"--query", "-k", "--metric", "--filter", "--decay", "--now", "--index"}, 1, run};

}  // namespace quorvel::cli
