#include "cli/progress_bar.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace kovra62386::cli {

bool stderr_is_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

ProgressBar::ProgressBar(std::string label, int total, bool enabled)
    : label_(std::move(label)),
      total_(std::max(total, 1)),
      active_(enabled && stderr_is_terminal()) {}

ProgressBar::~ProgressBar() { finish(); }

void ProgressBar::update(int done, const std::string& note) {
  if (!active_) return;
  constexpr int kWidth = 32;
  const int clamped = std::clamp(done, 0, total_);
  const int filled = clamped * kWidth / total_;
  const std::string bar =
      std::string(static_cast<size_t>(filled), '#') +
      std::string(static_cast<size_t>(kWidth - filled), '.');
  fmt::print(stderr, "\r\033[K{} [{}] {}/{} {}", label_, bar, clamped, total_,
             note);
  std::fflush(stderr);
}

void ProgressBar::update(int done, int total, const std::string& note) {
  if (total > 0) total_ = total;
  update(done, note);
}

void ProgressBar::clear() {
  if (!active_) return;
  fmt::print(stderr, "\r\033[K");
  std::fflush(stderr);
}

void ProgressBar::finish() {
  if (!active_) return;
  fmt::print(stderr, "\r\033[K");
  std::fflush(stderr);
  active_ = false;
}

}  // namespace kovra62386::cli
