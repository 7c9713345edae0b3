#include "input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sela_tool {
namespace {

constexpr std::size_t kStreamChunk = std::size_t{1} << 20;

[[noreturn]] void system_error(const std::string &name, const char *what, int error) {
  throw ReadError(name + ": " + what + ": " + std::strerror(error));
}

void drain(Reader &reader, const BlockSink &sink, std::uint64_t &first_count, ReadNotes &notes) {
  std::vector<std::vector<double>> &columns = reader.columns();
  first_count += columns[0].size();
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (!columns[k].empty()) sink(k, columns[k]);
    columns[k].clear();
  }
  for (std::string &remark : reader.notes()) notes.remarks.push_back(std::move(remark));
  reader.notes().clear();
}

// Bytes to skip at the start of text: the UTF-8 byte-order mark that spreadsheet
// programs write before a CSV header.
std::size_t text_preamble(Format format, std::string_view first_bytes) {
  return format == Format::text && first_bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0;
}

Format format_of(const InputOptions &options, std::string_view first_bytes) {
  if (options.raw) return Format::raw;
  return has_npy_magic(first_bytes) ? Format::npy : Format::text;
}

bool same_time(const timespec &a, const timespec &b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

}  // namespace

namespace {

// Arrays from this size on are mapped by themselves (as glibc's malloc maps them anyway),
// with huge pages asked for.
constexpr std::size_t kMappedArray = std::size_t{4} << 20;

}  // namespace

void *allocate_numbers(std::size_t bytes) {
  if (bytes < kMappedArray) return ::operator new(bytes);
  void *p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  madvise(p, bytes, MADV_HUGEPAGE);  // a hint: without it the array is simply in small pages
  return p;
}

void free_numbers(void *p, std::size_t bytes) noexcept {
  if (bytes < kMappedArray) {
    ::operator delete(p);
  } else {
    munmap(p, bytes);
  }
}

void reserve_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() returns the lowest free descriptor, which is fd: the ones below are valid.
    const int taken = ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    if (taken >= 0 && taken != fd) ::close(taken);
  }
}

std::unique_ptr<Source> Source::open(const std::string &path) {
  std::unique_ptr<Source> source(new Source);
  if (path == "-") {
    source->name_ = "<stdin>";
    source->fd_ = STDIN_FILENO;
  } else {
    source->name_ = path;
    source->fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (source->fd_ < 0) system_error(path, "cannot open", errno);
    source->owns_fd_ = true;
  }
  struct stat info;
  if (fstat(source->fd_, &info) != 0) system_error(source->name_, "cannot read", errno);
  if (S_ISDIR(info.st_mode)) throw ReadError(source->name_ + ": is a directory");
  if (S_ISREG(info.st_mode)) {
    // Standard input may be a file already partly read: what is left is the input.
    const off_t at = source->owns_fd_ ? 0 : lseek(source->fd_, 0, SEEK_CUR);
    if (at >= 0) {
      source->regular_ = true;
      source->start_ = at;
      source->size_ = info.st_size > at ? static_cast<std::uint64_t>(info.st_size - at) : 0;
      source->modified_ = info.st_mtim;
      if (source->size_ == 0) throw ReadError(source->name_ + ": empty file");
    }
  }
  return source;
}

Source::~Source() {
  if (owns_fd_) ::close(fd_);
}

void Source::check_unchanged() {
  struct stat info;
  if (fstat(fd_, &info) != 0) system_error(name_, "cannot read", errno);
  if (static_cast<std::uint64_t>(info.st_size) != static_cast<std::uint64_t>(start_) + size_ ||
      !same_time(info.st_mtim, modified_))
    throw ReadError(name_ + ": the file changed while it was read");
}

std::string_view Source::peek(std::size_t n) {
  while (pending_.size() < n) {
    const std::size_t old = pending_.size();
    pending_.resize(n);
    const std::size_t got = read_input(pending_.data() + old, n - old);
    pending_.resize(old + got);
    if (got == 0) break;
  }
  return std::string_view(pending_).substr(0, n);
}

std::size_t Source::read(char *buffer, std::size_t capacity) {
  if (pending_.empty()) return read_input(buffer, capacity);
  const std::size_t take = std::min(capacity, pending_.size());
  std::memcpy(buffer, pending_.data(), take);
  pending_.erase(0, take);
  return take;
}

