#include "command.h"

#include <cstdio>

#include "quorvel/json/json_writer.h"

namespace quorvel::cli {

int fail(std::string_view subject, std::string_view message) {
  std::fprintf(stderr, "quorvel: %.*s: %.*s\n", static_cast<int>(subject.size()), subject.data(),
               static_cast<int>(message.size()), message.data());
  return kFailed;
}

int fail_to_open(const StorageError& error) {
  const std::string message = error.message();
  std::fprintf(stderr, "quorvel: %s\n", message.c_str());
  return kFailed;
}

int fail_to_open(std::string_view path, const EngineError& error) {
  if (error.kind == EngineError::Kind::Storage) return fail_to_open(error.storage);
  return fail(path, message_of(error));
}

std::string message_of(const EngineError& error) {
  return error.kind == EngineError::Kind::Storage ? error.storage.message() : error.message();
}

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

}  // namespace quorvel::cli
