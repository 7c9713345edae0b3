#include "convert.h"

#include <stdint.h>
#include <string.h>

/* ---- Element converters: one per element type and byte order ---------------------- */

/* Each converts a run of n elements `step` bytes apart. A run of adjacent elements takes
 * its own loop, which the compiler turns into vector conversions. Elements are read with
 * memcpy: buffers need not be aligned. */
#define CONVERTER(name, T, conversion)                                         \
  static void name(const char *p, Py_ssize_t step, Py_ssize_t n, double *out) { \
    if (step == (Py_ssize_t)sizeof(T)) {                                       \
      for (Py_ssize_t i = 0; i < n; i++) {                                     \
        T v;                                                                   \
        memcpy(&v, p + i * (Py_ssize_t)sizeof(T), sizeof v);                   \
        out[i] = (conversion);                                                 \
      }                                                                        \
    } else {                                                                   \
      for (Py_ssize_t i = 0; i < n; i++) {                                     \
        T v;                                                                   \
        memcpy(&v, p + i * step, sizeof v);                                    \
        out[i] = (conversion);                                                 \
      }                                                                        \
    }                                                                          \
  }

static inline double double_from_bits(uint64_t u) {
  double d;
  memcpy(&d, &u, sizeof d);
  return d;
}

static inline uint64_t double_bits_or(double d, uint64_t bits) {
  uint64_t u;
  memcpy(&u, &d, sizeof u);
  return u | bits;
}

static inline float float_from_bits(uint32_t u) {
  float f;
  memcpy(&f, &u, sizeof f);
  return f;
}

/* binary16 widened exactly, NaN payloads kept in the top mantissa bits (as numpy does).
 * Both forms are computed and one is chosen, so that data mixing subnormals and normal
 * numbers cost no mispredicted branches. */
static inline double half_bits_to_double(uint16_t h) {
  const uint64_t sign = (uint64_t)(h >> 15) << 63;
  const unsigned e = (h >> 10) & 0x1fu;
  const uint64_t m = h & 0x3ffu;
  /* subnormal (or zero): m * 2^-24, exact in binary64, with the sign's bit */
  const double tiny = double_from_bits(double_bits_or((double)m * 0x1p-24, sign));
  const uint64_t exponent = e == 0x1f ? 0x7ff : (uint64_t)(e + 1023 - 15);
  const double normal = double_from_bits(sign | (exponent << 52) | (m << 42));
  return e == 0 ? tiny : normal;
}

CONVERTER(convert_f64, double, v)
CONVERTER(convert_f64_swapped, uint64_t, double_from_bits(__builtin_bswap64(v)))
CONVERTER(convert_f32, float, (double)v)
CONVERTER(convert_f32_swapped, uint32_t, (double)float_from_bits(__builtin_bswap32(v)))
CONVERTER(convert_f80, long double, (double)v)
CONVERTER(convert_f16, uint16_t, half_bits_to_double(v))
CONVERTER(convert_f16_swapped, uint16_t, half_bits_to_double(__builtin_bswap16(v)))
CONVERTER(convert_bool, unsigned char, v ? 1.0 : 0.0)
CONVERTER(convert_i8, signed char, (double)v)
CONVERTER(convert_u8, unsigned char, (double)v)

