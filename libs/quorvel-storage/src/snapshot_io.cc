#include "snapshot_io.h"

#include <unistd.h>

#include <cerrno>

namespace quorvel {

bool read_fully(int fd, void* into, std::size_t bytes, std::uint64_t offset) {
  auto* out = static_cast<char*>(into);
  while (bytes > 0) {
    const ssize_t got = ::pread(fd, out, bytes, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    out += got;
    bytes -= static_cast<std::size_t>(got);
    offset += static_cast<std::uint64_t>(got);
  }
  return true;
}

bool write_fully(int fd, const void* from, std::size_t bytes, std::uint64_t offset) {
  const auto* in = static_cast<const char*>(from);
  while (bytes > 0) {
    const ssize_t put = ::pwrite(fd, in, bytes, static_cast<off_t>(offset));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    in += put;
    bytes -= static_cast<std::size_t>(put);
    offset += static_cast<std::uint64_t>(put);
  }
  return true;
}

bool append_fully(int fd, const void* from, std::size_t bytes) {
  const auto* in = static_cast<const char*>(from);
  while (bytes > 0) {
    const ssize_t put = ::write(fd, in, bytes);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    in += put;
    bytes -= static_cast<std::size_t>(put);
  }
  return true;
}

}  // namespace quorvel
