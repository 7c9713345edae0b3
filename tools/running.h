// sela cumsum: the running exact sums of the inputs, streamed from the readers to
// standard output in blocks, so memory stays bounded on any input size.
#ifndef SELA_TOOL_RUNNING_H
#define SELA_TOOL_RUNNING_H

#include <cstdio>
#include <string>
#include <vector>

#include "input.h"

namespace sela_tool {

// Writes to `out` the running exact sum after each number of the inputs, in order and
// across inputs as one series: one shortest round-trip decimal per line, or with `json`
// one object {"command", "input", "values", "count", "skipped_rows"} (infinities and NaN
// as the strings "inf", "-inf", "nan"). Raises ReadError for an input with no numbers or
// a malformed one (what was written before stays written), std::runtime_error when `out`
// fails.
void stream_cumsum(const std::vector<std::string> &paths, const InputOptions &input, bool json,
                   const std::string &title, std::FILE *out, ReadNotes &notes);

}  // namespace sela_tool

#endif
