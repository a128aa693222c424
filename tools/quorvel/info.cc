// quorvel info FILE: what a database file holds.

#include <cstdio>
#include <map>
#include <string>

#include "command.h"
#include "progress.h"
#include "quorvel/storage/stored_file.h"

namespace quorvel::cli {
namespace {

struct Tally {
  std::uint64_t rows = 0;
  std::uint64_t unreadable = 0;
  std::uint64_t with_metadata = 0;
  std::uint64_t with_timestamp = 0;
  std::map<std::size_t, std::uint64_t> lengths;  // vector length -> records
};

int run(const CommandLine& line) {
  const std::string& path = line.positional[0];
  auto file = StoredFile::open(path);
  if (!file) return fail_to_open(file.error());
  auto facts = file->facts();
  if (!facts) return fail(path, facts.error().message());

  Tally tally;
  {
    // Gone, and erased from the terminal, before the output is written.
    Progress progress("reading", rows_for_progress(*file), "rows");
    auto read = file->for_each_row([&](std::string_view key, std::string_view value) {
      ++tally.rows;
      auto record = read_stored_row(key, value);
      if (!record) {
        ++tally.unreadable;
      } else {
        ++tally.lengths[record->vector.size()];
        tally.with_metadata += record->metadata.has_value();
        tally.with_timestamp += record->timestamp.has_value();
      }
      progress.advance();
      return true;
    });
    if (!read) return fail(path, read.error().message());
  }

  const std::uint64_t records = tally.rows - tally.unreadable;
  std::printf("file            %s\n", path.c_str());
  std::printf("records         %llu\n", static_cast<unsigned long long>(records));
  if (tally.lengths.empty()) {
    std::printf("vector lengths  none\n");
  } else {
    auto most_common = tally.lengths.begin();
    for (auto it = tally.lengths.begin(); it != tally.lengths.end(); ++it) {
      if (it->second > most_common->second) most_common = it;
    }
    std::printf("vector lengths  min %zu, max %zu, most common %zu (%llu records)\n", tally.lengths.begin()->first,
                tally.lengths.rbegin()->first, most_common->first,
                static_cast<unsigned long long>(most_common->second));
  }
  std::printf("with metadata   %llu\n", static_cast<unsigned long long>(tally.with_metadata));
  std::printf("with timestamp  %llu\n", static_cast<unsigned long long>(tally.with_timestamp));
  std::printf("file size       %llu bytes\n", static_cast<unsigned long long>(facts->file_bytes));
  std::printf("page size       %llu bytes\n", static_cast<unsigned long long>(facts->page_size));
  std::printf("journal mode    %s\n", facts->journal_mode.c_str());
  const StoredFile::Companion companion = file->companion();
  if (companion.current) {
    std::printf("companion       current, %llu bytes (%llu records, %llu changes appended)\n",
                static_cast<unsigned long long>(companion.bytes), static_cast<unsigned long long>(companion.records),
                static_cast<unsigned long long>(companion.changes));
  } else if (companion.exists) {
    std::printf("companion       not used (%s), %llu bytes\n", companion.why_not.c_str(),
                static_cast<unsigned long long>(companion.bytes));
  } else {
    std::printf("companion       none\n");
  }
  if (tally.unreadable > 0) {
    std::printf("unreadable rows %llu (the file will not open; quorvel check lists them)\n",
                static_cast<unsigned long long>(tally.unreadable));
  }
  return kDone;
}

}  // namespace

const Command kInfoCommand{
    "info", "what a database file holds",
    "usage: quorvel info FILE\n\n"
    "Prints the number of records, the lengths of their vectors (smallest, largest,\n"
    "most common), how many have metadata and a timestamp, the file's size, page size\n"
    "and journal mode, and whether the companion FILE-snapshot is current. Reads every\n"
    "row; takes the database's lock while it does.\n",
    {}, 1, run};

}  // namespace quorvel::cli
