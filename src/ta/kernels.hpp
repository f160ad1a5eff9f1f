// Column kernels of the indicators: plain loops over contiguous doubles.
// NaN is the missing value throughout.
#pragma once

#include <cmath>
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <cstdint>
#include <utility>
#include <vector>

#include "kernels/cpu.hpp"
#include "quorin_data/core/frame.hpp"

namespace quorin_data::ta::kernels {

using quorin_data::kernels::Isa;
using quorin_data::kernels::usable;

// Where a kernel puts its results, chunk by chunk in row order: sink(p, m)
// takes the next m values. Append puts them at the end of a vector with room
// reserved, so that the result's memory is written once (a vector resized
// first would be zero-filled in a pass of its own).
struct Append {
  std::vector<double>* out;
  void operator()(const double* p, std::size_t m) const { out->insert(out->end(), p, p + m); }
};

// Window sums by blocks. Rows are cut into blocks of `len` rows; the window
// of `len` rows ending at row k of a block is the tail of the block before
// (its rows k+1 .. len-1: a suffix sum) plus the head of its own block (rows
// 0 .. k: a prefix sum). Every window sum thus adds only the terms inside it:
// a term that has left the window leaves no rounding residue behind, however
// large it was, and a window of zeros sums to exactly 0. Each block is
// scanned once forward (prefix sums, combined with the suffix sums of the
// block before) and once backward (its own suffix sums, for the next block).
//
// Suffix sums live in arrays of len + 1 slots whose last slot is 0: the
// window ending at a block's last row is its prefix alone.

// Rows per chunk: whole blocks, about a thousand rows or more, so that the
// per-row division runs as one vector pass over a chunk.
inline std::size_t chunk_rows(std::size_t len) { return len * ((1024 + len - 1) / len); }

// Two doubles in one vector register: two sums whose chains run side by side
// in one add (sum and count of sma, money flow and volume of cmf).
typedef double Pair __attribute__((vector_size(16)));
typedef long long Mask __attribute__((vector_size(16)));  // lanes all ones or all zeros

// One block of m <= len rows of the block window sums. Row k's window is the
// suffix of the block before from row k + 1 (prev, whose slot len holds
// zeros) plus the block's own prefix to row k, written as two sums
// to s0[k] and s1[k]; term(k) gives row k's pair of terms. A full block also
// leaves its suffix sums in next for the block after and swaps prev and
// next; its prefix and suffix chains run in one loop, so that their add
// latencies overlap.
template <class Term>
inline void block_window_sums(Term term, std::size_t m, std::size_t len, Pair*& prev, Pair*& next,
                              double* s0, double* s1) {
  Pair head = {0.0, 0.0};
  if (m == len) {
    Pair tail = {0.0, 0.0};
    for (std::size_t k = 0; k < len; ++k) {
      head += term(k);
      const Pair sum = prev[k + 1] + head;
      s0[k] = sum[0];
      s1[k] = sum[1];
      const std::size_t j = len - 1 - k;
      tail += term(j);
      next[j] = tail;
    }
    std::swap(prev, next);
  } else {
    for (std::size_t k = 0; k < m; ++k) {
      head += term(k);
      const Pair sum = prev[k + 1] + head;
      s0[k] = sum[0];
      s1[k] = sum[1];
    }
  }
}

// Mean of the present values of each window of `len` rows ending at row i
// (shorter at the start), when the window holds at least `minp` (>= 1) of them.
// The window sums and the counts of present values are block sums alike
// (counts are small integers, exact in doubles).
template <class Sink>
inline void rolling_mean(const double* x, std::size_t n, std::size_t len, std::size_t minp,
                         Sink sink) {
  if (n == 0 || len == 0) return;
  const std::size_t chunk = chunk_rows(len);
  std::vector<double> count(chunk), means(chunk);
  // Zeros stand for the suffix sums before row 0: the first windows are short.
  std::vector<Pair> suffixes(2 * (len + 1), Pair{0.0, 0.0});
  Pair* prev = suffixes.data();
  Pair* next = prev + (len + 1);
  for (std::size_t c0 = 0; c0 < n; c0 += chunk) {
    const std::size_t c1 = std::min(n, c0 + chunk);
    for (std::size_t b0 = c0; b0 < c1; b0 += len) {
      const std::size_t m = std::min(len, n - b0);
      const double* t = x + b0;
      double* o = means.data() + (b0 - c0);
      double* cnt = count.data() + (b0 - c0);
      // (value, 1) for a present value, (0, 0) for a missing one.
      auto term = [&](std::size_t k) {
        const double v = t[k];
        return v == v ? Pair{v, 1.0} : Pair{0.0, 0.0};
      };
      // The next chunk's input lines are requested ahead.
      for (std::size_t r = b0 + chunk; r < b0 + chunk + len && r < n; r += 8) __builtin_prefetch(x + r);
      block_window_sums(term, m, len, prev, next, o, cnt);
    }
    // The divisions as a vector pass, two rows at a time; a window with too
    // few present values gives NaN.
    const double* cnt = count.data();
    double* out = means.data();
    const std::size_t rows = c1 - c0;
    const Pair need = {static_cast<double>(minp), static_cast<double>(minp)};
    const Pair nan = {kNaN, kNaN};
    std::size_t i = 0;
    for (; i + 2 <= rows; i += 2) {
      Pair sum, c;
      std::memcpy(&sum, out + i, sizeof sum);
      std::memcpy(&c, cnt + i, sizeof c);
      const Mask ok = c >= need;
      const Mask r = ((Mask)(sum / c) & ok) | ((Mask)nan & ~ok);
      std::memcpy(out + i, &r, sizeof r);
    }
    for (; i < rows; ++i) {
      const double c = cnt[i];
      out[i] = c >= need[0] ? out[i] / c : kNaN;
    }
    sink(out, rows);
  }
}

// The vector passes of cmf: money-flow volume (clv * volume) of n rows, and
// the division of the window sums. Each is built twice, for the baseline
// instruction set and for AVX2 (four doubles per division instead of two;
// the same IEEE operations, no fused multiply-add, so the same results), and
// picked at run time.
#define QUORIN_TA_MONEY_FLOW_PASSES(suffix, attr)                                     \
  attr inline void money_flow_terms##suffix(const double* h, const double* l,        \
                                            const double* c, const double* v,        \
                                            std::size_t n, double eps, double* mf) { \
    for (std::size_t i = 0; i < n; ++i) {                                            \
      double hl = h[i] - l[i];                                                       \
      hl = hl == 0.0 ? eps : hl;                                                     \
      mf[i] = ((c[i] - l[i]) - (h[i] - c[i])) / hl * v[i];                           \
    }                                                                                \
  }                                                                                  \
  attr inline void divide_by##suffix(double* x, const double* by, std::size_t n) {   \
    for (std::size_t i = 0; i < n; ++i) x[i] /= by[i];                               \
  }
