#include "render.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace sela_tool {
namespace {

std::string format(const char *pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char *pattern, ...) {
  char buffer[128];
  va_list args;
  va_start(args, pattern);
  std::vsnprintf(buffer, sizeof buffer, pattern, args);
  va_end(args);
  return buffer;
}

std::string seventeen(double value) { return format("% .16e", value); }

std::string ulps(double value) {
  if (std::isnan(value)) return "-";
  if (value == 0.0) return "0";
  return format("%+.3g", value);
}

std::string relative(double value) {
  if (std::isnan(value)) return "-";
  if (value == 0.0) return "0";
  return format("%.1e", value);
}

std::string duration(double seconds) {
  if (seconds < 1e-6) return format("%.0f ns", seconds * 1e9);
  if (seconds < 1e-3) return format("%.1f us", seconds * 1e6);
  if (seconds < 1.0) return format("%.2f ms", seconds * 1e3);
  return format("%.2f s", seconds);
}

// The length of the well-formed UTF-8 sequence at p[0..n), or 0: no overlong forms, no
// surrogates, nothing beyond U+10FFFF.
std::size_t utf8_length(const unsigned char *p, std::size_t n) {
  const unsigned c = p[0];
  std::size_t length = 0;
  unsigned low = 0x80, high = 0xBF;  // the range of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    if (c == 0xE0) low = 0xA0;
    if (c == 0xED) high = 0x9F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    if (c == 0xF0) low = 0x90;
    if (c == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (n < length || p[1] < low || p[1] > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (p[k] < 0x80 || p[k] > 0xBF) return 0;
  return length;
}

}  // namespace

// A JSON string of arbitrary bytes (file names need not be UTF-8): valid UTF-8 is kept, a
// byte that is not part of it is written as the lone surrogate \udcXX, as Python's
// surrogateescape reads it back (json.loads(s).encode("utf-8", "surrogateescape") gives
// the bytes again).
std::string json_string(const std::string &text) {
  std::string out = "\"";
  const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char u = bytes[i];
    if (u == '"' || u == '\\') {
      out += '\\';
      out += static_cast<char>(u);
    } else if (u < 0x20 || u == 0x7F) {
      out += format("\\u%04x", u);
    } else if (u >= 0x80) {
      const std::size_t length = utf8_length(bytes + i, text.size() - i);
      if (length == 0) {
        out += format("\\udc%02x", u);
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
      continue;
    } else {
      out += static_cast<char>(u);
    }
    ++i;
  }
  return out + "\"";
}

std::string json_number(double value) {
  std::string text = shortest(value);
  if (!std::isfinite(value)) {
    text.insert(text.begin(), '"');
    text.push_back('"');
  }
  return text;
}

namespace {

const GradeResult *naive_result(const Report &report) {
  for (const GradeResult &result : report.grades)
    if (result.method.key() == "naive") return &result;
  return nullptr;
}

std::string verdict(const Report &report) {
  const GradeResult *naive = naive_result(report);
  if (naive == nullptr) return {};
  const char *loop = report.command == Command::dot ? "plain dot-product loop" : "plain loop";
  if (!std::isfinite(report.exact))
    return format("Verdict: the exact result is %s, so there are no digits to lose.\n",
                  shortest(report.exact).c_str());
  if (std::bit_cast<std::uint64_t>(naive->value) == std::bit_cast<std::uint64_t>(report.exact))
    return format("Verdict: the %s lost no digits: it gives the correctly rounded result.\n", loop);
  if (std::isnan(naive->relative_error) || !(naive->relative_error < 1.0))
    return format("Verdict: the %s lost all 16 significant digits (it gives %s).\n", loop,
                  shortest(naive->value).c_str());
  const int lost = digits_lost(naive->relative_error);
  if (lost == 0)
    return format("Verdict: the %s lost less than one digit (%s ulp).\n", loop,
                  ulps(naive->error_ulp).c_str());
  return format("Verdict: the %s lost %d of 16 significant digits (relative error %.1e).\n", loop,
                lost, naive->relative_error);
}

}  // namespace

std::string shortest(double value) {
  // A NaN's sign means nothing (inf - inf gives -nan on x86): always "nan".
  if (std::isnan(value)) return "nan";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string hexadecimal(double value) { return std::isnan(value) ? "nan" : format("%a", value); }

std::string render_text(const Report &report) {
  std::string out;
  if (!report.title.empty()) out += report.title + "\n";
  const auto line = [&out](const char *name, const std::string &value) {
    out += format("  %-24s %s\n", name, value.c_str());
  };
  const auto value_line = [&](const char *name, double value) {
    line(name, seventeen(value) + "  " + hexadecimal(value));
  };
  line("count", std::to_string(report.count));
  if (report.skipped_rows > 0)
    line("rows skipped", std::to_string(report.skipped_rows) + " (missing values)");
  value_line(report.command == Command::dot ? "exact dot product" : "exact sum", report.exact);
  if (report.command == Command::stats) {
    value_line("mean", report.mean);
    value_line("norm", report.norm);
    line("condition number", format("%.3g", report.condition));
    value_line("centered sum of squares", report.centered_squares);
    if (report.variance_overflows) {
      line("sample variance", seventeen(report.variance) + "  (beyond the largest double)");
    } else {
      value_line("sample variance", report.variance);
    }
    value_line("standard deviation", report.deviation);
    return out;
  }
  line("condition number", format("%.3g", report.condition));
  out += format("\n  %-20s %-24s %-26s %10s %10s %10s\n", "grade", " result", "hexadecimal",
                "error/ulp", "rel.error", "time");
  for (const GradeResult &result : report.grades)
    out += format("  %-20s %-24s %-26s %10s %10s %10s\n", result.method.label().c_str(),
                  seventeen(result.value).c_str(), hexadecimal(result.value).c_str(),
                  ulps(result.error_ulp).c_str(), relative(result.relative_error).c_str(),
                  duration(result.seconds).c_str());
  const std::string said = verdict(report);
  if (!said.empty()) out += "  " + said;
  return out;
}

std::string render_json(const Report &report) {
  const char *command = report.command == Command::sum   ? "sum"
                        : report.command == Command::dot ? "dot"
                                                         : "stats";
  std::string out = "{\"command\": \"" + std::string(command) + "\", \"input\": " +
                    json_string(report.title) + ", \"count\": " + std::to_string(report.count) +
                    ", \"skipped_rows\": " + std::to_string(report.skipped_rows);
  const auto field = [&out](const char *name, double value) {
    out += ", \"" + std::string(name) + "\": " + json_number(value);
  };
  field("exact", report.exact);
  out += ", \"exact_hex\": \"" + hexadecimal(report.exact) + "\"";
  field("condition_number", report.condition);
  if (report.command == Command::stats) {
    field("mean", report.mean);
    field("norm", report.norm);
    field("centered_squares", report.centered_squares);
    field("variance", report.variance);
    field("stddev", report.deviation);
    out += std::string(", \"variance_overflows\": ") + (report.variance_overflows ? "true" : "false");
    return out + "}";
  }
  out += ", \"results\": [";
  for (std::size_t i = 0; i < report.grades.size(); ++i) {
    const GradeResult &r = report.grades[i];
    out += (i ? ", " : "") + std::string("{\"method\": ") + json_string(r.method.key()) +
           ", \"value\": " + json_number(r.value) + ", \"hex\": \"" + hexadecimal(r.value) +
           "\", \"error_ulp\": " + json_number(r.error_ulp) +
           ", \"relative_error\": " + json_number(r.relative_error) +
           ", \"seconds\": " + json_number(r.seconds) + "}";
  }
  out += "]";
  if (const GradeResult *naive = naive_result(report))
    out += ", \"digits_lost\": " + std::to_string(std::isnan(naive->relative_error)
                                                      ? 16
                                                      : digits_lost(naive->relative_error));
  return out + "}";
}

}  // namespace sela_tool
