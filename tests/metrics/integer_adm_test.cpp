// integer_adm's row kernels: every tier against the scalar ones, bit for bit, with guard samples
// (its libvmaf logs: logs_test; its requests: requests_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "metrics/integer_adm/adm.h"
#include "tests/frames.h"

namespace vq {
namespace {

// Runs `check(ref, k, rng)` with the scalar kernels and every tier's in turn, its random numbers
// seeded from the run's seed plus `seed`.
template <class Check>
void each_tier(uint32_t seed, Check check) {
  const adm::Kernels ref = adm::scalar_kernels();
  std::mt19937 rng(test::base_seed() + seed);
  for (const auto& [tier, flags] : test::tiers()) {
    SCOPED_TRACE(tier);
    check(ref, adm::kernels_for(flags), rng);
  }
}

// Every tier's row kernels against the scalar ones: random widths (odd ones too), every depth,
// samples at the extremes, and guard samples past each output row that must stay untouched.
TEST(IntegerAdm, KernelTiersEqualScalar) {
  each_tier(0, [](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 300; ++iter) {
      const int w = 5 + int(rng() % 97);  // every scale has five samples or more
      const int depth = 8 + int(rng() % 8);
      constexpr int kGuard = 20;
      std::vector<uint8_t> s8(size_t(4 * w));
      std::vector<uint16_t> s16(size_t(4 * w));
      const bool extreme = iter % 5 == 0;
      for (size_t i = 0; i < s8.size(); ++i) {
        s8[i] = uint8_t(extreme ? (rng() & 1) * 255 : rng());
        s16[i] = uint16_t(extreme ? (rng() & 1) * ((1 << depth) - 1) : rng() % (1u << depth));
      }
      const uint8_t* r8[4];
      const uint16_t* r16[4];
      for (int j = 0; j < 4; ++j) {  // rows in any order, as the mirrored taps give them
        const int row = int(rng() % 4);
        r8[j] = s8.data() + row * w;
        r16[j] = s16.data() + row * w;
      }
      std::vector<int16_t> lo_a(size_t(w + kGuard), 77), hi_a(lo_a), lo_b(lo_a), hi_b(lo_a);
      ref.dwt_v8(r8, w, lo_a.data(), hi_a.data());
      k.dwt_v8(r8, w, lo_b.data(), hi_b.data());
      ASSERT_EQ(lo_a, lo_b) << "dwt_v8 w=" << w;
      ASSERT_EQ(hi_a, hi_b) << "dwt_v8 w=" << w;
      ref.dwt_v16(r16, w, depth, lo_a.data(), hi_a.data());
      k.dwt_v16(r16, w, depth, lo_b.data(), hi_b.data());
      ASSERT_EQ(lo_a, lo_b) << "dwt_v16 w=" << w << " depth=" << depth;
      ASSERT_EQ(hi_a, hi_b) << "dwt_v16 w=" << w << " depth=" << depth;
      const size_t hw = size_t(w + 1) / 2;
      std::vector<int16_t> out_a(4 * (hw + kGuard), 55), out_b(out_a);
      auto band = [&](std::vector<int16_t>& o, int b) {
        return o.data() + size_t(b) * (hw + kGuard);
      };
      ref.dwt_h16(lo_a.data(), hi_a.data(), w, band(out_a, 0), band(out_a, 1), band(out_a, 2),
                  band(out_a, 3));
      k.dwt_h16(lo_a.data(), hi_a.data(), w, band(out_b, 0), band(out_b, 1), band(out_b, 2),
                band(out_b, 3));
      ASSERT_EQ(out_a, out_b) << "dwt_h16 w=" << w;
    }
  });
}

// The masking row kernel against the scalar one: random widths and column ranges, masked
// coefficients over the whole 16-bit range (extremes included), the largest rings whose shifted
// thresholds stay within 32 bits, every shift in use.
TEST(IntegerAdm, MaskRowTiersEqualScalar) {
  each_tier(7, [](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 300; ++iter) {
      const int w = 3 + int(rng() % 120);
      const bool extreme = iter % 4 == 0;
      std::vector<uint32_t> col(static_cast<size_t>(w)), sm(col);
      std::vector<int16_t> x[3], src[3];
      for (size_t i = 0; i < col.size(); ++i) {
        col[i] = extreme ? 100000 - uint32_t(rng() % 4) : uint32_t(rng() % 100000);
        sm[i] = uint32_t(rng() % 50000);
      }
      adm::MaskRow16 m{};
      m.col = col.data();
      m.sm = sm.data();
      for (int t = 0; t < 3; ++t) {
        x[t].resize(size_t(w));
        src[t].resize(size_t(w));
        for (int i = 0; i < w; ++i) {
          const uint32_t r = rng();
          x[t][size_t(i)] = int16_t(extreme && r % 3 == 0 ? (r & 1 ? 15000 : -15000)
                                                          : int32_t(r % 30001) - 15000);
          // Full-range coefficients only in the short extreme rows: their cubes reach 2^62, and
          // a row's 64-bit sum of them must not overflow.
          src[t][size_t(i)] = extreme ? (r % 5 == 0 ? int16_t(-32768) : int16_t(rng() >> 8))
                                      : int16_t(int32_t(rng() % 8191) - 4095);
        }
        m.x[t] = x[t].data();
        m.src[t] = src[t].data();
        m.rf[t] = uint16_t(iter % 2 ? (t == 2 ? 49417 : 36453) : rng());
        m.sh_sub[t] = t == 2 ? 12 : 10;
        m.sh_sq[t] = t == 2 ? 30 : 29;
        m.add_sq[t] = int64_t(1) << (m.sh_sq[t] - 1);
        m.sh_cub[t] = uint32_t(extreme ? 3 + rng() % 5 : rng() % 8);
        m.add_cub[t] = m.sh_cub[t] ? int64_t(1) << (m.sh_cub[t] - 1) : 0;
      }
      const int j0 = 1 + int(rng() % uint32_t(w - 2));
      const int j1 = j0 + int(rng() % uint32_t(extreme ? std::min(w - j0, 9) : w - j0));
      int64_t want[3] = {5, 6, 7}, got[3] = {5, 6, 7};
      EXPECT_EQ(ref.mask_row16(m, j0, j1, want), j1);
      const int left = k.mask_row16(m, j0, j1, got);
      ASSERT_GE(left, j0);
      ASSERT_LE(left, j1);
      ref.mask_row16(m, left, j1, got);
      for (int t = 0; t < 3; ++t)
        EXPECT_EQ(got[t], want[t]) << "w=" << w << " columns " << j0 << ".." << j1 << " t=" << t;
    }
  });
}

