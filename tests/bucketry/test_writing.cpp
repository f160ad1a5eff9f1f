// write_to_s3 and the deletions against the local s3rver: every format round
// trip, the buffer-first rule, exact failure and report texts.
#include <filesystem>
#include <fstream>

#include "fixture.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/formats/serialize.hpp"

using namespace bucketry_test;
namespace fs = std::filesystem;

namespace {

class Writing : public Store {};

TEST_F(Writing, EveryFormatRoundTrips) {
  const Frame table = sample_frame(1234);
  // pickle: any value.
  const Value nested(quorin_data::Dict{{Value("table"), Value(table)},
                                       {Value("list"), Value(quorin_data::List{Value(1.5), Value(), Value(true)})}});
  bucketry::write_to_s3(nested, "v.pkl", "pickle", true, bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("v.pkl", "pickle", bucket, prefix), nested);
  // bytesio
  bucketry::write_to_s3(buffer_of(bytes_of("raw\0bytes")), "b.bin", "bytesio", true, bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("b.bin", "bytesio", bucket, prefix).as_bytes().data, bytes_of("raw\0bytes"));
  // csv without the index reads back equal; with it, the labels come back as a column.
  bucketry::write_to_s3(Value(table), "t.csv", "csv", false, bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("t.csv", "csv", bucket, prefix).as_frame(), table);
  bucketry::write_to_s3(Value(table), "ti.csv", "csv", true, bucket, prefix);
  const Frame with_index = bucketry::read_from_s3("ti.csv", "csv", bucket, prefix).as_frame();
  EXPECT_EQ(with_index.names(), (std::vector<std::string>{"Unnamed: 0", "NAME", "PX", "ID"}));
  EXPECT_EQ(with_index.column("Unnamed: 0").integer(1233), 1233);
  EXPECT_EQ(get(prefix + "/ti.csv").substr(0, 12), ",NAME,PX,ID\n");
  // csv.gz: gzip bytes written as a buffer, read whole and by chunks.
  const std::string text = quorin_data::formats::write_csv(table, false);
  bucketry::write_to_s3(buffer_of(quorin_data::formats::gzip_compress(
                            reinterpret_cast<const std::uint8_t*>(text.data()), text.size())),
                        "t.csv.gz", "csv", true, bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("t.csv.gz", "csv.gz", bucket, prefix).as_frame(), table);
  ::testing::internal::CaptureStderr();
  Frame chunked = bucketry::read_from_s3("t.csv.gz", "csv.gz", bucket, prefix, true, 500).as_frame();
  ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(chunked, table);
  // xlsx (floats with short exact forms: the workbook writer stores 16
  // significant digits, which the table above would not survive)
  Frame sheet = table;
  std::vector<double> quarters;
  for (std::size_t r = 0; r < sheet.num_rows(); ++r) quarters.push_back(0.25 * static_cast<double>(r) - 3.5);
  sheet.set_column("PX", Column::floats(quarters));
  bucketry::write_to_s3(Value(sheet), "t.xlsx", "xlsx", false, bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("t.xlsx", "xlsx", bucket, prefix).as_frame(), sheet);
  // parquet objects come from the Parquet writer and are read by format "parquet".
  bucketry::write_to_s3(buffer_of(quorin_data::formats::write_parquet(table)), "t.parquet", "bytesio", true,
                        bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("t.parquet", "parquet", bucket, prefix).as_frame(), table);
  // local_file_path: a local file up, and down into temp/.
  { std::ofstream("upload.txt") << "local contents\n"; }
  bucketry::write_to_s3(Value("upload.txt"), "up/file.txt", "local_file_path", true, bucket, prefix);
  EXPECT_EQ(get(prefix + "/up/file.txt"), "local contents\n");
  bucketry::read_from_s3("up/file.txt", "local_file_path", bucket, prefix);
  std::ifstream in("temp/up/file.txt");
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "local contents");
  fs::remove("upload.txt");
}

