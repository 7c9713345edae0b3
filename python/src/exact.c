#include "exact.h"

#include <math.h>
#include <stdint.h>
#include <string.h>

#include "convert.h"
#include "smallfloat.h"

#define RECORD_SIZE ((Py_ssize_t)sizeof(sela_accumulator))

PyObject *sela_py_record_failed(void) {
  PyErr_SetString(PyExc_SystemError, "sela accumulator record failed its check");
  return NULL;
}

int sela_py_count_arg(PyObject *o, uint64_t *count) {
  PyObject *i = PyNumber_Index(o);
  if (i == NULL) return -1;
  int overflow;
  long long small = PyLong_AsLongLongAndOverflow(i, &overflow);
  if (small == -1 && PyErr_Occurred()) {
    Py_DECREF(i);
    return -1;
  }
  if (overflow < 0 || (overflow == 0 && small < 0)) {
    Py_DECREF(i);
    PyErr_SetString(PyExc_ValueError, "count must not be negative");
    return -1;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(i);
  Py_DECREF(i);
  if (v == (unsigned long long)-1 && PyErr_Occurred()) return -1; /* OverflowError */
  *count = (uint64_t)v;
  return 0;
}

/* The interpreter lock is released around long work; the buffers stay held meanwhile. */
static PyThreadState *unlock_if(int cond) { return cond ? PyEval_SaveThread() : NULL; }
static void relock(PyThreadState *ts) {
  if (ts != NULL) PyEval_RestoreThread(ts);
}

/* ---- Sources: a buffer read in blocks, or anything else converted whole ----------- */

typedef struct {
  sela_buffer_input buffer;
  int has_buffer;
  sela_doubles doubles;
  sela_region region;
  double *block; /* allocated when the region is not read in place */
} source;

static void source_release(source *s) {
  if (s->has_buffer) sela_buffer_input_release(&s->buffer);
  s->has_buffer = 0;
  sela_doubles_release(&s->doubles);
  PyMem_Free(s->block);
  s->block = NULL;
}

static int source_get(PyObject *obj, source *s) {
  memset(s, 0, sizeof *s);
  if (sela_is_buffer_input(obj)) {
    if (sela_buffer_input_get(obj, &s->buffer) != 0) return -1;
    s->has_buffer = 1;
    memcpy(&s->region, &s->buffer.region, sizeof s->region);
  } else {
    if (sela_doubles_get(obj, &s->doubles) != 0) return -1;
    sela_region_of_doubles(&s->region, s->doubles.data, s->doubles.n);
  }
  if (!s->region.in_place && (s->block = sela_block_alloc(s->region.n)) == NULL) {
    source_release(s);
    return -1;
  }
  return 0;
}

/* ---- Block loops (no interpreter lock needed) ------------------------------------- */

/* Each returns 0, or -1 if the library refused the record. */

static int add_region(const sela_region *r, sela_accumulator *acc, double *block) {
  int special;
  const int binned = sela_py_add_small_floats(r, acc, block, &special);
  if (binned != 0) return binned < 0 ? -1 : 0;
  sela_blocks b;
  sela_blocks_start(&b, r, block);
  const double *p;
  Py_ssize_t k;
  int rc = 0;
  while (rc == 0 && (k = sela_blocks_next(&b, PY_SSIZE_T_MAX, &p)) > 0)
    rc = sela_accumulator_add(acc, p, (uint64_t)k);
  return rc;
}

/* The squares of the rounded differences x[i] - center, as products d * d: exact but for
 * the product floor (bits below 2^-1075), as sela_dot_exact takes them. */
static int add_squares_region(const sela_region *r, double center, sela_accumulator *acc,
                              double *block, double *d) {
  sela_blocks b;
  sela_blocks_start(&b, r, block);
  const double *p;
  Py_ssize_t k;
  int rc = 0;
  while (rc == 0 && (k = sela_blocks_next(&b, SELA_PY_BLOCK, &p)) > 0) {
    for (Py_ssize_t i = 0; i < k; i++) d[i] = p[i] - center;
    rc = sela_accumulator_add_products(acc, d, d, (uint64_t)k);
  }
  return rc;
}

/* Two regions of equal length in step: the second hands out as many as the first. */
static int add_products_regions(const sela_region *rx, const sela_region *ry, sela_accumulator *acc,
                                double *bx, double *by) {
  sela_blocks x, y;
  sela_blocks_start(&x, rx, bx);
  sela_blocks_start(&y, ry, by);
  const double *px, *py;
  Py_ssize_t k;
  int rc = 0;
  while (rc == 0 && (k = sela_blocks_next(&x, SELA_PY_BLOCK, &px)) > 0) {
    (void)sela_blocks_next(&y, k, &py); /* equal lengths: also k */
    rc = sela_accumulator_add_products(acc, px, py, (uint64_t)k);
  }
  return rc;
}

/* ---- Shared by the module and the Accumulator ------------------------------------- */

int sela_py_accumulate(PyObject *obj, sela_accumulator *acc, Py_ssize_t *count) {
  source s;
  if (source_get(obj, &s) != 0) return -1;
  PyThreadState *ts = unlock_if(s.region.n >= SELA_PY_NOGIL_MIN);
  int rc = add_region(&s.region, acc, s.block);
  relock(ts);
  *count = s.region.n;
  source_release(&s);
  if (rc != 0) {
    sela_py_record_failed();
    return -1;
  }
  return 0;
}

static int get_pair(PyObject *x, PyObject *y, source *sx, source *sy) {
  if (source_get(x, sx) != 0) return -1;
  if (source_get(y, sy) != 0) {
    source_release(sx);
    return -1;
  }
  if (sx->region.n != sy->region.n) {
    PyErr_Format(PyExc_ValueError, "x and y have different lengths (%zd and %zd)", sx->region.n,
                 sy->region.n);
    source_release(sx);
    source_release(sy);
    return -1;
  }
  return 0;
}

int sela_py_accumulate_products(PyObject *x, PyObject *y, sela_accumulator *acc) {
  source sx, sy;
  if (get_pair(x, y, &sx, &sy) != 0) return -1;
  PyThreadState *ts = unlock_if(sx.region.n >= SELA_PY_NOGIL_MIN);
  int rc = add_products_regions(&sx.region, &sy.region, acc, sx.block, sy.block);
  relock(ts);
  source_release(&sx);
  source_release(&sy);
  if (rc != 0) {
    sela_py_record_failed();
    return -1;
  }
  return 0;
}

/* ---- Module functions --------------------------------------------------------------- */

static PyObject *py_sum_exact(PyObject *m, PyObject *x) {
  (void)m;
  source s;
  if (source_get(x, &s) != 0) return NULL;
  double r;
  int rc = 0;
  PyThreadState *ts = unlock_if(s.region.n >= SELA_PY_NOGIL_MIN);
  if (s.region.in_place) {
    r = sela_sum_exact((const double *)s.region.base, (uint64_t)s.region.n);
  } else {
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    rc = add_region(&s.region, &acc, s.block);
    r = sela_accumulator_round(&acc);
  }
  relock(ts);
  source_release(&s);
  if (rc != 0) return sela_py_record_failed();
  return PyFloat_FromDouble(r);
}

static PyObject *py_dot_exact(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "dot_exact() takes exactly 2 arguments (%zd given)", nargs);
    return NULL;
  }
  source sx, sy;
  if (get_pair(args[0], args[1], &sx, &sy) != 0) return NULL;
  double r;
  int rc = 0;
  PyThreadState *ts = unlock_if(sx.region.n >= SELA_PY_NOGIL_MIN);
  if (sx.region.in_place && sy.region.in_place) {
    r = sela_dot_exact((const double *)sx.region.base, (const double *)sy.region.base,
                       (uint64_t)sx.region.n);
  } else {
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    rc = add_products_regions(&sx.region, &sy.region, &acc, sx.block, sy.block);
    r = sela_accumulator_round(&acc);
  }
  relock(ts);
  source_release(&sx);
  source_release(&sy);
  if (rc != 0) return sela_py_record_failed();
  return PyFloat_FromDouble(r);
}

