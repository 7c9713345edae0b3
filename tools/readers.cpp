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

// The table's separator: the first of ',', ';' and tab found outside double quotes in
// its first row, else runs of blanks.
char first_separator(std::string_view row) {
  for (const char candidate : {',', ';', '\t'}) {
    bool quoted = false;
    for (const char c : row) {
      if (c == '"') quoted = !quoted;
      if (c == candidate && !quoted) return candidate;
    }
  }
  return '\0';
}

// The first row that holds anything, without its comment: where it ends, in `bytes`
// (npos while it has not ended). Line breaks inside double quotes belong to the row.
std::size_t first_row_end(std::string_view bytes, std::string_view &row) {
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '"') quoted = !quoted;
    if (bytes[i] != '\n' || quoted) continue;
    std::string_view line = bytes.substr(start, i - start);
    bool in_quotes = false;
    for (std::size_t k = 0; k < line.size(); ++k) {
      if (line[k] == '"') in_quotes = !in_quotes;
      if (line[k] == '#' && !in_quotes) {
        line = line.substr(0, k);
        break;
      }
    }
    if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
      row = line;
      return i;
    }
    start = i + 1;
  }
  return std::string_view::npos;
}

// A CSV reader as a byte-at-a-time state machine, so fields, rows and quotes may be cut
// anywhere by the chunks. Fields are trimmed of blanks; a field that starts with a double
// quote runs to the matching quote ("" inside stands for one quote) and may hold
// separators and line breaks; '#' outside quotes starts a comment to the end of the line.
class CsvReader final : public Reader {
 public:
  CsvReader(std::string name, TableOptions options)
      : name_(std::move(name)), options_(std::move(options)) {
    columns_.resize(options_.choices.size());
  }

  void feed(std::string_view chunk) override {
    bytes_seen_ += chunk.size();
    if (!separator_known_) {
      // The separator is decided by the first row: hold the input until it has ended.
      head_.append(chunk);
      std::string_view row;
      if (first_row_end(head_, row) == std::string_view::npos) {
        if (head_.size() > kMaxLine) too_long(1);
        return;
      }
      start(row);
      const std::string head = std::move(head_);
      head_.clear();
      consume(head);
      return;
    }
    consume(chunk);
  }

  void finish() override {
    if (!separator_known_) {
      // The input ended within its first row: that row decides.
      const std::string head = std::move(head_) + "\n";
      head_.clear();
      std::string_view row;
      first_row_end(head, row);
      start(row);
      consume(head);
    }
    if (state_ == State::quoted)
      throw ReadError(position(name_, field_line_, field_col_) + "the quoted field is not closed");
    consume("\n");  // ends the last row (a line break more is harmless)
  }

 private:
  enum class State { field_start, unquoted, quoted, quote_in_quoted, after_quoted, comment };

  struct FieldRef {
    std::size_t begin, end;  // in text_
    std::uint64_t line, col;
  };

  void start(std::string_view first_row) {
    separator_known_ = true;
    separator_ = first_separator(first_row);
  }

  bool blank(char c) const { return c == ' ' || c == '\r' || (c == '\t' && separator_ != '\t'); }
  bool separates(char c) const { return separator_ == '\0' ? blank(c) : c == separator_; }

  [[noreturn]] void too_long(std::uint64_t line) const {
    throw ReadError(name_ + ":" + std::to_string(line) + ": line longer than 64 MiB");
  }

  void consume(std::string_view bytes) {
    for (const char c : bytes) {
      step(c);
      if (c == '\n') {
        ++line_;
        col_ = 1;
      } else {
        ++col_;
      }
    }
    if (text_.size() > kMaxLine) too_long(row_line_);
  }

