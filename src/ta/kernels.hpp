// Column kernels of the indicators: plain loops over contiguous doubles.
// NaN is the missing value throughout.
#pragma once

#include <cmath>
#include <cstddef>

#include "quorin_data/core/frame.hpp"

namespace quorin_data::ta::kernels {

// Compensated running sum that also knows how many of its terms are
// present and non-zero, so that a window of zeros sums to exactly 0 rather
// than to the rounding residue of earlier adds and subtracts.
struct WindowSum {
  double sum = 0, comp = 0;
  std::size_t count = 0, nonzero = 0;

  // Knuth's two-sum: sum + v == t + error exactly, without a branch.
  void add(double v) {
    const double t = sum + v;
    const double bv = t - sum;
    comp += (sum - (t - bv)) + (v - bv);
    sum = t;
  }
  void pop(double v) {
    if (std::isnan(v)) return;
    --count;
    if (v != 0) {
      --nonzero;
      add(-v);
    }
  }
  void push(double v) {
    if (std::isnan(v)) return;
    ++count;
    if (v != 0) {
      ++nonzero;
      add(v);
    }
  }
  double value() {
    if (nonzero == 0) sum = comp = 0;
    return sum + comp;
  }
};

// Mean of the present values of each window of `len` rows ending at row i
// (shorter at the start), when the window holds at least `minp` (>= 1) of them.
inline void rolling_mean(const double* x, std::size_t n, std::size_t len, std::size_t minp,
                         double* out) {
  WindowSum w;
  for (std::size_t i = 0; i < n; ++i) {
    w.push(x[i]);
    if (i >= len) w.pop(x[i - len]);
    out[i] = w.count >= minp ? w.value() / static_cast<double>(w.count) : kNaN;
  }
}

// Exponentially weighted mean over a column whose rows before `start` are
// missing, whose row `start` holds `start_value` and whose later rows are x.
// The recursion: at the first present value m = x, w = 1; then per row
// w *= 1 - alpha; a present x != m gives m = (w*m + v*x) / (w + v) with
// v = 1 (adjust) or alpha; a present x sets w += v (adjust) or w = 1.
inline void ewm(const double* x, std::size_t n, double alpha, bool adjust, std::size_t start,
                double start_value, double* out) {
  std::size_t i = 0;
  for (; i < start && i < n; ++i) out[i] = kNaN;
  if (i >= n) return;
  double m = start_value;
  while (std::isnan(m)) {
    out[i] = kNaN;
    if (++i >= n) return;
    m = x[i];
  }
  double w = 1;
  out[i] = m;
  const double beta = 1 - alpha;
  const double v = adjust ? 1.0 : alpha;
  for (++i; i < n; ++i) {
    w *= beta;
    const double xi = x[i];
    if (!std::isnan(xi)) {
      if (xi != m) m = (w * m + v * xi) / (w + v);
      w = adjust ? w + v : 1.0;
    }
    out[i] = m;
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

// Weighted window mean: missing until the window of `len` rows is complete
// and free of missing values, then dot(window, weights) / total.
inline void weighted_window(const double* x, std::size_t n, const double* weights,
                            std::size_t len, double total, double* out) {
  std::size_t missing = 0;  // missing values in the current window
  for (std::size_t i = 0; i < n; ++i) {
    missing += std::isnan(x[i]);
    if (i >= len) missing -= std::isnan(x[i - len]);
    out[i] = (i + 1 < len || missing) ? kNaN : dot(x + (i + 1 - len), weights, len) / total;
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
