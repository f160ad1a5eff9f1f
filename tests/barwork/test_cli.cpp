// `quorin bars` and `quorin events` over the shipped stand-ins.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  std::string out;
  int status;
};

Outcome quorin(const std::string& args) {
  const std::string cmd = std::string(QUORIN_BINARY_DIR "/tools/quorin/quorin ") + args + " 2>&1";
  Outcome r{{}, -1};
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::string first_line(const std::string& s) { return s.substr(0, s.find('\n')); }

}  // namespace

TEST(BarsCli, SecuritiesFuturesSummaryAndUsageErrors) {
  Outcome bars = quorin("bars 'eur=EURUSD Curncy:BGN' es1=ES:Index:5 --start 2023-12-08 --end 2023-12-12 --freq 1h");
  ASSERT_EQ(bars.status, 0) << bars.out;
  EXPECT_EQ(first_line(bars.out), ",security,key,datetime,open,high,low,close,volume,short_name,parsekey");
  EXPECT_NE(bars.out.find(",es1,2023-12-12 "), std::string::npos);
  EXPECT_NE(bars.out.find("ESH4 Index"), std::string::npos);
  EXPECT_NE(bars.out.find("ESZ3 Index"), std::string::npos);

  Outcome sum = quorin("events --universe US --start 2024-01-01 --end 2024-12-31 --tz America/New_York "
                   "'spx=SPX Index' --pre -2 --post 1 --summary");
  ASSERT_EQ(sum.status, 0) << sum.out;
  EXPECT_EQ(first_line(sum.out), ",key,time_diff,count,mean_move,mean_move_bp,std_move_bp,se_move_bp,t_stat,"
                                 "share_up,q25_move_bp,q50_move_bp,q75_move_bp");
  // No move at the base offset: no spread, an undefined t statistic, never up.
  EXPECT_NE(sum.out.find("0,spx,-2,5,0.0,0.0,0.0,0.0,,0.0,0.0,0.0,0.0\n"), std::string::npos) << sum.out;
  EXPECT_NE(sum.out.find("3,spx,1,5,"), std::string::npos) << sum.out;

  EXPECT_EQ(quorin("bars nameless").status, 2);
  EXPECT_EQ(quorin("bars es1=ES:Index:soon").status, 2);
  EXPECT_EQ(quorin("events --universe US --start 2024-01-01 --end 2024-12-31").status, 2);  // no --tz
  Outcome bad = quorin("bars --tz Mars/Base --start 2024-01-05 --end 2024-01-05");
  EXPECT_EQ(bad.status, 1);
  EXPECT_NE(bad.out.find("Mars/Base"), std::string::npos);
}
