// sela: every grade of sum and dot product on the user's own numbers.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "grades.h"
#include "input.h"
#include "readers.h"
#include "render.h"
#include "sela.h"

namespace sela_tool {
namespace {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

const char kHelp[] =
    "Usage: sela [COMMAND] [OPTIONS] [FILE...]\n"
    "\n"
    "Sums and dot products of the numbers in FILEs at every grade of accuracy, each\n"
    "compared with the exact result.\n"
    "\n"
    "Commands:\n"
    "  sum [FILE...]          every summation grade on all numbers of the FILEs (the\n"
    "                         default command); with no FILE, standard input, or the\n"
    "                         built-in data sets when standard input is a terminal\n"
    "  dot X Y                the dot-product grades of the numbers of X and of Y\n"
    "  dot FILE --columns A,B the same for two columns of one table\n"
    "  stats [FILE...]        count, exact sum, mean, norm, condition number, centered\n"
    "                         sum of squares, sample variance and standard deviation\n"
    "\n"
    "Options:\n"
    "  --method NAME    print only that result, shortest decimal that reads back exactly;\n"
    "                   sum: naive, pairwise, pairwise_iterative, kahan, neumaier, klein,\n"
    "                   shewchuk, sum2, k:N, acc, near, exact; dot: naive, dot2, k:N,\n"
    "                   exact; stats: count, sum, mean, norm, condition, centered_squares,\n"
    "                   variance, stddev. 'sum --method exact' reads in bounded memory.\n"
    "  --json           the full result as JSON\n"
    "  --threads N      threads for the exact sum (default: all cores for large inputs);\n"
    "                   the result is the same for every N\n"
    "  --column N|NAME  read one column of a table (CSV with a header row) or of a 2-D\n"
    "                   .npy array, by 1-based position or header name\n"
    "  --columns A,B    the two columns of a dot product\n"
    "  --raw            inputs are raw little-endian float64\n"
    "  --demo           run on the built-in data sets\n"
    "  --help, --version\n"
    "\n"
    "Input: numbers separated by blanks, commas, semicolons or newlines; '#' starts a\n"
    "comment; decimal, hexadecimal (0x1.8p-3), inf and nan in any case, with a sign.\n"
    ".npy files (float64 or float32, 1-D or 2-D) are recognised by their magic. '-' is\n"
    "standard input. Exit status: 0 on success, 2 on a usage or input error.\n";

struct Options {
  Command command = Command::sum;
  std::optional<std::string> method;
  bool json = false;
  bool demo = false;
  std::optional<unsigned> threads;
  InputOptions input;
  bool columns_pair = false;  // --columns A,B
  std::vector<std::string> files;
};

std::vector<ColumnChoice> parse_choices(const std::string &text, bool pair) {
  std::vector<std::string> parts;
  if (pair) {
    const std::size_t comma = text.find(',');
    if (comma == std::string::npos || text.find(',', comma + 1) != std::string::npos)
      throw UsageError("--columns needs two columns, as A,B");
    parts = {text.substr(0, comma), text.substr(comma + 1)};
  } else {
    parts = {text};
  }
  std::vector<ColumnChoice> choices;
  for (const std::string &part : parts) {
    const std::optional<ColumnChoice> choice = parse_column_choice(part);
    if (!choice) throw UsageError("bad column '" + part + "' (a 1-based number or a header name)");
    choices.push_back(*choice);
  }
  return choices;
}

Options parse_arguments(int argc, char **argv, bool &done, std::string &out) {
  Options options;
  int i = 1;
  if (argc > 1 && argv[1][0] != '-') {
    const std::string command = argv[1];
    if (command == "sum") {
      options.command = Command::sum;
    } else if (command == "dot") {
      options.command = Command::dot;
    } else if (command == "stats") {
      options.command = Command::stats;
    } else if (command == "help") {
      out = kHelp;
      done = true;
      return options;
    } else {
      throw UsageError("unknown command '" + command + "' (commands: sum, dot, stats)");
    }
    i = 2;
  }
  bool column = false;
  bool only_files = false;
  for (; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
      options.files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      only_files = true;
      continue;
    }
    std::optional<std::string> inline_value;
    if (const std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
      inline_value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    }
    const auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc) throw UsageError("option '" + arg + "' needs a value");
      return argv[++i];
    };
    const auto flag = [&] {
      if (inline_value) throw UsageError("option '" + arg + "' takes no value");
    };
    if (arg == "--help" || arg == "-h") {
      out = kHelp;
      done = true;
      return options;
    } else if (arg == "--version") {
      out = std::string("sela ") + sela_version() + "\n";
      done = true;
      return options;
    } else if (arg == "--method") {
      options.method = value();
    } else if (arg == "--json") {
      flag();
      options.json = true;
    } else if (arg == "--demo") {
      flag();
      options.demo = true;
    } else if (arg == "--raw") {
      flag();
      options.input.raw = true;
    } else if (arg == "--threads") {
      const std::string text = value();
      unsigned threads = 0;
      const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), threads);
      if (ec != std::errc() || ptr != text.data() + text.size() || threads < 1 || threads > 1024)
        throw UsageError("--threads needs a number from 1 to 1024, not '" + text + "'");
      options.threads = threads;
    } else if (arg == "--column" || arg == "--columns") {
      if (column) throw UsageError("give --column or --columns once");
      column = true;
      options.columns_pair = arg == "--columns";
      options.input.choices = parse_choices(value(), options.columns_pair);
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
  }
  if (options.input.raw && !options.input.choices.empty())
    throw UsageError("--raw input has no columns");
  if (options.demo && (options.command != Command::sum || !options.files.empty()))
    throw UsageError("--demo runs 'sela sum' on the built-in data and takes no FILE");
  if (options.columns_pair && options.command != Command::dot)
    throw UsageError("--columns belongs to 'sela dot'; use --column");
  if (options.command == Command::dot) {
    const bool pair = options.files.size() == 2 && !options.columns_pair;
    const bool table = options.files.size() <= 1 && options.columns_pair;
    if (!pair && !table) throw UsageError("dot needs two files X Y, or one file and --columns A,B");
  }
  return options;
}

