#include "fsum.h"

#include <math.h>
#include <string.h>

#include "convert.h"
#include "exact.h"
#include "smallfloat.h"
#include "sela.h"

/* fsum is math.fsum's drop-in: the same value wherever math.fsum returns one, the same
 * exception wherever it raises. math.fsum adds each item into Shewchuk's partials; it
 * raises OverflowError when one of their additions overflows (which depends on the order
 * of the items, not only on the exact sum) and ValueError at the end when +inf and -inf
 * were both added. Its value otherwise is the exact sum correctly rounded, which the
 * library's accumulator gives several times faster.
 *
 * So fsum adds into the accumulator while no partial addition can overflow, and runs
 * math.fsum's own steps (the partials below) from the first chunk where one might. The
 * test: each intermediate sum of the partials is an exact sum of some of the items and of
 * the errors of earlier additions, and every addition replaces two terms by their rounded
 * sum and its exact error, which together exceed the two in magnitude by at most 2u of
 * them; summed over the terms, the magnitudes stay below T (1 + 2u)^m for T = sum |x| and
 * m additions. With T < 2^1021 and m < 2^50, every intermediate sum stays far below the
 * overflow threshold 2^1024 - 2^970, and no item is a NaN or infinity. T is bounded per
 * chunk by its length times its largest magnitude. */
#define FSUM_SAFE_BOUND 0x1p1021

/* ---- math.fsum's steps ----------------------------------------------------------------- */

/* Non-overlapping partials in increasing magnitude, plus the sums of the special values,
 * exactly as math.fsum keeps them. No interpreter lock is needed. */
typedef struct {
  double *p;
  Py_ssize_t n, cap;
  double special_sum, inf_sum;
  double small[32];
} partials;

enum { PARTIALS_OK = 0, PARTIALS_OVERFLOW = 1, PARTIALS_NO_MEMORY = 2 };

static void partials_begin(partials *ps) {
  ps->p = ps->small;
  ps->n = 0;
  ps->cap = 32;
  ps->special_sum = 0.0;
  ps->inf_sum = 0.0;
}

static void partials_end(partials *ps) {
  if (ps->p != ps->small) PyMem_RawFree(ps->p);
}

static int partials_push(partials *ps, double x) {
  if (ps->n == ps->cap) {
    Py_ssize_t cap = 2 * ps->cap;
    double *q = ps->p == ps->small ? PyMem_RawMalloc((size_t)cap * sizeof(double))
                                   : PyMem_RawRealloc(ps->p, (size_t)cap * sizeof(double));
    if (q == NULL) return PARTIALS_NO_MEMORY;
    if (ps->p == ps->small) memcpy(q, ps->small, sizeof ps->small);
    ps->p = q;
    ps->cap = cap;
  }
  ps->p[ps->n++] = x;
  return PARTIALS_OK;
}

/* One item. Each partial in turn is added to x with its exact error (TwoSum with the
 * larger magnitude first); the non-zero errors become the new partials, the running sum
 * the top one. A non-finite running sum from finite items is math.fsum's overflow; a NaN
 * or infinity item goes to the special sums and clears the partials. */
static int partials_add(partials *ps, double x) {
  const double xsave = x;
  Py_ssize_t i = 0;
  for (Py_ssize_t j = 0; j < ps->n; j++) {
    double y = ps->p[j];
    if (fabs(x) < fabs(y)) {
      double t = x;
      x = y;
      y = t;
    }
    const double hi = x + y;
    const double lo = y - (hi - x);
    if (lo != 0.0) ps->p[i++] = lo;
    x = hi;
  }
  ps->n = i;
  if (x != 0.0) {
    if (!isfinite(x)) {
      if (isfinite(xsave)) return PARTIALS_OVERFLOW;
      if (isinf(xsave)) ps->inf_sum += xsave;
      ps->special_sum += xsave;
      ps->n = 0;
    } else {
      return partials_push(ps, x);
    }
  }
  return PARTIALS_OK;
}

