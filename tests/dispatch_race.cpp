// First calls racing through the kernel selection. Each round forks a fresh process (so
// the kernel table is empty), starts many threads that wait at a common start line and
// then make their first dot-product calls at the same moment, each thread beginning with
// a different export. Every result must equal, bit for bit, what a fresh process computes
// single-threaded. The parent process never calls the library itself.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "sela.h"

namespace {

struct Input {
  std::vector<double> x, y;
};

std::vector<Input> makeInputs() {
  std::mt19937_64 rng(61);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Input> in;
  for (size_t n : {3u, 9u, 1000u}) {
    Input a;
    for (size_t i = 0; i < n; ++i) a.x.push_back(u(rng)), a.y.push_back(u(rng));
    in.push_back(a);
  }
  // Cancelling pairs: the vector kernels decline and the scalar fallbacks run.
  Input c;
  for (int i = 0; i < 200; ++i) {
    const double big = std::ldexp(u(rng), 60);
    c.x.push_back(big), c.y.push_back(1.0);
    c.x.push_back(u(rng)), c.y.push_back(u(rng));
    c.x.push_back(-big), c.y.push_back(1.0);
  }
  in.push_back(c);
  // Overflow of both signs (exact fallback) and a NaN (naive fallback).
  Input o{std::vector<double>(40, 0.5), std::vector<double>(40, 2.0)};
  o.x[10] = 1e308, o.x[20] = -1e308, o.y[10] = o.y[20] = 10.0;
  in.push_back(o);
  Input q = in[2];
  q.x[500] = std::nan("");
  in.push_back(q);
  return in;
}

constexpr int kFunctions = 5;

double call(int f, const Input& in) {
  const double* x = in.x.data();
  const double* y = in.y.data();
  const uint64_t n = in.x.size();
  switch (f) {
    case 0: return sela_dot_naive(x, y, n);
    case 1: return sela_dot2(x, y, n);
    case 2: return sela_dot_k(x, y, n, 3);
    case 3: return sela_dot_k(x, y, n, 2);
    default: return sela_dot_k(x, y, n, 5);
  }
}

// All results in a fixed order: function-major.
std::vector<double> computeAll(const std::vector<Input>& in, int startFunction) {
  std::vector<double> r(static_cast<size_t>(kFunctions) * in.size());
  for (int k = 0; k < kFunctions; ++k) {
    const int f = (startFunction + k) % kFunctions;
    for (size_t i = 0; i < in.size(); ++i) r[static_cast<size_t>(f) * in.size() + i] = call(f, in[i]);
  }
  return r;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Runs body in a forked child and returns its exit status (-1 on failure to fork).
template <typename Body>
int inChild(Body body) {
  std::fflush(nullptr);
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) _exit(body());
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace

int main() {
  const std::vector<Input> inputs = makeInputs();
  const size_t count = static_cast<size_t>(kFunctions) * inputs.size();

  // The single-threaded reference, from a fresh process, passed back through a pipe.
  int fds[2];
  if (pipe(fds) != 0) return 2;
  const int refStatus = inChild([&] {
    const std::vector<double> r = computeAll(inputs, 0);
    const auto bytes = static_cast<ssize_t>(r.size() * sizeof(double));
    return write(fds[1], r.data(), r.size() * sizeof(double)) == bytes ? 0 : 1;
  });
  close(fds[1]);
  std::vector<double> reference(count);
  const auto want = static_cast<ssize_t>(count * sizeof(double));
  const ssize_t got = read(fds[0], reference.data(), count * sizeof(double));
  close(fds[0]);
  if (refStatus != 0 || got != want) {
    std::fprintf(stderr, "reference process failed\n");
    return 1;
  }

  constexpr int kRounds = 12;
  constexpr int kThreads = 12;
  for (int round = 0; round < kRounds; ++round) {
    const int status = inChild([&] {
      std::atomic<int> ready{0};
      std::atomic<bool> go{false};
      std::vector<std::vector<double>> results(kThreads);
      std::vector<std::thread> threads;
      for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
          ready.fetch_add(1);
          while (!go.load()) {
          }
          results[static_cast<size_t>(t)] = computeAll(inputs, t % kFunctions);
        });
      }
      while (ready.load() < kThreads) {
      }
      go.store(true);
      for (auto& th : threads) th.join();
      int bad = 0;
      for (int t = 0; t < kThreads; ++t) {
        if (!sameBits(reference, results[static_cast<size_t>(t)])) {
          std::fprintf(stderr, "round %d thread %d: results differ from the single-threaded ones\n", round, t);
          ++bad;
        }
      }
      // After the race the table is filled: single-threaded calls agree as well.
      if (!sameBits(reference, computeAll(inputs, 0))) ++bad;
      return bad == 0 ? 0 : 1;
    });
    if (status != 0) {
      std::fprintf(stderr, "round %d failed (status %d)\n", round, status);
      return 1;
    }
  }
  std::printf("%d rounds of %d racing threads agree with the single-threaded results\n", kRounds, kThreads);
  return 0;
}
