// Opens a database, stores a few records, lists them, reopens the file and
// shows that the records come back in id order.
//
// Usage: record_demo <database-path>

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "quorvel/core/engine.h"
#include "quorvel/json/json_writer.h"

namespace {

void print_records(const quorvel::Engine& engine) {
  for (const auto& record : engine.get_all()) {
    std::string line = "  " + std::string(record.id) + "  [";
    for (std::size_t i = 0; i < record.vector.size(); ++i) {
      if (i > 0) line += ", ";
      quorvel::append_json_float(line, record.vector[i]);
    }
    line += "]  ";
    line += record.metadata ? quorvel::to_json(*record.metadata) : "(no metadata)";
    std::printf("%s\n", line.c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <database-path>\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  std::filesystem::remove(path);

  {
    auto engine = quorvel::Engine::open(path);
    if (!engine) {
      std::fprintf(stderr, "open failed: %s\n", engine.error().message().c_str());
      return 1;
    }
    using Member = quorvel::JsonValue::Member;
    struct Item {
      const char* id;
      std::vector<float> vector;
      const char* colour;
    };
    for (const Item& item : {Item{"pear", {0.9f, 0.1f, 0.0f}, "green"},
                             Item{"apple", {1.0f, 0.0f, 0.1f}, "red"},
                             Item{"plum", {0.2f, 0.8f, 0.3f}, "purple"}}) {
      auto metadata = quorvel::JsonValue::make_object({Member{"colour", item.colour}});
      if (auto ok = engine->insert(item.id, item.vector, std::move(metadata)); !ok) {
        std::fprintf(stderr, "insert failed: %s\n", ok.error().message().c_str());
        return 1;
      }
    }
    std::printf("Inserted pear, apple, plum; the record list in insertion order:\n");
    print_records(*engine);
  }

  auto reopened = quorvel::Engine::open(path);
  if (!reopened) {
    std::fprintf(stderr, "reopen failed: %s\n", reopened.error().message().c_str());
    return 1;
  }
  std::printf("After reopening %s, the records in id order:\n", path.c_str());
  print_records(*reopened);
  if (auto apple = reopened->get("apple")) {
    std::printf("get(\"apple\") -> %s\n", quorvel::to_json(*apple->metadata).c_str());
  }
  return 0;
}