std::size_t Source::read_input(char *buffer, std::size_t capacity) {
  if (regular_) {
    if (done_ == size_) {
      check_unchanged();
      return 0;
    }
    capacity = static_cast<std::size_t>(std::min<std::uint64_t>(capacity, size_ - done_));
  }
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) system_error(name_, "cannot read", errno);
    if (got == 0 && regular_ && capacity > 0)
      throw ReadError(name_ + ": the file shrank while it was read (it ended after " +
                      std::to_string(done_) + " of " + std::to_string(size_) + " bytes)");
    done_ += static_cast<std::uint64_t>(got);
    return static_cast<std::size_t>(got);
  }
}

void Source::read_exactly(char *buffer, std::size_t n) {
  while (n > 0) {
    const std::size_t got = read(buffer, n);
    if (got == 0) throw ReadError(name_ + ": the input ended early");
    buffer += got;
    n -= got;
  }
}

void Source::skip(std::uint64_t n) {
  const std::size_t from_pending = static_cast<std::size_t>(std::min<std::uint64_t>(n, pending_.size()));
  pending_.erase(0, from_pending);
  n -= from_pending;
  if (n == 0) return;
  if (regular_) {
    n = std::min(n, size_ - done_);
    if (lseek(fd_, static_cast<off_t>(n), SEEK_CUR) < 0) system_error(name_, "cannot read", errno);
    done_ += n;
    return;
  }
  char buffer[4096];
  while (n > 0) {
    const std::size_t got = read(buffer, static_cast<std::size_t>(std::min<std::uint64_t>(n, sizeof buffer)));
    if (got == 0) return;
    n -= got;
  }
}

std::optional<std::uint64_t> float64_run(Source &source, const InputOptions &options) {
  if (!source.regular() || options.table.choices.size() > 1) return std::nullopt;
  const std::string_view magic = source.peek(6);
  const Format format = format_of(options, magic);
  if (format == Format::raw) {
    if (source.size() % 8 != 0) return std::nullopt;  // the reader says what is wrong
    return source.size() / 8;
  }
  if (format != Format::npy) return std::nullopt;
  // The first 12 bytes hold the header's length, which the parser has checked (at most
  // 1 MiB) when it asks for more.
  const std::string_view head = source.peek(12);
  std::optional<NpyHeader> header = parse_npy_header(head, source.name());
  if (!header && head.size() == 12) {
    const std::size_t length_size = head[6] == 1 ? 2 : 4;
    std::size_t length = 0;
    for (std::size_t k = 0; k < length_size; ++k)
      length |= std::size_t{static_cast<unsigned char>(head[8 + k])} << (8 * k);
    header = parse_npy_header(source.peek(8 + length_size + length), source.name());
  }
  if (!header) return std::nullopt;
  const std::optional<Float64Run> run =
      npy_float64_run(*header, source.name(), options.table.choices, source.size());
  if (!run) return std::nullopt;
  source.skip(run->offset);
  return run->count;
}

void read_doubles(Source &source, double *out, std::uint64_t count, Progress &progress) {
  // In pieces, so the progress bar moves and no single read is enormous.
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 21;
  for (std::uint64_t done = 0; done < count;) {
    const std::uint64_t take = std::min(kPiece, count - done);
    source.read_exactly(reinterpret_cast<char *>(out + done), static_cast<std::size_t>(take * 8));
    progress.advance(take * 8);
    done += take;
  }
}

void finish_run(Source &source) {
  source.skip(source.size());
  char byte;
  source.read(&byte, 1);  // at the end: checks that the file did not change
}

std::uint64_t stream_source(Source &source, const InputOptions &options, const BlockSink &sink,
                            Progress &progress, ReadNotes &notes) {
  std::uint64_t count = 0;
  // The format is decided by the first bytes: the magic, or the byte-order mark.
  const std::string_view first = source.peek(6);
  if (first.empty()) throw ReadError(source.name() + ": empty input");
  const Format format = format_of(options, first);
  const std::unique_ptr<Reader> reader = make_reader(format, source.name(), options.table);
  source.skip(text_preamble(format, first));
  std::vector<char> buffer(kStreamChunk);
  for (;;) {
    const std::size_t got = source.read(buffer.data(), buffer.size());
    if (got == 0) break;
    reader->feed(std::string_view(buffer.data(), got));
    drain(*reader, sink, count, notes);
    progress.advance(got);
  }
  reader->finish();
  drain(*reader, sink, count, notes);
  notes.skipped_rows += reader->skipped_rows();
  return count;
}

}  // namespace sela_tool
