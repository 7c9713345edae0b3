#include "accumulator.h"

#include <string.h>

#include "convert.h"
#include "pythread.h"
#include "sela.h"

/* The record lives inside the object. Adds of long arrays run with the interpreter lock
 * released, so each object carries its own lock: a record is never read while another
 * thread writes it. A thread holding an object's lock never waits for anything else, so
 * waiting for it (with the interpreter lock released) always ends. */
typedef struct {
  PyObject_HEAD
  sela_accumulator record;
  PyThread_type_lock lock;
} AccumulatorObject;

#define ACC(o) ((AccumulatorObject *)(o))
#define IS_ACC(o) PyObject_TypeCheck(o, &sela_py_accumulator_type)

static void lock_acc(AccumulatorObject *a) {
  if (!PyThread_acquire_lock(a->lock, NOWAIT_LOCK)) {
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(a->lock, WAIT_LOCK);
    Py_END_ALLOW_THREADS
  }
}

static void unlock_acc(AccumulatorObject *a) { PyThread_release_lock(a->lock); }

/* The records our objects hold are always valid; a failure here means memory damage. */
static PyObject *invalid_record(void) {
  PyErr_SetString(PyExc_SystemError, "sela accumulator record failed its check");
  return NULL;
}

static PyObject *new_acc(PyTypeObject *type) {
  AccumulatorObject *a = (AccumulatorObject *)type->tp_alloc(type, 0);
  if (a == NULL) return NULL;
  a->lock = PyThread_allocate_lock();
  if (a->lock == NULL) {
    Py_DECREF(a);
    return PyErr_NoMemory();
  }
  sela_accumulator_init(&a->record);
  return (PyObject *)a;
}

static PyObject *acc_new(PyTypeObject *type, PyObject *args, PyObject *kwds) {
  (void)args;
  (void)kwds;
  return new_acc(type);
}

static void acc_dealloc(PyObject *self) {
  if (ACC(self)->lock) PyThread_free_lock(ACC(self)->lock);
  Py_TYPE(self)->tp_free(self);
}

/* ---- Adding --------------------------------------------------------------------------- */

static int add_doubles(AccumulatorObject *a, const sela_doubles *d) {
  int rc;
  if (d->n >= SELA_PY_NOGIL_MIN) {
    Py_BEGIN_ALLOW_THREADS
    PyThread_acquire_lock(a->lock, WAIT_LOCK);
    rc = sela_accumulator_add(&a->record, d->data, (uint64_t)d->n);
    PyThread_release_lock(a->lock);
    Py_END_ALLOW_THREADS
  } else {
    lock_acc(a);
    rc = sela_accumulator_add(&a->record, d->data, (uint64_t)d->n);
    unlock_acc(a);
  }
  if (rc != 0) {
    invalid_record();
    return -1;
  }
  return 0;
}

static int add_object(AccumulatorObject *a, PyObject *obj) {
  sela_doubles d;
  if (sela_doubles_get(obj, &d) != 0) return -1;
  int rc = add_doubles(a, &d);
  sela_doubles_release(&d);
  return rc;
}

static int acc_init(PyObject *self, PyObject *args, PyObject *kwds) {
  static char *kwlist[] = {"data", NULL};
  PyObject *data = NULL;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|O:Accumulator", kwlist, &data)) return -1;
  lock_acc(ACC(self));
  sela_accumulator_init(&ACC(self)->record);
  unlock_acc(ACC(self));
  return data == NULL ? 0 : add_object(ACC(self), data);
}

static PyObject *acc_add(PyObject *self, PyObject *x) {
  if (add_object(ACC(self), x) != 0) return NULL;
  Py_RETURN_NONE;
}

static PyObject *acc_add_products(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "add_products() takes exactly 2 arguments (%zd given)", nargs);
    return NULL;
  }
  sela_doubles dx, dy;
  if (sela_doubles_get(args[0], &dx) != 0) return NULL;
  if (sela_doubles_get(args[1], &dy) != 0) {
    sela_doubles_release(&dx);
    return NULL;
  }
  PyObject *result = NULL;
  if (dx.n != dy.n) {
    PyErr_Format(PyExc_ValueError, "x and y have different lengths (%zd and %zd)", dx.n, dy.n);
  } else {
    AccumulatorObject *a = ACC(self);
    int rc;
    if (dx.n >= SELA_PY_NOGIL_MIN) {
      Py_BEGIN_ALLOW_THREADS
      PyThread_acquire_lock(a->lock, WAIT_LOCK);
      rc = sela_accumulator_add_products(&a->record, dx.data, dy.data, (uint64_t)dx.n);
      PyThread_release_lock(a->lock);
      Py_END_ALLOW_THREADS
    } else {
      lock_acc(a);
      rc = sela_accumulator_add_products(&a->record, dx.data, dy.data, (uint64_t)dx.n);
      unlock_acc(a);
    }
    if (rc == 0) {
      Py_INCREF(Py_None);
      result = Py_None;
    } else {
      invalid_record();
    }
  }
  sela_doubles_release(&dx);
  sela_doubles_release(&dy);
  return result;
}