/* The partials summed from the top down until a rounding error appears, then corrected
 * for round-half-even: when the error is exactly half an ulp and the next partial lies on
 * the same side, the sum rounds away. */
static PyObject *partials_result(const partials *ps) {
  if (ps->special_sum != 0.0) {
    if (isnan(ps->inf_sum)) {
      PyErr_SetString(PyExc_ValueError, "-inf + inf in fsum");
      return NULL;
    }
    return PyFloat_FromDouble(ps->special_sum);
  }
  Py_ssize_t n = ps->n;
  double hi = 0.0;
  if (n > 0) {
    double lo = 0.0;
    hi = ps->p[--n];
    while (n > 0) {
      const double x = hi;
      const double y = ps->p[--n];
      hi = x + y;
      lo = y - (hi - x);
      if (lo != 0.0) break;
    }
    if (n > 0 && ((lo < 0.0 && ps->p[n - 1] < 0.0) || (lo > 0.0 && ps->p[n - 1] > 0.0))) {
      const double y = lo * 2.0;
      const double x = hi + y;
      if (y == x - hi) hi = x;
    }
  }
  return PyFloat_FromDouble(hi);
}

static int partials_error(int status) {
  if (status == PARTIALS_OVERFLOW) PyErr_SetString(PyExc_OverflowError, "intermediate overflow in fsum");
  else PyErr_NoMemory();
  return -1;
}

/* ---- The fast route and its test --------------------------------------------------------- */

/* An upper bound on sum |x[i]|, or +inf when some x[i] is a NaN or an infinity: n times
 * the largest magnitude. The loop is written so that it compiles to vector maxima. */
static double magnitude_bound(const double *x, Py_ssize_t n) {
  double top = 0.0;
  int special = 0;
  for (Py_ssize_t i = 0; i < n; i++) {
    const double a = fabs(x[i]);
    top = a > top ? a : top;
    special |= !(a <= 0x1.fffffffffffffp1023); /* an infinity or a NaN */
  }
  return special ? INFINITY : (double)n * top;
}

/* The correctly rounded sum of one short array, by whichever exact method costs least at
 * its length: one addition for two items (rounded once, so already correctly rounded),
 * Shewchuk's partials up to eight, NearSum beyond. An exact zero is +0.0, as math.fsum
 * gives it. Only for finite items whose sum cannot overflow. */
static double short_sum(const double *x, Py_ssize_t n) {
  double r;
  if (n <= 2) {
    r = n == 0 ? 0.0 : n == 1 ? x[0] : x[0] + x[1];
  } else if (n <= 8) {
    r = sela_sum_shewchuk(x, (uint64_t)n);
  } else {
    r = sela_sum_near(x, (uint64_t)n);
  }
  return r == 0.0 ? 0.0 : r;
}

/* The partials math.fsum would hold after items whose exact sum the accumulator holds, for
 * items that never came near an overflow: the sum's non-overlapping expansion, each term
 * the nearest double to what the terms above it leave. math.fsum's own partials hold the
 * same value; they may split it differently, which matters only where a later addition
 * lands exactly on the overflow threshold. */
static int partials_from_accumulator(partials *ps, const sela_accumulator *acc) {
  sela_accumulator rest;
  memcpy(&rest, acc, sizeof rest);
  double terms[64];
  int k = 0;
  for (double t = sela_accumulator_round(&rest); t != 0.0 && k < 64; t = sela_accumulator_round(&rest)) {
    terms[k++] = t;
    const double minus = -t;
    if (sela_accumulator_add(&rest, &minus, 1) != 0) return -1;
  }
  for (int j = k - 1; j >= 0; j--) {
    if (partials_push(ps, terms[j]) != PARTIALS_OK) return PARTIALS_NO_MEMORY;
  }
  return 0;
}

/* ---- Iterables: items converted into chunks ------------------------------------------------ */

#define FSUM_SMALL 256
#define FSUM_CHUNK 16384