QUORIN_TA_MONEY_FLOW_PASSES(, )
QUORIN_TA_MONEY_FLOW_PASSES(_avx2, __attribute__((target("avx2"))))
#undef QUORIN_TA_MONEY_FLOW_PASSES

// Chaikin money flow: over each window of `len` rows, the sum of
// clv * volume divided by the sum of volume, plain division. A window sum is
// present only when all `len` terms are: a missing term makes every sum that
// holds it missing (NaN propagates through the adds; the suffix sums before
// row 0 are missing, so the first len - 1 rows are too). A missing volume
// makes its money-flow term missing, so one test covers both sums. `isa`
// caps the instruction set (the bits are the same on every one).
template <class Sink>
inline void money_flow(const double* h, const double* l, const double* c, const double* v,
                       std::size_t n, std::size_t len, double eps, Sink sink, Isa isa = Isa::avx512) {
  if (n == 0 || len == 0) return;
  const std::size_t chunk = chunk_rows(len);
  const bool wide = usable(isa) >= Isa::avx2;
  std::vector<double> mf(chunk), vol_sum(chunk), flow(chunk);
  std::vector<Pair> suffixes(2 * (len + 1), Pair{kNaN, kNaN});
  Pair* prev = suffixes.data();
  Pair* next = prev + (len + 1);
  prev[len] = next[len] = Pair{0.0, 0.0};
  for (std::size_t c0 = 0; c0 < n; c0 += chunk) {
    const std::size_t c1 = std::min(n, c0 + chunk);
    // Money-flow volume of the chunk's rows, a vector pass (the divisions
    // pipeline instead of sitting in the scan).
    if (wide)
      money_flow_terms_avx2(h + c0, l + c0, c + c0, v + c0, c1 - c0, eps, mf.data());
    else
      money_flow_terms(h + c0, l + c0, c + c0, v + c0, c1 - c0, eps, mf.data());
    for (std::size_t b0 = c0; b0 < c1; b0 += len) {
      const std::size_t m = std::min(len, n - b0);
      // Ask for the next chunk's inputs while this one is summed, so that
      // the memory reads overlap the arithmetic instead of waiting for it.
      for (std::size_t r = b0 + chunk; r < b0 + chunk + len && r < n; r += 8) {
        __builtin_prefetch(h + r);
        __builtin_prefetch(l + r);
        __builtin_prefetch(c + r);
        __builtin_prefetch(v + r);
      }
      const double* a = mf.data() + (b0 - c0);
      const double* w = v + b0;
      double* oa = flow.data() + (b0 - c0);
      double* ow = vol_sum.data() + (b0 - c0);
      block_window_sums([&](std::size_t k) { return Pair{a[k], w[k]}; }, m, len, prev, next, oa, ow);
    }
    // The divisions as a vector pass.
    if (wide)
      divide_by_avx2(flow.data(), vol_sum.data(), c1 - c0);
    else
      divide_by(flow.data(), vol_sum.data(), c1 - c0);
    sink(flow.data(), c1 - c0);
  }
}

