// The file level of the Parquet reader: magic and footer, opening a file in
// memory, on disk or by ranges, and whole-file and row-group reads.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>

#include "reader_internal.hpp"

namespace quorin_data::formats {

using namespace pq;

void ParquetFile::Impl::init() {
  Place place{&source, "file"};
  if (size < 12) place.fail("file too short to be Parquet (" + std::to_string(size) + " bytes)");
  if (std::memcmp(data, "PAR1", 4) != 0) place.fail("wrong magic at the start (not a Parquet file)");
  init_from_tail(data, size);
}

void ParquetFile::Impl::init_from_tail(const std::uint8_t* tail, std::size_t tail_len) {
  Place place{&source, "file"};
  if (size < 12 || tail_len < 8 || tail_len > size)
    place.fail("file too short to be Parquet (" + std::to_string(size) + " bytes)");
  if (std::memcmp(tail + tail_len - 4, "PARE", 4) == 0) place.fail("encrypted footer (encryption is not supported)");
  if (std::memcmp(tail + tail_len - 4, "PAR1", 4) != 0) place.fail("wrong magic at the end (truncated or not Parquet)");
  std::uint32_t flen;
  std::memcpy(&flen, tail + tail_len - 8, 4);
  if (flen > size - 12) {
    place.where = "footer";
    place.fail("footer length " + std::to_string(flen) + " runs past the start of the file");
  }
  if (flen > tail_len - 8) place.fail("footer not held in the bytes read");
  body_end = size - 8 - flen;
  place.where = "footer at offset " + std::to_string(body_end);
  const std::size_t used = thrift_decode(tail + (tail_len - 8 - flen), flen, meta, place, "file metadata");
  (void)used;
  if (meta.__isset.encryption_algorithm) place.fail("encrypted file (encryption is not supported)");
  const auto& s = meta.schema;
  if (s.empty()) place.fail("empty schema");
  if (meta.num_rows < 0) place.fail("negative row count");
  const int leaf = describe_columns(s, columns, place);
  place.where = "footer";
  for (std::size_t r = 0; r < meta.row_groups.size(); ++r) {
    const auto& rg = meta.row_groups[r];
    if (rg.columns.size() != static_cast<std::size_t>(leaf))
      place.fail("row group " + std::to_string(r) + " has " + std::to_string(rg.columns.size()) +
                 " column chunks for " + std::to_string(leaf) + " columns");
    if (rg.num_rows < 0) place.fail("row group " + std::to_string(r) + " has a negative row count");
  }
  // Without columns nothing in the file stores its rows: the declared count
  // is all there is, so it is held to what a table could sensibly be given.
  if (leaf == 0) {
    std::int64_t rows = 0;  // the larger of the file's count and its groups' sum (saturating)
    for (const auto& rg : meta.row_groups)
      if (__builtin_add_overflow(rows, rg.num_rows, &rows)) rows = std::numeric_limits<std::int64_t>::max();
    rows = std::max(rows, meta.num_rows);
    if (rows > static_cast<std::int64_t>(kMaxRowsWithoutColumns))
      place.fail("a table without columns declares " + std::to_string(rows) + " rows, more than " +
                 std::to_string(kMaxRowsWithoutColumns));
  }
  for (const auto& kv : meta.key_value_metadata) {
    static const std::string prefix = "quorin_data:tz:";
    if (kv.key.compare(0, prefix.size(), prefix) == 0 && kv.__isset.value) zones[kv.key.substr(prefix.size())] = kv.value;
  }
  for (auto& d : columns)
    if (d.dtype == DType::Timestamp && d.tz == "UTC") {
      auto it = zones.find(d.name);
      if (it != zones.end() && !it->second.empty()) d.tz = it->second;
    }
}

const ColumnDesc& ParquetFile::Impl::find(const std::string& name) const {
  for (const auto& d : columns)
    if (d.name == name) return d;
  throw KeyError("column '" + name + "' is not in the Parquet file " + source);
}

pq::ColumnSink ParquetFile::Impl::sink_for(const ColumnDesc& d) const { return pq::ColumnSink(d.dtype, d.tz); }

void ParquetFile::Impl::prefetch(const std::vector<std::size_t>& groups,
                                 const std::vector<const ColumnDesc*>& cols) const {
  if (!ranges) return;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
  for (std::size_t g : groups)
    for (const ColumnDesc* d : cols) {
      if (!d->unsupported.empty()) continue;  // its read reports why
      spans.push_back(chunk_span(*d, g, Place{&source, rg_place(*d, g)}));
    }
  ranges->fetch(std::move(spans), Place{&source, "column chunks"});
}

ReadAhead::ReadAhead(const ParquetFile::Impl& im, const std::vector<std::size_t>& groups,
                     const std::vector<const ColumnDesc*>& cols) {
  if (!im.ranges || groups.empty()) {
    done_ = SIZE_MAX;
    return;
  }
  std::vector<std::vector<std::pair<std::uint64_t, std::uint64_t>>> spans(groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i)
    for (const ColumnDesc* d : cols) {
      if (!d->unsupported.empty()) continue;  // its read reports why
      spans[i].push_back(im.chunk_span(*d, groups[i], Place{&im.source, rg_place(*d, groups[i])}));
    }
  if (groups.size() == 1) {  // nothing to overlap with
    im.ranges->fetch(std::move(spans[0]), Place{&im.source, "column chunks"});
    done_ = SIZE_MAX;
    return;
  }
  thread_ = std::thread([this, cache = im.ranges, source = im.source, spans = std::move(spans)]() mutable {
    for (auto& s : spans) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        if (stop_) break;
      }
      try {
        cache->fetch(std::move(s), Place{&source, "column chunks"});
      } catch (...) {
        break;
      }
      std::lock_guard<std::mutex> lock(mu_);
      ++done_;
      cv_.notify_all();
    }
    std::lock_guard<std::mutex> lock(mu_);
    done_ = SIZE_MAX;
    cv_.notify_all();
  });
}

