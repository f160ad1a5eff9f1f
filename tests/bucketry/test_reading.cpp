// read_from_s3 and read_by_chunks against the local s3rver: format dispatch,
// key rules, chunking, bad objects and the local download area.
#include <filesystem>
#include <fstream>

#include "fixture.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/formats/serialize.hpp"

using namespace bucketry_test;
namespace fs = std::filesystem;

namespace {

class Reading : public Store {
 protected:
  std::vector<std::uint8_t> gz(const std::string& text) {
    return quorin_data::formats::gzip_compress(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  }
};

TEST_F(Reading, ChunkedReadOf250001RowsGivesThreeChunksAndOneRange) {
  std::string csv = "ID,NAME,VALUE\n";
  for (int i = 0; i < 250001; ++i)
    csv += std::to_string(i) + ",n" + std::to_string(i % 13) + "," + std::to_string(i % 100) + ".5\n";
  put("a/b.csv.gz", gz(csv));  // full key: the empty prefix reads file_path alone
  std::vector<std::size_t> sizes;
  auto old = bucketry::detail::set_chunk_observer(
      [&](std::size_t, const Frame& chunk) { sizes.push_back(chunk.num_rows()); });
  ::testing::internal::CaptureStderr();
  Value v = bucketry::read_from_s3("a/b.csv.gz", "csv.gz", bucket, "", true, 100000);
  const std::string progress = ::testing::internal::GetCapturedStderr();
  bucketry::detail::set_chunk_observer(old);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{100000, 100000, 50001}));
  const Frame& f = v.as_frame();
  ASSERT_EQ(f.num_rows(), 250001u);
  EXPECT_TRUE(f.index().is_default_range());
  EXPECT_EQ(f.index().int_label(250000), 250000);
  EXPECT_EQ(f.names(), (std::vector<std::string>{"ID", "NAME", "VALUE"}));
  EXPECT_EQ(f.column("ID").integer(123456), 123456);
  EXPECT_EQ(f.column("NAME").text(250000), "n" + std::to_string(250000 % 13));
  EXPECT_DOUBLE_EQ(f.column("VALUE").f64()[100000], 0.5);
  EXPECT_NE(progress.find("3 chunks"), std::string::npos) << progress;
  // The same through read_by_chunks with a smaller chunk size.
  sizes.clear();
  old = bucketry::detail::set_chunk_observer([&](std::size_t, const Frame& c) { sizes.push_back(c.num_rows()); });
  ::testing::internal::CaptureStderr();
  Frame g = bucketry::read_by_chunks(bucket, "a/b.csv.gz", 250001);
  ::testing::internal::GetCapturedStderr();
  bucketry::detail::set_chunk_observer(old);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{250001}));
  EXPECT_EQ(g, f);
}

// Chunks typed apart (integers then texts, missing cells in one chunk only)
// join as a whole read would type them.
TEST_F(Reading, ChunksOfDifferentTypesJoinLikeAWholeRead) {
  const std::string same = "t,n,f\nA,1,0.5\nB,2,1.5\n,3,\nD,4,2.5\nE,5,3.5\nF,6,4.5\n";
  const std::string mixed = "a,b,c\n1,p,1\n2,q,2\n3,r,3\n4,s,4\nx,,5.5\n6,u,\n";
  // Numbers and bools before a text cell keep their texts; integers with
  // a gap stay integers.
  const std::string written = "a,b,c,d\n1.50,TRUE,+5,12E5\n2,False,7,\n,,,\n,,,\nx,y,z,9007199254740993\n";
  for (const std::string& csv : {same, mixed, written}) {
    put(prefix + "/m.csv.gz", gz(csv));
    const Frame whole = bucketry::read_from_s3("m.csv.gz", "csv.gz", bucket, prefix).as_frame();
    ::testing::internal::CaptureStderr();
    const Frame chunked = bucketry::read_from_s3("m.csv.gz", "csv.gz", bucket, prefix, true, 4).as_frame();
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(chunked, whole) << csv;
    EXPECT_EQ(quorin_data::formats::write_csv(chunked, true), quorin_data::formats::write_csv(whole, true)) << csv;
    for (std::size_t i = 0; i < whole.num_columns(); ++i)
      for (std::size_t r = 0; r < whole.num_rows(); ++r)
        EXPECT_EQ(chunked.column_at(i).is_missing(r), whole.column_at(i).is_missing(r)) << csv << i << "," << r;
  }
}

