#include "readers.h"

#include <array>
#include <bit>
#include <cctype>
#include <charconv>
#include <cstring>

#include "number_parse.h"

namespace sela_tool {
namespace {

// A token or a table line longer than this is refused rather than buffered without end.
constexpr std::size_t kMaxToken = std::size_t{1} << 20;
constexpr std::size_t kMaxLine = std::size_t{64} << 20;
constexpr std::size_t kMaxNpyHeader = std::size_t{1} << 20;

std::string position(const std::string &name, std::uint64_t line, std::uint64_t col) {
  return name + ":" + std::to_string(line) + ":" + std::to_string(col) + ": ";
}

[[noreturn]] void bad_number(const std::string &name, std::uint64_t line, std::uint64_t col,
                             std::string_view token) {
  throw ReadError(position(name, line, col) + "cannot read '" + printable_token(token) +
                  "' as a number");
}

// ---- Free text: every number of the input ----------------------------------------------

enum ByteClass : unsigned char { kToken, kSeparator, kNewline, kComment };

constexpr std::array<unsigned char, 256> make_classes() {
  std::array<unsigned char, 256> classes{};
  for (const char c : {' ', '\t', '\r', '\v', '\f', ',', ';'})
    classes[static_cast<unsigned char>(c)] = kSeparator;
  classes['\n'] = kNewline;
  classes['#'] = kComment;
  return classes;
}
constexpr std::array<unsigned char, 256> kClasses = make_classes();

unsigned char byte_class(char c) { return kClasses[static_cast<unsigned char>(c)]; }

class TextReader final : public Reader {
 public:
  explicit TextReader(std::string name) : name_(std::move(name)) { columns_.resize(1); }

  void feed(std::string_view chunk) override {
    bytes_seen_ += chunk.size();
    const char *p = chunk.data();
    const std::size_t n = chunk.size();
    std::size_t i = 0;
    if (!carry_.empty()) {
      // The previous chunk ended inside a token: complete it first.
      while (i < n && byte_class(p[i]) == kToken) ++i;
      carry_.append(p, i);
      if (carry_.size() > kMaxToken) bad_number(name_, line_, carry_col_, carry_);
      if (i == n) return;
      take(carry_, carry_col_);
      col_ = carry_col_ + carry_.size();
      carry_.clear();
    }
    while (i < n) {
      if (in_comment_) {
        const void *newline = std::memchr(p + i, '\n', n - i);
        if (newline == nullptr) return;
        i = static_cast<std::size_t>(static_cast<const char *>(newline) - p);
        in_comment_ = false;
        continue;
      }
      switch (byte_class(p[i])) {
        case kNewline:
          ++line_;
          col_ = 1;
          ++i;
          continue;
        case kSeparator:
          ++col_;
          ++i;
          continue;
        case kComment:
          in_comment_ = true;
          ++i;
          continue;
        default:
          break;
      }
      std::size_t end = i + 1;
      while (end < n && byte_class(p[end]) == kToken) ++end;
      if (end == n) {
        carry_.assign(p + i, n - i);
        carry_col_ = col_;
        if (carry_.size() > kMaxToken) bad_number(name_, line_, carry_col_, carry_);
        return;
      }
      take(std::string_view(p + i, end - i), col_);
      col_ += end - i;
      i = end;
    }
  }

  void finish() override {
    if (!carry_.empty()) take(carry_, carry_col_);
    carry_.clear();
  }

 private:
  void take(std::string_view token, std::uint64_t col) {
    double value;
    if (token.size() > kMaxToken || !parse_number(token, value)) bad_number(name_, line_, col, token);
    columns_[0].push_back(value);
  }

  std::string name_;
  std::string carry_;  // a token cut by the end of the previous chunk
  std::uint64_t carry_col_ = 0;
  bool in_comment_ = false;
  std::uint64_t line_ = 1;  // position of the next byte
  std::uint64_t col_ = 1;
};

// ---- Tables: chosen columns of a CSV file ------------------------------------------------

struct Field {
  std::string_view text;
  std::size_t col;  // 1-based byte column of the field's first byte
};

// The table's separator: the first of ',', ';' and tab found outside double quotes in
// its first row, else runs of blanks.
char first_separator(std::string_view line) {
  for (const char candidate : {',', ';', '\t'}) {
    bool quoted = false;
    for (const char c : line) {
      if (c == '"') quoted = !quoted;
      if (c == candidate && !quoted) return candidate;
    }
  }
  return '\0';
}

class CsvReader final : public Reader {
 public:
  CsvReader(std::string name, std::vector<ColumnChoice> choices)
      : name_(std::move(name)), choices_(std::move(choices)) {
    columns_.resize(choices_.size());
  }