/* _mean(x) -> (mean, n): the exact sum divided by n, rounded once; nan for n = 0. */
static PyObject *py_mean(PyObject *m, PyObject *x) {
  (void)m;
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  Py_ssize_t n;
  if (sela_py_accumulate(x, &acc, &n) != 0) return NULL;
  return Py_BuildValue("(dn)", sela_accumulator_round_divided(&acc, (uint64_t)n), n);
}

/* The variance from the exact sum of squares, divided by n - ddof; numpy's values where
 * n - ddof <= 0 (the squares over zero: inf, or nan when they are zero). */
static double variance_of(const sela_accumulator *squares, Py_ssize_t n, long long ddof) {
  /* n - ddof in unsigned arithmetic: below 2^64 for any ddof of 64 bits. */
  if (ddof < n) return sela_accumulator_round_divided(squares, (uint64_t)n - (uint64_t)ddof);
  double s = sela_accumulator_round(squares);
  return s > 0.0 ? INFINITY : NAN;
}

/* _var(x, ddof) -> (variance, n): m the exact mean rounded once, the exact sum of the
 * squares of the rounded differences x[i] - m divided by n - ddof, rounded once. */
static PyObject *py_var(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_var(x, ddof)");
    return NULL;
  }
  long long ddof = PyLong_AsLongLong(args[1]);
  if (ddof == -1 && PyErr_Occurred()) return NULL;
  source s;
  if (source_get(args[0], &s) != 0) return NULL;
  Py_ssize_t n = s.region.n;
  double *d = n > 0 ? sela_block_alloc(n) : NULL;
  if (n > 0 && d == NULL) {
    source_release(&s);
    return NULL;
  }
  double result = NAN;
  int rc = 0;
  if (n > 0) {
    PyThreadState *ts = unlock_if(n >= SELA_PY_NOGIL_MIN);
    sela_accumulator acc, squares;
    sela_accumulator_init(&acc);
    sela_accumulator_init(&squares);
    rc = add_region(&s.region, &acc, s.block);
    if (rc == 0) {
      const double mean = sela_accumulator_round_divided(&acc, (uint64_t)n);
      rc = add_squares_region(&s.region, mean, &squares, s.block, d);
      result = variance_of(&squares, n, ddof);
    }
    relock(ts);
  }
  PyMem_Free(d);
  source_release(&s);
  if (rc != 0) return sela_py_record_failed();
  return Py_BuildValue("(dn)", result, n);
}

