// CSV reading, whole or lazily by chunks from a byte source. An unquoted
// cell that is one of the missing markers ("", "NaN", "nan", "NA", "null",
// ...) is missing; a quoted cell is never missing (but an empty one), so a
// text "NA" written quoted reads back as itself. A read by chunks that joins
// them keeps each chunk's non-text cell texts until the join, so a column
// that ends up text keeps its cells as written.
#include <cstring>

#include "csv_internal.hpp"
#include "quorin_data/core/errors.hpp"

namespace quorin_data::formats {

using namespace csv_detail;

namespace csv_detail {

[[noreturn]] void no_columns(const std::string& source) {
  throw FormatError("CSV", source, "", "No columns to parse from file");
}

}  // namespace csv_detail

bool is_missing_marker(std::string_view text) noexcept { return is_na(text.data(), text.size()); }

Frame read_csv(std::string_view text, const std::string& source, const CsvOptions& options) {
  Engine e(source, text, options);
  if (!e.read_header()) no_columns(source);
  std::size_t rows = 0;
  // Columns start with room for about the rows the text holds (a row of n
  // non-empty fields takes 2n bytes or more), up to 2^20 as in a streamed
  // read: growing from nothing copies each column several times into fresh
  // memory.
  const std::size_t per_row = 2 * std::max<std::size_t>(e.names().size(), 1);
  return e.chunk(static_cast<std::size_t>(-1), std::min(text.size() / per_row + 1, std::size_t{1} << 20), 0, rows);
}

namespace {

// The state one builder reaches over the cells of two parts.
St join_state(St a, St b) {
  if (a == St::Empty) return b;
  if (b == St::Empty || a == b) return a;
  if (a == St::Declared || b == St::Declared) return St::Declared;  // never mixed: same columns
  if ((a == St::Int && b == St::Float) || (a == St::Float && b == St::Int)) return St::Float;
  return St::Text;  // text with anything, or a bool with a number
}

// A chunk's column converted to the state of the whole column, as one
// builder would have typed its cells.
Column convert_chunk_column(const Column& c, const Finished& info, St target) {
  const std::size_t n = c.size();
  switch (target) {
    case St::Int:  // from a chunk without a present cell
      return Column::missing(DType::Int64, n);
    case St::Bool: return Column::missing(DType::Bool, n);
    case St::Float: {
      std::vector<double> v(n);
      for (std::size_t i = 0; i < n; ++i) v[i] = c.as_double(i);
      return Column::floats(std::move(v));
    }
    default: {
      // Text: the cells as written (integers in canonical form keep no
      // texts: theirs are the values' own).
      TextBuilder t;
      t.reserve(n);
      const char* q = info.cells.data();
      for (std::size_t i = 0; i < n; ++i) {
        const std::size_t len = info.raw ? std::strlen(q) : 0;
        if (c.is_missing(i))
          t.append_missing();
        else if (info.raw)
          t.append(std::string_view(q, len));
        else
          t.append(c.cell_text(i));
        if (info.raw) q += len + 1;
      }
      return t.finish();
    }
  }
}

Frame join_chunks(std::vector<Frame>& chunks, std::vector<std::vector<Finished>>& infos) {
  const std::size_t ncols = chunks.empty() ? 0 : chunks[0].num_columns();
  for (std::size_t j = 0; j < ncols && chunks.size() > 1; ++j) {
    St target = St::Empty;
    for (const auto& inf : infos) target = join_state(target, inf[j].st);
    for (std::size_t k = 0; k < chunks.size(); ++k) {
      Finished& inf = infos[k][j];
      if (inf.st != target && target != St::Empty && target != St::Declared)
        chunks[k].replace_column(j, convert_chunk_column(chunks[k].column_at(j), inf, target));
      inf = Finished{};  // the texts are no longer needed
    }
  }
  infos.clear();
  return Frame::concat_rows(std::move(chunks));
}

}  // namespace

struct CsvChunkReader::Impl {
  Engine engine;
  std::size_t chunksize;
  std::size_t next_label = 0;
  bool started = false, finished = false;
  Impl(ByteReader r, std::string src, std::size_t cs, const CsvOptions& o)
      : engine(std::move(src), std::move(r), o), chunksize(cs) {}
  std::string source_name;
};

CsvChunkReader::CsvChunkReader(ByteReader reader, std::string source, std::size_t chunksize,
                               const CsvOptions& options) {
  if (chunksize == 0) throw ValueError("chunksize must be a positive integer");
  std::string src = source;
  impl_ = std::make_unique<Impl>(std::move(reader), std::move(source), chunksize, options);
  impl_->source_name = std::move(src);
}

CsvChunkReader::~CsvChunkReader() = default;

std::optional<Frame> CsvChunkReader::next() {
  Impl& m = *impl_;
  if (m.finished) return std::nullopt;
  if (!m.started) {
    m.started = true;
    if (!m.engine.read_header()) {
      m.finished = true;
      no_columns(m.source_name);
    }
  }
  std::size_t rows = 0;
  const bool first = m.next_label == 0;
  Frame f = m.engine.chunk(m.chunksize, std::min<std::size_t>(m.chunksize, 1 << 20), m.next_label, rows);
  if (rows == 0) {
    m.finished = true;
    // A file with a header only gives one empty frame with its columns.
    if (first) return f;
    return std::nullopt;
  }
  m.next_label += rows;
  return f;
}

Frame CsvChunkReader::read_all(const std::function<void(std::size_t, const Frame&)>& on_chunk) {
  Impl& m = *impl_;
  if (m.started) throw ValueError("read_all() reads from the start, but next() was called first");
  m.started = true;
  m.engine.keep_raw();
  if (!m.engine.read_header()) {
    m.finished = true;
    no_columns(m.source_name);
  }
  std::vector<Frame> chunks;
  std::vector<std::vector<Finished>> infos;
  for (;;) {
    std::size_t rows = 0;
    std::vector<Finished> info;
    Frame f = m.engine.chunk(m.chunksize, std::min<std::size_t>(m.chunksize, 1 << 20), m.next_label, rows, &info);
    // A file with a header only gives one empty chunk with its columns.
    if (rows == 0 && !chunks.empty()) break;
    if (on_chunk) on_chunk(chunks.size(), f);
    m.next_label += rows;
    chunks.push_back(std::move(f));
    infos.push_back(std::move(info));
    if (rows == 0) break;
  }
  m.finished = true;
  return join_chunks(chunks, infos);
}

Frame CsvChunkReader::read_all_in_one(const std::function<void(std::size_t)>& on_chunk) {
  Impl& m = *impl_;
  if (m.started) throw ValueError("read_all_in_one() reads from the start, but next() was called first");
  m.started = true;
  if (!m.engine.read_header()) {
    m.finished = true;
    no_columns(m.source_name);
  }
  std::size_t chunks = 0, rows = 0;
  RowTick tick;
  if (on_chunk) {
    tick.every = m.chunksize;
    tick.call = [&](std::size_t) { on_chunk(chunks++); };
  }
  Frame f = m.engine.chunk(static_cast<std::size_t>(-1), std::size_t{1} << 20, 0, rows, nullptr, tick);
  // The last, shorter chunk; a file with a header only gives one empty chunk.
  if (on_chunk && (rows == 0 || rows % m.chunksize != 0)) on_chunk(chunks++);
  m.finished = true;
  return f;
}

}  // namespace quorin_data::formats
