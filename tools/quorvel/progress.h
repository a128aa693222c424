#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace quorvel::cli {

// A progress bar on standard error, drawn only when standard error is a
// terminal: the label, and with a known total a bar, the share done, the
// count, the rate and the time left; without one, the count and the rate.
// It is drawn at the first step and then at most ten times a second, and
// erased when it goes, so that no output follows it on the same line.
class Progress {
 public:
  // What is counted: whole things named by a plural word ("rows"), or bytes.
  enum class Unit { kThings, kBytes };

  // `total` is the count that means done; 0 when it is not known. `things`
  // names what is counted, in the plural, when `unit` is kThings.
  Progress(std::string label, std::uint64_t total, std::string things, Unit unit = Unit::kThings);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Whether the bar is drawn at all (standard error is a terminal): a
  // caller may skip the work of finding a total when it is not.
  bool shown() const { return shown_; }

  // Counts `done` more, or sets the count done so far.
  void advance(std::uint64_t done = 1);
  void set_done(std::uint64_t done);

  // Shows `text` in place of the bar until the next step draws it again:
  // for a wait that has no steps to count.
  void say(const std::string& text);

  // Erases the bar from the terminal, if it is drawn, so that output can be
  // written there; the next step draws it again.
  void clear();

 private:
  void draw_when_due();
  void write_line(std::string text);
  std::string line() const;

  std::string label_;
  std::uint64_t total_;
  std::string things_;
  Unit unit_;
  std::uint64_t done_ = 0;
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point next_draw_;
};

// Whether standard error is a terminal, where progress is drawn.
bool progress_is_shown();

}  // namespace quorvel::cli
