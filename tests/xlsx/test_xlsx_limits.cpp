// A worksheet's memory follows its cells, not its markup: elements that hold
// nothing cost nothing, and the row limit stops the read as soon as it is passed.
#include <gtest/gtest.h>

#include <atomic>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "xlsx/xlsx_test_support.hpp"

#if defined(__SANITIZE_ADDRESS__)
// From the sanitizer runtime's allocator interface (GCC ships no header for it).
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                              void (*free_hook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
}
#define QUORIN_HEAP_HOOKS 1
#endif

using namespace quorin_data;
using namespace xlsx_test;

namespace {

std::string workbook(const std::string& sheet) {
  Package p;
  p.sheets.push_back({"S", "worksheets/sheet1.xml", sheet});
  return p.zip();
}

Frame read(const std::string& bytes) {
  return formats::read_xlsx(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), "mem.xlsx");
}

#ifdef QUORIN_HEAP_HOOKS
// The most heap bytes live at once since reset (under AddressSanitizer).
std::atomic<long long> live{0}, peak{0};
std::atomic<bool> watching{false};
extern "C" void on_malloc(const volatile void*, std::size_t n) {
  if (!watching) return;
  const long long now = live += static_cast<long long>(n);
  for (long long p = peak; now > p && !peak.compare_exchange_weak(p, now);) {
  }
}
extern "C" void on_free(const volatile void* ptr) {
  if (watching && ptr) live -= static_cast<long long>(__sanitizer_get_allocated_size(ptr));
}
#endif

}  // namespace

TEST(XlsxLimits, EmptyRowsCostNothingAndTheRowLimitStopsTheParse) {
  std::string rows;
  for (int i = 0; i < 1000000; ++i) rows += "<row/>";
  const std::string book =
      workbook(sheet_xml("<row><c t=\"inlineStr\"><is><t>h</t></is></c></row><row><c><v>7</v></c></row>" + rows));
#ifdef QUORIN_HEAP_HOOKS
  __sanitizer_install_malloc_and_free_hooks(on_malloc, on_free);
  live = peak = 0;
  watching = true;
#endif
  const Frame f = read(book);
#ifdef QUORIN_HEAP_HOOKS
  watching = false;
  // 6 MB of markup; a tree of it would take several times that.
  EXPECT_GT(peak.load(), 0);  // the hooks saw the read
  EXPECT_LT(peak.load(), 4 << 20) << "peak heap bytes while reading";
#endif
  ASSERT_EQ(f.num_rows(), 1u);
  EXPECT_EQ(f.column_at(0).cell_text(0), "7");

  // One row too many fails there, before the (broken) rest of the sheet is read.
  std::string over = "<worksheet><sheetData>";
  for (int i = 0; i < 1048577; ++i) over += "<row/>";
  try {
    read(workbook(over + "<unclosed>"));
    FAIL() << "no error";
  } catch (const FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("more than 1048576 rows"), std::string::npos) << e.what();
  }
  // A DTD has no place in a worksheet (and would allow entity expansion).
  EXPECT_THROW(read(workbook("<!DOCTYPE w [<!ENTITY a \"aaaa\">]><worksheet><sheetData/></worksheet>")),
               FormatError);
}
