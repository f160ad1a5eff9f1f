// Query texts given to the local query-service stand-in: any text either
// answers or raises the service's error, never anything else.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "quorin_data/from_bqia/bql.hpp"

namespace bql = quorin_data::from_bqia::bql;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto service = std::make_shared<bql::LocalService>(bql::sample_folder());
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    bql::Results r = service->execute(text);
    for (const auto& res : r)
      if (res.frame().index().name != "ID") __builtin_trap();
  } catch (const bql::ServiceError&) {
  }
  service->clear_log();
  return 0;
}
