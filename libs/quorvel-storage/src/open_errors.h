#pragma once

#include <string>
#include <string_view>

#include "quorvel/storage/storage_error.h"

namespace quorvel {

// `error`, met while opening the file at `path`, with the path after its
// detail: "<detail> (file <path>)".
StorageError naming_file(StorageError error, std::string_view path);

// The detail of a Serialization error for the row under `key` of the file
// at `path` that does not read back (`reader_text` says why): the reader's
// text first, then the row's key, the path, and the commands that list such
// rows and copy the others into a new file.
std::string damaged_row_detail(std::string_view reader_text, std::string_view key, std::string_view path);

// Appends `key` as a JSON string, shown on one line whatever it holds; a
// byte that is not part of well-formed UTF-8 appears as the four characters
// \xNN (its value in hexadecimal), so that the text stays UTF-8. A
// backslash of the key itself is doubled, as JSON writes it, so the two
// never read alike.
void append_shown_key(std::string& out, std::string_view key);

// `text` as one word of a POSIX shell: as it is when it holds only
// characters that no shell reads specially, otherwise in single quotes.
std::string shell_word(std::string_view text);

}  // namespace quorvel
