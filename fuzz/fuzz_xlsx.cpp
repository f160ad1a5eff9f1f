// libFuzzer target of the workbook reader (input layout in xlsx_fuzz_input.hpp).
#include <cstdint>

#include "../fuzz/xlsx_fuzz_input.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes = xlsx_fuzz::workbook_bytes(data, size);
  try {
    const auto frame = quorin_data::formats::read_xlsx(
        reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), "fuzz.xlsx");
    // Touch every cell so that a malformed column shows up under ASan.
    std::size_t n = 0;
    for (const auto& col : frame.columns())
      for (std::size_t i = 0; i < col.size(); ++i) n += col.cell_text(i).size();
    (void)n;
  } catch (const quorin_data::FormatError&) {
  }
  return 0;
}
