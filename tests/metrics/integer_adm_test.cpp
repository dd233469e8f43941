// integer_adm's row kernels: every tier against the scalar ones, bit for bit, with guard bands
// (its libvmaf logs: logs_test; its requests: requests_test).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <type_traits>
#include <vector>

#include "metrics/integer_adm/adm.h"
#include "tests/twin.h"

namespace vq {
namespace {

using K = adm::Kernels;
using test::Rng;
using test::Twin;

// A column-range kernel: the scalar one does j0..j1 whole; the tier may leave any columns from
// j0 on, which the scalar one then finishes into the tier's outputs. `call(kernels, output,
// from)` runs one.
template <class Call>
void ranged(const K (&k)[2], int j0, int j1, Call call) {
  EXPECT_EQ(call(k[0], 0, j0), j1);
  const int left = call(k[1], 1, j0);
  ASSERT_TRUE(left >= j0 && left <= j1) << "the tier left " << left << " of " << j0 << ".." << j1;
  call(k[0], 1, left);
}

// The four bands of a horizontal DWT of w samples, (w + 1) / 2 each.
template <class T>
std::vector<Twin<T>> bands(int w) {
  return std::vector<Twin<T>>(4, Twin<T>(size_t(w + 1) / 2, T(55)));
}

// Scale 0's DWT: every depth, extreme rows (only 0 and the peak), rows in any order as the
// mirrored taps give them.
TEST(IntegerAdm, DwtTiersEqualScalar) {
  test::every_tier(0, 300, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    const int w = test::sweep(rng, round, 5, 101), depth = 8 + int(rng.below(8));
    const uint32_t share = round % 5 ? 16 : 1;
    const auto s8 = rng.samples<uint8_t>(size_t(4 * w), 8, share);
    const auto s16 = rng.samples(size_t(4 * w), depth, share);
    const uint8_t* r8[4];
    const uint16_t* r16[4];
    rng.rows(s8.data(), w, 4, 4, r8);
    rng.rows(s16.data(), w, 4, 4, r16);
    Twin<int16_t> lo(size_t(w), 77), hi(lo), lo16(lo), hi16(lo);
    auto b = bands<int16_t>(w);
    for (int i : {0, 1}) {
      k[i].dwt_v8(r8, w, lo[i], hi[i]);
      k[i].dwt_v16(r16, w, depth, lo16[i], hi16[i]);
      k[i].dwt_h16(lo16[0], hi16[0], w, b[0][i], b[1][i], b[2][i], b[3][i]);
    }
    ASSERT_TRUE(test::same(lo, hi)) << "dwt_v8 w=" << w;
    ASSERT_TRUE(test::same(lo16, hi16)) << "dwt_v16 w=" << w << " depth=" << depth;
    ASSERT_TRUE(test::same(b)) << "dwt_h16 w=" << w;
  });
}

// Masked coefficients over the whole 16-bit range (extremes included), the largest rings whose
// shifted thresholds stay within 32 bits, every shift in use.
TEST(IntegerAdm, MaskRowTiersEqualScalar) {
  test::every_tier(7, 300, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    const int w = test::sweep(rng, round, 3, 122);
    const bool extreme = round % 4 == 0;
    std::vector<uint32_t> col(static_cast<size_t>(w)), sm(col), own(col);
    std::vector<int16_t> src[3];
    for (size_t i = 0; i < col.size(); ++i) {
      col[i] = extreme ? 100000 - rng.below(4) : rng.below(100000);
      sm[i] = rng.below(50000);
      own[i] = extreme ? 96003 - rng.below(4) : rng.below(96004);
    }
    adm::MaskRow16 m{};
    m.col = col.data();
    m.sm = sm.data();
    m.own = own.data();
    for (int t = 0; t < 3; ++t) {
      for (int i = 0; i < w; ++i) {
        const uint32_t r = uint32_t(rng());
        // Full-range coefficients only in the short extreme rows: their cubes reach 2^62, and
        // a row's 64-bit sum of them (17 columns, one vector step of every tier and some) must
        // not overflow.
        src[t].push_back(extreme ? (r % 5 == 0 ? int16_t(-32768) : int16_t(rng() >> 8))
                                 : int16_t(int32_t(rng.below(8191)) - 4095));
      }
      m.src[t] = src[t].data();
      m.rf[t] = uint16_t(round % 2 ? (t == 2 ? 49417 : 36453) : rng());
      m.sh_sub[t] = t == 2 ? 12 : 10;
      m.sh_sq[t] = t == 2 ? 30 : 29;
      m.add_sq[t] = int64_t(1) << (m.sh_sq[t] - 1);
      m.sh_cub[t] = extreme ? 4 + rng.below(4) : rng.below(8);
      m.add_cub[t] = m.sh_cub[t] ? int64_t(1) << (m.sh_cub[t] - 1) : 0;
    }
    const int j0 = 1 + int(rng.below(uint32_t(w - 2)));
    const int j1 = j0 + int(rng.below(uint32_t(extreme ? std::min(w - j0, 18) : w - j0)));
    int64_t inner[2][3] = {{5, 6, 7}, {5, 6, 7}};
    ranged(k, j0, j1,
           [&](const K& kk, int i, int from) { return kk.mask_row16(m, from, j1, inner[i]); });
    EXPECT_TRUE(test::same(inner)) << "w=" << w << " columns " << j0 << ".." << j1;
  });
}

