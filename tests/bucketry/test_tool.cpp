// The store subcommands of the quorin tool, run as a program against the
// local s3rver.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "fixture.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/formats/serialize.hpp"

using namespace bucketry_test;
namespace fs = std::filesystem;

namespace {

struct Result {
  int status;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class Tool : public Store {
 protected:
  const std::string exe = QUORIN_BINARY_DIR "/tools/quorin/quorin";
  void SetUp() override {
    Store::SetUp();
    if (IsSkipped()) return;
    ASSERT_TRUE(fs::exists(exe)) << "build the quorin target first";
  }
  // Runs `quorin ARGS` (ARGS already quoted for the shell) with `input` on stdin.
  // `env` (NAME=VALUE, no quotes needed) is set for that run only.
  Result run(const std::string& args, const std::string& input = "", const std::string& env = "") {
    { std::ofstream("tool.in", std::ios::binary) << input; }
    const std::string cmd = (env.empty() ? "" : "env '" + env + "' ") + "'" + exe + "' " + args +
                            " <tool.in >tool.out 2>tool.err";
    const int st = std::system(cmd.c_str());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp("tool.out"), slurp("tool.err")};
  }
  std::string where() { return " --bucket " + bucket + " --prefix " + prefix; }
};

TEST_F(Tool, PutGetLsExistsRm) {
  const std::string csv = "TICKER,PX\nIBM US,187.5\nAAPL US,0.1\n";
  auto r = run("put - d/t.csv --format csv" + where(), csv);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(get(prefix + "/d/t.csv"), ",TICKER,PX\n0,IBM US,187.5\n1,AAPL US,0.1\n");
  ASSERT_EQ(run("put - d/n.csv --format csv --no-index" + where(), csv).status, 0);
  EXPECT_EQ(get(prefix + "/d/n.csv"), csv);
  r = run("get d/n.csv --format csv" + where());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ",TICKER,PX\n0,IBM US,187.5\n1,AAPL US,0.1\n");
  r = run("ls d" + where());
  EXPECT_EQ(r.out, prefix + "/d/n.csv\n" + prefix + "/d/t.csv\n");
  EXPECT_EQ(run("exists d/t.csv" + where()).out, "true\n");
  EXPECT_EQ(run("exists d/none.csv" + where()).out, "false\n");
  EXPECT_EQ(run("rm d/t.csv" + where()).status, 0);
  EXPECT_EQ(run("exists d/t.csv" + where()).out, "false\n");
  r = run("rm-folder d" + where());
  EXPECT_EQ(r.out, "s3://" + bucket + "/" + prefix + "/d was deleted.\n");
  EXPECT_EQ(run("ls d" + where()).out, "");
}

TEST_F(Tool, BytesGoThroughUnchangedAndTheEmptyPrefixIsAllowed) {
  std::string binary("\x00\x01\xff\n\r\x1f\x8b", 7);
  ASSERT_EQ(run("put - raw.bin --format bytesio --bucket " + bucket + " --prefix ''", binary).status, 0);
  EXPECT_EQ(get("/raw.bin"), binary);
  EXPECT_EQ(run("get raw.bin --format bytesio --bucket " + bucket + " --prefix ''").out, binary);
  // The tabular formats read key FILE alone under an empty prefix.
  put(prefix + "/t.csv.gz", quorin_data::formats::gzip_compress(reinterpret_cast<const std::uint8_t*>("a\n1\n2\n3\n"), 8));
  auto r = run("get " + prefix + "/t.csv.gz --format csv.gz --by-chunks --chunksize 2 --bucket " + bucket + " --prefix ''");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, ",a\n0,1\n1,2\n2,3\n");
  EXPECT_NE(r.err.find("2 chunks"), std::string::npos) << r.err;
}

// A local csv.gz is parsed while it inflates: NUL bytes after the header
// stop the read at line 2, under an output limit far below what the file
// inflates to (32 MiB); and a limit variable that is not a count is refused,
// naming it.
TEST_F(Tool, AGzipFileStopsAtItsFirstBadLineAndJunkLimitsAreRefused) {
  const std::vector<std::uint8_t> zeros(std::size_t{16} << 20, 0);
  const auto member = quorin_data::formats::gzip_compress(zeros.data(), zeros.size());
  {
    std::ofstream out("nul.csv.gz", std::ios::binary);
    const auto head = quorin_data::formats::gzip_compress(reinterpret_cast<const std::uint8_t*>("a\n"), 2);
    out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
    for (int i = 0; i < 2; ++i)
      out.write(reinterpret_cast<const char*>(member.data()), static_cast<std::streamsize>(member.size()));
  }
  auto r = run("read csv.gz nul.csv.gz", "", "QUORIN_GZIP_MAX_BYTES=1048576");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nul.csv.gz at line 2: embedded NUL byte"), std::string::npos) << r.err;
  for (const char* junk : {"QUORIN_GZIP_MAX_BYTES=1MB", "QUORIN_GZIP_MAX_BYTES=-5", "QUORIN_GZIP_MAX_BYTES=0"}) {
    r = run("read csv.gz nul.csv.gz", "", junk);
    EXPECT_EQ(r.status, 1) << junk;
    EXPECT_NE(r.err.find(std::string(junk).substr(22) + "\" is not a valid limit"), std::string::npos) << r.err;
  }
  r = run("ls d" + where(), "", "QUORIN_LIST_MAX_KEYS=lots");
  EXPECT_NE(r.err.find("QUORIN_LIST_MAX_KEYS=\"lots\" is not a valid limit"), std::string::npos) << r.err;
  fs::remove("nul.csv.gz");
}

