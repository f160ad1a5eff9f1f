// libFuzzer target over Value deserialization: every input gives a value or
// a FormatError; what decodes must serialize and decode back equal.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/serialize.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin_data;
  using namespace quorin_data::formats;
  Value v;
  try {
    v = deserialize(data, size, "fuzz");
  } catch (const FormatError&) {
    return 0;
  }
  // Nothing of ours is taken for a Python pickle.
  if (is_python_pickle(data, size)) std::abort();
  const auto again = serialize(v);
  const Value w = deserialize(again.data(), again.size(), "re");
  if (!(w == v)) std::abort();
  if (serialize(w) != again) std::abort();
  return 0;
}
