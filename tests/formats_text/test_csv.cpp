// CSV: quoting, line ends, type inference, errors, chunked reading and the
// writer/reader round trip.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "support/column_values.hpp"

using namespace quorin_data;
using namespace quorin_data::formats;

namespace {

Frame csv(const std::string& s) { return read_csv(s, "mem.csv"); }

std::string csv_error(const std::string& s) {
  try {
    csv(s);
  } catch (const FormatError& e) {
    EXPECT_EQ(e.source(), "mem.csv");
    EXPECT_EQ(e.format(), "CSV");
    return e.what();
  }
  ADD_FAILURE() << "no FormatError for " << s;
  return {};
}

// A byte source over a string that hands out at most `step` bytes a call.
ByteReader string_reader(std::string s, std::size_t step) {
  auto data = std::make_shared<std::string>(std::move(s));
  auto pos = std::make_shared<std::size_t>(0);
  return [data, pos, step](char* out, std::size_t cap) {
    const std::size_t n = std::min({cap, step, data->size() - *pos});
    std::memcpy(out, data->data() + *pos, n);
    *pos += n;
    return n;
  };
}

std::vector<Frame> chunks(const std::string& s, std::size_t chunksize, std::size_t step) {
  CsvChunkReader r(string_reader(s, step), "chunks.csv", chunksize);
  std::vector<Frame> out;
  while (auto f = r.next()) out.push_back(std::move(*f));
  return out;
}

Frame concat(const std::vector<Frame>& parts) {
  std::vector<const Frame*> p;
  for (const auto& f : parts) p.push_back(&f);
  return Frame::concat_rows(p);
}

}  // namespace

