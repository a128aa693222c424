#include "staged_database.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

namespace quorvel::cli {
namespace {

constexpr std::string_view kPartial = ".partial-";
// SQLite keeps the logs of file F beside it: "F-wal", and "F-journal" while
// a new file is set up for write-ahead logging; the store keeps its
// companion "F-snapshot", written as "F-snapshot-new".
constexpr std::string_view kLogSuffixes[] = {"-wal", "-journal", "-snapshot", "-snapshot-new"};
constexpr std::string_view kCompanionSuffix = "-snapshot";

// The directory part of `path` ("." when it has none).
std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The last part of `path`.
std::string name_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void remove_with_logs(const std::string& path) {
  (void)::unlink(path.c_str());
  for (const std::string_view suffix : kLogSuffixes) (void)::unlink((path + std::string(suffix)).c_str());
}

// Flushes a file or directory to the disk; false with errno set on failure.
bool sync_path(const std::string& path, int flags) {
  const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::fsync(fd) == 0;
  const int error = errno;
  (void)::close(fd);
  errno = error;
  return synced;
}

// Renames `from` to `to` unless `to` exists; false with errno set (EEXIST
// when it does).
bool rename_without_replacing(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the flag: a hard link fails on an existing name.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  (void)::unlink(from.c_str());
  return true;
}

}  // namespace

StagedDatabase::StagedDatabase(std::string path)
    : path_(std::move(path)), temporary_(path_ + std::string(kPartial) + std::to_string(::getpid())) {}

StagedDatabase::~StagedDatabase() {
  if (!finished_) remove_with_logs(temporary_);
}

void StagedDatabase::remove_leftovers() const {
  const std::string directory = directory_of(path_);
  const std::string prefix = name_of(path_) + std::string(kPartial);
  DIR* listing = ::opendir(directory.c_str());
  if (listing == nullptr) return;
  while (const dirent* entry = ::readdir(listing)) {
    std::string_view name(entry->d_name);
    if (!name.starts_with(prefix)) continue;
    name.remove_prefix(prefix.size());
    for (const std::string_view suffix : kLogSuffixes) {
      if (name.ends_with(suffix)) name.remove_suffix(suffix.size());
    }
    if (name.empty() || name.find_first_not_of("0123456789") != std::string_view::npos || name.size() > 9) continue;
    const pid_t owner = static_cast<pid_t>(std::stol(std::string(name)));
    // A run still going keeps its file; a process that is gone left it, and
    // so did an earlier process with this one's number.
    if (owner != ::getpid() && (::kill(owner, 0) == 0 || errno != ESRCH)) continue;
    remove_with_logs(directory + "/" + prefix + std::string(name));
  }
  ::closedir(listing);
}

bool StagedDatabase::finish_replacing(std::string& error) {
  struct stat status {};
  const std::string companion = temporary_ + std::string(kCompanionSuffix);
  if (::stat(path_.c_str(), &status) != 0 || ::chmod(temporary_.c_str(), status.st_mode & 07777) != 0 ||
      !sync_path(temporary_, O_RDONLY) ||
      (::rename(companion.c_str(), (path_ + std::string(kCompanionSuffix)).c_str()) != 0 && errno != ENOENT) ||
      ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = std::strerror(errno);
    return false;
  }
  finished_ = true;
  if (!sync_path(directory_of(path_), O_RDONLY | O_DIRECTORY)) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

bool StagedDatabase::finish(std::string& error) {
  if (!sync_path(temporary_, O_RDONLY) || !rename_without_replacing(temporary_, path_)) {
    error = std::strerror(errno);
    return false;
  }
  finished_ = true;
  // The companion goes with the file (it names the database by its
  // contents, not by its path); without it the next open writes one.
  const std::string companion = temporary_ + std::string(kCompanionSuffix);
  if (::rename(companion.c_str(), (path_ + std::string(kCompanionSuffix)).c_str()) != 0) {
    (void)::unlink(companion.c_str());
  }
  if (!sync_path(directory_of(path_), O_RDONLY | O_DIRECTORY)) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace quorvel::cli
