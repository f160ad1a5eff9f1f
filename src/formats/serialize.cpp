// Binary serialization of Value. Layout (little-endian throughout):
//   "QDPK" magic, u8 version (1), one value.
//   value  := u8 tag, payload
//   str    := u64 length, bytes
//   none 0 | bool 1: u8 | int 2: i64 | float 3: f64 bits | str 4: str
//   bytes 5: u8 is_buffer, u64 pos, u64 length, bytes
//   list 6: u64 count, values | dict 7: u64 count, (key value, value) pairs
//   date 8: u64 (low 32 bits: i32 days) | timestamp 9: i64 ns, str zone
//   frame 10: index, u64 ncols, (str name, column)...
//   series 11: column, index, str name, str category
//   index  := u8 kind (0 range, 1 int, 2 text), str name, u64 n,
//             range: i64 start | int: n x i64 | text: n x str
//   column := u8 dtype, u64 n, str zone, u8 has_valid, [n x u8 valid],
//             float: n x f64 | text: n x str | others: n x i64
// Every length is checked against the bytes left before anything is
// allocated, and nesting is limited to kMaxDepth.
#include "quorin_data/formats/serialize.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <span>
#include <type_traits>

#include "kernels/buffers.hpp"
#include "quorin_data/core/errors.hpp"

namespace quorin_data::formats {

namespace {

constexpr char kMagic[4] = {'Q', 'D', 'P', 'K'};
constexpr std::uint8_t kVersion = 1;
constexpr int kMaxDepth = 64;

enum Tag : std::uint8_t {
  kNone = 0, kBool, kInt, kFloat, kStr, kBytes, kList, kDict, kDate, kTimestamp, kFrame, kSeries,
};

class Writer {
 public:
  std::vector<std::uint8_t> out;

