// Uses the installed engine: opens a database, stores two records, searches,
// reopens the file and reads a record back. Prints what it found; exits 1
// on any failure or unexpected result.
//
// Usage: consumer <database-path>

#include <cstdio>
#include <string>
#include <vector>

#include "quorvel/core/engine.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: consumer <database-path>\n");
    return 2;
  }
  const std::string path = argv[1];
  {
    auto engine = quorvel::Engine::open(path);
    if (!engine) {
      std::fprintf(stderr, "open: %s\n", engine.error().message().c_str());
      return 1;
    }
    struct Item {
      const char* id;
      std::vector<float> vector;
    };
    for (const Item& item : {Item{"north", {0.0f, 1.0f}}, Item{"east", {1.0f, 0.0f}}}) {
      if (auto ok = engine->insert(item.id, item.vector, quorvel::JsonValue(item.id)); !ok) {
        std::fprintf(stderr, "insert: %s\n", ok.error().message().c_str());
        return 1;
      }
    }
    const float query[] = {0.9f, 0.1f};
    const auto found = engine->search(query, 1);
    if (found.size() != 1 || found[0].id != "east") {
      std::fprintf(stderr, "search: expected east first\n");
      return 1;
    }
    std::printf("search: %s %.4f\n", found[0].id.c_str(), found[0].score);
  }
  auto reopened = quorvel::Engine::open(path);
  if (!reopened) {
    std::fprintf(stderr, "reopen: %s\n", reopened.error().message().c_str());
    return 1;
  }
  const auto north = reopened->get("north");
  if (!north || north->metadata != quorvel::JsonValue("north")) {
    std::fprintf(stderr, "get: north did not come back\n");
    return 1;
  }
  std::printf("records after reopening: %zu\n", reopened->get_all().size());
  return 0;
}
