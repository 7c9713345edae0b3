#include "tool_test_util.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

namespace tool_test {

ScratchDir::ScratchDir() {
  const char *base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/sela_tool_XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  dir_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

std::string ScratchDir::write(const std::string &name, const std::string &bytes) const {
  const std::string file = path(name);
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

std::string npy_image(const std::string &descr, bool fortran, const std::string &shape,
                      const std::string &data) {
  std::string header = "{'descr': '" + descr + "', 'fortran_order': " +
                       (fortran ? "True" : "False") + ", 'shape': " + shape + ", }";
  // Padded with blanks and a line feed so the data start at a multiple of 64 bytes.
  while ((10 + header.size() + 1) % 64 != 0) header += ' ';
  header += '\n';
  std::string image("\x93NUMPY\x01\x00", 8);
  image += static_cast<char>(header.size() & 0xff);
  image += static_cast<char>(header.size() >> 8);
  return image + header + data;
}

std::string element_bytes(const std::vector<double> &values, unsigned size, bool big_endian) {
  std::string bytes;
  for (const double v : values) {
    const std::uint64_t bits = size == 8 ? std::bit_cast<std::uint64_t>(v)
                                         : std::bit_cast<std::uint32_t>(static_cast<float>(v));
    for (unsigned k = 0; k < size; ++k) {
      const unsigned shift = 8 * (big_endian ? size - 1 - k : k);
      bytes += static_cast<char>((bits >> shift) & 0xff);
    }
  }
  return bytes;
}

std::vector<double> hard_values(std::size_t n, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::uniform_real_distribution<double> mantissa(-1.0, 1.0);
  std::uniform_int_distribution<int> exponent(-60, 60);
  std::vector<double> x;
  for (std::size_t i = 0; i < n; ++i) {
    double v = std::ldexp(mantissa(random), exponent(random));
    if (i % 97 == 5) v = std::ldexp(mantissa(random), -1060);  // subnormal
    x.push_back(v);
  }
  // Cancellation: append the negatives of a prefix, rounded differently.
  for (std::size_t i = 0; i < n / 4; ++i) x[n - 1 - i] = -x[i] * (1.0 + 0x1p-40);
  return x;
}

std::string as_text(const std::vector<double> &values, const std::string &separator) {
  std::string text;
  char buffer[40];
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, values[i]).ptr;
    if (i > 0) text += separator;
    text.append(buffer, end);
  }
  return text;
}

namespace {
std::string slurp(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

std::vector<std::string> preload(const std::string &shim, std::vector<std::string> settings) {
  settings.push_back("LD_PRELOAD=" + shim);
  // A sanitized tool insists on its runtime coming first; the shim only forwards to it.
  const char *asan = std::getenv("ASAN_OPTIONS");
  settings.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? std::string(asan) + ":" : "") +
                     "verify_asan_link_order=0");
  return settings;
}

Outcome run_tool(const std::vector<std::string> &args, Stdin mode, const std::string &stdin_file,
                 const std::vector<std::string> &env) {
  ScratchDir dir;
  const std::string out_file = dir.path("out"), err_file = dir.path("err");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (mode == Stdin::closed) {
    posix_spawn_file_actions_addclose(&actions, 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, mode == Stdin::file ? stdin_file.c_str() : "/dev/null",
                                     O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // Under an emulated processor the tool runs on the same emulator as this test, so both
  // sides of a comparison pick the same kernel family.
  std::vector<std::string> all;
  std::istringstream emulator(SELA_TOOL_EMULATOR);
  for (std::string word; emulator >> word;) all.push_back(word);
  std::vector<std::string> environment;
  for (char **e = environ; *e != nullptr; ++e) environment.push_back(*e);
  for (const std::string &setting : env) {
    if (!all.empty()) {
      all.push_back("-E");  // qemu-user sets it for the emulated program only
      all.push_back(setting);
    } else {
      const std::string name = setting.substr(0, setting.find('=') + 1);
      std::erase_if(environment, [&](const std::string &e) { return e.rfind(name, 0) == 0; });
      environment.push_back(setting);
    }
  }
  all.push_back(SELA_TOOL_PATH);
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char *> argv, envp;
  for (std::string &arg : all) argv.push_back(arg.data());
  argv.push_back(nullptr);
  for (std::string &setting : environment) envp.push_back(setting.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  Outcome outcome;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data()) == 0) {
    int status = 0;
    waitpid(pid, &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  outcome.out = slurp(out_file);
  outcome.err = slurp(err_file);
  if (!all.empty() && all.front() != SELA_TOOL_PATH) {
    // The emulator's own warnings about processor features it cannot model are not the
    // tool's output.
    std::istringstream lines(outcome.err);
    std::string kept;
    for (std::string line; std::getline(lines, line);)
      if (line.rfind("qemu-", 0) != 0) kept += line + "\n";
    outcome.err = kept;
  }
  return outcome;
}

}  // namespace tool_test