  // Room for n more bytes at the end, to be filled. The buffer grows on huge
  // pages (a value of tens of MB would otherwise fault in 4 KiB at a time).
  std::uint8_t* grow(std::size_t n) {
    const std::size_t at = out.size();
    kernels::room_for(out, n);
    out.resize(at + n);
    return out.data() + at;
  }
  static std::uint8_t* put64(std::uint8_t* p, std::uint64_t v) {
    if constexpr (std::endian::native == std::endian::little) {
      std::memcpy(p, &v, 8);
    } else {
      for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    return p + 8;
  }
  void u8(std::uint8_t v) { *grow(1) = v; }
  void u64(std::uint64_t v) { put64(grow(8), v); }
  void i64(std::int64_t v) { u64(static_cast<std::uint64_t>(v)); }
  void f64(double v) { u64(std::bit_cast<std::uint64_t>(v)); }
  void raw(const void* p, std::size_t n) {
    if (n != 0) std::memcpy(grow(n), p, n);
  }
  void str(std::string_view s) {
    u64(s.size());
    raw(s.data(), s.size());
  }
  // n strs at once: their room is made in one step.
  template <class Text>
  void strs(std::size_t n, const Text& text) {
    std::size_t bytes = 8 * n;
    for (std::size_t i = 0; i < n; ++i) bytes += text(i).size();
    std::uint8_t* p = grow(bytes);
    for (std::size_t i = 0; i < n; ++i) {
      const std::string_view s = text(i);
      p = put64(p, s.size());
      if (!s.empty()) std::memcpy(p, s.data(), s.size());
      p += s.size();
    }
  }
  // n values as i64 (or f64 bits) at once.
  template <class T>
  void values64(std::span<const T> v) {
    std::uint8_t* p = grow(8 * v.size());
    if constexpr (std::endian::native == std::endian::little && sizeof(T) == 8 &&
                  (std::is_same_v<T, double> || std::is_same_v<T, std::int64_t>)) {
      if (!v.empty()) std::memcpy(p, v.data(), 8 * v.size());
    } else {
      for (const T x : v) {
        if constexpr (std::is_same_v<T, double>)
          p = put64(p, std::bit_cast<std::uint64_t>(x));
        else
          p = put64(p, static_cast<std::uint64_t>(static_cast<std::int64_t>(x)));
      }
    }
  }

  void index(const Index& idx) {
    const std::size_t n = idx.size();
    switch (idx.kind()) {
      case Index::Kind::Range:
        u8(0);
        str(idx.name);
        u64(n);
        i64(n == 0 ? 0 : idx.int_label(0));
        break;
      case Index::Kind::Int:
        u8(1);
        str(idx.name);
        u64(n);
        {
          std::uint8_t* p = grow(8 * n);
          for (std::size_t i = 0; i < n; ++i) p = put64(p, static_cast<std::uint64_t>(idx.int_label(i)));
        }
        break;
      case Index::Kind::Text:
        u8(2);
        str(idx.name);
        u64(n);
        strs(n, [&](std::size_t i) { return std::string_view(idx.text_label(i)); });
        break;
    }
  }

  void column(const Column& c) {
    const std::size_t n = c.size();
    u8(static_cast<std::uint8_t>(c.type()));
    u64(n);
    str(c.tz());
    // One presence byte a row, as the format has always stored it.
    const bool has_valid = c.has_validity() && n > 0;
    u8(has_valid ? 1 : 0);
    if (has_valid) {
      std::uint8_t* p = grow(n);
      for (std::size_t i = 0; i < n; ++i) p[i] = c.is_missing(i) ? 0 : 1;
    }
    visit_type(c.type(), [&](auto tag) {
      constexpr DType T = decltype(tag)::type;
      if constexpr (T == DType::Float64) {
        values64(c.f64());
      } else if constexpr (T == DType::Text) {
        strs(n, [&](std::size_t i) { return std::string_view(c.text(i)); });
      } else {
        values64(c.values<T>());
      }
    });
  }

  void value(const Value& v, int depth) {
    if (depth > kMaxDepth)
      throw ValueError("cannot serialize a value nested deeper than " + std::to_string(kMaxDepth) + " levels");
    std::visit(
        [&](const auto& x) {
          using T = std::decay_t<decltype(x)>;
          if constexpr (std::is_same_v<T, std::monostate>) {
            u8(kNone);
          } else if constexpr (std::is_same_v<T, bool>) {
            u8(kBool);
            u8(x ? 1 : 0);
          } else if constexpr (std::is_same_v<T, std::int64_t>) {
            u8(kInt);
            i64(x);
          } else if constexpr (std::is_same_v<T, double>) {
            u8(kFloat);
            f64(x);
          } else if constexpr (std::is_same_v<T, std::string>) {
            u8(kStr);
            str(x);
          } else if constexpr (std::is_same_v<T, std::shared_ptr<Bytes>>) {
            u8(kBytes);
            u8(x->is_buffer ? 1 : 0);
            u64(x->pos);
            u64(x->data.size());
            raw(x->data.data(), x->data.size());
          } else if constexpr (std::is_same_v<T, std::shared_ptr<List>>) {
            u8(kList);
            u64(x->size());
            for (const auto& e : *x) value(e, depth + 1);
          } else if constexpr (std::is_same_v<T, std::shared_ptr<Dict>>) {
            u8(kDict);
            u64(x->size());
            for (const auto& [k, e] : *x) {
              value(k, depth + 1);
              value(e, depth + 1);
            }
          } else if constexpr (std::is_same_v<T, Date>) {
            u8(kDate);
            u64(static_cast<std::uint32_t>(x.days));
          } else if constexpr (std::is_same_v<T, Timestamp>) {
            u8(kTimestamp);
            i64(x.ns);
            str(x.tz);
          } else if constexpr (std::is_same_v<T, std::shared_ptr<Frame>>) {
            u8(kFrame);
            index(x->index());
            u64(x->num_columns());
            for (std::size_t i = 0; i < x->num_columns(); ++i) {
              str(x->names()[i]);
              column(x->column_at(i));
            }
          } else if constexpr (std::is_same_v<T, std::shared_ptr<Series>>) {
            u8(kSeries);
            column(x->values);
            index(x->index);
            str(x->name);
            str(x->category);
          }
        },
        v.storage());
  }
};

class Reader {
 public:
  Reader(const std::uint8_t* d, std::size_t n, const std::string& src) : data_(d), size_(n), source_(src) {}

  [[noreturn]] void fail(std::size_t at, const std::string& what) const {
    throw FormatError("pickle", source_, "offset " + std::to_string(at), what);
  }
  std::size_t pos() const { return pos_; }
  std::size_t left() const { return size_ - pos_; }

