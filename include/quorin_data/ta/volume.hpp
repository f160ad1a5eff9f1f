// Volume indicators: OBV, A/D Line, A/D Oscillator, Chaikin Money Flow.
//
// Parameters and the step frame are those of ta/overlap.hpp; the category of
// every result is "volume". Inputs are aligned on their index labels.
#pragma once

#include <optional>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/core/value.hpp"
#include "quorin_data/ta/utils.hpp"

namespace quorin_data::ta::volume {

// On-Balance Volume (OBV): running sum of sign(close change) x volume (the
// first row counts as a rise). A missing term leaves its row missing and adds
// nothing. Name "OBV".
std::optional<Series> obv(const utils::SeriesRef& close, const utils::SeriesRef& volume, const Value& offset = {},
                          const Kwargs& kwargs = {});

// Accumulation/Distribution Line (AD): running sum of clv x volume with
// clv = ((close - low) - (high - close)) / non_zero_range(high, low).
std::optional<Series> ad(const utils::SeriesRef& high, const utils::SeriesRef& low, const utils::SeriesRef& close,
                         const utils::SeriesRef& volume, const Value& offset = {}, const Kwargs& kwargs = {});

// Chaikin A/D Oscillator: EMA(fast) - EMA(slow) of AD line (defaults 3 and
// 10, the given order kept). The inner ad gets no offset and no keywords.
// When the AD line is shorter than a window, ValueError names the average.
std::optional<Series> adosc(const utils::SeriesRef& high, const utils::SeriesRef& low, const utils::SeriesRef& close,
                            const utils::SeriesRef& volume, const Value& fast = {}, const Value& slow = {},
                            const Value& offset = {}, const Kwargs& kwargs = {});

// Chaikin Money Flow (CMF): rolling sum of clv x volume over rolling sum of
// volume (window `length`, default 20; a window holding a missing value is
// missing; unguarded division). Every input needs `length` rows.
std::optional<Series> cmf(const utils::SeriesRef& high, const utils::SeriesRef& low, const utils::SeriesRef& close,
                          const utils::SeriesRef& volume, const Value& length = {}, const Value& offset = {},
                          const Kwargs& kwargs = {});

}  // namespace quorin_data::ta::volume
