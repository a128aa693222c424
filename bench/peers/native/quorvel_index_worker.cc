// Serves quorvel's C++ engine with an attached HNSW index to the peer
// benchmark harness: one JSON request a line on standard input, one JSON
// answer a line on standard output, as ../worker.py serves the Python
// contenders (see it for each request). The Python module has no index, so
// the index is measured here, through Engine::search on one thread; every
// request but the approximate-search ones is answered as unsupported.
//
// Usage: quorvel-index-worker [--selection closest|diverse]
// (the neighbour selection of the index it builds; closest by default).

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/json/json_reader.h"
#include "quorvel/json/json_value.h"
#include "quorvel/json/json_writer.h"

namespace {

using quorvel::JsonValue;

const JsonValue* member(const JsonValue& object, std::string_view key) {
  const auto* members = object.get_if<JsonValue::Object>();
  if (members == nullptr) return nullptr;
  for (const JsonValue::Member& m : *members) {
    if (m.key == key) return &m.value;
  }
  return nullptr;
}

std::uint64_t number(const JsonValue& object, std::string_view key) {
  const JsonValue* value = member(object, key);
  if (value == nullptr) return 0;
  if (const auto* n = value->get_if<JsonValue::Unsigned>()) return *n;
  if (const auto* f = value->get_if<JsonValue::Float>()) return static_cast<std::uint64_t>(*f);
  return 0;
}

std::string text(const JsonValue& object, std::string_view key) {
  const JsonValue* value = member(object, key);
  const auto* s = value != nullptr ? value->get_if<std::string>() : nullptr;
  return s != nullptr ? *s : std::string();
}

// The float32 rows stored one after another in the file at `path`.
std::vector<float> read_floats(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<float> floats(std::filesystem::file_size(path) / sizeof(float));
  in.read(reinterpret_cast<char*>(floats.data()), static_cast<std::streamsize>(floats.size() * sizeof(float)));
  return floats;
}

long resident_kib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

class Server {
 public:
  explicit Server(quorvel::NeighborSelection selection) : selection_(selection) {}

  // The answer to one request, without its "ok" member.
  std::string answer(const JsonValue& request) {
    const std::string op = text(request, "op");
    if (op == "ann_build") return build(request);
    if (op == "ann_set_ef") {
      if (engine_) engine_->set_index_ef_search(number(request, "ef"));
      return "";
    }
    if (op == "ann_search") return search(request);
    if (op == "rss") return "\"rss_kib\":" + std::to_string(resident_kib());
    throw Unsupported{};
  }

  struct Unsupported {};
  struct Failure {
    std::string message;
  };

 private:
  // Stores the rows (id = row number) in one transaction, then builds the
  // index; the time reported is the index's build alone, as for the other
  // libraries, whose indexes hold the vectors in memory.
  std::string build(const JsonValue& request) {
    const std::size_t d = number(request, "d");
    const std::vector<float> floats = read_floats(text(request, "vectors"));
    const JsonValue* params = member(request, "params");
    const std::uint64_t m = params ? number(*params, "m") : 16;
    const std::uint64_t ef_construction = params ? number(*params, "ef_construction") : 200;
    const std::string directory = text(request, "dir");
    std::filesystem::create_directories(directory);
    quorvel::EngineOptions options;
    options.worker_threads = 1;
    auto engine = quorvel::Engine::open(directory + "/records.quorvel", options);
    if (!engine) throw Failure{engine.error().message()};
    std::vector<quorvel::Record> records;
    for (std::size_t row = 0; row * d < floats.size(); ++row) {
      records.push_back({std::to_string(row), std::vector<float>(floats.begin() + row * d, floats.begin() + (row + 1) * d),
                         std::nullopt, std::nullopt});
    }
    if (auto stored = engine->insert_all(std::move(records)); !stored) throw Failure{stored.error().message()};
    const auto start = std::chrono::steady_clock::now();
    quorvel::HnswConfig config = quorvel::default_hnsw_config(m);
    config.ef_construction = ef_construction;
    config.ef_search = 10;
    config.selection = selection_;
    if (auto attached = engine->attach_index(config); !attached) throw Failure{attached.error().message()};
    const double seconds = seconds_since(start);
    engine_.emplace(std::move(*engine));
    return "\"seconds\":" + std::to_string(seconds);
  }

