#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace quorvel::cli {

// Reads a stream of text lines in large blocks, so that a long input costs
// a few big reads rather than a call and a copy per line. Works alike on
// regular files, pipes and terminals.
class LineReader {
 public:
  // Reads the descriptor `fd` (left open for the caller) from where it
  // stands, handing out lines in blocks of about `block_bytes`.
  explicit LineReader(int fd, std::size_t block_bytes = std::size_t{8} << 20);

  // Replaces `lines` with the next complete lines of the input, at least one
  // unless the input is exhausted (then `lines` is left empty), and returns
  // false when a read failed. A line is the text before a line feed, without
  // it and without one carriage return right before it; a last line without
  // a line feed is a line too, as it is. The views stay valid until the
  // next call.
  [[nodiscard]] bool next(std::vector<std::string_view>& lines);

  // The input bytes that the lines handed out so far covered.
  std::uint64_t consumed() const { return consumed_; }

 private:
  // Appends at least one read's bytes to the buffer; false at the end of the
  // input or on a failure (failed_ then set).
  bool fill();

  int fd_;
  std::size_t block_bytes_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the first byte not yet handed out
  std::size_t end_ = 0;    // the end of what was read
  bool at_end_ = false;
  bool failed_ = false;
  std::uint64_t consumed_ = 0;
};

}  // namespace quorvel::cli
