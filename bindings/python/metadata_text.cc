#include "metadata_text.h"

namespace quorvel {

// The JSON library's one-pass reader already follows the metadata rules
// exactly; the record reader drives the same cursor, so both read JSON alike.
std::expected<JsonValue, JsonError> read_metadata_text(std::string_view text) {
  return read_json_document(text, kMetadataNestingBudget);
}

}  // namespace quorvel