/* ---- Rows of an n-dimensional array (the axis reductions) -------------------------- */

/* A writable C-contiguous buffer of `count` items of `size` bytes. */
static int out_buffer(PyObject *o, Py_buffer *v, Py_ssize_t count, Py_ssize_t size, const char *what) {
  if (PyObject_GetBuffer(o, v, PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE) != 0) return -1;
  if (v->len != count * size) {
    PyErr_Format(PyExc_ValueError, "%s needs room for %zd items of %zd bytes", what, count, size);
    PyBuffer_Release(v);
    return -1;
  }
  return 0;
}

/* Records in a C-contiguous buffer, a whole number of them; their count in *count. */
static int records_in(PyObject *o, Py_buffer *v, Py_ssize_t *count) {
  if (PyObject_GetBuffer(o, v, PyBUF_C_CONTIGUOUS) != 0) return -1;
  if (v->len % RECORD_SIZE != 0) {
    PyErr_SetString(PyExc_ValueError, "not a whole number of sela Accumulator records");
    PyBuffer_Release(v);
    return -1;
  }
  *count = v->len / RECORD_SIZE;
  return 0;
}

static PyObject *invalid_records(void) {
  PyErr_SetString(PyExc_ValueError, "not the bytes of a sela Accumulator");
  return NULL;
}

/* Rows of an array whose first nkept dimensions number them in C order: the byte offset
 * of the row at multi-index idx, and the step to the next row's multi-index. */
static Py_ssize_t row_offset(const Py_ssize_t *idx, const Py_ssize_t *strides, Py_ssize_t nkept) {
  Py_ssize_t offset = 0;
  for (Py_ssize_t k = 0; k < nkept; k++) offset += idx[k] * strides[k];
  return offset;
}

