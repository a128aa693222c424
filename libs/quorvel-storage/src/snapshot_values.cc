#include "snapshot_values.h"

#include <cmath>
#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "snapshot_bytes.h"
#include "utf8.h"

namespace quorvel {
namespace {

enum Tag : std::uint8_t {
  kNull = 0,
  kFalse = 1,
  kTrue = 2,
  kUnsigned = 3,
  kSigned = 4,
  kFloat = 5,
  kString = 6,
  kArray = 7,
  kObject = 8,
};

void append_value(ByteWriter& out, const JsonValue& value) {
  std::visit(
      [&](const auto& held) {
        using T = std::decay_t<decltype(held)>;
        if constexpr (std::is_same_v<T, JsonValue::Null>) {
          out.put(kNull);
        } else if constexpr (std::is_same_v<T, bool>) {
          out.put(held ? kTrue : kFalse);
        } else if constexpr (std::is_same_v<T, JsonValue::Unsigned>) {
          out.put(kUnsigned);
          out.put(held);
        } else if constexpr (std::is_same_v<T, JsonValue::Signed>) {
          out.put(kSigned);
          out.put(held);
        } else if constexpr (std::is_same_v<T, JsonValue::Float>) {
          out.put(kFloat);
          out.put(held);
        } else if constexpr (std::is_same_v<T, std::string>) {
          out.put(kString);
          out.put_bytes(held);
        } else if constexpr (std::is_same_v<T, JsonValue::Array>) {
          out.put(kArray);
          out.put(static_cast<std::uint32_t>(held.size()));
          for (const JsonValue& element : held) append_value(out, element);
        } else {
          out.put(kObject);
          out.put(static_cast<std::uint32_t>(held.size()));
          for (const JsonValue::Member& member : held) {
            out.put_bytes(member.key);
            append_value(out, member.value);
          }
        }
      },
      value.data());
}

std::optional<std::string> read_text(ByteReader& in) {
  const auto text = in.get_bytes();
  if (!text || !utf8::is_valid(*text)) return std::nullopt;
  return std::string(*text);
}

std::optional<JsonValue> read_value(ByteReader& in, std::size_t nesting) {
  const auto tag = in.get<std::uint8_t>();
  if (!tag) return std::nullopt;
  switch (*tag) {
    case kNull: return JsonValue();
    case kFalse: return JsonValue(false);
    case kTrue: return JsonValue(true);
    case kUnsigned: {
      const auto number = in.get<JsonValue::Unsigned>();
      if (!number) return std::nullopt;
      return JsonValue(*number);
    }
    case kSigned: {
      // A Signed value is always negative (see JsonValue).
      const auto number = in.get<JsonValue::Signed>();
      if (!number || *number >= 0) return std::nullopt;
      return JsonValue(*number);
    }
    case kFloat: {
      // Metadata never holds a number without a JSON form.
      const auto number = in.get<JsonValue::Float>();
      if (!number || !std::isfinite(*number)) return std::nullopt;
      return JsonValue(*number);
    }
    case kString: {
      auto text = read_text(in);
      if (!text) return std::nullopt;
      return JsonValue(std::move(*text));
    }
    case kArray:
    case kObject: {
      const auto count = in.get<std::uint32_t>();
      // Every element takes at least one byte: a count beyond what is left
      // is damage, and must not reserve memory for it.
      if (!count || nesting == 0 || *count > in.remaining()) return std::nullopt;
      if (*tag == kArray) {
        JsonValue::Array elements;
        elements.reserve(*count);
        for (std::uint32_t i = 0; i < *count; ++i) {
          auto element = read_value(in, nesting - 1);
          if (!element) return std::nullopt;
          elements.push_back(std::move(*element));
        }
        return JsonValue(std::move(elements));
      }
      JsonValue::Object members;
      members.reserve(*count);
      for (std::uint32_t i = 0; i < *count; ++i) {
        auto key = read_text(in);
        if (!key || (!members.empty() && !(members.back().key < *key))) return std::nullopt;
        auto member = read_value(in, nesting - 1);
        if (!member) return std::nullopt;
        members.push_back({std::move(*key), std::move(*member)});
      }
      // Keys are in order already, so make_object keeps them as they are.
      return JsonValue::make_object(std::move(members));
    }
    default: return std::nullopt;
  }
}

}  // namespace

void append_binary_value(std::string& out, const JsonValue& value) {
  ByteWriter writer(out);
  append_value(writer, value);
}

std::optional<JsonValue> read_binary_value(std::string_view bytes, std::size_t nesting) {
  ByteReader in(bytes);
  auto value = read_value(in, nesting);
  if (!value || !in.at_end()) return std::nullopt;
  return value;
}

}  // namespace quorvel
