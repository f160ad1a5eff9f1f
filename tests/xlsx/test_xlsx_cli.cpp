// `quorin read xlsx PATH` prints the first worksheet as CSV, labels first.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "xlsx/xlsx_test_support.hpp"

using namespace quorin_data;
namespace fs = std::filesystem;

namespace {

std::pair<int, std::string> run(const std::string& args) {
  const std::string cmd = std::string(QUORIN_BINARY_DIR) + "/tools/quorin/quorin " + args + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, out};
}

}  // namespace

TEST(XlsxCli, ReadPrintsCsvAndReportsBadFiles) {
  const fs::path dir = fs::temp_directory_path() / ("quorin_xlsx_cli_" + std::to_string(::getpid()));
  fs::create_directories(dir);
  Frame f;
  f.add_column("name", Column::texts({"a,b", "c"}));
  f.add_column("v", Column::floats({1.5, kNaN}));
  f.add_column("when", Column::timestamps({0, kNanosPerDay + kNanosPerSecond}));
  const auto bytes = formats::write_xlsx(f, false);
  const std::string path = (dir / "t.xlsx").string();
  xlsx_test::write_file(path, std::string(bytes.begin(), bytes.end()));
  const auto [rc, out] = run("read xlsx " + path);
  EXPECT_EQ(rc, 0) << out;
  EXPECT_EQ(out, ",name,v,when\n0,\"a,b\",1.5,1970-01-01 00:00:00\n1,c,,1970-01-02 00:00:01\n");
  xlsx_test::write_file(path, "not a workbook");
  const auto [rc2, out2] = run("read xlsx " + path);
  EXPECT_NE(rc2, 0);
  EXPECT_NE(out2.find("not a zip"), std::string::npos) << out2;
  fs::remove_all(dir);
}