static void next_row(Py_ssize_t *idx, const Py_ssize_t *shape, Py_ssize_t nkept) {
  for (Py_ssize_t k = nkept - 1; k >= 0 && ++idx[k] == shape[k]; k--) idx[k] = 0;
}

/* _reduce_rows(src, nkept, out, divisor, centers): the array src (any real dtype and
 * layout) as rows: its first nkept dimensions number the rows (C order), the others
 * hold each row's elements. Each row's elements, or the squares of their rounded
 * differences from centers[row] when centers (float64, one per row) is given, are added
 * to a fresh accumulator. out receives one float64 per row (the record rounded, or
 * divided by divisor when it is not 0) or, when it has room for one record per row, the
 * records themselves. */
static PyObject *py_reduce_rows(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 5) {
    PyErr_SetString(PyExc_TypeError, "_reduce_rows(src, nkept, out, divisor, centers)");
    return NULL;
  }
  Py_ssize_t nkept = PyLong_AsSsize_t(args[1]);
  if (nkept == -1 && PyErr_Occurred()) return NULL;
  uint64_t divisor;
  if (sela_py_count_arg(args[3], &divisor) != 0) return NULL;
  sela_buffer_input in;
  if (sela_buffer_input_get(args[0], &in) != 0) return NULL;
  const Py_buffer *v = &in.view;
  PyObject *result = NULL;
  Py_buffer out = {0}, centers = {0};
  double *block = NULL, *d = NULL;
  const double *center = NULL;
  Py_ssize_t rows = 1;
  int to_records;
  if (nkept < 0 || nkept > v->ndim) {
    PyErr_SetString(PyExc_ValueError, "_reduce_rows: nkept out of range");
    goto done;
  }
  for (Py_ssize_t k = 0; k < nkept; k++) rows *= v->shape[k];
  {
    Py_buffer probe;
    if (PyObject_GetBuffer(args[2], &probe, PyBUF_SIMPLE) != 0) goto done;
    to_records = rows > 0 && probe.len == rows * RECORD_SIZE;
    PyBuffer_Release(&probe);
  }
  if (out_buffer(args[2], &out, rows, to_records ? RECORD_SIZE : (Py_ssize_t)sizeof(double),
                 "_reduce_rows: out") != 0)
    goto done;
  if (args[4] != Py_None) {
    if (PyObject_GetBuffer(args[4], &centers, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) goto done;
    if (centers.len != rows * (Py_ssize_t)sizeof(double) ||
        !sela_format_is_native_double(centers.format, centers.itemsize)) {
      PyErr_SetString(PyExc_ValueError, "_reduce_rows: centers must be one float64 per row");
      goto done;
    }
    center = centers.buf;
  }
  {
    /* Every row has the same number of elements. */
    Py_ssize_t cols = 1;
    for (int k = (int)nkept; k < v->ndim; k++) cols *= v->shape[k];
    if ((block = sela_block_alloc(cols)) == NULL) goto done;
    if (center != NULL && (d = sela_block_alloc(cols)) == NULL) goto done;
  }
  {
    const int rdim = v->ndim - (int)nkept;
    Py_ssize_t cols = 1;
    for (int k = 0; k < rdim; k++) cols *= v->shape[nkept + k];
    Py_ssize_t idx[64] = {0};
    int rc = 0;
    PyThreadState *ts = unlock_if(rows * cols >= SELA_PY_NOGIL_MIN);
    for (Py_ssize_t row = 0; row < rows && rc == 0; row++) {
      const char *base = (const char *)v->buf + row_offset(idx, v->strides, nkept);
      sela_region r;
      sela_region_init(&r, base, rdim, v->shape + nkept, v->strides + nkept, v->itemsize,
                       in.region.convert);
      sela_accumulator acc;
      sela_accumulator_init(&acc);
      rc = center ? add_squares_region(&r, center[row], &acc, block, d) : add_region(&r, &acc, block);
      if (to_records) {
        memcpy((char *)out.buf + row * RECORD_SIZE, &acc, sizeof acc);
      } else {
        ((double *)out.buf)[row] = divisor ? sela_accumulator_round_divided(&acc, divisor)
                                           : sela_accumulator_round(&acc);
      }
      next_row(idx, v->shape, nkept);
    }
    relock(ts);
    if (rc != 0) {
      sela_py_record_failed();
      goto done;
    }
  }
  Py_INCREF(Py_None);
  result = Py_None;
done:
  PyMem_Free(block);
  PyMem_Free(d);
  if (out.obj) PyBuffer_Release(&out);
  if (centers.obj) PyBuffer_Release(&centers);
  sela_buffer_input_release(&in);
  return result;
}

