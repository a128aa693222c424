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
  // The companion never decides whether the file opens: it is only read
  // when it is current, and written afresh otherwise.
  const StoredFile::Companion companion = file->companion();
  if (companion.current) {
    std::printf("%s: companion current (%s, %s appended; every checksum right)\n", path.c_str(),
                counted(companion.records, "record", "records").c_str(),
                counted(companion.changes, "change", "changes").c_str());
  } else if (companion.exists) {
    std::printf("%s: companion not used: %s; the next open writes it afresh\n", path.c_str(),
                companion.why_not.c_str());
  } else {
    std::printf("%s: no companion; the next open writes one\n", path.c_str());
  }
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
    "status 1 when there is any. Then checks the companion FILE-snapshot as an open\n"
    "would (and every checksum in it) and says whether the next open loads from it;\n"
    "a stale or damaged companion is only written afresh, so it never fails the check.\n",
    {}, 1, run};

}  // namespace quorvel::cli
