#include "smallfloat.h"

#include <emmintrin.h>
#include <math.h>
#include <string.h>

/* float32 and float16 arrays in fewer doubles: groups of elements whose sum is exact in
 * binary64 go to the accumulator as that one sum. Converting every element to a double and
 * adding each costs more than reading a float64 array, since the conversion is a pass of
 * its own; grouping makes the accumulator's part several times smaller.
 *
 * binary32: a finite element with exponent field e is an integer multiple of
 * 2^(max(e, 1) - 150) below 2^(e - 126) in magnitude. In a group of 8 with fields from lo
 * to hi (zeros left out of lo, which they do not constrain), every partial sum is a
 * multiple of 2^(lo - 150) below 8 * 2^(hi - 126) = 2^(hi - 123): at most 2^(hi - lo + 27)
 * units, representable whenever hi - lo <= 26. Then each addition of the group is exact,
 * in any order. Other groups (wide exponents, NaNs and infinities) give their 8 doubles.
 *
 * binary16: every finite element is a multiple of 2^-24 below 2^16, so any 8192 of them
 * sum exactly (2^13 * 2^40 = 2^53 units); groups of 64 without a NaN or infinity give one
 * double. */

#define F32_GROUP 8
#define F16_GROUP 64

/* The test of a binary32 group on its double values: with m the largest magnitude and l
 * the smallest non-zero one, m < 2^26 l gives 2^(hi - 127) <= m < 2^26 l < 2^(lo - 100),
 * so hi - lo <= 26 (a subnormal counts as field 1, below 2^-125). A group of zeros passes
 * (m = 0). NaNs and infinities fail, and are noted. */
static Py_ssize_t group_f32(double *x, Py_ssize_t n, int *special) {
  Py_ssize_t i = 0, j = 0;
  for (; i + F32_GROUP <= n; i += F32_GROUP) {
    double top = 0.0, low = INFINITY;
    int odd = 0;
    for (int k = 0; k < F32_GROUP; k++) {
      const double a = fabs(x[i + k]);
      top = a > top ? a : top;
      const double b = a == 0.0 ? INFINITY : a;
      low = b < low ? b : low;
      odd |= !(a <= 0x1.fffffep127); /* above the largest binary32: a NaN or an infinity */
    }
    if (!odd && top < 0x1p26 * low) {
      const double *v = x + i;
      x[j++] = ((v[0] + v[1]) + (v[2] + v[3])) + ((v[4] + v[5]) + (v[6] + v[7]));
    } else {
      *special |= odd;
      memmove(x + j, x + i, F32_GROUP * sizeof(double));
      j += F32_GROUP;
    }
  }
  for (; i < n; i++) {
    *special |= !(fabs(x[i]) <= 0x1.fffffep127);
    x[j++] = x[i];
  }
  return j;
}

/* group_f32 fused with the conversion, for adjacent native binary32 elements: the test
 * runs on the binary32 magnitudes, four at a time, and only the groups that pass are
 * widened and added (the same exact sums, the same doubles otherwise). Returns the
 * doubles written to out. */
