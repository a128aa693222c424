#include "file_lock.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <utility>
#include <vector>

#include "messages.h"

namespace quorvel {

struct LockSlot {
  int fd = -1;  // -1 once closed in a forked child
  pid_t owner = 0;
  FileIdentity identity;
  // Descriptors of the same file opened while this lock was held; closing one
  // would drop the record locks SQLite holds on the file, so they stay open
  // until this lock is released.
  std::vector<int> spare_fds;
};

namespace {

namespace messages = storage::messages;

using Kind = StorageError::Kind;

// Symbolic links followed before a lookup fails with ELOOP, as Linux allows.
constexpr int kMostLinkHops = 40;
// Opens tried while other processes create or delete the file in between.
constexpr int kOpenAttempts = 8;

// Every lock this process holds, so that a forked child can close their
// descriptors. Never destroyed: fork handlers may run during exit.
struct Registry {
  std::mutex mutex;
  std::vector<LockSlot*> slots;
};

Registry& registry() {
  static Registry* const instance = new Registry;
  return *instance;
}

void close_quietly(int fd) {
  // close() releases the descriptor even when it reports EINTR; never retry.
  (void)::close(fd);
}

// Fork handlers: no lock changes hands while a process forks, and the child
// closes its copies of the descriptors, so that only the parent holds them.
void before_fork() { registry().mutex.lock(); }
void after_fork_in_parent() { registry().mutex.unlock(); }
void after_fork_in_child() {
  Registry& r = registry();
  for (LockSlot* slot : r.slots) {
    close_quietly(slot->fd);
    slot->fd = -1;
    for (int fd : slot->spare_fds) close_quietly(fd);
    slot->spare_fds.clear();
  }
  r.slots.clear();
  r.mutex.unlock();
}

void install_fork_handlers() {
  static const bool installed = [] {
    (void)registry();
    return ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  }();
  (void)installed;
}

std::unexpected<StorageError> database_error(std::string detail) {
  return std::unexpected(StorageError{Kind::Database, std::move(detail)});
}

std::unexpected<StorageError> locked_error() {
  return std::unexpected(
      StorageError{Kind::Database, std::string(messages::kLocked), StorageError::Cause::Locked});
}

std::unexpected<StorageError> open_failure(int error, bool existed) {
  const std::string reason = std::strerror(error);
  switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
    case ETXTBSY:
      return database_error(std::string(existed ? messages::kFileNotWritable : messages::kFileNotCreatable) +
                            reason);
    default:
      return database_error(std::string(messages::kUnableToOpen) + reason);
  }
}

LockSlot* held_slot(const Registry& r, const FileIdentity& identity) {
  const auto it = std::find_if(r.slots.begin(), r.slots.end(),
                               [&](const LockSlot* slot) { return slot->identity == identity; });
  return it == r.slots.end() ? nullptr : *it;
}

// Where creating the file at `path` puts it: `path` itself or, when that is
// a symbolic link to a missing file, the link's final target, followed hop by
// hop as open() would. An exclusive create refuses a link, so the target is
// named directly. Fails with the errno of the lookup, ELOOP after as many
// hops as the system allows.
std::expected<std::string, int> creation_path(std::string path) {
  for (int hop = 0; hop < kMostLinkHops; ++hop) {
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
      if (errno == ENOENT) return path;
      return std::unexpected(errno);
    }
    // Anything but a link exists by now: the exclusive create will say so.
    if (!S_ISLNK(status.st_mode)) return path;
    char target[PATH_MAX];
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    if (length < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(length) == sizeof target) return std::unexpected(ENAMETOOLONG);
    const std::string_view link(target, static_cast<std::size_t>(length));
    if (link.starts_with('/')) {
      path = link;
    } else {
      // Relative to the directory that holds the link.
      const std::size_t slash = path.rfind('/');
      path = (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + std::string(link);
    }
  }
  return std::unexpected(ELOOP);
}

// A descriptor of the file at `path`, and the path of the file when this
// open created it.
struct OpenedFile {
  int fd = -1;
  std::string created_path;
};

// Opens the file at `path` for reading and writing, creating it exclusively
// (so that it is known to be ours) when `access` allows and `exists` says it
// is missing. Non-blocking, so that a pipe at the path cannot hold the open
// up. Another process may create or delete the file between the look and the
// open; then it looks again, a bounded number of times. Fails with errno.
std::expected<OpenedFile, int> open_file(const std::string& path, FileLock::Access access, bool exists) {
  for (int attempt = 1;; ++attempt) {
    const bool create = access == FileLock::Access::kCreate && !exists;
    std::string target = path;
    if (create) {
      auto found = creation_path(path);
      if (!found) return std::unexpected(found.error());
      target = std::move(*found);
    }
    const int fd = ::open(target.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | (create ? O_CREAT | O_EXCL : 0), 0644);
    if (fd >= 0) return OpenedFile{fd, create ? std::move(target) : std::string()};
    const int error = errno;
    const bool raced = access == FileLock::Access::kCreate && error == (create ? EEXIST : ENOENT);
    if ((!raced && error != EINTR) || attempt == kOpenAttempts) return std::unexpected(error);
    exists = FileIdentity::of_path(path).has_value();
  }
}

}  // namespace

