// quorvel import FILE [--input PATH]: JSON Lines of records, in one
// transaction; into a new or empty database, as a fresh file moved into
// place once complete.

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <expected>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_invoke.h>

#include "command.h"
#include "line_reader.h"
#include "progress.h"
#include "staged_database.h"
#include "quorvel/core/engine.h"
#include "quorvel/storage/id_order.h"
#include "quorvel/storage/record_list.h"
#include "quorvel/storage/record_text_reader.h"

namespace quorvel::cli {
namespace {

// The size of what `fd` reads when it is a regular file, else 0 (a pipe or
// a terminal, whose size is not known ahead).
std::uint64_t size_of(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) return 0;
  return static_cast<std::uint64_t>(status.st_size);
}

// Runs body(begin, end) over [0, count) on every core.
void on_every_core(std::size_t count, const std::function<void(std::size_t, std::size_t)>& body) {
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, count),
                    [&](const tbb::blocked_range<std::size_t>& range) { body(range.begin(), range.end()); });
}

// Once the first block is read, room in `records` for what an input of
// `input_bytes` holds if all of it is like the `consumed` bytes read so
// far: the arena and the columns are then mapped once, before the first
// append, in huge pages, instead of growing from small pages step by step.
void reserve_like_first_block(RecordList& records, const RecordTextReader& read, std::uint64_t input_bytes,
                              std::uint64_t consumed) {
  if (consumed == 0 || input_bytes <= consumed) return;
  const double scale = static_cast<double>(input_bytes) / static_cast<double>(consumed);
  records.reserve_more(static_cast<std::size_t>(scale * static_cast<double>(read.records())),
                       static_cast<std::size_t>(scale * static_cast<double>(read.floats())), false);
}

// Every record of the input, in the order of its lines, and the input line
// of each.
struct Input {
  RecordList records;
  std::vector<std::uint64_t> line_of;
};

