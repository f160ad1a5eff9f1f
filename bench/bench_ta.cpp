// Indicator speed against two baselines measured in the same run: one
// streaming pass (a sum) over the same array, and a bare loop of the same
// arithmetic written here, returning its own result column as the indicator
// does. Counters: ns_per_elem (indicator), x_bare and x_stream (time ratios),
// and for wma the multiply-adds per nanosecond.
#include <span>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "quorin_data/ta/overlap.hpp"
#include "quorin_data/ta/volume.hpp"

namespace ov = quorin_data::ta::overlap;
namespace vo = quorin_data::ta::volume;
using quorin_data::Series;
using Vec = std::vector<double>;
// The inputs as the columns hand them out (and the baselines' own vectors).
using In = std::span<const double>;

namespace {

constexpr std::size_t N = 10'000'000;
const double NaN = std::nan("");

struct Data {
  Series h, l, c, v;
  Data() {
    Vec hv(N), lv(N), cv(N), vv(N);
    double x = 100;
    std::uint64_t r = 88172645463325252ull;
    for (std::size_t i = 0; i < N; ++i) {
      r ^= r << 13, r ^= r >> 7, r ^= r << 17;
      x += (static_cast<double>(r % 2001) - 1000.0) * 1e-3;
      cv[i] = x;
      hv[i] = x + 0.5 + static_cast<double>(r % 97) * 1e-2;
      lv[i] = x - 0.5 - static_cast<double>(r % 89) * 1e-2;
      vv[i] = 1000 + static_cast<double>(r % 5000);
      if (r % 1000 == 7) cv[i] = NaN;  // a sprinkle of missing values
      if (r % 1000 == 11) vv[i] = NaN;
    }
    h = Series(std::move(hv));
    l = Series(std::move(lv));
    c = Series(std::move(cv));
    v = Series(std::move(vv));
  }
};

const Data& data() {
  static Data d;
  return d;
}

// ---- bare loops -------------------------------------------------------------

double stream_sum(In x) {
  double s = 0;
  for (double v : x) s += v;
  return s;
}

// Window sums by blocks of `len` rows: the window ending at row k of a block
// is the suffix of the block before from row k + 1 plus the prefix of its own
// block to row k. prev holds the suffix sums of the block before (slot len is
// 0); the backward scan of a full block fills next for the block after.
Vec bare_sma(In x, std::size_t len) {
  const std::size_t n = x.size();
  Vec out(n), prev(len + 1, 0.0), next(len + 1, 0.0);
  std::size_t count = 0;
  for (std::size_t b0 = 0; b0 < n; b0 += len) {
    const std::size_t m = std::min(len, n - b0);
    double head = 0, tail = 0;
    for (std::size_t k = 0; k < m; ++k) {
      const std::size_t i = b0 + k;
      head += std::isnan(x[i]) ? 0.0 : x[i];
      count += !std::isnan(x[i]);
      if (i >= len) count -= !std::isnan(x[i - len]);
      out[i] = count >= len ? (prev[k + 1] + head) / static_cast<double>(count) : NaN;
    }
    if (m < len) break;
    for (std::size_t k = len; k-- > 0;) {
      tail += std::isnan(x[b0 + k]) ? 0.0 : x[b0 + k];
      next[k] = tail;
    }
    std::swap(prev, next);
  }
  return out;
}

Vec bare_ema(In x, std::size_t len, double alpha) {
  const std::size_t n = x.size();
  Vec out(n);
  double s = 0;
  std::size_t cnt = 0;
  for (std::size_t i = 0; i < len; ++i)
    if (!std::isnan(x[i])) s += x[i], ++cnt;
  for (std::size_t i = 0; i + 1 < len; ++i) out[i] = NaN;
  std::size_t i = len - 1;
  double m = cnt ? s / static_cast<double>(cnt) : NaN;
  while (std::isnan(m)) {
    out[i] = NaN;
    if (++i >= n) return out;
    m = x[i];
  }
  out[i] = m;
  double w = 1;
  for (++i; i < n; ++i) {
    w *= 1 - alpha;
    const double xi = x[i];
    if (!std::isnan(xi)) {
      if (xi != m) m = (w * m + alpha * xi) / (w + alpha);
      w = 1;
    }
    out[i] = m;
  }
  return out;
}

Vec bare_wma(In x, std::size_t len) {
  Vec out(x.size()), wt(len);
  for (std::size_t k = 0; k < len; ++k) wt[k] = static_cast<double>(k + 1);
  const double total = 0.5 * static_cast<double>(len) * (static_cast<double>(len) + 1);
  std::size_t missing = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    missing += std::isnan(x[i]);
    if (i >= len) missing -= std::isnan(x[i - len]);
    if (i + 1 < len || missing) {
      out[i] = NaN;
      continue;
    }
    const double* p = &x[i + 1 - len];
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0, t = 0;
    std::size_t k = 0;
    for (; k + 4 <= len; k += 4) {
      s0 += p[k] * wt[k];
      s1 += p[k + 1] * wt[k + 1];
      s2 += p[k + 2] * wt[k + 2];
      s3 += p[k + 3] * wt[k + 3];
    }
    for (; k < len; ++k) t += p[k] * wt[k];
    out[i] = (((s0 + s2) + (s1 + s3)) + t) / total;
  }
  return out;
}

