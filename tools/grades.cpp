#include "grades.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <new>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "isolate.h"

namespace sela_tool {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

template <class Fill>
sela_accumulator accumulate_in_slices(std::uint64_t n, unsigned threads, Fill fill) {
  threads = std::max(1u, threads);
  std::vector<sela_accumulator> parts(threads);
  const auto slice = [&](unsigned t) {
    const std::uint64_t begin = n / threads * t + std::min<std::uint64_t>(t, n % threads);
    const std::uint64_t end = n / threads * (t + 1) + std::min<std::uint64_t>(t + 1, n % threads);
    sela_accumulator_init(&parts[t]);
    fill(parts[t], begin, end - begin);
  };
  // jthreads join when destroyed, so no path leaves a running thread behind.
  std::vector<std::jthread> workers;
  unsigned started = 1;
  try {
    workers.reserve(threads - 1);
    for (; started < threads; ++started) workers.emplace_back(slice, started);
  } catch (const std::system_error &) {
  } catch (const std::bad_alloc &) {
  }
  for (unsigned t = started; t < threads; ++t) slice(t);
  slice(0);
  workers.clear();
  for (unsigned t = 1; t < threads; ++t) sela_accumulator_merge(&parts[0], &parts[t]);
  return parts[0];
}

// The grade on the first `count` elements.
double run_sum(const Method &m, std::span<const double> x, std::uint64_t count) {
  return method_sum(m.entry, x.data(), count, m.order);
}

double run_dot(const Method &m, std::span<const double> x, std::span<const double> y, std::uint64_t count) {
  return method_dot(m.entry, x.data(), y.data(), count, m.order);
}

// A grade timed; one that may allocate runs in a child process (isolate.h).
TimedValue timed_grade(const Method &m, std::uint64_t n, const Computation &compute) {
  return method_may_allocate(m.entry, n, m.order) ? run_isolated(compute, n) : run_timed(compute, n);
}

method_kind kind_of(Command command) { return command == Command::dot ? METHOD_DOT : METHOD_SUM; }

}  // namespace

std::string Method::key() const {
  return order == 0 ? std::string(entry->name) : "k:" + std::to_string(order);
}

std::string Method::label() const {
  return order == 0 ? std::string(entry->label) : std::string(entry->label) + ", K = " + std::to_string(order);
}

bool Method::exact() const { return std::string_view(entry->name) == "exact"; }

sela_accumulator exact_accumulate(std::span<const double> x, unsigned threads) {
  return accumulate_in_slices(x.size(), threads,
                              [&](sela_accumulator &acc, std::uint64_t begin, std::uint64_t n) {
                                sela_accumulator_add(&acc, x.data() + begin, n);
                              });
}

sela_accumulator exact_accumulate_products(std::span<const double> x, std::span<const double> y,
                                           unsigned threads) {
  return accumulate_in_slices(x.size(), threads,
                              [&](sela_accumulator &acc, std::uint64_t begin, std::uint64_t n) {
                                sela_accumulator_add_products(&acc, x.data() + begin,
                                                              y.data() + begin, n);
                              });
}

