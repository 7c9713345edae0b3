// The running exact sums on fuzzed series. sela_cumsum_exact must give, element by
// element, sela_sum_exact of each prefix (and the GMP oracle's rounding for finite
// series), in place the same; sela_accumulator_cumsum over the series cut into chunks
// (cuts taken from the data's own bits), each continued from the record the one before
// left, must give the same bits again, and the final record must round to the last sum.
// The decoded words are repeated up to four times, so a series reaches past the running
// pair's spans of 512 elements and meets its own values again (exact repeats, signs that
// cancel).
#include <algorithm>

#include "fuzz_input.h"
#include "oracle.h"
#include "sela.h"

namespace {

using fuzz::expectBits;

std::vector<double> series(const uint8_t* data, size_t size) {
  const std::vector<double> x = fuzz::decode(data, size);
  const unsigned copies = size > 0 ? 1 + data[0] / 6 % 4 : 1;
  std::vector<double> y;
  for (unsigned k = 0; k < copies; ++k) {
    // Odd copies reversed and negated: the running value returns toward zero.
    if (k % 2 == 0) {
      y.insert(y.end(), x.begin(), x.end());
    } else {
      for (auto it = x.rbegin(); it != x.rend(); ++it) y.push_back(-*it);
    }
  }
  return y;
}

// A cut after element i when the low bits of its pattern say so: about one in eight,
// runs of cuts included.
bool cutAfter(double v) { return (std::bit_cast<uint64_t>(v) >> 3) % 8 == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<double> y = series(data, size);
  const uint64_t n = y.size();
  std::vector<double> out(n, -1234.5);
  sela_cumsum_exact(y.data(), out.data(), n);
  // Every prefix through a record that takes one element at a time, and sela_sum_exact
  // of the prefixes (all of them for short series; for long ones every seventh and the
  // last, which keeps a run fast enough to fuzz).
  sela_accumulator step;
  sela_accumulator_init(&step);
  for (uint64_t i = 0; i < n; ++i) {
    if (sela_accumulator_add(&step, &y[i], 1) != 0) fuzz::fail("a valid record refused", 0.0, 0.0);
    expectBits("cumsum_exact[i] is the record's rounding after x[i]", sela_accumulator_round(&step), out[i]);
    if (n <= 512 || i % 7 == 0 || i + 16 >= n)
      expectBits("cumsum_exact[i] is sum_exact of the prefix", sela_sum_exact(y.data(), i + 1), out[i]);
  }
  if (fuzz::allFinite(y)) {
    const std::vector<double> oracle = oracle::exactRunningSums(y.data(), static_cast<int64_t>(n));
    for (uint64_t i = 0; i < n; ++i) expectBits("cumsum_exact[i] is the oracle's", oracle[i], out[i]);
  }

  std::vector<double> inPlace = y;
  sela_cumsum_exact(inPlace.data(), inPlace.data(), n);
  for (uint64_t i = 0; i < n; ++i) expectBits("cumsum_exact in place", out[i], inPlace[i]);

  sela_accumulator acc;
  sela_accumulator_init(&acc);
  std::vector<double> chunked(n, -1234.5);
  std::vector<double> chunkedInPlace = y;
  sela_accumulator accInPlace = acc;
  for (uint64_t from = 0; from < n;) {
    uint64_t to = from + 1;
    while (to < n && !cutAfter(y[to - 1])) ++to;
    if (sela_accumulator_cumsum(&acc, y.data() + from, chunked.data() + from, to - from) != 0 ||
        sela_accumulator_cumsum(&accInPlace, chunkedInPlace.data() + from, chunkedInPlace.data() + from, to - from) != 0)
      fuzz::fail("a valid record refused", 0.0, 0.0);
    from = to;
  }
  for (uint64_t i = 0; i < n; ++i) {
    expectBits("accumulator_cumsum over chunks", out[i], chunked[i]);
    expectBits("accumulator_cumsum over chunks in place", out[i], chunkedInPlace[i]);
  }
  const double total = n > 0 ? out[n - 1] : 0.0;
  expectBits("the record ends holding the whole series", total, sela_accumulator_round(&acc));
  expectBits("the in-place record too", total, sela_accumulator_round(&accInPlace));
  return 0;
}
