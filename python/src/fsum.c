#include "fsum.h"

#include <string.h>

#include "convert.h"
#include "sela.h"

/* A fresh record never fails the check; a failure here means memory damage. */
static PyObject *accumulator_failed(void) {
  PyErr_SetString(PyExc_SystemError, "sela accumulator record failed its check");
  return NULL;
}

/* Items are converted into a chunk and each full chunk is added whole: bounded memory
 * for any iterable. The chunk starts on the stack and moves to the heap when it fills,
 * since the accumulator adds long arrays several times faster per element than short
 * ones. The interpreter lock stays held: a chunk's add takes about ten microseconds, less
 * than handing the lock to another thread and winning it back. */
#define FSUM_SMALL 256
#define FSUM_CHUNK 16384

/* The accumulator starts with the first full chunk: an iterable that fits in one chunk
 * is summed by short_sum, which rounds as the accumulator does and costs less. */
typedef struct {
  sela_accumulator acc;
  int started;
  Py_ssize_t fill, cap;
  double *chunk; /* small, or a heap array of FSUM_CHUNK */
  double small[FSUM_SMALL];
} fsum_state;

static void fsum_begin(fsum_state *st) {
  st->started = 0;
  st->fill = 0;
  st->cap = FSUM_SMALL;
  st->chunk = st->small;
}

static void fsum_end(fsum_state *st) {
  if (st->chunk != st->small) PyMem_Free(st->chunk);
}

static int flush_chunk(fsum_state *st) {
  if (!st->started) {
    sela_accumulator_init(&st->acc);
    st->started = 1;
  }
  int rc = sela_accumulator_add(&st->acc, st->chunk, (uint64_t)st->fill);
  st->fill = 0;
  return rc;
}

/* Stores the next item; 0, or -1 with an exception set. */
static int fsum_push(fsum_state *st, double x) {
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
  if (flush_chunk(st) != 0) {
    accumulator_failed();
    return -1;
  }
  return 0;
}

/* The correctly rounded sum of one chunk, by whichever of three exact methods costs
 * least at its length: one addition for two items (rounded once, so already correctly
 * rounded), Shewchuk's partials up to eight (few partials; its special-value and
 * overflow rules give the accumulator's results), NearSum beyond. An exact zero is
 * +0.0, as the accumulator and math.fsum give it (a non-zero exact sum is at least
 * 2^-1074 and never rounds to zero). */
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

static PyObject *fsum_result(fsum_state *st) {
  if (!st->started) return PyFloat_FromDouble(short_sum(st->chunk, st->fill));
  if (flush_chunk(st) != 0) return accumulator_failed();
  return PyFloat_FromDouble(sela_accumulator_round(&st->acc));
}

static PyObject *fsum_list(fsum_state *st, PyObject *list) {
  /* The length is read again each step: __float__ of an item may edit the list. */
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    /* The float objects lie anywhere in memory: ask for one a few items ahead. */
    if (i + 16 < PyList_GET_SIZE(list)) __builtin_prefetch(PyList_GET_ITEM(list, i + 16));
    double x;
    if (sela_list_item_as_double(list, i, &x) != 0 || fsum_push(st, x) != 0) return NULL;
  }
  return fsum_result(st);
}

static PyObject *fsum_iterator(fsum_state *st, PyObject *iterable) {
  PyObject *it = PyObject_GetIter(iterable);
  if (it == NULL) return NULL;
  PyObject *item;
  while ((item = PyIter_Next(it)) != NULL) {
    double x;
    int rc = sela_item_as_double(item, &x);
    Py_DECREF(item);
    if (rc != 0 || fsum_push(st, x) != 0) break;
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return NULL;
  return fsum_result(st);
}

static PyObject *fsum_items(PyObject *iterable) {
  fsum_state st;
  fsum_begin(&st);
  PyObject *r = PyList_CheckExact(iterable) ? fsum_list(&st, iterable)
                                            : fsum_iterator(&st, iterable);
  fsum_end(&st);
  return r;
}

PyObject *sela_py_fsum(PyObject *module, PyObject *iterable) {
  (void)module;
  /* A one-dimensional buffer of numbers yields exactly its elements when iterated,
   * converted as float() converts them; it is read whole, with the interpreter lock
   * released. Other buffers are iterated like any iterable: a matrix yields rows (no
   * floats), an array of Python objects yields the objects. */
  if (!PyList_CheckExact(iterable) && !PyTuple_CheckExact(iterable) &&
      PyObject_CheckBuffer(iterable)) {
    Py_buffer probe;
    if (PyObject_GetBuffer(iterable, &probe, PyBUF_RECORDS_RO) == 0) {
      const char *f = probe.format ? probe.format : "B";
      if (*f == '|' || *f == '@' || *f == '=') f++;
      int one_dim = probe.ndim == 1 && strcmp(f, "O") != 0;
      PyBuffer_Release(&probe);
      if (one_dim) {
        sela_doubles d;
        if (sela_doubles_get(iterable, &d) != 0) return NULL;
        double r;
        if (d.n >= SELA_PY_NOGIL_MIN) {
          Py_BEGIN_ALLOW_THREADS
          r = sela_sum_exact(d.data, (uint64_t)d.n);
          Py_END_ALLOW_THREADS
        } else {
          r = sela_sum_exact(d.data, (uint64_t)d.n);
        }
        sela_doubles_release(&d);
        return PyFloat_FromDouble(r);
      }
    } else {
      PyErr_Clear();
    }
  }
  return fsum_items(iterable);
}

const char sela_py_fsum_doc[] =
    "fsum(iterable)\n--\n\n"
    "Exact sum of an iterable of real numbers, rounded once: a drop-in for math.fsum.\n"
    "\n"
    "Each item is converted as float() converts it. The result equals math.fsum's\n"
    "wherever math.fsum returns one. Where math.fsum raises OverflowError because a\n"
    "partial sum overflows, fsum returns the correctly rounded exact sum (an infinity\n"
    "only when the exact sum itself lies beyond the largest double); where math.fsum\n"
    "raises ValueError for inf - inf, fsum returns nan. Any iterable is streamed in\n"
    "bounded memory.";