// A decoupling row (of int16 or int32 coefficients) over `ref` and `dis` at a gain limit, its
// outputs (r and a per band) in `out`, each `w` samples of `fill`.
template <class Row, class T>
Row decouple_row(std::vector<T> (&ref)[3], std::vector<T> (&dis)[3], std::vector<T> (&out)[6],
                 size_t w, T fill, double gain_limit) {
  Row r{};
  r.gain_limit = gain_limit;
  r.cos1_sq = float(std::cos(3.14159265358979 / 180) * std::cos(3.14159265358979 / 180));
  if constexpr (std::is_same_v<Row, adm::DecoupleRow16>) {
    static const std::vector<int32_t> recip = [] {
      std::vector<int32_t> v(32769, 0);
      for (int i = 1; i <= 32768; ++i)
        v[size_t(i)] = 1073741824 / i;
      return v;
    }();
    r.recip = recip.data();
  }
  for (int t = 0; t < 3; ++t) {
    r.ref[t] = ref[t].data();
    r.dis[t] = dis[t].data();
    out[2 * t].assign(w, fill);
    out[2 * t + 1].assign(w, fill);
    r.r[t] = out[2 * t].data();
    r.a[t] = out[2 * t + 1].data();
  }
  return r;
}

// The decoupling row kernel against the scalar one: distorted rows unrelated to the reference,
// near it (so that the angle test passes and the gain limit applies) and made of the extreme
// coefficients (-32768 whose squares wrap 32 bits, zeros, ones); guard samples past the
// columns asked for must stay untouched.
TEST(IntegerAdm, DecoupleTiersEqualScalar) {
  const int16_t kEdge[] = {-32768, -32767, -16384, -2, -1, 0, 1, 2, 16384, 32766, 32767};
  each_tier(11, [&](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 400; ++iter) {
      const int w = 1 + int(rng() % 90);
      const int kind = iter % 4;  // unrelated, near, extreme, small
      std::vector<int16_t> o[3], d[3];
      for (int t = 0; t < 3; ++t) {
        o[t].resize(size_t(w));
        d[t].resize(size_t(w));
        for (size_t i = 0; i < size_t(w); ++i) {
          const auto edge = [&] { return kEdge[rng() % std::size(kEdge)]; };
          switch (kind) {
            case 0:
              o[t][i] = int16_t(rng());
              d[t][i] = int16_t(rng());
              break;
            case 1:
              o[t][i] = int16_t(rng());
              d[t][i] = int16_t(
                  std::clamp(int32_t(o[t][i]) * int32_t(rng() % 5) / 2 + int32_t(rng() % 9) - 4,
                             -32768, 32767));
              break;
            case 2:
              o[t][i] = edge();
              d[t][i] = rng() % 2 ? edge() : o[t][i];
              break;
            default:
              o[t][i] = int16_t(int32_t(rng() % 41) - 20);
              d[t][i] = int16_t(int32_t(rng() % 41) - 20);
          }
        }
      }
      constexpr int16_t kGuard = 1234;
      std::vector<int16_t> out_a[6], out_b[6];
      const double gains[] = {1.0, 100.0, 1.37};
      const double gain = gains[rng() % 3];
      const auto ra = decouple_row<adm::DecoupleRow16>(o, d, out_a, size_t(w), kGuard, gain);
      auto rb = decouple_row<adm::DecoupleRow16>(o, d, out_b, size_t(w), kGuard, gain);
      const int j0 = int(rng() % uint32_t(w));
      const int j1 = j0 + int(rng() % uint32_t(w - j0 + 1));
      EXPECT_EQ(ref.decouple16(ra, j0, j1), j1);
      const int left = k.decouple16(rb, j0, j1);
      ASSERT_GE(left, j0);
      ASSERT_LE(left, j1);
      ref.decouple16(rb, left, j1);
      for (int b = 0; b < 6; ++b)
        ASSERT_EQ(out_a[b], out_b[b])
            << "w=" << w << " columns " << j0 << ".." << j1 << " kind=" << kind << " output " << b;
    }
  });
}