  void step(char c) {
    switch (state_) {
      case State::field_start:
        if (blank(c)) return;
        field_line_ = line_;
        field_col_ = col_;
        field_begin_ = text_.size();
        if (c == '"') {
          state_ = State::quoted;
        } else if (c == '\n') {
          if (pending_) end_field(false);
          end_row();
        } else if (c == '#') {
          if (pending_) end_field(false);
          state_ = State::comment;
        } else if (separator_ != '\0' && c == separator_) {
          end_field(false);
          pending_ = true;
        } else {
          text_ += c;
          content_end_ = text_.size();
          state_ = State::unquoted;
        }
        return;
      case State::unquoted:
        if (c == '\n' || c == '#' || separates(c)) {
          end_field(true);
          after_field(c);
          return;
        }
        text_ += c;
        if (!blank(c)) content_end_ = text_.size();
        return;
      case State::quoted:
        if (c == '"') {
          state_ = State::quote_in_quoted;
        } else {
          text_ += c;
        }
        return;
      case State::quote_in_quoted:
        if (c == '"') {
          text_ += '"';
          state_ = State::quoted;
          return;
        }
        state_ = State::after_quoted;
        [[fallthrough]];
      case State::after_quoted:
        if (c == '\n' || c == '#' || separates(c)) {
          end_field(false);
          after_field(c);
        } else if (!blank(c)) {
          // Text after the closing quote joins the field, as Python's csv module reads it.
          text_ += c;
          content_end_ = text_.size();
          state_ = State::unquoted;
        }
        return;
      case State::comment:
        if (c == '\n') end_row();
        return;
    }
  }

  // After the field ended at byte c (a separator, a line break or a comment).
  void after_field(char c) {
    if (c == '\n') {
      end_row();
    } else if (c == '#') {
      state_ = State::comment;
    } else {
      state_ = State::field_start;
      pending_ = separator_ != '\0';  // "1," holds a second, empty field
    }
  }

  void end_field(bool trim) {
    if (trim) text_.resize(content_end_);
    fields_.push_back({field_begin_, text_.size(), field_line_, field_col_});
    state_ = State::field_start;
    pending_ = false;
  }

  std::string_view text(const FieldRef &field) const {
    return std::string_view(text_).substr(field.begin, field.end - field.begin);
  }

  void end_row() {
    state_ = State::field_start;
    pending_ = false;
    if (!fields_.empty()) {
      if (header_decided_) {
        data_row();
      } else {
        first_row();
      }
    }
    fields_.clear();
    text_.clear();
    row_line_ = line_ + 1;
  }

  bool number_at(std::size_t position) const {
    double value;
    return position < fields_.size() && parse_number(text(fields_[position]), value);
  }

  void first_row() {
    header_decided_ = true;
    const std::uint64_t line = fields_[0].line;
    // A column chosen by name needs the header row; a first row whose chosen field is
    // not a number cannot be data. The other columns do not decide.
    bool header = options_.header == HeaderMode::present;
    for (const ColumnChoice &choice : options_.choices)
      if (choice.index == 0) header = true;
    std::string reason;
    if (options_.header == HeaderMode::guess && !header) {
      for (const ColumnChoice &choice : options_.choices) {
        const std::size_t k = static_cast<std::size_t>(choice.index - 1);
        if (k < fields_.size() && !text(fields_[k]).empty() && !number_at(k)) {
          header = true;
          reason = "'" + printable_token(text(fields_[k])) + "' in column " +
                   std::to_string(k + 1) + " is not a number";
          break;
        }
      }
    }
    resolve(line, header);
    if (!header) {
      data_row();
    } else if (!reason.empty()) {
      notes_.push_back(name_ + ":" + std::to_string(line) + ": first row read as the header (" +
                       reason + "; --header or --no-header decides)");
    }
  }

