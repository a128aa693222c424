#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "command_line.h"
#include "quorvel/core/engine.h"
#include "quorvel/storage/stored_file.h"

namespace quorvel::cli {

class Progress;

// Exit statuses of the program.
inline constexpr int kDone = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;

// One subcommand of the program.
struct Command {
  const char* name;
  const char* summary;                     // one line, for the program's help
  const char* help;                        // the subcommand's --help text, its usage first
  std::set<std::string> options_with_value;
  std::size_t positional_count;            // exactly this many positional arguments
  int (*run)(const CommandLine& line);     // returns kDone, kFailed or kUsage
};

extern const Command kInfoCommand;
extern const Command kCheckCommand;
extern const Command kExportCommand;
extern const Command kImportCommand;
extern const Command kSalvageCommand;
extern const Command kSearchCommand;

// The forms a record's text may take, told after the record reader's own
// words wherever the program passes them on for a text that is not a record.
inline constexpr std::string_view kRecordForms =
    "a JSON object {\"id\": text, \"vector\": [numbers], \"metadata\": any JSON, \"timestamp\": whole seconds}, "
    "whose metadata and timestamp may be null or left out, or the array [id, vector, metadata, timestamp]";

// "Each row must hold ...": what a stored row must be to read back, said
// after a listing of the rows that do not.
std::string what_a_row_holds();

// Writes "quorvel: <subject>: <message>" to standard error and returns
// kFailed.
int fail(std::string_view subject, std::string_view message);

// Writes "quorvel <command>: <message>" and the command's help to standard
// error and returns kUsage: for a command line the command cannot use.
int usage_error(const Command& command, std::string_view message);

// Writes "quorvel: <message>" for an error of opening a database file,
// whose message names the file already, and returns kFailed.
int fail_to_open(const StorageError& error);
// The same for an engine that `path` did not open: an index configuration
// error, which does not name the file, follows the path as fail() writes it.
int fail_to_open(std::string_view path, const EngineError& error);

// "1 record", "2 records": `count` and the noun, plural unless it is 1.
std::string counted(std::uint64_t count, std::string_view singular, std::string_view plural);

// What an engine error says about the file: the store's own message (the
// engine's "Storage error: " prefix adds nothing here), or the index
// configuration's.
std::string message_of(const EngineError& error);

// Shows `done` of `total` records written on `progress`, and once all are,
// that they are being committed (which takes a while, and has no steps).
void show_writing(Progress& progress, std::uint64_t done, std::uint64_t total);

// The rows of `file`, as the total of a progress bar: counted only when the
// bar is drawn (counting reads every page of the table), else 0.
std::uint64_t rows_for_progress(const StoredFile& file);

// `text` as a JSON string, so that any id can be shown on one line.
std::string json_string(std::string_view text);

}  // namespace quorvel::cli
