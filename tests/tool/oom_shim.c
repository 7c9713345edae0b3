/* Preloaded into the tool by its tests (LD_PRELOAD): every allocation that libsela makes
 * itself fails, as when memory runs out, while the tool's own allocations succeed. The
 * library then ends the process as documented ("out of memory", status 1), which the tool
 * must not let end itself. Not for sanitized builds: it replaces the allocator. */
#define _GNU_SOURCE
#include <errno.h>
#include <link.h>
#include <stdint.h>
#include <string.h>

extern void *__libc_malloc(size_t);
extern void *__libc_calloc(size_t, size_t);
extern void *__libc_memalign(size_t, size_t);

static uintptr_t sela_begin, sela_end;  /* libsela's mapped segments */

static int find_sela(struct dl_phdr_info *info, size_t size, void *unused) {
  (void)size;
  (void)unused;
  if (info->dlpi_name == NULL || strstr(info->dlpi_name, "libsela.so") == NULL) return 0;
  for (int k = 0; k < info->dlpi_phnum; ++k) {
    if (info->dlpi_phdr[k].p_type != PT_LOAD) continue;
    const uintptr_t begin = info->dlpi_addr + info->dlpi_phdr[k].p_vaddr;
    const uintptr_t end = begin + info->dlpi_phdr[k].p_memsz;
    if (sela_begin == 0 || begin < sela_begin) sela_begin = begin;
    if (end > sela_end) sela_end = end;
  }
  return 1;
}

__attribute__((constructor)) static void locate_sela(void) { dl_iterate_phdr(find_sela, NULL); }

static int from_sela(const void *caller) {
  return (uintptr_t)caller >= sela_begin && (uintptr_t)caller < sela_end;
}

void *malloc(size_t size) {
  if (from_sela(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_malloc(size);
}

void *calloc(size_t count, size_t size) {
  if (from_sela(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_calloc(count, size);
}

void *aligned_alloc(size_t alignment, size_t size) {
  if (from_sela(__builtin_return_address(0))) {
    errno = ENOMEM;
    return NULL;
  }
  return __libc_memalign(alignment, size);
}