/* _merge_rows(src, k, out): src holds rows * k records, row after row; out receives each
 * row's k records merged into one. */
static PyObject *py_merge_rows(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_merge_rows(src, k, out)");
    return NULL;
  }
  Py_ssize_t k = PyLong_AsSsize_t(args[1]);
  if (k == -1 && PyErr_Occurred()) return NULL;
  Py_buffer src, out;
  Py_ssize_t count;
  if (records_in(args[0], &src, &count) != 0) return NULL;
  if (k <= 0 || count % k != 0) {
    PyBuffer_Release(&src);
    PyErr_SetString(PyExc_ValueError, "_merge_rows: k must divide the records");
    return NULL;
  }
  Py_ssize_t rows = count / k;
  if (out_buffer(args[2], &out, rows, RECORD_SIZE, "_merge_rows: out") != 0) {
    PyBuffer_Release(&src);
    return NULL;
  }
  int rc = 0;
  for (Py_ssize_t row = 0; row < rows && rc == 0; row++) {
    sela_accumulator acc, part;
    sela_accumulator_init(&acc);
    for (Py_ssize_t j = 0; j < k && rc == 0; j++) {
      memcpy(&part, (const char *)src.buf + (row * k + j) * RECORD_SIZE, sizeof part);
      rc = sela_accumulator_merge(&acc, &part);
    }
    memcpy((char *)out.buf + row * RECORD_SIZE, &acc, sizeof acc);
  }
  PyBuffer_Release(&src);
  PyBuffer_Release(&out);
  if (rc != 0) return invalid_records();
  Py_RETURN_NONE;
}

/* _merge_into(dst, src): dst[i] += src[i] for records of equal count. */
static PyObject *py_merge_into(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "_merge_into(dst, src)");
    return NULL;
  }
  Py_buffer src, dst;
  Py_ssize_t count;
  if (records_in(args[1], &src, &count) != 0) return NULL;
  if (out_buffer(args[0], &dst, count, RECORD_SIZE, "_merge_into: dst") != 0) {
    PyBuffer_Release(&src);
    return NULL;
  }
  int rc = 0;
  for (Py_ssize_t i = 0; i < count && rc == 0; i++) {
    sela_accumulator acc, part;
    memcpy(&acc, (const char *)dst.buf + i * RECORD_SIZE, sizeof acc);
    memcpy(&part, (const char *)src.buf + i * RECORD_SIZE, sizeof part);
    rc = sela_accumulator_merge(&acc, &part);
    if (rc == 0) memcpy((char *)dst.buf + i * RECORD_SIZE, &acc, sizeof acc);
  }
  PyBuffer_Release(&src);
  PyBuffer_Release(&dst);
  if (rc != 0) return invalid_records();
  Py_RETURN_NONE;
}

/* _round_records(src, out, divisor): out[i] = record i rounded, or divided by divisor
 * when it is not 0. */