  void feed(std::string_view chunk) override {
    bytes_seen_ += chunk.size();
    std::size_t start = 0;
    if (!carry_.empty()) {
      const std::size_t newline = chunk.find('\n');
      const std::size_t take = newline == std::string_view::npos ? chunk.size() : newline;
      carry_.append(chunk.substr(0, take));
      if (carry_.size() > kMaxLine)
        throw ReadError(name_ + ":" + std::to_string(line_) + ": line longer than 64 MiB");
      if (newline == std::string_view::npos) return;
      row(carry_);
      carry_.clear();
      start = newline + 1;
    }
    while (start < chunk.size()) {
      const std::size_t newline = chunk.find('\n', start);
      if (newline == std::string_view::npos) {
        carry_.assign(chunk.substr(start));
        if (carry_.size() > kMaxLine)
          throw ReadError(name_ + ":" + std::to_string(line_) + ": line longer than 64 MiB");
        return;
      }
      row(chunk.substr(start, newline - start));
      start = newline + 1;
    }
  }

  void finish() override {
    if (!carry_.empty()) row(carry_);
    carry_.clear();
  }

 private:
  // One line: cut its comment, split it, then take it as the header or as data.
  void row(std::string_view line) {
    const std::uint64_t number = line_++;
    if (line.size() > kMaxLine)
      throw ReadError(name_ + ":" + std::to_string(number) + ": line longer than 64 MiB");
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '"') quoted = !quoted;
      if (line[i] == '#' && !quoted) {
        line = line.substr(0, i);
        break;
      }
    }
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
      line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos) return;
    if (!started_) {
      started_ = true;
      separator_ = first_separator(line);
      split(line);
      if (first_row_is_header()) {
        resolve(number, true);
        return;
      }
      resolve(number, false);
    } else {
      split(line);
    }
    for (std::size_t k = 0; k < wanted_.size(); ++k) {
      if (wanted_[k] >= fields_.size())
        throw ReadError(name_ + ":" + std::to_string(number) + ": row has " +
                        std::to_string(fields_.size()) + " fields, column " +
                        std::to_string(wanted_[k] + 1) + " is missing");
      const Field &field = fields_[wanted_[k]];
      double value;
      if (!parse_number(field.text, value)) bad_number(name_, number, field.col, field.text);
      columns_[k].push_back(value);
    }
  }

  bool first_row_is_header() const {
    for (const ColumnChoice &choice : choices_)
      if (choice.index == 0) return true;
    for (const Field &field : fields_) {
      double value;
      if (!parse_number(field.text, value)) return true;
    }
    return false;
  }

  void resolve(std::uint64_t number, bool header) {
    for (const ColumnChoice &choice : choices_) {
      if (choice.index == 0) {
        std::size_t k = 0;
        while (k < fields_.size() && fields_[k].text != choice.name) ++k;
        if (k == fields_.size()) {
          std::string names;
          for (const Field &field : fields_)
            names += (names.empty() ? "" : ", ") + printable_token(field.text);
          throw ReadError(name_ + ":" + std::to_string(number) + ": no column named '" +
                          printable_token(choice.name) + "' (the header has " + names + ")");
        }
        wanted_.push_back(k);
      } else {
        if (header && choice.index > fields_.size())
          throw ReadError(name_ + ":" + std::to_string(number) + ": the header has " +
                          std::to_string(fields_.size()) + " columns, column " +
                          std::to_string(choice.index) + " is missing");
        wanted_.push_back(static_cast<std::size_t>(choice.index - 1));
      }
    }
  }

  // Splits at the separator (or at runs of blanks when there is none), trimming blanks;
  // a field in double quotes may hold separators, "" stands for one quote.
  void split(std::string_view line) {
    fields_.clear();
    unquoted_.clear();
    unquoted_.reserve(line.size());  // never reallocates below: views into it stay valid
    const char sep = separator_;
    const auto blank = [sep](char c) { return c == ' ' || (c == '\t' && sep != '\t'); };
    const auto ends = [sep, &blank](char c) { return sep == '\0' ? blank(c) : c == sep; };
    const std::size_t n = line.size();
    std::size_t i = 0;
    for (;;) {
      while (i < n && blank(line[i])) ++i;
      if (sep == '\0' && i == n) return;
      const std::size_t start = i;
      Field field{{}, start + 1};
      bool done = false;
      if (i < n && line[i] == '"') {
        const std::size_t from = unquoted_.size();
        std::size_t j = i + 1;
        bool closed = false;
        while (j < n) {
          if (line[j] == '"') {
            if (j + 1 < n && line[j + 1] == '"') {
              unquoted_ += '"';
              j += 2;
              continue;
            }
            closed = true;
            ++j;
            break;
          }
          unquoted_ += line[j++];
        }
        std::size_t k = j;
        while (k < n && blank(line[k])) ++k;
        if (closed && (k == n || ends(line[k]))) {
          field.text = std::string_view(unquoted_).substr(from);
          i = k;
          done = true;
        }
      }
      if (!done) {
        std::size_t end = i;
        while (end < n && !ends(line[end])) ++end;
        std::size_t last = end;
        while (last > start && blank(line[last - 1])) --last;
        field.text = line.substr(start, last - start);
        i = end;
      }
      fields_.push_back(field);
      if (i >= n) return;
      ++i;  // the separator
    }
  }

  std::string name_;
  std::vector<ColumnChoice> choices_;
  std::vector<std::size_t> wanted_;  // 0-based field of each choice
  std::vector<Field> fields_;
  std::string unquoted_;
  std::string carry_;  // a line cut by the end of the previous chunk
  std::uint64_t line_ = 1;
  bool started_ = false;
  char separator_ = '\0';
};

