#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "record_json.h"

#include "json_cursor.h"
#include "json_messages.h"
#include "messages.h"
#include "quorvel/json/json_writer.h"
#include "utf8.h"

namespace quorvel {
namespace {

namespace msg = storage::messages;
namespace json_msg = json::messages;

// One level for the record's own object or array, then metadata's levels.
constexpr int kRecordNestingBudget = static_cast<int>(kMaxMetadataNesting) + 2;

enum class Field { kId, kVector, kMetadata, kTimestamp, kOther };

Field field_of(std::string_view key) {
  if (key == "id") return Field::kId;
  if (key == "vector") return Field::kVector;
  if (key == "metadata") return Field::kMetadata;
  if (key == "timestamp") return Field::kTimestamp;
  return Field::kOther;
}

std::string_view field_name(Field field) {
  switch (field) {
    case Field::kId: return "id";
    case Field::kVector: return "vector";
    case Field::kMetadata: return "metadata";
    case Field::kTimestamp: return "timestamp";
    case Field::kOther: break;
  }
  return "";
}

std::string field_message(std::string_view what, Field field) {
  return std::string(what) + " `" + std::string(field_name(field)) + "`";
}

// Reads a record's fields from a reader positioned at each value in turn.
// The vector's elements are appended to `vector_out`; the other fields go to
// entry().
class RecordReader {
 public:
  RecordReader(std::string_view bytes, FloatBlock& vector_out, std::optional<std::string_view> key)
      : json_(bytes, kRecordNestingBudget), vector_out_(vector_out), key_(key) {}

  std::expected<LoadedEntry, JsonError> read() {
    const int first = json_.peek_token();
    std::expected<void, JsonError> shape;
    if (first == '{') {
      shape = read_object_form();
    } else if (first == '[') {
      shape = read_array_form();
    } else if (first == -1) {
      return std::unexpected(json_.error_here(json_msg::kEofValue));
    } else {
      // Make sure the value is well-formed before complaining about its type.
      if (auto value = json_.read_value(); !value) return std::unexpected(std::move(value.error()));
      return std::unexpected(json_.error_at(json_.position() - 1, msg::kExpectedRecord));
    }
    if (!shape) return std::unexpected(std::move(shape.error()));
    if (auto ok = json_.finish(); !ok) return std::unexpected(std::move(ok.error()));
    return std::move(entry_);
  }

