// Internal pieces of the CSV reader shared by its source files: the cell
// rules, the column builder (type inference) and the record splitter.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quorin_data/core/frame.hpp"
#include "quorin_data/formats/csv.hpp"

namespace quorin_data::formats::csv_detail {

[[noreturn]] void fail_line(const std::string& source, std::size_t line, const std::string& what);

template <std::size_t N>
bool eq(const char* p, std::size_t n, const char (&lit)[N]) {
  return n == N - 1 && std::memcmp(p, lit, N - 1) == 0;
}

// The missing-value markers of a table library's CSV reader.
inline bool is_na(const char* p, std::size_t n) {
  if (n == 0) return true;
  if (n > 8) return false;
  switch (p[0]) {
    case 'N':
      return eq(p, n, "NA") || eq(p, n, "NaN") || eq(p, n, "N/A") || eq(p, n, "NULL") || eq(p, n, "None");
    case 'n': return eq(p, n, "nan") || eq(p, n, "n/a") || eq(p, n, "null");
    case '#': return eq(p, n, "#NA") || eq(p, n, "#N/A") || eq(p, n, "#N/A N/A");
    case '<': return eq(p, n, "<NA>");
    case '-': return eq(p, n, "-NaN") || eq(p, n, "-nan") || eq(p, n, "-1.#IND") || eq(p, n, "-1.#QNAN");
    case '1': return eq(p, n, "1.#IND") || eq(p, n, "1.#QNAN");
    default: return false;
  }
}

// Which cells are missing: the usual markers and/or the caller's texts.
class MissingTexts {
 public:
  explicit MissingTexts(const CsvOptions& o) : defaults_(o.default_missing), extra_(o.missing) {
    empty_ = defaults_;
    for (const auto& t : extra_) empty_ = empty_ || t.empty();
  }
  bool operator()(const char* p, std::size_t n, bool quoted) const {
    if (n == 0) return empty_;
    if (quoted) return false;
    if (defaults_ && is_na(p, n)) return true;
    for (const auto& t : extra_)
      if (t.size() == n && std::memcmp(t.data(), p, n) == 0) return true;
    return false;
  }

 private:
  bool defaults_, empty_ = true;
  std::vector<std::string> extra_;
};

enum class Kind { Int, Float, Bool, Text };

// Inference state of a column (Declared: its type was given).
enum class St { Empty, Int, Float, Bool, Text, Declared };

// What a finished chunk column needs for a later join: its state and, when
// its cells cannot be rebuilt from the values, their texts as written, each
// followed by a NUL (cells never hold one; a missing cell is empty): one byte
// a cell beyond the texts.
struct Finished {
  St st = St::Empty;
  bool raw = false;
  std::string cells;
};

bool declarable(DType t);
bool parse_int_cell(const char* p, std::size_t n, std::int64_t& v);
bool parse_float_cell(const char* p, std::size_t n, double& v);
// Internal to the library (hidden), so calls from other files of it go
// straight to these, not through the PLT.
#define QUORIN_CSV_INTERNAL __attribute__((visibility("hidden")))
// The plain form "[-](0|[1-9][0-9]*).[0-9]+" of a decimal cell of at most
// 19 digits, when it has one: the digits after the point (-1: no plain
// form) and, past 15 digits (wide), all of its digits.
struct PlainForm {
  int frac = -1;
  bool wide = false;
  std::uint64_t digits = 0;
};
QUORIN_CSV_INTERNAL Kind classify(const char* p, std::size_t n, std::int64_t& iv, double& dv, PlainForm& plain);

struct Field {
  const char* b;  // content (or, when `raw`, the whole field with its quotes)
  std::size_t n : 62;
  std::size_t quoted : 1;
  std::size_t raw : 1;  // needs decoding: doubled quotes or bytes after the closing quote
};

// The text of a field that needs decoding (doubled quotes, bytes after the
// closing quote).
std::string decode_quoted(const char* p, std::size_t n);

// Column `col` of a batch of split records: row-major, `slots` fields a
// record, record r has nf[r] fields (the cell is missing past them).
struct CellRun {
  const Field* fields;
  std::size_t slots, col, rows;
  const std::size_t* nf;
  const MissingTexts* missing;
};

// Builds one column of a chunk with incremental type inference.
class ColBuilder {
 public:
  void set_reserve(std::size_t n) { reserve_ = n; }
  void declare(DType t) {
    declared_ = t;
    st_ = St::Declared;
  }
  // Keeps the cell texts of a non-text result for a later join.
  void keep_raw(bool on) { keep_raw_ = on; }

  // Adds a cell; false when it does not read as the declared type.
  QUORIN_CSV_INTERNAL bool add(const char* p, std::size_t n, bool missing);

  void add_missing() { add("", 0, true); }

  // Adds the cells of a run in row order; false at the first cell that
  // does not read as the declared type, with its row in `at` and its text
  // in `scratch`. When a cell raises, `at` is its row.
  QUORIN_CSV_INTERNAL bool add_run(const CellRun& run, std::size_t& at, std::string& scratch);

  // The chunk's column; `info` (when given) receives what a join needs.
  Column finish(Finished* info = nullptr);

  // Frees every scratch buffer (after the last chunk).
  void release();

 private:
  Validity take_valid() { return Validity(std::move(valid_)); }

  bool add_declared(const char* p, std::size_t n, bool missing);

  // Stretches of a run that keep the column's state, without add()'s
  // checks: each stops (r at the cell) before a cell that would change the
  // state or needs decoding, for add() to take.
  void text_stretch(const CellRun& run, std::size_t& r);
  template <St S>
  void typed_stretch(const CellRun& run, std::size_t& r);