TEST_F(Writing, ABufferIsUploadedFromItsPositionWhateverTheFormat) {
  bucketry::write_to_s3(buffer_of(bytes_of("0123456789"), 4), "pos.bin", "bytesio", true, bucket, prefix);
  EXPECT_EQ(get(prefix + "/pos.bin"), "456789");
  // The buffer test comes before "csv" and "xlsx": the bytes go up unchanged.
  bucketry::write_to_s3(buffer_of(bytes_of("not,a\ntable")), "buf.csv", "csv", true, bucket, prefix);
  EXPECT_EQ(get(prefix + "/buf.csv"), "not,a\ntable");
  bucketry::write_to_s3(buffer_of(bytes_of("xl")), "buf.xlsx", "xlsx", true, bucket, prefix);
  EXPECT_EQ(get(prefix + "/buf.xlsx"), "xl");
  // ... but not before "pickle", which serializes the buffer value itself.
  const Value buf = buffer_of(bytes_of("abc"), 1);
  bucketry::write_to_s3(buf, "buf.pkl", "pickle", true, bucket, prefix);
  EXPECT_EQ(bucketry::read_from_s3("buf.pkl", "pickle", bucket, prefix), buf);
  // The caller's buffer is not moved.
  EXPECT_EQ(buf.as_bytes().pos, 1u);
  // An empty prefix gives a key with a leading "/".
  bucketry::write_to_s3(buffer_of(bytes_of("s")), "lead.bin", "bytesio", true, bucket, "");
  EXPECT_EQ(get("/lead.bin"), "s");
}

TEST_F(Writing, RefusalsAreExactAndUploadNothing) {
  auto message = [](auto&& f) -> std::string {
    try {
      f();
    } catch (const quorin_data::Error& e) {
      return e.what();
    }
    return "no error";
  };
  const Frame t = sample_frame(3);
  EXPECT_EQ(message([&] { bucketry::write_to_s3(Value(t), "x.json", "json", true, bucket, prefix); }),
            "data_format=\"json\" is not valid. Only (\"pickle\", \"bytesio\", \"csv\", \"xlsx\") are allowed.");
  EXPECT_EQ(message([&] { bucketry::write_to_s3(Value(t), "x.pq", "parquet", true, bucket, prefix); }),
            "data_format=\"parquet\" is not valid. Only (\"pickle\", \"bytesio\", \"csv\", \"xlsx\") are allowed.");
  EXPECT_EQ(message([&] { bucketry::write_to_s3(Value(t), "x.bin", "local_file_path", true, bucket, prefix); }),
            "`data` must be passed in as a string for `local_file_path`.");
  EXPECT_THROW(bucketry::write_to_s3(Value(t), "x.bin", "local_file_path", true, bucket, prefix),
               quorin_data::AssertionError);
  EXPECT_EQ(message([&] { bucketry::write_to_s3(Value(quorin_data::List{}), "x.csv", "csv", true, bucket, prefix); }),
            "'list' object has no attribute 'to_csv'");
  EXPECT_EQ(message([&] { bucketry::write_to_s3(Value("a,b"), "x.xlsx", "xlsx", true, bucket, prefix); }),
            "'str' object has no attribute 'to_excel'");
  EXPECT_TRUE(bucketry::list_s3_objects("x.", bucket, prefix).empty());
  // A local file that does not exist: nothing is uploaded.
  EXPECT_ANY_THROW(bucketry::write_to_s3(Value("no/such/file"), "x.bin", "local_file_path", true, bucket, prefix));
  EXPECT_FALSE(bucketry::s3_path_exists("x.bin", bucket, prefix));
}

TEST_F(Writing, DeleteObjectKeyRules) {
  put(prefix + "/a.csv", "1");
  put(prefix + "-alone.csv", "2");
  bucketry::delete_s3_object("a.csv", bucket, prefix);
  EXPECT_FALSE(bucketry::s3_path_exists("a.csv", bucket, prefix));
  // Empty or absent prefix: the key is file_path itself.
  bucketry::delete_s3_object(prefix + "-alone.csv", bucket, "");
  EXPECT_THROW(client->head_object(bucket, prefix + "-alone.csv"), quorin_data::StoreError);
  put(prefix + "-alone.csv", "3");
  bucketry::delete_s3_object(prefix + "-alone.csv", bucket, std::nullopt);
  EXPECT_THROW(client->head_object(bucket, prefix + "-alone.csv"), quorin_data::StoreError);
  // A missing key is not reported.
  EXPECT_NO_THROW(bucketry::delete_s3_object("never-there.csv", bucket, prefix));
}

