#pragma once

// Checks shared by the fuzz targets.

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "quorvel/json/json_reader.h"

namespace quorvel::fuzz {

// Reports a failed check of fuzzer `target` and aborts, which libFuzzer
// reports with the input.
[[noreturn]] inline void fail(std::string_view target, std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "%.*s: %.*s: %.*s\n", static_cast<int>(target.size()), target.data(),
               static_cast<int>(what.size()), what.data(), static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Whether `error` names a position that exists in `text`: a byte of it (line
// L, column C counting that byte), the line feed that ends a line, or its end
// (column = the bytes of the last line).
inline bool position_exists(std::string_view text, const JsonError& error) {
  if (error.line < 1) return false;
  std::size_t line_start = 0;
  for (std::size_t line = 1; line < error.line; ++line) {
    const std::size_t feed = text.find('\n', line_start);
    if (feed == std::string_view::npos) return false;
    line_start = feed + 1;
  }
  const std::size_t line_end = std::min(text.find('\n', line_start), text.size());
  const std::size_t line_length = line_end - line_start;
  if (line_end == text.size() && error.column == line_length) return true;  // the end
  return error.column >= 1 && error.column <= line_length + 1 && line_start + error.column - 1 < text.size();
}

}  // namespace quorvel::fuzz
