// A progress bar on standard error, shown only when standard error is a terminal and
// the work has taken more than a second.
#ifndef SELA_TOOL_PROGRESS_H
#define SELA_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>

namespace sela_tool {

class Progress {
 public:
  // `total` bytes of input when known, 0 when not (a pipe).
  explicit Progress(std::uint64_t total);
  ~Progress();
  Progress(const Progress &) = delete;
  Progress &operator=(const Progress &) = delete;

  void add_total(std::uint64_t bytes) { total_ += bytes; }
  void advance(std::uint64_t bytes);
  // Clears the bar (if one was drawn).
  void done();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool drawn_ = false;
  std::uint64_t total_;
  std::uint64_t done_ = 0;
  Clock::time_point start_;
  Clock::time_point last_draw_;
};

}  // namespace sela_tool

#endif