// The decoupling divides by every reference coefficient: one row holding each int16 value once
// (in every orientation, shifted), against random distorted ones, equals the scalar kernel's.
TEST(IntegerAdm, DecoupleTiersEqualScalarForEveryDivisor) {
  std::mt19937 rng(test::base_seed() + 37);
  constexpr int w = 65536;
  std::vector<int16_t> o[3], d[3];
  for (int t = 0; t < 3; ++t) {
    o[t].resize(w);
    d[t].resize(w);
    for (int i = 0; i < w; ++i) {
      o[t][size_t(i)] = int16_t((i + 101 * t) % w - 32768);
      d[t][size_t(i)] = int16_t(rng());
    }
  }
  each_tier(37, [&](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937&) {
    std::vector<int16_t> out_a[6], out_b[6];
    auto ra = decouple_row<adm::DecoupleRow16>(o, d, out_a, w, int16_t(0), 100.0);
    auto rb = decouple_row<adm::DecoupleRow16>(o, d, out_b, w, int16_t(0), 100.0);
    ref.decouple16(ra, 0, w);
    ref.decouple16(rb, k.decouple16(rb, 0, w), w);
    for (int b = 0; b < 6; ++b)
      ASSERT_EQ(out_a[b], out_b[b]) << "output " << b;
  });
}