 private:
  std::expected<void, JsonError> read_object_form() {
    if (auto ok = json_.enter_nesting(); !ok) return ok;
    json_.advance();
    bool seen[4] = {false, false, false, false};
    int next = json_.peek_token();
    while (next != '}') {
      if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofObject));
      if (next != '"') return std::unexpected(json_.error_here(json_msg::kKeyMustBeString));
      const std::size_t key_start = json_.position();
      auto key = json_.read_string();
      if (!key) return std::unexpected(std::move(key.error()));
      const Field field = field_of(*key);
      if (field != Field::kOther) {
        bool& was_seen = seen[static_cast<int>(field)];
        if (was_seen) {
          return std::unexpected(json_.error_at(key_start, field_message(msg::kDuplicateField, field)));
        }
        was_seen = true;
      }
      next = json_.peek_token();
      if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofObject));
      if (next != ':') return std::unexpected(json_.error_here(json_msg::kExpectedColon));
      json_.advance();
      if (auto ok = read_field(field); !ok) return ok;
      next = json_.peek_token();
      if (next == ',') {
        json_.advance();
        next = json_.peek_token();
        if (next == '}') return std::unexpected(json_.error_here(json_msg::kTrailingComma));
        if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofValue));
      } else if (next != '}' && next != -1) {
        return std::unexpected(json_.error_here(json_msg::kExpectedCommaOrBrace));
      }
    }
    const std::size_t close = json_.position();
    json_.advance();
    json_.leave_nesting();
    for (Field required : {Field::kId, Field::kVector}) {
      if (!seen[static_cast<int>(required)]) {
        return std::unexpected(json_.error_at(close, field_message(msg::kMissingField, required)));
      }
    }
    return {};
  }

  std::expected<void, JsonError> read_array_form() {
    if (auto ok = json_.enter_nesting(); !ok) return ok;
    json_.advance();
    constexpr Field kOrder[] = {Field::kId, Field::kVector, Field::kMetadata, Field::kTimestamp};
    for (std::size_t i = 0; i < 4; ++i) {
      const int next = json_.peek_token();
      if (next == ']') return std::unexpected(json_.error_here(msg::kExpectedRecordOf4));
      if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofList));
      if (i > 0) {
        if (next != ',') return std::unexpected(json_.error_here(json_msg::kExpectedCommaOrBracket));
        json_.advance();
        if (json_.peek_token() == ']') return std::unexpected(json_.error_here(json_msg::kTrailingComma));
      }
      if (auto ok = read_field(kOrder[i]); !ok) return ok;
    }
    const int next = json_.peek_token();
    if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofList));
    if (next != ']') return std::unexpected(json_.error_here(msg::kExpectedRecordOf4));
    json_.advance();
    json_.leave_nesting();
    return {};
  }

  std::expected<void, JsonError> read_field(Field field) {
    switch (field) {
      case Field::kId: return read_id();
      case Field::kVector: return read_vector();
      case Field::kMetadata: return read_metadata();
      case Field::kTimestamp: return read_timestamp();
      case Field::kOther: break;
    }
    // Ignored, but it must still be well-formed.
    auto value = json_.read_value();
    if (!value) return std::unexpected(std::move(value.error()));
    return {};
  }

  std::expected<void, JsonError> read_id() {
    if (json_.peek_token() != '"') return type_error(msg::kExpectedString);
    const std::size_t start = json_.position();
    auto id = json_.read_string();
    if (!id) return std::unexpected(std::move(id.error()));
    if (key_ && *id != *key_) {
      std::string description(msg::kTheId);
      append_json_string(description, *id);
      description += msg::kDiffersFromKey;
      return std::unexpected(json_.error_at(start, description));
    }
    entry_.id = std::move(*id);
    return {};
  }

  std::expected<void, JsonError> read_vector() {
    if (json_.peek_token() != '[') return type_error(msg::kExpectedSequence);
    if (auto ok = json_.enter_nesting(); !ok) return ok;
    json_.advance();
    FloatBlock& out = vector_out_;
    const std::size_t start = out.size();
    // Plain elements first, on the fast path; from the first other one on,
    // element by element, with every error reported where it is.
    const std::string_view text = json_.text();
    const PlainFloats plain = read_plain_floats(text.data() + json_.position(), text.data() + text.size(), out);
    json_.skip_to(static_cast<std::size_t>(plain.next - text.data()));
    if (plain.closed) {
      json_.leave_nesting();
      entry_.vector_length = out.size() - start;
      return {};
    }
    int next = json_.peek_token();
    while (next != ']') {
      if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofList));
      if (next != '-' && (next < '0' || next > '9')) return type_error(msg::kExpectedF32);
      auto element = json_.read_number_as_float();
      if (!element) return std::unexpected(std::move(element.error()));
      out.push_back(*element);
      next = json_.peek_token();
      if (next == ',') {
        json_.advance();
        next = json_.peek_token();
        if (next == ']') return std::unexpected(json_.error_here(json_msg::kTrailingComma));
        if (next == -1) return std::unexpected(json_.error_here(json_msg::kEofValue));
      } else if (next != ']' && next != -1) {
        return std::unexpected(json_.error_here(json_msg::kExpectedCommaOrBracket));
      }
    }
    json_.advance();
    json_.leave_nesting();
    entry_.vector_length = out.size() - start;
    return {};
  }

  std::expected<void, JsonError> read_metadata() {
    auto value = json_.read_value();
    if (!value) return std::unexpected(std::move(value.error()));
    if (value->is_null()) {
      entry_.metadata.reset();
    } else {
      entry_.metadata = std::move(*value);
    }
    return {};
  }

  std::expected<void, JsonError> read_timestamp() {
    const int next = json_.peek_token();
    if (next == 'n') {
      entry_.timestamp.reset();
      return json_.read_null();
    }
    if (next != '-' && (next < '0' || next > '9')) return type_error(msg::kExpectedTimestamp);
    const std::size_t start = json_.position();
    auto number = json_.read_number();
    if (!number) return std::unexpected(std::move(number.error()));
    const auto* seconds = std::get_if<JsonValue::Unsigned>(&*number);
    if (seconds == nullptr) return std::unexpected(json_.error_at(start, msg::kExpectedTimestamp));
    entry_.timestamp = *seconds;
    return {};
  }

  // A value of the wrong kind at the cursor.
  std::unexpected<JsonError> type_error(std::string_view description) const {
    return std::unexpected(json_.error_here(description));
  }

  JsonCursor json_;
  FloatBlock& vector_out_;
  std::optional<std::string_view> key_;  // the id the record must have
  LoadedEntry entry_;
};