TEST(CsvRead, QuotingAndLineEnds) {
  const Frame f = csv("name,note\r\n\"a,b\",\"say \"\"hi\"\"\"\r\n\"multi\nline\",plain\r\n\"\",x\n");
  ASSERT_EQ(f.num_rows(), 3u);
  const Column& name = f.column("name");
  EXPECT_EQ(name.type(), DType::Text);
  EXPECT_EQ(name.text(0), "a,b");
  EXPECT_EQ(name.text(1), "multi\nline");
  EXPECT_TRUE(name.is_missing(2));
  EXPECT_EQ(f.column("note").text(0), "say \"hi\"");
  // Lone CR line ends, no final line end, blank lines skipped, BOM skipped.
  const Frame g = csv("\xEF\xBB\xBF" "a,b\r1,2\n\n3,4");
  EXPECT_EQ(g.names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(ints(g.column("b")), (std::vector<std::int64_t>{2, 4}));
  // Quoted NA-like texts stay texts; unquoted ones are missing.
  const Frame h = csv("t\n\"NA\"\nNA\nnull\n\"None\"\n");
  EXPECT_EQ(h.column("t").type(), DType::Text);
  EXPECT_EQ(h.column("t").text(0), "NA");
  EXPECT_TRUE(h.column("t").is_missing(1));
  EXPECT_TRUE(h.column("t").is_missing(2));
  EXPECT_EQ(h.column("t").text(3), "None");
}

TEST(CsvRead, TypeInference) {
  const Frame f = csv(
      "i,f,mix,b,big,zeros,figi,im,empty,neg\n"
      "1,1.5,1,True,9223372036854775807,00123,BBG000B9XRY4,1,,-5\n"
      "-2,nan,2.5,False,9223372036854775808,00456,BBG000BPH459,,,+7\n"
      "3,1e3,x,TRUE,1,7,BBG000BVPV84,3,,0\n");
  EXPECT_EQ(f.column("i").type(), DType::Int64);
  EXPECT_EQ(ints(f.column("i")), (std::vector<std::int64_t>{1, -2, 3}));
  EXPECT_EQ(f.column("f").type(), DType::Float64);
  EXPECT_TRUE(std::isnan(f.column("f").f64()[1]));
  EXPECT_EQ(f.column("f").f64()[2], 1000.0);
  // A demoted column keeps the cells exactly as written.
  EXPECT_EQ(f.column("mix").type(), DType::Text);
  EXPECT_EQ(texts(f.column("mix")), (std::vector<std::string>{"1", "2.5", "x"}));
  EXPECT_EQ(f.column("b").type(), DType::Bool);
  EXPECT_EQ(ints(f.column("b")), (std::vector<std::int64_t>{1, 0, 1}));
  // Beyond int64: text, never a rounded float.
  EXPECT_EQ(f.column("big").type(), DType::Text);
  EXPECT_EQ(f.column("big").text(1), "9223372036854775808");
  EXPECT_EQ(f.column("zeros").type(), DType::Text);
  EXPECT_EQ(f.column("zeros").text(0), "00123");
  EXPECT_EQ(f.column("zeros").text(2), "7");
  EXPECT_EQ(f.column("figi").type(), DType::Text);
  // Integers with a missing cell stay int64, the cell marked missing.
  EXPECT_EQ(f.column("im").type(), DType::Int64);
  EXPECT_EQ(f.column("im").integer(2), 3);
  EXPECT_TRUE(f.column("im").is_missing(1));
  const Frame big = csv("id,v\n12345678901234567,1\n,2\n9007199254740993,3\n");
  EXPECT_EQ(ints(big.column("id")), (std::vector<std::int64_t>{12345678901234567, 0, 9007199254740993}));
  EXPECT_TRUE(big.column("id").is_missing(1));
  EXPECT_EQ(write_csv(big, false), "id,v\n12345678901234567,1\n,2\n9007199254740993,3\n");
  EXPECT_EQ(f.column("empty").type(), DType::Float64);
  EXPECT_EQ(ints(f.column("neg")), (std::vector<std::int64_t>{-5, 7, 0}));
  // Demotion to text keeps cells exactly, whether they were plain integers,
  // signed ones or missing.
  const Frame d = csv("a,b,c\n12,+5,-0\n,7,3\n-3,x,1.50\nz,8,q\n");
  EXPECT_EQ(texts(d.column("a")), (std::vector<std::string>{"12", "", "-3", "z"}));
  EXPECT_TRUE(d.column("a").is_missing(1));
  EXPECT_EQ(texts(d.column("b")), (std::vector<std::string>{"+5", "7", "x", "8"}));
  EXPECT_EQ(texts(d.column("c")), (std::vector<std::string>{"-0", "3", "1.50", "q"}));
  EXPECT_EQ(ints(csv("p\n+5\n-0\n").column("p")), (std::vector<std::int64_t>{5, 0}));
  // Cells rebuilt from their values on the way to text: decimals of 15 and
  // of 16 to 19 digits (trailing zeros, -0.0), integers past 2^53 in a column
  // that turned float first, every bool spelling, and the ones kept as bytes.
  const Frame r = csv(
      "f,w,big,b\n"
      "0.10,-0.6058540468460798,9007199254740993,FALSE\n"
      "-0.0,0.1234567890123456789,2.5,true\n"
      "123456789012.345,12345678901234567.5,-9007199254740995,TRUE\n"
      "1e5,00.5,7,False\n"
      "x,w,z,no\n");
  EXPECT_EQ(texts(r.column("f")), (std::vector<std::string>{"0.10", "-0.0", "123456789012.345", "1e5", "x"}));
  EXPECT_EQ(texts(r.column("w")),
            (std::vector<std::string>{"-0.6058540468460798", "0.1234567890123456789", "12345678901234567.5", "00.5", "w"}));
  EXPECT_EQ(texts(r.column("big")),
            (std::vector<std::string>{"9007199254740993", "2.5", "-9007199254740995", "7", "z"}));
  EXPECT_EQ(texts(r.column("b")), (std::vector<std::string>{"FALSE", "true", "TRUE", "False", "no"}));
  // Bools with a gap keep their type with the gap marked missing.
  const Frame g = csv("b,x\nTrue,1\n,2\nFalse,3\n");
  EXPECT_EQ(g.column("b").type(), DType::Bool);
  EXPECT_TRUE(g.column("b").is_missing(1));
  // inf and -inf are floats; a number then a bool gives text.
  const Frame h = csv("a,b\ninf,1\n-inf,True\n");
  EXPECT_EQ(h.column("a").type(), DType::Float64);
  EXPECT_TRUE(std::isinf(h.column("a").f64()[1]));
  EXPECT_EQ(h.column("b").type(), DType::Text);
  // Two points make no number, a leading one included (".3.7" was once 3.7).
  const Frame dots = csv("v,w\n.5,1.5\n..5,.3.7\n");
  EXPECT_EQ(texts(dots.column("v")), (std::vector<std::string>{".5", "..5"}));
  EXPECT_EQ(texts(dots.column("w")), (std::vector<std::string>{"1.5", ".3.7"}));
}

TEST(CsvRead, DecimalsReadAsTheCorrectlyRoundedDouble) {
  std::mt19937_64 rng(7);
  std::string text = "x\n";
  std::vector<std::string> cells;
  for (int i = 0; i < 40000; ++i) {  // up to 30 digits: short, long (up to 19) and past them
    std::string c = rng() % 3 == 0 ? "-" : "";
    const std::size_t whole = rng() % 12, frac = 1 + rng() % 18;
    c += std::to_string(rng()).substr(0, whole + 1);
    c += '.';
    for (std::size_t k = 0; k < frac; ++k) c += static_cast<char>('0' + rng() % 10);
    cells.push_back(c);
  }
  // Exactly halfway between two doubles, and either side of it: odd 54-bit
  // integers times 2^-k written out as decimals of up to 19 digits.
  for (int i = 0; i < 2000; ++i) {
    const std::uint64_t h = ((std::uint64_t{1} << 53) | (rng() & ((std::uint64_t{1} << 53) - 1))) | 1;
    const int k = static_cast<int>(rng() % 3);
    unsigned __int128 v = h;
    for (int j = 0; j < k; ++j) v *= 5;
    for (const int d : {-1, 0, 1}) {
      std::string c = std::to_string(static_cast<std::uint64_t>(v) + d);
      c.insert(c.size() - k, ".");
      cells.push_back(k == 0 ? c + "0" : c);
    }
  }
  for (const std::string& c : cells) text += c + "\n";
  const Frame f = csv(text);
  ASSERT_EQ(f.column("x").type(), DType::Float64);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const double want = std::strtod(cells[i].c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&f.column("x").f64()[i], &want, sizeof want), 0) << cells[i];
  }
}

