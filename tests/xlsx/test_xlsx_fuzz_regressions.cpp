// Replays the inputs the workbook fuzzer found (tests/xlsx/fuzz_regressions,
// in the fuzzer's input layout): each must read or fail with a FormatError.
#include <gtest/gtest.h>

#include <filesystem>

#include "../../fuzz/xlsx_fuzz_input.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "xlsx/xlsx_test_support.hpp"

namespace fs = std::filesystem;

TEST(XlsxFuzzRegressions, EveryKeptInputFailsCleanly) {
  const fs::path dir = fs::path(QUORIN_SOURCE_DIR) / "tests/xlsx/fuzz_regressions";
  std::size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string raw = xlsx_test::read_file(e.path().string());
    const std::string bytes =
        xlsx_fuzz::workbook_bytes(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
    try {
      quorin_data::formats::read_xlsx(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                      e.path().filename().string());
    } catch (const quorin_data::FormatError&) {
    }
    ++n;
  }
  EXPECT_GT(n, 0u);
}

TEST(XlsxFuzzRegressions, IsoDatesOutsideTheTimestampRangeAreErrors) {
  const std::string raw =
      "\x01<worksheet><sheetData><row><c t=\"d\"><v>1012-01-01</v></c></row></sheetData></worksheet>";
  const std::string bytes = xlsx_fuzz::workbook_bytes(reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
  try {
    quorin_data::formats::read_xlsx(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), "x");
    FAIL() << "no error";
  } catch (const quorin_data::FormatError& e) {
    EXPECT_NE(e.place().find("A1"), std::string::npos);
  }
}
