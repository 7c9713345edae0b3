/* sela_mpi_sum: the exact sum of one fixed data set split unevenly over the MPI ranks.
 *
 * Every rank builds the same data (a fixed generator), takes an uneven slice of it (rank
 * r gets a share proportional to r + 1), adds the slice to its own accumulator, and the
 * accumulators are merged with MPI_Allreduce. Each rank then checks that the reduced
 * total is sela_sum_exact of the whole data set, and that all ranks hold the same bits.
 *
 * Run: mpirun -np 4 ./sela_mpi_sum       Exit status 0 when every check passes. */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sela_mpi.h"

enum { kCount = 200003 };

/* A fixed pseudo-random data set with wide magnitudes, both signs, exact cancellation
 * (every 7th value cancels an earlier one) and pairs of values near the top of the range
 * that cancel only in the exact sum. */
static void make_data(double *x, int n) {
  uint64_t s = 0x9E3779B97F4A7C15ULL;
  int i;
  for (i = 0; i < n; ++i) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    {
      const double m = (double)(s >> 11) * 0x1p-53;
      const int e = (int)((s >> 3) % 241) - 120;
      x[i] = ldexp((s & 1) ? -m : m, e);
    }
    if (i % 7 == 6) x[i] = -x[i / 2];
  }
  /* Pairs of huge values that cancel, far apart: a running double sum overflows. */
  for (i = 17; i + 100000 < n; i += 50001) {
    x[i] = 1e308;
    x[i + 1] = 1e308;
    x[i + 100000] = -1e308;
    x[i + 100001] = -1e308;
  }
}

int main(int argc, char **argv) {
  int rank = 0, size = 1, ok = 1, begin, end, i, total_weight, before;
  double *x, total, whole, *all;
  sela_accumulator acc;
  MPI_Init(&argc, &argv);
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &size);

  x = malloc(sizeof(double) * kCount);
  all = malloc(sizeof(double) * (size_t)size);
  if (x == NULL || all == NULL) MPI_Abort(MPI_COMM_WORLD, 2);
  make_data(x, kCount);

  /* Rank r's share is (r + 1) / (1 + 2 + ... + size) of the data. */
  total_weight = size * (size + 1) / 2;
  before = rank * (rank + 1) / 2;
  begin = (int)((long long)kCount * before / total_weight);
  end = (int)((long long)kCount * (before + rank + 1) / total_weight);

  sela_accumulator_init(&acc);
  if (sela_accumulator_add(&acc, x + begin, (uint64_t)(end - begin)) != 0) ok = 0;
  if (sela_mpi_allreduce_accumulator(&acc, MPI_COMM_WORLD) != MPI_SUCCESS) ok = 0;
  total = sela_accumulator_round(&acc);
  whole = sela_sum_exact(x, kCount);
  if (memcmp(&total, &whole, sizeof total) != 0) ok = 0;

  /* Every rank must hold the same bits. */
  MPI_Allgather(&total, 1, MPI_DOUBLE, all, 1, MPI_DOUBLE, MPI_COMM_WORLD);
  for (i = 0; i < size; ++i)
    if (memcmp(&all[i], &total, sizeof total) != 0) ok = 0;

  printf("rank %d of %d: values [%d, %d), total %a, sela_sum_exact %a: %s\n", rank, size, begin, end, total,
         whole, ok ? "ok" : "MISMATCH");
  MPI_Allreduce(MPI_IN_PLACE, &ok, 1, MPI_INT, MPI_LAND, MPI_COMM_WORLD);
  free(x);
  free(all);
  MPI_Finalize();
  return ok ? 0 : 1;
}
