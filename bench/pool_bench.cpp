#include <map>
#include <utility>

#include "bench_util.h"

namespace benchutil {

const std::vector<std::vector<double>>& pool(Family f, int64_t n) {
  static std::map<std::pair<int, int64_t>, std::vector<std::vector<double>>> pools;
  auto& p = pools[{static_cast<int>(f), n}];
  if (p.empty()) {
    for (int i = 0; i < arraysFor(n); ++i) p.push_back(makeArray(f, n, 1000 + static_cast<uint64_t>(i)));
  }
  return p;
}

}  // namespace benchutil