// Scales 1..3's decoupling kernel against the scalar one: coefficients of every size up to
// 2^31 (whose products reach 2^62 and round to float from above 2^53; divisors rounded to 15
// bits past 2^15), distorted ones near the reference (the gain limit applies), the edges of
// those ranges, and guard samples past the columns asked for.
TEST(IntegerAdm, Decouple32TiersEqualScalar) {
  const int32_t kEdge[] = {
      -(1 << 26), -(1 << 26) + 1, -65536, -32769, -32768, -32767,        -1,      0,
      1,          32767,          32768,  32769,  65535,  (1 << 26) - 1, 1 << 26, (1 << 30) + 7};
  each_tier(41, [&](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 400; ++iter) {
      const int w = 1 + int(rng() % 90);
      const int kind = iter % 4;  // any size, near, edges, below 2^16
      const auto any = [&](int bits) {
        const int32_t v = int32_t(rng() & ((1u << bits) - 1));
        return rng() % 2 ? v : -v;
      };
      std::vector<int32_t> o[3], d[3], out_a[6], out_b[6];
      for (int t = 0; t < 3; ++t) {
        o[t].resize(size_t(w));
        d[t].resize(size_t(w));
        for (size_t i = 0; i < size_t(w); ++i) {
          const int bits = 1 + int(rng() % (kind == 3 ? 16 : 31));
          o[t][i] = kind == 2 ? kEdge[rng() % std::size(kEdge)] : any(bits);
          d[t][i] = kind == 1   ? int32_t(int64_t(o[t][i]) * int64_t(rng() % 5) / 2 + any(4))
                    : kind == 2 ? (rng() % 2 ? kEdge[rng() % std::size(kEdge)] : o[t][i])
                                : any(bits);
        }
      }
      const double gains[] = {1.0, 100.0, 1.37};
      const double gain = gains[rng() % 3];
      const auto ra = decouple_row<adm::DecoupleRow32>(o, d, out_a, size_t(w), 1234, gain);
      auto rb = decouple_row<adm::DecoupleRow32>(o, d, out_b, size_t(w), 1234, gain);
      const int j0 = int(rng() % uint32_t(w));
      const int j1 = j0 + int(rng() % uint32_t(w - j0 + 1));
      EXPECT_EQ(ref.decouple32(ra, j0, j1), j1);
      const int left = k.decouple32(rb, j0, j1);
      ASSERT_GE(left, j0);
      ASSERT_LE(left, j1);
      ref.decouple32(rb, left, j1);
      for (int b = 0; b < 6; ++b)
        ASSERT_EQ(out_a[b], out_b[b])
            << "w=" << w << " columns " << j0 << ".." << j1 << " kind=" << kind << " output " << b;
    }
  });
}

// The int32 DWT kernels of scales 1..3 against the scalar ones: random widths, every rounding
// the scales use, samples over the whole int32 range (whose 64-bit sums the kept 32 bits wrap)
// and guard samples past each output row; and scale 1's vertical taps of int16 rows, odd ones
// and rows shorter than a step too, at the int16 extremes whose sums come nearest 2^31.
TEST(IntegerAdm, Dwt32TiersEqualScalar) {
  const struct {
    int64_t add;
    int shift;
  } kRound[] = {{0, 0}, {32768, 16}, {16384, 15}, {int64_t(1) << 31, 32}};
  each_tier(13, [&](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 300; ++iter) {
      const int w = 5 + int(rng() % 80);
      const auto [add, shift] = kRound[rng() % std::size(kRound)];
      constexpr int kGuard = 12;
      std::vector<int32_t> src(size_t(4 * w));
      for (int32_t& x : src) {
        switch (iter % 3) {
          case 0:
            x = int32_t(rng());
            break;
          case 1:
            x = rng() % 2 ? INT32_MIN : INT32_MAX;
            break;
          default:
            x = int32_t(rng() % 65536) - 32768;
        }
      }
      const int32_t* rows[4];
      for (auto& r : rows)
        r = src.data() + (rng() % 4) * size_t(w);
      std::vector<int32_t> lo_a(size_t(w + kGuard), 77), hi_a(lo_a), lo_b(lo_a), hi_b(lo_a);
      ref.dwt_v32(rows, w, add, shift, lo_a.data(), hi_a.data());
      k.dwt_v32(rows, w, add, shift, lo_b.data(), hi_b.data());
      ASSERT_EQ(lo_a, lo_b) << "dwt_v32 w=" << w << " shift=" << shift;
      ASSERT_EQ(hi_a, hi_b) << "dwt_v32 w=" << w << " shift=" << shift;
      const size_t hw = size_t(w + 1) / 2 + kGuard;
      std::vector<int32_t> out_a(4 * hw, 55), out_b(out_a);
      ref.dwt_h32(src.data(), src.data() + w, w, add, shift, out_a.data(), out_a.data() + hw,
                  out_a.data() + 2 * hw, out_a.data() + 3 * hw);
      k.dwt_h32(src.data(), src.data() + w, w, add, shift, out_b.data(), out_b.data() + hw,
                out_b.data() + 2 * hw, out_b.data() + 3 * hw);
      ASSERT_EQ(out_a, out_b) << "dwt_h32 w=" << w << " shift=" << shift;

      const int n = 1 + int(rng() % 90);
      std::vector<int16_t> s16(size_t(4 * n));
      for (int16_t& x : s16)
        x = iter % 3 == 0 ? (rng() % 2 ? int16_t(-32768) : int16_t(32767)) : int16_t(rng());
      const int16_t* r16[4];
      for (auto& r : r16)
        r = s16.data() + (rng() % 4) * size_t(n);
      std::vector<int32_t> lo_c(size_t(n + kGuard), 77), hi_c(lo_c), lo_d(lo_c), hi_d(lo_c);
      ref.dwt_v16w(r16, n, lo_c.data(), hi_c.data());
      k.dwt_v16w(r16, n, lo_d.data(), hi_d.data());
      ASSERT_EQ(lo_c, lo_d) << "dwt_v16w w=" << n;
      ASSERT_EQ(hi_c, hi_d) << "dwt_v16w w=" << n;
    }
  });
}

