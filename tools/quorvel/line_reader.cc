#include "line_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel::cli {

LineReader::LineReader(int fd, std::size_t block_bytes)
    : fd_(fd), block_bytes_(block_bytes > 0 ? block_bytes : 1), buffer_(block_bytes_) {}

bool LineReader::fill() {
  if (at_end_ || failed_) return false;
  // What is left of the last block moves to the front; a line longer than
  // the buffer makes it grow.
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (buffer_.size() - end_ < block_bytes_) buffer_.resize(end_ + block_bytes_);
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) {
      at_end_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    failed_ = true;
    return false;
  }
}

bool LineReader::next(std::vector<std::string_view>& lines) {
  lines.clear();
  while (end_ - begin_ < block_bytes_ && fill()) {
  }
  // Up to the last line feed of what was read, reading on until there is
  // one or the input ends.
  std::size_t searched = 0;  // the bytes after begin_ known to hold no line feed
  const char* last_feed = nullptr;
  for (;;) {
    if (end_ - begin_ > searched) {
      last_feed = static_cast<const char*>(::memrchr(buffer_.data() + begin_ + searched, '\n', end_ - begin_ - searched));
      searched = end_ - begin_;
      if (last_feed != nullptr) break;
    }
    if (!fill()) break;
  }
  const char* p = buffer_.data() + begin_;
  const char* const stop = last_feed != nullptr ? last_feed + 1 : buffer_.data() + end_;
  while (p < stop) {
    const char* feed = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(stop - p)));
    if (feed == nullptr) {
      // The last line, without a line feed.
      lines.emplace_back(p, static_cast<std::size_t>(stop - p));
      p = stop;
      break;
    }
    const char* line_end = feed;
    if (line_end > p && line_end[-1] == '\r') --line_end;
    lines.emplace_back(p, static_cast<std::size_t>(line_end - p));
    p = feed + 1;
  }
  consumed_ += static_cast<std::uint64_t>(p - (buffer_.data() + begin_));
  begin_ = static_cast<std::size_t>(p - buffer_.data());
  return !failed_;
}

}  // namespace quorvel::cli
