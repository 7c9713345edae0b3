/* The sums and dot products every front end offers by name: the tool's --method and
 * Python's sela.sum(..., method=) and sela.dot(..., method=) read this one table, so they
 * accept the same names and call the same export for each (the same bits).
 *
 * Adding a sum or a dot product to the front ends is one row in methods.c. Plain C, so
 * the C++ tool and the C extension compile the same file; it is not part of libsela,
 * which has no options and no names for its functions beyond their symbols. */
#ifndef SELA_METHODS_H
#define SELA_METHODS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest order K the front ends accept for the K-fold sum and dot product. Each
 * level of the cascade sums the rounding errors of the level before, which are smaller
 * by a factor of at most g(4n) <= 2^-7 for any n up to 2^44 elements; the products of
 * two doubles span about 4200 bits of exponent (2^-2148 to 2^2048), so after some 600
 * levels nothing is left to recover for any array that fits in memory, and no input
 * gains accuracy from more. 4096 keeps a wide margin and bounds the cost: 32 KiB of
 * scratch and about 1.7e7 steps for DotK's K^2 term. Larger K are refused (an order the
 * library would take for minutes, or end the process for, is a usage error). */
#define METHOD_K_MAX 4096

typedef enum { METHOD_SUM, METHOD_DOT } method_kind;

/* Whether an export may take scratch memory from the heap (and end the process when it
 * cannot): see method_may_allocate. */
typedef enum { ALLOCATES_NEVER, ALLOCATES_SOMETIMES, ALLOCATES_BEYOND_K } method_allocation;

typedef struct {
  const char *name;  /* canonical name; the K-fold entry is "k", written k:N */
  const char *label; /* for the tool's table ("Kahan", "SumK") */
  method_kind kind;
  double (*sum)(const double *x, uint64_t n);
  double (*sum_k)(const double *x, uint64_t n, int32_t k);
  double (*dot)(const double *x, const double *y, uint64_t n);
  double (*dot_k)(const double *x, const double *y, uint64_t n, int32_t k);
  method_allocation allocates;
  int32_t free_k; /* ALLOCATES_BEYOND_K: nothing is allocated while min(K, n) <= free_k */
} method;

/* The methods of a kind, in the order a full table shows them. */
const method *method_list(method_kind kind, size_t *count);

typedef enum {
  METHOD_OK,
  METHOD_UNKNOWN,      /* no method of this kind has that name */
  METHOD_NEEDS_K,      /* "k" without an order */
  METHOD_BAD_K,        /* an order that is not a whole number from 1 to METHOD_K_MAX */
  METHOD_K_CONFLICT,   /* an order given twice (k:3 and k=4), or to a method without one */
} method_status;

/* Looks a name up. `name` (`length` bytes, not necessarily terminated) is a canonical
 * name, an alias ("oro" for sum2, "accsum" for acc, ...) or "k:N" for the K-fold; an
 * order may also come apart (`has_k`, `k`: Python's k=). On METHOD_OK, *found is the
 * table entry and *order its K (0 for methods without one). */
method_status method_find(method_kind kind, const char *name, size_t length, int has_k,
                          int64_t k, const method **found, int32_t *order);

/* The names accepted, comma separated, as a message lists them ("naive, ..., k:N, ...").
 * Writes at most `capacity` bytes including the terminating zero; returns `buffer`. */
const char *method_names(method_kind kind, char *buffer, size_t capacity);

/* What a status means, for an error message (a static string). */
const char *method_status_text(method_status status);

/* Whether a call on n elements (with order K) may allocate: the documented scratch of
 * each export (pairwise_iterative n doubles, shewchuk its partials, acc n doubles for
 * data needing many sweeps, SumK min(K, n) doubles beyond 64, DotK K - 1 beyond K = 3). */
int method_may_allocate(const method *m, uint64_t n, int32_t order);

/* The method's result on x (and y), calling its export. */
double method_sum(const method *m, const double *x, uint64_t n, int32_t order);
double method_dot(const method *m, const double *x, const double *y, uint64_t n,
                  int32_t order);

#ifdef __cplusplus
}
#endif

#endif
