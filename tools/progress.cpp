#include "progress.h"

#include <unistd.h>

#include <cstdio>

namespace sela_tool {

Progress::Progress(std::uint64_t total)
    : enabled_(isatty(STDERR_FILENO) == 1), total_(total), start_(Clock::now()), last_draw_(start_) {}

Progress::~Progress() { done(); }

void Progress::advance(std::uint64_t bytes) {
  done_ += bytes;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - last_draw_ < std::chrono::milliseconds(200))
    return;
  last_draw_ = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = static_cast<double>(done_) / seconds / 1e6;
  if (total_ > 0) {
    const double fraction = static_cast<double>(done_) / static_cast<double>(total_);
    const int filled = static_cast<int>(fraction * 30.0 + 0.5);
    std::fprintf(stderr, "\r[%-30.*s] %3d%%  %.0f MB/s", filled < 30 ? filled : 30,
                 "##############################", static_cast<int>(fraction * 100.0), rate);
  } else {
    std::fprintf(stderr, "\r%.0f MB read  %.0f MB/s", static_cast<double>(done_) / 1e6, rate);
  }
  std::fflush(stderr);
  drawn_ = true;
}

void Progress::done() {
  if (drawn_) {
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    drawn_ = false;
  }
}

}  // namespace sela_tool