// Exponentially weighted mean over a column whose rows before `start` are
// missing, whose row `start` holds `start_value` and whose later rows are x.
// The recursion: at the first present value m = x, w = 1; then per row
// w *= 1 - alpha; a present x != m gives m = (w*m + v*x) / (w + v) with
// v = 1 (adjust) or alpha; a present x sets w += v (adjust) or w = 1.
// The n results go through `out` in row order (a pointer or an inserter).
template <class Out>
inline void ewm(const double* x, std::size_t n, double alpha, bool adjust, std::size_t start,
                double start_value, Out out) {
  std::size_t i = 0;
  for (; i < start && i < n; ++i) *out++ = kNaN;
  if (i >= n) return;
  double m = start_value;
  while (std::isnan(m)) {
    *out++ = kNaN;
    if (++i >= n) return;
    m = x[i];
  }
  double w = 1;
  *out++ = m;
  const double beta = 1 - alpha;
  const double v = adjust ? 1.0 : alpha;
  if (adjust) {
    for (++i; i < n; ++i) {
      w *= beta;
      const double xi = x[i];
      if (!std::isnan(xi)) {
        if (xi != m) m = (w * m + v * xi) / (w + v);
        w += v;
      }
      *out++ = m;
    }
    return;
  }
  // Not adjusted: after a present value the old weight is 1, so the next
  // row's weight is 1 * beta = beta and its denominator beta + alpha, which
  // for the alphas in use is exactly 1. Dividing by exactly 1 changes no
  // bit, so those rows skip the division; rows after a missing value (whose
  // weight has decayed further) take the general step.
  const bool unit = beta + alpha == 1.0;
  for (++i; i < n; ++i) {
    const double xi = x[i];
    if (unit && w == 1.0 && !std::isnan(xi)) {
      if (xi != m) m = beta * m + v * xi;
      *out++ = m;
      continue;
    }
    w *= beta;
    if (!std::isnan(xi)) {
      if (xi != m) m = (w * m + v * xi) / (w + v);
      w = 1.0;
    }
    *out++ = m;
  }
}

