#include "output_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvel::cli {

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
  temporary_ = path_ + ".partial-" + std::to_string(::getpid());
  stream_ = std::fopen(temporary_.c_str(), "wb");
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
  const bool written = std::fflush(stream_) == 0 && ::fsync(::fileno(stream_)) == 0;
  const int written_errno = errno;
  const bool closed = std::fclose(stream_) == 0;
  stream_ = nullptr;
  if (!written || !closed) {
    error = std::strerror(written ? errno : written_errno);
    return false;
  }
  if (std::rename(temporary_.c_str(), path_.c_str()) != 0) {
    error = std::strerror(errno);
    return false;
  }
  finished_ = true;
  return true;
}

}  // namespace quorvel::cli
