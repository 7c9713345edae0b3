/* Preloaded into the tool by its tests (LD_PRELOAD) to make failures happen on cue,
 * chosen by environment variables:
 *   SELA_SHIM_THREADS=N          pthread_create fails with EAGAIN once N threads exist;
 *   SELA_SHIM_TRUNCATE=SIZE:PATH the first read or mapping of PATH truncates it to SIZE
 *                                bytes right after (another process cutting the file). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static atomic_int threads_made;
static atomic_int truncated;

int pthread_create(pthread_t *thread, const pthread_attr_t *attr, void *(*start)(void *), void *arg) {
  static int (*real)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
  const char *limit = getenv("SELA_SHIM_THREADS");
  if (limit != NULL && atomic_fetch_add(&threads_made, 1) >= atoi(limit)) return EAGAIN;
  if (real == NULL) *(void **)&real = dlsym(RTLD_NEXT, "pthread_create");
  return real(thread, attr, start, arg);
}

/* Truncates the file named by SELA_SHIM_TRUNCATE once, if fd is that file. */
static void cut_if_target(int fd) {
  const char *request = getenv("SELA_SHIM_TRUNCATE");
  if (request == NULL || fd < 0 || atomic_load(&truncated)) return;
  const char *path = strchr(request, ':');
  struct stat of_fd, of_path;
  if (path == NULL || fstat(fd, &of_fd) != 0 || stat(path + 1, &of_path) != 0) return;
  if (of_fd.st_dev != of_path.st_dev || of_fd.st_ino != of_path.st_ino) return;
  if (atomic_exchange(&truncated, 1)) return;
  if (truncate(path + 1, (off_t)atoll(request)) != 0) abort();
}

ssize_t read(int fd, void *buffer, size_t count) {
  static ssize_t (*real)(int, void *, size_t);
  if (real == NULL) *(void **)&real = dlsym(RTLD_NEXT, "read");
  const int saved = errno;
  const ssize_t got = real(fd, buffer, count);
  const int error = errno;
  if (got > 0) cut_if_target(fd);
  errno = got < 0 ? error : saved;
  return got;
}

void *mmap(void *address, size_t length, int protection, int flags, int fd, off_t offset) {
  static void *(*real)(void *, size_t, int, int, int, off_t);
  if (real == NULL) *(void **)&real = dlsym(RTLD_NEXT, "mmap");
  void *mapped = real(address, length, protection, flags, fd, offset);
  if (mapped != MAP_FAILED) cut_if_target(fd);
  return mapped;
}