  void resolve(std::uint64_t line, bool header) {
    const std::string where = name_ + ":" + std::to_string(line) + ": ";
    for (const ColumnChoice &choice : options_.choices) {
      if (choice.index != 0) {
        if (header && choice.index > fields_.size())
          throw ReadError(where + "the header has " + std::to_string(fields_.size()) +
                          " columns, column " + std::to_string(choice.index) + " is missing");
        wanted_.push_back(static_cast<std::size_t>(choice.index - 1));
        continue;
      }
      std::vector<std::size_t> named;
      for (std::size_t k = 0; k < fields_.size(); ++k)
        if (text(fields_[k]) == choice.name) named.push_back(k);
      if (named.empty()) {
        std::string names;
        for (const FieldRef &field : fields_)
          names += (names.empty() ? "" : ", ") + printable_token(text(field));
        throw ReadError(where + "no column named '" + printable_token(choice.name) +
                        "' (the header has " + names + ")");
      }
      if (named.size() > 1)
        throw ReadError(where + "columns " + std::to_string(named[0] + 1) + " and " +
                        std::to_string(named[1] + 1) + " are both named '" +
                        printable_token(choice.name) + "'; choose one by its number");
      wanted_.push_back(named[0]);
    }
  }

  void data_row() {
    for (std::size_t k = 0; k < wanted_.size(); ++k) {
      const std::size_t position = wanted_[k];
      if (position < fields_.size() && !text(fields_[position]).empty()) continue;
      if (options_.missing == MissingMode::skip) {
        ++skipped_rows_;
        return;
      }
      if (position >= fields_.size())
        throw ReadError(name_ + ":" + std::to_string(fields_[0].line) + ": row has " +
                        std::to_string(fields_.size()) + " fields, column " +
                        std::to_string(position + 1) + " is missing");
      throw ReadError(position_of(fields_[position]) + "empty field in column " +
                      std::to_string(position + 1) +
                      " (--missing skip leaves out the rows with missing values)");
    }
    for (std::size_t k = 0; k < wanted_.size(); ++k) {
      const FieldRef &field = fields_[wanted_[k]];
      double value;
      if (!parse_number(text(field), value)) bad_number(name_, field.line, field.col, text(field));
      columns_[k].push_back(value);
    }
  }

  std::string position_of(const FieldRef &field) const {
    return position(name_, field.line, field.col);
  }

  std::string name_;
  TableOptions options_;
  std::string head_;  // the input until its first row has ended
  bool separator_known_ = false;
  char separator_ = '\0';
  bool header_decided_ = false;
  std::vector<std::size_t> wanted_;  // 0-based field of each choice
  State state_ = State::field_start;
  bool pending_ = false;  // a separator was seen: an empty field follows unless text does
  std::string text_;      // the fields of the current row, one after the other
  std::vector<FieldRef> fields_;
  std::size_t field_begin_ = 0, content_end_ = 0;
  std::uint64_t field_line_ = 1, field_col_ = 1;
  std::uint64_t row_line_ = 1;
  std::uint64_t line_ = 1;  // position of the next byte
  std::uint64_t col_ = 1;
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

std::optional<Float64Run> npy_float64_run(const NpyHeader &header, const std::string &name,
                                          const std::vector<ColumnChoice> &choices,
                                          std::uint64_t file_size) {
  const std::vector<std::uint64_t> columns = npy_columns(header, name, choices);
  if (header.item_size != 8 || header.big_endian || columns.size() != 1 ||
      file_size < header.data_offset || file_size - header.data_offset != header.count() * 8)
    return std::nullopt;
  if (header.cols == 1) return Float64Run{header.data_offset, header.count()};
  if (!header.fortran_order) return std::nullopt;
  return Float64Run{header.data_offset + columns[0] * header.rows * 8, header.rows};
}

std::unique_ptr<Reader> make_reader(Format format, std::string name, TableOptions options) {
  switch (format) {
    case Format::npy:
      return std::make_unique<NpyReader>(std::move(name), std::move(options.choices));
    case Format::raw:
      if (!options.choices.empty()) throw ReadError(name + ": raw input has no columns");
      return std::make_unique<RawReader>(std::move(name));
    case Format::text:
    default:
      if (options.choices.empty()) return std::make_unique<TextReader>(std::move(name));
      return std::make_unique<CsvReader>(std::move(name), std::move(options));
  }
}

}  // namespace sela_tool
