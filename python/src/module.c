/* The sela extension module: the library's functions, fsum and the Accumulator. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "convert.h"
#include "functions.h"
#include "sela.h"

PyDoc_STRVAR(fsum_doc,
"fsum(iterable)\n--\n\n"
"Exact sum of an iterable of real numbers, correctly rounded: a drop-in for math.fsum.\n"
"\n"
"Each item is converted as float() converts it. The result equals math.fsum's wherever\n"
"math.fsum returns one. Where math.fsum raises OverflowError because a partial sum\n"
"overflows, fsum returns the correctly rounded exact sum (an infinity only when the\n"
"exact sum itself is beyond the range); where it raises ValueError for inf - inf, fsum\n"
"returns nan.");

static PyObject *py_fsum(PyObject *m, PyObject *iterable) {
  (void)m;
  sela_doubles d;
  if (sela_doubles_get(iterable, &d) != 0) return NULL;
  double r = sela_sum_exact(d.data, (uint64_t)d.n);
  sela_doubles_release(&d);
  return PyFloat_FromDouble(r);
}

static PyMethodDef module_functions[] = {
    {"fsum", (PyCFunction)py_fsum, METH_O, fsum_doc},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef sela_module = {
    PyModuleDef_HEAD_INIT, "_sela", "Compiled core of the sela package.", -1,
    module_functions, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__sela(void) {
  PyObject *m = PyModule_Create(&sela_module);
  if (m == NULL) return NULL;
  if (PyModule_AddFunctions(m, sela_py_functions) != 0) {
    Py_DECREF(m);
    return NULL;
  }
  PyObject *names = sela_py_sum_method_names();
  if (names == NULL || PyModule_AddObject(m, "_SUM_METHODS", names) != 0 ||
      PyModule_AddStringConstant(m, "__version__", sela_version()) != 0) {
    Py_XDECREF(names);
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