TEST(CsvRead, HeaderNamesAndLabels) {
  const Frame f = csv(",a,a,b,a\n0,1,2,3,4\n1,5,6,7,8\n");
  EXPECT_EQ(f.names(), (std::vector<std::string>{"Unnamed: 0", "a", "a.1", "b", "a.2"}));
  // A suffix is skipped when taken or when a later header name holds it.
  EXPECT_EQ(csv("a,a,a.1,a,,Unnamed: 4,Unnamed: 4\n").names(),
            (std::vector<std::string>{"a", "a.2", "a.1", "a.3", "Unnamed: 4", "Unnamed: 4.1", "Unnamed: 4.2"}));
  // Linear in width and repeats (was quadratic/cubic: many seconds each).
  std::string wide, same;
  for (int i = 0; i < 200000; ++i) wide += (i ? ",c" : "c") + std::to_string(i);
  for (int i = 0; i < 4000; ++i) same += i ? ",x" : "x";
  const Frame w = csv(wide + "\n"), r = csv(same + "\n");
  EXPECT_EQ(w.names()[199999], "c199999");
  EXPECT_EQ(r.names()[1], "x.1");
  EXPECT_EQ(r.names()[3999], "x.3999");
  EXPECT_TRUE(f.index().is_default_range());
  EXPECT_EQ(f.num_rows(), 2u);
  // Header only.
  const Frame h = csv("x,y\n");
  EXPECT_EQ(h.num_rows(), 0u);
  EXPECT_EQ(h.names(), (std::vector<std::string>{"x", "y"}));
}

TEST(CsvRead, Errors) {
  auto m = csv_error("a,b\n1,2\n3,\"open\n4,5\n");
  EXPECT_NE(m.find("at line 3"), std::string::npos) << m;
  EXPECT_NE(m.find("unbalanced quote"), std::string::npos) << m;
  m = csv_error("a,b\n1,2\n\"x\ny\",2\n1,2,3\n");
  EXPECT_NE(m.find("at line 5"), std::string::npos) << m;
  EXPECT_NE(m.find("Expected 2 fields, saw 3"), std::string::npos) << m;
  m = csv_error(std::string("a,b\n1,2\nx\0y,3\n", 14));
  EXPECT_NE(m.find("at line 3"), std::string::npos) << m;
  EXPECT_NE(m.find("NUL"), std::string::npos) << m;
  m = csv_error(std::string("a\n\"q\0\"\n", 7));
  EXPECT_NE(m.find("NUL"), std::string::npos) << m;
  m = csv_error("");
  EXPECT_NE(m.find("No columns to parse from file"), std::string::npos) << m;
  m = csv_error("\n\r\n");
  EXPECT_NE(m.find("No columns to parse from file"), std::string::npos) << m;
  // Short rows are filled with missing values.
  const Frame f = csv("a,b,c\n1\n2,x\n");
  EXPECT_TRUE(std::isnan(f.column("c").f64()[0]));
  EXPECT_TRUE(f.column("b").is_missing(0));
  EXPECT_EQ(f.column("b").text(1), "x");
}

