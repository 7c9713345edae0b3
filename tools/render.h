// Reports as text for people (a table and a verdict) and as JSON for programs.
#ifndef SELA_TOOL_RENDER_H
#define SELA_TOOL_RENDER_H

#include <string>

#include "grades.h"

namespace sela_tool {

// The shortest decimal that reads back to the same double ("0.1", "1e+100", "-inf", "nan").
std::string shortest(double value);
// The hexadecimal floating form ("0x1.999999999999ap-4").
std::string hexadecimal(double value);

// JSON texts: a string of arbitrary bytes (bytes that are not UTF-8 as lone surrogates
// \udcXX, which Python's surrogateescape reads back), and a number (JSON has no
// infinities or NaN: those are the strings "inf", "-inf", "nan").
std::string json_string(const std::string &text);
std::string json_number(double value);

std::string render_text(const Report &report);
std::string render_json(const Report &report);

}  // namespace sela_tool

#endif
