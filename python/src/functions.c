#include "functions.h"

#include <stdint.h>
#include <string.h>

#include "convert.h"
#include "methods.h"
#include "sela.h"

typedef double (*sum_fn)(const double *, uint64_t);
typedef double (*dot_fn)(const double *, const double *, uint64_t);
typedef double (*pair_centered_fn)(const double *, const double *, uint64_t, double, double);

/* ---- Argument helpers ------------------------------------------------------------- */

static int check_nargs(const char *name, Py_ssize_t nargs, Py_ssize_t want) {
  if (nargs == want) return 0;
  PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd arguments (%zd given)", name, want,
               nargs);
  return -1;
}

/* Any integer (__index__: int, bool, numpy integers) as an order K of the library
 * (32-bit signed); OverflowError beyond. */
static int order_arg(PyObject *o, int32_t *k) {
  PyObject *i = PyNumber_Index(o);
  if (i == NULL) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "k must be an integer, not %.200s", Py_TYPE(o)->tp_name);
    }
    return -1;
  }
  long v = PyLong_AsLong(i);
  Py_DECREF(i);
  if (v == -1 && PyErr_Occurred()) return -1;
  if (v < INT32_MIN || v > INT32_MAX) {
    PyErr_SetString(PyExc_OverflowError, "k does not fit in 32 bits");
    return -1;
  }
  *k = (int32_t)v;
  return 0;
}

static int center_arg(PyObject *o, double *c) { return sela_item_as_double(o, c); }

/* Both arrays, or an exception: a ValueError when their lengths differ. */
static int get_pair(PyObject *x, PyObject *y, sela_doubles *dx, sela_doubles *dy) {
  if (sela_doubles_get(x, dx) != 0) return -1;
  if (sela_doubles_get(y, dy) != 0) {
    sela_doubles_release(dx);
    return -1;
  }
  if (dx->n != dy->n) {
    PyErr_Format(PyExc_ValueError, "x and y have different lengths (%zd and %zd)", dx->n,
                 dy->n);
    sela_doubles_release(dx);
    sela_doubles_release(dy);
    return -1;
  }
  return 0;
}

/* Runs `call` with the GIL released when the input is long enough to be worth it. The
 * arrays stay valid meanwhile: their buffers are held and the copies are ours. */
#define RUN(n, call)                   \
  do {                                 \
    if ((n) >= SELA_PY_NOGIL_MIN) {    \
      Py_BEGIN_ALLOW_THREADS           \
      r = (call);                      \
      Py_END_ALLOW_THREADS             \
    } else {                           \
      r = (call);                      \
    }                                  \
  } while (0)

/* ---- The shapes of the exports ---------------------------------------------------- */

static PyObject *call_sum(sum_fn f, PyObject *x) {
  sela_doubles d;
  if (sela_doubles_get(x, &d) != 0) return NULL;
  double r;
  RUN(d.n, f(d.data, (uint64_t)d.n));
  sela_doubles_release(&d);
  return PyFloat_FromDouble(r);
}

static PyObject *call_dot(dot_fn f, PyObject *x, PyObject *y) {
  sela_doubles dx, dy;
  if (get_pair(x, y, &dx, &dy) != 0) return NULL;
  double r;
  RUN(dx.n, f(dx.data, dy.data, (uint64_t)dx.n));
  sela_doubles_release(&dx);
  sela_doubles_release(&dy);
  return PyFloat_FromDouble(r);
}

static PyObject *call_pair_centered(pair_centered_fn f, const char *name,
                                    PyObject *const *args, Py_ssize_t nargs) {
  double cx, cy;
  if (check_nargs(name, nargs, 4) != 0 || center_arg(args[2], &cx) != 0 ||
      center_arg(args[3], &cy) != 0)
    return NULL;
  sela_doubles dx, dy;
  if (get_pair(args[0], args[1], &dx, &dy) != 0) return NULL;
  double r;
  RUN(dx.n, f(dx.data, dy.data, (uint64_t)dx.n, cx, cy));
  sela_doubles_release(&dx);
  sela_doubles_release(&dy);
  return PyFloat_FromDouble(r);
}