// An object large enough for the inflate-ahead thread reads by chunks to the
// same table as the whole read, quoted fields across block edges included.
TEST_F(Reading, LargeGzipByChunksMatchesWholeRead) {
  std::string csv = "ID,CODE,NOTE,X\n";
  std::uint64_t r = 0x9E3779B97F4A7C15ull;
  for (int i = 0; i < 120000; ++i) {
    r ^= r << 13, r ^= r >> 7, r ^= r << 17;
    csv += std::to_string(i) + ",C" + std::to_string(r % 1000003) + ",\"note, " + std::to_string(r % 977) +
           "\nline\"," + std::to_string(static_cast<double>(r % 100000) / 64.0) + "\n";
  }
  const auto z = gz(csv);
  ASSERT_GE(z.size(), quorin_data::formats::GzipStream::kReadAheadMin);
  put(prefix + "/big.csv.gz", z);
  const Frame whole = bucketry::read_from_s3("big.csv.gz", "csv.gz", bucket, prefix).as_frame();
  ::testing::internal::CaptureStderr();
  const Frame chunked = bucketry::read_by_chunks(bucket, prefix + "/big.csv.gz", 25000);
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(whole.num_rows(), 120000u);
  EXPECT_EQ(chunked, whole);
  EXPECT_EQ(whole.column("NOTE").text(7).substr(0, 6), "note, ");
}

TEST_F(Reading, KeyRulesPerFormat) {
  put(prefix + "/t.csv", "a,b\n1,x\n");
  put(prefix + "/t.csv.gz", gz("a,b\n2,y\n"));
  put("/" + prefix + "/slash.bin", "under a leading slash");
  // Tabular formats: prefix + "/" + file_path, or file_path alone when the prefix is empty.
  EXPECT_EQ(bucketry::read_from_s3("t.csv", "csv", bucket, prefix).as_frame().column("a").integer(0), 1);
  EXPECT_EQ(bucketry::read_from_s3(prefix + "/t.csv", "csv", bucket, "").as_frame().column("a").integer(0), 1);
  // Decompression follows the key's extension, not the format name.
  EXPECT_EQ(bucketry::read_from_s3("t.csv.gz", "csv", bucket, prefix).as_frame().column("a").integer(0), 2);
  EXPECT_EQ(bucketry::read_from_s3("t.csv", "csv.gz", bucket, prefix).as_frame().column("a").integer(0), 1);
  // The extension matches in any case.
  put(prefix + "/T.CSV.GZ", gz("a,b\n3,z\n"));
  EXPECT_EQ(bucketry::read_from_s3("T.CSV.GZ", "csv.gz", bucket, prefix).as_frame().column("a").integer(0), 3);
  // "bytesio" always joins with "/": an empty prefix gives a leading slash.
  Value raw = bucketry::read_from_s3(prefix + "/slash.bin", "bytesio", bucket, "");
  ASSERT_TRUE(raw.is_buffer());
  EXPECT_EQ(raw.as_bytes().pos, 0u);
  EXPECT_EQ(raw.as_bytes().data, bytes_of("under a leading slash"));
  // A tabular format with an absent prefix fails before any request.
  const auto before = requests();
  EXPECT_THROW(bucketry::read_from_s3("t.csv", "csv", bucket, std::nullopt), quorin_data::TypeError);
  EXPECT_THROW(bucketry::read_from_s3("t.csv", "parquet", bucket, std::nullopt), quorin_data::TypeError);
  EXPECT_EQ(requests(), before);
}