// A decoupling row (of int16 or int32 coefficients) over `ref` and `dis` at a gain limit, its
// outputs (r and a per band) output `i` of `out`.
template <class Row, class T>
Row decouple_row(const std::vector<T> (&ref)[3], const std::vector<T> (&dis)[3],
                 std::vector<Twin<T>>& out, int i, double gain_limit) {
  Row r{};
  r.gain_limit = gain_limit;
  r.cos1_sq = float(std::cos(3.14159265358979 / 180) * std::cos(3.14159265358979 / 180));
  if constexpr (std::is_same_v<Row, adm::DecoupleRow16>) {
    static const std::vector<int32_t> recip = [] {
      std::vector<int32_t> v(32769, 0);
      for (int d = 1; d <= 32768; ++d)
        v[size_t(d)] = 1073741824 / d;
      return v;
    }();
    r.recip = recip.data();
  }
  for (int t = 0; t < 3; ++t) {
    r.ref[t] = ref[t].data();
    r.dis[t] = dis[t].data();
    r.r[t] = out[size_t(2 * t)][i];
    r.a[t] = out[size_t(2 * t + 1)][i];
  }
  return r;
}

// Decouples columns j0..j1 of random width at a random gain limit (1, 100 or between) with
// every tier; its six outputs hold 1234 outside those columns.
template <class T, class Row, class Fill>
void expect_decoupled_alike(const K (&k)[2], Rng& rng, int w,
                            int (*const K::*kernel)(const Row&, int, int), Fill fill) {
  std::vector<T> o[3], d[3];
  for (int t = 0; t < 3; ++t)
    for (int i = 0; i < w; ++i) {
      o[t].push_back(0);
      d[t].push_back(0);
      fill(o[t].back(), d[t].back());
    }
  const double gains[] = {1.0, 100.0, 1.37};
  const double gain = gains[rng.below(3)];
  std::vector<Twin<T>> out(6, Twin<T>(size_t(w), T(1234)));
  const Row rows[2] = {decouple_row<Row>(o, d, out, 0, gain),
                       decouple_row<Row>(o, d, out, 1, gain)};
  const int j0 = int(rng.below(uint32_t(w))), j1 = j0 + int(rng.below(uint32_t(w - j0 + 1)));
  ranged(k, j0, j1, [&](const K& kk, int i, int from) { return (kk.*kernel)(rows[i], from, j1); });
  ASSERT_TRUE(test::same(out)) << "w=" << w << " columns " << j0 << ".." << j1;
}