TEST_F(Tool, PickleOfATableAndOfOtherValues) {
  ASSERT_EQ(run("put - p.pkl --format pickle" + where(), "a,b\n1,x\n").status, 0);
  EXPECT_EQ(run("get p.pkl --format pickle" + where()).out, ",a,b\n0,1,x\n");
  auto bytes = quorin_data::formats::serialize(Value(quorin_data::List{Value(1), Value("two")}));
  put(prefix + "/l.pkl", bytes);
  EXPECT_EQ(run("get l.pkl --format pickle" + where()).out, "[1, 'two']\n");
  { std::ofstream("l.pkl", std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size()); }
  EXPECT_EQ(run("read pickle l.pkl").out, "[1, 'two']\n");
  { std::ofstream("r.csv") << "x,y\n1.5,z\n"; }
  EXPECT_EQ(run("read csv r.csv").out, ",x,y\n0,1.5,z\n");
  // Integers with a gap print with every digit, floats as written by pandas.
  EXPECT_EQ(run("read csv -", "id,v\n12345678901234567,100000.0\n,2\n9007199254740993,0.0001\n").out,
            ",id,v\n0,12345678901234567,100000.0\n1,,2.0\n2,9007199254740993,0.0001\n");
}

TEST_F(Tool, ErrorsAreOneLineAndUsageErrorsExitTwo) {
  auto r = run("get x.csv --format json" + where());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "quorin get: error: data_format=\"json\" is not valid. Only (\"pickle\", \"csv\", \"csv.gz\", \"xlsx\") "
            "are allowed.\n");
  r = run("get x.csv --format csv --by-chunks --chunksize lots" + where());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "quorin get: error: Argument 'chunksize' has incorrect type (expected int, got str)\n");
  r = run("get missing.csv --format csv" + where());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("NoSuchKey"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1);
  EXPECT_EQ(run("get x.csv" + where()).status, 2);           // no --format
  EXPECT_EQ(run("ls" + where()).status, 2);                  // no FOLDER
  EXPECT_EQ(run("exists a b" + where()).status, 2);
  EXPECT_EQ(run("ls x --colour red").status, 2);
  EXPECT_EQ(run("read nosuchformat r.csv").status, 2);
  r = run("put --help");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: quorin put LOCAL FILE --format F"), std::string::npos);
}

TEST_F(Tool, AMisconfiguredStoreSaysWhyAtTheFirstCall) {
  const std::string cmd = "SHOW_WARNINGS=1 AWS_ENDPOINT_URL_S3='ftp://user:pw-PASSWORD@x' '" + exe +
                          "' ls x >tool.out 2>tool.err";
  const int st = std::system(cmd.c_str());
  EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, 1);
  const std::string err = slurp("tool.err");
  EXPECT_NE(err.find("Warning: the S3 client could not be created: S3 endpoint \"ftp://***@x\": the scheme "
                     "must be http or https"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("quorin ls: error: S3 endpoint \"ftp://***@x\": the scheme must be http or https\n"),
            std::string::npos)
      << err;
  EXPECT_EQ(err.find("boto3"), std::string::npos) << err;
  EXPECT_EQ(err.find("s3_client"), std::string::npos) << err;
  EXPECT_EQ(err.find("PASSWORD"), std::string::npos) << err;
}

TEST_F(Tool, RmLocalReportsAndTakesDashNamesAsFolders) {
  fs::create_directories("-rf/inner");
  auto r = run("rm-local -- -rf");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Output: \nError: \ncode: 0\n");
  EXPECT_FALSE(fs::exists("-rf"));
  r = run("rm-local gone-folder");
  EXPECT_EQ(r.out, "Output: \nError: rm: cannot remove 'gone-folder': No such file or directory\n\ncode: 1\n");
  EXPECT_EQ(r.status, 1);  // the tool's status follows rm's
  // After "--" even --help names a folder.
  fs::create_directories("--help");
  r = run("rm-local -- --help");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Output: \nError: \ncode: 0\n");
  EXPECT_FALSE(fs::exists("--help"));
}

}  // namespace