TEST_F(Writing, DeleteFolderInBatchesAndAlwaysReports) {
  for (int i = 0; i < 2300; ++i) client->put_object(bucket, prefix + "/a/b/" + std::to_string(i), nullptr, 0);
  put(prefix + "/a/bc/keep-not.csv", "plain string prefix: goes too");
  put(prefix + "/a/c.csv", "stays");
  client->reset_stats();
  const std::string out = capture_stdout([&] { bucketry::delete_s3_folder("a/b", bucket, prefix); });
  EXPECT_EQ(out, "s3://" + bucket + "/" + prefix + "/a/b was deleted.\n");
  EXPECT_EQ(client->stats().delete_objects, 3u);  // 1000 + 1000 + 301
  EXPECT_EQ(bucketry::list_s3_objects("a/", bucket, prefix), (std::vector<std::string>{prefix + "/a/c.csv"}));
  // Nothing matched: the line is printed all the same, and nothing is sent.
  client->reset_stats();
  EXPECT_EQ(capture_stdout([&] { bucketry::delete_s3_folder("none", bucket, prefix); }),
            "s3://" + bucket + "/" + prefix + "/none was deleted.\n");
  EXPECT_EQ(client->stats().delete_objects, 0u);
  EXPECT_EQ(capture_stdout([&] { bucketry::delete_s3_folder("none", bucket, ""); }),
            "s3://" + bucket + "//none was deleted.\n");
}

class LocalFolder : public Store {
 protected:
  void SetUp() override {
    enter_testwork();  // no store needed
  }
};

TEST_F(LocalFolder, ReportLinesForAMissingFolder) {
  EXPECT_EQ(capture_stdout([] { bucketry::delete_local_folder("no-such-folder"); }),
            "Output: \nError: rm: cannot remove 'no-such-folder': No such file or directory\n\ncode: 1\n");
}

TEST_F(LocalFolder, RemovesATreeAndNamesStartingWithDashAreFolders) {
  for (const std::string name : {"tree", "-rf", "--help", "-i"}) {
    fs::create_directories(name + "/sub/deeper");
    { std::ofstream(name + "/sub/deeper/f.txt") << "x"; }
    EXPECT_EQ(capture_stdout([&] { bucketry::delete_local_folder(name); }), "Output: \nError: \ncode: 0\n") << name;
    EXPECT_FALSE(fs::exists(name)) << name;
  }
  // "-rf" names a folder, not options: with the folder missing rm reports it.
  const std::string out = capture_stdout([] { bucketry::delete_local_folder("-rf"); });
  EXPECT_EQ(out, "Output: \nError: rm: cannot remove '-rf': No such file or directory\n\ncode: 1\n");
}

TEST_F(LocalFolder, OutputThatIsNotAsciiFailsAfterRmRan) {
  std::string out;
  try {
    ::testing::internal::CaptureStdout();
    bucketry::delete_local_folder("caf\xc3\xa9-missing");
    out = ::testing::internal::GetCapturedStdout();
    FAIL() << "no error";
  } catch (const quorin_data::ValueError& e) {
    out = ::testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string(e.what()).find("'ascii' codec can't decode byte 0xc3"), std::string::npos) << e.what();
  }
  EXPECT_EQ(out, "Output: \n");  // the output line decoded; the error line did not
  // rm ran: an existing folder with such a name is removed (no output at all).
  fs::create_directories("caf\xc3\xa9");
  EXPECT_EQ(capture_stdout([] { bucketry::delete_local_folder("caf\xc3\xa9"); }), "Output: \nError: \ncode: 0\n");
  EXPECT_FALSE(fs::exists("caf\xc3\xa9"));
}

}  // namespace
