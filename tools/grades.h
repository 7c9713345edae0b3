// The tool's computations: every grade of a sum or dot product timed, the exact value
// through per-thread accumulators, and each result's error against the exact value.
#ifndef SELA_TOOL_GRADES_H
#define SELA_TOOL_GRADES_H

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "methods.h"
#include "sela.h"

namespace sela_tool {

// The exact sum (or sum of products) of one array split into `threads` contiguous slices,
// one accumulator per slice, merged in slice order. Accumulation is exact, so the record
// holds the same value, and rounds to the same bits, for every thread count; a slice
// whose thread cannot be created (a process limit, no memory) is summed by the calling
// thread instead.
sela_accumulator exact_accumulate(std::span<const double> x, unsigned threads);
sela_accumulator exact_accumulate_products(std::span<const double> x, std::span<const double> y,
                                           unsigned threads);

// The threads to use when the user gave none: all cores for large inputs.
unsigned default_threads(std::uint64_t n);

enum class Command { sum, dot, stats, cumsum };

// A grade: an entry of the front ends' method table (methods.h) and its K.
struct Method {
  const method *entry = nullptr;
  std::int32_t order = 0;
  std::string key() const;    // canonical name, as printed: "naive", "k:3"
  std::string label() const;  // table label: "Kahan", "SumK, K = 3"
  bool exact() const;
};

// The grades of the full table, in order.
std::vector<Method> table_methods(Command command);
// Parses a name for the command (aliases accepted, K up to METHOD_K_MAX); raises
// std::invalid_argument with the message for an unknown name or a bad K.
Method find_method(Command command, std::string_view name);

struct GradeResult {
  Method method;
  double value = 0.0;
  double seconds = 0.0;
  double error_ulp = 0.0;       // (result - exact value) / ulp(rounded exact value), signed
  double relative_error = 0.0;  // |result - exact value| / |exact value|
};

struct Report {
  Command command = Command::sum;
  std::string title;
  std::uint64_t count = 0;
  double exact = 0.0;
  double condition = 0.0;
  std::vector<GradeResult> grades;  // sum and dot
  std::uint64_t skipped_rows = 0;   // table rows left out for missing values
  // stats
  double mean = 0.0, norm = 0.0, centered_squares = 0.0, variance = 0.0, deviation = 0.0;
  // The variance (or the centered sum of squares) is beyond the range of doubles while
  // the standard deviation is not.
  bool variance_overflows = false;
};

// One grade's value alone (the exact one through per-thread accumulators). Grades that
// allocate run where the library's out-of-memory exit cannot end the tool
// (isolate.h): that raises std::bad_alloc.
double sum_value(const Method &method, std::span<const double> x, unsigned threads);
double dot_value(const Method &method, std::span<const double> x, std::span<const double> y,
                 unsigned threads);

// Runs the table's grades (or only `only`) over x (and y for dot products).
Report sum_report(std::span<const double> x, unsigned threads, const std::optional<Method> &only);
Report dot_report(std::span<const double> x, std::span<const double> y, unsigned threads,
                  const std::optional<Method> &only);
Report stats_report(std::span<const double> x, unsigned threads);

// The standard deviation from the centered sum of squares of x about `mean` (already
// rounded as sela_centered_sum_squares gives it): when that sum or the variance is beyond
// the range of doubles, or lost to underflow, the data are scaled by a power of two
// first, so the deviation is finite whenever the true one is.
void fill_deviation(Report &report, std::span<const double> x);

// A statistic of a stats report by name ("mean", "variance", ...); nullopt if unknown.
std::optional<double> stat_by_name(const Report &report, std::string_view name);
extern const char *const kStatNames;

// The error of `value` against the exact value held by `exact` (whose rounding is
// `rounded`): fills error_ulp and relative_error. Non-finite values have no error when
// they equal the rounding and a NaN error otherwise.
void measure_error(const sela_accumulator &exact, double rounded, GradeResult &result);

// How many of a double's about 16 significant digits a relative error costs.
int digits_lost(double relative_error);

}  // namespace sela_tool

#endif