// Distorted rows unrelated to the reference, near it (so that the angle test passes and the gain
// limit applies) and made of the extreme coefficients (-32768 whose squares wrap 32 bits, zeros,
// ones).
TEST(IntegerAdm, DecoupleTiersEqualScalar) {
  static const int16_t kEdge[] = {-32768, -32767, -16384, -2, -1, 0, 1, 2, 16384, 32766, 32767};
  test::every_tier(11, 400, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    const auto edge = [&] { return kEdge[rng.below(std::size(kEdge))]; };
    expect_decoupled_alike<int16_t>(
        k, rng, test::sweep(rng, round, 1, 90), &K::decouple16, [&](int16_t& o, int16_t& d) {
          switch (round % 4) {
            case 0:
              o = int16_t(rng()), d = int16_t(rng());
              break;
            case 1:
              o = int16_t(rng());
              d = int16_t(std::clamp(o * int32_t(rng.below(5)) / 2 + int32_t(rng.below(9)) - 4,
                                     -32768, 32767));
              break;
            case 2:
              o = edge(), d = rng.below(2) ? edge() : o;
              break;
            default:
              o = int16_t(int32_t(rng.below(41)) - 20), d = int16_t(int32_t(rng.below(41)) - 20);
          }
        });
  });
}

// The decoupling divides by every reference coefficient: one row holding each int16 value once
// (in every orientation, shifted), against random distorted ones.
TEST(IntegerAdm, DecoupleTiersEqualScalarForEveryDivisor) {
  test::every_tier(37, 1, adm::kernels_for, [](const K(&k)[2], Rng& rng, int) {
    constexpr int w = 65536;
    int count = 0;
    expect_decoupled_alike<int16_t>(k, rng, w, &K::decouple16, [&](int16_t& o, int16_t& d) {
      const int t = count / w, i = count++ % w;
      o = int16_t((i + 101 * t) % w - 32768);
      d = int16_t(rng());
    });
  });
}

// Scales 1..3: coefficients of every size up to 2^31 (whose products reach 2^62 and round to
// float from above 2^53; divisors rounded to 15 bits past 2^15), distorted ones near the
// reference (the gain limit applies), and the edges of those ranges.
TEST(IntegerAdm, Decouple32TiersEqualScalar) {
  static const int32_t kEdge[] = {
      -(1 << 26), -(1 << 26) + 1, -65536, -32769, -32768, -32767,        -1,      0,
      1,          32767,          32768,  32769,  65535,  (1 << 26) - 1, 1 << 26, (1 << 30) + 7};
  test::every_tier(41, 400, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    const int kind = round % 4;  // any size, near, edges, below 2^16
    const auto any = [&](int bits) {
      const int32_t v = int32_t(rng() & ((1u << bits) - 1));
      return rng.below(2) ? v : -v;
    };
    const auto edge = [&] { return kEdge[rng.below(std::size(kEdge))]; };
    expect_decoupled_alike<int32_t>(
        k, rng, test::sweep(rng, round, 1, 90), &K::decouple32, [&](int32_t& o, int32_t& d) {
          const int bits = 1 + int(rng.below(kind == 3 ? 16 : 31));
          o = kind == 2 ? edge() : any(bits);
          d = kind == 1   ? int32_t(int64_t(o) * int64_t(rng.below(5)) / 2 + any(4))
              : kind == 2 ? (rng.below(2) ? edge() : o)
                          : any(bits);
        });
  });
}