// ---- .npy --------------------------------------------------------------------------------

std::uint64_t load_le(const char *p, unsigned size) {
  std::uint64_t value = 0;
  for (unsigned k = 0; k < size; ++k)
    value |= std::uint64_t{static_cast<unsigned char>(p[k])} << (8 * k);
  return value;
}

double load_element(const char *p, unsigned size, bool big_endian) {
  if (size == 8) {
    std::uint64_t bits;
    std::memcpy(&bits, p, 8);
    if (big_endian) bits = __builtin_bswap64(bits);
    return std::bit_cast<double>(bits);
  }
  std::uint32_t bits;
  std::memcpy(&bits, p, 4);
  if (big_endian) bits = __builtin_bswap32(bits);
  return static_cast<double>(std::bit_cast<float>(bits));  // widening is exact
}

// A reader of the small Python literal that holds the header's fields.
class HeaderText {
 public:
  HeaderText(std::string_view text, const std::string &name) : text_(text), name_(name) {}

  [[noreturn]] void fail() const { throw ReadError(name_ + ": malformed .npy header"); }

  void blanks() {
    while (i_ < text_.size() && (text_[i_] == ' ' || text_[i_] == '\n' || text_[i_] == '\t'))
      ++i_;
  }
  bool next_is(char c) {
    blanks();
    return i_ < text_.size() && text_[i_] == c;
  }
  void expect(char c) {
    if (!next_is(c)) fail();
    ++i_;
  }
  bool at_end() {
    blanks();
    return i_ == text_.size();
  }
  std::string_view string() {
    blanks();
    if (i_ >= text_.size() || (text_[i_] != '\'' && text_[i_] != '"')) fail();
    const char quote = text_[i_++];
    const std::size_t end = text_.find(quote, i_);
    if (end == std::string_view::npos) fail();
    const std::string_view s = text_.substr(i_, end - i_);
    i_ = end + 1;
    return s;
  }
  std::string_view word() {
    blanks();
    const std::size_t start = i_;
    while (i_ < text_.size() && std::isalpha(static_cast<unsigned char>(text_[i_]))) ++i_;
    return text_.substr(start, i_ - start);
  }
  std::uint64_t integer() {
    blanks();
    std::uint64_t value = 0;
    const auto [ptr, ec] = std::from_chars(text_.data() + i_, text_.data() + text_.size(), value);
    if (ec != std::errc() || value > (std::uint64_t{1} << 62)) fail();
    i_ = static_cast<std::size_t>(ptr - text_.data());
    return value;
  }