// ---- Data -------------------------------------------------------------------------------

struct Loaded {
  std::vector<std::unique_ptr<Source>> sources;
  std::vector<std::vector<double>> owned;
  std::vector<std::span<const double>> columns;
};

std::vector<std::unique_ptr<Source>> open_all(const std::vector<std::string> &paths) {
  std::vector<std::unique_ptr<Source>> sources;
  for (const std::string &path : paths) sources.push_back(Source::open(path));
  return sources;
}

std::uint64_t mapped_bytes(const std::vector<std::unique_ptr<Source>> &sources) {
  std::uint64_t total = 0;
  for (const auto &source : sources) total += source->size();
  return total;
}

[[noreturn]] void no_numbers(const Source &source) {
  throw ReadError(source.name() + ": no numbers");
}

Loaded load(const std::vector<std::string> &paths, const InputOptions &input) {
  Loaded loaded;
  loaded.sources = open_all(paths);
  const std::size_t width = input.choices.empty() ? 1 : input.choices.size();
  if (loaded.sources.size() == 1) {
    if (const auto view = view_source(*loaded.sources[0], input)) {
      if (view->empty()) no_numbers(*loaded.sources[0]);
      loaded.columns = {*view};
      return loaded;
    }
  }
  Progress progress(mapped_bytes(loaded.sources));
  loaded.owned.resize(width);
  for (const auto &source : loaded.sources) {
    const std::uint64_t count = stream_source(
        *source, input,
        [&](std::size_t k, std::span<const double> block) {
          loaded.owned[k].insert(loaded.owned[k].end(), block.begin(), block.end());
        },
        progress);
    if (count == 0) no_numbers(*source);
  }
  for (const std::vector<double> &column : loaded.owned) loaded.columns.emplace_back(column);
  return loaded;
}

// The exact sum of every input in bounded memory: mapped float64 runs in place (on
// several threads), everything else block by block as it is decoded.
double stream_exact(const std::vector<std::string> &paths, const InputOptions &input,
                    std::optional<unsigned> threads) {
  const std::vector<std::unique_ptr<Source>> sources = open_all(paths);
  Progress progress(mapped_bytes(sources));
  sela_accumulator total;
  sela_accumulator_init(&total);
  for (const auto &source : sources) {
    if (const auto view = view_source(*source, input)) {
      if (view->empty()) no_numbers(*source);
      const unsigned workers = threads ? *threads : default_threads(view->size());
      // Window by window, each split over the threads; the pages of a finished window are
      // released. The accumulation is exact, so neither split changes the result.
      const std::size_t window = std::size_t{workers} << 22;
      for (std::size_t at = 0; at < view->size(); at += window) {
        const std::span<const double> part = view->subspan(at, std::min(window, view->size() - at));
        const sela_accumulator held = exact_accumulate(part, workers);
        sela_accumulator_merge(&total, &held);
        release_pages(part.data(), part.data() + part.size());
        progress.advance(part.size_bytes());
      }
      continue;
    }
    const std::uint64_t count = stream_source(
        *source, input,
        [&](std::size_t, std::span<const double> block) {
          sela_accumulator_add(&total, block.data(), block.size());
        },
        progress);
    if (count == 0) no_numbers(*source);
  }
  return sela_accumulator_round(&total);
}

std::string title_of(const std::vector<std::string> &files) {
  std::string title;
  for (const std::string &file : files) title += (title.empty() ? "" : " ") + (file == "-" ? "<stdin>" : file);
  return title;
}

// ---- Built-in data ------------------------------------------------------------------------

struct Demo {
  std::string title;
  std::vector<double> values;
};

