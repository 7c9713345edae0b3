/* Python objects to arrays of doubles for the sela extension.
 *
 * A buffer of native-order doubles that is C-contiguous and 8-byte aligned is used in
 * place. Every other real buffer (strided, Fortran order, the other byte order, half,
 * single or extended precision, integers, booleans) is read element by element in C
 * order, each element converted as a C cast to double converts it, which is how numpy's
 * astype(float64) converts (integers beyond 2^53 round to nearest, ties to even). Other
 * objects are iterated and each item converted as float() converts it (__float__, then
 * __index__). Memory is never reinterpreted: an element type that is not a real number
 * is a TypeError.
 *
 * Two ways to read: sela_doubles converts a whole input into one array (what the
 * order-dependent reductions need), sela_blocks hands a buffer out in blocks of at most
 * SELA_PY_BLOCK converted doubles (what the exact reductions need: their partial results
 * merge exactly, so the extra memory does not grow with the input).
 */
#ifndef SELA_PY_CONVERT_H
#define SELA_PY_CONVERT_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Inputs from this many elements on are processed with the GIL released; below it the
 * release and reacquisition would cost more than the work. */
#define SELA_PY_NOGIL_MIN 2048

/* Doubles per converted block: 512 KiB, within the second-level cache, long enough that
 * the accumulator's per-call work is small beside the elements' (two such blocks, 1 MiB,
 * are the most any reduction holds). */
#define SELA_PY_BLOCK 65536

/* Converts n elements at p, step bytes apart, to doubles in out. */
typedef void (*sela_convert_fn)(const char *p, Py_ssize_t step, Py_ssize_t n, double *out);

/* The converter for a struct-module format of one real element, or NULL. */
sela_convert_fn sela_converter_for_format(const char *fmt, Py_ssize_t itemsize);

/* Whether a buffer's format and item size are native doubles ("d", "@d", "=d", "<d" on
 * this little-endian machine). */
int sela_format_is_native_double(const char *fmt, Py_ssize_t itemsize);

/* Whether obj is read through the buffer protocol (lists and tuples never are). */
int sela_is_buffer_input(PyObject *obj);

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

/* A strided region of real elements read in C order, in blocks. The dimensions are
 * simplified once (length-1 dimensions dropped, dimensions that step evenly merged), so a
 * contiguous array of any shape is one run. */
typedef struct sela_region {
  const char *base;
  int ndim;
  Py_ssize_t shape[64]; /* PyBUF_MAX_NDIM is 64 */
  Py_ssize_t strides[64];
  Py_ssize_t n;         /* elements in all */
  sela_convert_fn convert;
  int in_place;         /* contiguous, aligned native doubles: read without converting */
} sela_region;

/* Describes base/shape/strides as a region of n = prod(shape) elements. */
void sela_region_init(sela_region *r, const char *base, int ndim, const Py_ssize_t *shape,
                      const Py_ssize_t *strides, Py_ssize_t itemsize, sela_convert_fn convert);

/* Calls run(ctx, p, step, n) for each run of the region's innermost dimension, in C
 * order. Needs no interpreter lock. */
void sela_region_runs(const sela_region *r,
                      void (*run)(void *ctx, const char *p, Py_ssize_t step, Py_ssize_t n),
                      void *ctx);

/* 32 or 16 when the region holds binary32 or binary16 elements (then *swapped tells the
 * byte order), 0 otherwise. */
int sela_region_small_float(const sela_region *r, int *swapped);

/* A contiguous array of n native doubles as a region. */
void sela_region_of_doubles(sela_region *r, const double *x, Py_ssize_t n);

typedef struct sela_blocks {
  sela_region region;
  Py_ssize_t idx[64]; /* multi-index of the next element */
  Py_ssize_t done;    /* elements handed out */
  double *block;      /* the caller's sela_block_length(n) doubles; unused when read in place */
} sela_blocks;

/* Starts reading a region into the caller's block (which may be NULL for a region read
 * in place). */
void sela_blocks_start(sela_blocks *b, const sela_region *r, double *block);

/* The next elements as doubles in *out, and how many (0 at the end): at most max, and at
 * most SELA_PY_BLOCK unless the region is read in place. Needs no interpreter lock. */
Py_ssize_t sela_blocks_next(sela_blocks *b, Py_ssize_t max, const double **out);

/* The doubles a block holds for a region of n elements: n, at most SELA_PY_BLOCK (a short
 * input takes no more than it needs), at least 1. */
static inline Py_ssize_t sela_block_length(Py_ssize_t n) {
  return n < 1 ? 1 : n < SELA_PY_BLOCK ? n : SELA_PY_BLOCK;
}

/* A block of sela_block_length(n) doubles for regions of n elements (PyMem, needs the
 * interpreter lock), or NULL with MemoryError set. */
double *sela_block_alloc(Py_ssize_t n);

/* A buffer input as one region: holds the view. Returns 0, or -1 with an exception set
 * (TypeError for an exporter that is not an array of real numbers). */
typedef struct sela_buffer_input {
  Py_buffer view;
  sela_region region;
} sela_buffer_input;
int sela_buffer_input_get(PyObject *obj, sela_buffer_input *in);
void sela_buffer_input_release(sela_buffer_input *in);

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