static PyObject *py_round_records(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 3) {
    PyErr_SetString(PyExc_TypeError, "_round_records(src, out, divisor)");
    return NULL;
  }
  uint64_t divisor;
  if (sela_py_count_arg(args[2], &divisor) != 0) return NULL;
  Py_buffer src, out;
  Py_ssize_t count;
  if (records_in(args[0], &src, &count) != 0) return NULL;
  if (out_buffer(args[1], &out, count, (Py_ssize_t)sizeof(double), "_round_records: out") != 0) {
    PyBuffer_Release(&src);
    return NULL;
  }
  int bad = 0;
  for (Py_ssize_t i = 0; i < count && !bad; i++) {
    sela_accumulator acc;
    memcpy(&acc, (const char *)src.buf + i * RECORD_SIZE, sizeof acc);
    /* Adding nothing checks the record. */
    bad = sela_accumulator_add(&acc, NULL, 0) != 0;
    ((double *)out.buf)[i] =
        divisor ? sela_accumulator_round_divided(&acc, divisor) : sela_accumulator_round(&acc);
  }
  PyBuffer_Release(&src);
  PyBuffer_Release(&out);
  if (bad) return invalid_records();
  Py_RETURN_NONE;
}

/* ---- Running sums ------------------------------------------------------------------ */

/* The running sums of a region's elements continued from *acc, into out: r->n doubles
 * `step` bytes apart, written through the staging block when they are not a contiguous
 * array of doubles. 0, or -1 if the library refused the record. */
static int cumsum_region(const sela_region *r, sela_accumulator *acc, char *out, Py_ssize_t step,
                         double *block, double *staging) {
  const int contiguous = step == (Py_ssize_t)sizeof(double) && (uintptr_t)out % _Alignof(double) == 0;
  sela_blocks b;
  sela_blocks_start(&b, r, block);
  const double *p;
  Py_ssize_t k;
  while ((k = sela_blocks_next(&b, SELA_PY_BLOCK, &p)) > 0) {
    double *sums = contiguous ? (double *)out : staging;
    if (sela_accumulator_cumsum(acc, p, sums, (uint64_t)k) != 0) return -1;
    if (!contiguous)
      for (Py_ssize_t i = 0; i < k; i++) memcpy(out + i * step, &staging[i], sizeof(double));
    out += k * step;
  }
  return 0;
}

/* _cumsum_rows(src, nkept, out, starts): the running exact sums of the rows of src (any
 * real dtype and layout; its first nkept dimensions number the rows in C order, the
 * others hold each row's elements in C order) into out, a float64 array of any strides
 * shaped src.shape[:nkept] + (elements per row,). Each row continues from its record in
 * starts (one record per row, C-contiguous) or, when starts is None, starts from zero. */
static PyObject *py_cumsum_rows(PyObject *m, PyObject *const *args, Py_ssize_t nargs) {
  (void)m;
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "_cumsum_rows(src, nkept, out, starts)");
    return NULL;
  }
  Py_ssize_t nkept = PyLong_AsSsize_t(args[1]);
  if (nkept == -1 && PyErr_Occurred()) return NULL;
  sela_buffer_input in;
  if (sela_buffer_input_get(args[0], &in) != 0) return NULL;
  const Py_buffer *v = &in.view;
  PyObject *result = NULL;
  Py_buffer out = {0}, starts = {0};
  double *block = NULL, *staging = NULL;
  Py_ssize_t rows = 1, cols = 1, nstarts = 0;
  int shaped;
  if (nkept < 0 || nkept > v->ndim) {
    PyErr_SetString(PyExc_ValueError, "_cumsum_rows: nkept out of range");
    goto done;
  }
  for (Py_ssize_t k = 0; k < nkept; k++) rows *= v->shape[k];
  for (int k = (int)nkept; k < v->ndim; k++) cols *= v->shape[k];
  if (PyObject_GetBuffer(args[2], &out, PyBUF_RECORDS) != 0) goto done;
  shaped = sela_format_is_native_double(out.format, out.itemsize) && out.ndim == nkept + 1 &&
           out.shape[nkept] == cols;
  for (Py_ssize_t k = 0; shaped && k < nkept; k++) shaped = out.shape[k] == v->shape[k];
  if (!shaped) {
    PyErr_SetString(PyExc_ValueError, "_cumsum_rows: out must be float64 shaped as the rows");
    goto done;
  }
  if (args[3] != Py_None) {
    if (records_in(args[3], &starts, &nstarts) != 0) goto done;
    if (nstarts != rows) {
      PyErr_SetString(PyExc_ValueError, "_cumsum_rows: starts must hold one record per row");
      goto done;
    }
  }
  if (rows * cols > 0) {
    if ((block = sela_block_alloc(cols)) == NULL || (staging = sela_block_alloc(cols)) == NULL) goto done;
    const Py_ssize_t step = out.strides[nkept];
    Py_ssize_t idx[64] = {0};
    int rc = 0;
    PyThreadState *ts = unlock_if(rows * cols >= SELA_PY_NOGIL_MIN);
    for (Py_ssize_t row = 0; row < rows && rc == 0; row++) {
      sela_region r;
      sela_region_init(&r, (const char *)v->buf + row_offset(idx, v->strides, nkept), v->ndim - (int)nkept,
                       v->shape + nkept, v->strides + nkept, v->itemsize, in.region.convert);
      char *o = (char *)out.buf + row_offset(idx, out.strides, nkept);
      sela_accumulator acc;
      if (nstarts > 0) {
        memcpy(&acc, (const char *)starts.buf + row * RECORD_SIZE, sizeof acc);
      } else {
        sela_accumulator_init(&acc);
      }
      if (nstarts == 0 && r.in_place && step == (Py_ssize_t)sizeof(double) &&
          (uintptr_t)o % _Alignof(double) == 0) {
        /* The whole row in one call, which need not keep its total. */
        sela_cumsum_exact((const double *)r.base, (double *)o, (uint64_t)r.n);
      } else {
        rc = cumsum_region(&r, &acc, o, step, block, staging);
      }
      next_row(idx, v->shape, nkept);
    }
    relock(ts);
    if (rc != 0) {
      invalid_records();
      goto done;
    }
  }
  Py_INCREF(Py_None);
  result = Py_None;
