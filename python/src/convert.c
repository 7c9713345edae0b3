#include "convert.h"

#include <stdint.h>
#include <string.h>

typedef double (*read_fn)(const char *p);

/* ---- Element readers: one per element type and byte order ------------------------ */

#define LOAD(T, p) \
  T v;             \
  memcpy(&v, p, sizeof v)

static double read_f64(const char *p) { LOAD(double, p); return v; }
static double read_f64_swapped(const char *p) {
  LOAD(uint64_t, p);
  v = __builtin_bswap64(v);
  double d;
  memcpy(&d, &v, sizeof d);
  return d;
}
static double read_f32(const char *p) { LOAD(float, p); return (double)v; }
static double read_f32_swapped(const char *p) {
  LOAD(uint32_t, p);
  v = __builtin_bswap32(v);
  float f;
  memcpy(&f, &v, sizeof f);
  return (double)f;
}
static double read_f80(const char *p) { LOAD(long double, p); return (double)v; }

/* binary16 widened exactly, NaN payloads kept in the top mantissa bits (as numpy does). */
static double half_bits_to_double(uint16_t h) {
  uint64_t sign = (uint64_t)(h >> 15) << 63;
  unsigned e = (h >> 10) & 0x1fu;
  uint64_t m = h & 0x3ffu;
  uint64_t bits;
  if (e == 0x1f) {
    bits = sign | 0x7ff0000000000000u | (m << 42);
  } else if (e == 0) {
    /* subnormal (or zero): m * 2^-24 is exact in binary64 */
    double v = (double)m * 0x1p-24;
    return sign ? -v : v;
  } else {
    bits = sign | ((uint64_t)(e - 15 + 1023) << 52) | (m << 42);
  }
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}
static double read_f16(const char *p) { LOAD(uint16_t, p); return half_bits_to_double(v); }
static double read_f16_swapped(const char *p) {
  LOAD(uint16_t, p);
  return half_bits_to_double(__builtin_bswap16(v));
}

static double read_bool(const char *p) { return *(const unsigned char *)p ? 1.0 : 0.0; }
static double read_i8(const char *p) { return (double)*(const signed char *)p; }
static double read_u8(const char *p) { return (double)*(const unsigned char *)p; }