// Reads every line of `in`, or says why the input cannot be imported: the
// first line that is not a record, or a failed read. Lines are read in
// blocks, and each block is parsed on every core straight into the list, in
// the order of the lines. Two readers take turns: while the workers parse
// one block, one of them appends the block before it (a copy into fresh
// memory, on one thread).
std::expected<Input, std::string> read_input(std::FILE* in) {
  Input input;
  const std::uint64_t input_size = size_of(::fileno(in));
  const std::uint64_t input_bytes = progress_is_shown() ? input_size : 0;
  Progress progress("reading", input_bytes, "lines", input_bytes > 0 ? Progress::Unit::kBytes : Progress::Unit::kThings);
  LineReader reader(::fileno(in));
  RecordTextReader record_readers[2];
  std::vector<std::uint64_t> numbers[2];  // the input line of each value a reader read
  std::vector<std::string_view> lines;
  std::vector<std::string_view> block;
  std::uint64_t number = 0;
  std::uint64_t first_block_bytes = 0;
  for (std::size_t b = 0;; ++b) {
    RecordTextReader& reading = record_readers[b % 2];
    RecordTextReader& appending = record_readers[(b + 1) % 2];
    const bool read_failed = !reader.next(lines);
    if (b == 0) first_block_bytes = reader.consumed();
    block.clear();
    numbers[b % 2].clear();
    for (const std::string_view text : lines) {
      ++number;
      if (text.find_first_not_of(" \t") == std::string_view::npos) continue;  // blank lines are allowed
      block.push_back(text);
      numbers[b % 2].push_back(number);
    }
    // Room for the whole input, scaled from the first block, before the
    // first append.
    if (b == 1) reserve_like_first_block(input.records, appending, input_size, first_block_bytes);
    std::expected<void, RecordTextReader::Refusal> read;
    tbb::parallel_invoke([&] { read = reading.read(block, on_every_core); },
                         [&] {
                           if (b == 0) return;
                           appending.append_to(input.records);
                           const std::vector<std::uint64_t>& appended = numbers[(b + 1) % 2];
                           input.line_of.insert(input.line_of.end(), appended.begin(), appended.end());
                         });
    if (!read) {
      return std::unexpected("line " + std::to_string(numbers[b % 2][read.error().index]) + ": " +
                             read.error().error.message() + ". Each line must hold one record: " +
                             std::string(kRecordForms) + ". Nothing was imported.");
    }
    if (read_failed) return std::unexpected(std::string("cannot be read; nothing was imported"));
    progress.set_done(input_bytes > 0 ? reader.consumed() : number);
    if (lines.empty()) return input;
  }
}

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  const std::string input_path = line.last("--input").value_or("-");
  const std::string input_name = input_path == "-" ? "standard input" : input_path;
  std::FILE* in = input_path == "-" ? stdin : std::fopen(input_path.c_str(), "rb");
  if (in == nullptr) return fail(input_path, std::strerror(errno));

  auto input = read_input(in);
  if (in != stdin) std::fclose(in);
  if (!input) return fail(input_name, input.error());
  RecordList& parsed = input->records;
  const std::vector<std::uint64_t>& line_of = input->line_of;

  const std::size_t count = parsed.size();
  // A new file takes the records in ascending order of their ids, of one id
  // the last: the lines' own order when their ids ascend, otherwise a copy
  // in that order, whose entry i is parsed[kept[i]].
  std::vector<std::size_t> kept;
  RecordList reordered;
  const auto in_id_order = [&]() -> const RecordList& {
    if (ids_strictly_ascending(parsed)) return parsed;
    kept = kept_in_id_order(parsed);
    reordered = copy_entries(parsed, kept);
    parsed = RecordList();
    return reordered;
  };
  std::size_t refused = count;  // the index of a refused record in what was written
  const auto failed = [&](const EngineError& error) {
    if (refused < count) {
      const std::size_t in_input = kept.empty() ? refused : kept[refused];
      return fail(input_name, "line " + std::to_string(line_of[in_input]) + ": " + message_of(error) +
                                  "; nothing was imported");
    }
    return fail(path, message_of(error) + "; nothing was imported");
  };
  const auto imported = [&] {
    std::fprintf(stderr, "quorvel: %s: imported %s\n", path.c_str(), counted(count, "record", "records").c_str());
    return kDone;
  };
  // Each way in shows the records written so far.
  std::optional<Progress> writing(std::in_place, "writing", count, "records");
  const ProgressReport show = [&](std::size_t done, std::size_t) { show_writing(*writing, done, count); };

  // Into a new database: a fresh file, written once without a journal and
  // moved into place complete, with its companion.
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0 && errno == ENOENT) {
    StagedDatabase staged(path);
    staged.remove_leftovers();
    if (auto written = Engine::write_new(staged.temporary_path(), in_id_order(), {}, &refused, show); !written) {
      writing.reset();
      return failed(written.error());
    }
    writing.reset();
    if (std::string error; !staged.finish(error)) return fail(path, error + "; nothing was imported");
    return imported();
  }

  auto engine = Engine::open(path);
  if (!engine) return fail_to_open(path, engine.error());
  if (engine->get_all().empty()) {
    // An empty database is replaced the same way, while the engine holds
    // it, so that nothing else writes it meanwhile.
    std::error_code resolve_error;
    const std::string target = std::filesystem::canonical(path, resolve_error).string();
    if (resolve_error) return fail(path, resolve_error.message() + "; nothing was imported");
    StagedDatabase staged(target);
    staged.remove_leftovers();
    if (auto written = Engine::write_new(staged.temporary_path(), in_id_order(), {}, &refused, show); !written) {
      writing.reset();
      return failed(written.error());
    }
    writing.reset();
    if (std::string error; !staged.finish_replacing(error)) return fail(path, error + "; nothing was imported");
    return imported();
  }
  // Into a database that holds records: one transaction, all or nothing,
  // the records in the order of the lines.
  std::vector<Record> records;
  records.reserve(count);
  for (const RecordView record : parsed) records.push_back(record.to_record());
  parsed = RecordList();
  const auto done = engine->insert_all(std::move(records), &refused, show);
  writing.reset();
  if (!done) return failed(done.error());
  return imported();
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
    "metadata nested too deep), none. A record whose id is stored already replaces it.\n"
    "A new or empty FILE is written afresh, without a journal, as FILE.partial-<process\n"
    "id> and renamed into place once it is complete and synced.\n",
    {"--input"}, 1, run};

}  // namespace quorvel::cli
