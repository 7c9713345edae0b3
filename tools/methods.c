#include "methods.h"

#include <stdio.h>
#include <string.h>

#include "sela.h"

#define SUM(name, label, f, allocates) {name, label, METHOD_SUM, f, NULL, NULL, NULL, allocates, 0}
#define DOT(name, label, f) {name, label, METHOD_DOT, NULL, NULL, f, NULL, ALLOCATES_NEVER, 0}

static const method kSums[] = {
    SUM("naive", "naive", sela_sum_naive, ALLOCATES_NEVER),
    SUM("pairwise", "pairwise", sela_sum_pairwise, ALLOCATES_NEVER),
    SUM("pairwise_iterative", "pairwise iterative", sela_sum_pairwise_iterative, ALLOCATES_SOMETIMES),
    SUM("kahan", "Kahan", sela_sum_kahan, ALLOCATES_NEVER),
    SUM("neumaier", "Neumaier", sela_sum_neumaier, ALLOCATES_NEVER),
    SUM("klein", "Klein", sela_sum_klein, ALLOCATES_NEVER),
    SUM("shewchuk", "Shewchuk", sela_sum_shewchuk, ALLOCATES_SOMETIMES),
    SUM("sum2", "Sum2", sela_sum_oro, ALLOCATES_NEVER),
    {"k", "SumK", METHOD_SUM, NULL, sela_sum_k, NULL, NULL, ALLOCATES_BEYOND_K, 64},
    SUM("acc", "AccSum", sela_sum_acc, ALLOCATES_SOMETIMES),
    SUM("near", "NearSum", sela_sum_near, ALLOCATES_NEVER),
    SUM("exact", "exact", sela_sum_exact, ALLOCATES_NEVER),
};

static const method kDots[] = {
    DOT("naive", "naive", sela_dot_naive),
    DOT("dot2", "Dot2", sela_dot2),
    {"k", "DotK", METHOD_DOT, NULL, NULL, NULL, sela_dot_k, ALLOCATES_BEYOND_K, 3},
    DOT("exact", "exact", sela_dot_exact),
};

/* Other spellings: the Python package's and the papers' names. */
static const struct {
  method_kind kind;
  const char *alias;
  const char *name;
  int32_t order; /* an alias of the K-fold names its order */
} kAliases[] = {
    {METHOD_SUM, "pairwise-iterative", "pairwise_iterative", 0},
    {METHOD_SUM, "oro", "sum2", 0},
    {METHOD_SUM, "accsum", "acc", 0},
    {METHOD_SUM, "nearsum", "near", 0},
    {METHOD_SUM, "sumk", "k", 3},
    {METHOD_DOT, "dotk", "k", 3},
};

#define TEXT(x) #x
#define NUMBER_TEXT(x) TEXT(x)
#define COUNT(a) (sizeof(a) / sizeof((a)[0]))

const method *method_list(method_kind kind, size_t *count) {
  *count = kind == METHOD_SUM ? COUNT(kSums) : COUNT(kDots);
  return kind == METHOD_SUM ? kSums : kDots;
}

static int takes_order(const method *m) { return m->sum_k != NULL || m->dot_k != NULL; }

static int equal(const char *name, size_t length, const char *text) {
  return strlen(text) == length && memcmp(name, text, length) == 0;
}

static const method *by_name(method_kind kind, const char *name, size_t length) {
  size_t count;
  const method *list = method_list(kind, &count);
  for (size_t i = 0; i < count; ++i)
    if (equal(name, length, list[i].name)) return &list[i];
  return NULL;
}

/* "N" of k:N: 1 when it is a whole number from 1 to METHOD_K_MAX, -1 for digits out of
 * that range, 0 when it is not digits at all (then "k:..." is no method's name). */
static int parse_order(const char *digits, size_t length, int32_t *order) {
  if (length == 0) return 0;
  int64_t value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return 0;
    if (value <= METHOD_K_MAX) value = value * 10 + (digits[i] - '0');
  }
  if (value < 1 || value > METHOD_K_MAX) return -1;
  *order = (int32_t)value;
  return 1;
}

method_status method_find(method_kind kind, const char *name, size_t length, int has_k,
                          int64_t k, const method **found, int32_t *order) {
  int32_t named_order = 0;
  const method *m = NULL;
  if (length >= 2 && name[0] == 'k' && name[1] == ':') {
    const int parsed = parse_order(name + 2, length - 2, &named_order);
    if (parsed == 0) return METHOD_UNKNOWN;
    if (parsed < 0) return METHOD_BAD_K;
    m = by_name(kind, "k", 1);
  } else {
    m = by_name(kind, name, length);
    for (size_t i = 0; m == NULL && i < COUNT(kAliases); ++i) {
      if (kAliases[i].kind == kind && equal(name, length, kAliases[i].alias)) {
        m = by_name(kind, kAliases[i].name, strlen(kAliases[i].name));
        named_order = kAliases[i].order;
      }
    }
  }
  if (m == NULL) return METHOD_UNKNOWN;
  if (!takes_order(m)) {
    if (has_k) return METHOD_K_CONFLICT;
    *found = m;
    *order = 0;
    return METHOD_OK;
  }
  if (has_k && named_order != 0) return METHOD_K_CONFLICT;
  if (has_k) {
    if (k < 1 || k > METHOD_K_MAX) return METHOD_BAD_K;
    named_order = (int32_t)k;
  }
  if (named_order == 0) return METHOD_NEEDS_K;
  *found = m;
  *order = named_order;
  return METHOD_OK;
}

const char *method_names(method_kind kind, char *buffer, size_t capacity) {
  size_t count, used = 0;
  const method *list = method_list(kind, &count);
  if (capacity == 0) return buffer;
  buffer[0] = '\0';
  for (size_t i = 0; i < count && used < capacity; ++i) {
    const int wrote = snprintf(buffer + used, capacity - used, "%s%s", i ? ", " : "",
                               takes_order(&list[i]) ? "k:N" : list[i].name);
    if (wrote < 0) break;
    used += (size_t)wrote;
  }
  return buffer;
}

const char *method_status_text(method_status status) {
  switch (status) {
    case METHOD_OK: return "ok";
    case METHOD_UNKNOWN: return "unknown method";
    case METHOD_NEEDS_K: return "the K-fold method needs its order K (k:N, N from 1 to " NUMBER_TEXT(METHOD_K_MAX) ")";
    case METHOD_BAD_K: return "K must be a whole number from 1 to " NUMBER_TEXT(METHOD_K_MAX) " (no input gains accuracy beyond)";
    case METHOD_K_CONFLICT: return "K is given twice, or to a method that takes none";
  }
  return "unknown status";
}

int method_may_allocate(const method *m, uint64_t n, int32_t order) {
  switch (m->allocates) {
    case ALLOCATES_NEVER: return 0;
    case ALLOCATES_SOMETIMES: return n >= 1;
    case ALLOCATES_BEYOND_K: {
      const uint64_t k = order < 1 ? 1 : (uint64_t)order;
      /* SumK keeps min(K, n) doubles; DotK K - 1 whatever n is. */
      return m->kind == METHOD_SUM ? (k < n ? k : n) > (uint64_t)m->free_k : k > (uint64_t)m->free_k;
    }
  }
  return 1;
}

double method_sum(const method *m, const double *x, uint64_t n, int32_t order) {
  return m->sum_k != NULL ? m->sum_k(x, n, order) : m->sum(x, n);
}

double method_dot(const method *m, const double *x, const double *y, uint64_t n,
                  int32_t order) {
  return m->dot_k != NULL ? m->dot_k(x, y, n, order) : m->dot(x, y, n);
}
