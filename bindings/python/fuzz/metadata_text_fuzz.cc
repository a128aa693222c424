// libFuzzer target of the metadata text reader. For every input it checks:
// - an accepted text reads back from its compact form to an equal value, and
//   that value is written as the same compact text again;
// - an accepted value is nested at most 127 levels deep;
// - a refused text names a position that exists in the text.
// A failed check aborts, which libFuzzer reports with the input.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "metadata_text.h"
#include "quorvel/storage/json_writer.h"

namespace {

[[noreturn]] void fail(std::string_view what, std::string_view detail) {
  std::fprintf(stderr, "metadata_text_fuzz: %.*s: %.*s\n", static_cast<int>(what.size()), what.data(),
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// The position of an error is a byte of the text (line L, column C counting
// that byte) or its end (column = the bytes of the last line).
bool position_exists(std::string_view text, const quorvel::JsonError& error) {
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
  // A byte of the line, or the line feed that ends it.
  return error.column >= 1 && error.column <= line_length + 1 && line_start + error.column - 1 < text.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = quorvel::read_metadata_text(text);
  if (!value) {
    if (!position_exists(text, value.error())) fail("position outside the text", value.error().message());
    return 0;
  }
  if (quorvel::json_nesting_depth(*value) >= quorvel::kMetadataNestingBudget) {
    fail("accepted a value nested too deep", text);
  }
  const std::string compact = quorvel::to_json(*value);
  const auto again = quorvel::read_metadata_text(compact);
  if (!again) fail("compact form refused", again.error().message() + " in " + compact);
  if (!(*again == *value)) fail("compact form reads as another value", compact);
  if (const std::string twice = quorvel::to_json(*again); twice != compact) {
    fail("compact form written differently the second time", compact + " then " + twice);
  }
  return 0;
}