static Py_ssize_t group_f32_adjacent(const char *p, Py_ssize_t n, double *out, int *special) {
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 largest = _mm_set1_ps(0x1.fffffep127f);
  const __m128 infinity = _mm_set1_ps(INFINITY);
  const __m128 zero = _mm_setzero_ps();
  Py_ssize_t i = 0, j = 0;
  for (; i + F32_GROUP <= n; i += F32_GROUP) {
    const __m128 v0 = _mm_loadu_ps((const float *)(const void *)(p + 4 * i));
    const __m128 v1 = _mm_loadu_ps((const float *)(const void *)(p + 4 * i + 16));
    const __m128 a0 = _mm_and_ps(v0, magnitude), a1 = _mm_and_ps(v1, magnitude);
    /* A NaN or infinity: not <= the largest binary32 (unordered compares true). */
    const int odd = _mm_movemask_ps(_mm_or_ps(_mm_cmpnle_ps(a0, largest), _mm_cmpnle_ps(a1, largest)));
    __m128 top = _mm_max_ps(a0, a1);
    const __m128 z0 = _mm_cmpeq_ps(a0, zero), z1 = _mm_cmpeq_ps(a1, zero);
    const __m128 b0 = _mm_or_ps(_mm_and_ps(z0, infinity), _mm_andnot_ps(z0, a0));
    const __m128 b1 = _mm_or_ps(_mm_and_ps(z1, infinity), _mm_andnot_ps(z1, a1));
    __m128 low = _mm_min_ps(b0, b1);
    top = _mm_max_ps(top, _mm_movehl_ps(top, top));
    top = _mm_max_ss(top, _mm_shuffle_ps(top, top, 1));
    low = _mm_min_ps(low, _mm_movehl_ps(low, low));
    low = _mm_min_ss(low, _mm_shuffle_ps(low, low, 1));
    const __m128d d0 = _mm_cvtps_pd(v0), d1 = _mm_cvtps_pd(_mm_movehl_ps(v0, v0));
    const __m128d d2 = _mm_cvtps_pd(v1), d3 = _mm_cvtps_pd(_mm_movehl_ps(v1, v1));
    if (!odd && _mm_cvtss_f32(top) < 0x1p26f * _mm_cvtss_f32(low)) {
      const __m128d s = _mm_add_pd(_mm_add_pd(d0, d1), _mm_add_pd(d2, d3));
      out[j++] = _mm_cvtsd_f64(_mm_add_sd(s, _mm_unpackhi_pd(s, s)));
    } else {
      *special |= odd != 0;
      _mm_storeu_pd(out + j, d0);
      _mm_storeu_pd(out + j + 2, d1);
      _mm_storeu_pd(out + j + 4, d2);
      _mm_storeu_pd(out + j + 6, d3);
      j += F32_GROUP;
    }
  }
  for (; i < n; i++) {
    float f;
    memcpy(&f, p + 4 * i, sizeof f);
    *special |= !(fabsf(f) <= 0x1.fffffep127f);
    out[j++] = (double)f;
  }
  return j;
}

/* binary16 groups without a NaN or an infinity. */
static Py_ssize_t group_f16(double *x, Py_ssize_t n, int *special) {
  Py_ssize_t i = 0, j = 0;
  for (; i + F16_GROUP <= n; i += F16_GROUP) {
    int odd = 0;
    for (int k = 0; k < F16_GROUP; k++) odd |= !(fabs(x[i + k]) <= 65504.0);
    if (!odd) {
      double s = 0.0;
      for (int k = 0; k < F16_GROUP; k++) s += x[i + k];
      x[j++] = s;
    } else {
      *special = 1;
      memmove(x + j, x + i, F16_GROUP * sizeof(double));
      j += F16_GROUP;
    }
  }
  for (; i < n; i++) {
    *special |= !(fabs(x[i]) <= 65504.0);
    x[j++] = x[i];
  }
  return j;
}

typedef struct {
  sela_accumulator *acc;
  sela_convert_fn convert;
  int adjacent_f32; /* native binary32: runs of adjacent elements take the fused loop */
  Py_ssize_t (*group)(double *x, Py_ssize_t n, int *special);
  double *out;   /* cap doubles */
  Py_ssize_t cap; /* sela_block_length of the region: the group sums never outnumber the
                   * elements, so a short region fits whole */
  Py_ssize_t fill;
  int special, failed;
} grouping;

static void flush(grouping *g) {
  if (g->fill > 0 && !g->failed && sela_accumulator_add(g->acc, g->out, (uint64_t)g->fill) != 0)
    g->failed = 1;
  g->fill = 0;
}

/* A run is converted piece by piece into the free part of the block (one vector loop),
 * then grouped in place while it is in the first-level cache. */
static void group_run(void *ctx, const char *p, Py_ssize_t step, Py_ssize_t n) {
  grouping *g = ctx;
  const Py_ssize_t piece_max = 4096;
  while (n > 0) {
    if (g->fill + piece_max > g->cap) flush(g);
    const Py_ssize_t piece = n < piece_max ? n : piece_max;
    if (g->adjacent_f32 && step == 4) {
      g->fill += group_f32_adjacent(p, piece, g->out + g->fill, &g->special);
    } else {
      g->convert(p, step, piece, g->out + g->fill);
      g->fill += g->group(g->out + g->fill, piece, &g->special);
    }
    p += piece * step;
    n -= piece;
  }
}

int sela_py_add_small_floats(const sela_region *r, sela_accumulator *acc, double *block, int *special) {
  int swapped;
  const int width = sela_region_small_float(r, &swapped);
  if (width == 0) return 0;
  grouping g = {acc, r->convert, width == 32 && !swapped, width == 32 ? group_f32 : group_f16,
                block, sela_block_length(r->n), 0, 0, 0};
  sela_region_runs(r, group_run, &g);
  flush(&g);
  *special = g.special;
  return g.failed ? -1 : 1;
}
