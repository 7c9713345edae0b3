#include "running.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <stdexcept>

#include "progress.h"
#include "render.h"
#include "sela.h"

namespace sela_tool {
namespace {

// Numbers per block: the float64 runs are read this many at a time, and each block's
// sums are formatted and written before the next is read.
constexpr std::size_t kBlock = std::size_t{1} << 16;

class Writer {
 public:
  Writer(std::FILE *out, bool json) : out_(out), json_(json) {}

  void text(const std::string &s) { put(s.data(), s.size()); }

  // The block's running sums, one per line or as JSON array items.
  void sums(std::span<const double> values) {
    std::string chunk;
    chunk.reserve(values.size() * 26);
    for (const double v : values) {
      if (json_) chunk += count_ == 0 ? "" : ", ";
      chunk += json_ ? json_number(v) : shortest(v);
      if (!json_) chunk += '\n';
      ++count_;
    }
    text(chunk);
  }

  std::uint64_t count() const { return count_; }

 private:
  void put(const char *p, std::size_t n) {
    if (n > 0 && std::fwrite(p, 1, n, out_) != n)
      throw std::runtime_error(std::string("standard output: ") + std::strerror(errno));
  }

  std::FILE *out_;
  bool json_;
  std::uint64_t count_ = 0;
};

[[noreturn]] void no_numbers(const Source &source) { throw ReadError(source.name() + ": no numbers"); }

}  // namespace

void stream_cumsum(const std::vector<std::string> &paths, const InputOptions &input, bool json,
                   const std::string &title, std::FILE *out, ReadNotes &notes) {
  std::vector<std::unique_ptr<Source>> sources;
  std::uint64_t bytes = 0;
  for (const std::string &path : paths) {
    sources.push_back(Source::open(path));
    bytes += sources.back()->size();
  }
  Progress progress(bytes);
  Writer writer(out, json);
  if (json) writer.text("{\"command\": \"cumsum\", \"input\": " + json_string(title) + ", \"values\": [");
  // One record carries the series from block to block and from input to input: every
  // sum is its whole prefix's, however the inputs are cut.
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  Numbers sums(kBlock);
  const auto run = [&](const double *x, std::size_t n) {
    for (std::size_t at = 0; at < n; at += kBlock) {
      const std::size_t take = std::min(kBlock, n - at);
      sela_accumulator_cumsum(&acc, x + at, sums.data(), take);
      writer.sums(std::span<const double>(sums.data(), take));
    }
  };
  Numbers window;
  for (const auto &source : sources) {
    if (const std::optional<std::uint64_t> count = float64_run(*source, input)) {
      if (*count == 0) no_numbers(*source);
      window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(*count, kBlock)));
      for (std::uint64_t at = 0; at < *count;) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), *count - at));
        read_doubles(*source, window.data(), take, progress);
        run(window.data(), take);
        at += take;
      }
      finish_run(*source);
      continue;
    }
    const std::uint64_t count = stream_source(
        *source, input, [&](std::size_t, std::span<const double> block) { run(block.data(), block.size()); },
        progress, notes);
    if (count == 0) no_numbers(*source);
  }
  if (json)
    writer.text("], \"count\": " + std::to_string(writer.count()) +
                ", \"skipped_rows\": " + std::to_string(notes.skipped_rows) + "}\n");
}

}  // namespace sela_tool