/* Adds other's contents to a. Both locks are taken in address order, so two threads
 * merging a pair in opposite directions cannot wait on each other. */
static int merge_into(AccumulatorObject *a, AccumulatorObject *other) {
  int rc;
  if (a == other) {
    lock_acc(a);
    rc = sela_accumulator_merge(&a->record, &a->record);
    unlock_acc(a);
  } else {
    AccumulatorObject *first = a < other ? a : other, *second = a < other ? other : a;
    lock_acc(first);
    lock_acc(second);
    rc = sela_accumulator_merge(&a->record, &other->record);
    unlock_acc(second);
    unlock_acc(first);
  }
  if (rc != 0) {
    invalid_record();
    return -1;
  }
  return 0;
}

static PyObject *acc_merge(PyObject *self, PyObject *other) {
  if (!IS_ACC(other)) {
    PyErr_Format(PyExc_TypeError, "merge() needs an Accumulator, not %.200s",
                 Py_TYPE(other)->tp_name);
    return NULL;
  }
  if (merge_into(ACC(self), ACC(other)) != 0) return NULL;
  Py_RETURN_NONE;
}

/* acc += other: merges an Accumulator, adds anything else as an array. */
static PyObject *acc_iadd(PyObject *self, PyObject *other) {
  int rc = IS_ACC(other) ? merge_into(ACC(self), ACC(other)) : add_object(ACC(self), other);
  if (rc != 0) return NULL;
  Py_INCREF(self);
  return self;
}

/* ---- Reading ---------------------------------------------------------------------------- */

static void snapshot(AccumulatorObject *a, sela_accumulator *out) {
  lock_acc(a);
  memcpy(out, &a->record, sizeof *out);
  unlock_acc(a);
}

static double value_of(AccumulatorObject *a) {
  sela_accumulator r;
  snapshot(a, &r);
  return sela_accumulator_round(&r);
}

static PyObject *acc_float(PyObject *self) { return PyFloat_FromDouble(value_of(ACC(self))); }

static PyObject *acc_copy(PyObject *self, PyObject *unused) {
  (void)unused;
  PyObject *c = new_acc(Py_TYPE(self));
  if (c != NULL) snapshot(ACC(self), &ACC(c)->record);
  return c;
}

static PyObject *acc_deepcopy(PyObject *self, PyObject *memo) {
  (void)memo;
  return acc_copy(self, NULL);
}

/* acc + other: a new Accumulator holding both. */
static PyObject *acc_nb_add(PyObject *left, PyObject *right) {
  if (!IS_ACC(left)) Py_RETURN_NOTIMPLEMENTED;
  PyObject *c = acc_copy(left, NULL);
  if (c == NULL) return NULL;
  PyObject *r = acc_iadd(c, right);
  Py_DECREF(c);
  return r;
}

static PyObject *acc_bytes(PyObject *self, PyObject *unused) {
  (void)unused;
  sela_accumulator r;
  snapshot(ACC(self), &r);
  return PyBytes_FromStringAndSize((const char *)&r, (Py_ssize_t)sizeof r);
}

static PyObject *acc_from_bytes(PyObject *cls, PyObject *data) {
  Py_buffer view;
  if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) != 0) return NULL;
  sela_accumulator r;
  int ok = view.len == (Py_ssize_t)sizeof r;
  if (ok) memcpy(&r, view.buf, sizeof r);
  PyBuffer_Release(&view);
  /* Adding nothing checks the record: its format word, its countdown, the headroom of
   * every limb and the shape of the side words. */
  if (!ok || sela_accumulator_add(&r, NULL, 0) != 0) {
    PyErr_SetString(PyExc_ValueError, "not the bytes of a sela Accumulator");
    return NULL;
  }
  PyObject *a = new_acc((PyTypeObject *)cls);
  if (a != NULL) memcpy(&ACC(a)->record, &r, sizeof r);
  return a;
}

