#include "grades.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <charconv>
#include <cmath>
#include <limits>
#include <thread>

namespace sela_tool {
namespace {

enum Id {
  kNaive, kPairwise, kPairwiseIterative, kKahan, kNeumaier, kKlein, kShewchuk, kSum2, kSumK,
  kAcc, kNear, kExact, kDotNaive, kDot2, kDotK, kDotExact
};

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
  if (threads == 1) {
    slice(0);
    return parts[0];
  }
  std::vector<std::thread> workers;
  for (unsigned t = 1; t < threads; ++t) workers.emplace_back(slice, t);
  slice(0);
  for (std::thread &worker : workers) worker.join();
  for (unsigned t = 1; t < threads; ++t) sela_accumulator_merge(&parts[0], &parts[t]);
  return parts[0];
}

using Clock = std::chrono::steady_clock;

template <class F>
double timed(F f, double &seconds) {
  const Clock::time_point start = Clock::now();
  const double value = f();
  seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return value;
}

double run_sum(const Method &m, const double *x, std::uint64_t n) {
  switch (m.id) {
    case kNaive: return sela_sum_naive(x, n);
    case kPairwise: return sela_sum_pairwise(x, n);
    case kPairwiseIterative: return sela_sum_pairwise_iterative(x, n);
    case kKahan: return sela_sum_kahan(x, n);
    case kNeumaier: return sela_sum_neumaier(x, n);
    case kKlein: return sela_sum_klein(x, n);
    case kShewchuk: return sela_sum_shewchuk(x, n);
    case kSum2: return sela_sum_oro(x, n);
    case kSumK: return sela_sum_k(x, n, m.k);
    case kAcc: return sela_sum_acc(x, n);
    case kNear: return sela_sum_near(x, n);
    default: return sela_sum_exact(x, n);
  }
}

double run_dot(const Method &m, const double *x, const double *y, std::uint64_t n) {
  switch (m.id) {
    case kDotNaive: return sela_dot_naive(x, y, n);
    case kDot2: return sela_dot2(x, y, n);
    case kDotK: return sela_dot_k(x, y, n, m.k);
    default: return sela_dot_exact(x, y, n);
  }
}

Method sum_k(std::int32_t k) {
  return {"k:" + std::to_string(k), "SumK, K = " + std::to_string(k), kSumK, k};
}
Method dot_k(std::int32_t k) {
  return {"k:" + std::to_string(k), "DotK, K = " + std::to_string(k), kDotK, k};
}

struct Alias {
  const char *name;
  Method method;
};

}  // namespace

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
  if (command == Command::dot)
    return {{"naive", "naive", kDotNaive, 0}, {"dot2", "Dot2", kDot2, 0}, dot_k(3),
            {"exact", "exact", kDotExact, 0}};
  return {{"naive", "naive", kNaive, 0},
          {"pairwise", "pairwise", kPairwise, 0},
          {"pairwise_iterative", "pairwise iterative", kPairwiseIterative, 0},
          {"kahan", "Kahan", kKahan, 0},
          {"neumaier", "Neumaier", kNeumaier, 0},
          {"klein", "Klein", kKlein, 0},
          {"shewchuk", "Shewchuk", kShewchuk, 0},
          {"sum2", "Sum2", kSum2, 0},
          sum_k(3),
          {"acc", "AccSum", kAcc, 0},
          {"near", "NearSum", kNear, 0},
          {"exact", "exact", kExact, 0}};
}

std::optional<Method> find_method(Command command, std::string_view name) {
  if (command == Command::stats) return std::nullopt;
  if (name.substr(0, 2) == "k:") {
    std::int32_t k = 0;
    const char *end = name.data() + name.size();
    const auto [ptr, ec] = std::from_chars(name.data() + 2, end, k);
    if (ec != std::errc() || ptr != end || name.size() == 2) return std::nullopt;
    return command == Command::dot ? dot_k(k) : sum_k(k);
  }
  for (const Method &m : table_methods(command))
    if (m.key == name) return m;
  static const Alias kSumAliases[] = {{"pairwise-iterative", {"pairwise_iterative", "pairwise iterative", kPairwiseIterative, 0}},
                                      {"oro", {"sum2", "Sum2", kSum2, 0}},
                                      {"accsum", {"acc", "AccSum", kAcc, 0}},
                                      {"nearsum", {"near", "NearSum", kNear, 0}}};
  if (command == Command::sum)
    for (const Alias &alias : kSumAliases)
      if (name == alias.name) return alias.method;
  if (command == Command::dot && name == "dotk") return dot_k(3);
  if (command == Command::sum && name == "sumk") return sum_k(3);
  return std::nullopt;
}

std::string method_names(Command command) {
  std::string names;
  for (const Method &m : table_methods(command)) {
    if (m.id == kSumK || m.id == kDotK) {
      names += "k:N, ";
    } else {
      names += m.key + ", ";
    }
  }
  return names.substr(0, names.size() - 2);
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
  if (method.id != kExact) return run_sum(method, x.data(), x.size());
  const sela_accumulator held = exact_accumulate(x, threads);
  return sela_accumulator_round(&held);
}

double dot_value(const Method &method, std::span<const double> x, std::span<const double> y,
                 unsigned threads) {
  if (method.id != kDotExact) return run_dot(method, x.data(), y.data(), x.size());
  const sela_accumulator held = exact_accumulate_products(x, y, threads);
  return sela_accumulator_round(&held);
}

namespace {

// The report's exact value through the accumulators made by `accumulate`, then every
// grade (or only one) timed by `run` and measured against that exact value.
template <class Accumulate, class Run>
void fill_grades(Report &report, const std::optional<Method> &only, Accumulate accumulate, Run run) {
  double exact_seconds = 0.0;
  sela_accumulator held;
  report.exact = timed(
      [&] {
        held = accumulate();
        return sela_accumulator_round(&held);
      },
      exact_seconds);
  const std::vector<Method> methods = only ? std::vector<Method>{*only} : table_methods(report.command);
  for (const Method &m : methods) {
    GradeResult result;
    result.method = m;
    if (m.id == kExact || m.id == kDotExact) {
      result.value = report.exact;
      result.seconds = exact_seconds;
    } else {
      result.value = timed([&] { return run(m); }, result.seconds);
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
      [&](const Method &m) { return run_sum(m, x.data(), x.size()); });
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
      [&](const Method &m) { return run_dot(m, x.data(), y.data(), x.size()); });
  // The condition number of a dot product, 2 sum |x y| / |sum x y|; a few digits suffice,
  // so the magnitudes are summed by the plain loop.
  double magnitudes = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) magnitudes += std::fabs(x[i] * y[i]);
  report.condition = 2.0 * magnitudes / std::fabs(report.exact);
  return report;
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
  report.variance = x.size() < 2 ? kNaN : report.centered_squares / static_cast<double>(x.size() - 1);
  report.deviation = std::sqrt(report.variance);
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
