/* The sela extension module: the library's functions, fsum and the Accumulator. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "accumulator.h"
#include "exact.h"
#include "fsum.h"
#include "functions.h"
#include "sela.h"

static PyMethodDef module_functions[] = {
    {"fsum", (PyCFunction)sela_py_fsum, METH_O, sela_py_fsum_doc},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef sela_module = {
    PyModuleDef_HEAD_INIT, "_sela", "Compiled core of the sela package.", -1,
    module_functions, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__sela(void) {
  if (sela_py_accumulator_ready() != 0) return NULL;
  PyObject *m = PyModule_Create(&sela_module);
  if (m == NULL) return NULL;
  Py_INCREF(&sela_py_accumulator_type);
  if (PyModule_AddObject(m, "Accumulator", (PyObject *)&sela_py_accumulator_type) != 0) {
    Py_DECREF(&sela_py_accumulator_type);
    Py_DECREF(m);
    return NULL;
  }
  if (PyModule_AddFunctions(m, sela_py_functions) != 0 ||
      PyModule_AddFunctions(m, sela_py_exact_functions) != 0) {
    Py_DECREF(m);
    return NULL;
  }
  PyObject *names = sela_py_sum_method_names();
  if (names == NULL || PyModule_AddObject(m, "_SUM_METHODS", names) != 0) {
    Py_XDECREF(names); /* not stolen on failure */
    Py_DECREF(m);
    return NULL;
  }
  if (PyModule_AddStringConstant(m, "__version__", sela_version()) != 0) {
    Py_DECREF(m);
    return NULL;
  }
  return m;
}
