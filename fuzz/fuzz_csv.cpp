// libFuzzer target over CSV reading: the whole read and the chunked read
// (small chunks, small byte pieces, optionally declared column types; joined
// or in one pass) must
// give equal tables, cell for cell; the chunks taken one by one keep the
// shape; and what decodes must survive a write/read round trip of its shape.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quorin_data;
  using namespace quorin_data::formats;
  if (size < 1) return 0;
  const std::size_t chunksize = 1 + data[0] % 4;
  const std::size_t step = 1 + (data[0] >> 2) % 8;
  // The top bits pick declared types: none, every column text, every column
  // float64, or int64/date for the first two columns.
  CsvOptions options;
  switch (data[0] >> 5) {
    case 1: options.default_type = DType::Text; break;
    case 2: options.default_type = DType::Float64; break;
    case 3:
      options.types = {{"a", DType::Int64}, {"b", DType::Date}};
      options.missing = {"-"};
      break;
    default: break;
  }
  const std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  auto reader = [&text, step](std::size_t& pos) {
    return [&text, &pos, step](char* out, std::size_t cap) {
      const std::size_t n = std::min({cap, step, text.size() - pos});
      std::memcpy(out, text.data() + pos, n);
      pos += n;
      return n;
    };
  };
  bool whole_ok = false, chunks_ok = false;
  Frame whole, joined;
  try {
    whole = read_csv(text, "fuzz", options);
    whole_ok = true;
  } catch (const FormatError&) {
  }
  // A read through the chunk reader fails exactly when the whole read does,
  // and otherwise gives the same table.
  auto same_as_whole = [&](auto read) {
    bool ok = false;
    Frame got;
    try {
      std::size_t pos = 0;
      CsvChunkReader r(reader(pos), "fuzz", chunksize, options);
      got = read(r);
      ok = true;
    } catch (const FormatError&) {
    }
    if (whole_ok != ok) std::abort();
    if (ok && !(got == whole)) std::abort();
  };
  same_as_whole([](CsvChunkReader& r) { return r.read_all(); });
  // The same read in one pass, without chunk frames to join.
  same_as_whole([](CsvChunkReader& r) { return r.read_all_in_one(); });
  try {
    std::size_t pos = 0;
    CsvChunkReader r(reader(pos), "fuzz", chunksize, options);
    std::vector<Frame> parts;
    std::size_t rows = 0;
    while (auto f = r.next()) {
      if (f->num_rows() > chunksize) std::abort();
      if (f->num_rows() > 0 && f->index().int_label(0) != static_cast<std::int64_t>(rows)) std::abort();
      rows += f->num_rows();
      parts.push_back(std::move(*f));
    }
    std::vector<const Frame*> p;
    for (auto& f : parts) p.push_back(&f);
    joined = Frame::concat_rows(p);
    chunks_ok = true;
  } catch (const FormatError&) {
  }
  if (whole_ok != chunks_ok) std::abort();
  if (!whole_ok) return 0;
  if (joined.num_rows() != whole.num_rows() || joined.names() != whole.names()) std::abort();
  // Writing and reading back keeps the shape and the names.
  const std::string out = write_csv(whole, false);
  Frame back = read_csv(out, "rewritten");
  if (back.num_rows() != whole.num_rows() || back.num_columns() != whole.num_columns()) std::abort();
  return 0;
}