  Column finish_declared();

  // A text cell (a text column's, or one that is missing).
  void add_text(const char* p, std::size_t n, bool missing) {
    if (missing) {
      text_.append_missing();
      ++nmiss_;
    } else {
      text_.append(std::string_view(p, n));
    }
  }

  // A missing cell of a number or bool column (rows_ already counted).
  void add_missing_typed();

  void ints_to_floats();

  // Starts recording how cells are written (each cell so far has its
  // implicit form: missing, a canonical integer, or "True"/"False").
  void start_forms();

  // Records how a present cell is written, for a later switch to text.
  void push_form(const char* p, std::size_t n, Kind k, std::int64_t iv, const PlainForm& plain, St next);
  std::uint8_t implicit_form(std::size_t i) const;

  // Calls f(present, text) for each cell so far, each as it was written.
  template <class F>
  void each_cell(F&& f) const;

  // Switches to text, restoring every cell so far as written.
  void to_text();

  St st_ = St::Empty;
  DType declared_ = DType::Text;
  bool have_forms_ = false, keep_raw_ = false;
  std::size_t rows_ = 0, nmiss_ = 0, reserve_ = 0;
  std::vector<std::int64_t> i64_;
  std::vector<double> f64_;
  std::vector<std::uint8_t> b8_;  // bool cells
  TextBuilder text_;
  ValidityBuilder valid_;  // of the cells before the column turned to text
  // How each cell of a non-text column is written, once a cell has a form
  // other than its implicit one (implicit_form): one byte a cell, from which the text is rebuilt
  // with the cell's value; only cells no rule rebuilds keep their bytes
  // (`arena_`, lengths in `raw_lens_`), and long decimals their digits
  // (`wide_`), each in cell order.
  std::vector<std::uint8_t> forms_;
  std::string arena_;
  std::vector<std::size_t> raw_lens_;
  std::vector<std::uint64_t> wide_;
};

// Called with the rows read so far after every `every` rows (0: never).
struct RowTick {
  std::size_t every = 0;
  std::function<void(std::size_t)> call;
};

// The record splitter and column builders shared by read_csv and the chunk
// reader. The data is a window [head, tail) of a buffer; `eof` says no more
// bytes will come.
class Engine {
 public:
  Engine(std::string source, ByteReader reader, const CsvOptions& options);
  Engine(std::string source, std::string_view text, const CsvOptions& options);

  // Chunks keep the texts of their non-text columns for a later join.
  void keep_raw() { keep_raw_ = true; }

  // Reads the header; false when the input has no record at all.
  bool read_header();

  // Header names made unique as a table library does: an empty name is
  // "Unnamed: <position>"; a repeated one gets the first free ".1", ".2",
  // ... that is neither taken already nor a later name of the header. Linear:
  // each base name resumes at the suffix where its last search ended (every
  // suffix below it stays taken).
  static std::vector<std::string> unique_names(const std::vector<std::string>& raw);

  const std::vector<std::string>& names() const { return names_; }

  // Parses up to `max_rows` rows into a frame labelled from `first_label`.
  // With `infos`, each column's join information goes there.
  Frame chunk(std::size_t max_rows, std::size_t reserve, std::size_t first_label, std::size_t& rows,
              std::vector<Finished>* infos = nullptr, const RowTick& tick = {});

 private:
  void check_options() const;

  // A cell of `line` that does not read as its column's declared type.
  [[noreturn]] void bad_cell(std::size_t line, std::size_t col, const char* p, std::size_t n) const;
  std::string declared_name(std::size_t col) const;

  std::string cell(const Field& f) const;

  // Pulls more bytes, keeping the unparsed window; false at the end. The
  // free space is filled (several reads if the source hands out little at
  // a time) and grows with a pending record, so that a long record is not
  // rescanned a quadratic number of times.
  bool refill();

  void consume() {
    head_ = next_;
    line_ = next_line_;
  }

  // Splits the record at head_ into fields_ (or, inside chunk(), into the
  // batch's next row); false when no record is left. The record is only
  // consumed by consume().
  bool next_record();

  // 1: a record; -1: incomplete (more bytes needed); 0: nothing left.
  int scan();

  // Records split but not yet given to the column builders (set only inside
  // chunk()). Their fields point into the buffer, so the batch is flushed
  // before the buffer moves.
  struct Batch;
  Batch* batch_ = nullptr;

  // Gives the batch's cells to the column builders, a column at a time (on
  // a helper thread as well once batches run full); raises the first failure
  // in row order, as one pass over the records would.
  void flush_batch();
  // Claims columns of the batch until none is left.
  void add_batch_columns(Batch& b);

  std::string source_;
  ByteReader reader_;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  const char* base_ = nullptr;
  std::size_t head_ = 0, tail_ = 0, next_ = 0;
  std::size_t line_ = 1, next_line_ = 1, record_line_ = 1;
  bool eof_ = false, blank_ = false, bom_checked_ = false;
  std::vector<Field> fields_;
  std::size_t nfields_ = 0;  // of the record last split
  std::vector<std::string> names_;
  std::vector<ColBuilder> cols_;
  CsvOptions options_;
  MissingTexts missing_;
  bool keep_raw_ = false;
  const char* stop_block_ = nullptr;  // the 64 bytes stop_bits_ describe
  std::uint64_t stop_bits_ = 0;
};

[[noreturn]] void no_columns(const std::string& source);

}  // namespace quorin_data::formats::csv_detail
