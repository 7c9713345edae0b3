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

#include "sela.h"

namespace sela_tool {

// The exact sum (or sum of products) of one array split into `threads` contiguous slices,
// one accumulator per slice, merged in slice order. Accumulation is exact, so the record
// holds the same value, and rounds to the same bits, for every thread count.
sela_accumulator exact_accumulate(std::span<const double> x, unsigned threads);
sela_accumulator exact_accumulate_products(std::span<const double> x, std::span<const double> y,
                                           unsigned threads);

// The threads to use when the user gave none: all cores for large inputs.
unsigned default_threads(std::uint64_t n);

enum class Command { sum, dot, stats };

// A grade chosen by name: "naive", "kahan", "exact", "k:4", ...
struct Method {
  std::string key;    // canonical name, as printed
  std::string label;  // table label
  int id = 0;         // which computation
  std::int32_t k = 0;
};

// The grades of the full table, in order.
std::vector<Method> table_methods(Command command);
// Parses a name for the command (aliases accepted); nullopt if unknown.
std::optional<Method> find_method(Command command, std::string_view name);
// The names accepted, for messages.
std::string method_names(Command command);

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
  // stats
  double mean = 0.0, norm = 0.0, centered_squares = 0.0, variance = 0.0, deviation = 0.0;
};

// One grade's value alone (the exact one through per-thread accumulators).
double sum_value(const Method &method, std::span<const double> x, unsigned threads);
double dot_value(const Method &method, std::span<const double> x, std::span<const double> y,
                 unsigned threads);

// Runs the table's grades (or only `only`) over x (and y for dot products).
Report sum_report(std::span<const double> x, unsigned threads, const std::optional<Method> &only);
Report dot_report(std::span<const double> x, std::span<const double> y, unsigned threads,
                  const std::optional<Method> &only);
Report stats_report(std::span<const double> x, unsigned threads);

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
