// Readers: bytes in, doubles out. Each reader is fed its input in chunks of any size
// (a whole mapped file, or pieces of a pipe) and yields the same numbers for every split.
// Malformed input raises ReadError with a message ready for standard error; a reader
// never reads outside the chunk it is given and keeps no pointer into it.
#ifndef SELA_TOOL_READERS_H
#define SELA_TOOL_READERS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sela_tool {

struct ReadError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A column chosen by its 1-based position or by its header name.
struct ColumnChoice {
  std::uint64_t index = 0;  // 1-based; 0 when chosen by name
  std::string name;
};

// Parses "3" as position 3 and anything else as a name; an empty text, 0 or a
// position with leading zeros beyond 18 digits is refused (nullopt).
std::optional<ColumnChoice> parse_column_choice(std::string_view text);

enum class Format { text, npy, raw };

// .npy files start with these six bytes.
bool has_npy_magic(std::string_view first_bytes);

class Reader {
 public:
  virtual ~Reader() = default;
  // Decodes the next piece of the input.
  virtual void feed(std::string_view chunk) = 0;
  // The input has ended: decodes what is left and checks that the input was complete.
  virtual void finish() = 0;
  // Numbers decoded so far, one vector per chosen column (one vector without a choice).
  // The caller may move them out or clear them between feeds.
  std::vector<std::vector<double>> &columns() { return columns_; }
  // Bytes consumed so far (for progress reports).
  std::uint64_t bytes_seen() const { return bytes_seen_; }

 protected:
  std::vector<std::vector<double>> columns_;
  std::uint64_t bytes_seen_ = 0;
};

// `name` is used in messages. Text without column choices reads every number of the
// input; with choices the input is a table (CSV) and each choice gives one column.
// .npy input takes at most position choices (columns of a 2-D array), raw input none.
std::unique_ptr<Reader> make_reader(Format format, std::string name,
                                    std::vector<ColumnChoice> choices);

// ---- .npy header, shared by the streaming reader and by mapped files ----------------

struct NpyHeader {
  std::size_t data_offset = 0;  // bytes before the first element
  unsigned item_size = 8;       // 8 (float64) or 4 (float32)
  bool big_endian = false;
  bool fortran_order = false;
  unsigned dimensions = 1;  // 1 or 2
  std::uint64_t rows = 0;   // the length of a 1-D array
  std::uint64_t cols = 1;
  std::uint64_t count() const { return rows * cols; }
};

// Parses the header at the start of `bytes`. Returns nullopt while `bytes` is too short
// to hold the whole header; raises ReadError for a header that is not a float64 or
// float32 array of one or two dimensions, or whose size does not fit in 2^62 bytes.
std::optional<NpyHeader> parse_npy_header(std::string_view bytes, const std::string &name);

// When the chosen data of a whole .npy image is already a contiguous run of
// little-endian float64 values in place (a 1-D array, or one column of a Fortran-order
// array, suitably aligned), that run; else nullopt and the image must be decoded.
// `column` is 0-based; raises ReadError as the reader would for a bad choice or size.
std::optional<std::span<const double>> npy_view(std::string_view image, const std::string &name,
                                                const std::vector<ColumnChoice> &choices);

// A whole raw image as little-endian float64 values in place, when it is aligned.
std::optional<std::span<const double>> raw_view(std::string_view image, const std::string &name);

}  // namespace sela_tool

#endif