unsigned default_threads(std::uint64_t n) {
  if (n < (std::uint64_t{1} << 20)) return 1;
  return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<Method> table_methods(Command command) {
  std::size_t count = 0;
  const method *list = method_list(kind_of(command), &count);
  std::vector<Method> methods;
  for (std::size_t i = 0; i < count; ++i)
    methods.push_back({&list[i], list[i].sum_k || list[i].dot_k ? 3 : 0});
  return methods;
}

Method find_method(Command command, std::string_view name) {
  Method m;
  const method_status status =
      method_find(kind_of(command), name.data(), name.size(), 0, 0, &m.entry, &m.order);
  if (status == METHOD_OK) return m;
  char names[256];
  if (status == METHOD_UNKNOWN)
    throw std::invalid_argument("unknown method '" + std::string(name) + "' (" +
                                method_names(kind_of(command), names, sizeof names) + ")");
  throw std::invalid_argument("method '" + std::string(name) + "': " + method_status_text(status));
}

void measure_error(const sela_accumulator &exact, double rounded, GradeResult &result) {
  const double value = result.value;
  if (!std::isfinite(value) || !std::isfinite(rounded)) {
    const bool same = std::bit_cast<std::uint64_t>(value) == std::bit_cast<std::uint64_t>(rounded) ||
                      (std::isnan(value) && std::isnan(rounded));
    result.error_ulp = result.relative_error = same ? 0.0 : kNaN;
    return;
  }
  // value - S exactly, rounded once: the accumulator holds S, so add -value to a copy.
  // Rounding to nearest is symmetric, so negating the rounded S - value is exact.
  sela_accumulator difference = exact;
  const double negated = -value;
  sela_accumulator_add(&difference, &negated, 1);
  const double error = -sela_accumulator_round(&difference);
  int exponent = 0;
  std::frexp(rounded, &exponent);  // |rounded| = m * 2^exponent, m in [1/2, 1)
  const double ulp = rounded == 0.0 ? std::ldexp(1.0, -1074)
                                    : std::ldexp(1.0, std::max(exponent - 53, -1074));
  result.error_ulp = error == 0.0 ? 0.0 : error / ulp;
  result.relative_error = error == 0.0 ? 0.0
                          : rounded == 0.0 ? std::numeric_limits<double>::infinity()
                                           : std::fabs(error) / std::fabs(rounded);
}

int digits_lost(double relative_error) {
  // A correctly rounded double is off by at most 2^-53 (about 1.1e-16) relatively: that
  // is the 15.95 digits a double carries; each factor of 10 above it costs one.
  if (!(relative_error < 1.0)) return 16;
  if (relative_error <= 0x1p-53) return 0;
  const double lost = std::log10(relative_error / 0x1p-53);
  return std::min(16, static_cast<int>(std::lround(lost)));
}

double sum_value(const Method &method, std::span<const double> x, unsigned threads) {
  if (!method.exact())
    return timed_grade(method, x.size(), [&](std::uint64_t count) { return run_sum(method, x, count); }).value;
  const sela_accumulator held = exact_accumulate(x, threads);
  return sela_accumulator_round(&held);
}

double dot_value(const Method &method, std::span<const double> x, std::span<const double> y,
                 unsigned threads) {
  if (!method.exact())
    return timed_grade(method, x.size(), [&](std::uint64_t count) { return run_dot(method, x, y, count); }).value;
  const sela_accumulator held = exact_accumulate_products(x, y, threads);
  return sela_accumulator_round(&held);
}

namespace {

// The report's exact value through the accumulators made by `accumulate`, then every
// grade (or only one) timed by `run` and measured against that exact value.
template <class Accumulate, class Run>
void fill_grades(Report &report, const std::optional<Method> &only, Accumulate accumulate, Run run) {
  sela_accumulator held;
  const TimedValue exact = run_timed(
      [&](std::uint64_t) {
        held = accumulate();
        return sela_accumulator_round(&held);
      },
      report.count);
  report.exact = exact.value;
  const std::vector<Method> methods = only ? std::vector<Method>{*only} : table_methods(report.command);
  for (const Method &m : methods) {
    GradeResult result;
    result.method = m;
    if (m.exact()) {
      result.value = exact.value;
      result.seconds = exact.seconds;
    } else {
      const TimedValue timed = timed_grade(m, report.count, [&](std::uint64_t count) { return run(m, count); });
      result.value = timed.value;
      result.seconds = timed.seconds;
    }
    measure_error(held, report.exact, result);
    report.grades.push_back(result);
  }
}

}  // namespace

Report sum_report(std::span<const double> x, unsigned threads, const std::optional<Method> &only) {
  Report report;
  report.command = Command::sum;
  report.count = x.size();
  fill_grades(
      report, only, [&] { return exact_accumulate(x, threads); },
      [&](const Method &m, std::uint64_t count) { return run_sum(m, x, count); });
  report.condition = sela_condition_number(x.data(), x.size());
  return report;
}

Report dot_report(std::span<const double> x, std::span<const double> y, unsigned threads,
                  const std::optional<Method> &only) {
  Report report;
  report.command = Command::dot;
  report.count = x.size();
  fill_grades(
      report, only, [&] { return exact_accumulate_products(x, y, threads); },
      [&](const Method &m, std::uint64_t count) { return run_dot(m, x, y, count); });
  // The condition number of a dot product, 2 sum |x y| / |sum x y|; a few digits suffice,
  // so the magnitudes are summed by the plain loop.
  double magnitudes = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) magnitudes += std::fabs(x[i] * y[i]);
  report.condition = 2.0 * magnitudes / std::fabs(report.exact);
  return report;
}