// Scales 1..3's DWT: every rounding the scales use, samples over the whole int32 range (whose
// 64-bit sums the kept 32 bits wrap); and scale 1's vertical taps of int16 rows at the int16
// extremes whose sums come nearest 2^31.
TEST(IntegerAdm, Dwt32TiersEqualScalar) {
  const struct {
    int64_t add;
    int shift;
  } kRound[] = {{0, 0}, {32768, 16}, {16384, 15}, {int64_t(1) << 31, 32}};
  test::every_tier(13, 300, adm::kernels_for, [&](const K(&k)[2], Rng& rng, int round) {
    const int w = test::sweep(rng, round, 5, 84);
    const auto [add, shift] = kRound[rng.below(std::size(kRound))];
    std::vector<int32_t> src(size_t(4 * w));
    for (int32_t& x : src)
      x = round % 3 == 0   ? int32_t(rng())
          : round % 3 == 1 ? (rng.below(2) ? INT32_MIN : INT32_MAX)
                           : int32_t(rng.below(65536)) - 32768;
    const int32_t* rows[4];
    rng.rows(src.data(), w, 4, 4, rows);
    const int n = test::sweep(rng, round, 1, 90);
    std::vector<int16_t> s16(size_t(4 * n));
    for (int16_t& x : s16)
      x = round % 3 == 0 ? (rng.below(2) ? int16_t(-32768) : int16_t(32767)) : int16_t(rng());
    const int16_t* r16[4];
    rng.rows(s16.data(), n, 4, 4, r16);
    Twin<int32_t> lo(size_t(w), 77), hi(lo), lo16(size_t(n), 77), hi16(lo16);
    auto b = bands<int32_t>(w);
    for (int i : {0, 1}) {
      k[i].dwt_v32(rows, w, add, shift, lo[i], hi[i]);
      k[i].dwt_h32(src.data(), src.data() + w, w, add, shift, b[0][i], b[1][i], b[2][i], b[3][i]);
      k[i].dwt_v16w(r16, n, lo16[i], hi16[i]);
    }
    ASSERT_TRUE(test::same(lo, hi)) << "dwt_v32 w=" << w << " shift=" << shift;
    ASSERT_TRUE(test::same(b)) << "dwt_h32 w=" << w << " shift=" << shift;
    ASSERT_TRUE(test::same(lo16, hi16)) << "dwt_v16w w=" << n;
  });
}

// The CSF weighting: every factor and rounding in use and random ones (factors past 2^31 at the
// int32 scales), coefficients at the extremes whose weighted values wrap 16 or 32 bits; scale 0's
// three orientations at once over a range of columns.
TEST(IntegerAdm, CsfTiersEqualScalar) {
  test::every_tier(17, 300, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    const int n = test::sweep(rng, round, 0, 69);
    const bool extreme = round % 3 == 0;
    std::vector<int16_t> s16[3];
    std::vector<int32_t> s32;
    for (int i = 0; i < n; ++i) {
      const uint32_t r = uint32_t(rng());
      for (auto& s : s16)
        s.push_back(extreme ? (r % 2 ? int16_t(-32768) : int16_t(32767)) : int16_t(rng()));
      s32.push_back(extreme ? (r % 3 == 0   ? INT32_MIN
                               : r % 3 == 1 ? INT32_MAX
                                            : 0)
                            : int32_t(rng()) >> rng.below(16));
    }
    adm::CsfRow16 row[2]{};
    Twin<uint32_t> tot(size_t(n), 3), own(tot);
    for (int t = 0; t < 3; ++t) {
      const bool q17 = t == 2 || rng.below(2);
      row[0].src[t] = s16[t].data();
      row[0].add[t] = q17 ? 65535 : 16384;
      row[0].shift[t] = q17 ? 17 : 15;
      row[0].rf[t] = round % 2 ? uint16_t(rng()) : (q17 ? 49417 : 36453);
    }
    row[1] = row[0];
    const int j0 = int(rng.below(uint32_t(n + 1))), j1 = j0 + int(rng.below(uint32_t(n - j0 + 1)));
    const uint32_t rf32 = round % 2 ? uint32_t(rng()) : uint32_t(rng() >> 1);
    Twin<int32_t> x32(size_t(n), 3), f32(x32);
    for (int i : {0, 1}) {
      row[i].tot = tot[i];
      row[i].own = own[i];
      k[i].csf16(row[i], j0, j1);
      k[i].csf32(s32.data(), n, rf32, x32[i], f32[i]);
    }
    ASSERT_TRUE(test::same(tot, own)) << "csf16 columns " << j0 << ".." << j1;
    ASSERT_TRUE(test::same(x32, f32)) << "csf32 n=" << n << " rf=" << rf32;
  });
}