TEST_F(Reading, UnknownFormatsAreRefusedWithTheFixedText) {
  for (const std::string f : {"json", "CSV", "", "csv.GZ"}) {
    try {
      bucketry::read_from_s3("t.csv", f, bucket, prefix);
      FAIL() << f;
    } catch (const quorin_data::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "data_format=\"" + f +
                                           "\" is not valid. Only (\"pickle\", \"csv\", \"csv.gz\", \"xlsx\") are allowed.");
    }
  }
}

TEST_F(Reading, MissingObjectsPropagateTheStoreError) {
  try {
    bucketry::read_from_s3("nothing.csv", "csv", bucket, prefix);
    FAIL();
  } catch (const quorin_data::StoreError& e) {
    EXPECT_EQ(e.code(), "NoSuchKey");
  }
  EXPECT_THROW(bucketry::read_from_s3("nothing.pkl", "pickle", bucket, prefix), quorin_data::StoreError);
}

// Each bad object ends in a FormatError that names the object.
TEST_F(Reading, BadObjectsNameTheObject) {
  std::string csv = "a,b\n";
  for (int i = 0; i < 2000; ++i) csv += std::to_string(i) + ",x\n";
  auto whole = gz(csv);
  put(prefix + "/truncated.csv.gz", std::vector<std::uint8_t>(whole.begin(), whole.begin() + whole.size() / 2));
  put(prefix + "/ragged.csv", "a,b\n1,2\n3,4,5\n");
  put(prefix + "/quote.csv", "a,b\n1,\"open\n");
  auto pickled = quorin_data::formats::serialize(Value(sample_frame(50)));
  put(prefix + "/truncated.pkl", std::vector<std::uint8_t>(pickled.begin(), pickled.end() - 5));
  put(prefix + "/plain.csv", csv);
  auto expect_named = [&](const std::string& file, const std::string& format, bool chunks) {
    try {
      ::testing::internal::CaptureStderr();
      bucketry::read_from_s3(file, format, bucket, prefix, chunks, 100);
      ::testing::internal::GetCapturedStderr();
      ADD_FAILURE() << file << " read without error";
    } catch (const quorin_data::FormatError& e) {
      ::testing::internal::GetCapturedStderr();
      EXPECT_NE(std::string(e.what()).find("s3://" + bucket + "/" + prefix + "/" + file), std::string::npos)
          << e.what();
    }
  };
  expect_named("truncated.csv.gz", "csv.gz", false);
  expect_named("truncated.csv.gz", "csv.gz", true);
  expect_named("ragged.csv", "csv", false);
  expect_named("quote.csv", "csv", false);
  expect_named("truncated.pkl", "pickle", false);
  // The chunked path always decompresses: a plain CSV fails in gzip decoding.
  expect_named("plain.csv", "csv", true);
}

// A gzip table is parsed while it inflates, whole or by chunks: a NUL on
// line 2 of an object that inflates far past the output limit is reported as
// such, before the rest is inflated.
TEST_F(Reading, AGzipTableStopsAtItsFirstBadLineWhileInflating) {
  const std::vector<std::uint8_t> zeros(std::size_t{4} << 20, 0);
  auto member = quorin_data::formats::gzip_compress(zeros.data(), zeros.size());
  std::vector<std::uint8_t> body = gz("a\n");
  for (int i = 0; i < 8; ++i) body.insert(body.end(), member.begin(), member.end());  // 32 MiB of NUL
  put(prefix + "/nul.csv.gz", body);
  const std::size_t before = quorin_data::formats::set_gzip_output_limit(std::size_t{1} << 20);
  for (bool chunks : {false, true}) {
    ::testing::internal::CaptureStderr();
    try {
      bucketry::read_from_s3("nul.csv.gz", "csv.gz", bucket, prefix, chunks, 100);
      ADD_FAILURE() << "read without error";
    } catch (const quorin_data::FormatError& e) {
      EXPECT_NE(std::string(e.what()).find("line 2: embedded NUL byte"), std::string::npos) << e.what();
    }
    ::testing::internal::GetCapturedStderr();
  }
  quorin_data::formats::set_gzip_output_limit(before);
}

