// sela: every grade of sum and dot product on the user's own numbers.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "grades.h"
#include "input.h"
#include "methods.h"
#include "readers.h"
#include "render.h"
#include "running.h"
#include "sela.h"

namespace sela_tool {
namespace {

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// ---- Help -------------------------------------------------------------------------------

std::string names_of(method_kind kind) {
  char names[256];
  return method_names(kind, names, sizeof names);
}

const char kInputHelp[] =
    "Input: numbers separated by blanks, commas, semicolons or newlines; '#' starts a\n"
    "comment; decimal, hexadecimal (0x1.8p-3), inf and nan in any case, with a sign.\n"
    "Tables are CSV files with RFC 4180 quoting. .npy files (float64 or float32, 1-D or\n"
    "2-D) are recognised by their magic. '-' is standard input (once). Files are read,\n"
    "not mapped: one that changes while it is read is an error. Exit status: 0 on success,\n"
    "2 on a usage or input error, or when memory runs out.\n";

const char kTableHelp[] =
    "  --header         the table's first row names its columns\n"
    "  --no-header      the first row is data (by default it is the header when a column\n"
    "                   is chosen by name, or when a chosen column there is not a number)\n"
    "  --missing skip|error\n"
    "                   rows whose chosen fields are empty: an error (the default), or\n"
    "                   left out and counted in the report\n";

const char kCommonHelp[] =
    "  --json           the full result as JSON\n"
    "  --threads N      threads for the exact result (default: all cores for large\n"
    "                   inputs); the result is the same for every N\n"
    "  --raw            inputs are raw little-endian float64\n"
    "  --help, --version\n";

std::string global_help() {
  return "Usage: sela [COMMAND] [OPTIONS] [FILE...]\n"
         "\n"
         "Sums and dot products of the numbers in FILEs at every grade of accuracy, each\n"
         "compared with the exact result. Options may come before or after the command.\n"
         "\n"
         "Commands ('sela COMMAND --help' tells more):\n"
         "  sum [FILE...]          every summation grade on all numbers of the FILEs (the\n"
         "                         default command); with no FILE, standard input, or the\n"
         "                         built-in data sets when standard input is a terminal\n"
         "  dot X Y                the dot-product grades of the numbers of X and of Y\n"
         "  dot FILE --columns A,B the same for two columns of one table\n"
         "  stats [FILE...]        count, exact sum, mean, norm, condition number, centered\n"
         "                         sum of squares, sample variance and standard deviation\n"
         "  cumsum [FILE...]       the running exact sum after each number, one per line\n"
         "\n"
         "Options:\n"
         "  --method NAME    print only that result, shortest decimal that reads back exactly;\n"
         "                   sum: " + names_of(METHOD_SUM) + ";\n"
         "                   dot: " + names_of(METHOD_DOT) + "; stats: " + kStatNames + ".\n"
         "                   K of k:N is from 1 to " + std::to_string(METHOD_K_MAX) + ".\n" +
         kCommonHelp +
         "  --column N|NAME  read one column of a table (CSV) or of a 2-D .npy array, by\n"
         "                   1-based position or header name\n"
         "  --columns A,B    the two columns of a dot product\n" +
         kTableHelp +
         "  --demo           run 'sela sum' on the built-in data sets\n"
         "\n" +
         kInputHelp;
}

std::string command_help(Command command) {
  switch (command) {
    case Command::dot:
      return "Usage: sela dot [OPTIONS] X Y\n"
             "       sela dot [OPTIONS] FILE --columns A,B\n"
             "\n"
             "The dot product of the numbers of X and of Y (or of two columns of one table)\n"
             "by every grade, each with its error against the exact dot product.\n"
             "\n"
             "  --method NAME    print only that grade's result: " + names_of(METHOD_DOT) + "\n"
             "                   (also dotk for k:3); K of k:N is from 1 to " + std::to_string(METHOD_K_MAX) + "\n" +
             kCommonHelp +
             "  --column N|NAME  the column of a table or 2-D .npy array in X and Y\n"
             "  --columns A,B    the two columns of one table, by position or name\n" +
             kTableHelp + "\n" + kInputHelp;
    case Command::stats:
      return "Usage: sela stats [OPTIONS] [FILE...]\n"
             "\n"
             "Count, exact sum, mean, norm, condition number, centered sum of squares, sample\n"
             "variance and standard deviation of all numbers of the FILEs (standard input\n"
             "without FILE). The standard deviation is finite whenever the true one is.\n"
             "\n"
             "  --method NAME    print only that statistic: " + std::string(kStatNames) + "\n" +
             kCommonHelp +
             "  --column N|NAME  read one column of a table or of a 2-D .npy array\n" +
             kTableHelp + "\n" + kInputHelp;
    case Command::cumsum:
      return "Usage: sela cumsum [OPTIONS] [FILE...]\n"
             "\n"
             "The running sum after each number of the FILEs (standard input without FILE),\n"
             "one per line, as 'sela sum --method exact' prints a sum: every line is the exact\n"
             "sum of all numbers up to there, rounded once, so no error builds up along the\n"
             "series. The FILEs are one series. Memory stays bounded on any input size: the\n"
             "lines are written as they are computed, and an input error stops them there.\n"
             "\n"
             "  --json           {\"command\", \"input\", \"values\": [...], \"count\",\n"
             "                   \"skipped_rows\"}, with \"inf\", \"-inf\" and \"nan\" as strings\n"
             "  --raw            inputs are raw little-endian float64\n"
             "  --column N|NAME  read one column of a table or of a 2-D .npy array\n" +
             std::string(kTableHelp) +
             "  --help, --version\n"
             "\n" +
             kInputHelp;
    case Command::sum:
    default:
      return "Usage: sela sum [OPTIONS] [FILE...]\n"
             "\n"
             "Every summation grade on all numbers of the FILEs, each with its error against\n"
             "the exact sum, the condition number and a verdict on the plain loop. With no\n"
             "FILE: standard input, or the built-in data sets when it is a terminal.\n"
             "\n"
             "  --method NAME    print only that grade's result: " + names_of(METHOD_SUM) + "\n"
             "                   (also oro, accsum, nearsum, sumk for k:3); K of k:N is from 1\n"
             "                   to " + std::to_string(METHOD_K_MAX) + "; 'exact' reads in bounded memory\n" +
             kCommonHelp +
             "  --column N|NAME  read one column of a table or of a 2-D .npy array\n" +
             kTableHelp +
             "  --demo           run on the built-in data sets\n"
             "\n" +
             kInputHelp;
  }
}

// ---- Arguments --------------------------------------------------------------------------

struct Options {
  Command command = Command::sum;
  std::optional<std::string> method;
  bool json = false;
  bool demo = false;
  std::optional<unsigned> threads;
  InputOptions input;
  bool columns_pair = false;  // --columns A,B
  bool table_options = false;  // --header, --no-header or --missing given
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

std::optional<Command> command_named(const std::string &word) {
  if (word == "sum") return Command::sum;
  if (word == "dot") return Command::dot;
  if (word == "stats") return Command::stats;
  if (word == "cumsum") return Command::cumsum;
  return std::nullopt;
}

void check_options(const Options &options) {
  const TableOptions &table = options.input.table;
  if (options.input.raw && !table.choices.empty()) throw UsageError("--raw input has no columns");
  if (options.table_options && table.choices.empty())
    throw UsageError("--header, --no-header and --missing apply to tables read with --column or --columns");
  if (table.header == HeaderMode::absent)
    for (const ColumnChoice &choice : table.choices)
      if (choice.index == 0)
        throw UsageError("column '" + choice.name + "' is chosen by name, which needs the header row (--no-header)");
  if (options.demo && (options.command != Command::sum || !options.files.empty()))
    throw UsageError("--demo runs 'sela sum' on the built-in data and takes no FILE");
  if (options.command == Command::cumsum && (options.method || options.threads))
    throw UsageError("cumsum takes no --method or --threads: its one result is the exact running sum, in one pass");
  if (options.columns_pair && options.command != Command::dot)
    throw UsageError("--columns belongs to 'sela dot'; use --column");
  if (std::count(options.files.begin(), options.files.end(), "-") > 1)
    throw UsageError("standard input ('-') can be read only once");
  if (options.command == Command::dot) {
    const bool pair = options.files.size() == 2 && !options.columns_pair;
    const bool table_pair = options.files.size() <= 1 && options.columns_pair;
    if (!pair && !table_pair) throw UsageError("dot needs two files X Y, or one file and --columns A,B");
  }
}

// The command is the first word that is not an option (or an option's value) when it
// names one; options may come before it. A first argument that is a word but no command
// is refused (a mistyped command is not taken for a file).
Options parse_arguments(int argc, char **argv, bool &done, std::string &out) {
  Options options;
  bool seen_word = false, help_word = false, column = false, only_files = false;
  std::optional<Command> named;
  std::optional<HeaderMode> header;
  const auto help = [&](int from) {
    // --help: the named command's help, or the one named later on the line.
    for (int k = from; !named && k < argc; ++k) named = command_named(argv[k]);
    out = named ? command_help(*named) : global_help();
    done = true;
  };
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (only_files || arg == "-" || arg.empty() || arg[0] != '-') {
      if (help_word) {  // sela help COMMAND
        named = command_named(arg);
        if (!named) throw UsageError("unknown command '" + arg + "' (commands: sum, dot, stats, cumsum)");
        continue;
      }
      if (!seen_word && !only_files) {
        seen_word = true;
        if (arg == "help") {
          help_word = true;
          continue;
        }
        if ((named = command_named(arg))) {
          options.command = *named;
          continue;
        }
        if (i == 1) throw UsageError("unknown command '" + arg + "' (commands: sum, dot, stats, cumsum)");
      }
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
      help(i + 1);
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
    } else if (arg == "--header" || arg == "--no-header") {
      flag();
      const HeaderMode mode = arg == "--header" ? HeaderMode::present : HeaderMode::absent;
      if (header && *header != mode) throw UsageError("give --header or --no-header, not both");
      header = mode;
      options.input.table.header = mode;
      options.table_options = true;
    } else if (arg == "--missing") {
      const std::string mode = value();
      if (mode != "skip" && mode != "error")
        throw UsageError("--missing takes skip or error, not '" + mode + "'");
      options.input.table.missing = mode == "skip" ? MissingMode::skip : MissingMode::error;
      options.table_options = true;
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
      options.input.table.choices = parse_choices(value(), options.columns_pair);
    } else {
      throw UsageError("unknown option '" + arg + "'");
    }
  }
  if (help_word) {
    help(argc);
    return options;
  }
  check_options(options);
  return options;
}

// ---- Data -------------------------------------------------------------------------------

struct Loaded {
  std::vector<std::string> names;
  std::vector<Numbers> columns;
  ReadNotes notes;
};

std::vector<std::unique_ptr<Source>> open_all(const std::vector<std::string> &paths) {
  std::vector<std::unique_ptr<Source>> sources;
  for (const std::string &path : paths) sources.push_back(Source::open(path));
  return sources;
}

std::uint64_t total_bytes(const std::vector<std::unique_ptr<Source>> &sources) {
  std::uint64_t total = 0;
  for (const auto &source : sources) total += source->size();
  return total;
}

[[noreturn]] void no_numbers(const Source &source) {
  throw ReadError(source.name() + ": no numbers");
}

Loaded load(const std::vector<std::string> &paths, const InputOptions &input) {
  Loaded loaded;
  const std::vector<std::unique_ptr<Source>> sources = open_all(paths);
  Progress progress(total_bytes(sources));
  loaded.columns.resize(input.table.choices.empty() ? 1 : input.table.choices.size());
  for (const auto &source : sources) {
    loaded.names.push_back(source->name());
    if (const std::optional<std::uint64_t> count = float64_run(*source, input)) {
      // The values' bytes go straight into the array.
      Numbers &column = loaded.columns[0];
      const std::size_t old = column.size();
      column.resize(old + *count);
      read_doubles(*source, column.data() + old, *count, progress);
      finish_run(*source);
      if (*count == 0) no_numbers(*source);
      continue;
    }
    const std::uint64_t count = stream_source(
        *source, input,
        [&](std::size_t k, std::span<const double> block) {
          loaded.columns[k].insert(loaded.columns[k].end(), block.begin(), block.end());
        },
        progress, loaded.notes);
    if (count == 0) no_numbers(*source);
  }
  return loaded;
}

// The exact sum of every input in bounded memory: float64 runs window by window (each
// split over the threads), everything else block by block as it is decoded.
double stream_exact(const std::vector<std::string> &paths, const InputOptions &input,
                    std::optional<unsigned> threads, ReadNotes &notes) {
  const std::vector<std::unique_ptr<Source>> sources = open_all(paths);
  Progress progress(total_bytes(sources));
  sela_accumulator total;
  sela_accumulator_init(&total);
  Numbers window;
  for (const auto &source : sources) {
    if (const std::optional<std::uint64_t> count = float64_run(*source, input)) {
      if (*count == 0) no_numbers(*source);
      const unsigned workers = threads ? *threads : default_threads(*count);
      // The accumulation is exact, so neither the windows nor the threads change the result.
      window.resize(static_cast<std::size_t>(std::min<std::uint64_t>(*count, std::uint64_t{workers} << 21)));
      for (std::uint64_t at = 0; at < *count;) {
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), *count - at));
        read_doubles(*source, window.data(), take, progress);
        const sela_accumulator held = exact_accumulate(std::span<const double>(window.data(), take), workers);
        sela_accumulator_merge(&total, &held);
        at += take;
      }
      finish_run(*source);
      continue;
    }
    const std::uint64_t count = stream_source(
        *source, input,
        [&](std::size_t, std::span<const double> block) {
          sela_accumulator_add(&total, block.data(), block.size());
        },
        progress, notes);
    if (count == 0) no_numbers(*source);
  }
  return sela_accumulator_round(&total);
}

