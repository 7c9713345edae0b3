// Inputs of the tool: files and standard input, read into the tool's own buffers (never
// mapped, so a file cut short by another process is an error message, not a crash); the
// numbers reach the caller in blocks, in order.
#ifndef SELA_TOOL_INPUT_H
#define SELA_TOOL_INPUT_H

#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "progress.h"
#include "readers.h"

namespace sela_tool {

// The allocator of the tool's arrays of numbers. Every element is written (read from a
// file or decoded) before it is used, so growing an array does not zero it first, and
// large arrays are mapped with huge pages where the system offers them: filling 10^8
// numbers then costs a few hundred page faults instead of 200000.
void *allocate_numbers(std::size_t bytes);
void free_numbers(void *p, std::size_t bytes) noexcept;

template <class T>
struct NumberAllocator {
  using value_type = T;
  NumberAllocator() = default;
  template <class U>
  NumberAllocator(const NumberAllocator<U> &) {}
  T *allocate(std::size_t n) {
    if (n > std::size_t(-1) / sizeof(T)) throw std::bad_alloc();
    return static_cast<T *>(allocate_numbers(n * sizeof(T)));
  }
  void deallocate(T *p, std::size_t n) noexcept { free_numbers(p, n * sizeof(T)); }
  template <class U>
  void construct(U *p) noexcept {
    ::new (static_cast<void *>(p)) U;  // default-initialised: left as it is
  }
  template <class U, class... Args>
  void construct(U *p, Args &&...args) {
    ::new (static_cast<void *>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const NumberAllocator &, const NumberAllocator &) { return true; }
};

using Numbers = std::vector<double, NumberAllocator<double>>;

struct InputOptions {
  bool raw = false;    // every input is raw little-endian float64
  TableOptions table;  // CSV or .npy columns; no choices: all numbers
};

// Makes descriptors 0, 1 and 2 valid before any file is opened: a closed one is taken by
// /dev/null opened the wrong way round, so reading a closed standard input or writing a
// closed standard output fails with "Bad file descriptor" instead of reaching a file
// the tool opened later under that number.
void reserve_standard_descriptors();

class Source {
 public:
  // "-" is standard input. Raises ReadError for a missing or unreadable file, an empty
  // regular file or a directory.
  static std::unique_ptr<Source> open(const std::string &path);
  ~Source();
  Source(const Source &) = delete;
  Source &operator=(const Source &) = delete;

  const std::string &name() const { return name_; }
  // A regular file: its size is known, and it must not change while it is read.
  bool regular() const { return regular_; }
  // Bytes to read (regular files; 0 for pipes).
  std::uint64_t size() const { return size_; }
  // The first `n` bytes (fewer at the end), without consuming them.
  std::string_view peek(std::size_t n);
  // Reads up to `capacity` bytes; 0 at the end. For a regular file the end is its size
  // when opened, and a file that ends earlier, or whose size or modification time
  // changed when the end is reached, raises ReadError.
  std::size_t read(char *buffer, std::size_t capacity);
  // Reads exactly `n` bytes; raises ReadError when the input ends first.
  void read_exactly(char *buffer, std::size_t n);
  // Passes over `n` bytes (at most what is left).
  void skip(std::uint64_t n);

 private:
  Source() = default;
  std::size_t read_input(char *buffer, std::size_t capacity);  // past the peeked bytes
  void check_unchanged();

  std::string name_;
  int fd_ = -1;
  bool owns_fd_ = false;
  bool regular_ = false;
  std::uint64_t size_ = 0;
  std::uint64_t done_ = 0;  // bytes of a regular file consumed (peeked ones included)
  off_t start_ = 0;         // where reading began (standard input may be partly read)
  timespec modified_{};
  std::string pending_;  // peeked bytes not yet consumed
};

// Called with (column, numbers) for each decoded block.
using BlockSink = std::function<void(std::size_t, std::span<const double>)>;

// What reading left out, for the report: rows skipped for missing values, remarks.
struct ReadNotes {
  std::uint64_t skipped_rows = 0;
  std::vector<std::string> remarks;
};

// When the one chosen column of the source lies in it as a run of little-endian float64
// values (raw input of a whole number of values, a 1-D float64 .npy file, one column of a
// Fortran-order one) and the source is a regular file: passes over the bytes before the
// run and returns its count. Otherwise nullopt, with nothing consumed.
std::optional<std::uint64_t> float64_run(Source &source, const InputOptions &options);
// Reads the next `count` values of the run into `out` (the bytes are the values).
void read_doubles(Source &source, double *out, std::uint64_t count, Progress &progress);
// Passes over what follows the run and checks the file did not change.
void finish_run(Source &source);

// Decodes the whole source with the reader for its format (raw when asked; .npy by its
// magic; else text, or a table when columns are chosen) and hands the numbers to `sink`
// in blocks as they come, so memory stays bounded. Returns the count of numbers read
// into the first column; raises ReadError.
std::uint64_t stream_source(Source &source, const InputOptions &options, const BlockSink &sink,
                            Progress &progress, ReadNotes &notes);

}  // namespace sela_tool

#endif
