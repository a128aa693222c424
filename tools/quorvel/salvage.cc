// quorvel salvage FILE NEW: copy every row that reads back into a new file.

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "command.h"
#include "progress.h"
#include "staged_database.h"
#include "quorvel/core/engine.h"
#include "quorvel/storage/stored_file.h"

namespace quorvel::cli {
namespace {

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  const std::string& new_path = line.positional[1];
  std::error_code ignored;
  if (std::filesystem::exists(new_path, ignored)) return fail(new_path, "exists already; salvage writes a new file");
  auto file = StoredFile::open(path);
  if (!file) return fail_to_open(file.error());

  std::vector<Record> kept;
  std::vector<std::string> lost;  // "<key>: <why>"
  bool unreadable = false;        // some row is not a record at all
  std::string last_key;
  std::optional<Progress> reading(std::in_place, "reading", rows_for_progress(*file), "rows");
  auto read = file->for_each_row([&](std::string_view key, std::string_view value) {
    last_key = key;
    reading->advance();
    auto record = read_stored_row(key, value);
    if (!record) {
      unreadable = true;
      lost.push_back(json_string(key) + ": " + record.error().message());
      return true;
    }
    if (auto form = stored_form(*record); !form) {
      lost.push_back(json_string(key) + ": " + form.error());
      return true;
    }
    kept.push_back(std::move(*record));
    return true;
  });
  if (!read) {
    lost.push_back("every row after " + (last_key.empty() ? std::string("the start") : json_string(last_key)) + ": " +
                   read.error().message());
  }

  reading.reset();

  // Built under a temporary name and moved into place once complete, so
  // that a run that is killed leaves no file under the new name.
  StagedDatabase staged(new_path);
  staged.remove_leftovers();
  const std::size_t copied = kept.size();
  // Written in one pass with a companion of its own; FILE's companion is
  // never read, the rows are the only source.
  {
    std::optional<Progress> writing(std::in_place, "writing", copied, "records");
    const auto written =
        Engine::write_new(staged.temporary_path(), std::move(kept), {}, nullptr,
                          [&](std::size_t done, std::size_t) { show_writing(*writing, done, copied); });
    writing.reset();
    if (!written) return fail(new_path, message_of(written.error()));
  }
  if (std::string error; !staged.finish(error)) return fail(new_path, error);
  std::printf("copied %s to %s\n", counted(copied, "record", "records").c_str(), new_path.c_str());
  if (!lost.empty()) {
    std::printf("left behind %s:\n",
                (counted(lost.size(), "row", "rows") + (lost.size() == 1 ? " that does" : " that do") +
                 " not read back").c_str());
    for (const std::string& row : lost) std::printf("  %s\n", row.c_str());
    if (unreadable) std::printf("%s\n", what_a_row_holds().c_str());
  }
  return kDone;
}

}  // namespace

const Command kSalvageCommand{
    "salvage", "copy every row that reads back into a new file",
    "usage: quorvel salvage FILE NEW\n\n"
    "Copies every row of FILE that reads back into the new database file NEW (which\n"
    "must not exist), in one pass, and lists the rows left behind with the reader's\n"
    "error. FILE is not changed, and its companion FILE-snapshot is not read: the\n"
    "rows are the only source. NEW gets a companion of its own. NEW is written as\n"
    "NEW.partial-<process id> and renamed once it is complete; such a file left by a\n"
    "run that was killed is removed by the next run into NEW.\n",
    {}, 2, run};

}  // namespace quorvel::cli