std::string title_of(const std::vector<std::string> &files) {
  std::string title;
  for (const std::string &file : files) title += (title.empty() ? "" : " ") + (file == "-" ? "<stdin>" : file);
  return title;
}

// Remarks of the readers, and the rows left out when only a value is printed (a report
// counts them itself).
void tell(const ReadNotes &notes, bool value_only) {
  for (const std::string &remark : notes.remarks) std::fprintf(stderr, "%s\n", remark.c_str());
  if (value_only && notes.skipped_rows > 0)
    std::fprintf(stderr, "sela: %llu rows with missing values left out\n",
                 static_cast<unsigned long long>(notes.skipped_rows));
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
  try {
    return find_method(options.command, *options.method);
  } catch (const std::invalid_argument &error) {
    throw UsageError(error.what());
  }
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

std::string run_demo(const Options &options, const std::optional<Method> &method) {
  std::string out = options.json || options.method
                        ? ""
                        : std::string("sela ") + sela_version() + ": one data set, several grades of accuracy\n\n";
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

std::string run(const Options &options) {
  const std::optional<Method> method = chosen_method(options);
  if (options.command == Command::stats && options.method && !stat_by_name(Report{}, *options.method))
    throw UsageError("unknown statistic '" + *options.method + "' (" + kStatNames + ")");
  std::vector<std::string> files = options.files;
  if (options.demo || (files.empty() && options.command == Command::sum && isatty(STDIN_FILENO) == 1))
    return run_demo(options, method);
  if (files.empty()) {
    if (isatty(STDIN_FILENO) == 1)
      throw UsageError("no input: give a FILE, or pipe numbers into standard input");
    files.push_back("-");
  }
  if (options.command == Command::cumsum) {
    ReadNotes notes;
    stream_cumsum(files, options.input, options.json, title_of(files), stdout, notes);
    tell(notes, !options.json);
    return {};
  }
  const bool value_only = method && !options.json;
  if (options.command == Command::sum && value_only && method->exact()) {
    ReadNotes notes;
    const double exact = stream_exact(files, options.input, options.threads, notes);
    tell(notes, true);
    return shortest(exact) + "\n";
  }

  if (options.command == Command::dot) {
    std::vector<Loaded> inputs;
    std::vector<std::span<const double>> xy;
    if (files.size() == 2) {
      for (const std::string &file : files) inputs.push_back(load({file}, options.input));
      xy = {inputs[0].columns[0], inputs[1].columns[0]};
      if (xy[0].size() != xy[1].size())
        throw ReadError("sela dot: " + inputs[0].names[0] + " has " + std::to_string(xy[0].size()) +
                        " numbers, " + inputs[1].names[0] + " has " + std::to_string(xy[1].size()));
    } else {
      inputs.push_back(load(files, options.input));
      xy = {inputs[0].columns[0], inputs[0].columns[1]};
    }
    ReadNotes notes;
    for (const Loaded &input : inputs) {
      notes.skipped_rows += input.notes.skipped_rows;
      notes.remarks.insert(notes.remarks.end(), input.notes.remarks.begin(), input.notes.remarks.end());
    }
    tell(notes, value_only);
    if (value_only) return shortest(dot_value(*method, xy[0], xy[1], threads_for(options, xy[0].size()))) + "\n";
    Report report = dot_report(xy[0], xy[1], threads_for(options, xy[0].size()), method);
    report.title = title_of(files);
    report.skipped_rows = notes.skipped_rows;
    return output_of(options, report);
  }
  const Loaded loaded = load(files, options.input);
  const std::span<const double> x = loaded.columns[0];
  tell(loaded.notes, value_only || (options.command == Command::stats && options.method && !options.json));
  if (value_only && options.command == Command::sum)
    return shortest(sum_value(*method, x, threads_for(options, x.size()))) + "\n";
  Report report = options.command == Command::stats
                      ? stats_report(x, threads_for(options, x.size()))
                      : sum_report(x, threads_for(options, x.size()), method);
  report.title = title_of(files);
  report.skipped_rows = loaded.notes.skipped_rows;
  return output_of(options, report);
}

}  // namespace
}  // namespace sela_tool

int main(int argc, char **argv) {
  using namespace sela_tool;
  reserve_standard_descriptors();
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
  } catch (const std::exception &error) {
    std::fprintf(stderr, "sela: %s\n", error.what());
  }
  return 2;
}
