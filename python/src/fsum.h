/* fsum: math.fsum's drop-in, streamed through the exact accumulator. */
#ifndef SELA_PY_FSUM_H
#define SELA_PY_FSUM_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* fsum(iterable): the exact sum, correctly rounded. */
PyObject *sela_py_fsum(PyObject *module, PyObject *iterable);
extern const char sela_py_fsum_doc[];

#endif