done:
  PyMem_Free(block);
  PyMem_Free(staging);
  if (out.obj) PyBuffer_Release(&out);
  if (starts.obj) PyBuffer_Release(&starts);
  sela_buffer_input_release(&in);
  return result;
}

/* _cumsum_list(x) -> list of floats: the running exact sums of anything the functions
 * read, for interpreters without numpy. */
static PyObject *py_cumsum_list(PyObject *m, PyObject *x) {
  (void)m;
  sela_doubles d;
  if (sela_doubles_get(x, &d) != 0) return NULL;
  const Py_ssize_t n = d.n;
  double *sums = n > 0 ? PyMem_New(double, (size_t)n) : NULL;
  if (n > 0 && sums == NULL) {
    sela_doubles_release(&d);
    return PyErr_NoMemory();
  }
  PyThreadState *ts = unlock_if(n >= SELA_PY_NOGIL_MIN);
  sela_cumsum_exact(d.data, sums, (uint64_t)n);
  relock(ts);
  sela_doubles_release(&d);
  PyObject *list = PyList_New(n);
  for (Py_ssize_t i = 0; list != NULL && i < n; i++) {
    PyObject *f = PyFloat_FromDouble(sums[i]);
    if (f == NULL) {
      Py_CLEAR(list);
      break;
    }
    PyList_SET_ITEM(list, i, f);
  }
  PyMem_Free(sums);
  return list;
}

#define ONE(name, fn, doc) {name, (PyCFunction)fn, METH_O, doc}
#define FAST(name, fn, doc) {name, (PyCFunction)(void (*)(void))fn, METH_FASTCALL, doc}

PyMethodDef sela_py_exact_functions[] = {
    ONE("sum_exact", py_sum_exact,
        "sum_exact(x)\n--\n\nThe exact sum, correctly rounded (nearest, ties to even)."),
    FAST("dot_exact", py_dot_exact, "dot_exact(x, y)\n--\n\nThe exact dot product rounded once."),
    ONE("_mean", py_mean, NULL),
    FAST("_var", py_var, NULL),
    FAST("_reduce_rows", py_reduce_rows, NULL),
    FAST("_merge_rows", py_merge_rows, NULL),
    FAST("_merge_into", py_merge_into, NULL),
    FAST("_round_records", py_round_records, NULL),
    FAST("_cumsum_rows", py_cumsum_rows, NULL),
    ONE("_cumsum_list", py_cumsum_list, NULL),
    {NULL, NULL, 0, NULL},
};