 private:
  std::string_view text_;
  const std::string &name_;
  std::size_t i_ = 0;
};

void parse_header_fields(std::string_view text, const std::string &name, NpyHeader &header) {
  HeaderText in(text, name);
  bool have_descr = false, have_order = false, have_shape = false;
  std::vector<std::uint64_t> shape;
  in.expect('{');
  while (!in.next_is('}')) {
    const std::string_view key = in.string();
    in.expect(':');
    if (key == "descr") {
      if (in.next_is('[')) throw ReadError(name + ": structured .npy arrays are not read");
      const std::string_view descr = in.string();
      const bool known = descr.size() == 3 && (descr[0] == '<' || descr[0] == '>' ||
                                               descr[0] == '=') &&
                         descr[1] == 'f' && (descr[2] == '8' || descr[2] == '4');
      if (!known)
        throw ReadError(name + ": .npy data type '" + printable_token(descr) +
                        "' is not float64 or float32");
      header.big_endian = descr[0] == '>';
      header.item_size = descr[2] == '8' ? 8 : 4;
      have_descr = true;
    } else if (key == "fortran_order") {
      const std::string_view value = in.word();
      if (value != "True" && value != "False") in.fail();
      header.fortran_order = value == "True";
      have_order = true;
    } else if (key == "shape") {
      in.expect('(');
      while (!in.next_is(')')) {
        shape.push_back(in.integer());
        if (!in.next_is(')')) in.expect(',');
      }
      in.expect(')');
      have_shape = true;
    } else {
      in.fail();
    }
    if (!in.next_is('}')) in.expect(',');
  }
  in.expect('}');
  if (!in.at_end() || !have_descr || !have_order || !have_shape) in.fail();
  if (shape.empty() || shape.size() > 2)
    throw ReadError(name + ": the .npy array has " + std::to_string(shape.size()) +
                    " dimensions; 1 or 2 are read");
  header.dimensions = static_cast<unsigned>(shape.size());
  header.rows = shape[0];
  header.cols = shape.size() == 2 ? shape[1] : 1;
  // Each factor is at most 2^62; the size must fit in 2^62 bytes.
  if (header.cols != 0 && header.rows > (std::uint64_t{1} << 62) / header.item_size / header.cols)
    throw ReadError(name + ": the .npy array is too large");
}

// The 0-based array column of each choice.
std::vector<std::uint64_t> npy_columns(const NpyHeader &header, const std::string &name,
                                       const std::vector<ColumnChoice> &choices) {
  if (choices.empty()) {
    if (header.dimensions == 2 && header.cols != 1)
      throw ReadError(name + ": 2-D .npy array (" + std::to_string(header.rows) + " x " +
                      std::to_string(header.cols) + "): choose a column with --column N");
    return {0};
  }
  if (header.dimensions == 1) throw ReadError(name + ": a 1-D .npy array has no columns");
  std::vector<std::uint64_t> columns;
  for (const ColumnChoice &choice : choices) {
    if (choice.index == 0)
      throw ReadError(name + ": .npy columns have no names; choose a column by its number");
    if (choice.index > header.cols)
      throw ReadError(name + ": column " + std::to_string(choice.index) +
                      " is beyond the array's " + std::to_string(header.cols) + " columns");
    columns.push_back(choice.index - 1);
  }
  return columns;
}

std::string truncated_npy(const std::string &name, const NpyHeader &header, std::uint64_t bytes) {
  return name + ": truncated .npy file: the header describes " + std::to_string(header.count()) +
         " values (" + std::to_string(header.count() * header.item_size) +
         " bytes of data), the file holds " + std::to_string(bytes);
}

std::string excess_npy(const std::string &name, std::uint64_t bytes) {
  return name + ": the .npy file has " + std::to_string(bytes) + " bytes after its data";
}