// The CSF weighting kernels against the scalar ones: random lengths, every factor and rounding
// in use and random ones (factors past 2^31 at the int32 scales), coefficients at the extremes
// whose weighted values wrap 16 or 32 bits, guard samples past the row.
TEST(IntegerAdm, CsfTiersEqualScalar) {
  const struct {
    int32_t add;
    int shift;
  } kRound[] = {{16384, 15}, {65535, 17}};
  each_tier(17, [&](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 300; ++iter) {
      const int n = int(rng() % 70);
      const bool extreme = iter % 3 == 0;
      constexpr int kGuard = 9;
      std::vector<int16_t> s16(static_cast<size_t>(n));
      std::vector<int32_t> s32(static_cast<size_t>(n));
      for (int i = 0; i < n; ++i) {
        const uint32_t r = rng();
        s16[size_t(i)] = extreme ? (r % 2 ? int16_t(-32768) : int16_t(32767)) : int16_t(r);
        s32[size_t(i)] = extreme ? (r % 3 == 0   ? INT32_MIN
                                    : r % 3 == 1 ? INT32_MAX
                                                 : 0)
                                 : int32_t(rng()) >> (rng() % 16);
      }
      const auto [add, shift] = kRound[rng() % 2];
      const uint16_t rf16 = iter % 2 ? uint16_t(rng()) : (shift == 17 ? 49417 : 36453);
      std::vector<int16_t> xa(size_t(n + kGuard), 3), fa(xa), xb(xa), fb(xa);
      ref.csf16(s16.data(), n, rf16, add, shift, xa.data(), fa.data());
      k.csf16(s16.data(), n, rf16, add, shift, xb.data(), fb.data());
      ASSERT_EQ(xa, xb) << "csf16 n=" << n << " rf=" << rf16;
      ASSERT_EQ(fa, fb) << "csf16 n=" << n << " rf=" << rf16;
      const uint32_t rf32 = iter % 2 ? uint32_t(rng()) : uint32_t(rng() >> 1);
      std::vector<int32_t> xc(size_t(n + kGuard), 3), fc(xc), xd(xc), fd(xc);
      ref.csf32(s32.data(), n, rf32, xc.data(), fc.data());
      k.csf32(s32.data(), n, rf32, xd.data(), fd.data());
      ASSERT_EQ(xc, xd) << "csf32 n=" << n << " rf=" << rf32;
      ASSERT_EQ(fc, fd) << "csf32 n=" << n << " rf=" << rf32;
    }
  });
}

