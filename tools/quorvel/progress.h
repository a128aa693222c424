#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvel::cli {

// A progress bar on standard error, drawn only when standard error is a
// terminal and at most ten times a second; the line is cleared when the
// bar goes.
class Progress {
 public:
  // `total` is the count that means done; 0 when it is not known.
  Progress(std::string label, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Counts `done` more.
  void advance(std::uint64_t done = 1);

 private:
  void draw();

  std::string label_;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  bool shown_;
  std::chrono::steady_clock::time_point next_draw_;
};

}  // namespace quorvel::cli
