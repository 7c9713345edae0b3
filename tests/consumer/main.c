#include <sela.h>
#include <string.h>

int main(void) {
  const double x[] = {0.5, 0.25};
  return !(strcmp(sela_version(), "1.1.0") == 0 && sela_sum_naive(x, 2) == 0.75);
}
