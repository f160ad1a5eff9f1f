#include <gtest/gtest.h>

#include <charconv>
#include <cstdlib>
#include <random>

#include "quorin_data/core.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;

TEST(Errors, ArgumentTypeMessageFillsAndTruncatesAt200) {
  EXPECT_EQ(argument_type_message("length", "int", "str"),
            "Argument 'length' has incorrect type (expected int, got str)");
  const std::string long_name(250, 'x');
  const std::string msg = argument_type_message(long_name, "int", "str");
  EXPECT_EQ(msg, "Argument '" + std::string(200, 'x') + "' has incorrect type (expected int, got str)");
  try {
    throw_argument_type("mode", "str", "NoneType");
    FAIL();
  } catch (const TypeError& e) {
    EXPECT_EQ(e.kind(), ErrorKind::Type);
    EXPECT_STREQ(e.what(), "Argument 'mode' has incorrect type (expected str, got NoneType)");
  }
}

TEST(Errors, StoreAndFormatErrorsCarryTheirFields) {
  StoreError e("NoSuchKey", "The specified key does not exist.", 404, "REQ1", "GetObject", "b/k");
  EXPECT_EQ(e.code(), "NoSuchKey");
  EXPECT_EQ(e.http_status(), 404);
  EXPECT_EQ(e.request_id(), "REQ1");
  EXPECT_NE(std::string(e.what()).find("NoSuchKey"), std::string::npos);
  EXPECT_NE(std::string(e.what()).find("404"), std::string::npos);
  FormatError f("gzip", "s3://b/k.csv.gz", "byte 10", "truncated stream");
  EXPECT_EQ(std::string(f.what()), "gzip error in s3://b/k.csv.gz at byte 10: truncated stream");
}

TEST(Dates, CivilRoundTripOverFourCenturies) {
  for (std::int32_t d = days_from_civil(1900, 1, 1); d < days_from_civil(2300, 1, 1); d += 17) {
    int y;
    unsigned m, dd;
    civil_from_days(d, y, m, dd);
    ASSERT_EQ(days_from_civil(y, m, dd), d);
  }
  EXPECT_EQ(days_from_civil(1970, 1, 1), 0);
  EXPECT_EQ(weekday_monday0(days_from_civil(2024, 1, 5)), 4);  // a Friday
  EXPECT_EQ(weekday_monday0(days_from_civil(1969, 12, 29)), 0);  // a Monday before the epoch
}

TEST(Dates, StrictYyyymmdd) {
  EXPECT_EQ(format_yyyymmdd(parse_yyyymmdd("20240229")), "20240229");
  for (const char* bad : {"2024-01-05", "2023022", "20230229", "2024013a", "202401055", ""}) {
    try {
      parse_yyyymmdd(bad);
      ADD_FAILURE() << bad;
    } catch (const ValueError& e) {
      EXPECT_EQ(std::string(e.what()),
                std::string("time data '") + bad + "' does not match format '%Y%m%d'");
    }
  }
}

TEST(Dates, FlexibleDateTimeTexts) {
  const std::int64_t day = static_cast<std::int64_t>(days_from_civil(2024, 1, 31)) * kNanosPerDay;
  EXPECT_EQ(parse_datetime_ns("2024-01-31"), day);
  EXPECT_EQ(parse_datetime_ns("20240131"), day);
  EXPECT_EQ(parse_datetime_ns("2024/01/31"), day);
  EXPECT_EQ(parse_datetime_ns("2024-01-31 18:00"), day + 18 * 3600 * kNanosPerSecond);
  EXPECT_EQ(parse_datetime_ns("2024-01-31T18:00:30.5"),
            day + (18 * 3600 + 30) * kNanosPerSecond + kNanosPerSecond / 2);
  EXPECT_EQ(parse_datetime_ns("2024-01-31T18:00:00+01:00"), day + 17 * 3600 * kNanosPerSecond);
  EXPECT_EQ(date_of_ns(day + 1).days, days_from_civil(2024, 1, 31));
  EXPECT_EQ(date_of_ns(-1).days, -1);
  for (const char* bad : {"2024-13-01", "2024-01-31 25:00", "yesterday", "2024-01-3", "2024-01/31",
                          "1012-05-01", "2262-04-12", "1677-09-20", "2262-04-11T23:59:59"})
    EXPECT_FALSE(try_parse_datetime_ns(bad).has_value()) << bad;
  EXPECT_THROW(parse_datetime_ns("nope"), ValueError);
  EXPECT_TRUE(try_parse_datetime_ns("2262-01-01"));
  EXPECT_TRUE(try_parse_datetime_ns("1677-09-22"));
  EXPECT_EQ(format_timestamp_ns(day + 1500 * 1000000LL), "2024-01-31 00:00:01.500000");
}