/* The chunk starts on the stack and moves to the heap when it fills, since the accumulator
 * adds long arrays several times faster per element than short ones. The interpreter
 * lock stays held: a chunk's add takes about ten microseconds, less than handing the lock
 * to another thread and winning it back. */
typedef struct {
  sela_accumulator acc;
  int started;    /* the accumulator holds the chunks so far */
  int emulating;  /* the partials hold everything so far */
  double bound;   /* sum |x| of what the accumulator holds is at most this */
  partials ps;
  Py_ssize_t fill, cap;
  double *chunk; /* small, or a heap array of FSUM_CHUNK */
  double small[FSUM_SMALL];
} fsum_state;

static void fsum_begin(fsum_state *st) {
  st->started = 0;
  st->emulating = 0;
  st->bound = 0.0;
  partials_begin(&st->ps);
  st->fill = 0;
  st->cap = FSUM_SMALL;
  st->chunk = st->small;
}

static void fsum_end(fsum_state *st) {
  if (st->chunk != st->small) PyMem_Free(st->chunk);
  partials_end(&st->ps);
}

/* Whether the chunk may join the accumulator; false when some partial addition of
 * math.fsum might overflow from here on, or a NaN or infinity came. */
static int chunk_is_safe(fsum_state *st, const double *x, Py_ssize_t n) {
  const double b = magnitude_bound(x, n);
  if (!(st->bound + b < FSUM_SAFE_BOUND)) return 0;
  st->bound += b;
  return 1;
}

/* The items of the chunk through the partials; -1 with the exception set. */
static int emulate(partials *ps, const double *x, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n; i++) {
    int status = partials_add(ps, x[i]);
    if (status != PARTIALS_OK) return partials_error(status);
  }
  return 0;
}

/* Takes the filled part of the chunk. `replay` (or NULL) seeds the partials, on the first
 * chunk that is not safe, with every item before the chunk; without it the partials start
 * from the accumulator's value. 0, or -1 with an exception set. */
typedef int (*replay_fn)(partials *ps, void *ctx);

static int take_chunk(fsum_state *st, replay_fn replay, void *ctx, int final) {
  const double *x = st->chunk;
  const Py_ssize_t n = st->fill;
  st->fill = 0;
  if (!st->emulating) {
    if (chunk_is_safe(st, x, n)) {
      /* The last chunk of a short iterable is summed on its own, at less cost. */
      if (final && !st->started) {
        st->fill = n;
        return 0;
      }
      if (!st->started) {
        sela_accumulator_init(&st->acc);
        st->started = 1;
      }
      if (sela_accumulator_add(&st->acc, x, (uint64_t)n) != 0) {
        sela_py_record_failed();
        return -1;
      }
      return 0;
    }
    st->emulating = 1;
    int rc = replay != NULL ? replay(&st->ps, ctx)
                            : st->started ? partials_from_accumulator(&st->ps, &st->acc) : 0;
    if (rc != 0) return rc == PARTIALS_NO_MEMORY ? partials_error(rc) : (sela_py_record_failed(), -1);
  }
  return emulate(&st->ps, x, n);
}

/* Stores the next item; 0, or -1 with an exception set. */
static int fsum_push(fsum_state *st, double x, replay_fn replay, void *ctx) {
  st->chunk[st->fill] = x;
  if (++st->fill < st->cap) return 0;
  if (st->chunk == st->small) {
    double *big = PyMem_Malloc(FSUM_CHUNK * sizeof(double));
    if (big != NULL) { /* without it the small chunk serves, only slower */
      memcpy(big, st->small, sizeof st->small);
      st->chunk = big;
      st->cap = FSUM_CHUNK;
      return 0;
    }
  }
  return take_chunk(st, replay, ctx, 0);
}

static PyObject *fsum_result(fsum_state *st, replay_fn replay, void *ctx) {
  if (take_chunk(st, replay, ctx, 1) != 0) return NULL;
  if (st->emulating) return partials_result(&st->ps);
  if (!st->started) return PyFloat_FromDouble(short_sum(st->chunk, st->fill));
  return PyFloat_FromDouble(sela_accumulator_round(&st->acc));
}

