/* Exact sums of binary32 and binary16 arrays, grouped before they reach the accumulator. */
#ifndef SELA_PY_SMALLFLOAT_H
#define SELA_PY_SMALLFLOAT_H

#include "convert.h"
#include "sela.h"

/* Adds every element of r to acc exactly, as their double values would add, when r holds
 * binary32 or binary16 elements, using block (sela_block_length(r->n) doubles) as scratch: returns 1
 * (and *special set when a NaN or infinity was among them), 0 when r holds another type
 * (nothing added), -1 when the library refused the record. Needs no interpreter lock. */
int sela_py_add_small_floats(const sela_region *r, sela_accumulator *acc, double *block, int *special);

#endif
