#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "plain_floats.h"
#include "quorvel/json/json_reader.h"
#include "quorvel/storage/record.h"
#include "quorvel/storage/record_list.h"
#include "record_list_internals.h"

namespace quorvel {

// Appends the stored JSON form of `record` to `out`:
// {"id":...,"vector":[...],"metadata":...,"timestamp":...} in compact form,
// with absent metadata or timestamp written as null.
//
// Fails, leaving `out` as it was, when the form would not read back: a vector
// element that is NaN or infinite (the message names its position), or
// metadata nested deeper than kMaxMetadataNesting levels.
[[nodiscard]] std::expected<void, std::string> append_record_json(std::string& out, const RecordView& record);

// The same for a Record: the same bytes, the same refusals.
[[nodiscard]] std::expected<void, std::string> append_record_json(std::string& out, const Record& record);

// Reads a record from its stored JSON form: an object with the keys "id"
// (string, required), "vector" (array of numbers, required), "metadata" (any
// value; null or missing means absent) and "timestamp" (null, missing, or an
// integer 0..2^64-1) in any order, each at most once, other keys ignored; or
// the array form [id, vector, metadata, timestamp]. Vector elements: an
// integer converts directly to the nearest float, any other number goes
// through the nearest double. Nesting is limited to kMaxMetadataNesting + 1
// levels, counting the record itself.
//
// With a `key` (the key of the row that holds the form) an id other than
// the key is an error too, reported where the id stands: such a row would
// load under one id and be stored under another.
[[nodiscard]] std::expected<Record, JsonError> read_record_json(std::string_view bytes,
                                                                std::optional<std::string_view> key = {});

// read_record_json() for loading: appends the vector's elements to
// `vector_out` (left as it was, but for partly appended elements, on a
// failure) and returns the rest of the record.
[[nodiscard]] std::expected<LoadedEntry, JsonError> read_record_json_into(
    std::string_view bytes, FloatBlock& vector_out, std::optional<std::string_view> key = {});

}  // namespace quorvel