#define SUM_FUNCTION(name) \
  static PyObject *py_##name(PyObject *m, PyObject *x) { (void)m; return call_sum(sela_##name, x); }
SUM_FUNCTION(sum_naive)
SUM_FUNCTION(sum_pairwise)
SUM_FUNCTION(sum_pairwise_iterative)
SUM_FUNCTION(sum_kahan)
SUM_FUNCTION(sum_neumaier)
SUM_FUNCTION(sum_klein)
SUM_FUNCTION(sum_shewchuk)
SUM_FUNCTION(sum_oro)
SUM_FUNCTION(sum_acc)
SUM_FUNCTION(sum_near)
SUM_FUNCTION(condition_number)
SUM_FUNCTION(norm_scaled)
SUM_FUNCTION(mean_scaled)

#define DOT_FUNCTION(name)                                                         \
  static PyObject *py_##name(PyObject *m, PyObject *const *args, Py_ssize_t nargs) { \
    (void)m;                                                                       \
    if (check_nargs(#name, nargs, 2) != 0) return NULL;                            \
    return call_dot(sela_##name, args[0], args[1]);                                \
  }
DOT_FUNCTION(dot_naive)
DOT_FUNCTION(dot2)

#define PAIR_CENTERED_FUNCTION(name)                                               \
  static PyObject *py_##name(PyObject *m, PyObject *const *args, Py_ssize_t nargs) { \
    (void)m;                                                                       \
    return call_pair_centered(sela_##name, #name, args, nargs);                    \
  }
PAIR_CENTERED_FUNCTION(centered_cross_product)
PAIR_CENTERED_FUNCTION(centered_cosine_similarity)
PAIR_CENTERED_FUNCTION(centered_projection_coefficient)

static PyObject *py_sum_k(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  int32_t k;
  if (check_nargs("sum_k", nargs, 2) != 0 || order_arg(args[1], &k) != 0) return NULL;
  if (k > METHOD_K_MAX) {
    PyErr_Format(PyExc_ValueError, "sum_k supports k up to %d", METHOD_K_MAX);
    return NULL;
  }
  sela_doubles d;
  if (sela_doubles_get(args[0], &d) != 0) return NULL;
  double r;
  RUN(d.n, sela_sum_k(d.data, (uint64_t)d.n, k));
  sela_doubles_release(&d);
  return PyFloat_FromDouble(r);
}

static PyObject *py_dot_k(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  int32_t k;
  if (check_nargs("dot_k", nargs, 3) != 0 || order_arg(args[2], &k) != 0) return NULL;
  if (k > METHOD_K_MAX) {
    PyErr_Format(PyExc_ValueError, "dot_k supports k up to %d", METHOD_K_MAX);
    return NULL;
  }
  sela_doubles dx, dy;
  if (get_pair(args[0], args[1], &dx, &dy) != 0) return NULL;
  double r;
  RUN(dx.n, sela_dot_k(dx.data, dy.data, (uint64_t)dx.n, k));
  sela_doubles_release(&dx);
  sela_doubles_release(&dy);
  return PyFloat_FromDouble(r);
}

static PyObject *py_centered_sum_squares(PyObject *m, PyObject *const *args,
                                         Py_ssize_t nargs) {
  (void)m;
  double c;
  if (check_nargs("centered_sum_squares", nargs, 2) != 0 || center_arg(args[1], &c) != 0)
    return NULL;
  sela_doubles d;
  if (sela_doubles_get(args[0], &d) != 0) return NULL;
  double r;
  RUN(d.n, sela_centered_sum_squares(d.data, (uint64_t)d.n, c));
  sela_doubles_release(&d);
  return PyFloat_FromDouble(r);
}

static PyObject *py_two_sum(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  double a, b, s, e;
  if (check_nargs("two_sum", nargs, 2) != 0 || sela_item_as_double(args[0], &a) != 0 ||
      sela_item_as_double(args[1], &b) != 0)
    return NULL;
  sela_two_sum(a, b, &s, &e);
  return Py_BuildValue("(dd)", s, e);
}

/* ---- sum() and dot() by method name: the front ends' one table (tools/methods.h) --- */

static int kind_arg(PyObject *o, method_kind *kind) {
  const char *text = PyUnicode_Check(o) ? PyUnicode_AsUTF8(o) : NULL;
  if (text != NULL && strcmp(text, "sum") == 0) {
    *kind = METHOD_SUM;
  } else if (text != NULL && strcmp(text, "dot") == 0) {
    *kind = METHOD_DOT;
  } else {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "kind must be 'sum' or 'dot'");
    return -1;
  }
  return 0;
}

/* A method's number in the table, from 0; the table is the same for every call. */
static int method_arg(PyObject *o, method_kind kind, const method **m) {
  size_t count;
  const method *list = method_list(kind, &count);
  Py_ssize_t number = PyLong_AsSsize_t(o);
  if (number == -1 && PyErr_Occurred()) return -1;
  if (number < 0 || (size_t)number >= count) {
    PyErr_SetString(PyExc_ValueError, "unknown method number");
    return -1;
  }
  *m = &list[number];
  return 0;
}

/* _method_names(kind): the canonical names, in table order ("k" is the K-fold). */
static PyObject *py_method_names(PyObject *mod, PyObject *kind_name) {
  (void)mod;
  method_kind kind;
  if (kind_arg(kind_name, &kind) != 0) return NULL;
  size_t count;
  const method *list = method_list(kind, &count);
  PyObject *t = PyTuple_New((Py_ssize_t)count);
  for (size_t i = 0; t != NULL && i < count; i++) {
    PyObject *s = PyUnicode_FromString(list[i].name);
    if (s == NULL) {
      Py_CLEAR(t);
      break;
    }
    PyTuple_SET_ITEM(t, (Py_ssize_t)i, s);
  }
  return t;
}

PyObject *sela_py_sum_method_names(void) {
  PyObject *kind = PyUnicode_FromString("sum");
  if (kind == NULL) return NULL;
  PyObject *names = py_method_names(NULL, kind);
  Py_DECREF(kind);
  return names;
}

/* _find_method(kind, name, k): (number, order) for a name of the table, an alias or
 * "k:N"; k is None or the order of the K-fold. ValueError for anything else. */
static PyObject *py_find_method(PyObject *mod, PyObject *const *args, Py_ssize_t nargs) {
  (void)mod;
  method_kind kind;
  if (check_nargs("_find_method", nargs, 3) != 0 || kind_arg(args[0], &kind) != 0) return NULL;
  const char *kind_text = kind == METHOD_SUM ? "sum" : "dot";
  Py_ssize_t length = 0;
  const char *name = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8AndSize(args[1], &length) : NULL;
  if (name == NULL) {
    PyErr_Clear();
    PyErr_Format(PyExc_ValueError, "unknown %s method %R", kind_text, args[1]);
    return NULL;
  }
  int has_k = args[2] != Py_None;
  long long k = 0;
  if (has_k) {
    PyObject *index = PyNumber_Index(args[2]);
    if (index == NULL) return NULL;
    int overflow = 0;
    k = PyLong_AsLongLongAndOverflow(index, &overflow);
    Py_DECREF(index);
    if (k == -1 && PyErr_Occurred()) return NULL;
    if (overflow != 0) k = overflow > 0 ? INT64_MAX : INT64_MIN;
  }
  const method *m = NULL;
  int32_t order = 0;
  const method_status status =
      method_find(kind, name, (size_t)length, has_k, (int64_t)k, &m, &order);
  if (status == METHOD_UNKNOWN) {
    char names[256];
    PyErr_Format(PyExc_ValueError, "unknown %s method %R (%s)", kind_text, args[1],
                 method_names(kind, names, sizeof names));
    return NULL;
  }
  if (status != METHOD_OK) {
    PyErr_Format(PyExc_ValueError, "%s method %R: %s", kind_text, args[1],
                 method_status_text(status));
    return NULL;
  }
  size_t count;
  const method *list = method_list(kind, &count);
  return Py_BuildValue("(ni)", (Py_ssize_t)(m - list), (int)order);
}

/* _sum(number, x, order) and _dot(number, x, y, order): the method's export. */
static PyObject *py_sum_by(PyObject *mod, PyObject *const *args, Py_ssize_t nargs) {
  (void)mod;
  const method *m;
  int32_t order;
  if (check_nargs("_sum", nargs, 3) != 0 || method_arg(args[0], METHOD_SUM, &m) != 0 ||
      order_arg(args[2], &order) != 0)
    return NULL;
  sela_doubles d;
  if (sela_doubles_get(args[1], &d) != 0) return NULL;
  double r;
  RUN(d.n, method_sum(m, d.data, (uint64_t)d.n, order));
  sela_doubles_release(&d);
  return PyFloat_FromDouble(r);
}

static PyObject *py_dot_by(PyObject *mod, PyObject *const *args, Py_ssize_t nargs) {
  (void)mod;
  const method *m;
  int32_t order;
  if (check_nargs("_dot", nargs, 4) != 0 || method_arg(args[0], METHOD_DOT, &m) != 0 ||
      order_arg(args[3], &order) != 0)
    return NULL;
  sela_doubles dx, dy;
  if (get_pair(args[1], args[2], &dx, &dy) != 0) return NULL;
  double r;
  RUN(dx.n, method_dot(m, dx.data, dy.data, (uint64_t)dx.n, order));
  sela_doubles_release(&dx);
  sela_doubles_release(&dy);
  return PyFloat_FromDouble(r);
}

/* ---- Row reductions behind sum(..., axis=...) -------------------------------------- */

/* _sum_rows(number, src, out, order): out[i] = the method's sum of row i of src, a
 * C-contiguous float64 matrix of len(out) rows. */
static PyObject *py_sum_rows(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  const method *sum;
  int32_t k = 0;
  if (check_nargs("_sum_rows", nargs, 4) != 0 || method_arg(args[0], METHOD_SUM, &sum) != 0 ||
      order_arg(args[3], &k) != 0)
    return NULL;
  Py_buffer src, out;
  if (PyObject_GetBuffer(args[1], &src, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) return NULL;
  if (PyObject_GetBuffer(args[2], &out, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) !=
      0) {
    PyBuffer_Release(&src);
    return NULL;
  }
  PyObject *result = NULL;
  Py_ssize_t rows = out.len / (Py_ssize_t)sizeof(double);
  int ok_format = sela_format_is_native_double(src.format, src.itemsize) &&
                  sela_format_is_native_double(out.format, out.itemsize);
  if (!ok_format || (rows == 0 && src.len != 0) || (rows != 0 && src.len % (rows * 8) != 0)) {
    PyErr_SetString(PyExc_ValueError, "_sum_rows needs float64 rows matching the output");
    goto done;
  }
  {
    Py_ssize_t cols = rows ? src.len / (Py_ssize_t)sizeof(double) / rows : 0;
    const double *x = src.buf;
    double *o = out.buf;
    int nogil = rows * cols >= SELA_PY_NOGIL_MIN;
    PyThreadState *ts = nogil ? PyEval_SaveThread() : NULL;
    for (Py_ssize_t i = 0; i < rows; i++) o[i] = method_sum(sum, x + i * cols, (uint64_t)cols, k);
    if (nogil) PyEval_RestoreThread(ts);
  }
  Py_INCREF(Py_None);
  result = Py_None;
done:
  PyBuffer_Release(&src);
  PyBuffer_Release(&out);
  return result;
}

/* ---- Table ------------------------------------------------------------------------- */

#define ONE(name, doc) {#name, (PyCFunction)py_##name, METH_O, doc}
#define FAST(name, doc) {#name, (PyCFunction)(void (*)(void))py_##name, METH_FASTCALL, doc}

PyMethodDef sela_py_functions[] = {
    ONE(sum_naive, "sum_naive(x)\n--\n\nStrict left-to-right sum; empty: 0.0."),
    ONE(sum_pairwise, "sum_pairwise(x)\n--\n\nRecursive pairwise sum over naive blocks of at most 128."),
    ONE(sum_pairwise_iterative, "sum_pairwise_iterative(x)\n--\n\nBottom-up pairwise sum, level by level."),
    ONE(sum_kahan, "sum_kahan(x)\n--\n\nKahan's compensated sum."),
    ONE(sum_neumaier, "sum_neumaier(x)\n--\n\nNeumaier's compensated sum."),
    ONE(sum_klein, "sum_klein(x)\n--\n\nKlein's second-order compensated sum."),
    ONE(sum_shewchuk, "sum_shewchuk(x)\n--\n\nShewchuk's partials: the exact sum rounded once."),
    ONE(sum_oro, "sum_oro(x)\n--\n\nSum2 of Ogita, Rump and Oishi (bit for bit sum_neumaier)."),
    FAST(sum_k, "sum_k(x, k)\n--\n\nK-fold cascade of error-free passes (k <= 0 acts as 1, k up to 4096)."),
    ONE(sum_acc, "sum_acc(x)\n--\n\nAccSum: faithfully rounded."),
    ONE(sum_near, "sum_near(x)\n--\n\nNearSum: rounded to nearest, ties to even."),
    ONE(condition_number, "condition_number(x)\n--\n\nsum |x| / |sum x|; inf for a zero sum."),
    FAST(dot_naive, "dot_naive(x, y)\n--\n\nSum of products in the vector kernel's order."),
    FAST(dot2, "dot2(x, y)\n--\n\nDot2: as if computed in twice the working precision."),
    FAST(dot_k, "dot_k(x, y, k)\n--\n\nDotK: K-fold working precision (k up to 4096)."),
    ONE(norm_scaled, "norm_scaled(x)\n--\n\nEuclidean norm free of overflow and underflow."),
    ONE(mean_scaled, "mean_scaled(x)\n--\n\nThe exact sum rounded once, divided by n; empty: nan."),
    FAST(centered_sum_squares, "centered_sum_squares(x, c)\n--\n\nsum (x[i] - c)^2, accumulated exactly."),
    FAST(centered_cross_product, "centered_cross_product(x, y, cx, cy)\n--\n\nsum (x[i] - cx)(y[i] - cy), accumulated exactly."),
    FAST(centered_cosine_similarity, "centered_cosine_similarity(x, y, cx, cy)\n--\n\nCosine of the angle between x - cx and y - cy."),
    FAST(centered_projection_coefficient, "centered_projection_coefficient(x, y, cx, cy)\n--\n\nLeast-squares slope of y - cy on x - cx."),
    FAST(two_sum, "two_sum(a, b)\n--\n\n(s, e): s = a + b rounded, e its exact rounding error."),
    {"_sum_rows", (PyCFunction)(void (*)(void))py_sum_rows, METH_FASTCALL, NULL},
    {"_method_names", (PyCFunction)py_method_names, METH_O, NULL},
    {"_find_method", (PyCFunction)(void (*)(void))py_find_method, METH_FASTCALL, NULL},
    {"_sum", (PyCFunction)(void (*)(void))py_sum_by, METH_FASTCALL, NULL},
    {"_dot", (PyCFunction)(void (*)(void))py_dot_by, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};
