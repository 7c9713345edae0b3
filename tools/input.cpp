#include "input.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sela_tool {
namespace {

constexpr std::size_t kStreamChunk = std::size_t{1} << 20;
constexpr std::size_t kMappedWindow = std::size_t{8} << 20;

[[noreturn]] void system_error(const std::string &name, const char *what, int error) {
  throw ReadError(name + ": " + what + ": " + std::strerror(error));
}

void drain(Reader &reader, const BlockSink &sink, std::uint64_t &first_count) {
  std::vector<std::vector<double>> &columns = reader.columns();
  first_count += columns[0].size();
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (!columns[k].empty()) sink(k, columns[k]);
    columns[k].clear();
  }
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

}  // namespace

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
  // A regular file is mapped, unless it is standard input already partly read.
  const bool at_start = source->owns_fd_ || lseek(source->fd_, 0, SEEK_CUR) == 0;
  if (S_ISREG(info.st_mode) && at_start) {
    if (info.st_size == 0) throw ReadError(source->name_ + ": empty file");
    source->size_ = static_cast<std::uint64_t>(info.st_size);
    void *map = mmap(nullptr, source->size_, PROT_READ, MAP_PRIVATE, source->fd_, 0);
    if (map == MAP_FAILED) system_error(source->name_, "cannot map", errno);
    madvise(map, source->size_, MADV_SEQUENTIAL);
    source->map_ = map;
  }
  return source;
}

Source::~Source() {
  if (map_ != nullptr) munmap(map_, size_);
  if (owns_fd_) ::close(fd_);
}

std::size_t Source::read(char *buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t got = ::read(fd_, buffer, capacity);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) system_error(name_, "cannot read", errno);
  }
}

void release_pages(const void *begin, const void *end) {
  const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t first = (reinterpret_cast<std::uintptr_t>(begin) + page - 1) / page * page;
  const std::uintptr_t last = reinterpret_cast<std::uintptr_t>(end) / page * page;
  if (first < last) madvise(reinterpret_cast<void *>(first), last - first, MADV_DONTNEED);
}

std::uint64_t stream_source(Source &source, const InputOptions &options, const BlockSink &sink,
                            Progress &progress) {
  std::uint64_t count = 0;
  if (source.mapped()) {
    const std::string_view image = source.image();
    const Format format = format_of(options, image);
    const std::unique_ptr<Reader> reader = make_reader(format, source.name(), options.choices);
    for (std::size_t at = text_preamble(format, image); at < image.size(); at += kMappedWindow) {
      const std::string_view window = image.substr(at, kMappedWindow);
      reader->feed(window);
      drain(*reader, sink, count);
      progress.advance(window.size());
      release_pages(window.data(), window.data() + window.size());
    }
    reader->finish();
    drain(*reader, sink, count);
    return count;
  }
  std::vector<char> buffer(kStreamChunk);
  std::size_t filled = 0;
  // The format is decided by the first bytes: read until the magic (or the byte-order
  // mark) can be seen.
  while (filled < 6) {
    const std::size_t got = source.read(buffer.data() + filled, buffer.size() - filled);
    if (got == 0) break;
    filled += got;
  }
  if (filled == 0) throw ReadError(source.name() + ": empty input");
  const std::string_view first(buffer.data(), filled);
  const Format format = format_of(options, first);
  const std::unique_ptr<Reader> reader = make_reader(format, source.name(), options.choices);
  std::size_t skip = text_preamble(format, first);
  while (filled > 0) {
    reader->feed(std::string_view(buffer.data() + skip, filled - skip));
    skip = 0;
    drain(*reader, sink, count);
    progress.advance(filled);
    filled = source.read(buffer.data(), buffer.size());
  }
  reader->finish();
  drain(*reader, sink, count);
  return count;
}

std::optional<std::span<const double>> view_source(const Source &source, const InputOptions &options) {
  if (!source.mapped() || options.choices.size() > 1) return std::nullopt;
  const std::string_view image = source.image();
  switch (format_of(options, image)) {
    case Format::raw:
      return raw_view(image, source.name());
    case Format::npy:
      return npy_view(image, source.name(), options.choices);
    default:
      return std::nullopt;
  }
}

}  // namespace sela_tool
