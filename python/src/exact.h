/* The exact reductions: sums, dot products, means and variances that depend only on the
 * values, read in bounded blocks and gathered in the library's exact accumulator. */
#ifndef SELA_PY_EXACT_H
#define SELA_PY_EXACT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "sela.h"

/* The module's exact functions (NULL-terminated). */
extern PyMethodDef sela_py_exact_functions[];

/* Adds every element of obj to acc and counts them in *count: a buffer in blocks, anything
 * else converted whole. 0, or -1 with an exception set. */
int sela_py_accumulate(PyObject *obj, sela_accumulator *acc, Py_ssize_t *count);

/* Adds the products x[i] * y[i] to acc; ValueError when the lengths differ. */
int sela_py_accumulate_products(PyObject *x, PyObject *y, sela_accumulator *acc);

/* Sets SystemError for a record the library refused: ours are always valid, so this
 * means memory damage. Returns NULL. */
PyObject *sela_py_record_failed(void);

/* A count for sela_accumulator_round_divided from any integer (__index__): 0 .. 2^64 - 1;
 * ValueError below, OverflowError above. 0, or -1 with an exception set. */
int sela_py_count_arg(PyObject *o, uint64_t *count);

#endif