TEST(CsvChunks, ChunkSizesAndLabelsOverGzip) {
  std::string s = "id,v,t\n";
  for (int i = 0; i < 250001; ++i)
    s += std::to_string(i) + "," + std::to_string(i * 0.5) + ",k" + std::to_string(i % 7) + "\n";
  const auto z = gzip_compress(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
  auto stream = std::make_shared<GzipStream>(z.data(), z.size(), "s3://b/snap.csv.gz");
  CsvChunkReader r([stream](char* out, std::size_t cap) { return stream->read(reinterpret_cast<std::uint8_t*>(out), cap); },
                   "s3://b/snap.csv.gz", 100000);
  std::vector<Frame> parts;
  while (auto f = r.next()) parts.push_back(std::move(*f));
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].num_rows(), 100000u);
  EXPECT_EQ(parts[1].num_rows(), 100000u);
  EXPECT_EQ(parts[2].num_rows(), 50001u);
  EXPECT_EQ(parts[1].index().int_label(0), 100000);
  EXPECT_FALSE(r.next().has_value());
  const Frame all = concat(parts);
  EXPECT_EQ(all.num_rows(), 250001u);
  EXPECT_TRUE(all.index().is_default_range());
  EXPECT_EQ(all.index().int_label(250000), 250000);
  EXPECT_EQ(all.column("id").type(), DType::Int64);
  EXPECT_EQ(all.column("id").integer(250000), 250000);
  EXPECT_EQ(all, read_csv(s, "whole"));
}

TEST(CsvChunks, SplitReadsMatchWholeRead) {
  const std::string s =
      "a,\"b\"\"q\",c\r\n1,\"x\r\ny\",2.5\r\n\r\n2,\"\"\"\",3\r\n3,z,4\r\n4,\"w\",\r\n5,v,6\r\n";
  const Frame whole = csv(s);
  for (std::size_t step : {1u, 2u, 3u, 7u, 1000u})
    for (std::size_t cs : {1u, 2u, 5u, 100u}) {
      const auto parts = chunks(s, cs, step);
      ASSERT_EQ(parts.size(), (5 + cs - 1) / cs) << step << " " << cs;
      EXPECT_EQ(concat(parts), whole) << step << " " << cs;
    }
  EXPECT_EQ(whole.names()[1], "b\"q");
  EXPECT_EQ(whole.column_at(1).text(0), "x\r\ny");
  EXPECT_EQ(whole.column_at(1).text(1), "\"");
  // Each chunk types itself; concat promotes int with float.
  const auto parts = chunks("n\n1\n2\n2.5\n", 2, 100);
  EXPECT_EQ(parts[0].column("n").type(), DType::Int64);
  EXPECT_EQ(parts[1].column("n").type(), DType::Float64);
  EXPECT_EQ(concat(parts).column("n").type(), DType::Float64);
}

// A read by chunks joins to exactly the whole read, wherever the chunk
// boundaries fall: no cell re-rendered ("1.50", "TRUE", "+5", "12E5" stay as
// written when the column ends up text), types over the whole file.
TEST(CsvChunks, ReadAllIsTheWholeReadAtEveryBoundary) {
  const std::string s =
      "f,b,p,e,gap,late,bn,en,bt\n"
      "1.50,TRUE,+5,12E5,,,True,,True\n"
      "2,False,-0,1e3,,,,,False\n"
      "x,true,7,5,12345678901234567,,1,,TRUE\n"
      "3.0,T,y,z,,2.5,False,,x\n"
      ",,,,9007199254740993,7,,4,\n";
  const Frame whole = csv(s);
  EXPECT_EQ(texts(whole.column("f")), (std::vector<std::string>{"1.50", "2", "x", "3.0", ""}));
  EXPECT_EQ(texts(whole.column("b")), (std::vector<std::string>{"TRUE", "False", "true", "T", ""}));
  EXPECT_EQ(whole.column("gap").type(), DType::Int64);
  EXPECT_EQ(whole.column("late").type(), DType::Float64);
  EXPECT_EQ(whole.column("bn").type(), DType::Text);
  EXPECT_EQ(whole.column("en").type(), DType::Int64);
  EXPECT_EQ(texts(whole.column("bt")), (std::vector<std::string>{"True", "False", "TRUE", "x", ""}));
  for (std::size_t cs = 1; cs <= 6; ++cs)
    for (std::size_t step : {1u, 5u, 1000u}) {
      CsvChunkReader r(string_reader(s, step), "chunks.csv", cs);
      std::vector<std::size_t> sizes;
      const Frame joined = r.read_all([&](std::size_t k, const Frame& c) {
        EXPECT_EQ(k, sizes.size());
        sizes.push_back(c.num_rows());
      });
      EXPECT_EQ(joined, whole) << cs << " " << step;
      EXPECT_EQ(write_csv(joined, true), write_csv(whole, true)) << cs << " " << step;
      EXPECT_EQ(sizes.size(), (5 + cs - 1) / cs);
      // In one pass: the same table and the same chunk numbers.
      CsvChunkReader one(string_reader(s, step), "chunks.csv", cs);
      std::size_t ticks = 0;
      EXPECT_EQ(one.read_all_in_one([&](std::size_t k) { EXPECT_EQ(k, ticks++); }), whole) << cs << " " << step;
      EXPECT_EQ(ticks, sizes.size()) << cs;
    }
  // Header only: one empty chunk with the columns.
  CsvChunkReader h(string_reader("x,y\n", 1), "h.csv", 3);
  EXPECT_EQ(h.read_all().names(), (std::vector<std::string>{"x", "y"}));
  CsvChunkReader h1(string_reader("x,y\n", 1), "h.csv", 3);
  std::size_t ticks = 0;
  EXPECT_EQ(h1.read_all_in_one([&](std::size_t) { ++ticks; }), csv("x,y\n"));
  EXPECT_EQ(ticks, 1u);
  CsvChunkReader used(string_reader("x\n1\n", 1), "u.csv", 3);
  used.next();
  EXPECT_THROW(used.read_all(), ValueError);
  EXPECT_THROW(used.read_all_in_one(), ValueError);
}

