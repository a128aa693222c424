#include "quorvel/json/json_writer.h"

#include "float_text.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

namespace quorvel {
namespace {

// Writes a float given as its shortest round-trip digits in scientific form
// ("d.ddde±XX", as std::to_chars produces it) in the compact form, using
// positional notation when the decimal exponent lies in [min_exp, max_exp].
// The text is put together in a local buffer and appended once: a vector of
// hundreds of floats is written for every stored record.
void append_float_text(std::string& out, std::string_view scientific, int min_exp, int max_exp) {
  const char* in = scientific.data();
  const char* const in_end = in + scientific.size();
  // At most 17 significant digits, a sign, "0." and five zeros, or an
  // exponent of three digits: well within the buffer.
  char text[48];
  char* p = text;
  if (*in == '-') *p++ = *in++;
  // The significant digits without the point.
  char digits[24];
  int count = 0;
  for (; *in != 'e'; ++in) {
    if (*in != '.') digits[count++] = *in;
  }
  ++in;  // 'e'
  const bool negative_exponent = *in == '-';
  ++in;  // the exponent's sign, always written by std::to_chars
  int magnitude = 0;
  for (; in != in_end; ++in) magnitude = magnitude * 10 + (*in - '0');
  const int exponent = negative_exponent ? -magnitude : magnitude;

  const auto copy = [&p](const char* from, int n) {
    std::memcpy(p, from, static_cast<std::size_t>(n));
    p += n;
  };
  if (exponent < min_exp || exponent > max_exp) {
    *p++ = digits[0];
    if (count > 1) {
      *p++ = '.';
      copy(digits + 1, count - 1);
    }
    *p++ = 'e';
    *p++ = negative_exponent ? '-' : '+';
    p = std::to_chars(p, text + sizeof text, magnitude).ptr;
  } else if (exponent < 0) {
    *p++ = '0';
    *p++ = '.';
    std::memset(p, '0', static_cast<std::size_t>(-exponent - 1));
    p += -exponent - 1;
    copy(digits, count);
  } else if (const int int_digits = exponent + 1; count <= int_digits) {
    copy(digits, count);
    std::memset(p, '0', static_cast<std::size_t>(int_digits - count));
    p += int_digits - count;
    *p++ = '.';
    *p++ = '0';
  } else {
    copy(digits, int_digits);
    *p++ = '.';
    copy(digits + int_digits, count - int_digits);
  }
  out.append(text, p);
}

template <typename F>
void append_floating(std::string& out, F value, int min_exp, int max_exp) {
  // std::to_chars writes "nan" or "inf", which has no exponent to find.
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  append_float_text(out, std::string_view(buf, result.ptr), min_exp, max_exp);
}

template <typename I>
void append_integer(std::string& out, I value) {
  char buf[24];
  const auto result = std::to_chars(buf, buf + sizeof buf, value);
  out.append(buf, result.ptr);
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text, run_start, i - run_start);
    run_start = i + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  out.append(text, run_start, text.size() - run_start);
  out += '"';
}

void append_json_double(std::string& out, double value) { append_floating(out, value, -5, 15); }

void append_json_float(std::string& out, float value) {
  char text[json::kPlainFloatBytes];
  if (const char* end = json::write_plain_float(text, value)) {
    out.append(text, static_cast<std::size_t>(end - text));
  } else {
    json::append_float_by_to_chars(out, value);
  }
}

void append_json_float_list(std::string& out, std::span<const float> values) {
  // Written in place, into room for the longest text of each.
  constexpr std::size_t kRoom = json::kPlainFloatBytes + 1;
  const std::size_t start = out.size();
  out.resize_and_overwrite(start + values.size() * kRoom, [&](char* data, std::size_t) {
    char* p = data + start;
    std::string general;
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i > 0) *p++ = ',';
      if (char* end = json::write_plain_float(p, values[i])) {
        p = end;
        continue;
      }
      general.clear();
      json::append_float_by_to_chars(general, values[i]);
      std::memcpy(p, general.data(), general.size());
      p += general.size();
    }
    return static_cast<std::size_t>(p - data);
  });
}

namespace json {

void append_float_by_to_chars(std::string& out, float value) { append_floating(out, value, -6, 12); }

}  // namespace json

void append_json(std::string& out, const JsonValue& value) {
  std::visit(
      [&out](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, JsonValue::Null>) {
          out += "null";
        } else if constexpr (std::is_same_v<T, bool>) {
          out += v ? "true" : "false";
        } else if constexpr (std::is_same_v<T, JsonValue::Unsigned> ||
                             std::is_same_v<T, JsonValue::Signed>) {
          append_integer(out, v);
        } else if constexpr (std::is_same_v<T, JsonValue::Float>) {
          append_json_double(out, v);
        } else if constexpr (std::is_same_v<T, std::string>) {
          append_json_string(out, v);
        } else if constexpr (std::is_same_v<T, JsonValue::Array>) {
          out += '[';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i > 0) out += ',';
            append_json(out, v[i]);
          }
          out += ']';
        } else {
          out += '{';
          for (std::size_t i = 0; i < v.size(); ++i) {
            if (i > 0) out += ',';
            append_json_string(out, v[i].key);
            out += ':';
            append_json(out, v[i].value);
          }
          out += '}';
        }
      },
      value.data());
}

std::string to_json(const JsonValue& value) {
  std::string out;
  append_json(out, value);
  return out;
}

}  // namespace quorvel
