#pragma once

#include <sys/types.h>

#include <expected>
#include <optional>
#include <string>
#include <utility>

#include "quorvel/storage/storage_error.h"

namespace quorvel {

// Which file a path names: its device and inode number.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;

  // The identity of the file that `path` names now (following symbolic
  // links), or nothing when there is none.
  static std::optional<FileIdentity> of_path(const std::string& path);

  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct LockSlot;  // A held lock's descriptor, registered so that fork can close it.

// An exclusive lock on a database file that only its holder can release.
//
// SQLite's own lock is a POSIX record lock, which a process loses as soon as
// it closes any descriptor of the file (a copy of the file made by a backup
// routine is enough). This lock is a flock() on a descriptor of its own: no
// other close drops it, and it conflicts with every other FileLock on the
// file, in this process or another. It does not interact with SQLite's
// record locks.
//
// A forked child does not hold the lock: its inherited descriptor is closed
// in the child at fork, so the parent keeps the lock alone and can release
// it while the child lives on.
//
// Thread-safe: locks may be taken and released on any threads at once.
class FileLock {
 public:
  // How the locked file is opened.
  enum class Access {
    kCreate,    // for reading and writing, created when missing
    kExisting,  // for reading and writing; the file must exist
  };

  // Opens the file at `path` as `access` says and locks it. A missing file
  // is created where the path leads: through a symbolic link whose target
  // does not exist yet, the target is created. Returns at once, never
  // waiting on another holder or retrying without end. Fails with Database:
  // "database is locked" when a FileLock on that file lives (here or in
  // another process), or a message that says why the file cannot be opened,
  // created or written (a loop of symbolic links among them), or that it is
  // not a regular file.
  [[nodiscard]] static std::expected<FileLock, StorageError> acquire(const std::string& path,
                                                                     Access access = Access::kCreate);

  // True when a FileLock on the file at `path` lives, here or in another
  // process. Neither creates nor changes the file.
  static bool is_held(const std::string& path);

  FileLock(FileLock&& other) noexcept;
  FileLock& operator=(FileLock&& other) noexcept;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();  // Releases the lock.

  // The identity of the locked file.
  const FileIdentity& identity() const { return identity_; }

  // True in the process that took the lock, false in a forked child.
  bool held_here() const;

  // The path of the file that acquire() created (the target, when the
  // path given was a symbolic link), or "" when the file existed.
  const std::string& created_path() const { return created_path_; }

 private:
  FileLock(LockSlot* slot, FileIdentity identity, std::string created_path)
      : slot_(slot), identity_(identity), created_path_(std::move(created_path)) {}

  LockSlot* slot_ = nullptr;
  FileIdentity identity_;
  std::string created_path_;
};

}  // namespace quorvel