TEST(Numbers, FormatDoubleReadsBackExactly) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1e6, 1e6);
  for (int i = 0; i < 20000; ++i) {
    double x = u(rng) * std::pow(10.0, static_cast<int>(rng() % 40) - 20);
    std::string s = format_double(x);
    double back = 0;
    std::from_chars(s.data(), s.data() + s.size(), back);
    ASSERT_EQ(back, x) << s;
  }
  // A decimal of at most 15 digits is the shortest text of its double: up to
  // eight decimals and below 1e7, and past either.
  for (int i = 0; i < 200000; ++i) {
    std::string t = rng() % 2 ? "-" : "";
    const int frac = 1 + static_cast<int>(rng() % 10);
    t += std::to_string(rng() % (i % 3 == 0 ? 10 : 100000000)) + ".";
    for (int k = 0; k < frac; ++k) t += static_cast<char>('0' + (k + 1 == frac ? 1 + rng() % 9 : rng() % 10));
    double x = 0;
    std::from_chars(t.data(), t.data() + t.size(), x);
    if (std::fabs(x) < 1e-4 || t.size() - (t[0] == '-') - 1 > 15) continue;
    ASSERT_EQ(format_double(x), t);
  }
  EXPECT_EQ(format_double(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(format_double(9999999.99999999), "9999999.99999999");
  EXPECT_EQ(format_double(1e7), "10000000.0");
  EXPECT_EQ(format_double(1.0), "1.0");
  EXPECT_EQ(format_double(0.1), "0.1");
  EXPECT_EQ(format_double(-2.5e-300), "-2.5e-300");
  // Positional from 1e-4 up to 1e16, scientific outside, as the research
  // language prints floats.
  EXPECT_EQ(format_double(100000.0), "100000.0");
  EXPECT_EQ(format_double(0.0001), "0.0001");
  EXPECT_EQ(format_double(-0.00012345), "-0.00012345");
  EXPECT_EQ(format_double(9.9999e-05), "9.9999e-05");
  EXPECT_EQ(format_double(1e15), "1000000000000000.0");
  EXPECT_EQ(format_double(1234567890123456.8), "1234567890123456.8");
  EXPECT_EQ(format_double(1e16), "1e+16");
  EXPECT_EQ(format_double(-1.5e100), "-1.5e+100");
  EXPECT_EQ(format_double(5e-324), "5e-324");
  EXPECT_EQ(format_double(-0.0), "-0.0");
  EXPECT_EQ(format_double(123.456), "123.456");
  EXPECT_EQ(format_double_shortest(1.0), "1");
  EXPECT_EQ(format_double(kNaN), "nan");
  EXPECT_EQ(format_double(-INFINITY), "-inf");
}

TEST(Frame, TakeKeepsLabelsAndResetRenumbers) {
  Frame f;
  f.add_column("a", Column::ints({10, 20, 30, 40}));
  f.add_column("b", Column::texts({"w", "x", "", "z"}, {1, 1, 0, 1}));
  Frame t = f.take({3, 1});
  EXPECT_EQ(t.index().int_label(0), 3);
  EXPECT_EQ(t.index().int_label(1), 1);
  EXPECT_EQ(ints(t.column("a")), (std::vector<std::int64_t>{40, 20}));
  EXPECT_EQ(t.reset_index().index().int_label(0), 0);
  EXPECT_TRUE(f.column("b").is_missing(2));
  EXPECT_THROW(f.take({4}), IndexError);
  EXPECT_THROW(f.add_column("c", Column::floats({1.0})), ValueError);
  EXPECT_THROW(f.column("nope"), KeyError);
}

TEST(Frame, ConcatPromotesTypesAndKeepsLabels) {
  Frame a, b;
  a.add_column("n", Column::ints({1, 2}));
  a.add_column("s", Column::texts({"x", "y"}));
  b.add_column("n", Column::floats({2.5}));
  b.add_column("s", Column::ints({7}));
  b.add_column("extra", Column::texts({"only b"}));
  b.set_index(Index::range(1, 2));
  Frame c = Frame::concat_rows({&a, &b});
  ASSERT_EQ(c.num_rows(), 3u);
  EXPECT_EQ(c.names(), (std::vector<std::string>{"n", "s", "extra"}));
  EXPECT_EQ(c.column("n").type(), DType::Float64);
  EXPECT_EQ(floats(c.column("n")), (std::vector<double>{1.0, 2.0, 2.5}));
  EXPECT_EQ(c.column("s").type(), DType::Text);
  EXPECT_EQ(c.column("s").text(2), "7");
  EXPECT_TRUE(c.column("extra").is_missing(0));
  EXPECT_FALSE(c.column("extra").is_missing(2));
  EXPECT_TRUE(c.index().is_default_range());
}

TEST(Frame, ConcatOfIntsWithMissingKeepsExactIntegers) {
  Column a = Column::ints({9007199254740993LL});
  Column b = Column::ints({0}, {0});
  Column c = Column::concat({&a, &b});
  EXPECT_EQ(c.type(), DType::Int64);
  EXPECT_EQ(c.integer(0), 9007199254740993LL);  // not representable as a double
  EXPECT_TRUE(c.is_missing(1));
  EXPECT_FALSE(c.is_missing(0));
}

TEST(Frame, TimestampZonesMustAgreeToConcat) {
  Column a = Column::timestamps({0}, "UTC"), b = Column::timestamps({1}, "");
  EXPECT_THROW(Column::concat({&a, &b}), ValueError);
}

TEST(Value, TypeNamesTruthAndEquality) {
  EXPECT_EQ(Value().type_name(), "NoneType");
  EXPECT_EQ(Value(3).type_name(), "int");
  EXPECT_EQ(Value(3.5).type_name(), "float");
  EXPECT_EQ(Value("x").type_name(), "str");
  EXPECT_EQ(Value(Bytes{}).type_name(), "BytesIO");
  EXPECT_EQ(Value(List{}).type_name(), "list");
  EXPECT_EQ(Value(Frame()).type_name(), "DataFrame");
  EXPECT_FALSE(Value(0).truthy());
  EXPECT_FALSE(Value("").truthy());
  EXPECT_TRUE(Value(List{Value(1)}).truthy());
  EXPECT_THROW(Value(Frame()).truthy(), ValueError);
  EXPECT_EQ(Value(List{1, "a", Dict{{"k", 2.0}}}), Value(List{1, "a", Dict{{"k", 2.0}}}));
  EXPECT_NE(Value(1), Value(1.0));
  EXPECT_EQ(Value(kNaN), Value(kNaN));
  EXPECT_THROW(Value("x").as_int(), TypeError);
}

TEST(Value, SharedBufferIsOneObject) {
  auto buf = std::make_shared<Bytes>();
  Value v = Value::shared_bytes(buf);
  buf->data = {1, 2, 3};
  EXPECT_EQ(v.as_bytes().data.size(), 3u);
}

// Long texts fill blocks from small ones to large aligned ones; a copy
// taken mid-fill goes on with a block of its own.
TEST(TextBuilder, LongTextsAcrossBlocksAndCopies) {
  auto text_of = [](std::size_t i) {
    std::string s = "text-" + std::to_string(i) + "-";
    s.append(13 + i % 200, static_cast<char>('a' + i % 26));
    return s;
  };
  const std::size_t n = 300000;  // about 34 MB of text: blocks up to 16 MB and past
  TextBuilder b;
  b.reserve(n);
  for (std::size_t i = 0; i < n / 2; ++i) b.append(text_of(i));
  TextBuilder copy = b;
  for (std::size_t i = n / 2; i < n; ++i) {
    b.append(text_of(i));
    copy.append(i % 3 ? text_of(n + i) : "short");
  }
  b.append_missing();
  const Column c = b.finish(), d = copy.finish();
  ASSERT_EQ(c.size(), n + 1);
  ASSERT_EQ(d.size(), n);
  EXPECT_GT(c.heap()->blocks.size(), 3u);
  for (std::size_t i = 0; i < n; ++i) {
    ASSERT_EQ(c.text(i), text_of(i)) << i;
    ASSERT_EQ(d.text(i), i < n / 2 ? text_of(i) : i % 3 ? text_of(n + i) : "short") << i;
  }
  EXPECT_TRUE(c.is_missing(n));
}

TEST(Kwargs, OrderSetAndPop) {
  Kwargs k{{"a", 1}, {"b", 2}};
  k.set("a", 5);
  k.set("c", true);
  ASSERT_EQ(k.size(), 3u);
  EXPECT_EQ(k.items()[0].first, "a");
  EXPECT_EQ(*k.find("a"), Value(5));
  auto b = k.pop("b");
  ASSERT_TRUE(b);
  EXPECT_EQ(*b, Value(2));
  EXPECT_FALSE(k.pop("b"));
  EXPECT_EQ(k.items()[1].first, "c");
}

TEST(Settings, ShowWarningsIsExactlyOne) {
  const char* old = std::getenv("SHOW_WARNINGS");
  std::string saved = old ? old : "";
  for (auto [text, expect] : std::vector<std::pair<const char*, bool>>{
           {"1", true}, {"true", false}, {"2", false}, {"yes", false}, {" 1", false}}) {
    setenv("SHOW_WARNINGS", text, 1);
    EXPECT_EQ(read_show_warnings(), expect) << text;
  }
  unsetenv("SHOW_WARNINGS");
  EXPECT_FALSE(read_show_warnings());
  if (old) setenv("SHOW_WARNINGS", saved.c_str(), 1);
}

TEST(Warnings, EachTextOncePerProcess) {
  std::vector<std::string> got;
  auto old = set_warning_handler([&](const std::string& t) { got.push_back(t); });
  reset_warning_registry();
  warn("'bql' is not installed.");
  warn("'bql' is not installed.");
  warn("'boto3' is not installed.");
  set_warning_handler(old);
  EXPECT_EQ(got, (std::vector<std::string>{"'bql' is not installed.", "'boto3' is not installed."}));
}

TEST(Frame, ConcatIndexesJoinRangesAndKeepOtherLabels) {
  Index a = Index::range(2), b = Index::range(3, 2), gap = Index::range(1, 9);
  Index joined = Index::concat({&a, &b});
  EXPECT_TRUE(joined.is_default_range());
  EXPECT_EQ(joined.size(), 5u);
  Index with_gap = Index::concat({&a, &gap});
  EXPECT_EQ(with_gap.kind(), Index::Kind::Int);
  EXPECT_EQ(with_gap.int_label(2), 9);
  Index t = Index::texts({"x"});
  Index mixed = Index::concat({&a, &t});
  EXPECT_EQ(mixed.kind(), Index::Kind::Text);
  EXPECT_EQ(mixed.text_label(1), "0" == mixed.text_label(0) ? "1" : "?");
  EXPECT_EQ(mixed.text_label(2), "x");
}

// Joining chunks by moving them must give exactly what the copying join gives,
// both when the chunks share their columns and types and when they do not.
TEST(Frame, MovingConcatMatchesCopyingConcat) {
  auto chunk = [](std::int64_t start, std::vector<std::int64_t> ids, std::vector<std::string> names,
                  bool float_ids) {
    Frame f;
    if (float_ids) {
      std::vector<double> d(ids.begin(), ids.end());
      f.add_column("id", Column::floats(d));
    } else {
      f.add_column("id", Column::ints(ids, {1, 0}));
    }
    f.add_column("name", Column::texts(names, {1, 1}));
    f.set_index(Index::range(ids.size(), start));
    return f;
  };
  for (bool mixed : {false, true}) {
    std::vector<Frame> parts{chunk(0, {1, 2}, {"a", "b"}, false), chunk(2, {3, 4}, {"c", "d"}, mixed)};
    std::vector<const Frame*> ptrs{&parts[0], &parts[1]};
    const Frame copied = Frame::concat_rows(ptrs);
    const Frame moved = Frame::concat_rows(std::move(parts));
    EXPECT_EQ(moved, copied) << "mixed=" << mixed;
    EXPECT_EQ(moved.num_rows(), 4u);
    EXPECT_TRUE(moved.index().is_default_range());
    EXPECT_EQ(moved.column("name").text(3), "d");
    EXPECT_TRUE(moved.column("id").is_missing(1));
  }
}