  void need(std::size_t n, const char* what) const {
    if (n > left())
      fail(pos_, std::string("truncated input: ") + what + " needs " + std::to_string(n) + " bytes, " +
                     std::to_string(left()) + " left");
  }
  std::uint8_t u8(const char* what) {
    need(1, what);
    return data_[pos_++];
  }
  std::uint64_t u64(const char* what) {
    need(8, what);
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(data_[pos_ + i]) << (8 * i);
    pos_ += 8;
    return v;
  }
  std::int64_t i64(const char* what) { return static_cast<std::int64_t>(u64(what)); }
  double f64(const char* what) { return std::bit_cast<double>(u64(what)); }
  // A count of items each taking at least `min_item` bytes.
  std::size_t count(const char* what, std::size_t min_item) {
    const std::size_t at = pos_;
    const std::uint64_t n = u64(what);
    if (min_item != 0 && n > left() / min_item)
      fail(at, std::string(what) + " of " + std::to_string(n) + " does not fit in the " +
                   std::to_string(left()) + " bytes left");
    return static_cast<std::size_t>(n);
  }
  std::string_view str_view(const char* what) {
    const std::size_t n = count(what, 1);
    std::string_view s(reinterpret_cast<const char*>(data_ + pos_), n);
    pos_ += n;
    return s;
  }
  std::string str(const char* what) { return std::string(str_view(what)); }

  Index index() {
    const std::size_t at = pos_;
    const std::uint8_t kind = u8("index kind");
    std::string name = str("index name length");
    Index idx;
    if (kind == 0) {
      const std::uint64_t n = u64("range length");
      const std::int64_t start = i64("range start");
      // Labels start..start+n-1 must stay far from overflow.
      constexpr std::int64_t kLim = std::int64_t{1} << 48;
      if (n > static_cast<std::uint64_t>(kLim) || start > kLim || start < -kLim)
        fail(at, "range index out of range");
      idx = Index::range(static_cast<std::size_t>(n), start);
    } else if (kind == 1) {
      const std::size_t n = count("int index length", 8);
      std::vector<std::int64_t> v(n);
      for (auto& x : v) x = i64("int label");
      idx = Index::ints(std::move(v));
    } else if (kind == 2) {
      const std::size_t n = count("text index length", 8);
      std::vector<std::string> v;
      v.reserve(n);
      for (std::size_t i = 0; i < n; ++i) v.push_back(str("text label length"));
      idx = Index::texts(std::move(v));
    } else {
      fail(at, "unknown index kind " + std::to_string(kind));
    }
    idx.name = std::move(name);
    return idx;
  }

  Column column() {
    const std::size_t at = pos_;
    const std::uint8_t t = u8("column type");
    if (t > static_cast<std::uint8_t>(DType::Time)) fail(at, "unknown column type " + std::to_string(t));
    const auto type = static_cast<DType>(t);
    const std::size_t n = count("column length", type == DType::Text ? 8 : 1);
    std::string tz = str("zone length");
    const std::size_t vat = pos_;
    const std::uint8_t has_valid = u8("validity flag");
    if (has_valid > 1) fail(vat, "bad validity flag " + std::to_string(has_valid));
    ValidityBuilder valid;
    if (has_valid) {
      if (type == DType::Float64) fail(vat, "float column with a validity mask");
      need(n, "validity mask");
      valid.reserve(n);
      for (std::size_t i = 0; i < n; ++i) valid.push(data_[pos_ + i] != 0);
      pos_ += n;
    }
    return visit_type(type, [&](auto tag) -> Column {
      constexpr DType T = decltype(tag)::type;
      using V = typename decltype(tag)::value_type;
      if constexpr (T == DType::Float64) {
        need(n * 8, "float values");  // n <= left, so n*8 cannot overflow here
        std::vector<double> v;
        kernels::resize_large(v, n);
        for (auto& x : v) x = f64("float value");
        return Column::floats(std::move(v));
      } else if constexpr (T == DType::Text) {
        if (n > left() / 8) fail(pos_, "text column of " + std::to_string(n) + " cells runs past the end");
        TextBuilder b;
        b.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
          const std::string_view s = str_view("text cell length");
          if (has_valid && !valid.present(i))
            b.append_missing();
          else
            b.append(s);
        }
        return b.finish();
      } else {
        need(n * 8, "integer values");
        std::vector<V> v;
        kernels::resize_large(v, n);
        for (std::size_t i = 0; i < n; ++i) {
          const std::size_t vat_i = pos_;
          const std::int64_t x = i64("integer value");
          const bool present = !has_valid || valid.present(i);
          // Dates are 32-bit day counts, as the scalar form stores them;
          // booleans are 0 or 1.
          if constexpr (T == DType::Date) {
            if (x < std::numeric_limits<std::int32_t>::min() || x > std::numeric_limits<std::int32_t>::max())
              fail(vat_i, "date value " + std::to_string(x) + " out of range");
          } else if constexpr (T == DType::Bool) {
            if (x != 0 && x != 1) fail(vat_i, "bad bool value " + std::to_string(x));
          } else if constexpr (T == DType::Time) {
            if (present && (x < 0 || x >= kNanosPerDay))
              fail(at, "time of day out of range: " + std::to_string(x) + " ns");
          }
          v[i] = static_cast<V>(x);
        }
        return Column::from_buffers(T, n, Buffer::adopt(std::move(v)), valid.finish(), {}, std::move(tz));
      }
    });
  }

