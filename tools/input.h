// Inputs of the tool: regular files are mapped, standard input and pipes are read in
// pieces; either way the numbers reach the caller in blocks, in order.
#ifndef SELA_TOOL_INPUT_H
#define SELA_TOOL_INPUT_H

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "progress.h"
#include "readers.h"

namespace sela_tool {

struct InputOptions {
  bool raw = false;                   // every input is raw little-endian float64
  std::vector<ColumnChoice> choices;  // CSV or .npy columns; empty: all numbers
};

class Source {
 public:
  // "-" is standard input. Raises ReadError for a missing, unreadable or empty file or
  // a directory.
  static std::unique_ptr<Source> open(const std::string &path);
  ~Source();
  Source(const Source &) = delete;
  Source &operator=(const Source &) = delete;

  const std::string &name() const { return name_; }
  bool mapped() const { return map_ != nullptr; }
  std::string_view image() const { return {static_cast<const char *>(map_), size_}; }
  std::uint64_t size() const { return size_; }
  // Reads up to `capacity` bytes of a stream; 0 at its end. Raises ReadError.
  std::size_t read(char *buffer, std::size_t capacity);

 private:
  Source() = default;
  std::string name_;
  int fd_ = -1;
  bool owns_fd_ = false;
  void *map_ = nullptr;
  std::uint64_t size_ = 0;
};

// Drops the whole pages of [begin, end) from this process's memory (a mapped file's pages
// stay in the page cache): reading a mapped file window by window stays in bounded memory.
void release_pages(const void *begin, const void *end);

// Called with (column, numbers) for each decoded block.
using BlockSink = std::function<void(std::size_t, std::span<const double>)>;

// Decodes the whole source with the reader for its format (raw when asked; .npy by its
// magic; else text, or a table when columns are chosen) and hands the numbers to `sink`
// in blocks as they come, so memory stays bounded. Returns the count of numbers read
// into the first column; raises ReadError.
std::uint64_t stream_source(Source &source, const InputOptions &options, const BlockSink &sink,
                            Progress &progress);

// The chosen column of a mapped source in place (little-endian float64 already in
// memory order), when there is one column and such a run exists.
std::optional<std::span<const double>> view_source(const Source &source, const InputOptions &options);

}  // namespace sela_tool

#endif