/* Integers: the C conversion rounds to nearest, ties to even, as numpy's astype does. */
#define INT_READERS(bits)                                                                \
  static double read_i##bits(const char *p) { LOAD(int##bits##_t, p); return (double)v; } \
  static double read_u##bits(const char *p) { LOAD(uint##bits##_t, p); return (double)v; } \
  static double read_i##bits##_swapped(const char *p) {                                 \
    LOAD(uint##bits##_t, p);                                                            \
    return (double)(int##bits##_t)__builtin_bswap##bits(v);                             \
  }                                                                                     \
  static double read_u##bits##_swapped(const char *p) {                                 \
    LOAD(uint##bits##_t, p);                                                            \
    return (double)__builtin_bswap##bits(v);                                            \
  }
INT_READERS(16)
INT_READERS(32)
INT_READERS(64)

/* ---- Format strings ---------------------------------------------------------------- */

/* The reader for a struct-module format of one real element, or NULL. itemsize decides
 * the width of integer codes, whose size depends on native or standard mode. */
static read_fn reader_for_format(const char *fmt, Py_ssize_t itemsize) {
  if (fmt == NULL) fmt = "B";
  int swapped = 0, native = 1;
  switch (*fmt) {
    case '@': fmt++; break;
    case '=': case '<': native = 0; fmt++; break;
    case '>': case '!': native = 0; swapped = 1; fmt++; break;
    default: break;
  }
  if (fmt[0] == '1' && fmt[1] != '\0') fmt++; /* an explicit repeat count of one */
  if (fmt[0] == '\0' || fmt[1] != '\0') return NULL;
  char code = fmt[0];
  switch (code) {
    case 'd': if (itemsize == 8) return swapped ? read_f64_swapped : read_f64; return NULL;
    case 'f': if (itemsize == 4) return swapped ? read_f32_swapped : read_f32; return NULL;
    case 'e': if (itemsize == 2) return swapped ? read_f16_swapped : read_f16; return NULL;
    case 'g':
      if (native && itemsize == (Py_ssize_t)sizeof(long double)) return read_f80;
      return NULL;
    case '?': if (itemsize == 1) return read_bool; return NULL;
    default: break;
  }
  int is_signed;
  if (strchr("bhilqn", code)) is_signed = 1;
  else if (strchr("BHILQN", code)) is_signed = 0;
  else return NULL;
  switch (itemsize) {
    case 1: return is_signed ? read_i8 : read_u8;
    case 2:
      if (is_signed) return swapped ? read_i16_swapped : read_i16;
      return swapped ? read_u16_swapped : read_u16;
    case 4:
      if (is_signed) return swapped ? read_i32_swapped : read_i32;
      return swapped ? read_u32_swapped : read_u32;
    case 8:
      if (is_signed) return swapped ? read_i64_swapped : read_i64;
      return swapped ? read_u64_swapped : read_u64;
    default: return NULL;
  }
}

/* ---- Gathering a strided buffer ----------------------------------------------------- */

/* Copies every element of v in C order (last index fastest) through rd into out. */
static void gather(const Py_buffer *v, read_fn rd, double *out) {
  const char *base = (const char *)v->buf;
  if (v->ndim == 0) {
    out[0] = rd(base);
    return;
  }
  int nd = v->ndim;
  Py_ssize_t idx[64] = {0}; /* PyBUF_MAX_NDIM is 64 */
  Py_ssize_t inner = v->shape[nd - 1], step = v->strides[nd - 1];
  for (;;) {
    const char *p = base;
    for (int d = 0; d < nd - 1; d++) p += idx[d] * v->strides[d];
    for (Py_ssize_t i = 0; i < inner; i++) *out++ = rd(p + i * step);
    int d = nd - 2;
    while (d >= 0 && ++idx[d] == v->shape[d]) idx[d--] = 0;
    if (d < 0) return;
  }
}

static int from_buffer(PyObject *obj, sela_doubles *d) {
  if (PyObject_GetBuffer(obj, &d->view, PyBUF_RECORDS_RO) != 0) {
    /* An exporter that cannot describe its memory as strided records of one element
     * type (numpy raises ValueError for datetimes, BufferError for others) holds no
     * real numbers this module can read. */
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
      PyObject *type, *value, *tb;
      PyErr_Fetch(&type, &value, &tb);
      PyErr_Format(PyExc_TypeError, "cannot read a %.200s as real numbers (%S)",
                   Py_TYPE(obj)->tp_name, value ? value : Py_None);
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(tb);
    }
    return -1;
  }
  d->has_view = 1;
  const Py_buffer *v = &d->view;
  read_fn rd = reader_for_format(v->format, v->itemsize);
  if (rd == NULL) {
    PyErr_Format(PyExc_TypeError,
                 "expected real numbers, got a buffer of element type '%.50s'",
                 v->format ? v->format : "B");
    return -1;
  }
  Py_ssize_t n = 1;
  for (int i = 0; i < v->ndim; i++) {
    if (v->shape[i] == 0) { n = 0; break; }
    if (n > PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(double) / v->shape[i]) {
      PyErr_NoMemory();
      return -1;
    }
    n *= v->shape[i];
  }
  d->n = n;
  int in_place = rd == read_f64 && ((uintptr_t)v->buf % _Alignof(double)) == 0 &&
                 PyBuffer_IsContiguous(v, 'C');
  if (in_place || n == 0) {
    d->data = (const double *)v->buf;
    return 0;
  }
  d->owned = PyMem_Malloc((size_t)n * sizeof(double));
  if (d->owned == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  if (n >= SELA_PY_NOGIL_MIN) {
    Py_BEGIN_ALLOW_THREADS
    gather(v, rd, d->owned);
    Py_END_ALLOW_THREADS
  } else {
    gather(v, rd, d->owned);
  }
  d->data = d->owned;
  return 0;
}

/* ---- Iterables ---------------------------------------------------------------------- */

/* Makes room for cap doubles in d->owned. */
static int grow_to(sela_doubles *d, Py_ssize_t *cap, Py_ssize_t want) {
  if (want > PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(double)) {
    PyErr_NoMemory();
    return -1;
  }
  double *p = PyMem_Realloc(d->owned, (size_t)want * sizeof(double));
  if (p == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  d->owned = p;
  *cap = want;
  return 0;
}

static int push(sela_doubles *d, Py_ssize_t *cap, double x) {
  if (d->n == *cap && grow_to(d, cap, *cap < 64 ? 64 : *cap + *cap / 2) != 0) return -1;
  d->owned[d->n++] = x;
  return 0;
}

static int from_list(PyObject *list, sela_doubles *d) {
  Py_ssize_t cap = 0;
  if (PyList_GET_SIZE(list) > 0 && grow_to(d, &cap, PyList_GET_SIZE(list)) != 0) return -1;
  /* The length is read again each step: converting an item may edit the list. */
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
    double x;
    if (sela_list_item_as_double(list, i, &x) != 0 || push(d, &cap, x) != 0) return -1;
  }
  return 0;
}

static int from_tuple(PyObject *tuple, sela_doubles *d) {
  Py_ssize_t n = PyTuple_GET_SIZE(tuple);
  if (n == 0) return 0;
  d->owned = PyMem_Malloc((size_t)n * sizeof(double));
  if (d->owned == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  for (Py_ssize_t i = 0; i < n; i++) {
    if (sela_item_as_double(PyTuple_GET_ITEM(tuple, i), &d->owned[i]) != 0) return -1;
  }
  d->n = n;
  return 0;
}

static int from_iterable(PyObject *obj, sela_doubles *d) {
  PyObject *it = PyObject_GetIter(obj);
  if (it == NULL) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "expected an array or an iterable of real numbers, got %.200s",
                   Py_TYPE(obj)->tp_name);
    }
    return -1;
  }
  Py_ssize_t cap = 0;
  PyObject *item;
  while ((item = PyIter_Next(it)) != NULL) {
    double x;
    int rc = sela_item_as_double(item, &x);
    Py_DECREF(item);
    if (rc != 0 || push(d, &cap, x) != 0) {
      Py_DECREF(it);
      return -1;
    }
  }
  Py_DECREF(it);
  return PyErr_Occurred() ? -1 : 0;
}

int sela_doubles_get(PyObject *obj, sela_doubles *d) {
  memset(d, 0, sizeof *d);
  int rc;
  if (PyList_CheckExact(obj)) rc = from_list(obj, d);
  else if (PyTuple_CheckExact(obj)) rc = from_tuple(obj, d);
  else if (PyObject_CheckBuffer(obj)) rc = from_buffer(obj, d);
  else rc = from_iterable(obj, d);
  if (rc != 0) {
    sela_doubles_release(d);
    return -1;
  }
  if (!d->has_view) d->data = d->owned;
  return 0;
}

void sela_doubles_release(sela_doubles *d) {
  if (d->has_view) {
    PyBuffer_Release(&d->view);
    d->has_view = 0;
  }
  PyMem_Free(d->owned);
  d->owned = NULL;
  d->data = NULL;
  d->n = 0;
}
