// Value serialization: exact round trips of every kind and safe failure on
// damaged input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/serialize.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

Value round(const Value& v) {
  const auto b = serialize(v);
  return deserialize(b.data(), b.size(), "rt");
}

Frame sample_frame() {
  Frame f;
  f.add_column("f", Column::floats({1.5, kNaN, -0.0}));
  f.add_column("i", Column::ints({1, -9223372036854775807LL - 1, 9223372036854775807LL}, {1, 0, 1}));
  f.add_column("b", Column::bools({1, 0, 1}));
  f.add_column("t", Column::texts({"BBG000B9XRY4", "", std::string("a\0b", 3)}, {1, 0, 1}));
  f.add_column("d", Column::dates({0, -1, 19000}));
  f.add_column("ts", Column::timestamps({1, 2, 3}, "America/New_York", {1, 1, 0}));
  f.add_column("t", Column::texts({"dup", "name", "ok"}));
  Index idx = Index::texts({"x", "y", "z"});
  idx.name = "ID";
  f.set_index(idx);
  return f;
}

Value sample_value() {
  Bytes buf;
  buf.data = {0, 1, 2, 255};
  buf.pos = 3;
  Bytes plain;
  plain.data = {9};
  plain.is_buffer = false;
  Series s(Column::floats({1, 2}), Index::ints({10, 20}), "close");
  s.category = "overlap";
  Dict d;
  d.emplace_back(Value(1), Value("one"));
  d.emplace_back(Value(List{Value(1), Value()}), Value(Date{-5}));
  d.emplace_back(Value("z"), Value(sample_frame()));
  return Value(List{Value(), Value(true), Value(false), Value(-7), Value(3.25), Value("text"), Value(buf),
                    Value(plain), Value(std::move(d)), Value(Date{19999}), Value(Timestamp{-5, "UTC"}),
                    Value(Timestamp{123456789, ""}), Value(std::move(s)), Value(List{})});
}

template <class F>
std::string format_error(F f) {
  try {
    f();
  } catch (const FormatError& e) {
    EXPECT_EQ(e.source(), "src");
    EXPECT_EQ(e.format(), "pickle");
    EXPECT_NE(e.place().find("offset "), std::string::npos);
    return e.what();
  }
  ADD_FAILURE() << "no FormatError";
  return {};
}

