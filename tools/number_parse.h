// Text to double: the one conversion every text reader uses.
#ifndef SELA_TOOL_NUMBER_PARSE_H
#define SELA_TOOL_NUMBER_PARSE_H

#include <string>
#include <string_view>

namespace sela_tool {

// Reads a whole token as one double, correctly rounded to nearest (ties to even):
// decimal ("-1.5e-3", ".5", "5."), hexadecimal floating ("0x1.8p-3", "-0X1P+4", exponent
// optional), "inf"/"infinity"/"nan" in any case, each with an optional sign. Values
// beyond the range round to an infinity, values below half the smallest subnormal to a
// signed zero. Returns false, leaving `out` alone, unless the whole token is one number.
bool parse_number(std::string_view token, double &out);

// The token as it may be shown in a message: at most 40 bytes, bytes that are not
// printable ASCII written as \xNN.
std::string printable_token(std::string_view token);

}  // namespace sela_tool

#endif
