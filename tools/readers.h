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

// Whether the first row of a table names its columns: `guess` takes it as the header when
// a chosen column's field there is not a number (so it cannot be data) or a column is
// chosen by name; the other columns never decide.
enum class HeaderMode { guess, present, absent };
// Rows of a table whose chosen fields are empty (or absent: a short row) are an error,
// or left out and counted.
enum class MissingMode { error, skip };

struct TableOptions {
  std::vector<ColumnChoice> choices;  // empty: every number of free text
  HeaderMode header = HeaderMode::guess;
  MissingMode missing = MissingMode::error;
};

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
  // Table rows left out for missing values (MissingMode::skip).
  std::uint64_t skipped_rows() const { return skipped_rows_; }
  // Remarks for standard error (a first row taken as the header); the caller takes them.
  std::vector<std::string> &notes() { return notes_; }

 protected:
  std::vector<std::vector<double>> columns_;
  std::uint64_t bytes_seen_ = 0;
  std::uint64_t skipped_rows_ = 0;
  std::vector<std::string> notes_;
};

// `name` is used in messages. Text without column choices reads every number of the
// input; with choices the input is a table (CSV, RFC 4180 quoting: quoted fields may hold
// separators, doubled quotes and line breaks) and each choice gives one column. .npy
// input takes at most position choices (columns of a 2-D array), raw input none.
std::unique_ptr<Reader> make_reader(Format format, std::string name, TableOptions options);

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

// Where the chosen numbers of a .npy file lie as one run of little-endian float64
// values, so they can be read straight into an array: a 1-D array, or one column of a
// Fortran-order 2-D array, whose file holds exactly the data its header describes.
struct Float64Run {
  std::uint64_t offset = 0;  // bytes from the start of the file
  std::uint64_t count = 0;
};
// nullopt when the data must be decoded (another type or byte order, a row-major 2-D
// array, a file of the wrong size: the reader then gives the message); raises ReadError
// as the reader would for a bad choice.
std::optional<Float64Run> npy_float64_run(const NpyHeader &header, const std::string &name,
                                          const std::vector<ColumnChoice> &choices,
                                          std::uint64_t file_size);

}  // namespace sela_tool

#endif