  Value value(int depth) {
    const std::size_t at = pos_;
    if (depth > kMaxDepth) fail(at, "nesting deeper than " + std::to_string(kMaxDepth) + " levels");
    const std::uint8_t tag = u8("tag");
    switch (tag) {
      case kNone: return Value();
      case kBool: {
        const std::uint8_t b = u8("bool");
        if (b > 1) fail(at + 1, "bad bool byte " + std::to_string(b));
        return Value(b == 1);
      }
      case kInt: return Value(static_cast<long long>(i64("int")));
      case kFloat: return Value(f64("float"));
      case kStr: return Value(str("str length"));
      case kBytes: {
        Bytes b;
        const std::size_t fat = pos_;
        const std::uint8_t flag = u8("buffer flag");
        if (flag > 1) fail(fat, "bad buffer flag " + std::to_string(flag));
        b.is_buffer = flag == 1;
        b.pos = static_cast<std::size_t>(u64("buffer position"));
        const std::size_t n = count("bytes length", 1);
        b.data.assign(data_ + pos_, data_ + pos_ + n);
        pos_ += n;
        return Value(std::move(b));
      }
      case kList: {
        const std::size_t n = count("list length", 1);
        List l;
        l.reserve(n);
        for (std::size_t i = 0; i < n; ++i) l.push_back(value(depth + 1));
        return Value(std::move(l));
      }
      case kDict: {
        const std::size_t n = count("dict length", 2);
        Dict d;
        d.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
          Value k = value(depth + 1);
          Value e = value(depth + 1);
          d.emplace_back(std::move(k), std::move(e));
        }
        return Value(std::move(d));
      }
      case kDate: {
        const std::uint64_t d = u64("date");
        if (d > 0xffffffffULL) fail(at + 1, "date out of range");
        return Value(Date{static_cast<std::int32_t>(static_cast<std::uint32_t>(d))});
      }
      case kTimestamp: {
        Timestamp ts;
        ts.ns = i64("timestamp");
        ts.tz = str("zone length");
        return Value(std::move(ts));
      }
      case kFrame: {
        Frame f;
        Index idx = index();
        const std::size_t rows = idx.size();
        f.set_index(std::move(idx));
        const std::size_t ncols = count("column count", 26);
        if (ncols == 0 && rows > kMaxRowsWithoutColumns)
          fail(at, "a frame without columns declares " + std::to_string(rows) + " rows, more than " +
                       std::to_string(kMaxRowsWithoutColumns));
        for (std::size_t i = 0; i < ncols; ++i) {
          std::string name = str("column name length");
          const std::size_t cat = pos_;
          Column c = column();
          if (c.size() != rows)
            fail(cat, "column '" + name + "' has " + std::to_string(c.size()) + " rows, the index " +
                          std::to_string(rows));
          f.add_column(std::move(name), std::move(c));
        }
        return Value(std::move(f));
      }
      case kSeries: {
        const std::size_t cat = pos_;
        Column c = column();
        Index idx = index();
        if (idx.size() != c.size())
          fail(cat, "series of " + std::to_string(c.size()) + " values has an index of " +
                        std::to_string(idx.size()) + " labels");
        std::string name = str("series name length");
        Series s(std::move(c), std::move(idx), std::move(name));
        s.category = str("series category length");
        return Value(std::move(s));
      }
      default: fail(at, "unknown tag " + std::to_string(tag));
    }
  }