// The masking row kernel of scales 1..3 against the scalar one: random widths and column ranges,
// coefficients over the whole int32 range in short rows (their cubes near 2^62 must not overflow
// the scalar row sum), factors past 2^31, rings that wrap 32 bits.
TEST(IntegerAdm, MaskRow32TiersEqualScalar) {
  each_tier(19, [](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 300; ++iter) {
      const int w = 3 + int(rng() % 120);
      const bool extreme = iter % 4 == 0;
      std::vector<uint32_t> col(static_cast<size_t>(w)), sm(col);
      std::vector<int32_t> x[3], src[3];
      for (size_t i = 0; i < col.size(); ++i) {
        col[i] = extreme ? uint32_t(rng()) : uint32_t(rng() % 3000000);
        sm[i] = extreme ? uint32_t(rng()) : uint32_t(rng() % 1000000);
      }
      adm::MaskRow32 m{};
      m.col = col.data();
      m.sm = sm.data();
      for (int t = 0; t < 3; ++t) {
        x[t].resize(size_t(w));
        src[t].resize(size_t(w));
        for (int i = 0; i < w; ++i) {
          const uint32_t r = rng();
          x[t][size_t(i)] =
              extreme ? (r % 5 == 0 ? INT32_MIN : int32_t(rng())) : int32_t(r % 2000001) - 1000000;
          src[t][size_t(i)] = extreme ? (r % 7 == 0 ? INT32_MIN : int32_t(rng()))
                                      : int32_t(rng() % 4000001) - 2000000;
        }
        m.x[t] = x[t].data();
        m.src[t] = src[t].data();
        m.rf[t] = iter % 2 ? uint32_t(rng()) : uint32_t(rng() >> 2);
      }
      m.sh_sq = 30;
      m.add_sq = int64_t(1) << 29;
      m.sh_cub = uint32_t(extreme ? 4 + rng() % 5 : rng() % 11);
      m.add_cub = m.sh_cub ? int64_t(1) << (m.sh_cub - 1) : 0;
      const int j0 = 1 + int(rng() % uint32_t(w - 2));
      const int j1 = j0 + int(rng() % uint32_t(extreme ? std::min(w - j0, 9) : w - j0));
      int64_t want[3] = {5, 6, 7}, got[3] = {5, 6, 7};
      EXPECT_EQ(ref.mask_row32(m, j0, j1, want), j1);
      const int left = k.mask_row32(m, j0, j1, got);
      ASSERT_GE(left, j0);
      ASSERT_LE(left, j1);
      ref.mask_row32(m, left, j1, got);
      for (int t = 0; t < 3; ++t)
        EXPECT_EQ(got[t], want[t]) << "w=" << w << " columns " << j0 << ".." << j1 << " t=" << t;
    }
  });
}

// The denominator's cube sums against the scalar ones, over random lengths: scale 0's of int16
// coefficients at the extremes (|-32768|^3 is 2^45) and random ones; scales 1..3's of magnitudes
// up to 2^31 (INT32_MIN among them) whose rounded squares pass 32 bits, every shift the scales
// use and random cube shifts.
TEST(IntegerAdm, CubeSumTiersEqualScalar) {
  each_tier(23, [](const adm::Kernels& ref, const adm::Kernels& k, std::mt19937& rng) {
    for (int iter = 0; iter < 300; ++iter) {
      std::vector<int16_t> row16(rng() % 200);
      for (int16_t& c : row16)
        c = iter % 3 == 0 ? (rng() % 2 ? int16_t(-32768) : int16_t(32767)) : int16_t(rng());
      EXPECT_EQ(k.cube_sum16(row16.data(), int(row16.size())),
                ref.cube_sum16(row16.data(), int(row16.size())))
          << "n=" << row16.size();
      std::vector<int32_t> row(rng() % 120);
      for (int32_t& c : row)
        c = iter % 3 == 0   ? (rng() % 2 ? INT32_MIN : INT32_MAX)
            : iter % 3 == 1 ? int32_t(rng())
                            : int32_t(rng()) >> (rng() % 24);
      const int sh_sq = 30 + int(rng() % 2);
      const int sh_cub = int(rng() % 12);
      const uint64_t add_sq = uint64_t(1) << sh_sq;
      const uint64_t add_cub = sh_cub ? uint64_t(1) << (sh_cub - 1) : 0;
      const int n = int(row.size());
      EXPECT_EQ(k.cube_sum32(row.data(), n, sh_sq, add_sq, sh_cub, add_cub),
                ref.cube_sum32(row.data(), n, sh_sq, add_sq, sh_cub, add_cub))
          << "n=" << n << " sh_sq=" << sh_sq << " sh_cub=" << sh_cub;
    }
  });
}

}  // namespace
}  // namespace vq