TEST_F(Reading, PickleAndBytesReadBackWhatWasStored) {
  const Value v(quorin_data::List{Value(1), Value("two"), Value(sample_frame(3)), Value()});
  auto bytes = quorin_data::formats::serialize(v);
  put(prefix + "/v.pkl", bytes);
  EXPECT_EQ(bucketry::read_from_s3("v.pkl", "pickle", bucket, prefix), v);
}

class LocalFiles : public Reading {
 protected:
  void SetUp() override {
    Reading::SetUp();
    if (IsSkipped()) return;
    fs::remove_all("temp");
  }
};

TEST_F(LocalFiles, DownloadCreatesTheFoldersUnderTemp) {
  put(prefix + "/d/e/f.bin", "payload");
  EXPECT_TRUE(bucketry::read_from_s3("d/e/f.bin", "local_file_path", bucket, prefix).is_none());
  std::ifstream in("temp/d/e/f.bin");
  std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(got, "payload");
  // An existing file is overwritten; a file_path without folders lands in temp/.
  put(prefix + "/d/e/f.bin", "second");
  put(prefix + "/top.bin", "top");
  bucketry::read_from_s3("d/e/f.bin", "local_file_path", bucket, prefix);
  bucketry::read_from_s3("top.bin", "local_file_path", bucket, prefix);
  std::ifstream in2("temp/d/e/f.bin");
  std::getline(in2, got);
  EXPECT_EQ(got, "second");
  EXPECT_TRUE(fs::exists("temp/top.bin"));
  // A leading "/" stays inside temp/ (the path is formed by text); ".." that
  // stays inside is allowed.
  put(prefix + "//abs/x.bin", "abs");
  bucketry::read_from_s3("/abs/x.bin", "local_file_path", bucket, prefix);
  EXPECT_TRUE(fs::exists("temp/abs/x.bin"));
  put(prefix + "/d/../g.bin", "g");
  bucketry::read_from_s3("d/../g.bin", "local_file_path", bucket, prefix);
  EXPECT_TRUE(fs::exists("temp/g.bin"));
  // Dot segments: the folder as written is created, the file lands where
  // the path leads.
  put(prefix + "/a/./b/../evil.txt", "e");
  bucketry::read_from_s3("a/./b/../evil.txt", "local_file_path", bucket, prefix);
  EXPECT_TRUE(fs::is_regular_file("temp/a/evil.txt"));
  EXPECT_TRUE(fs::is_directory("temp/a/b"));
}

TEST_F(LocalFiles, PathsLeavingTempAreRefusedBeforeAnyRequest) {
  const auto before = requests();
  for (const std::string p : {"../escape.bin", "a/../../escape.bin", "../../../../tmp/escape.bin", "a/..",
                              "..", "", "a/"}) {
    EXPECT_THROW(bucketry::read_from_s3(p, "local_file_path", bucket, prefix), quorin_data::ValueError) << p;
  }
  EXPECT_EQ(requests(), before);
  EXPECT_FALSE(fs::exists("escape.bin"));
  EXPECT_FALSE(fs::exists("temp"));
  try {
    bucketry::read_from_s3("../escape.bin", "local_file_path", bucket, prefix);
  } catch (const quorin_data::ValueError& e) {
    EXPECT_STREQ(e.what(),
                 "file_path \"../escape.bin\" leads outside temp/: a \"local_file_path\" read only writes inside temp/");
  }
}

TEST_F(LocalFiles, AFailedDownloadLeavesTheTargetAsItWas) {
  fs::create_directories("temp/k");
  { std::ofstream("temp/k/old.bin") << "previous"; }
  EXPECT_THROW(bucketry::read_from_s3("k/old.bin", "local_file_path", bucket, prefix), quorin_data::StoreError);
  EXPECT_THROW(bucketry::read_from_s3("k/new.bin", "local_file_path", bucket, prefix), quorin_data::StoreError);
  std::ifstream in("temp/k/old.bin");
  std::string got;
  std::getline(in, got);
  EXPECT_EQ(got, "previous");
  EXPECT_FALSE(fs::exists("temp/k/new.bin"));
  std::size_t entries = 0;
  for (auto& e : fs::directory_iterator("temp/k")) entries += e.is_regular_file();
  EXPECT_EQ(entries, 1u) << "a partial download was left behind";
}