// Records split alike in a short input (read byte by byte) and repeated
// in a long one (read 64 bytes at a time), wherever they fall in the blocks.
TEST(CsvRead, LongInputsSplitAsShortOnes) {
  const std::string header = "a,b,c\n";
  for (const std::string line : {"1,\"a,b\",x\r\n", "2,\"he said \"\"hi\"\"\",y\n", "3,\"line\nbreak\",z\r",
                                 ",,\n", "4,\"q\"tail,w\n", "5,x\"y,v\n", "\n6,,\r\n", "7,\"\",\"\"\n"}) {
    const Frame one = csv(header + line);
    std::string all = header;
    for (int k = 0; k < 150; ++k) all += line;
    const Frame many = csv(all);
    ASSERT_EQ(many.num_rows(), 150 * one.num_rows()) << line;
    for (const auto& name : one.names()) {
      std::vector<const Column*> parts(150, &one.column(name));
      EXPECT_TRUE(many.column(name) == Column::concat(parts)) << name << " of " << line;
    }
  }
  std::string nul = "a,b\n1,";
  nul += '\0';
  nul += "x\n";
  for (int k = 0; k < 30; ++k) nul += "1,2\n";
  EXPECT_NE(csv_error(nul).find("NUL"), std::string::npos);
}

// Long columns of one kind of cell with a few cells of other kinds among
// them (missing markers, other spellings, quoted or ragged cells, a kind
// that changes the type): the whole read infers what reading one row at a
// time and joining infers, and keeps every cell as written.
TEST(CsvRead, LongColumnsInferAsRowByRow) {
  const std::vector<std::vector<std::string>> kinds = {
      {"12", "-7", "0", "123456789012"},               // canonical integers
      {"+5", "-0", "9007199254740993"},                // integers not rebuilt from the value, or past 2^53
      {"0.25", "-1.5", "0.9693861842689374", "-0.12345678901234567", "1e3", "2.50"},
      {"True", "False"},
      {"true", "FALSE"},
      {"k12", "007", "x y", "123456789x", "1234567.8a"},
      {"", "NA", "nan"},
      {"\"12\"", "\"a,\"\"b\"\"\"", "\"True\""},
  };
  // Each column: its usual kind, and the kinds that show up among it.
  const std::vector<std::pair<std::size_t, std::vector<std::size_t>>> columns = {
      {0, {1, 5}}, {0, {2, 6}}, {0, {3, 5}}, {0, {6, 7, 5}}, {1, {0, 6, 5}}, {2, {0, 1, 6, 5}}, {2, {7, 6}},
      {3, {4, 6, 5}}, {4, {3, 6, 5}}, {5, {6, 7}}, {6, {0, 2}}, {7, {0, 5}}, {0, {}}, {2, {}}, {3, {}},
  };
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(0, 1);
  const std::size_t rows = 6000, cols = columns.size();
  std::string s;
  for (std::size_t c = 0; c < cols; ++c) s += (c ? ",c" : "c") + std::to_string(c);
  s += '\n';
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t width = u(rng) < 0.002 ? cols - 1 - rng() % 3 : cols;  // ragged rows: missing cells
    for (std::size_t c = 0; c < width; ++c) {
      const auto& [usual, others] = columns[c];
      const auto& kind = kinds[!others.empty() && u(rng) < 0.003 ? others[rng() % others.size()] : usual];
      if (c) s += ',';
      s += kind[rng() % kind.size()];
    }
    s += '\n';
  }
  const Frame whole = read_csv(s, "long.csv");
  CsvChunkReader one(string_reader(s, 4096), "long.csv", 1);
  const Frame joined = one.read_all();
  for (std::size_t c = 0; c < cols; ++c) {
    const std::string name = "c" + std::to_string(c);
    EXPECT_TRUE(whole.column(name) == joined.column(name)) << name;
  }
  EXPECT_TRUE(write_csv(whole, false) == write_csv(joined, false));
}