  std::string search(const JsonValue& request) {
    if (!engine_) throw Failure{"no index was built"};
    const std::size_t d = number(request, "d");
    const std::uint64_t k = number(request, "k");
    engine_->set_index_ef_search(number(request, "ef"));
    const std::vector<float> floats = read_floats(text(request, "queries"));
    std::vector<std::vector<float>> queries;
    if (const auto* rows = member(request, "rows") ? member(request, "rows")->get_if<JsonValue::Array>() : nullptr) {
      for (const JsonValue& row : *rows) {
        const std::size_t r = static_cast<std::size_t>(*row.get_if<JsonValue::Unsigned>());
        queries.emplace_back(floats.begin() + r * d, floats.begin() + (r + 1) * d);
      }
    }
    std::vector<std::vector<quorvel::SearchResult>> answers;
    answers.reserve(queries.size());
    const auto start = std::chrono::steady_clock::now();
    for (const std::vector<float>& query : queries) answers.push_back(engine_->search(query, k));
    const double seconds = seconds_since(start);
    std::string out = "\"seconds\":" + std::to_string(seconds) + ",\"ids\":[";
    for (std::size_t q = 0; q < answers.size(); ++q) {
      out += q == 0 ? "[" : ",[";
      for (std::size_t i = 0; i < answers[q].size(); ++i) out += (i == 0 ? "" : ",") + answers[q][i].id;
      out += "]";
    }
    return out + "]";
  }

  quorvel::NeighborSelection selection_;
  std::optional<quorvel::Engine> engine_;
};

}  // namespace

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const bool diverse = argc == 3 && std::string_view(argv[1]) == "--selection" && std::string_view(argv[2]) == "diverse";
  if (argc != 1 && !(argc == 3 && std::string_view(argv[1]) == "--selection" &&
                     (diverse || std::string_view(argv[2]) == "closest"))) {
    std::cerr << "usage: quorvel-index-worker [--selection closest|diverse]\n";
    return 2;
  }
  std::cout << R"({"ready":true,"info":{"version":"quorvel (this tree), the C++ engine's attached HNSW index",)"
            << R"("ann":"Engine::attach_index with m, ef_construction, m_max = m, m_max0 = 2m, ml = 1 / ln m, )"
            << (diverse ? "diverse" : "closest") << R"( neighbour selection; )"
            << R"(Engine::search through the index, one query at a time on one thread, cosine",)"
            << R"("durable":"not measured here: the module's insert is","exact":"not measured here: the module's search is"}})"
            << std::endl;
  Server server(diverse ? quorvel::NeighborSelection::Diverse : quorvel::NeighborSelection::Closest);
  for (std::string line; std::getline(std::cin, line);) {
    auto request = quorvel::read_json_document(line);
    if (!request) {
      std::cout << R"({"ok":false,"error":"not a JSON request"})" << std::endl;
      continue;
    }
    if (text(*request, "op") == "quit") break;
    try {
      const std::string members = server.answer(*request);
      std::cout << "{\"ok\":true" << (members.empty() ? "" : ",") << members << "}" << std::endl;
    } catch (const Server::Unsupported&) {
      std::cout << R"({"ok":false,"unsupported":true,"error":"quorvel's index worker answers approximate search only"})"
                << std::endl;
    } catch (const Server::Failure& failure) {
      std::string error;
      quorvel::append_json_string(error, failure.message);
      std::cout << "{\"ok\":false,\"error\":" << error << "}" << std::endl;
    }
  }
  return 0;
}
