/* The library's reductions as Python functions over arrays and iterables. */
#ifndef SELA_PY_FUNCTIONS_H
#define SELA_PY_FUNCTIONS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* The module's functions (NULL-terminated), ready for PyModuleDef.m_methods. */
extern PyMethodDef sela_py_functions[];

/* The canonical names of the sums of the front ends' method table, in its order. */
PyObject *sela_py_sum_method_names(void);

#endif
