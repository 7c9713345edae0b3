#include "accumulator.h"

#include <string.h>

#include "convert.h"
#include "exact.h"
#include "pythread.h"
#include "sela.h"

/* The record lives inside the object. Adds of long arrays run with the interpreter lock
 * released, so each object carries its own lock: a record is never read while another
 * thread writes it. No thread waits for an object's lock while holding the interpreter
 * lock, and a merge takes its two locks in address order, so no waits form a cycle. */
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

/* Adds a record filled elsewhere (a fresh one holding the new values) under the object's
 * lock: the conversion and the adding run on a local record, so the lock is held only for
 * the merge. The sum is the same as adding the values to the object's record directly. */
static int merge_record(AccumulatorObject *a, const sela_accumulator *part) {
  lock_acc(a);
  int rc = sela_accumulator_merge(&a->record, part);
  unlock_acc(a);
  if (rc != 0) {
    invalid_record();
    return -1;
  }
  return 0;
}

static int add_object(AccumulatorObject *a, PyObject *obj) {
  sela_accumulator part;
  sela_accumulator_init(&part);
  Py_ssize_t n;
  if (sela_py_accumulate(obj, &part, &n) != 0) return -1;
  return merge_record(a, &part);
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
  sela_accumulator part;
  sela_accumulator_init(&part);
  if (sela_py_accumulate_products(args[0], args[1], &part) != 0 ||
      merge_record(ACC(self), &part) != 0)
    return NULL;
  Py_RETURN_NONE;
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

static PyObject *acc_round_divided(PyObject *self, PyObject *count) {
  uint64_t c;
  if (sela_py_count_arg(count, &c) != 0) return NULL;
  sela_accumulator r;
  snapshot(ACC(self), &r);
  return PyFloat_FromDouble(sela_accumulator_round_divided(&r, c));
}

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

/* ---- Type ------------------------------------------------------------------------------- */

static PyMethodDef acc_methods[] = {
    {"add", (PyCFunction)acc_add, METH_O, "add(x)\n--\n\nAdds every element of x exactly."},
    {"add_products", (PyCFunction)(void (*)(void))acc_add_products, METH_FASTCALL,
     "add_products(x, y)\n--\n\nAdds the products x[i] * y[i] exactly (as dot_exact takes them)."},
    {"merge", (PyCFunction)acc_merge, METH_O,
     "merge(other)\n--\n\nAdds everything another Accumulator holds."},
    {"round_divided", (PyCFunction)acc_round_divided, METH_O,
     "round_divided(count)\n--\n\nThe value held divided by count (any integer from 0 to 2**64 - 1),\n"
     "rounded once: the exact mean when count is the number of values added. Correct\n"
     "even where the sum itself is beyond the float range; nan for count 0."},
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