std::vector<Demo> demo_sets() {
  std::vector<Demo> sets;
  sets.push_back({"ten copies of 0.1 (the exact sum rounds to 1)", std::vector<double>(10, 0.1)});
  sets.push_back({"1, 1e100, 1, -1e100 (exact sum 2)", {1.0, 1e100, 1.0, -1e100}});
  sets.push_back({"1 and three times 2^-53 (exact sum 1 + 1.5 ulp)",
                  {1.0, 0x1p-53, 0x1p-53, 0x1p-53}});
  std::vector<double> harmonic(100000);
  for (std::size_t i = 0; i < harmonic.size(); ++i)
    harmonic[i] = (i % 2 ? -1.0 : 1.0) / static_cast<double>(i + 1);
  sets.push_back({"alternating harmonic series, 1e5 terms", std::move(harmonic)});
  return sets;
}

// ---- Commands -------------------------------------------------------------------------------

unsigned threads_for(const Options &options, std::uint64_t n) {
  return options.threads ? *options.threads : default_threads(n);
}

std::optional<Method> chosen_method(const Options &options) {
  if (!options.method || options.command == Command::stats) return std::nullopt;
  const std::optional<Method> method = find_method(options.command, *options.method);
  if (!method)
    throw UsageError("unknown method '" + *options.method + "' (" + method_names(options.command) + ")");
  return method;
}

std::string output_of(const Options &options, const Report &report) {
  if (options.json) return render_json(report) + "\n";
  if (options.method) {
    if (options.command == Command::stats) {
      const std::optional<double> value = stat_by_name(report, *options.method);
      return shortest(*value) + "\n";
    }
    return shortest(report.grades.at(0).value) + "\n";
  }
  return render_text(report);
}

std::string run(const Options &options) {
  const std::optional<Method> method = chosen_method(options);
  if (options.command == Command::stats && options.method && !stat_by_name(Report{}, *options.method))
    throw UsageError("unknown statistic '" + *options.method + "' (" + kStatNames + ")");
  std::vector<std::string> files = options.files;
  const bool demo = options.demo || (files.empty() && options.command == Command::sum &&
                                     isatty(STDIN_FILENO) == 1);
  if (demo) {
    std::string out = options.json || options.method ? "" : std::string("sela ") + sela_version() +
                                                                 ": one data set, several grades of accuracy\n\n";
    std::string json;
    for (const Demo &set : demo_sets()) {
      Report report = sum_report(set.values, 1, method);
      report.title = set.title;
      if (options.json) {
        json += (json.empty() ? "[" : ", ") + render_json(report);
      } else {
        out += output_of(options, report) + (options.method ? "" : "\n");
      }
    }
    return options.json ? json + "]\n" : out;
  }
  if (files.empty()) {
    if (isatty(STDIN_FILENO) == 1)
      throw UsageError("no input: give a FILE, or pipe numbers into standard input");
    files.push_back("-");
  }
  if (options.command == Command::sum && method && method->key == "exact" && !options.json)
    return shortest(stream_exact(files, options.input, options.threads)) + "\n";
  const bool value_only = method && !options.json;

  if (options.command == Command::dot) {
    std::vector<std::span<const double>> xy;
    std::vector<Loaded> inputs;
    if (files.size() == 2) {
      for (const std::string &file : files) inputs.push_back(load({file}, options.input));
      xy = {inputs[0].columns[0], inputs[1].columns[0]};
      if (xy[0].size() != xy[1].size())
        throw ReadError("sela dot: " + inputs[0].sources[0]->name() + " has " +
                        std::to_string(xy[0].size()) + " numbers, " + inputs[1].sources[0]->name() +
                        " has " + std::to_string(xy[1].size()));
    } else {
      inputs.push_back(load(files, options.input));
      xy = inputs[0].columns;
    }
    if (value_only) return shortest(dot_value(*method, xy[0], xy[1], threads_for(options, xy[0].size()))) + "\n";
    Report report = dot_report(xy[0], xy[1], threads_for(options, xy[0].size()), method);
    report.title = title_of(files);
    return output_of(options, report);
  }
  const Loaded loaded = load(files, options.input);
  const std::span<const double> x = loaded.columns[0];
  if (value_only && options.command == Command::sum)
    return shortest(sum_value(*method, x, threads_for(options, x.size()))) + "\n";
  Report report = options.command == Command::stats
                      ? stats_report(x, threads_for(options, x.size()))
                      : sum_report(x, threads_for(options, x.size()), method);
  report.title = title_of(files);
  return output_of(options, report);
}

}  // namespace
}  // namespace sela_tool

int main(int argc, char **argv) {
  using namespace sela_tool;
  try {
    bool done = false;
    std::string out;
    const Options options = parse_arguments(argc, argv, done, out);
    if (!done) out = run(options);
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0) {
      std::perror("sela: standard output");
      return 2;
    }
    return 0;
  } catch (const UsageError &error) {
    std::fprintf(stderr, "sela: %s\nTry 'sela --help'.\n", error.what());
  } catch (const ReadError &error) {
    std::fprintf(stderr, "%s\n", error.what());
  } catch (const std::bad_alloc &) {
    std::fprintf(stderr, "sela: out of memory\n");
  }
  return 2;
}