// Dot product of a window with the weights, in four interleaved partial sums
// so that the loop runs on vector registers.
inline double dot(const double* __restrict x, const double* __restrict w, std::size_t len) {
  double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
  std::size_t k = 0;
  for (; k + 4 <= len; k += 4) {
    s0 += x[k] * w[k];
    s1 += x[k + 1] * w[k + 1];
    s2 += x[k + 2] * w[k + 2];
    s3 += x[k + 3] * w[k + 3];
  }
  double tail = 0;
  for (; k < len; ++k) tail += x[k] * w[k];
  return ((s0 + s2) + (s1 + s3)) + tail;
}

// Weighted window mean: per row, the dot product of its window (oldest
// first) with the weights, divided by `total`; missing when the window is
// incomplete or holds a missing value.

// Rows [from, to) one at a time, row i to out[i - from].
inline void weighted_window_rows(const double* x, std::size_t from, std::size_t to, const double* weights,
                                 std::size_t len, double total, double* out) {
  for (std::size_t i = from; i < to; ++i) {
    bool complete = i + 1 >= len;
    for (std::size_t j = i + 1; complete && j-- > i + 1 - len;) complete = !std::isnan(x[j]);
    out[i - from] = complete ? dot(x + (i + 1 - len), weights, len) / total : kNaN;
  }
}

// The rows i .. i + U*W - 1 (W the doubles of a vector V) side by side: the
// window of row i starts at x. Each lane runs exactly the operations of
// `dot` for its row, in its order (products rounded before their adds: no
// contraction), then the division; U vectors per partial sum keep U
// independent chains in flight.
template <class V, std::size_t U>
__attribute__((always_inline)) inline void dot_rows(const double* x, const double* w, std::size_t len,
                                                    double total, double* out) {
  constexpr std::size_t W = sizeof(V) / sizeof(double);
  V s0[U], s1[U], s2[U], s3[U], tail[U];
  const V zero = {};
  for (std::size_t u = 0; u < U; ++u) s0[u] = s1[u] = s2[u] = s3[u] = tail[u] = zero;
  V a, b, c, d;  // unaligned loads through memcpy
  std::size_t k = 0;
  for (; k + 4 <= len; k += 4) {
    const double w0 = w[k], w1 = w[k + 1], w2 = w[k + 2], w3 = w[k + 3];
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
      const double* p = x + u * W + k;
      std::memcpy(&a, p, sizeof a);
      std::memcpy(&b, p + 1, sizeof b);
      std::memcpy(&c, p + 2, sizeof c);
      std::memcpy(&d, p + 3, sizeof d);
      s0[u] += a * w0;
      s1[u] += b * w1;
      s2[u] += c * w2;
      s3[u] += d * w3;
    }
  }
  for (; k < len; ++k)
#pragma GCC unroll 8
    for (std::size_t u = 0; u < U; ++u) {
      std::memcpy(&a, x + u * W + k, sizeof a);
      tail[u] += a * w[k];
    }
#pragma GCC unroll 8
  for (std::size_t u = 0; u < U; ++u) {
    const V r = (((s0[u] + s2[u]) + (s1[u] + s3[u])) + tail[u]) / total;
    std::memcpy(out + u * W, &r, sizeof r);
  }
}

