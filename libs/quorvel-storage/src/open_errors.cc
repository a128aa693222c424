#include "open_errors.h"

#include <utility>

#include "messages.h"
#include "quorvel/json/json_writer.h"
#include "utf8.h"

namespace quorvel {

namespace messages = storage::messages;

StorageError naming_file(StorageError error, std::string_view path) {
  error.detail.append(messages::kOfFile).append(path).append(messages::kOfFileEnd);
  return error;
}

std::string damaged_row_detail(std::string_view reader_text, std::string_view key, std::string_view path) {
  const std::string path_word = shell_word(path);
  std::string detail(reader_text);
  detail += messages::kDamagedRecord;
  append_shown_key(detail, key);
  detail.append(messages::kDamagedRecordIn).append(path);
  detail.append(messages::kCheckCommand).append(path_word);
  detail.append(messages::kSalvageCommand).append(path_word).append(messages::kSalvageCommandEnd);
  return detail;
}

void append_shown_key(std::string& out, std::string_view key) {
  // Keys this store writes are UTF-8, but another SQLite client may store any
  // bytes; a message must stay text that every caller can decode. The JSON
  // form keeps bytes of 0x80 and above as they are, so only those can be
  // out of place in it.
  std::string quoted;
  append_json_string(quoted, key);
  std::size_t pos = 0;
  while (pos < quoted.size()) {
    const std::size_t length = utf8::sequence_length(quoted, pos);
    if (length == 0) {
      static constexpr char kHex[] = "0123456789abcdef";
      const auto byte = static_cast<unsigned char>(quoted[pos]);
      out.append("\\x").append(1, kHex[byte >> 4]).append(1, kHex[byte & 0xF]);
      ++pos;
    } else {
      out.append(quoted, pos, length);
      pos += length;
    }
  }
}

std::string shell_word(std::string_view text) {
  const auto plain = [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("_./+-:,@%=").find(c) != std::string_view::npos;
  };
  bool quote = text.empty();
  for (const char c : text) quote = quote || !plain(c);
  if (!quote) return std::string(text);
  // Inside single quotes every character stands for itself but the quote,
  // which closes them, is escaped, and opens them again.
  std::string word = "'";
  for (const char c : text) {
    if (c == '\'') {
      word += "'\\''";
    } else {
      word += c;
    }
  }
  return word + "'";
}

}  // namespace quorvel