double clv(double h, double l, double c) {
  double hl = h - l;
  if (hl == 0) hl = 2.220446049250313e-16;
  return ((c - l) - (h - c)) / hl;
}

Vec bare_ad(In h, In l, In c, In v) {
  Vec out(h.size());
  double tot = 0;
  for (std::size_t i = 0; i < h.size(); ++i) {
    const double t = clv(h[i], l[i], c[i]) * v[i];
    if (std::isnan(t)) out[i] = NaN;
    else out[i] = tot += t;
  }
  return out;
}

// ---- harness ----------------------------------------------------------------

// CPU time of this thread (user and system, so page faults count): the
// machine is shared, and wall time would include other processes' turns.
double thread_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}
double seconds(const std::function<void()>& f) {
  const double t0 = thread_seconds();
  f();
  return thread_seconds() - t0;
}

// Times the indicator as the iteration time and the two baselines beside it.
void compare(benchmark::State& state, const std::function<void()>& indicator,
             const std::function<void()>& bare, double macs = 0) {
  const In x = data().c.f64();
  double t_ind = 0, t_bare = 0, t_stream = 0;
  // One untimed call of each first: on a virtual machine the first touch of
  // memory the host has taken back can cost seconds, which is not the
  // indicator's time.
  indicator();
  bare();
  for (auto _ : state) {
    const double ti = seconds(indicator);
    t_bare += seconds(bare);
    t_stream += seconds([&] { benchmark::DoNotOptimize(stream_sum(x)); });
    t_ind += ti;
    state.SetIterationTime(ti);
  }
  state.counters["ns_per_elem"] = t_ind / static_cast<double>(state.iterations()) * 1e9 / N;
  state.counters["x_bare"] = t_ind / t_bare;
  state.counters["x_stream"] = t_ind / t_stream;
  if (macs > 0)
    state.counters["madd_per_ns"] =
        macs * static_cast<double>(state.iterations()) / (t_ind * 1e9);
}

#define KEEP(expr) benchmark::DoNotOptimize(expr)