bool strings_are_utf8(const JsonValue& value) {
  if (const auto* text = value.get_if<std::string>()) return utf8::is_valid(*text);
  if (const auto* array = value.get_if<JsonValue::Array>()) {
    return std::all_of(array->begin(), array->end(), strings_are_utf8);
  }
  if (const auto* object = value.get_if<JsonValue::Object>()) {
    return std::all_of(object->begin(), object->end(), [](const JsonValue::Member& member) {
      return utf8::is_valid(member.key) && strings_are_utf8(member.value);
    });
  }
  return true;
}

// Where in `value` the first NaN or infinite number lies (members and
// elements in order, depth first), appended to `path` as ["key"] and [index]
// steps, and whether it is NaN; `path` is left as it was when there is none.
// The recursion goes as deep as the value, so the depth is checked first.
std::optional<bool> find_non_finite(const JsonValue& value, std::string& path) {
  if (const auto* number = value.get_if<JsonValue::Float>()) {
    if (std::isfinite(*number)) return std::nullopt;
    return std::isnan(*number);
  }
  const std::size_t length = path.size();
  if (const auto* array = value.get_if<JsonValue::Array>()) {
    for (std::size_t i = 0; i < array->size(); ++i) {
      path += '[' + std::to_string(i) + ']';
      if (const auto nan = find_non_finite((*array)[i], path)) return nan;
      path.resize(length);
    }
  } else if (const auto* object = value.get_if<JsonValue::Object>()) {
    for (const JsonValue::Member& member : *object) {
      path += '[';
      append_json_string(path, member.key);
      path += ']';
      if (const auto nan = find_non_finite(member.value, path)) return nan;
      path.resize(length);
    }
  }
  return std::nullopt;
}

}  // namespace

std::expected<void, std::string> append_record_json(std::string& out, const RecordView& record) {
  for (std::size_t i = 0; i < record.vector.size(); ++i) {
    if (!std::isfinite(record.vector[i])) {
      return std::unexpected(std::string(msg::kVectorElement) + std::to_string(i) +
                             std::string(std::isnan(record.vector[i]) ? msg::kIsNaN : msg::kIsInfinite) +
                             std::string(msg::kHasNoJsonForm));
    }
  }
  if (!utf8::is_valid(record.id)) return std::unexpected(std::string(msg::kIdNotUtf8));
  if (record.metadata && !strings_are_utf8(*record.metadata)) {
    return std::unexpected(std::string(msg::kMetadataNotUtf8));
  }
  if (record.metadata && json_nesting_depth(*record.metadata) > kMaxMetadataNesting) {
    return std::unexpected(std::string(msg::kNestedDeeperThan) + std::to_string(kMaxMetadataNesting) +
                           std::string(msg::kLevels));
  }
  if (record.metadata) {
    std::string place(msg::kMetadata);
    if (const auto nan = find_non_finite(*record.metadata, place)) {
      return std::unexpected(place + std::string(*nan ? msg::kIsNaN : msg::kIsInfinite) +
                             std::string(msg::kHasNoJsonForm));
    }
  }
  out += "{\"id\":";
  append_json_string(out, record.id);
  out += ",\"vector\":[";
  append_json_float_list(out, record.vector);
  out += "],\"metadata\":";
  if (record.metadata) {
    append_json(out, *record.metadata);
  } else {
    out += "null";
  }
  out += ",\"timestamp\":";
  if (record.timestamp) {
    out += std::to_string(*record.timestamp);
  } else {
    out += "null";
  }
  out += '}';
  return {};
}

std::expected<void, std::string> append_record_json(std::string& out, const Record& record) {
  return append_record_json(out, RecordView{record.id, record.vector, record.metadata, record.timestamp});
}

std::expected<Record, JsonError> read_record_json(std::string_view bytes, std::optional<std::string_view> key) {
  // Elements collect in a per-thread scratch buffer, so that the record's
  // own vector is allocated once, at its exact size.
  thread_local FloatBlock scratch;
  scratch.clear();
  auto entry = RecordReader(bytes, scratch, key).read();
  if (!entry) return std::unexpected(std::move(entry.error()));
  return Record{std::move(entry->id), std::vector<float>(scratch.begin(), scratch.end()), std::move(entry->metadata),
                entry->timestamp};
}

std::expected<LoadedEntry, JsonError> read_record_json_into(std::string_view bytes,
                                                                        FloatBlock& vector_out,
                                                                        std::optional<std::string_view> key) {
  return RecordReader(bytes, vector_out, key).read();
}

}  // namespace quorvel
