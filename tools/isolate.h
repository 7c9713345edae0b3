// The library ends the process (status 1, "out of memory" on standard error) when a
// scratch array cannot be allocated. The grades that allocate run in a child process, so
// that exit ends only the child and the tool reports the failure itself.
#ifndef SELA_TOOL_ISOLATE_H
#define SELA_TOOL_ISOLATE_H

#include <cstdint>
#include <functional>

namespace sela_tool {

struct TimedValue {
  double value = 0.0;
  double seconds = 0.0;
};

// A computation over the first `count` elements of its data.
using Computation = std::function<double(std::uint64_t count)>;

// compute(n) timed, in a forked child whose standard error is silenced; its value and
// time come back through a pipe. The child first runs compute on a short prefix, untimed:
// its first touches of the pages it shares with the tool (copied on write) and of its
// scratch memory would otherwise count as the grade's time. A child that exits with the
// library's status 1 raises std::bad_alloc; one ended by a signal raises
// std::runtime_error. When no child can be made (no process or pipe to spare), compute
// runs here.
TimedValue run_isolated(const Computation &compute, std::uint64_t n);

// compute(n) timed, here.
TimedValue run_timed(const Computation &compute, std::uint64_t n);

}  // namespace sela_tool

#endif
