#pragma once

#include <cstdio>
#include <string>

namespace quorvel::cli {

// Where a command writes its output: standard output, or a file that
// appears under its name only when the command is done (it is written
// beside it first and renamed), so that no half-written file is left.
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
  bool finished_ = false;
};

}  // namespace quorvel::cli
