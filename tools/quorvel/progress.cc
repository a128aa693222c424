#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace quorvel::cli {
namespace {

constexpr int kBarWidth = 30;
constexpr auto kInterval = std::chrono::milliseconds(100);

}  // namespace

Progress::Progress(std::string label, std::uint64_t total)
    : label_(std::move(label)), total_(total), shown_(::isatty(STDERR_FILENO) != 0),
      next_draw_(std::chrono::steady_clock::now() + kInterval) {}

Progress::~Progress() {
  if (shown_) std::fputs("\r\033[K", stderr);
}

void Progress::advance(std::uint64_t done) {
  done_ += done;
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_draw_) return;
  next_draw_ = now + kInterval;
  draw();
}

void Progress::draw() {
  if (total_ == 0) {
    std::fprintf(stderr, "\r%s %llu", label_.c_str(), static_cast<unsigned long long>(done_));
  } else {
    const double share = done_ >= total_ ? 1.0 : static_cast<double>(done_) / static_cast<double>(total_);
    const int filled = static_cast<int>(share * kBarWidth);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%% %llu/%llu", label_.c_str(), filled,
                 "##############################", kBarWidth - filled, "", static_cast<int>(share * 100),
                 static_cast<unsigned long long>(done_), static_cast<unsigned long long>(total_));
  }
  std::fflush(stderr);
}

}  // namespace quorvel::cli
