// Test helpers for the every-tier-against-scalar kernel tests: seeded rounds run at every tier on
// the same input, random samples of a depth, the size sweep, and guarded outputs compared bit for
// bit.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <random>
#include <type_traits>
#include <vector>

#include "tests/frames.h"

namespace vq::test {

// A generator seeded from the run's seed, a test's own offset and the round; a failure names all
// three, so VQ_TEST_SEED replays it.
struct Rng : std::mt19937 {
  Rng(uint32_t offset, uint32_t round) {
    std::seed_seq s{base_seed(), offset, round};
    seed(s);
  }
  uint32_t below(uint32_t n) { return uint32_t((*this)()) % n; }
  // A sample of `depth` bits: one in `share` each 0 and the peak, the rest uniform.
  uint32_t sample(int depth, uint32_t share = 16) {
    const uint32_t peak = uint32_t((uint64_t(1) << depth) - 1), r = below(2 * share);
    return r == 0 ? 0 : r == 1 ? peak : uint32_t((*this)()) & peak;
  }
  template <class T = uint16_t>
  std::vector<T> samples(size_t n, int depth, uint32_t share = 16) {
    std::vector<T> v(n);
    for (T& x : v)
      x = T(sample(depth, share));
    return v;
  }
  // `taps` row pointers into `n` rows of `w` samples at `block`, repeating as mirrored taps do.
  template <class T>
  void rows(const T* block, int w, int n, int taps, const T** out) {
    for (int t = 0; t < taps; ++t)
      out[t] = block + size_t(below(uint32_t(n))) * size_t(w);
  }
};

// The size of round `round`: 1..5, then each vector width (4, 8, 16, 32 and 64 samples) and its
// neighbours, then random in lo..hi; sizes outside lo..hi are moved into it.
inline int sweep(Rng& rng, int round, int lo, int hi) {
  static const int kSteps[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65};
  const int n = round < int(std::size(kSteps)) ? kSteps[round] : lo + int(rng.below(hi - lo + 1));
  return n < lo ? lo : n > hi ? hi : n;
}

// Runs `check(kernels, rng, round)` for `rounds` rounds, `kernels` being {scalar, tier} for each
// tier this processor has past the scalar one, every tier on the same input; stops at the first
// fatal failure.
template <class Make, class Check>
void every_tier(uint32_t offset, int rounds, Make make, Check check) {
  for (int round = 0; round < rounds; ++round)
    for (const auto& [tier, flags] : tiers()) {
      if (!flags) continue;
      SCOPED_TRACE(testing::Message() << tier << " round " << round << " of test seed " << offset
                                      << ", VQ_TEST_SEED " << base_seed());
      const decltype(make(0)) kernels[2] = {make(0), make(flags)};
      Rng rng(offset, uint32_t(round));
      check(kernels, rng, round);
      if (testing::Test::HasFatalFailure()) return;
    }
}

// Two outputs of n values, the scalar kernel's at [0] and the tier's at [1], each between guard
// bands of `margin` sentinels.
template <class T>
struct Twin {
  size_t n, margin;
  T sentinel;
  std::vector<T> all[2];
  Twin(size_t n_, T sentinel_, size_t margin_ = 16) : n(n_), margin(margin_), sentinel(sentinel_) {
    all[0].assign(n + 2 * margin, sentinel);
    all[1] = all[0];
  }
  T* operator[](int i) { return all[i].data() + margin; }
};

template <class T>
bool same_bits(const T& a, const T& b) {
  return std::memcmp(&a, &b, sizeof(T)) == 0;
}

// The first index (from the start of the outputs) where the tier differs from the scalar kernel,
// or where either wrote into a guard band.
template <class T>
testing::AssertionResult first_difference(const Twin<T>& t) {
  for (size_t i = 0; i < t.all[0].size(); ++i) {
    const ptrdiff_t at = ptrdiff_t(i) - ptrdiff_t(t.margin);
    const bool guard = at < 0 || at >= ptrdiff_t(t.n);
    for (int k = 0; k < 2 && guard; ++k)
      if (!same_bits(t.all[k][i], t.sentinel))
        return testing::AssertionFailure() << (k ? "tier" : "scalar") << " wrote guard " << at;
    if (!same_bits(t.all[0][i], t.all[1][i]))
      return testing::AssertionFailure()
             << "first difference at " << at << " of " << t.n << ": scalar " << +t.all[0][i]
             << ", tier " << +t.all[1][i];
  }
  return testing::AssertionSuccess();
}

// Every output alike, or the first that is not, by its place among `outs`.
template <class... T>
testing::AssertionResult same(const Twin<T>&... outs) {
  int i = 0;
  testing::AssertionResult r = testing::AssertionSuccess();
  ((r ? (r = first_difference(outs), ++i) : 0), ...);
  if (r) return r;
  return testing::AssertionFailure() << "output " << i - 1 << ": " << r.message();
}

template <class T>
testing::AssertionResult same(const std::vector<Twin<T>>& outs) {
  for (size_t i = 0; i < outs.size(); ++i)
    if (testing::AssertionResult r = first_difference(outs[i]); !r)
      return testing::AssertionFailure() << "output " << i << ": " << r.message();
  return testing::AssertionSuccess();
}

// Values (or plain records) the scalar kernel and the tier returned, compared bit for bit.
template <class T>
testing::AssertionResult same(const T (&v)[2]) {
  if (same_bits(v[0], v[1])) return testing::AssertionSuccess();
  if constexpr (std::is_arithmetic_v<T>)
    return testing::AssertionFailure() << "scalar " << +v[0] << ", tier " << +v[1];
  return testing::AssertionFailure() << "results differ";
}

}  // namespace vq::test