static PyObject *acc_reduce(PyObject *self, PyObject *unused) {
  (void)unused;
  PyObject *from_bytes = PyObject_GetAttrString((PyObject *)Py_TYPE(self), "from_bytes");
  if (from_bytes == NULL) return NULL;
  PyObject *b = acc_bytes(self, NULL);
  if (b == NULL) {
    Py_DECREF(from_bytes);
    return NULL;
  }
  return Py_BuildValue("(N(N))", from_bytes, b);
}

static PyObject *acc_repr(PyObject *self) {
  PyObject *v = PyFloat_FromDouble(value_of(ACC(self)));
  if (v == NULL) return NULL;
  PyObject *r = PyUnicode_FromFormat("Accumulator(%R)", v);
  Py_DECREF(v);
  return r;
}

/* ---- fsum -------------------------------------------------------------------------------- */

/* Items are converted into a chunk and each full chunk is added whole: bounded memory
 * for any iterable. The chunk starts on the stack and moves to the heap when it fills,
 * since the accumulator adds long arrays several times faster per element than short
 * ones. The interpreter lock stays held: a chunk's add takes about ten microseconds, less
 * than handing the lock to another thread and winning it back. */
#define FSUM_SMALL 256
#define FSUM_CHUNK 16384

/* The accumulator starts with the first full chunk. An iterable that fits in one chunk
 * is summed by NearSum, which rounds the exact sum to nearest as the accumulator does
 * and costs less on short inputs (data with a NaN or an infinity take its exact path). */
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
    invalid_record();
    return -1;
  }
  return 0;
}

/* The correctly rounded sum of one chunk. An exact zero is +0.0, as the accumulator and
 * math.fsum give it (a non-zero exact sum is at least 2^-1074 and never rounds to zero). */
static double short_sum(const double *x, Py_ssize_t n) {
  double r;
  if (n <= 2) {
    r = n == 0 ? 0.0 : n == 1 ? x[0] : x[0] + x[1]; /* one rounding: already exact */
  } else {
    r = sela_sum_near(x, (uint64_t)n);
  }
  return r == 0.0 ? 0.0 : r;
}

static PyObject *fsum_result(fsum_state *st) {
  if (!st->started) return PyFloat_FromDouble(short_sum(st->chunk, st->fill));
  if (flush_chunk(st) != 0) return invalid_record();
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

/* ---- Type ------------------------------------------------------------------------------- */

static PyMethodDef acc_methods[] = {
    {"add", (PyCFunction)acc_add, METH_O, "add(x)\n--\n\nAdds every element of x exactly."},
    {"add_products", (PyCFunction)(void (*)(void))acc_add_products, METH_FASTCALL,
     "add_products(x, y)\n--\n\nAdds the products x[i] * y[i] exactly (as dot_exact takes them)."},
    {"merge", (PyCFunction)acc_merge, METH_O,
     "merge(other)\n--\n\nAdds everything another Accumulator holds."},
    {"copy", (PyCFunction)acc_copy, METH_NOARGS, "copy()\n--\n\nAn independent copy."},
    {"__copy__", (PyCFunction)acc_copy, METH_NOARGS, NULL},
    {"__deepcopy__", (PyCFunction)acc_deepcopy, METH_O, NULL},
    {"__bytes__", (PyCFunction)acc_bytes, METH_NOARGS,
     "The record's bytes (1088), readable by from_bytes in any process on x86-64."},
    {"from_bytes", (PyCFunction)acc_from_bytes, METH_O | METH_CLASS,
     "from_bytes(b)\n--\n\nThe Accumulator whose bytes are b; ValueError for bytes that are "
     "not a valid record."},
    {"__reduce__", (PyCFunction)acc_reduce, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static PyNumberMethods acc_as_number = {
    .nb_add = acc_nb_add,
    .nb_inplace_add = acc_iadd,
    .nb_float = acc_float,
};

PyTypeObject sela_py_accumulator_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "sela.Accumulator",
    .tp_basicsize = sizeof(AccumulatorObject),
    .tp_dealloc = acc_dealloc,
    .tp_repr = acc_repr,
    .tp_as_number = &acc_as_number,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = "Accumulator(data=None)\n--\n\n"
              "An exact sum that grows by add(x), add_products(x, y), merge(other) and +=.\n"
              "float(acc) rounds it once (as sum_exact); bytes(acc), Accumulator.from_bytes\n"
              "and pickling carry it between processes, where partial sums merge exactly.",
    .tp_methods = acc_methods,
    .tp_init = acc_init,
    .tp_new = acc_new,
};

int sela_py_accumulator_ready(void) { return PyType_Ready(&sela_py_accumulator_type); }