/* Integers: the C conversion rounds to nearest, ties to even, as numpy's astype does. */
#define INT_CONVERTERS(bits)                                                             \
  CONVERTER(convert_i##bits, int##bits##_t, (double)v)                                   \
  CONVERTER(convert_u##bits, uint##bits##_t, (double)v)                                  \
  CONVERTER(convert_i##bits##_swapped, uint##bits##_t,                                   \
            (double)(int##bits##_t)__builtin_bswap##bits(v))                             \
  CONVERTER(convert_u##bits##_swapped, uint##bits##_t, (double)__builtin_bswap##bits(v))
INT_CONVERTERS(16)
INT_CONVERTERS(32)
INT_CONVERTERS(64)

/* ---- Format strings ---------------------------------------------------------------- */

/* itemsize decides the width of integer codes, whose size depends on native or standard
 * mode. */
sela_convert_fn sela_converter_for_format(const char *fmt, Py_ssize_t itemsize) {
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
    case 'd': if (itemsize == 8) return swapped ? convert_f64_swapped : convert_f64; return NULL;
    case 'f': if (itemsize == 4) return swapped ? convert_f32_swapped : convert_f32; return NULL;
    case 'e': if (itemsize == 2) return swapped ? convert_f16_swapped : convert_f16; return NULL;
    case 'g':
      if (native && itemsize == (Py_ssize_t)sizeof(long double)) return convert_f80;
      return NULL;
    case '?': if (itemsize == 1) return convert_bool; return NULL;
    default: break;
  }
  int is_signed;
  if (strchr("bhilqn", code)) is_signed = 1;
  else if (strchr("BHILQN", code)) is_signed = 0;
  else return NULL;
  switch (itemsize) {
    case 1: return is_signed ? convert_i8 : convert_u8;
    case 2:
      if (is_signed) return swapped ? convert_i16_swapped : convert_i16;
      return swapped ? convert_u16_swapped : convert_u16;
    case 4:
      if (is_signed) return swapped ? convert_i32_swapped : convert_i32;
      return swapped ? convert_u32_swapped : convert_u32;
    case 8:
      if (is_signed) return swapped ? convert_i64_swapped : convert_i64;
      return swapped ? convert_u64_swapped : convert_u64;
    default: return NULL;
  }
}

int sela_format_is_native_double(const char *fmt, Py_ssize_t itemsize) {
  return fmt != NULL && sela_converter_for_format(fmt, itemsize) == convert_f64;
}

int sela_is_buffer_input(PyObject *obj) {
  return !PyList_CheckExact(obj) && !PyTuple_CheckExact(obj) && PyObject_CheckBuffer(obj);
}

/* ---- Regions ------------------------------------------------------------------------ */

void sela_region_init(sela_region *r, const char *base, int ndim, const Py_ssize_t *shape,
                      const Py_ssize_t *strides, Py_ssize_t itemsize, sela_convert_fn convert) {
  r->base = base;
  r->convert = convert;
  r->n = 1;
  for (int d = 0; d < ndim; d++) r->n *= shape[d];
  int nd = 0;
  if (r->n != 0) {
    for (int d = 0; d < ndim; d++) {
      if (shape[d] == 1) continue;
      if (nd > 0 && r->strides[nd - 1] == shape[d] * strides[d]) {
        /* The outer dimension steps over exactly one run of this one: one dimension. */
        r->shape[nd - 1] *= shape[d];
        r->strides[nd - 1] = strides[d];
      } else {
        r->shape[nd] = shape[d];
        r->strides[nd] = strides[d];
        nd++;
      }
    }
  }
  if (nd == 0) { /* one element, or none */
    r->shape[0] = r->n;
    r->strides[0] = itemsize;
    nd = 1;
  }
  r->ndim = nd;
  r->in_place = r->n == 0 ||
                (convert == convert_f64 && nd == 1 && r->strides[0] == (Py_ssize_t)sizeof(double) &&
                 (uintptr_t)base % _Alignof(double) == 0);
}

void sela_region_of_doubles(sela_region *r, const double *x, Py_ssize_t n) {
  const Py_ssize_t shape[1] = {n}, strides[1] = {(Py_ssize_t)sizeof(double)};
  sela_region_init(r, (const char *)x, 1, shape, strides, (Py_ssize_t)sizeof(double), convert_f64);
}

/* Converts the next `want` elements after multi-index idx into out, advancing idx. */
static void region_read(const sela_region *r, Py_ssize_t *idx, Py_ssize_t want, double *out) {
  const int nd = r->ndim;
  Py_ssize_t got = 0;
  while (got < want) {
    const char *p = r->base;
    for (int d = 0; d < nd; d++) p += idx[d] * r->strides[d];
    Py_ssize_t run = r->shape[nd - 1] - idx[nd - 1];
    if (run > want - got) run = want - got;
    r->convert(p, r->strides[nd - 1], run, out + got);
    got += run;
    idx[nd - 1] += run;
    for (int d = nd - 1; d > 0 && idx[d] == r->shape[d]; d--) {
      idx[d] = 0;
      idx[d - 1]++;
    }
  }
}

void sela_region_runs(const sela_region *r,
                      void (*run)(void *ctx, const char *p, Py_ssize_t step, Py_ssize_t n),
                      void *ctx) {
  if (r->n == 0) return;
  const int nd = r->ndim;
  Py_ssize_t idx[64] = {0};
  for (;;) {
    const char *p = r->base;
    for (int d = 0; d < nd - 1; d++) p += idx[d] * r->strides[d];
    run(ctx, p, r->strides[nd - 1], r->shape[nd - 1]);
    int d = nd - 2;
    while (d >= 0 && ++idx[d] == r->shape[d]) idx[d--] = 0;
    if (d < 0) return;
  }
}

int sela_region_small_float(const sela_region *r, int *swapped) {
  *swapped = r->convert == convert_f32_swapped || r->convert == convert_f16_swapped;
  if (r->convert == convert_f32 || r->convert == convert_f32_swapped) return 32;
  if (r->convert == convert_f16 || r->convert == convert_f16_swapped) return 16;
  return 0;
}

void sela_blocks_start(sela_blocks *b, const sela_region *r, double *block) {
  memcpy(&b->region, r, sizeof *r);
  memset(b->idx, 0, sizeof b->idx);
  b->done = 0;
  b->block = block;
}

double *sela_block_alloc(Py_ssize_t n) {
  double *p = PyMem_Malloc((size_t)sela_block_length(n) * sizeof(double));
  if (p == NULL) PyErr_NoMemory();
  return p;
}

Py_ssize_t sela_blocks_next(sela_blocks *b, Py_ssize_t max, const double **out) {
  const sela_region *r = &b->region;
  Py_ssize_t want = r->n - b->done;
  if (want > max) want = max;
  if (want <= 0) return 0;
  if (r->in_place) {
    *out = (const double *)r->base + b->done;
  } else {
    if (want > SELA_PY_BLOCK) want = SELA_PY_BLOCK;
    region_read(r, b->idx, want, b->block);
    *out = b->block;
  }
  b->done += want;
  return want;
}

/* ---- Buffers ------------------------------------------------------------------------- */

int sela_buffer_input_get(PyObject *obj, sela_buffer_input *in) {
  if (PyObject_GetBuffer(obj, &in->view, PyBUF_RECORDS_RO) != 0) {
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
  const Py_buffer *v = &in->view;
  sela_convert_fn convert = sela_converter_for_format(v->format, v->itemsize);
  if (convert == NULL) {
    PyErr_Format(PyExc_TypeError, "expected real numbers, got a buffer of element type '%.50s'",
                 v->format ? v->format : "B");
    PyBuffer_Release(&in->view);
    return -1;
  }
  Py_ssize_t n = 1;
  for (int i = 0; i < v->ndim; i++) {
    if (v->shape[i] == 0) {
      n = 0;
      break;
    }
    if (n > PY_SSIZE_T_MAX / (Py_ssize_t)sizeof(double) / v->shape[i]) {
      PyBuffer_Release(&in->view);
      PyErr_NoMemory();
      return -1;
    }
    n *= v->shape[i];
  }
  (void)n;
  sela_region_init(&in->region, (const char *)v->buf, v->ndim, v->shape, v->strides, v->itemsize,
                   convert);
  return 0;
}

void sela_buffer_input_release(sela_buffer_input *in) { PyBuffer_Release(&in->view); }

/* ---- Whole arrays -------------------------------------------------------------------- */

static int from_buffer(PyObject *obj, sela_doubles *d) {
  sela_buffer_input in;
  if (sela_buffer_input_get(obj, &in) != 0) return -1;
  memcpy(&d->view, &in.view, sizeof in.view);
  d->has_view = 1;
  const sela_region *r = &in.region;
  d->n = r->n;
  if (r->in_place) {
    d->data = (const double *)r->base;
    return 0;
  }
  d->owned = PyMem_Malloc((size_t)r->n * sizeof(double));
  if (d->owned == NULL) {
    PyErr_NoMemory();
    return -1;
  }
  Py_ssize_t idx[64] = {0};
  if (r->n >= SELA_PY_NOGIL_MIN) {
    Py_BEGIN_ALLOW_THREADS
    region_read(r, idx, r->n, d->owned);
    Py_END_ALLOW_THREADS
  } else {
    region_read(r, idx, r->n, d->owned);
  }
  d->data = d->owned;
  return 0;
}

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