void BM_sma(benchmark::State& s) {
  const auto& d = data();
  compare(s, [&] { KEEP(ov::sma(d.c)); }, [&] { KEEP(bare_sma(d.c.f64(), 10)); });
}
void BM_ema(benchmark::State& s) {
  const auto& d = data();
  compare(s, [&] { KEEP(ov::ema(d.c)); }, [&] { KEEP(bare_ema(d.c.f64(), 10, 2.0 / 11)); });
}
void BM_rma(benchmark::State& s) {
  const auto& d = data();
  compare(s, [&] { KEEP(ov::rma(d.c)); }, [&] { KEEP(bare_ema(d.c.f64(), 10, 0.1)); });
}
void BM_wma(benchmark::State& s) {
  const auto& d = data();
  const auto len = static_cast<std::size_t>(s.range(0));
  compare(
      s, [&] { KEEP(ov::wma(d.c, static_cast<int>(len))); }, [&] { KEEP(bare_wma(d.c.f64(), len)); },
      static_cast<double>(N - len + 1) * static_cast<double>(len));
}
void BM_dema(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(ov::dema(d.c)); },
      [&] {
        Vec e1 = bare_ema(d.c.f64(), 10, 2.0 / 11), e2 = bare_ema(e1, 10, 2.0 / 11), out(N);
        for (std::size_t i = 0; i < N; ++i) out[i] = 2 * e1[i] - e2[i];
        KEEP(out);
      });
}
void BM_tema(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(ov::tema(d.c)); },
      [&] {
        const double a = 2.0 / 11;
        Vec e1 = bare_ema(d.c.f64(), 10, a), e2 = bare_ema(e1, 10, a), e3 = bare_ema(e2, 10, a),
            out(N);
        for (std::size_t i = 0; i < N; ++i) out[i] = (3 * e1[i] - 3 * e2[i]) + e3[i];
        KEEP(out);
      });
}
void BM_hma(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(ov::hma(d.c)); },
      [&] {
        Vec f = bare_wma(d.c.f64(), 4), w = bare_wma(d.c.f64(), 9), diff(N);
        for (std::size_t i = 0; i < N; ++i) diff[i] = 2 * f[i] - w[i];
        KEEP(bare_wma(diff, 3));
      });
}
void BM_hlc3(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(ov::hlc3(d.h, d.l, d.c)); },
      [&] {
        const In h = d.h.f64(), l = d.l.f64(), c = d.c.f64();
        Vec out(N);
        for (std::size_t i = 0; i < N; ++i) out[i] = (h[i] + l[i] + c[i]) / 3.0;
        KEEP(out);
      });
}
void BM_vwap(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(ov::vwap(d.h, d.l, d.c, d.v)); },
      [&] {
        const In h = d.h.f64(), l = d.l.f64(), c = d.c.f64(), v = d.v.f64();
        Vec out(N);
        double num = 0, den = 0;
        for (std::size_t i = 0; i < N; ++i) {
          const double t = (h[i] + l[i] + c[i]) / 3.0 * v[i];
          const double a = std::isnan(t) ? NaN : (num += t);
          const double b = std::isnan(v[i]) ? NaN : (den += v[i]);
          out[i] = a / b;
        }
        KEEP(out);
      });
}
void BM_obv(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(vo::obv(d.c, d.v)); },
      [&] {
        const In c = d.c.f64(), v = d.v.f64();
        Vec out(N);
        double tot = 0;
        out[0] = tot += v[0];
        for (std::size_t i = 1; i < N; ++i) {
          const double dd = c[i] - c[i - 1];
          const double s0 = static_cast<double>((dd > 0) - (dd < 0));
          const double sg = std::isnan(dd) ? NaN : s0;
          const double t = sg * v[i];
          out[i] = std::isnan(t) ? NaN : (tot += t);
        }
        KEEP(out);
      });
}
void BM_ad(benchmark::State& s) {
  const auto& d = data();
  compare(s, [&] { KEEP(vo::ad(d.h, d.l, d.c, d.v)); },
          [&] { KEEP(bare_ad(d.h.f64(), d.l.f64(), d.c.f64(), d.v.f64())); });
}
void BM_adosc(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(vo::adosc(d.h, d.l, d.c, d.v)); },
      [&] {
        Vec line = bare_ad(d.h.f64(), d.l.f64(), d.c.f64(), d.v.f64());
        Vec f = bare_ema(line, 3, 0.5), sl = bare_ema(line, 10, 2.0 / 11), out(N);
        for (std::size_t i = 0; i < N; ++i) out[i] = f[i] - sl[i];
        KEEP(out);
      });
}
void BM_cmf(benchmark::State& s) {
  const auto& d = data();
  compare(
      s, [&] { KEEP(vo::cmf(d.h, d.l, d.c, d.v)); },
      [&] {
        const In h = d.h.f64(), l = d.l.f64(), c = d.c.f64(), v = d.v.f64();
        const std::size_t L = 20;
        Vec mf(N), out(N), pa(L + 1, NaN), pv(L + 1, NaN), na(L + 1, 0.0), nv(L + 1, 0.0);
        pa[L] = pv[L] = 0;
        for (std::size_t i = 0; i < N; ++i) mf[i] = clv(h[i], l[i], c[i]) * v[i];
        // Block window sums as in bare_sma; a missing term propagates into
        // every sum that holds it, and the suffixes before row 0 are missing.
        for (std::size_t b0 = 0; b0 < N; b0 += L) {
          const std::size_t m = std::min(L, N - b0);
          double ha = 0, hv = 0, ta = 0, tv = 0;
          for (std::size_t k = 0; k < m; ++k) {
            ha += mf[b0 + k], hv += v[b0 + k];
            out[b0 + k] = (pa[k + 1] + ha) / (pv[k + 1] + hv);
          }
          if (m < L) break;
          for (std::size_t k = L; k-- > 0;) {
            ta += mf[b0 + k], tv += v[b0 + k];
            na[k] = ta, nv[k] = tv;
          }
          std::swap(pa, na), std::swap(pv, nv);
        }
        KEEP(out);
      });
}

}  // namespace

#define TA_BENCH(fn) BENCHMARK(fn)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(0.5)
TA_BENCH(BM_sma);
TA_BENCH(BM_ema);
TA_BENCH(BM_rma);
TA_BENCH(BM_wma)->Arg(10)->Arg(50);
TA_BENCH(BM_dema);
TA_BENCH(BM_tema);
TA_BENCH(BM_hma);
TA_BENCH(BM_hlc3);
TA_BENCH(BM_vwap);
TA_BENCH(BM_obv);
TA_BENCH(BM_ad);
TA_BENCH(BM_adosc);
TA_BENCH(BM_cmf);

int main(int argc, char** argv) {
  // Keep freed result columns in the heap for the next call, as a long-running
  // research process does once warm, instead of returning every 80 MB column
  // to the system and faulting fresh pages in on each call. Indicator and bare
  // loop allocate their results alike either way.
  if (!(argc > 1 && std::string(argv[1]) == "--cold-allocations")) {
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
  } else {
    --argc, ++argv;
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
