// libFuzzer target of the metadata text reader. For every input it checks:
// - an accepted text reads back from its compact form to an equal value, and
//   that value is written as the same compact text again;
// - an accepted value is nested at most 127 levels deep;
// - a refused text names a position that exists in the text.
// A failed check aborts, which libFuzzer reports with the input.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.h"
#include "metadata_text.h"
#include "quorvel/json/json_writer.h"

namespace {

[[noreturn]] void fail(std::string_view what, std::string_view detail) {
  quorvel::fuzz::fail("metadata_text_fuzz", what, detail);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto value = quorvel::read_metadata_text(text);
  if (!value) {
    if (!quorvel::fuzz::position_exists(text, value.error())) {
      fail("position outside the text", value.error().message());
    }
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
