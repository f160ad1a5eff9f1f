// Indicators by group: each group's values are the single function's over
// that group's rows, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "helpers.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/ta/grouped.hpp"

namespace {

using namespace ta_test;
namespace gr = quorin_data::ta::grouped;
using quorin_data::Column;
using quorin_data::Frame;

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

const std::vector<std::string> kHLCV = {"high", "low", "close", "volume"};

// Every indicator, with parameters that make some groups too short.
gr::Spec every_indicator() {
  return {
      {"sma", "sma", {"close"}, {{"length", Value(5)}, {"min_periods", Value(2)}}},
      {"ema", "ema", {"close"}, {{"length", Value(4)}}},
      {"ema_adj", "ema", {"close"}, {{"length", Value(3)}, {"adjust", Value(true)}, {"sma", Value(false)}}},
      {"rma", "rma", {"close"}, {{"length", Value(3)}, {"offset", Value(1)}}},
      {"wma", "wma", {"close"}, {{"length", Value(4)}, {"asc", Value(false)}}},
      {"dema", "dema", {"close"}, {{"length", Value(3)}, {"fillna", Value(0.0)}}},
      {"tema", "tema", {"close"}, {{"length", Value(2)}}},
      {"hma", "hma", {"close"}, {{"length", Value(4)}}},
      {"hma1", "hma", {"close"}, {{"length", Value(1)}}},  // inner window 10
      {"hlc3", "hlc3", {"high", "low", "close"}, {}},
      {"vwap", "vwap", kHLCV, {{"anchor", Value("D")}}},
      {"ma", "ma", {"close"}, {{"mode", Value("WMA")}, {"length", Value(3)}}},
      {"obv", "obv", {"close", "volume"}, {{"offset", Value(-1)}}},
      {"ad", "ad", kHLCV, {}},
      {"adosc", "adosc", kHLCV, {{"fast", Value(2)}, {"slow", Value(5)}}},
      {"cmf", "cmf", kHLCV, {{"length", Value(3)}}},
  };
}

TEST(Grouped, EachGroupEqualsTheSingleFunctionBitForBit) {
  // Groups of 0 (code 2 unused), 1, 3, 9 and 40 rows, rows interleaved and
  // shuffled, a few rows in no group, missing values inside groups.
  const std::vector<std::size_t> sizes = {40, 3, 0, 9, 1};
  std::vector<std::int64_t> codes;
  for (std::size_t g = 0; g < sizes.size(); ++g) codes.insert(codes.end(), sizes[g], static_cast<std::int64_t>(g));
  codes.insert(codes.end(), 4, -1);
  std::mt19937 rng(7);
  std::shuffle(codes.begin(), codes.end(), rng);
  const std::size_t n = codes.size();
  std::vector<double> when(n);  // the order: a permutation of 0..n-1 as times
  std::iota(when.begin(), when.end(), 0.0);
  std::shuffle(when.begin(), when.end(), rng);
  std::vector<double> close = prices(n), high(n), low(n), volume(n);
  for (std::size_t i = 0; i < n; ++i) {
    high[i] = close[i] + 1 + static_cast<double>(i % 3);
    low[i] = close[i] - static_cast<double>(i % 2);  // some bars have high == low + 1, some low == close
    volume[i] = static_cast<double>(100 + (i * 37) % 50);
  }
  close[5] = close[17] = NaN;
  volume[23] = NaN;

  const gr::Plan plan(every_indicator());
  std::vector<const double*> cols;
  for (const std::string& c : plan.columns())
    cols.push_back(c == "close" ? close.data() : c == "high" ? high.data() : c == "low" ? low.data() : volume.data());
  const gr::OrderKey key{nullptr, when.data()};
  const gr::Groups groups = gr::group_rows(codes.data(), n, &key);
  ASSERT_EQ(groups.num_groups(), sizes.size());
  const auto got = gr::run(plan, cols, n, groups, 1);
  const auto spread = gr::run(plan, cols, n, groups, 3);
  for (std::size_t e = 0; e < got.size(); ++e)
    EXPECT_EQ(std::memcmp(spread[e].data(), got[e].data(), n * sizeof(double)), 0) << "three threads";

  for (std::size_t e = 0; e < plan.spec().size(); ++e) {
    const std::string& out = plan.spec()[e].output;
    for (std::size_t g = 0; g < sizes.size(); ++g) {
      // The group's rows in time order, gathered by hand.
      std::vector<std::size_t> rows;
      for (std::size_t i = 0; i < n; ++i)
        if (codes[i] == static_cast<std::int64_t>(g)) rows.push_back(i);
      std::sort(rows.begin(), rows.end(), [&](auto a, auto b) { return when[a] < when[b]; });
      std::vector<std::vector<double>> in;
      for (std::size_t c : plan.bound()[e].inputs) {
        in.emplace_back();
        for (std::size_t r : rows) in.back().push_back(cols[c][r]);
      }
      std::vector<const double*> ptrs;
      for (auto& v : in) ptrs.push_back(v.data());
      std::optional<Series> single;
      try {
        single = plan.call(e, ptrs, rows.size());
      } catch (const quorin_data::ValueError&) {
        // adosc and hma raise for an input shorter than an inner window.
      }
      for (std::size_t k = 0; k < rows.size(); ++k) {
        const double want = single ? single->f64()[k] : NaN;
        EXPECT_TRUE(same_bits(got[e][rows[k]], want))
            << out << ", group " << g << " (" << rows.size() << " rows), row " << k << ": got "
            << got[e][rows[k]] << ", want " << want;
      }
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (codes[i] < 0) {
        EXPECT_TRUE(std::isnan(got[e][i])) << out << ": a row in no group";
      }
    }
  }
  // The big group is long enough for everything to give values.
  for (std::size_t e = 0; e < plan.spec().size(); ++e)
    EXPECT_TRUE(std::any_of(got[e].begin(), got[e].end(), [](double v) { return !std::isnan(v); }))
        << plan.spec()[e].output;
}

TEST(Grouped, BadSpecsFailBeforeAnyWork) {
  auto fails = [](gr::Entry e, const char* part) {
    try {
      gr::Plan plan({std::move(e)});
      ADD_FAILURE() << "no error, wanted one with: " << part;
    } catch (const quorin_data::Error& err) {
      EXPECT_NE(std::string(err.what()).find(part), std::string::npos) << err.what();
    }
  };
  fails({"x", "macd", {"close"}, {}}, "unknown indicator 'macd'");
  fails({"x", "cmf", {"close"}, {}}, "takes 4 input columns (high, low, close, volume), got 1");
  fails({"x", "ema", {"close"}, {{"length", Value("20")}}},
        "spec entry 'x' (ema): Argument 'length' has incorrect type (expected int, got str)");
  fails({"x", "sma", {"close"}, {{"length", Value(5)}, {"min_periods", Value(9)}}}, "min_periods 9");
  fails({"x", "ma", {"close"}, {{"mode", Value(3)}}}, "Argument 'mode'");
  fails({"x", "sma", {"close"}, {{"length", Value(0.5)}}}, "truncates to 0");
  fails({"x", "vwap", kHLCV, {{"anchor", Value(1)}}}, "Argument 'anchor'");
  EXPECT_THROW(gr::Plan({{"a", "sma", {"close"}, {}}, {"a", "ema", {"close"}, {}}}), quorin_data::ValueError);
}

TEST(Grouped, FrameBySeveralColumnsWithOrder) {
  // Two event windows of one key and one of another, rows unsorted in time,
  // a row without a key.
  Frame f;
  f.add_column("EVENT_NAME", Column::texts({"cpi", "cpi", "nfp", "cpi", "cpi", "nfp", "cpi", "cpi"}));
  f.add_column("key", Column::texts({"spx", "spx", "spx", "eur", "spx", "spx", "", "spx"}, {1, 1, 1, 1, 1, 1, 0, 1}));
  f.add_column("t", Column::timestamps({3, 1, 2, 1, 2, 1, 0, 4}));
  f.add_column("close", Column::ints({13, 11, 22, 5, 12, 21, 9, 14}));
  const gr::Spec spec = {{"s", "sma", {"close"}, {{"length", Value(2)}}}};
  Frame r = gr::compute(f, spec, {"EVENT_NAME", "key"}, "t");
  ASSERT_EQ(r.names().back(), "s");
  ASSERT_EQ(r.num_columns(), 5u);
  // cpi/spx in time order: 11 (t1), 12 (t2), 13 (t3), 14 (t4); nfp/spx: 21, 22.
  EXPECT_TRUE(Near(r.column("s").f64(), {12.5, NaN, 21.5, NaN, 11.5, NaN, NaN, 13.5}));
  EXPECT_THROW(gr::compute(f, {{"close", "sma", {"close"}, {}}}, {"key"}), quorin_data::ValueError);
  EXPECT_THROW(gr::compute(f, spec, {"EVENT_NAME"}, "key"), quorin_data::TypeError);
  EXPECT_THROW(gr::compute(f, {{"s", "sma", {"key"}, {}}}, {"EVENT_NAME"}), quorin_data::TypeError);
  EXPECT_THROW(gr::compute(f, spec, {"nope"}), quorin_data::KeyError);
}

}  // namespace
