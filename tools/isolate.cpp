#include "isolate.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <new>
#include <stdexcept>
#include <string>

namespace sela_tool {
namespace {

// Elements of the untimed first run in a child: enough for every arrangement of the
// long inputs to have taken its workspace once.
constexpr std::uint64_t kWarmUp = std::uint64_t{1} << 16;

bool write_all(int fd, const char *p, std::size_t n) {
  while (n > 0) {
    const ssize_t wrote = ::write(fd, p, n);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    p += wrote;
    n -= static_cast<std::size_t>(wrote);
  }
  return true;
}

std::size_t read_all(int fd, char *p, std::size_t n) {
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<std::size_t>(r);
  }
  return got;
}

}  // namespace

TimedValue run_timed(const Computation &compute, std::uint64_t n) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  TimedValue result;
  result.value = compute(n);
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return result;
}

TimedValue run_isolated(const Computation &compute, std::uint64_t n) {
  int channel[2];
  if (pipe2(channel, O_CLOEXEC) != 0) return run_timed(compute, n);
  const pid_t child = fork();
  if (child < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    return run_timed(compute, n);
  }
  if (child == 0) {
    // The library's own message would only repeat the tool's.
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    compute(std::min<std::uint64_t>(n, kWarmUp));  // warms what the child shares and its scratch
    const TimedValue result = run_timed(compute, n);
    const bool sent = write_all(channel[1], reinterpret_cast<const char *>(&result), sizeof result);
    _exit(sent ? 0 : 3);  // no atexit handlers, no buffers of the parent flushed twice
  }
  ::close(channel[1]);
  TimedValue result;
  const std::size_t got = read_all(channel[0], reinterpret_cast<char *>(&result), sizeof result);
  ::close(channel[0]);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == sizeof result) return result;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 1) throw std::bad_alloc();
  if (WIFSIGNALED(status))
    throw std::runtime_error(std::string("the computation ended with signal ") +
                             std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")");
  throw std::runtime_error("the computation's process failed");
}

}  // namespace sela_tool