class NpyReader final : public Reader {
 public:
  NpyReader(std::string name, std::vector<ColumnChoice> choices)
      : name_(std::move(name)), choices_(std::move(choices)) {
    columns_.resize(choices_.empty() ? 1 : choices_.size());
  }

  void feed(std::string_view chunk) override {
    bytes_seen_ += chunk.size();
    if (!header_) {
      std::string_view bytes = chunk;
      if (!head_.empty() || !(header_ = parse_npy_header(chunk, name_))) {
        head_.append(chunk);
        header_ = parse_npy_header(head_, name_);
        if (!header_) return;
        bytes = head_;
      }
      wanted_ = npy_columns(*header_, name_, choices_);
      decode(bytes.substr(header_->data_offset));
      head_.clear();
      return;
    }
    decode(chunk);
  }

  void finish() override {
    if (!header_) throw ReadError(name_ + ": truncated .npy header");
    if (index_ < header_->count())
      throw ReadError(truncated_npy(name_, *header_, index_ * header_->item_size + partial_.size()));
    if (excess_ > 0) throw ReadError(excess_npy(name_, excess_));
  }

 private:
  void put(double value) {
    const NpyHeader &h = *header_;
    const std::uint64_t col = h.fortran_order ? index_ / h.rows : index_ % h.cols;
    for (std::size_t k = 0; k < wanted_.size(); ++k)
      if (wanted_[k] == col) columns_[k].push_back(value);
    ++index_;
  }

  void decode(std::string_view data) {
    const NpyHeader &h = *header_;
    const unsigned size = h.item_size;
    std::size_t i = 0;
    if (!partial_.empty() && index_ < h.count()) {
      const std::size_t take = std::min<std::size_t>(size - partial_.size(), data.size());
      partial_.append(data.substr(0, take));
      i = take;
      if (partial_.size() < size) return;
      put(load_element(partial_.data(), size, h.big_endian));
      partial_.clear();
    }
    const std::uint64_t left = h.count() - index_;
    const std::uint64_t whole = std::min<std::uint64_t>(left, (data.size() - i) / size);
    if (h.cols == 1) {  // every element is wanted by every choice
      for (auto &column : columns_) {
        const std::size_t base = column.size();
        column.resize(base + whole);
        for (std::uint64_t k = 0; k < whole; ++k)
          column[base + k] = load_element(data.data() + i + k * size, size, h.big_endian);
      }
      index_ += whole;
    } else {
      for (std::uint64_t k = 0; k < whole; ++k)
        put(load_element(data.data() + i + k * size, size, h.big_endian));
    }
    i += whole * size;
    if (i == data.size()) return;
    if (index_ < h.count()) {
      partial_.assign(data.substr(i));  // shorter than one element
    } else {
      excess_ += data.size() - i;
    }
  }

  std::string name_;
  std::vector<ColumnChoice> choices_;
  std::optional<NpyHeader> header_;
  std::string head_;  // header bytes while the header is incomplete
  std::vector<std::uint64_t> wanted_;
  std::uint64_t index_ = 0;  // elements decoded
  std::string partial_;      // bytes of an element cut by the end of a chunk
  std::uint64_t excess_ = 0;
};

// ---- Raw little-endian float64 ---------------------------------------------------------------

class RawReader final : public Reader {
 public:
  explicit RawReader(std::string name) : name_(std::move(name)) { columns_.resize(1); }

  void feed(std::string_view chunk) override {
    bytes_seen_ += chunk.size();
    std::size_t i = 0;
    if (!partial_.empty()) {
      i = std::min<std::size_t>(8 - partial_.size(), chunk.size());
      partial_.append(chunk.substr(0, i));
      if (partial_.size() < 8) return;
      columns_[0].push_back(load_element(partial_.data(), 8, false));
      partial_.clear();
    }
    const std::size_t whole = (chunk.size() - i) / 8;
    std::vector<double> &out = columns_[0];
    const std::size_t base = out.size();
    out.resize(base + whole);
    if (whole > 0) std::memcpy(out.data() + base, chunk.data() + i, whole * 8);
    partial_.assign(chunk.substr(i + whole * 8));
  }

