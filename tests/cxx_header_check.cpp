// The public header compiled as C++ and called through the shared object.
#include <cstdio>
#include <cstring>

#include "sela.h"

int main() {
  const double x[] = {0.1, 0.2, 0.3};
  const bool ok = std::strcmp(sela_version(), "1.1.0") == 0 && sela_sum_naive(x, 3) == (0.1 + 0.2) + 0.3;
  if (!ok) std::fprintf(stderr, "FAILED: C++ use of sela.h\n");
  return ok ? 0 : 1;
}