/* An item failed to convert, or the iterator raised: math.fsum would have raised an
 * OverflowError first if one of the items before it overflowed the partials. */
static PyObject *fsum_failed(fsum_state *st, replay_fn replay, void *ctx) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (take_chunk(st, replay, ctx, 0) != 0) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
  } else {
    PyErr_Restore(type, value, tb);
  }
  return NULL;
}

/* Items of a list are read again from the start when the partials must take over, if
 * converting them ran no Python code (floats and ints): then neither the list nor the
 * items can have changed, and the partials are math.fsum's own. */
typedef struct {
  PyObject *list;
  Py_ssize_t upto; /* the items before the current chunk */
  int pure;
} list_replay;

static int replay_list(partials *ps, void *ctx) {
  const list_replay *lr = ctx;
  for (Py_ssize_t i = 0; i < lr->upto; i++) {
    double x = 0.0;
    (void)sela_item_as_double(PyList_GET_ITEM(lr->list, i), &x); /* cannot fail: done before */
    int status = partials_add(ps, x);
    if (status != PARTIALS_OK) return status;
  }
  return 0;
}

static PyObject *fsum_list(fsum_state *st, PyObject *list) {
  list_replay lr = {list, 0, 1};
  /* The length is read again each step: __float__ of an item may edit the list. */
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    /* The float objects lie anywhere in memory: ask for one a few items ahead. */
    if (i + 16 < PyList_GET_SIZE(list)) __builtin_prefetch(PyList_GET_ITEM(list, i + 16));
    PyObject *item = PyList_GET_ITEM(list, i);
    lr.pure = lr.pure && (PyFloat_Check(item) || PyLong_CheckExact(item));
    lr.upto = i - st->fill;
    replay_fn replay = lr.pure ? replay_list : NULL;
    double x;
    if (sela_list_item_as_double(list, i, &x) != 0) return fsum_failed(st, replay, &lr);
    if (fsum_push(st, x, replay, &lr) != 0) return NULL;
  }
  lr.upto = PyList_GET_SIZE(list) - st->fill;
  return fsum_result(st, lr.pure && lr.upto >= 0 ? replay_list : NULL, &lr);
}

