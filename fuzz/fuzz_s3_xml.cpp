// libFuzzer target over the S3 response parsers (XML bodies, the
// Content-Range header): every input must give a value or a FormatError,
// never a crash, leak or undefined behaviour.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "store/s3_client.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin_data::store;
  std::string_view xml(reinterpret_cast<const char*>(data), size);
  try {
    ListPage p = parse_list_objects_v2(xml, "fuzz");
    for (const auto& k : p.keys) (void)k.size();
  } catch (const quorin_data::FormatError&) {
  }
  try {
    (void)parse_delete_result(xml, "fuzz");
  } catch (const quorin_data::FormatError&) {
  }
  try {
    (void)parse_initiate_multipart(xml, "fuzz");
  } catch (const quorin_data::FormatError&) {
  }
  try {
    (void)parse_complete_multipart(xml, "fuzz");
  } catch (const quorin_data::FormatError&) {
  }
  ErrorInfo e = parse_error_body(xml);
  (void)e;
  if (auto r = parse_content_range(xml)) {
    if (r->last < r->first || (r->total && r->last >= *r->total)) __builtin_trap();
  }
  return 0;
}
