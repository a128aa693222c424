#include "quorvel/storage/json_writer.h"

#include <charconv>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <variant>

namespace quorvel {
namespace {

// Writes a float given as its shortest round-trip digits in scientific form
// ("d.ddde±XX", as std::to_chars produces it) in the compact form, using
// positional notation when the decimal exponent lies in [min_exp, max_exp].
void append_float_text(std::string& out, std::string_view scientific, int min_exp, int max_exp) {
  std::string_view sign;
  if (scientific.front() == '-') {
    sign = "-";
    scientific.remove_prefix(1);
  }
  const std::size_t e_pos = scientific.find('e');
  const std::string_view mantissa = scientific.substr(0, e_pos);
  int exponent = 0;
  {
    std::string_view exp_text = scientific.substr(e_pos + 1);
    if (exp_text.front() == '+') exp_text.remove_prefix(1);
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);
  }
  // The significant digits without the point.
  char digits[32];
  std::size_t count = 0;
  for (char c : mantissa) {
    if (c != '.') digits[count++] = c;
  }
  const std::string_view sig(digits, count);

  out += sign;
  if (exponent < min_exp || exponent > max_exp) {
    out += sig.front();
    if (count > 1) {
      out += '.';
      out += sig.substr(1);
    }
    out += exponent < 0 ? "e-" : "e+";
    char exp_buf[8];
    const int magnitude = exponent < 0 ? -exponent : exponent;
    const auto end = std::to_chars(exp_buf, exp_buf + sizeof exp_buf, magnitude).ptr;
    out.append(exp_buf, end);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += sig;
    return;
  }
  const std::size_t int_digits = static_cast<std::size_t>(exponent) + 1;
  if (count <= int_digits) {
    out += sig;
    out.append(int_digits - count, '0');
    out += ".0";
  } else {
    out += sig.substr(0, int_digits);
    out += '.';
    out += sig.substr(int_digits);
  }
}

template <typename F>
void append_floating(std::string& out, F value, int min_exp, int max_exp) {
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

void append_json_float(std::string& out, float value) { append_floating(out, value, -6, 12); }

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
