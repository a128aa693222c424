#pragma once

// Reading and writing whole ranges of the companion file.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace quorvel {

// Reads exactly `bytes` bytes at `offset` of `fd` into `into`, however many
// reads that takes; false when the file ends first or a read fails.
bool read_fully(int fd, void* into, std::size_t bytes, std::uint64_t offset);

// Writes `bytes` bytes of `from` at `offset` of `fd`; false when a write
// fails (errno says why).
bool write_fully(int fd, const void* from, std::size_t bytes, std::uint64_t offset);

// Appends `bytes` bytes of `from` to `fd` (opened to append); false when a
// write fails.
bool append_fully(int fd, const void* from, std::size_t bytes);

// `offset` rounded up to a multiple of `unit`.
constexpr std::uint64_t round_up(std::uint64_t offset, std::uint64_t unit) {
  return (offset + unit - 1) / unit * unit;
}

}  // namespace quorvel
