#pragma once

#include <cstdio>
#include <optional>
#include <string>

namespace quorvel::cli {

// Where a command writes its output: standard output, or a file that
// appears under its name only when the command is done (it is written
// beside it first and renamed), so that no half-written file is left. A
// path that names something other than a regular file (a device such as
// /dev/null, a pipe, a terminal) is written in place: renaming over it
// would replace it. Through a symbolic link, the file it points to is
// replaced and the link kept.
class OutputFile {
 public:
  // Standard output when `path` is empty or "-".
  explicit OutputFile(std::string path);
  ~OutputFile();  // removes the unfinished file, if any
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Opens the output; false with `error` set when it cannot be created.
  bool open(std::string& error);
  std::FILE* stream() const { return stream_; }
  // Flushes, syncs and renames the file into place; false with `error` set
  // when that fails.
  bool finish(std::string& error);

 private:
  std::string path_;
  std::string temporary_;
  std::FILE* stream_ = nullptr;
  bool in_place_ = false;
  bool finished_ = false;
};

// Why the output `path` (standard output when empty or "-") must not be
// written while the database file at `database` is read: it is that file
// or its write-ahead log, under any name (another spelling of the path, a
// hard link, a symbolic link). Nothing when it is another file or does not
// exist.
std::optional<std::string> output_clashes_with_database(const std::string& path, const std::string& database);

}  // namespace quorvel::cli
