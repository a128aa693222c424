// quorvel import FILE [--input PATH]: JSON Lines of records, in one
// transaction.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <optional>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "command.h"
#include "progress.h"
#include "quorvel/core/engine.h"
#include "quorvel/storage/stored_file.h"

namespace quorvel::cli {
namespace {

// Lines parsed together, on every core.
constexpr std::size_t kBlockLines = 4096;

// The size of what `in` reads when it is a regular file, else 0 (a pipe or
// a terminal, whose size is not known ahead).
std::uint64_t size_of(std::FILE* in) {
  struct stat status {};
  if (::fstat(::fileno(in), &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

// Reads one line (without its line feed) into `line`; false at the end.
bool read_line(std::FILE* in, std::string& line) {
  line.clear();
  char buffer[1 << 16];
  while (std::fgets(buffer, sizeof buffer, in) != nullptr) {
    line += buffer;
    if (!line.empty() && line.back() == '\n') {
      line.pop_back();
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return true;
    }
  }
  return !line.empty();
}

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  const std::string input_path = line.last("--input").value_or("-");
  const std::string input_name = input_path == "-" ? "standard input" : input_path;
  std::FILE* in = input_path == "-" ? stdin : std::fopen(input_path.c_str(), "rb");
  if (in == nullptr) return fail(input_path, std::strerror(errno));

  // Every record is read and checked before the database is touched. Lines
  // are read in blocks, and each block is parsed on every core.
  std::vector<Record> records;
  std::vector<std::uint64_t> line_of;  // the input line of each record
  {
    const std::uint64_t input_bytes = progress_is_shown() ? size_of(in) : 0;
    Progress progress("reading", input_bytes, "lines", input_bytes > 0 ? Progress::Unit::kBytes : Progress::Unit::kThings);
    std::vector<std::string> block;
    std::vector<std::uint64_t> numbers;
    std::vector<std::optional<std::expected<Record, JsonError>>> parsed;
    std::string text;
    std::uint64_t number = 0;
    for (bool more = true; more;) {
      block.clear();
      numbers.clear();
      while (block.size() < kBlockLines && (more = read_line(in, text))) {
        ++number;
        if (text.find_first_not_of(" \t") == std::string::npos) continue;  // blank lines are allowed
        block.push_back(std::move(text));
        numbers.push_back(number);
      }
      parsed.assign(block.size(), std::nullopt);
      tbb::parallel_for(tbb::blocked_range<std::size_t>(0, block.size()), [&](const auto& range) {
        for (std::size_t i = range.begin(); i < range.end(); ++i) parsed[i] = read_stored_record(block[i]);
      });
      for (std::size_t i = 0; i < block.size(); ++i) {
        if (!*parsed[i]) {
          if (in != stdin) std::fclose(in);
          return fail(input_name, "line " + std::to_string(numbers[i]) + ": " + parsed[i]->error().message() +
                                      ". Each line must hold one record: " + std::string(kRecordForms) +
                                      ". Nothing was imported.");
        }
        records.push_back(std::move(**parsed[i]));
        line_of.push_back(numbers[i]);
      }
      if (input_bytes > 0) {
        progress.set_done(static_cast<std::uint64_t>(std::max<off_t>(::ftello(in), 0)));
      } else {
        progress.set_done(number);
      }
    }
  }
  const bool read_failed = std::ferror(in) != 0;
  if (in != stdin) std::fclose(in);
  if (read_failed) return fail(input_name, "cannot be read; nothing was imported");

  auto engine = Engine::open(path);
  if (!engine) return fail_to_open(path, engine.error());
  const std::size_t count = records.size();
  std::size_t refused = count;
  std::optional<Progress> writing(std::in_place, "writing", count, "records");
  auto imported = engine->insert_all(std::move(records), &refused,
                                     [&](std::size_t done, std::size_t) { show_writing(*writing, done, count); });
  writing.reset();
  if (!imported) {
    if (refused < count) {
      return fail(input_name, "line " + std::to_string(line_of[refused]) + ": " + message_of(imported.error()) +
                                  "; nothing was imported");
    }
    return fail(path, message_of(imported.error()) + "; nothing was imported");
  }
  std::fprintf(stderr, "quorvel: %s: imported %s\n", path.c_str(), counted(count, "record", "records").c_str());
  return kDone;
}

}  // namespace

const Command kImportCommand{
    "import", "store JSON Lines of records in one transaction",
    "usage: quorvel import FILE [--input PATH]\n\n"
    "Reads records from PATH (standard input when absent or -), one JSON value per\n"
    "line in the stored form {\"id\":...,\"vector\":[...],\"metadata\":...,\"timestamp\":...}\n"
    "(or the array form [id, vector, metadata, timestamp]), and stores them in FILE,\n"
    "created when missing, in one transaction: all of them or, at the first line that\n"
    "is not a record the database can hold (not JSON, a number beyond the float range,\n"
    "metadata nested too deep), none. A record whose id is stored already replaces it.\n",
    {"--input"}, 1, run};

}  // namespace quorvel::cli