void fill_deviation(Report &report, std::span<const double> x) {
  const std::uint64_t n = x.size();
  report.variance = n < 2 ? kNaN : report.centered_squares / static_cast<double>(n - 1);
  report.deviation = std::sqrt(report.variance);
  report.variance_overflows = false;
  // Scaling is needed only for finite data whose squares left the range: beyond it (an
  // infinite sum or variance) or below it (a positive sum small enough that its
  // subnormal rounding costs digits).
  const double squares = report.centered_squares;
  const bool beyond = std::isinf(squares) || std::isinf(report.variance);
  const bool below = squares > 0.0 && squares < 0x1p-968;
  if (n < 2 || !std::isfinite(report.mean) || !(beyond || below)) return;
  double largest = 0.0;
  for (const double v : x) {
    if (!std::isfinite(v)) return;  // an infinity or NaN is the answer as it stands
    largest = std::max(largest, std::fabs(v));
  }
  // x 2^-e has magnitudes below 2^400: its differences stay below 2^401 and their
  // squares, summed over up to 2^62 elements, below 2^864. Scaling is exact except for
  // elements that fall below 2^-1022 (when scaling down), which are then smaller than
  // the differences that made the sum overflow by more than 2^500.
  int e = 0;
  std::frexp(largest, &e);
  e -= 400;
  std::vector<double> scaled(x.begin(), x.end());
  for (double &v : scaled) v = std::ldexp(v, -e);
  const double mean = std::ldexp(report.mean, -e);
  const double s = sela_centered_sum_squares(scaled.data(), n, mean) / static_cast<double>(n - 1);
  // s 2^(2e) is the variance, sqrt(s) 2^e the deviation: scaling by a power of two
  // commutes with the square root.
  report.variance = std::ldexp(s, 2 * e);
  report.deviation = std::ldexp(std::sqrt(s), e);
  report.variance_overflows = std::isinf(report.variance) && std::isfinite(report.deviation);
}

Report stats_report(std::span<const double> x, unsigned threads) {
  Report report;
  report.command = Command::stats;
  report.count = x.size();
  const sela_accumulator held = exact_accumulate(x, threads);
  report.exact = sela_accumulator_round(&held);
  report.condition = sela_condition_number(x.data(), x.size());
  report.mean = sela_mean_scaled(x.data(), x.size());
  report.norm = sela_norm_scaled(x.data(), x.size());
  report.centered_squares = sela_centered_sum_squares(x.data(), x.size(), report.mean);
  fill_deviation(report, x);
  return report;
}

const char *const kStatNames = "count, sum, mean, norm, condition, centered_squares, variance, stddev";

std::optional<double> stat_by_name(const Report &report, std::string_view name) {
  if (name == "count") return static_cast<double>(report.count);
  if (name == "sum" || name == "exact") return report.exact;
  if (name == "mean") return report.mean;
  if (name == "norm") return report.norm;
  if (name == "condition") return report.condition;
  if (name == "centered_squares") return report.centered_squares;
  if (name == "variance") return report.variance;
  if (name == "stddev") return report.deviation;
  return std::nullopt;
}

}  // namespace sela_tool