// Rows of fewer than two bytes a field: the rows reserved from the text's
// size (16,397 here) fall short, so every column grows past its reserve,
// and a and c change their type, and b its second time, only there.
TEST(CsvRead, ColumnsGrowPastTheirReserve) {
  const std::size_t rows = 20000;
  std::string s = "a,b,c\n";
  for (std::size_t r = 0; r < rows; ++r) {
    s += r >= 18000 && r % 7 == 0 ? "0.5" : std::to_string(r % 10);
    s += ',';
    if (r >= 14000) s += r == 19000 ? "maybe" : r % 3 ? "True" : "";
    s += ',';
    if (r >= 18500 && r % 5 == 0) s += "x" + std::to_string(r);
    s += '\n';
  }
  const Frame whole = read_csv(s, "grow.csv");
  ASSERT_EQ(whole.num_rows(), rows);
  EXPECT_EQ(whole.column("a").type(), DType::Float64);
  EXPECT_EQ(whole.column("b").type(), DType::Text);
  EXPECT_EQ(whole.column("c").type(), DType::Text);
  CsvChunkReader one(string_reader(s, 4096), "grow.csv", 1);
  const Frame joined = one.read_all();
  for (const char* name : {"a", "b", "c"}) EXPECT_TRUE(whole.column(name) == joined.column(name)) << name;
  EXPECT_TRUE(write_csv(whole, false) == write_csv(joined, false));
}

TEST(CsvRead, DeclaredTypesAndMissingTexts) {
  CsvOptions o;
  o.types = {{"id", DType::Text}, {"n", DType::Int64}, {"x", DType::Float64}, {"d", DType::Date},
             {"t", DType::Timestamp}, {"b", DType::Bool}, {"absent", DType::Int64}};
  o.missing = {"-"};
  const std::string s =
      "id,n,x,d,t,b,rest\n"
      "007,007,1,2024-01-05T01:00:00+05:00,2024-01-05 13:45:00,TRUE,-\n"
      "1.50,+12,-,20240106,,false,NA\n"
      ",-3,2.5e3,,2024-01-07T00:00:01,,4\n";
  const Frame f = read_csv(s, "typed.csv", o);
  EXPECT_EQ(texts(f.column("id")), (std::vector<std::string>{"007", "1.50", ""}));
  EXPECT_TRUE(f.column("id").is_missing(2));
  EXPECT_EQ(f.column("n").type(), DType::Int64);
  EXPECT_EQ(ints(f.column("n")), (std::vector<std::int64_t>{7, 12, -3}));
  EXPECT_EQ(f.column("x").type(), DType::Float64);
  EXPECT_TRUE(std::isnan(f.column("x").f64()[1]));
  EXPECT_EQ(f.column("x").f64()[2], 2500.0);
  EXPECT_EQ(f.column("d").type(), DType::Date);
  EXPECT_EQ(f.column("d").integer(0), days_from_civil(2024, 1, 5));  // its own calendar day
  EXPECT_EQ(f.column("d").integer(1), days_from_civil(2024, 1, 6));
  EXPECT_TRUE(f.column("d").is_missing(2));
  EXPECT_EQ(f.column("t").type(), DType::Timestamp);
  EXPECT_EQ(f.column("t").integer(2), (days_from_civil(2024, 1, 7) * 86400 + 1) * 1000000000LL);
  EXPECT_TRUE(f.column("t").is_missing(1));
  EXPECT_EQ(f.column("b").integer(0), 1);
  EXPECT_TRUE(f.column("b").is_missing(2));
  EXPECT_TRUE(f.column("rest").is_missing(0));  // "-" listed, "NA" usual
  EXPECT_TRUE(f.column("rest").is_missing(1));
  // The same over chunks of one row.
  CsvChunkReader r(string_reader(s, 3), "typed.csv", 1, o);
  EXPECT_EQ(r.read_all(), f);
  // Every column text, only the listed texts missing.
  CsvOptions text;
  text.default_type = DType::Text;
  text.default_missing = false;
  text.missing = {""};
  const Frame t = read_csv("tk,n\n7203,NA\n,null\n", "t.csv", text);
  EXPECT_EQ(texts(t.column("tk")), (std::vector<std::string>{"7203", ""}));
  EXPECT_TRUE(t.column("tk").is_missing(1));
  EXPECT_EQ(texts(t.column("n")), (std::vector<std::string>{"NA", "null"}));
  EXPECT_FALSE(t.column("n").has_missing());
  // A cell that does not read as its declared type names line, column, text.
  CsvOptions ints;
  ints.types = {{"n", DType::Int64}};
  try {
    read_csv("n\n1\n9223372036854775808\n", "bad.csv", ints);
    ADD_FAILURE() << "no error";
  } catch (const FormatError& e) {
    EXPECT_EQ(e.place(), "line 3");
    EXPECT_NE(std::string(e.what()).find("column 'n': cannot read \"9223372036854775808\" as int64"),
              std::string::npos)
        << e.what();
  }
  CsvOptions dates;
  dates.default_type = DType::Date;
  EXPECT_THROW(read_csv("d\nsoon\n", "bad.csv", dates), FormatError);
}