static PyObject *fsum_iterator(fsum_state *st, PyObject *iterable) {
  PyObject *it = PyObject_GetIter(iterable);
  if (it == NULL) return NULL;
  PyObject *item;
  while ((item = PyIter_Next(it)) != NULL) {
    double x;
    int rc = sela_item_as_double(item, &x);
    Py_DECREF(item);
    if (rc != 0) break;
    if (fsum_push(st, x, NULL, NULL) != 0) {
      Py_DECREF(it);
      return NULL;
    }
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return fsum_failed(st, NULL, NULL);
  return fsum_result(st, NULL, NULL);
}

/* ---- Buffers: one-dimensional arrays of real numbers --------------------------------------- */

/* Iterating such a buffer yields its elements converted as float() converts them, which
 * is how they are read here; it is read in blocks with the interpreter lock released. The
 * blocks join the accumulator while they are safe; if one is not, the whole buffer is
 * read again through math.fsum's partials from the start, as math.fsum reads it. */
static PyObject *fsum_buffer(const sela_region *region) {
  double *block = region->in_place ? NULL : sela_block_alloc(region->n);
  if (!region->in_place && block == NULL) return NULL;
  const int nogil = region->n >= SELA_PY_NOGIL_MIN;
  PyThreadState *ts = nogil ? PyEval_SaveThread() : NULL;
  sela_blocks b;
  const double *x;
  Py_ssize_t k;
  double bound = 0.0, r = 0.0;
  int safe = 1, failed = 0, status = PARTIALS_OK;
  int swapped;
  if (sela_region_small_float(region, &swapped)) {
    /* binary32 and binary16 values cannot come near an overflow in fewer than 2^800
     * items: only a NaN or an infinity sends them through the partials. */
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    int special = 0;
    failed = sela_py_add_small_floats(region, &acc, block, &special) < 0;
    safe = !special;
    r = sela_accumulator_round(&acc);
  } else if (region->in_place && region->n <= 4 * SELA_PY_BLOCK) {
    /* Short enough to stay in the caches: test everything first, then sum it whole. */
    sela_blocks_start(&b, region, NULL);
    while (safe && (k = sela_blocks_next(&b, SELA_PY_BLOCK, &x)) > 0) {
      bound += magnitude_bound(x, k);
      safe = bound < FSUM_SAFE_BOUND;
    }
    if (safe) r = sela_sum_exact((const double *)region->base, (uint64_t)region->n);
  } else {
    /* Each block is tested, then added while it is still in the caches. */
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    sela_blocks_start(&b, region, block);
    while (safe && !failed && (k = sela_blocks_next(&b, SELA_PY_BLOCK, &x)) > 0) {
      bound += magnitude_bound(x, k);
      safe = bound < FSUM_SAFE_BOUND;
      if (safe) failed = sela_accumulator_add(&acc, x, (uint64_t)k) != 0;
    }
    r = sela_accumulator_round(&acc);
  }
  partials ps;
  partials_begin(&ps);
  if (!safe && !failed) {
    sela_blocks_start(&b, region, block);
    while (status == PARTIALS_OK && (k = sela_blocks_next(&b, SELA_PY_BLOCK, &x)) > 0) {
      for (Py_ssize_t i = 0; i < k && status == PARTIALS_OK; i++) status = partials_add(&ps, x[i]);
    }
  }
  if (ts != NULL) PyEval_RestoreThread(ts);
  PyMem_Free(block);
  PyObject *result;
  if (failed) result = sela_py_record_failed();
  else if (safe) result = PyFloat_FromDouble(r == 0.0 ? 0.0 : r);
  else if (status != PARTIALS_OK) result = (partials_error(status), NULL);
  else result = partials_result(&ps);
  partials_end(&ps);
  return result;
}

PyObject *sela_py_fsum(PyObject *module, PyObject *iterable) {
  (void)module;
  /* A one-dimensional buffer of real numbers is read directly; every other buffer is
   * iterated like any iterable, as math.fsum does (a matrix yields rows, an array of
   * objects the objects, a complex array complex numbers, which float() converts). */
  if (sela_is_buffer_input(iterable)) {
    Py_buffer probe;
    if (PyObject_GetBuffer(iterable, &probe, PyBUF_RECORDS_RO) == 0) {
      int direct = probe.ndim == 1 && sela_converter_for_format(probe.format, probe.itemsize) != NULL;
      PyBuffer_Release(&probe);
      if (direct) {
        sela_buffer_input in;
        if (sela_buffer_input_get(iterable, &in) != 0) return NULL;
        PyObject *r = fsum_buffer(&in.region);
        sela_buffer_input_release(&in);
        return r;
      }
    } else {
      PyErr_Clear();
    }
  }
  fsum_state st;
  fsum_begin(&st);
  PyObject *r = PyList_CheckExact(iterable) ? fsum_list(&st, iterable) : fsum_iterator(&st, iterable);
  fsum_end(&st);
  return r;
}

const char sela_py_fsum_doc[] =
    "fsum(iterable)\n--\n\n"
    "Exact sum of an iterable of numbers, rounded once: a drop-in for math.fsum.\n"
    "\n"
    "Each item is converted as float() converts it. The result is math.fsum's wherever\n"
    "math.fsum returns one, and the same exception wherever it raises: OverflowError\n"
    "when one of its partial sums overflows, ValueError for inf - inf, TypeError for\n"
    "items that are not numbers, and whatever the iterator raises. For the correctly\n"
    "rounded exact sum without those exceptions (an infinity only where the exact sum\n"
    "lies beyond the float range, nan for inf - inf) use sela.sum(x, method=\"exact\").";
