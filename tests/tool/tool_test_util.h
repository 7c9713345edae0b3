// Shared helpers of the tool's tests: scratch files, .npy images written by hand, random
// data, and running the tool as a process.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace tool_test {

// A fresh directory under TMPDIR (or /tmp), removed with its files at the end.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string path(const std::string &name) const { return dir_ + "/" + name; }
  std::string write(const std::string &name, const std::string &bytes) const;

 private:
  std::string dir_;
};

// A version 1.0 .npy image; `descr` like "<f8", shape "(5,)" or "(4, 3)".
std::string npy_image(const std::string &descr, bool fortran, const std::string &shape,
                      const std::string &data);
// Element bytes in the given width and byte order.
std::string element_bytes(const std::vector<double> &values, unsigned size, bool big_endian);

// Wide-range values with heavy cancellation and some subnormals, from a fixed seed.
std::vector<double> hard_values(std::size_t n, std::uint64_t seed);

// Shortest round-trip decimal of each value, joined by `separator`.
std::string as_text(const std::vector<double> &values, const std::string &separator);

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

enum class Stdin { null_device, closed, file };

// Runs the tool with `args`; standard input from /dev/null, closed, or `stdin_file`.
// `env` ("NAME=value") joins the tool's environment (under an emulator, the emulated
// program's, not the emulator's own).
Outcome run_tool(const std::vector<std::string> &args, Stdin mode = Stdin::null_device,
                 const std::string &stdin_file = "", const std::vector<std::string> &env = {});

// The environment that preloads `shim` (a library built with the tests) into the tool,
// with the shim's settings.
std::vector<std::string> preload(const std::string &shim, std::vector<std::string> settings);

inline bool same_bits(double a, double b) {
  return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b);
}

}  // namespace tool_test
