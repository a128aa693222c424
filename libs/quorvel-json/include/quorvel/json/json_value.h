#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quorvel {

// One JSON value as the system keeps it: null, boolean, one of three number
// kinds, string, array or object. Object members are held in ascending byte
// order of their keys, each key once.
//
// A plain value: copies are deep, and nothing in it refers elsewhere.
// Not thread-safe for concurrent mutation; concurrent reads are fine.
class JsonValue {
 public:
  struct Member;
  using Null = std::monostate;
  using Array = std::vector<JsonValue>;
  // REQUIRES (for every Object held by a JsonValue): keys strictly ascending
  // in byte order. Build objects with make_object() to get that for free.
  using Object = std::vector<Member>;
  // The three number kinds. A non-negative integer is always Unsigned; a
  // Signed value is always negative.
  using Unsigned = std::uint64_t;
  using Signed = std::int64_t;
  using Float = double;

  JsonValue() = default;
  JsonValue(Null) {}
  // Null, like JsonValue(): without it nullptr would pick the text
  // constructor.
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : data_(b) {}
  JsonValue(Unsigned u) : data_(u) {}
  // A non-negative argument is stored as Unsigned, so that equal numbers
  // always have the same kind.
  JsonValue(Signed s);
  JsonValue(int i) : JsonValue(static_cast<Signed>(i)) {}
  JsonValue(Float f) : data_(f) {}
  JsonValue(std::string s) : data_(std::move(s)) {}
  // The text `s`, or null when `s` is a null pointer.
  JsonValue(const char* s) {
    if (s != nullptr) data_ = std::string(s);
  }
  JsonValue(Array a) : data_(std::move(a)) {}

  // Builds an object from members in any order. Members are ordered by key
  // bytes; of members that share a key, the one given last is kept.
  static JsonValue make_object(std::vector<Member> members);

  // Whether the value is null; whether it is of kind T (one of the types
  // above, or std::string).
  bool is_null() const { return std::holds_alternative<Null>(data_); }
  template <typename T>
  bool holds() const { return std::holds_alternative<T>(data_); }
  // The value as a T. Throws std::bad_variant_access unless holds<T>().
  template <typename T>
  const T& as() const { return std::get<T>(data_); }
  // The value as a T, or nullptr unless holds<T>().
  template <typename T>
  const T* get_if() const { return std::get_if<T>(&data_); }

  // The variant itself, for std::visit.
  const auto& data() const { return data_; }

  // Same kind and equal value: numbers of different kinds are never equal,
  // strings compare byte for byte, arrays and objects member by member.
  friend bool operator==(const JsonValue&, const JsonValue&);

 private:
  std::variant<Null, bool, Unsigned, Signed, Float, std::string, Array, Object> data_;
};

struct JsonValue::Member {
  std::string key;
  JsonValue value;
  friend bool operator==(const Member&, const Member&) = default;
};

}  // namespace quorvel
