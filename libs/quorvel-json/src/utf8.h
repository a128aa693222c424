#pragma once

#include <cstddef>
#include <string_view>

namespace quorvel::utf8 {

// The length of the well-formed UTF-8 sequence that starts at text[pos]
// (1 to 4), or 0 when the bytes there are not one: a stray continuation
// byte, an overlong form, a surrogate, a code point above U+10FFFF, or a
// sequence cut off by the end of the text.
inline std::size_t sequence_length(std::string_view text, std::size_t pos) {
  const auto lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // Allowed range of the second byte.
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (text.size() - pos < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[pos + i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// Whether `text` is well-formed UTF-8 from its first byte to its last.
inline bool is_valid(std::string_view text) {
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = sequence_length(text, pos);
    if (length == 0) return false;
    pos += length;
  }
  return true;
}

}  // namespace quorvel::utf8