// Rows [from, to) in groups of U*W rows through dot_rows, row i to
// out[i - from]. A missing value in a window makes that row's sum missing,
// so a group whose results hold no NaN had complete windows throughout; a
// group with one is redone row by row (which also gives a NaN that
// infinities produced its own bits, as `dot` does).
template <class V, std::size_t U>
__attribute__((always_inline)) inline void weighted_window_groups(const double* x, std::size_t from,
                                                                  std::size_t to, const double* weights,
                                                                  std::size_t len, double total, double* out) {
  constexpr std::size_t R = U * (sizeof(V) / sizeof(double));
  std::size_t i = from;
  for (; i < to && i + 1 < len; ++i) out[i - from] = kNaN;
  for (; i + R <= to; i += R) {
    double* o = out + (i - from);
    dot_rows<V, U>(x + (i + 1 - len), weights, len, total, o);
    bool any_nan = false;
    for (std::size_t r = 0; r < R; ++r) any_nan |= std::isnan(o[r]);
    if (any_nan) weighted_window_rows(x, i, i + R, weights, len, total, o);
  }
  weighted_window_rows(x, i, to, weights, len, total, out + (i - from));
}

typedef double Vec2 __attribute__((vector_size(16)));
typedef double Vec4 __attribute__((vector_size(32)));
typedef double Vec8 __attribute__((vector_size(64)));

// The baseline instruction set: 2 doubles per register, 16 registers.
inline void weighted_window_sse2(const double* x, std::size_t from, std::size_t to, const double* weights,
                                 std::size_t len, double total, double* out) {
  weighted_window_groups<Vec2, 2>(x, from, to, weights, len, total, out);
}

// AVX2: 4 doubles per register, 16 registers (no FMA: see above).
__attribute__((target("avx2"))) inline void weighted_window_avx2(const double* x, std::size_t from,
                                                                 std::size_t to, const double* weights,
                                                                 std::size_t len, double total, double* out) {
  weighted_window_groups<Vec4, 2>(x, from, to, weights, len, total, out);
}

// AVX-512: 8 doubles per register, 16 rows in flight (more chains per
// partial sum measured no faster: the loads and the stores bound it).
__attribute__((target("avx512f"))) inline void weighted_window_avx512(const double* x, std::size_t from,
                                                                     std::size_t to, const double* weights,
                                                                     std::size_t len, double total,
                                                                     double* out) {
  weighted_window_groups<Vec8, 2>(x, from, to, weights, len, total, out);
}

// All n rows, through `sink` a chunk at a time, on the widest instruction
// set the CPU has, at most `isa`.
template <class Sink>
inline void weighted_window(const double* x, std::size_t n, const double* weights, std::size_t len,
                            double total, Sink sink, Isa isa = Isa::avx512) {
  if (len == 0) return;
  using Fn = void (*)(const double*, std::size_t, std::size_t, const double*, std::size_t, double, double*);
  const Isa use = usable(isa);
  const Fn rows = use == Isa::avx512 ? weighted_window_avx512
                  : use == Isa::avx2 ? weighted_window_avx2
                                     : weighted_window_sse2;
  constexpr std::size_t kChunk = 1024;  // a multiple of every group
  double buf[kChunk];
  for (std::size_t c0 = 0; c0 < n; c0 += kChunk) {
    const std::size_t c1 = std::min(n, c0 + kChunk);
    rows(x, c0, c1, weights, len, total, buf);
    sink(static_cast<const double*>(buf), c1 - c0);
  }
}

// Running total that skips missing terms: a missing term gives a missing
// value in its row and adds nothing.
struct RunningSum {
  double total = 0;
  double next(double term) {
    if (std::isnan(term)) return kNaN;
    total += term;
    return total;
  }
};

// Direction of a change: +1, -1, 0, NaN for a missing side.
// Branch-free: the direction of a price path is a coin toss to a predictor.
inline double sign_of(double d) {
  const double s = static_cast<double>((d > 0) - (d < 0));
  return std::isnan(d) ? kNaN : s;
}

// Close location value with the zero range made non-zero.
inline double clv(double h, double l, double c, double eps) {
  double hl = h - l;
  if (hl == 0.0) hl = eps;
  return ((c - l) - (h - c)) / hl;
}

}  // namespace quorin_data::ta::kernels