ReadAhead::~ReadAhead() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  thread_.join();
}

void ReadAhead::wait_for(std::size_t i) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return done_ > i; });
}

ParquetFile ParquetFile::open(std::shared_ptr<const std::vector<std::uint8_t>> bytes, std::string source) {
  auto impl = std::make_shared<Impl>();
  if (!bytes) throw ValueError("no bytes given for Parquet file " + source);
  impl->keep = std::move(bytes);
  impl->data = impl->keep->data();
  impl->size = impl->keep->size();
  impl->source = std::move(source);
  impl->init();
  ParquetFile f;
  f.impl_ = std::move(impl);
  return f;
}

ParquetFile ParquetFile::open_path(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw FormatError("Parquet", path, "file", "cannot open the file");
  auto bytes = std::make_shared<std::vector<std::uint8_t>>();
  in.seekg(0, std::ios::end);
  const auto n = in.tellg();
  in.seekg(0, std::ios::beg);
  if (n < 0) throw FormatError("Parquet", path, "file", "cannot read the file");
  bytes->resize(static_cast<std::size_t>(n));
  if (n > 0 && !in.read(reinterpret_cast<char*>(bytes->data()), n)) throw FormatError("Parquet", path, "file", "cannot read the file");
  return open(std::move(bytes), path);
}

RangeSource::Tail RangeSource::tail(std::size_t length) {
  Tail t;
  t.size = size();
  const std::uint64_t n = std::min<std::uint64_t>(t.size, length);
  if (n) t.bytes = read(t.size - n, static_cast<std::size_t>(n));
  return t;
}

ParquetFile ParquetFile::open_ranges(std::shared_ptr<RangeSource> src, std::string name, std::size_t tail_bytes,
                                     std::size_t max_gap) {
  if (!src) throw ValueError("no range source given for Parquet file " + name);
  auto impl = std::make_shared<Impl>();
  impl->source = std::move(name);
  impl->ranges = std::make_shared<RangeCache>();
  impl->ranges->src = std::move(src);
  impl->ranges->max_gap = max_gap;
  const std::size_t want = std::max<std::size_t>(tail_bytes, 12);
  RangeSource::Tail first = impl->ranges->src->tail(want);
  const std::uint64_t size = first.size;
  Place place{&impl->source, "file"};
  if (size < 12) place.fail("file too short to be Parquet (" + std::to_string(size) + " bytes)");
  if (size > std::numeric_limits<std::size_t>::max() / 2) place.fail("file too large");
  impl->size = static_cast<std::size_t>(size);
  RangeCache& cache = *impl->ranges;
  std::size_t tail_len = static_cast<std::size_t>(std::min<std::uint64_t>(size, want));
  if (first.bytes.size() != tail_len)
    place.fail("read of the last " + std::to_string(tail_len) + " bytes returned " +
               std::to_string(first.bytes.size()) + " bytes");
  cache.fetched += tail_len;
  std::vector<std::uint8_t> tail = std::move(first.bytes);
  // A footer longer than the first read: fetch the part before it.
  if (std::memcmp(tail.data() + tail_len - 4, "PAR1", 4) == 0) {
    std::uint32_t flen;
    std::memcpy(&flen, tail.data() + tail_len - 8, 4);
    if (flen <= size - 12 && std::size_t{flen} + 8 > tail_len) {
      const std::size_t more = std::size_t{flen} + 8 - tail_len;
      std::vector<std::uint8_t> head = cache.read_exact(size - tail_len - more, more, place);
      head.insert(head.end(), tail.begin(), tail.end());
      tail = std::move(head);
      tail_len = tail.size();
    }
  }
  if (tail_len == size && std::memcmp(tail.data(), "PAR1", 4) != 0)
    place.fail("wrong magic at the start (not a Parquet file)");
  impl->init_from_tail(tail.data(), tail_len);
  // The tail's bytes before the footer may belong to chunks a read needs.
  {
    std::lock_guard<std::mutex> lock(cache.mu);
    cache.insert_locked(size - tail_len, std::move(tail));
  }
  ParquetFile f;
  f.impl_ = std::move(impl);
  return f;
}