TEST_F(Reading, DynamicFormsCheckKindsBeforeAnyRequest) {
  namespace dyn = bucketry::dynamic;
  const Value B(bucket), P(prefix);
  const auto before = requests();
  auto message = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const quorin_data::TypeError& e) {
      return e.what();
    }
    return "no TypeError";
  };
  EXPECT_EQ(message([&] { dyn::read_from_s3(Value(3), Value("csv"), B, P, Value(false), Value(10)); }),
            "Argument 'file_path' has incorrect type (expected str, got int)");
  EXPECT_EQ(message([&] { dyn::read_from_s3(Value("t.csv"), Value(), B, P, Value(false), Value(10)); }),
            "Argument 'data_format' has incorrect type (expected str, got NoneType)");
  EXPECT_EQ(message([&] { dyn::read_from_s3(Value("t.csv"), Value("csv"), Value(1.5), P, Value(false), Value(10)); }),
            "Argument 'bucket' has incorrect type (expected str, got float)");
  EXPECT_EQ(message([&] { dyn::read_from_s3(Value("t.csv"), Value("csv"), B, Value(7), Value(false), Value(10)); }),
            "Argument 'prefix' has incorrect type (expected str, got int)");
  EXPECT_EQ(message([&] { dyn::read_from_s3(Value("t.csv"), Value("csv"), B, P, Value(true), Value("many")); }),
            "Argument 'chunksize' has incorrect type (expected int, got str)");
  EXPECT_EQ(message([&] { dyn::read_from_s3(Value("t.csv"), Value("csv"), B, P, Value(true), Value(quorin_data::List{})); }),
            "Argument 'chunksize' has incorrect type (expected int, got list)");
  EXPECT_EQ(message([&] { dyn::list_s3_objects(Value(quorin_data::List{}), B, P); }),
            "Argument 'folder_path' has incorrect type (expected str, got list)");
  EXPECT_EQ(message([&] { dyn::write_to_s3(Value(1), Value("x"), Value(2), Value(true), B, P); }),
            "Argument 'data_format' has incorrect type (expected str, got int)");
  EXPECT_EQ(message([&] { dyn::delete_local_folder(Value(1)); }),
            "Argument 'folder_path' has incorrect type (expected str, got int)");
  // A chunk size below 1 is a bad value, refused before the GetObject.
  EXPECT_THROW(bucketry::read_from_s3("t.csv", "csv", bucket, prefix, true, 0), quorin_data::ValueError);
  EXPECT_THROW(dyn::read_by_chunks(B, Value("k.csv.gz"), Value(-3)), quorin_data::ValueError);
  EXPECT_EQ(requests(), before);

  // Accepted kinds: any truth value for by_chunks, integers from floats and texts.
  std::string csv = "a\n";
  for (int i = 0; i < 10; ++i) csv += std::to_string(i) + "\n";
  put(prefix + "/n.csv.gz", gz(csv));
  std::vector<std::size_t> sizes;
  auto old = bucketry::detail::set_chunk_observer([&](std::size_t, const Frame& c) { sizes.push_back(c.num_rows()); });
  ::testing::internal::CaptureStderr();
  dyn::read_from_s3(Value("n.csv.gz"), Value("csv.gz"), B, P, Value("yes"), Value(4.9));
  dyn::read_from_s3(Value("n.csv.gz"), Value("csv.gz"), B, P, Value(1), Value(" 6 "));
  ::testing::internal::GetCapturedStderr();
  bucketry::detail::set_chunk_observer(old);
  // chunksize is checked on entry, also when it is not used.
  EXPECT_THROW(dyn::read_from_s3(Value("n.csv.gz"), Value("csv.gz"), B, P, Value(""), Value("x")),
               quorin_data::TypeError);
  EXPECT_EQ(sizes, (std::vector<std::size_t>{4, 4, 2, 6, 4}));
}

}  // namespace
