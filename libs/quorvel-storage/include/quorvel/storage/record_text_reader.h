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

  // Parses every one of `values` on `parallel_for`'s workers and appends
  // the records to `list` in the order of `values`, each as a new entry
  // (an id already in the list is appended again, not replaced). Fails at
  // the first value that is not a record's stored form, and then appends
  // none of them. Throws std::bad_alloc when memory runs out.
  [[nodiscard]] std::expected<void, Refusal> append(RecordList& list, std::span<const std::string_view> values,
                                                    const ParallelFor& parallel_for);

 private:
  struct Chunks;
  std::unique_ptr<Chunks> chunks_;
};

}  // namespace quorvel
