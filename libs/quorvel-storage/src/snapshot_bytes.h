#pragma once

// Plain little-endian encoding of numbers and byte strings, for the
// companion file's sections and change entries.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace quorvel {

// Appends encoded values to a string of bytes.
class ByteWriter {
 public:
  explicit ByteWriter(std::string& out) : out_(out) {}

  template <typename T>
    requires std::is_trivially_copyable_v<T>
  void put(T value) {
    out_.append(reinterpret_cast<const char*>(&value), sizeof value);
  }
  // A length (32 bits) and then the bytes.
  void put_bytes(std::string_view bytes) {
    put(static_cast<std::uint32_t>(bytes.size()));
    out_.append(bytes);
  }
  void put_raw(std::span<const std::byte> bytes) {
    out_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }

 private:
  std::string& out_;
};

// Reads encoded values back, refusing to read past the end: every getter
// returns nothing once the bytes run out, and the reader stays failed.
class ByteReader {
 public:
  explicit ByteReader(std::string_view bytes) : rest_(bytes) {}

  template <typename T>
    requires std::is_trivially_copyable_v<T>
  std::optional<T> get() {
    if (rest_.size() < sizeof(T)) return fail<T>();
    T value;
    std::memcpy(&value, rest_.data(), sizeof value);
    rest_.remove_prefix(sizeof value);
    return value;
  }
  // A length written by put_bytes, and then as many bytes.
  std::optional<std::string_view> get_bytes() {
    const auto length = get<std::uint32_t>();
    if (!length) return std::nullopt;
    return get_raw(*length);
  }
  std::optional<std::string_view> get_raw(std::size_t count) {
    if (rest_.size() < count) return fail<std::string_view>();
    const std::string_view bytes = rest_.substr(0, count);
    rest_.remove_prefix(count);
    return bytes;
  }

  bool at_end() const { return rest_.empty(); }
  std::size_t remaining() const { return rest_.size(); }

 private:
  template <typename T>
  std::optional<T> fail() {
    rest_ = {};
    return std::nullopt;
  }

  std::string_view rest_;
};

}  // namespace quorvel
