#pragma once

#include <cstddef>
#include <set>
#include <string>
#include <string_view>

#include "command_line.h"
#include "quorvel/core/engine.h"

namespace quorvel::cli {

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
  int (*run)(const CommandLine& line);     // returns kDone or kFailed
};

extern const Command kInfoCommand;
extern const Command kCheckCommand;
extern const Command kExportCommand;
extern const Command kImportCommand;
extern const Command kSalvageCommand;
extern const Command kSearchCommand;

// Writes "quorvel: <subject>: <message>" to standard error and returns
// kFailed.
int fail(std::string_view subject, std::string_view message);

// Writes "quorvel: <message>" for an error of opening a database file,
// whose message names the file already, and returns kFailed.
int fail_to_open(const StorageError& error);
// The same for an engine that `path` did not open: an index configuration
// error, which does not name the file, follows the path as fail() writes it.
int fail_to_open(std::string_view path, const EngineError& error);

// What an engine error says about the file: the store's own message (the
// engine's "Storage error: " prefix adds nothing here), or the index
// configuration's.
std::string message_of(const EngineError& error);

// `text` as a JSON string, so that any id can be shown on one line.
std::string json_string(std::string_view text);

}  // namespace quorvel::cli
