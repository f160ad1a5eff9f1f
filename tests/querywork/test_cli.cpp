// `quorin calendar` and `quorin figi`, run as the built program.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <string>

namespace {

struct CliRun {
  int status;
  std::string out;
};

CliRun quorin(const std::string& args) {
  const std::string cmd = std::string("QUORIN_BQL_SAMPLE=" QUORIN_SOURCE_DIR "/data/bql_sample " QUORIN_BINARY_DIR
                                      "/tools/quorin/quorin ") +
                          args + " 2>&1";
  CliRun r;
  FILE* p = ::popen(cmd.c_str(), "r");
  char buf[4096];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

}  // namespace

TEST(QuorinCli, CalendarInAZone) {
  CliRun r = quorin("calendar --universe IN --start 2024-01-01 --end 2025-06-30 --tz America/New_York --verbose");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("getting data for year 2025\n"), std::string::npos);
  EXPECT_NE(r.out.find("event_datetime,event_date,event_time,event_timezone\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(",5.69,GMT+05:30,0.2,economic_releases,2024-01-12 07:00:00-05:00,2024-01-12,07:00:00,"
                       "America/New_York\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(quorin("calendar --universe US --start 2024-01-01").status, 2);
  CliRun bad = quorin("calendar --universe US --start 2024-01-01 --end 2024-02-01 --tz Mars/Base");
  EXPECT_NE(bad.status, 0);
  EXPECT_NE(bad.out.find("Mars/Base"), std::string::npos);
}

TEST(QuorinCli, FigiBothWays) {
  CliRun to = quorin("figi to 'EURUSD Curncy' 'IBM US Equity' --pcs 'IBM US Equity'");
  ASSERT_EQ(to.status, 0) << to.out;
  EXPECT_EQ(to.out, ",parsekey,figi\n0,EURUSD Curncy,BBG0013HGFT4\n1,IBM US Equity,BBG000BLNNH6.BGN\n");
  CliRun from = quorin("figi from BBG000BLNNH6 --id-item parsekyable_des");
  ASSERT_EQ(from.status, 0) << from.out;
  EXPECT_EQ(from.out, ",figi,short_name\n0,BBG000BLNNH6,IBM US Equity\n");
  EXPECT_EQ(quorin("figi sideways X").status, 2);
}