void put_u64(std::vector<std::uint8_t>& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

TEST(Serialize, ScalarsRoundTripExactly) {
  for (const Value& v : {Value(), Value(true), Value(false), Value(0), Value(-1), Value(9223372036854775807LL),
                         Value(0.1), Value(-0.0), Value(std::numeric_limits<double>::infinity()), Value(""),
                         Value(std::string(1000, 'q')), Value(Date{-719468}), Value(Timestamp{-1, "Asia/Tokyo"})}) {
    Value r = round(v);
    EXPECT_EQ(r, v) << v.repr();
    EXPECT_EQ(r.type_name(), v.type_name());
  }
  // Sign of zero and NaN survive.
  EXPECT_TRUE(std::signbit(round(Value(-0.0)).as_float()));
  EXPECT_TRUE(std::isnan(round(Value(kNaN)).as_float()));
}

TEST(Serialize, NestedValuesAndTablesRoundTrip) {
  const Value v = sample_value();
  const Value r = round(v);
  EXPECT_EQ(r, v);
  const List& l = r.as_list();
  EXPECT_TRUE(l[6].is_buffer());
  EXPECT_EQ(l[6].as_bytes().pos, 3u);
  EXPECT_FALSE(l[7].is_buffer());
  EXPECT_EQ(l[12].as_series().category, "overlap");
  EXPECT_EQ(l[12].as_series().index.kind(), Index::Kind::Int);
  const Frame& f = l[8].as_dict()[2].second.as_frame();
  EXPECT_EQ(f.index().name, "ID");
  EXPECT_EQ(f.index().kind(), Index::Kind::Text);
  EXPECT_EQ(f.names(), sample_frame().names());
  EXPECT_EQ(f.column_at(5).tz(), "America/New_York");
  EXPECT_TRUE(f.column_at(1).is_missing(1));
  EXPECT_EQ(f.column_at(3).text(2), std::string("a\0b", 3));
  // Serializing again gives the same bytes.
  EXPECT_EQ(serialize(r), serialize(v));
}

TEST(Serialize, IndexKindsKeepTheirShape) {
  Frame f;
  f.add_column("a", Column::ints({1, 2, 3}));
  f.set_index(Index::range(3, 5));
  Frame r = round(Value(f)).as_frame();
  EXPECT_EQ(r.index().kind(), Index::Kind::Range);
  EXPECT_EQ(r.index().int_label(0), 5);
  Frame empty;
  EXPECT_EQ(round(Value(empty)).as_frame().num_columns(), 0u);
  Frame no_cols;
  no_cols.set_index(Index::ints({4, 2}));
  EXPECT_EQ(round(Value(no_cols)).as_frame().index(), Index::ints({4, 2}));
}

TEST(Serialize, TruncationAtEveryByteFails) {
  const auto b = serialize(sample_value());
  for (std::size_t n = 0; n < b.size(); ++n) format_error([&] { deserialize(b.data(), n, "src"); });
}

// Python's own pickles, told apart from ours whatever their protocol.
TEST(Serialize, PythonPicklesOfEveryProtocolAreRecognised) {
  const auto is = [](const std::string& b) {
    return is_python_pickle(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
  };
  using namespace std::string_literals;
  EXPECT_TRUE(is("(dp0\nVa\np1\nI1\ns."s));                                    // protocol 0
  EXPECT_TRUE(is("(lp0\nF1.5\naVx\np1\naNaI01\na."s));
  EXPECT_TRUE(is("}q\x00X\x01\x00\x00\x00" "aq\x01K\x01s."s));                   // protocol 1
  EXPECT_TRUE(is("\x80\x04}\x94."s));     // protocol 4
  EXPECT_FALSE(is("(dp0\nVa\np1\nI1\ns"s));                                    // no STOP
  EXPECT_FALSE(is("(dp0\nVa\np1\nI1\ns.x"s));                                  // bytes after it
  EXPECT_FALSE(is("}q\x00X\x09\x00\x00\x00" "aq\x01K\x01s."s));                  // length past the end
  EXPECT_FALSE(is("a,b\n1,2\n"s));
  EXPECT_FALSE(is("."s));
  const auto ours = serialize(Value("(dp0\n."));
  EXPECT_FALSE(is_python_pickle(ours.data(), ours.size()));
}

TEST(Serialize, BadHeaderUnknownTagAndTrailingBytes) {
  auto b = serialize(Value(5));
  auto bad = b;
  bad[0] = 'X';
  EXPECT_NE(format_error([&] { deserialize(bad.data(), bad.size(), "src"); }).find("bad magic"), std::string::npos);
  bad = b;
  bad[4] = 2;
  EXPECT_NE(format_error([&] { deserialize(bad.data(), bad.size(), "src"); }).find("unsupported version"),
            std::string::npos);
  bad = b;
  bad[5] = 200;
  auto m = format_error([&] { deserialize(bad.data(), bad.size(), "src"); });
  EXPECT_NE(m.find("unknown tag 200"), std::string::npos) << m;
  EXPECT_NE(m.find("offset 5"), std::string::npos) << m;
  bad = b;
  bad.push_back(0);
  m = format_error([&] { deserialize(bad.data(), bad.size(), "src"); });
  EXPECT_NE(m.find("1 trailing bytes"), std::string::npos) << m;
  EXPECT_NE(m.find("offset 14"), std::string::npos) << m;
}

TEST(Serialize, LyingLengthsAreRejectedBeforeAllocating) {
  // The length fields of a string, a list, bytes and a column are set to
  // huge values; each must fail with a clear error, not allocate.
  auto s = serialize(Value("abc"));
  put_u64(s, 6, 0xffffffffffffffffULL);
  EXPECT_NE(format_error([&] { deserialize(s.data(), s.size(), "src"); }).find("does not fit"), std::string::npos);

  auto l = serialize(Value(List{Value(1)}));
  put_u64(l, 6, 1ULL << 60);
  format_error([&] { deserialize(l.data(), l.size(), "src"); });

  Bytes by;
  by.data = {1, 2};
  auto bb = serialize(Value(by));
  put_u64(bb, 15, 1ULL << 40);
  format_error([&] { deserialize(bb.data(), bb.size(), "src"); });

  Frame f;
  f.add_column("a", Column::floats({1, 2}));
  auto fb = serialize(Value(f));
  // tag(1) + index: kind(1) name(8) n(8) start(8) = offset 31 holds ncols.
  auto lie = fb;
  put_u64(lie, 5 + 1 + 25, 1ULL << 50);
  format_error([&] { deserialize(lie.data(), lie.size(), "src"); });
  // Column length different from the index length.
  lie = fb;
  put_u64(lie, 5 + 1 + 1 + 8, 3);  // range index of 3 rows
  auto m = format_error([&] { deserialize(lie.data(), lie.size(), "src"); });
  EXPECT_NE(m.find("has 2 rows, the index 3"), std::string::npos) << m;
}

TEST(Serialize, DepthIsLimited) {
  Value v = Value(1);
  for (int i = 0; i < 64; ++i) v = Value(List{v});
  EXPECT_EQ(round(v), v);
  Value deeper = Value(List{v});
  EXPECT_THROW(serialize(deeper), ValueError);
  // A hand-made encoding nested 100 levels deep.
  std::vector<std::uint8_t> b = {'Q', 'D', 'P', 'K', 1};
  for (int i = 0; i < 100; ++i) {
    b.push_back(6);
    for (int k = 0; k < 8; ++k) b.push_back(k == 0 ? 1 : 0);
  }
  b.push_back(0);
  auto m = format_error([&] { deserialize(b.data(), b.size(), "src"); });
  EXPECT_NE(m.find("nesting deeper than 64"), std::string::npos) << m;
}

TEST(Serialize, RowCountsAndDatesTheBytesCannotHoldAreRefused) {
  // A frame without columns: only its declared row count says how many rows.
  Frame no_cols;
  no_cols.set_index(Index::range(kMaxRowsWithoutColumns));
  EXPECT_EQ(round(Value(no_cols)).as_frame().num_rows(), kMaxRowsWithoutColumns);
  no_cols.set_index(Index::range(std::size_t{1} << 48));
  const auto huge = serialize(Value(no_cols));
  EXPECT_NE(format_error([&] { deserialize(huge.data(), huge.size(), "src"); }).find("without columns"),
            std::string::npos);

  // A date column value outside 32 bits, as the scalar form refuses it.
  Frame f;
  f.add_column("d", Column::dates({19000}));
  auto b = serialize(Value(f));
  put_u64(b, b.size() - 8, (std::uint64_t{1} << 32) + 19000);
  EXPECT_NE(format_error([&] { deserialize(b.data(), b.size(), "src"); }).find("date value 4294986296"),
            std::string::npos);
}
