// The event-time kernel: wall-clock release times to instants, dates and
// times of day in a standard zone, eight rows at a time with AVX-512 where
// the CPU has it.
#include "kernels/event_times.hpp"

#include <algorithm>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <limits>
#include <string>

#include "quorin_data/core/errors.hpp"

namespace quorin_data::kernels {

namespace {

[[noreturn]] void out_of_range(std::int64_t ns) {
  throw ValueError("release time " + std::to_string(ns) + " ns is out of range after the zone conversion");
}

// One row, with every step checked for overflow (values near the ends of
// the nanosecond range).
inline void event_time_checked(std::int64_t wall, std::int64_t src_off, Zone::Span& span, const Zone& standard,
                               std::int64_t& utc, std::int64_t& day, std::int64_t& tod) {
  std::int64_t u, w;
  if (__builtin_sub_overflow(wall, src_off, &u)) out_of_range(wall);
  if (u < span.lo || u >= span.hi) span = standard.span_at(u);
  if (__builtin_add_overflow(u, span.offset, &w)) out_of_range(u);
  const std::int64_t sec = second_field_ns(w);
  if (__builtin_sub_overflow(u, sec, &u) || __builtin_sub_overflow(w, sec, &w)) out_of_range(u);
  std::int64_t d = w / kNanosPerDay;
  if (w % kNanosPerDay < 0) --d;
  utc = u;
  day = d;
  tod = w - d * kNanosPerDay;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORIN_EVENT_TIMES_AVX512 1

// Rows eight at a time while all eight are inside the zone span [lo, hi)
// and away from the ends of the range (|wall|, |offset| < 2^61, so no step
// overflows); returns how many rows it wrote (a multiple of 8). Each
// floor division is estimated in double and then corrected by one step
// with exact integer arithmetic, so the results equal the scalar path's.
// GCC 12's AVX-512 header functions fill unused lanes from a deliberately
// undefined value, which its -Wmaybe-uninitialized reports falsely.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

// Floor of each lane.
__attribute__((target("avx512f"))) inline __m512d floor_pd(__m512d x) {
  return _mm512_roundscale_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
}

template <bool PerRow>
__attribute__((target("avx512f,avx512dq"))) std::size_t event_times_x8(
    const std::int64_t* wall, const std::int64_t* src_offs, std::int64_t src_off, std::int64_t lo, std::int64_t hi,
    std::int64_t zoff, std::int64_t* utc, std::int64_t* day, std::int64_t* tod, std::size_t m) {
  std::size_t k = 0;
  for (; k + 8 <= m; k += 8) {
    constexpr std::int64_t kSafe = std::int64_t{1} << 61;
    const __m512i safe_lo = _mm512_set1_epi64(-kSafe), safe_hi = _mm512_set1_epi64(kSafe);
    const __m512i wl = _mm512_loadu_si512(wall + k);
    const __m512i off = PerRow ? _mm512_loadu_si512(src_offs + k) : _mm512_set1_epi64(src_off);
    __mmask8 ok = _mm512_cmpgt_epi64_mask(wl, safe_lo) & _mm512_cmplt_epi64_mask(wl, safe_hi) &
                  _mm512_cmpgt_epi64_mask(off, safe_lo) & _mm512_cmplt_epi64_mask(off, safe_hi);
    const __m512i u = _mm512_sub_epi64(wl, off);
    ok &= _mm512_cmpge_epi64_mask(u, _mm512_set1_epi64(lo)) & _mm512_cmplt_epi64_mask(u, _mm512_set1_epi64(hi));
    if (ok != 0xFF) break;
    const __m512i w = _mm512_add_epi64(u, _mm512_set1_epi64(zoff));  // |w| < 2^62

  
    const __m512i one = _mm512_set1_epi64(1);
    // Day number and time into the day.
    const __m512i dns = _mm512_set1_epi64(kNanosPerDay);
    __m512i d = _mm512_cvtpd_epi64(
        floor_pd(_mm512_mul_pd(_mm512_cvtepi64_pd(w), _mm512_set1_pd(1.0 / static_cast<double>(kNanosPerDay)))));
    // d * kNanosPerDay with 32-bit multiplies (|d| < 2^16 for |w| < 2^62):
    // (d + 2^16) * (C_hi * 2^32 + C_lo) - 2^16 * C.
    constexpr std::int64_t kBias = std::int64_t{1} << 16;
    const __m512i db = _mm512_add_epi64(d, _mm512_set1_epi64(kBias));
    const __m512i dc = _mm512_sub_epi64(
        _mm512_add_epi64(_mm512_mul_epu32(db, _mm512_set1_epi64(kNanosPerDay & 0xFFFFFFFF)),
                         _mm512_slli_epi64(_mm512_mul_epu32(db, _mm512_set1_epi64(kNanosPerDay >> 32)), 32)),
        _mm512_set1_epi64(kBias * kNanosPerDay));
    __m512i t = _mm512_sub_epi64(w, dc);
    __mmask8 m = _mm512_cmplt_epi64_mask(t, _mm512_setzero_si512());
    d = _mm512_mask_sub_epi64(d, m, d, one), t = _mm512_mask_add_epi64(t, m, t, dns);
    m = _mm512_cmpge_epi64_mask(t, dns);
    d = _mm512_mask_add_epi64(d, m, d, one), t = _mm512_mask_sub_epi64(t, m, t, dns);
    // Whole seconds into the day (t < 2^47: exact in double).
    const __m512i sns = _mm512_set1_epi64(kNanosPerSecond);
    __m512i sc = _mm512_cvtpd_epi64(floor_pd(_mm512_mul_pd(_mm512_cvtepi64_pd(t), _mm512_set1_pd(1e-9))));
    const __m512i r = _mm512_sub_epi64(t, _mm512_mul_epu32(sc, sns));  // sc < 2^17
    sc = _mm512_mask_sub_epi64(sc, _mm512_cmplt_epi64_mask(r, _mm512_setzero_si512()), sc, one);
    sc = _mm512_mask_add_epi64(sc, _mm512_cmpge_epi64_mask(r, sns), sc, one);
    // The second field: sc mod 60 (sc < 86400; the half keeps the quotient's
    // estimate off the exact multiples of 60).
    const __m512d scd = _mm512_cvtepi64_pd(sc);
    const __m512d q = floor_pd(_mm512_mul_pd(_mm512_add_pd(scd, _mm512_set1_pd(0.5)), _mm512_set1_pd(1.0 / 60.0)));
    const __m512i sec =
        _mm512_mul_epu32(_mm512_sub_epi64(sc, _mm512_mul_epu32(_mm512_cvtpd_epi64(q), _mm512_set1_epi64(60))), sns);
    _mm512_storeu_si512(utc + k, _mm512_sub_epi64(u, sec));
    _mm512_storeu_si512(day + k, d);
    _mm512_storeu_si512(tod + k, _mm512_sub_epi64(t, sec));
  }
  return k;
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

template <bool PerRow, bool Masked>
void event_times_impl(const std::int64_t* __restrict wall, const std::int64_t* __restrict src_offs,
                      std::int64_t src_off, const std::uint8_t* __restrict valid, std::size_t n, const Zone& standard,
                      std::vector<std::int64_t>& utc, std::vector<std::int64_t>& day, std::vector<std::int64_t>& tod,
                      bool vector) {
  // The zone span and the wall-clock day of the last row, kept in locals:
  // rows in calendar order stay in both for long runs, so the common row is
  // a subtraction, two range checks and the second-field split. Any step
  // that could overflow, and any row outside the span, takes the checked
  // path (which also moves the span).
  Zone::Span span{0, 0, 0};  // empty: the first row looks the zone up
  std::int64_t lo = 0, hi = 0, zoff = 0;
  std::uint64_t day_lo = 0;
  std::int64_t day_no = 0;
  bool have_day = false;
  (void)vector;
  // Rows are computed into small buffers and appended, so the outputs are
  // written once (a zero-filled vector would be one more pass over each).
  constexpr std::size_t kChunk = 512;
  alignas(64) std::int64_t ub[kChunk], db[kChunk], tb[kChunk];
  for (std::size_t c = 0; c < n; c += kChunk) {
    const std::size_t m = std::min(kChunk, n - c);
    const std::int64_t* const wc = wall + c;
    const std::int64_t* const oc = PerRow ? src_offs + c : nullptr;
    const std::uint8_t* const vc = Masked ? valid + c : nullptr;
    std::size_t scalar_until = 0;  // rows before this index go one by one
    for (std::size_t i = 0; i < m; ++i) {
#ifdef QUORIN_EVENT_TIMES_AVX512
      if (vector && i >= scalar_until && i + 8 <= m) {
        std::size_t run = m - i;
        if constexpr (Masked) {  // only rows that are all present
          std::size_t k = 0;
          for (; k + 8 <= run; k += 8) {
            std::uint64_t v8;
            std::memcpy(&v8, vc + i + k, 8);
            if (v8 != 0x0101010101010101ull) break;
          }
          run = k;
        }
        const std::size_t done = run < 8 ? 0
                                         : event_times_x8<PerRow>(wc + i, PerRow ? oc + i : nullptr, src_off, lo, hi,
                                                                  zoff, ub + i, db + i, tb + i, run);
        i += done;
        if (i >= m) break;
        scalar_until = i + 8;  // a span change or a gap: these eight one by one
      }
#endif
      if constexpr (Masked)
        if (!vc[i]) {
          ub[i] = db[i] = tb[i] = 0;
          continue;
        }
      const std::int64_t wl = wc[i], off = PerRow ? oc[i] : src_off;
      std::int64_t u, w;
      const bool bad = __builtin_sub_overflow(wl, off, &u) | (u < lo) | (u >= hi) |
                       __builtin_add_overflow(u, zoff, &w) |
                       (u < std::numeric_limits<std::int64_t>::min() + 60 * kNanosPerSecond);
      if (bad) [[unlikely]] {
        event_time_checked(wl, off, span, standard, ub[i], db[i], tb[i]);
        // The vector path needs the span's offset away from the range ends.
        const bool usable = span.offset > -(std::int64_t{1} << 61) && span.offset < (std::int64_t{1} << 61);
        lo = usable ? span.lo : 0, hi = usable ? span.hi : 0, zoff = span.offset;
        have_day = false;
        continue;
      }
      std::uint64_t into_day = static_cast<std::uint64_t>(w) - day_lo;
      if (!have_day || into_day >= static_cast<std::uint64_t>(kNanosPerDay)) [[unlikely]] {
        day_no = w / kNanosPerDay;
        if (w % kNanosPerDay < 0) --day_no;
        day_lo = static_cast<std::uint64_t>(day_no * kNanosPerDay);
        have_day = true;
        into_day = static_cast<std::uint64_t>(w) - day_lo;
      }
      // Whole seconds of the minute: into_day < 2^47, so the second count of
      // the day fits 32 bits.
      const auto secs = static_cast<std::uint32_t>(into_day / 1000000000u);
      const std::int64_t sec = static_cast<std::int64_t>(secs % 60u) * kNanosPerSecond;
      ub[i] = u - sec;
      db[i] = day_no;
      tb[i] = static_cast<std::int64_t>(into_day) - sec;
    }
    utc.insert(utc.end(), ub, ub + m);
    day.insert(day.end(), db, db + m);
    tod.insert(tod.end(), tb, tb + m);
  }
}

}  // namespace

void event_times(const std::int64_t* wall, const std::int64_t* src_offs, std::int64_t src_off,
                 const std::uint8_t* valid, std::size_t n, const Zone& standard, std::vector<std::int64_t>& utc_v,
                 std::vector<std::int64_t>& day_v, std::vector<std::int64_t>& tod_v, Isa isa) {
  for (auto* v : {&utc_v, &day_v, &tod_v}) v->clear(), v->reserve(n);
  const bool vector = usable(isa) == Isa::avx512;
  auto run = [&]<bool P, bool M>() {
    event_times_impl<P, M>(wall, src_offs, src_off, valid, n, standard, utc_v, day_v, tod_v, vector);
  };
  if (src_offs) {
    if (valid)
      run.template operator()<true, true>();
    else
      run.template operator()<true, false>();
  } else {
    if (valid)
      run.template operator()<false, true>();
    else
      run.template operator()<false, false>();
  }
}

}  // namespace quorin_data::kernels