  void finish() override {
    if (!partial_.empty())
      throw ReadError(name_ + ": " + std::to_string(bytes_seen_) +
                      " bytes is not a whole number of 8-byte values");
  }

 private:
  std::string name_;
  std::string partial_;
};

}  // namespace

std::optional<ColumnChoice> parse_column_choice(std::string_view text) {
  if (text.empty()) return std::nullopt;
  if (text.find_first_not_of("0123456789") != std::string_view::npos)
    return ColumnChoice{0, std::string(text)};
  std::uint64_t index = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), index);
  if (ec != std::errc() || ptr != text.data() + text.size() || index == 0 ||
      index > (std::uint64_t{1} << 62))
    return std::nullopt;
  return ColumnChoice{index, {}};
}

bool has_npy_magic(std::string_view first_bytes) {
  return first_bytes.substr(0, 6) == std::string_view("\x93NUMPY", 6);
}

std::optional<NpyHeader> parse_npy_header(std::string_view bytes, const std::string &name) {
  const std::string_view magic("\x93NUMPY", 6);
  if (bytes.substr(0, 6) != magic.substr(0, std::min<std::size_t>(6, bytes.size())))
    throw ReadError(name + ": not a .npy file");
  if (bytes.size() < 10) return std::nullopt;
  const unsigned major = static_cast<unsigned char>(bytes[6]);
  if (major < 1 || major > 3)
    throw ReadError(name + ": unsupported .npy version " + std::to_string(major) + "." +
                    std::to_string(static_cast<unsigned char>(bytes[7])));
  const std::size_t length_size = major == 1 ? 2 : 4;
  if (bytes.size() < 8 + length_size) return std::nullopt;
  const std::uint64_t length = load_le(bytes.data() + 8, static_cast<unsigned>(length_size));
  if (length > kMaxNpyHeader) throw ReadError(name + ": .npy header longer than 1 MiB");
  const std::size_t offset = 8 + length_size + static_cast<std::size_t>(length);
  if (bytes.size() < offset) return std::nullopt;
  NpyHeader header;
  header.data_offset = offset;
  parse_header_fields(bytes.substr(8 + length_size, static_cast<std::size_t>(length)), name, header);
  return header;
}

std::optional<std::span<const double>> npy_view(std::string_view image, const std::string &name,
                                                const std::vector<ColumnChoice> &choices) {
  const std::optional<NpyHeader> header = parse_npy_header(image, name);
  if (!header) return std::nullopt;
  const std::vector<std::uint64_t> columns = npy_columns(*header, name, choices);
  const std::uint64_t data = image.size() - header->data_offset;
  if (header->item_size != 8 || header->big_endian || columns.size() != 1 ||
      data != header->count() * 8)
    return std::nullopt;
  std::uint64_t first = 0, length = header->count();
  if (header->cols != 1) {
    if (!header->fortran_order) return std::nullopt;
    first = columns[0] * header->rows;
    length = header->rows;
  }
  const char *start = image.data() + header->data_offset + first * 8;
  if (reinterpret_cast<std::uintptr_t>(start) % alignof(double) != 0) return std::nullopt;
  return std::span<const double>(reinterpret_cast<const double *>(start), length);
}

std::optional<std::span<const double>> raw_view(std::string_view image, const std::string &) {
  if (image.size() % 8 != 0 || reinterpret_cast<std::uintptr_t>(image.data()) % alignof(double) != 0)
    return std::nullopt;
  return std::span<const double>(reinterpret_cast<const double *>(image.data()), image.size() / 8);
}

std::unique_ptr<Reader> make_reader(Format format, std::string name,
                                    std::vector<ColumnChoice> choices) {
  switch (format) {
    case Format::npy:
      return std::make_unique<NpyReader>(std::move(name), std::move(choices));
    case Format::raw:
      if (!choices.empty()) throw ReadError(name + ": raw input has no columns");
      return std::make_unique<RawReader>(std::move(name));
    case Format::text:
    default:
      if (choices.empty()) return std::make_unique<TextReader>(std::move(name));
      return std::make_unique<CsvReader>(std::move(name), std::move(choices));
  }
}

}  // namespace sela_tool
