#include "output_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace quorvel::cli {
namespace {

// The suffix of SQLite's write-ahead log beside a database file.
constexpr const char* kLogSuffix = "-wal";

bool same_file(const struct stat& x, const struct stat& y) { return x.st_dev == y.st_dev && x.st_ino == y.st_ino; }

}  // namespace

OutputFile::OutputFile(std::string path) : path_(path == "-" ? "" : std::move(path)) {}

OutputFile::~OutputFile() {
  if (path_.empty() || finished_) return;
  if (stream_ != nullptr) std::fclose(stream_);
  if (!temporary_.empty()) std::remove(temporary_.c_str());
}

bool OutputFile::open(std::string& error) {
  if (path_.empty()) {
    stream_ = stdout;
    return true;
  }
  std::string target = path_;
  struct stat status {};
  if (::stat(path_.c_str(), &status) == 0) {
    in_place_ = !S_ISREG(status.st_mode);
    std::error_code failed;
    if (!in_place_) target = std::filesystem::canonical(path_, failed).string();
    if (failed) {
      error = failed.message();
      return false;
    }
  }
  if (in_place_) {
    stream_ = std::fopen(path_.c_str(), "wb");
  } else {
    temporary_ = target + ".partial-" + std::to_string(::getpid());
    path_ = target;
    stream_ = std::fopen(temporary_.c_str(), "wb");
  }
  if (stream_ == nullptr) {
    error = std::strerror(errno);
    temporary_.clear();
    return false;
  }
  return true;
}

bool OutputFile::finish(std::string& error) {
  if (path_.empty()) {
    if (std::fflush(stdout) != 0) {
      error = std::strerror(errno);
      return false;
    }
    return true;
  }
  // A device or a pipe has nothing to sync, and may refuse to.
  const bool written = std::fflush(stream_) == 0 && (in_place_ || ::fsync(::fileno(stream_)) == 0);
  const int written_errno = errno;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!written || !closed) {
    error = std::strerror(written ? errno : written_errno);
    return false;
  }
  if (!in_place_ && std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = std::strerror(errno);
    return false;
  }
  finished_ = true;
  return true;
}

std::optional<std::string> output_clashes_with_database(const std::string& path, const std::string& database) {
  struct stat output {};
  const bool standard_output = path.empty() || path == "-";
  if ((standard_output ? ::fstat(STDOUT_FILENO, &output) : ::stat(path.c_str(), &output)) != 0) return std::nullopt;
  struct stat file {};
  if (::stat(database.c_str(), &file) == 0 && same_file(output, file)) {
    return std::string("is the database file being read; nothing was written");
  }
  const std::string log = database + kLogSuffix;
  if (::stat(log.c_str(), &file) == 0 && same_file(output, file)) {
    return std::string("is the write-ahead log of the database being read; nothing was written");
  }
  return std::nullopt;
}

}  // namespace quorvel::cli