// Large inputs build their columns a column at a time over batches of
// records, on two threads: the frame is the one-record-at-a-time read's, and
// the failure reported is the first in row order, then column order.
TEST(CsvRead, LargeInputsFirstFailureInRowOrder) {
  CsvOptions o;
  o.types = {{"a", DType::Int64}, {"b", DType::Int64}};
  const std::size_t none = static_cast<std::size_t>(-1);
  const auto table = [](std::size_t rows, std::size_t bad_a, std::size_t bad_b, std::size_t long_row,
                         std::size_t nul_row) {
    std::string s = "a,b,t,x\n";
    for (std::size_t i = 0; i < rows; ++i) {
      s += i == bad_a ? "x" : std::to_string(i);
      s += ',';
      s += i == bad_b ? "y" : std::to_string(i * 3);
      s += i % 5 ? ",k" + std::to_string(i % 11) : ",\"q,\"\"" + std::to_string(i) + "\"";
      s += i % 7 ? "," + std::to_string(i * 0.25) : ",NA";
      if (i == nul_row) s += '\0';
      s += i == long_row ? ",extra\n" : "\n";
    }
    return s;
  };
  const std::string good = table(30000, none, none, none, none);
  const Frame whole = read_csv(good, "big.csv", o);
  CsvChunkReader one(string_reader(good, 4093), "big.csv", 1, o);
  EXPECT_EQ(one.read_all(), whole);
  // Past the first window: records left in batches still being built when
  // the window moves on.
  const std::string big = table(150000, none, none, none, none);
  CsvChunkReader streamed(string_reader(big, 777), "big.csv", 1000000, o);
  EXPECT_EQ(streamed.read_all_in_one(), read_csv(big, "big.csv", o));
  const auto failure = [&](const std::string& s) -> std::string {
    try {
      CsvChunkReader r(string_reader(s, 65536), "big.csv", 1000000, o);
      r.read_all_in_one();
    } catch (const FormatError& e) {
      return e.place() + ": " + e.what();
    }
    return "no error";
  };
  // Row 12000 is line 12002.
  EXPECT_NE(failure(table(30000, 15000, 12000, none, none)).find("line 12002: "), std::string::npos);
  EXPECT_NE(failure(table(30000, 15000, 12000, none, none)).find("column 'b'"), std::string::npos);
  EXPECT_NE(failure(table(30000, 12000, 12000, none, none)).find("column 'a'"), std::string::npos);
  // A bad cell before a malformed record is the error; the record alone is.
  EXPECT_NE(failure(table(30000, none, 12000, 13000, none)).find("column 'b'"), std::string::npos);
  EXPECT_NE(failure(table(30000, none, 12000, none, 13000)).find("column 'b'"), std::string::npos);
  EXPECT_NE(failure(table(30000, none, none, none, 13000)).find("NUL"), std::string::npos);
  EXPECT_NE(failure(table(150000, 140000, 120000, none, none)).find("line 120002: "), std::string::npos);
  const std::string m = failure(table(30000, none, none, 13000, none));
  EXPECT_NE(m.find("line 13002: "), std::string::npos) << m;
  EXPECT_NE(m.find("Expected 4 fields, saw 5"), std::string::npos) << m;
}

TEST(CsvChunks, HeaderOnlyAndErrors) {
  auto parts = chunks("x,y\r\n", 10, 1);
  ASSERT_EQ(parts.size(), 1u);
  EXPECT_EQ(parts[0].num_rows(), 0u);
  EXPECT_EQ(parts[0].names(), (std::vector<std::string>{"x", "y"}));
  CsvChunkReader empty(string_reader("", 4), "e.csv", 10);
  EXPECT_THROW(empty.next(), FormatError);
  CsvChunkReader bad(string_reader("a\n1\n2\n\"3\n", 1), "b.csv", 1);
  EXPECT_TRUE(bad.next().has_value());
  EXPECT_TRUE(bad.next().has_value());
  try {
    bad.next();
    ADD_FAILURE() << "no error";
  } catch (const FormatError& e) {
    EXPECT_EQ(e.source(), "b.csv");
    EXPECT_EQ(e.place(), "line 4");
  }
  EXPECT_THROW(CsvChunkReader(string_reader("a\n", 1), "z", 0), ValueError);
}

