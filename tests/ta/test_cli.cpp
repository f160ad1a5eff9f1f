// The `quorin ta` subcommand, run as a program over a small CSV.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/wait.h>

namespace {

struct Run {
  int status;
  std::string out, err;
};

Run quorin(const std::string& args, const std::string& input_csv) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("quorin_ta_cli_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  {
    std::ofstream(dir / "bars.csv") << input_csv;
  }
  const std::string cmd = std::string(QUORIN_BINARY_DIR "/tools/quorin/quorin ta ") + args +
                          " < " + (dir / "bars.csv").string() + " 2> " +
                          (dir / "err.txt").string();
  Run r;
  FILE* p = ::popen(cmd.c_str(), "r");
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  std::ifstream e(dir / "err.txt");
  r.err.assign(std::istreambuf_iterator<char>(e), {});
  fs::remove_all(dir);
  return r;
}

const char* kBars =
    "open,high,low,close,volume\n"
    "1,10,10,10,1\n"
    "1,20,20,20,3\n"
    "1,30,30,30,0\n"
    "1,3,1,2,-4\n";

}  // namespace

TEST(Cli, PrintsTheResultColumn) {
  auto r = quorin("vwap --anchor D", kBars);
  EXPECT_EQ(r.status, 0) << r.err;
  // 10, (10+60)/4, unchanged with zero volume, then a zero total: inf.
  EXPECT_EQ(r.out, ",VWAP\n0,10\n1,17.5\n2,17.5\n3,inf\n");
  auto s = quorin("sma --length 2 --offset 1 --column high", kBars);
  EXPECT_EQ(s.status, 0) << s.err;
  EXPECT_EQ(s.out, ",SMA_2\n0,\n1,\n2,15\n3,25\n");
  auto m = quorin("ma --mode WMA --length 2 --asc false --fillna 0", kBars);
  EXPECT_EQ(m.status, 0) << m.err;
  // Weights 2, 1 (older row first): (10*2 + 20*1) / 3, ...
  EXPECT_EQ(m.out, ",WMA_2\n0,0\n1,13.333333333333334\n2,23.333333333333332\n3,20.666666666666668\n");
  auto h = quorin("hlc3", kBars);
  EXPECT_EQ(h.out, ",HLC3\n0,10\n1,20\n2,30\n3,2\n");
}

TEST(Cli, AbsentResultAndErrors) {
  auto a = quorin("cmf", kBars);  // 4 rows, window 20
  EXPECT_EQ(a.status, 3);
  EXPECT_EQ(a.out, "");
  EXPECT_NE(a.err.find("no result"), std::string::npos);
  auto e = quorin("ema --length ten", kBars);
  EXPECT_EQ(e.status, 1);
  EXPECT_NE(e.err.find("Argument 'length' has incorrect type (expected int, got str)"),
            std::string::npos)
      << e.err;
  auto k = quorin("adosc", kBars);
  EXPECT_EQ(k.status, 1);
  EXPECT_NE(k.err.find("EMA_10 of the AD line is absent: the AD line has 4 rows"), std::string::npos) << k.err;
  auto c = quorin("sma --column nope", kBars);
  EXPECT_EQ(c.status, 1);
  EXPECT_EQ(quorin("frobnicate", kBars).status, 2);
}

TEST(Cli, ByGroupsWithOrder) {
  const char* bars =
      "key,t,close\n"
      "b,2,20\n"
      "a,1,1\n"
      "b,1,10\n"
      "a,3,3\n"
      "a,2,2\n"
      "c,1,5\n";
  auto r = quorin("sma --length 2 --by key --order t", bars);
  EXPECT_EQ(r.status, 0) << r.err;
  // a: 1, 2, 3 in time order; b: 10, 20; c has one row, too short.
  EXPECT_EQ(r.out, ",key,t,SMA_2\n0,b,2,15.0\n1,a,1,\n2,b,1,\n3,a,3,2.5\n4,a,2,1.5\n5,c,1,\n");
  EXPECT_EQ(quorin("sma --order t", bars).status, 2);
  auto bad = quorin("ema --by nope", bars);
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.err.find("no column 'nope'"), std::string::npos) << bad.err;
}
