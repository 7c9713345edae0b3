#include "number_parse.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <system_error>

namespace sela_tool {

bool parse_number(std::string_view token, double &out) {
  std::string_view body = token;
  bool negative = false;
  if (!body.empty() && (body.front() == '+' || body.front() == '-')) {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  // from_chars takes neither a sign nor the hexadecimal prefix; a second sign ("--1") is
  // left in `body` and rejected below, since from_chars reads no leading sign here.
  if (body.empty() || body.front() == '+' || body.front() == '-') return false;
  std::chars_format format = std::chars_format::general;
  if (body.size() > 2 && body[0] == '0' && (body[1] == 'x' || body[1] == 'X')) {
    body.remove_prefix(2);
    format = std::chars_format::hex;
    // from_chars would read "inf" and "nan" after the prefix too: a hexadecimal number
    // starts with a digit or the point.
    if (body.empty() || !(std::isxdigit(static_cast<unsigned char>(body.front())) || body.front() == '.'))
      return false;
  }
  double value = 0.0;
  const char *end = body.data() + body.size();
  const auto [ptr, ec] = std::from_chars(body.data(), end, value, format);
  if (ptr != end) return false;
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports a result that rounds to an infinity or to zero without a value.
    // The syntax is already known to be sound; glibc's strtod rounds correctly and
    // returns the signed infinity or the signed zero of that rounding.
    const std::string copy(token);
    out = std::strtod(copy.c_str(), nullptr);
    return true;
  }
  if (ec != std::errc()) return false;
  out = negative ? -value : value;
  return true;
}

std::string printable_token(std::string_view token) {
  constexpr std::size_t kShown = 40;
  std::string shown;
  for (std::size_t i = 0; i < token.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(token[i]);
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      shown += static_cast<char>(c);
    } else {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\x%02X", c);
      shown += buffer;
    }
  }
  if (token.size() > kShown) shown += "...";
  return shown;
}

}  // namespace sela_tool
