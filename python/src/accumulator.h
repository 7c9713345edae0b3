/* sela.Accumulator, an exact running sum that pickles and merges. */
#ifndef SELA_PY_ACCUMULATOR_H
#define SELA_PY_ACCUMULATOR_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

extern PyTypeObject sela_py_accumulator_type;

/* Readies the type; 0 or -1 with an exception set. */
int sela_py_accumulator_ready(void);

#endif