  void header() {
    need(5, "header");
    if (std::memcmp(data_, kMagic, 4) != 0) fail(0, "not a quorin_data serialized value (bad magic)");
    if (data_[4] != kVersion) fail(4, "unsupported version " + std::to_string(data_[4]));
    pos_ = 5;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  const std::string& source_;
  std::size_t pos_ = 0;
};

}  // namespace

std::vector<std::uint8_t> serialize(const Value& v) {
  Writer w;
  w.raw(kMagic, 4);
  w.u8(kVersion);
  w.value(v, 0);
  return std::move(w.out);
}

Value deserialize(const std::uint8_t* data, std::size_t size, const std::string& source) {
  Reader r(data, size, source);
  r.header();
  Value v = r.value(0);
  if (r.left() != 0) r.fail(r.pos(), std::to_string(r.left()) + " trailing bytes after the value");
  return v;
}

namespace {

// Walks the opcodes of protocols 0 and 1 (their argument forms as Python's
// pickletools documents them); true when STOP ends the bytes exactly.
bool is_old_protocol_pickle(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0, ops = 0;
  // A newline-ended argument whose bytes are all in `allowed` (any byte but
  // a newline when it is null); false when no newline follows.
  auto line = [&](const char* allowed) {
    while (i < n && p[i] != '\n') {
      if (allowed && !std::strchr(allowed, p[i])) return false;
      ++i;
    }
    if (i == n) return false;
    ++i;
    return true;
  };
  auto skip = [&](std::uint64_t k) {
    if (k > n - i) return false;
    i += static_cast<std::size_t>(k);
    return true;
  };
  auto le = [&](int bytes, std::uint64_t& v) {
    if (static_cast<std::size_t>(bytes) > n - i) return false;
    v = 0;
    for (int b = 0; b < bytes; ++b) v |= std::uint64_t{p[i + b]} << (8 * b);
    i += static_cast<std::size_t>(bytes);
    return true;
  };
  constexpr const char* kDecimal = "+-0123456789";
  constexpr const char* kLong = "+-0123456789L";
  constexpr const char* kFloat = "+-0123456789.eEinfatyINFATY";
  while (i < n) {
    const std::uint8_t op = p[i++];
    ++ops;
    std::uint64_t len = 0;
    bool ok = true;
    switch (op) {
      case '.': return i == n && ops > 1;                         // STOP
      case 'I': case 'p': case 'g': ok = line(kDecimal); break;  // INT, PUT, GET
      case 'L': ok = line(kLong); break;                          // LONG
      case 'F': ok = line(kFloat); break;                         // FLOAT
      case 'S': case 'V': case 'P': ok = line(nullptr); break;    // STRING, UNICODE, PERSID
      case 'c': case 'i': ok = line(nullptr) && line(nullptr); break;  // GLOBAL, INST
      case 'N': case '(': case 'l': case 't': case 'd': case 'a': case 's': case 'R': case 'b':
      case '0': case '2': case ']': case ')': case '}': case 'e': case 'u': case 'o': case 'Q':
      case '1':
        break;  // no argument
      case 'J': case 'r': case 'j': ok = skip(4); break;  // BININT, LONG_BINPUT, LONG_BINGET
      case 'K': case 'q': case 'h': ok = skip(1); break;  // BININT1, BINPUT, BINGET
      case 'M': ok = skip(2); break;                       // BININT2
      case 'G': ok = skip(8); break;                       // BINFLOAT
      case 'U': ok = le(1, len) && skip(len); break;       // SHORT_BINSTRING
      case 'T': ok = le(4, len) && len < (std::uint64_t{1} << 31) && skip(len); break;  // BINSTRING
      case 'X': ok = le(4, len) && skip(len); break;       // BINUNICODE
      default: return false;
    }
    if (!ok) return false;
  }
  return false;
}

}  // namespace

bool is_python_pickle(const std::uint8_t* data, std::size_t size) noexcept {
  if (data == nullptr || size < 2) return false;
  if (data[0] == 0x80) return data[1] >= 2 && data[1] <= 5;
  return is_old_protocol_pickle(data, size);
}

}  // namespace quorin_data::formats