std::optional<FileIdentity> FileIdentity::of_path(const std::string& path) {
  // Only the inode number is asked for. Since Linux 6.13 a stat() that reads
  // a file's timestamps makes the kernel give the next write to it a fresh
  // fine-grained time, which fdatasync then writes out as well: asked before
  // every commit, that made each commit of the log about 60 us slower.
  struct statx status {};
  if (::statx(AT_FDCWD, path.c_str(), AT_STATX_DONT_SYNC, STATX_INO, &status) == 0 &&
      (status.stx_mask & STATX_INO) != 0) {
    return FileIdentity{makedev(status.stx_dev_major, status.stx_dev_minor), status.stx_ino};
  }
  // A kernel before statx, a sandbox that refuses it (some container
  // filters answer EPERM), or no inode number given: stat() says the same,
  // at the cost above.
  struct stat fallback {};
  if (::stat(path.c_str(), &fallback) != 0) return std::nullopt;
  return FileIdentity{fallback.st_dev, fallback.st_ino};
}

std::expected<FileLock, StorageError> FileLock::acquire(const std::string& path, Access access) {
  install_fork_handlers();
  Registry& r = registry();
  const std::lock_guard guard(r.mutex);

  // A file that this process holds already is refused without opening it:
  // closing a second descriptor of it would drop the live store's SQLite
  // locks.
  const std::optional<FileIdentity> before = FileIdentity::of_path(path);
  if (before && held_slot(r, *before) != nullptr) return locked_error();

  auto opened = open_file(path, access, before.has_value());
  if (!opened) return open_failure(opened.error(), before.has_value() || access == Access::kExisting);
  const int fd = opened->fd;

  struct stat status {};
  if (::fstat(fd, &status) != 0) {
    const int error = errno;
    close_quietly(fd);
    return open_failure(error, true);
  }
  if (!S_ISREG(status.st_mode)) {
    // SQLite would wait for ever on a pipe and write to a device.
    close_quietly(fd);
    return database_error(std::string(messages::kNotARegularFile));
  }
  const FileIdentity identity{status.st_dev, status.st_ino};
  if (LockSlot* holder = held_slot(r, identity)) {
    // The path came to name a held file after the check above.
    holder->spare_fds.push_back(fd);
    return locked_error();
  }

  int locked;
  do {
    locked = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0) {
    const int error = errno;
    close_quietly(fd);
    if (error == EWOULDBLOCK) return locked_error();
    return database_error(std::string(messages::kCannotLock) + std::strerror(error));
  }

  auto* slot = new LockSlot{fd, ::getpid(), identity, {}};
  r.slots.push_back(slot);
  return FileLock(slot, identity, std::move(opened->created_path));
}

bool FileLock::is_held(const std::string& path) {
  install_fork_handlers();
  Registry& r = registry();
  const std::lock_guard guard(r.mutex);
  const std::optional<FileIdentity> identity = FileIdentity::of_path(path);
  if (!identity) return false;
  if (held_slot(r, *identity) != nullptr) return true;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  // No lock of this process is on the file (checked above), so closing this
  // descriptor drops none.
  const bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close_quietly(fd);
  return held;
}

FileLock::FileLock(FileLock&& other) noexcept
    : slot_(std::exchange(other.slot_, nullptr)),
      identity_(other.identity_),
      created_path_(std::move(other.created_path_)) {}

FileLock& FileLock::operator=(FileLock&& other) noexcept {
  std::swap(slot_, other.slot_);
  std::swap(identity_, other.identity_);
  std::swap(created_path_, other.created_path_);
  return *this;
}

FileLock::~FileLock() {
  if (slot_ == nullptr) return;
  Registry& r = registry();
  {
    const std::lock_guard guard(r.mutex);
    if (slot_->fd >= 0) close_quietly(slot_->fd);
    for (int fd : slot_->spare_fds) close_quietly(fd);
    std::erase(r.slots, slot_);
  }
  delete slot_;
}

bool FileLock::held_here() const {
  if (slot_ == nullptr) return false;
  const std::lock_guard guard(registry().mutex);
  return slot_->fd >= 0 && slot_->owner == ::getpid();
}

}  // namespace quorvel
