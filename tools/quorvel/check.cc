// quorvel check FILE: the rows that would make opening the file fail.

#include <cstdio>
#include <string>

#include "command.h"
#include "progress.h"
#include "quorvel/storage/stored_file.h"

namespace quorvel::cli {
namespace {

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  auto file = StoredFile::open(path);
  if (!file) return fail_to_open(file.error());
  std::uint64_t rows = 0;
  std::uint64_t bad = 0;
  Progress progress("checking", rows_for_progress(*file), "rows");
  auto read = file->for_each_row([&](std::string_view key, std::string_view value) {
    ++rows;
    if (auto record = read_stored_row(key, value); !record) {
      ++bad;
      progress.clear();
      std::printf("%s: %s\n", json_string(key).c_str(), record.error().message().c_str());
      std::fflush(stdout);
    }
    progress.advance();
    return true;
  });
  progress.clear();
  if (!read) return fail(path, read.error().message() + " (after " + counted(rows, "row", "rows") + ")");
  if (bad > 0) {
    return fail(path, counted(bad, "row", "rows") + " of " + std::to_string(rows) + (bad == 1 ? " does" : " do") +
                          " not read back, so the file does not open; quorvel salvage copies the others. " +
                          what_a_row_holds());
  }
  const std::string verdict = rows == 0   ? "holds no rows"
                              : rows == 1 ? "its one row reads back"
                                          : "all " + std::to_string(rows) + " rows read back";
  std::printf("%s: %s\n", path.c_str(), verdict.c_str());
  return kDone;
}

}  // namespace

const Command kCheckCommand{
    "check", "list the rows that would make opening a file fail",
    "usage: quorvel check FILE\n\n"
    "Reads every stored row with the engine's own reader and prints each row that\n"
    "does not read back, as its key (a JSON string) and the reader's error. Exit\n"
    "status 1 when there is any.\n",
    {}, 1, run};

}  // namespace quorvel::cli
