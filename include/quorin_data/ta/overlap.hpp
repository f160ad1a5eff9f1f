// Overlap indicators: moving averages and related.
//
// Every function takes its input series first (a Series, or a read-only view
// of the caller's float64 values: utils::SeriesRef), integer parameters as Values
// (absent by default; int, bool or float — a float is truncated toward zero;
// any other kind raises "Argument '...' has incorrect type (expected int, got
// ...)"), and extra keywords last. The extra keywords a function does not
// consume reach the fill step (ta/utils.hpp: `fill_method`, `fillna`).
//
// Window parameters: absent, 0 and negative values give the function's
// default; the test is made before the truncation, so 0.5 is a window of 0.
// A window of 0 cannot average anything: `sma`, `ema` and `wma` raise
// ValueError for it (`rma` runs with alpha 0.5 over the unseeded values;
// `dema`, `tema` and `hma` pass it on to inner calls, whose own defaulting
// turns it into their default).
//
// Every function runs: working defaults, verification of the inputs in
// argument order, offset, absent result when an input is rejected, the
// computation, shift by the offset, fills, name, category "overlap".
// Results never share memory with the inputs; inputs are never changed.
#pragma once

#include <optional>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/ta/utils.hpp"

namespace quorin_data::ta::overlap {

// Simple Moving Average (SMA). Reads (and keeps for the fill step) the extra
// keyword `min_periods`: present and non-zero gives the minimum count of
// present values per window, else `length`. The input must hold at least
// max(length, min_periods) rows. min_periods > length raises ValueError;
// negative min_periods raises ValueError. Name "SMA_<length>", default 10.
std::optional<Series> sma(const utils::SeriesRef& close, const Value& length = {}, const Value& offset = {},
                          const Kwargs& kwargs = {});

// Exponential Moving Average (EMA), alpha = 2 / (length + 1). Removes the
// extra keywords `adjust` (default false) and `sma` (SMA seed, default true),
// both read by truth. Name "EMA_<length>", default 10.
std::optional<Series> ema(const utils::SeriesRef& close, const Value& length = {}, const Value& offset = {},
                          const Kwargs& kwargs = {});

// Wilder's Moving Average (RMA): EMA with alpha = 1/length, always seeded by
// the SMA of the first `length` rows, never adjusted. Name "RMA_<length>".
std::optional<Series> rma(const utils::SeriesRef& close, const Value& length = {}, const Value& offset = {},
                          const Kwargs& kwargs = {});

// Weighted Moving Average (WMA) with linearly increasing weights: per
// complete window without missing values, the dot product of the window
// (oldest first) with 1..length (length..1 when `asc` is false) divided by
// length*(length+1)/2. `asc` is read by truth. Name "WMA_<length>".
std::optional<Series> wma(const utils::SeriesRef& close, const Value& length = {}, const Value& asc = true,
                          const Value& offset = {}, const Kwargs& kwargs = {});

// Double Exponential Moving Average (DEMA): 2*EMA1 - EMA2 with EMA2 the EMA
// of EMA1; every inner ema gets its own copy of all extra keywords.
std::optional<Series> dema(const utils::SeriesRef& close, const Value& length = {}, const Value& offset = {},
                           const Kwargs& kwargs = {});

// Triple Exponential Moving Average (TEMA): (3*EMA1 - 3*EMA2) + EMA3.
std::optional<Series> tema(const utils::SeriesRef& close, const Value& length = {}, const Value& offset = {},
                           const Kwargs& kwargs = {});

// Hull Moving Average (HMA): WMA(2*WMA(n/2) - WMA(n), sqrt(n)), default 9.
// An inner wma that is absent (its defaulted window longer than the input)
// raises ValueError naming that average.
std::optional<Series> hma(const utils::SeriesRef& close, const Value& length = {}, const Value& offset = {},
                          const Kwargs& kwargs = {});

// Typical Price: (High + Low + Close) / 3. Name "HLC3".
std::optional<Series> hlc3(const utils::SeriesRef& high, const utils::SeriesRef& low, const utils::SeriesRef& close,
                           const Value& offset = {}, const Kwargs& kwargs = {});

// Volume Weighted Average Price (VWAP): running sum of typical price x volume
// over running sum of volume, from the first row (missing terms are skipped;
// the division is unguarded: 0/0 is missing, x/0 infinite). `anchor` must be
// text or absent and does not change the result. Name "VWAP".
std::optional<Series> vwap(const utils::SeriesRef& high, const utils::SeriesRef& low, const utils::SeriesRef& close,
                           const utils::SeriesRef& volume, const Value& anchor = {},
                           const Value& offset = {}, const Kwargs& kwargs = {});

// Dispatch to a moving-average function by name (sma, ema, wma, rma, dema,
// tema, hma; case-insensitive; any other name selects sma). `mode` must be
// text. Keywords named like a parameter of the chosen function (`length`,
// `offset`, and `asc` for wma) go to that parameter, the rest to its extra
// keywords. The chosen function's result is returned unchanged.
std::optional<Series> ma(const Value& mode, const utils::SeriesRef& source, const Kwargs& kwargs = {});

}  // namespace quorin_data::ta::overlap
