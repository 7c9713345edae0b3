#include "functions.h"

#include <stdint.h>
#include <string.h>

#include "convert.h"
#include "sela.h"

/* DotK with K >= 4 keeps K - 1 doubles per element step; beyond this K no input gains
 * accuracy (the products' exponents span about 4200 bits, 80 doubles), so larger K are
 * refused rather than left to exhaust memory. */
#define SELA_PY_DOTK_MAX 4096

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
  if (k > SELA_PY_DOTK_MAX) {
    PyErr_Format(PyExc_ValueError, "dot_k supports k up to %d", SELA_PY_DOTK_MAX);
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

/* ---- Row reductions behind sum(..., axis=...) -------------------------------------- */

/* The one-array sums by method name; sum_k is handled apart because it takes K. */
static const struct {
  const char *name;
  sum_fn f;
} sum_methods[] = {
    {"naive", sela_sum_naive},       {"pairwise", sela_sum_pairwise},
    {"pairwise_iterative", sela_sum_pairwise_iterative},
    {"kahan", sela_sum_kahan},       {"neumaier", sela_sum_neumaier},
    {"klein", sela_sum_klein},       {"shewchuk", sela_sum_shewchuk},
    {"exact", sela_sum_exact},       {"oro", sela_sum_oro},
    {"acc", sela_sum_acc},           {"near", sela_sum_near},
    {"k", NULL},
};
#define N_SUM_METHODS ((Py_ssize_t)(sizeof sum_methods / sizeof sum_methods[0]))

PyObject *sela_py_sum_method_names(void) {
  PyObject *t = PyTuple_New(N_SUM_METHODS);
  if (t == NULL) return NULL;
  for (Py_ssize_t i = 0; i < N_SUM_METHODS; i++) {
    PyObject *s = PyUnicode_FromString(sum_methods[i].name);
    if (s == NULL) {
      Py_DECREF(t);
      return NULL;
    }
    PyTuple_SET_ITEM(t, i, s);
  }
  return t;
}

/* _sum_rows(method, src, out, k): out[i] = the method's sum of row i of src, a
 * C-contiguous float64 matrix of len(out) rows; k is the order for method "k". */
static PyObject *py_sum_rows(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (check_nargs("_sum_rows", nargs, 4) != 0) return NULL;
  Py_ssize_t method = PyLong_AsSsize_t(args[0]);
  if (method == -1 && PyErr_Occurred()) return NULL;
  int32_t k = 0;
  if (method < 0 || method >= N_SUM_METHODS) {
    PyErr_SetString(PyExc_ValueError, "unknown method number");
    return NULL;
  }
  if (sum_methods[method].f == NULL && order_arg(args[3], &k) != 0) return NULL;
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
    sum_fn f = sum_methods[method].f;
    int nogil = rows * cols >= SELA_PY_NOGIL_MIN;
    PyThreadState *ts = nogil ? PyEval_SaveThread() : NULL;
    for (Py_ssize_t i = 0; i < rows; i++) {
      const double *row = x + i * cols;
      o[i] = f ? f(row, (uint64_t)cols) : sela_sum_k(row, (uint64_t)cols, k);
    }
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
    FAST(sum_k, "sum_k(x, k)\n--\n\nK-fold cascade of error-free passes (k <= 0 acts as 1)."),
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
    {NULL, NULL, 0, NULL},
};
