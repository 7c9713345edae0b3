/*
 * sela_mpi — exact sums across MPI ranks with sela accumulators.
 *
 * Optional, header-only: include it after <mpi.h> is available and link your program
 * with MPI; libsela itself never links MPI. It gives an MPI datatype for the
 * sela_accumulator record (136 contiguous 64-bit words) and a commutative reduction
 * operation that merges records, so MPI_Reduce / MPI_Allreduce of per-rank accumulators
 * yields the exact global sum, the same bits for any number of ranks and any split:
 *
 *     sela_accumulator acc;
 *     sela_accumulator_init(&acc);
 *     sela_accumulator_add(&acc, my_values, my_count);
 *     sela_mpi_allreduce_accumulator(&acc, MPI_COMM_WORLD);
 *     double total = sela_accumulator_round(&acc);   // equal on every rank
 *
 * All ranks must run the same major version of sela on x86-64 (the record's bytes are
 * its portable form there). If any rank contributes a record that is not a valid
 * accumulator, the reduced record is invalid too and rounds to the quiet NaN.
 */
#ifndef SELA_MPI_H
#define SELA_MPI_H

#include <mpi.h>
#include <string.h>

#include "sela.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The reduction function: inout[i] = in[i] merged with inout[i]. A failed merge (an
 * invalid record on either side) leaves inout[i] zeroed, hence invalid. */
static inline void sela_mpi_merge_records(void *in, void *inout, int *len, MPI_Datatype *type) {
  const sela_accumulator *a = (const sela_accumulator *)in;
  sela_accumulator *b = (sela_accumulator *)inout;
  int i;
  (void)type;
  for (i = 0; i < *len; ++i) {
    if (sela_accumulator_merge(&b[i], &a[i]) != 0) memset(&b[i], 0, sizeof b[i]);
  }
}

/* Creates and commits the datatype of one sela_accumulator. Free it with MPI_Type_free. */
static inline int sela_mpi_accumulator_type(MPI_Datatype *type) {
  int rc = MPI_Type_contiguous((int)(sizeof(sela_accumulator) / sizeof(uint64_t)), MPI_UINT64_T, type);
  if (rc == MPI_SUCCESS) rc = MPI_Type_commit(type);
  return rc;
}

/* Creates the commutative merge operation. Free it with MPI_Op_free. */
static inline int sela_mpi_merge_op(MPI_Op *op) { return MPI_Op_create(sela_mpi_merge_records, 1, op); }

/* Replaces *acc on every rank of comm by the merge of all ranks' records (a collective
 * call). Returns MPI_SUCCESS or the first MPI error code. */
static inline int sela_mpi_allreduce_accumulator(sela_accumulator *acc, MPI_Comm comm) {
  MPI_Datatype type;
  MPI_Op op;
  int rc = sela_mpi_accumulator_type(&type);
  if (rc != MPI_SUCCESS) return rc;
  rc = sela_mpi_merge_op(&op);
  if (rc == MPI_SUCCESS) {
    rc = MPI_Allreduce(MPI_IN_PLACE, acc, 1, type, op, comm);
    MPI_Op_free(&op);
  }
  MPI_Type_free(&type);
  return rc;
}

#ifdef __cplusplus
}
#endif

#endif /* SELA_MPI_H */
