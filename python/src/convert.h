/* Python objects to arrays of doubles for the sela extension.
 *
 * A buffer of native-order doubles that is C-contiguous and 8-byte aligned is used in
 * place. Every other real buffer (strided, Fortran order, the other byte order, half,
 * single or extended precision, integers, booleans) is gathered element by element in
 * C order into an owned array, each element converted as a C cast to double converts it,
 * which is how numpy's astype(float64) converts. Other objects are iterated and each item
 * converted as float() converts it (__float__, then __index__). Memory is never
 * reinterpreted: an element type that is not a real number is a TypeError.
 */
#ifndef SELA_PY_CONVERT_H
#define SELA_PY_CONVERT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Inputs from this many elements on are processed with the GIL released; below it the
 * release and reacquisition would cost more than the work. */
#define SELA_PY_NOGIL_MIN 2048

typedef struct sela_doubles {
  const double *data; /* n doubles in C order; valid until sela_doubles_release */
  Py_ssize_t n;
  double *owned;      /* the converted copy (PyMem), or NULL when data points into view */
  Py_buffer view;     /* the exporter's buffer, held while has_view is set */
  int has_view;
} sela_doubles;

/* Fills d from obj. Returns 0, or -1 with an exception set (TypeError for a non-real
 * element type, MemoryError, or whatever converting an item raised) and d released. */
int sela_doubles_get(PyObject *obj, sela_doubles *d);

/* Releases the buffer and the copy; safe on a zeroed or already released record. */
void sela_doubles_release(sela_doubles *d);

/* Reads one item as float() would; -1 with an exception set on failure. Exact floats
 * take no call. */
static inline int sela_item_as_double(PyObject *item, double *out) {
  if (PyFloat_CheckExact(item)) {
    *out = PyFloat_AS_DOUBLE(item);
    return 0;
  }
  double v = PyFloat_AsDouble(item);
  if (v == -1.0 && PyErr_Occurred()) return -1;
  *out = v;
  return 0;
}

/* Reads item i of a list as float() would. The item is held while it converts: its
 * __float__ may run code that edits the list (callers read the length again after). */
static inline int sela_list_item_as_double(PyObject *list, Py_ssize_t i, double *out) {
  PyObject *item = PyList_GET_ITEM(list, i);
  if (PyFloat_CheckExact(item)) {
    *out = PyFloat_AS_DOUBLE(item);
    return 0;
  }
  Py_INCREF(item);
  int rc = sela_item_as_double(item, out);
  Py_DECREF(item);
  return rc;
}

#endif
