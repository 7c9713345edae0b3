/* A downstream C program: the header's version macros match the library it runs with. */
#include <sela.h>
#include <stdio.h>
#include <string.h>

int main(void) {
  const double x[] = {1.0, 1e100, 1.0, -1e100};
  char version[48];
  snprintf(version, sizeof version, "%d.%d.%d", SELA_VERSION_MAJOR, SELA_VERSION_MINOR, SELA_VERSION_PATCH);
  if (strcmp(sela_version(), version) != 0) {
    fprintf(stderr, "header version %s, library version %s\n", version, sela_version());
    return 1;
  }
  return !(sela_sum_exact(x, 4) == 2.0);
}
