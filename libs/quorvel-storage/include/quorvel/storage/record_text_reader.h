#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <span>
#include <string_view>

#include "quorvel/json/json_reader.h"
#include "quorvel/storage/parallel_for.h"
#include "quorvel/storage/record_list.h"

namespace quorvel {

// Reads records in their stored form (see read_stored_record) straight into
// a record list, many at a time on several workers, without a heap vector
// per record: each worker parses into buffers that this reader keeps from
// one call to the next, and the vectors are then copied into the list's
// arena. For a long input read in blocks, such as an import.
//
// Not thread-safe; one reader serves one caller.
class RecordTextReader {
 public:
  // The first value that did not read: its index among the values given,
  // and the reader's error.
  struct Refusal {
    std::size_t index = 0;
    JsonError error;
  };

  RecordTextReader();
  RecordTextReader(RecordTextReader&&) noexcept;
  RecordTextReader& operator=(RecordTextReader&&) noexcept;
  ~RecordTextReader();

  // Parses every one of `values` on `parallel_for`'s workers, into this
  // reader, replacing what an earlier call read. Fails at the first value
  // that is not a record's stored form. Throws std::bad_alloc when memory
  // runs out.
  [[nodiscard]] std::expected<void, Refusal> read(std::span<const std::string_view> values,
                                                  const ParallelFor& parallel_for);

  // The records that the last successful read() made and the floats of
  // their vectors, until they are appended: for a caller that reserves
  // room in the list first.
  std::size_t records() const;
  std::size_t floats() const;

  // Appends the records that the last successful read() made to `list`, in
  // the order of the values, each as a new entry (an id already in the
  // list is appended again, not replaced), and forgets them. Throws
  // std::bad_alloc when memory runs out.
  void append_to(RecordList& list);

 private:
  struct Chunks;
  std::unique_ptr<Chunks> chunks_;
};

}  // namespace quorvel
