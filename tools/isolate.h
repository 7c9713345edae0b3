// The library ends the process (status 1, "out of memory" on standard error) when a
// scratch array cannot be allocated. The grades that allocate run in a child process, so
// that exit ends only the child and the tool reports the failure itself.
#ifndef SELA_TOOL_ISOLATE_H
#define SELA_TOOL_ISOLATE_H

#include <functional>

namespace sela_tool {

struct TimedValue {
  double value = 0.0;
  double seconds = 0.0;
};

// `compute` timed, in a forked child whose standard error is silenced; its value and time
// come back through a pipe. A child that exits with the library's status 1 raises
// std::bad_alloc; one ended by a signal raises std::runtime_error. When no child can be
// made (no process or pipe to spare), `compute` runs here.
TimedValue run_isolated(const std::function<double()> &compute);

// `compute` timed, here.
TimedValue run_timed(const std::function<double()> &compute);

}  // namespace sela_tool

#endif
