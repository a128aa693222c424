#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

namespace quorvel::cli {
namespace {

constexpr int kBarWidth = 16;
constexpr auto kInterval = std::chrono::milliseconds(100);
constexpr const char* kErase = "\r\033[K";
// The width assumed when the terminal does not tell its own.
constexpr std::size_t kDefaultColumns = 80;

// 1234567 as "1,234,567".
std::string grouped(std::uint64_t n) {
  const std::string digits = std::to_string(n);
  std::string text;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += ',';
    text += digits[i];
  }
  return text;
}

// A size in the decimal unit that suits `scale`: "12.3 MB".
std::string size_text(double bytes, std::uint64_t scale) {
  static constexpr const char* kUnits[] = {"B", "kB", "MB", "GB", "TB"};
  std::size_t unit = 0;
  double divisor = 1.0;
  for (double s = static_cast<double>(scale); s >= 1000.0 && unit + 1 < std::size(kUnits); s /= 1000.0) {
    ++unit;
    divisor *= 1000.0;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes / divisor, kUnits[unit]);
  return text;
}

// Seconds as "m:ss", or "h:mm:ss" from an hour on.
std::string duration_text(double seconds) {
  const auto whole = static_cast<std::uint64_t>(seconds + 0.5);
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", static_cast<unsigned long long>(whole / 3600),
                  static_cast<unsigned long long>(whole / 60 % 60), static_cast<unsigned long long>(whole % 60));
  } else {
    std::snprintf(text, sizeof text, "%llu:%02llu", static_cast<unsigned long long>(whole / 60),
                  static_cast<unsigned long long>(whole % 60));
  }
  return text;
}

std::size_t terminal_columns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
  return kDefaultColumns;
}

}  // namespace

bool progress_is_shown() { return ::isatty(STDERR_FILENO) != 0; }

Progress::Progress(std::string label, std::uint64_t total, std::string things, Unit unit)
    : label_(std::move(label)), total_(total), things_(std::move(things)), unit_(unit),
      shown_(progress_is_shown()), start_(std::chrono::steady_clock::now()), next_draw_(start_) {}

Progress::~Progress() { clear(); }

void Progress::advance(std::uint64_t done) { set_done(done_ + done); }

void Progress::set_done(std::uint64_t done) {
  done_ = done;
  draw_when_due();
}

void Progress::say(const std::string& text) {
  if (!shown_) return;
  write_line(text);
}

void Progress::clear() {
  if (!drawn_) return;
  std::fputs(kErase, stderr);
  std::fflush(stderr);
  drawn_ = false;
}

void Progress::draw_when_due() {
  if (!shown_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now < next_draw_) return;
  next_draw_ = now + kInterval;
  write_line(line());
}

void Progress::write_line(std::string text) {
  // A line longer than the terminal would wrap, and the next draw could no
  // longer erase it.
  if (const std::size_t columns = terminal_columns(); text.size() >= columns) text.resize(columns - 1);
  std::fprintf(stderr, "%s%s", kErase, text.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

std::string Progress::line() const {
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  // The rate is shown once there is a fair measure of it.
  const bool timed = seconds >= 0.5 && done_ > 0;
  const double rate = timed ? static_cast<double>(done_) / seconds : 0.0;
  const std::uint64_t scale = total_ > 0 ? total_ : done_;
  const auto amount = [&](double n) {
    return unit_ == Unit::kBytes ? size_text(n, scale) : grouped(static_cast<std::uint64_t>(n));
  };

  std::string text = label_ + " ";
  if (total_ == 0) {
    text += amount(static_cast<double>(done_));
    if (unit_ == Unit::kThings) text += " " + things_;
    if (timed) text += "  " + amount(rate) + "/s";
    return text;
  }
  const double share = done_ >= total_ ? 1.0 : static_cast<double>(done_) / static_cast<double>(total_);
  const int filled = static_cast<int>(share * kBarWidth);
  text += '[';
  text.append(static_cast<std::size_t>(filled), '#');
  text.append(static_cast<std::size_t>(kBarWidth - filled), ' ');
  text += "] ";
  char percent[8];
  std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(share * 100));
  text += percent;
  if (unit_ == Unit::kBytes) {
    text += "  " + size_text(static_cast<double>(done_), scale) + " of " + size_text(static_cast<double>(total_), scale);
  } else {
    text += "  " + grouped(done_) + "/" + grouped(total_) + " " + things_;
  }
  if (timed) {
    text += "  " + amount(rate) + "/s";
    if (done_ < total_) text += "  " + duration_text(static_cast<double>(total_ - done_) / rate) + " left";
  }
  return text;
}

}  // namespace quorvel::cli