TEST(CsvWrite, FormatAndQuoting) {
  Frame f;
  f.add_column("x", Column::floats({1.0, kNaN, 0.1}));
  f.add_column("n", Column::ints({1, 2, 3}));
  f.add_column("t", Column::texts({"a,b", " pad", "say \"hi\""}));
  f.add_column("b", Column::bools({1, 0, 1}, {1, 1, 0}));
  f.add_column("d", Column::dates({0, 19000, 0}, {1, 1, 0}));
  f.add_column("ts", Column::timestamps({1500000000, 0, 0}, "", {1, 0, 1}));
  EXPECT_EQ(write_csv(f, false),
            "x,n,t,b,d,ts\n"
            "1.0,1,\"a,b\",True,1970-01-01,1970-01-01 00:00:01.500000\n"
            ",2,\" pad\",False,2022-01-08,\n"
            "0.1,3,\"say \"\"hi\"\"\",,,1970-01-01 00:00:00\n");
  Frame g;
  g.add_column("v", Column::ints({7, 8}));
  Index idx = Index::texts({"r1", "r,2"});
  idx.name = "ID";
  g.set_index(idx);
  EXPECT_EQ(write_csv(g, true), "ID,v\nr1,7\n\"r,2\",8\n");
  g.set_index(Index::range(2));
  EXPECT_EQ(write_csv(g, true), ",v\n0,7\n1,8\n");
}

TEST(CsvWrite, RoundTrip) {
  Frame f;
  f.add_column("f", Column::floats({0.1, -2.0, kNaN, 1e300, 5e-324, 3.0}));
  f.add_column("i", Column::ints({0, -1, 9223372036854775807LL, -9223372036854775807LL - 1, 42, 7}));
  f.add_column("t", Column::texts({"NA", "null", " lead", "multi\nline\r\n", "\"q\"", ""}, {1, 1, 1, 1, 1, 0}));
  f.add_column("b", Column::bools({1, 0, 1, 1, 0, 0}));
  f.add_column("u", Column::texts({"dup", "a long text, past twelve", "quotes \"inside\" a long one",
                                   "no specials in this long one", "4", "a tab at the end of it\t"}));
  const std::string s = write_csv(f, false);
  EXPECT_EQ(read_csv(s, "rt"), f) << s;
  // Floats as the research language writes them, reading back bit-exact.
  Frame g;
  g.add_column("v", Column::floats({100000.0, 0.0001, 1e16, 1e-5, 0.1 + 0.2}));
  const std::string gs = write_csv(g, false);
  EXPECT_EQ(gs, "v\n100000.0\n0.0001\n1e+16\n1e-05\n0.30000000000000004\n");
  EXPECT_EQ(read_csv(gs, "rt"), g);
  // With the index, the labels come back as a column named "Unnamed: 0".
  Frame r = read_csv(write_csv(f, true), "rt");
  EXPECT_EQ(r.names()[0], "Unnamed: 0");
  EXPECT_EQ(ints(r.column_at(0)), (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5}));
  // A one-column frame with missing cells keeps its rows.
  Frame one;
  one.add_column("", Column::floats({kNaN, 1.5, kNaN}));
  const std::string o = write_csv(one, false);
  Frame back = read_csv(o, "rt");
  EXPECT_EQ(back.num_rows(), 3u) << o;
  EXPECT_EQ(back.names()[0], "Unnamed: 0");
  EXPECT_EQ(back.column_at(0), one.column_at(0));
}

// Inputs found by fuzz_csv, kept as regression cases.
TEST(CsvFuzzRegressions, ByteOrderMarkAsColumnName) {
  // Found by the fuzzer: a header that is a byte-order mark followed by a
  // second one. The second one is a column name and must survive writing.
  const unsigned char input[] = {0xef, 0xbb, 0xbf, 0xef, 0xbb, 0xbf};
  const Frame f = csv(std::string(reinterpret_cast<const char*>(input), sizeof input));
  ASSERT_EQ(f.names(), (std::vector<std::string>{"\xEF\xBB\xBF"}));
  const Frame back = read_csv(write_csv(f, false), "rt");
  EXPECT_EQ(back.names(), f.names());
  Frame g;
  g.add_column("\xEF\xBB\xBFx", Column::ints({1}));
  EXPECT_EQ(read_csv(write_csv(g, false), "rt"), g);
}