// Scales 1..3's masking: coefficients over the whole int32 range in short rows (their cubes near
// 2^62 must not overflow the scalar row sum), factors past 2^31, rings that wrap 32 bits.
TEST(IntegerAdm, MaskRow32TiersEqualScalar) {
  test::every_tier(19, 300, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    const int w = test::sweep(rng, round, 3, 122);
    const bool extreme = round % 4 == 0;
    std::vector<uint32_t> col(static_cast<size_t>(w)), sm(col);
    std::vector<int32_t> x[3], src[3];
    for (size_t i = 0; i < col.size(); ++i) {
      col[i] = extreme ? uint32_t(rng()) : rng.below(3000000);
      sm[i] = extreme ? uint32_t(rng()) : rng.below(1000000);
    }
    adm::MaskRow32 m{};
    m.col = col.data();
    m.sm = sm.data();
    for (int t = 0; t < 3; ++t) {
      for (int i = 0; i < w; ++i) {
        const uint32_t r = uint32_t(rng());
        x[t].push_back(extreme ? (r % 5 == 0 ? INT32_MIN : int32_t(rng()))
                               : int32_t(r % 2000001) - 1000000);
        src[t].push_back(extreme ? (r % 7 == 0 ? INT32_MIN : int32_t(rng()))
                                 : int32_t(rng.below(4000001)) - 2000000);
      }
      m.x[t] = x[t].data();
      m.src[t] = src[t].data();
      m.rf[t] = round % 2 ? uint32_t(rng()) : uint32_t(rng() >> 2);
    }
    m.sh_sq = 30;
    m.add_sq = int64_t(1) << 29;
    m.sh_cub = extreme ? 4 + rng.below(5) : rng.below(11);
    m.add_cub = m.sh_cub ? int64_t(1) << (m.sh_cub - 1) : 0;
    const int j0 = 1 + int(rng.below(uint32_t(w - 2)));
    const int j1 = j0 + int(rng.below(uint32_t(extreme ? std::min(w - j0, 18) : w - j0)));
    int64_t inner[2][3] = {{5, 6, 7}, {5, 6, 7}};
    ranged(k, j0, j1,
           [&](const K& kk, int i, int from) { return kk.mask_row32(m, from, j1, inner[i]); });
    EXPECT_TRUE(test::same(inner)) << "w=" << w << " columns " << j0 << ".." << j1;
  });
}

// The denominator's cube sums: scale 0's of int16 coefficients at the extremes (|-32768|^3 is
// 2^45) and random ones; scales 1..3's of magnitudes up to 2^31 (INT32_MIN among them) whose
// rounded squares pass 32 bits, every shift the scales use and random cube shifts.
TEST(IntegerAdm, CubeSumTiersEqualScalar) {
  test::every_tier(23, 300, adm::kernels_for, [](const K(&k)[2], Rng& rng, int round) {
    std::vector<int16_t> row16(size_t(test::sweep(rng, round, 0, 199)));
    for (int16_t& c : row16)
      c = round % 3 == 0 ? (rng.below(2) ? int16_t(-32768) : int16_t(32767)) : int16_t(rng());
    std::vector<int32_t> row(size_t(test::sweep(rng, round, 0, 119)));
    for (int32_t& c : row)
      c = round % 3 == 0   ? (rng.below(2) ? INT32_MIN : INT32_MAX)
          : round % 3 == 1 ? int32_t(rng())
                           : int32_t(rng()) >> rng.below(24);
    const int sh_sq = 30 + int(rng.below(2)), sh_cub = int(rng.below(12));
    const uint64_t add_sq = uint64_t(1) << sh_sq;
    const uint64_t add_cub = sh_cub ? uint64_t(1) << (sh_cub - 1) : 0;
    uint64_t s16[2], s32[2];
    for (int i : {0, 1}) {
      s16[i] = k[i].cube_sum16(row16.data(), int(row16.size()));
      s32[i] = k[i].cube_sum32(row.data(), int(row.size()), sh_sq, add_sq, sh_cub, add_cub);
    }
    EXPECT_TRUE(test::same(s16)) << "n=" << row16.size();
    EXPECT_TRUE(test::same(s32)) << "n=" << row.size() << " sh_sq=" << sh_sq
                                 << " sh_cub=" << sh_cub;
  });
}

}  // namespace
}  // namespace vq