void ParquetFile::prefetch(const std::vector<std::size_t>& groups,
                           const std::optional<std::vector<std::string>>& columns) const {
  const Impl& im = *impl_;
  std::vector<const ColumnDesc*> cols;
  if (columns) {
    for (const auto& n : *columns) cols.push_back(&im.find(n));
  } else {
    for (const auto& d : im.columns) cols.push_back(&d);
  }
  for (std::size_t g : groups)
    if (g >= num_row_groups())
      throw IndexError("row group " + std::to_string(g) + " out of range (the file has " +
                       std::to_string(num_row_groups()) + ")");
  im.prefetch(groups, cols);
}

std::uint64_t ParquetFile::bytes_fetched() const {
  if (!impl_->ranges) return 0;
  std::lock_guard<std::mutex> lock(impl_->ranges->mu);
  return impl_->ranges->fetched;
}

std::size_t ParquetFile::num_row_groups() const { return impl_->meta.row_groups.size(); }
std::int64_t ParquetFile::num_rows() const { return impl_->meta.num_rows; }
std::vector<std::string> ParquetFile::column_names() const {
  std::vector<std::string> r;
  for (const auto& d : impl_->columns) r.push_back(d.name);
  return r;
}

DType ParquetFile::column_type(const std::string& name) const { return impl_->find(name).dtype; }

std::vector<const ColumnDesc*> pq::pick(const ParquetFile::Impl& im, const std::optional<std::vector<std::string>>& cols,
                                    bool& index_from_file) {
  std::vector<const ColumnDesc*> r;
  index_from_file = false;
  if (cols) {
    for (const auto& n : *cols) r.push_back(&im.find(n));
  } else {
    for (const auto& d : im.columns) {
      if (d.name == kIndexColumn && d.unsupported.empty() &&
          (d.dtype == DType::Int64 || d.dtype == DType::Text)) {
        index_from_file = true;
        continue;
      }
      r.push_back(&d);
    }
  }
  return r;
}

namespace {

// Uses the stored index column as row labels when it has no missing labels.
void apply_index(const ParquetFile::Impl& im, Frame& f, bool index_from_file, const std::vector<std::size_t>& groups) {
  if (!index_from_file) return;
  const ColumnDesc& d = im.find(kIndexColumn);
  pq::ColumnSink sink = im.sink_for(d);
  for (std::size_t g : groups) im.decode_chunk(d, g, sink);
  Column c = im.finish(d, sink);
  if (c.has_missing()) {
    f.add_column(kIndexColumn, std::move(c));
    return;
  }
  f.set_index(Index::from_column(c));
}

Frame read_groups(const ParquetFile::Impl& im, const std::vector<std::size_t>& groups,
                  const std::optional<std::vector<std::string>>& cols) {
  bool idx = false;
  const auto picked = pick(im, cols, idx);
  std::size_t rows = 0;
  for (std::size_t g : groups) rows += static_cast<std::size_t>(im.meta.row_groups[g].num_rows);
  {
    auto wanted = picked;
    if (idx) wanted.push_back(&im.find(kIndexColumn));
    im.prefetch(groups, wanted);
  }
  Frame f;
  for (const ColumnDesc* d : picked) {
    pq::ColumnSink sink = im.sink_for(*d);
    if (!d->unsupported.empty()) Place{&im.source, "column '" + d->name + "'"}.fail(d->unsupported);
    sink.reserve(std::min(rows, im.size * 8));  // a hint only; hostile row counts must not allocate
    for (std::size_t g : groups) im.decode_chunk(*d, g, sink);
    f.add_column(d->name, im.finish(*d, sink));
  }
  if (picked.empty()) f.set_index(Index::range(rows));
  apply_index(im, f, idx, groups);
  return f;
}

}  // namespace

Frame ParquetFile::read(const std::optional<std::vector<std::string>>& columns) const {
  std::vector<std::size_t> groups(num_row_groups());
  for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = i;
  return read_groups(*impl_, groups, columns);
}

Frame ParquetFile::read_row_group(std::size_t i, const std::optional<std::vector<std::string>>& columns) const {
  if (i >= num_row_groups())
    throw IndexError("row group " + std::to_string(i) + " out of range (the file has " +
                     std::to_string(num_row_groups()) + ")");
  return read_groups(*impl_, {i}, columns);
}

Frame read_parquet(const std::uint8_t* data, std::size_t size, const std::string& source) {
  auto impl = std::make_shared<ParquetFile::Impl>();
  impl->data = data;
  impl->size = size;
  impl->source = source;
  if (!data && size) throw ValueError("no bytes given for Parquet file " + source);
  impl->init();
  std::vector<std::size_t> groups(impl->meta.row_groups.size());
  for (std::size_t i = 0; i < groups.size(); ++i) groups[i] = i;
  return read_groups(*impl, groups, std::nullopt);
}

}  // namespace quorin_data::formats
