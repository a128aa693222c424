#include "command.h"

#include <cstdio>

#include "progress.h"
#include "quorvel/json/json_writer.h"

namespace quorvel::cli {

int fail(std::string_view subject, std::string_view message) {
  std::fprintf(stderr, "quorvel: %.*s: %.*s\n", static_cast<int>(subject.size()), subject.data(),
               static_cast<int>(message.size()), message.data());
  return kFailed;
}

int usage_error(const Command& command, std::string_view message) {
  std::fprintf(stderr, "quorvel %s: %.*s\n%s", command.name, static_cast<int>(message.size()), message.data(),
               command.help);
  return kUsage;
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

std::string counted(std::uint64_t count, std::string_view singular, std::string_view plural) {
  return std::to_string(count) + " " + std::string(count == 1 ? singular : plural);
}

std::string what_a_row_holds() {
  return "Each row must hold one record, with the row's key as its id: " + std::string(kRecordForms) + ".";
}

std::string message_of(const EngineError& error) {
  return error.kind == EngineError::Kind::Storage ? error.storage.message() : error.message();
}

void show_writing(Progress& progress, std::uint64_t done, std::uint64_t total) {
  progress.set_done(done);
  if (done == total) progress.say("committing " + counted(total, "record", "records"));
}

std::uint64_t rows_for_progress(const StoredFile& file) {
  if (!progress_is_shown()) return 0;
  const auto rows = file.row_count();
  return rows ? *rows : 0;
}

std::string json_string(std::string_view text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

}  // namespace quorvel::cli
