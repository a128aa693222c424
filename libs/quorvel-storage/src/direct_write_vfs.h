#pragma once

// A SQLite VFS for a new database file that one connection writes from the
// front to the back, as the bulk writer does: the file's page writes gather
// in blocks of a few megabytes, and a thread of the file's own writes each
// block to the disk past the page cache (O_DIRECT) while SQLite goes on.
//
// Why: SQLite writes a page at a time, and on this kind of machine each
// page that enters the page cache costs more processor time than making its
// bytes did (the kernel's copy into a fresh page); a file of gigabytes
// written once is not read again soon, so the cache gains nothing from it.
//
// The writes at or above a moving window's start land in its blocks; a
// block leaves the window, for the disk, once a write lands too far above
// it. Reads and writes below the window (SQLite rewrites its few interior
// pages there) go through the page cache as usual, once the disk holds the
// blocks they touch, so every read sees the last write. Where O_DIRECT is
// refused (tmpfs, some file systems), the blocks are written through the
// page cache instead, and the kernel is asked to start writing each one.
//
// Every other file (journals, write-ahead logs, temporary files) passes
// straight to the default VFS, as do locks and shared memory.
//
// Only for a file that nothing else in the process opens meanwhile: the
// blocks go through a second descriptor of the file's own, opened by its
// path, and closing it drops every POSIX lock the process holds on the
// file. Not for use across fork().

#include <sqlite3.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <string>

namespace quorvel {

// How the gathering VFS cuts the file: blocks of `block_bytes` (a multiple
// of the memory page size and of 4096), up to `window_blocks` of them open to writes at once, written
// past the page cache when `direct` allows, by `pwrite` (the system's, or a
// test's that fails where it chooses).
struct DirectWriteShape {
  std::size_t block_bytes = std::size_t{8} << 20;
  std::size_t window_blocks = 4;
  bool direct = true;
  ssize_t (*pwrite)(int fd, const void* bytes, std::size_t count, off_t offset) = ::pwrite;
};

// The name of the gathering VFS of this shape, registered with SQLite on
// first use (never as the default), for sqlite3_open_v2()'s last argument.
// Fails, with an empty name, when the shape is not one of the above or
// SQLite cannot register a VFS.
[[nodiscard]] std::string direct_write_vfs(const DirectWriteShape& shape = {});

// The file control (sqlite3_file_control(db, "main", ...)) that writes every
// gathered block and waits for the disk, returning SQLITE_OK or the error of
// the first write that failed (SQLITE_FULL when the disk or a quota was
// full). A failed write also fails every later read, write and sync of the
// file; without syncs (synchronous=OFF) a COMMIT can still succeed after
// one, so a writer asks for this before sqlite3_close(), whose errors
// SQLite does not report. Files of other VFSs answer SQLITE_NOTFOUND.
inline constexpr int kDirectWriteFlush = 0x51560001;

}  // namespace quorvel
