// read_from_s3 and read_by_chunks.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <iostream>
#include <cstring>
#include <mutex>
#include <thread>
#include <string_view>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/bucketry/internal.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/formats/serialize.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/core/text.hpp"

namespace quorin_data::from_s3::bucketry {

namespace {

// Key of the tabular formats: file_path alone under an empty prefix. An absent
// prefix has no length and fails as such.
std::string tabular_key(const std::optional<std::string>& prefix, const std::string& file_path) {
  if (!prefix) throw TypeError("object of type 'NoneType' has no len()");
  return prefix->empty() ? file_path : *prefix + "/" + file_path;
}

std::mutex observer_mu;
detail::ChunkObserver& observer() {
  static detail::ChunkObserver o;
  return o;
}

// A text progress line on stderr, redrawn per chunk: "N chunks [Xs, R chunks/s]".
class Progress {
 public:
  explicit Progress(std::string unit) : unit_(std::move(unit)), start_(clock::now()) { draw(); }
  void update() {
    ++n_;
    draw();
  }
  // A read that fails part-way still ends the progress line.
  ~Progress() {
    if (!closed_) std::cerr << "\n" << std::flush;
  }
  void close() {
    draw();
    std::cerr << "\n" << std::flush;
    closed_ = true;
  }

 private:
  using clock = std::chrono::steady_clock;
  void draw() {
    const double secs = std::chrono::duration<double>(clock::now() - start_).count();
    char buf[128];
    std::snprintf(buf, sizeof buf, " [%.1fs, %.2f%s/s]", secs, secs > 0 ? n_ / secs : 0.0,
                  unit_.c_str());
    std::cerr << "\r" << n_ << unit_ << buf << std::flush;
  }
  std::string unit_;
  clock::time_point start_;
  std::size_t n_ = 0;
  bool closed_ = false;
};

}  // namespace

namespace detail {

ChunkObserver set_chunk_observer(ChunkObserver o) {
  std::lock_guard<std::mutex> lock(observer_mu);
  std::swap(observer(), o);
  return o;
}

std::string local_target(const std::string& file_path) {
  // Walk the segments of "temp/" + file_path; a ".." that would leave temp/
  // (or a path naming temp/ itself) is refused: the download must land inside.
  std::size_t depth = 0;
  bool names_a_file = false;
  std::size_t pos = 0;
  while (pos <= file_path.size()) {
    std::size_t next = file_path.find('/', pos);
    if (next == std::string::npos) next = file_path.size();
    std::string_view seg(file_path.data() + pos, next - pos);
    if (seg == "..") {
      if (depth == 0)
        throw ValueError("file_path \"" + file_path +
                         "\" leads outside temp/: a \"local_file_path\" read only writes inside temp/");
      --depth;
      names_a_file = false;
    } else if (seg.empty() || seg == ".") {
      names_a_file = false;
    } else {
      ++depth;
      names_a_file = true;
    }
    pos = next + 1;
  }
  if (depth == 0 || !names_a_file)
    throw ValueError("file_path \"" + file_path + "\" names no file inside temp/");
  // Where the file lands: every folder below is checked to be a real one
  // (make_local_folders), so the lexical form is the place.
  return std::filesystem::path("temp/" + file_path).lexically_normal().string();
}

void make_local_folders(const std::string& file_path) {
  // The folder "temp/" + file_path without its last segment is created with
  // its parents, segment by segment as written ("a/./b/.." creates temp/a and
  // temp/a/b). local_target has kept every ".." inside temp/; a link on the
  // way is refused, so no ".." is taken through one.
  const std::size_t last = file_path.rfind('/');
  const std::string folder = last == std::string::npos ? std::string() : file_path.substr(0, last);
  std::filesystem::path at("temp");
  auto check = [&](const std::filesystem::path& p) {
    const auto st = std::filesystem::symlink_status(p);
    if (st.type() == std::filesystem::file_type::not_found) {
      std::filesystem::create_directory(p);
    } else if (st.type() == std::filesystem::file_type::symlink) {
      throw ValueError("file_path \"" + file_path + "\": " + p.string() +
                       " is a symbolic link; a \"local_file_path\" read only writes inside the real temp/ folder");
    } else if (st.type() != std::filesystem::file_type::directory) {
      throw ValueError("file_path \"" + file_path + "\": " + p.string() + " exists and is not a folder");
    }
  };
  check(at);
  std::size_t pos = 0;
  while (!folder.empty() && pos <= folder.size()) {
    std::size_t next = folder.find('/', pos);
    if (next == std::string::npos) next = folder.size();
    const std::string seg = folder.substr(pos, next - pos);
    pos = next + 1;
    if (seg.empty() || seg == ".") continue;
    if (seg == "..") {
      at = at.parent_path();
      continue;
    }
    at /= seg;
    check(at);
  }
}

namespace {

Frame read_csv_chunks(formats::GzipStream& gz, const std::string& source, std::size_t chunksize,
                      const formats::CsvOptions& options) {
  formats::CsvChunkReader reader(
      [&gz](char* out, std::size_t cap) { return gz.read(reinterpret_cast<std::uint8_t*>(out), cap); },
      source, chunksize, options);
  ChunkObserver obs;
  {
    std::lock_guard<std::mutex> lock(observer_mu);
    obs = observer();
  }
  Progress progress(" chunks");
  // The table is the one a read of the whole text gives. Chunk frames are
  // only built (and joined) for an observer of the chunks themselves.
  Frame out;
  if (obs)
    out = reader.read_all([&](std::size_t number, const Frame& chunk) {
      obs(number, chunk);
      progress.update();
    });
  else
    out = reader.read_all_in_one([&](std::size_t) { progress.update(); });
  progress.close();
  if (!out.index().is_default_range()) out.set_index(Index::range(out.num_rows()));
  return out;
}

}  // namespace

// Parses an object as it arrives: the download runs on a thread of its own
// and hands its pieces over through a bounded pipe, so the compressed object
// is never held whole and the parse overlaps the transfer. A retried
// download starts the parse over from its first byte; a parse that stops
// early (a bad line) stops the download.
Frame parse_streamed(const std::shared_ptr<store::S3Client>& client, const std::string& bucket,
                     const std::string& key,
                     const std::function<Frame(formats::GzipSource, const std::string&)>& parse) {
  const std::string source = detail::object_name(bucket, key);
  detail::BodyPipe pipe;
  std::thread download([&] {
    std::exception_ptr failure;
    try {
      client->get_object_stream(
          bucket, key, [&] { pipe.restart(); }, [&](const std::uint8_t* p, std::size_t n) { return pipe.push(p, n); });
    } catch (...) {
      failure = std::current_exception();
    }
    pipe.finish(failure);
  });
  struct Join {
    detail::BodyPipe& pipe;
    std::thread& t;
    ~Join() {
      pipe.cancel();
      t.join();
    }
  } join{pipe, download};
  for (;;) {
    const std::uint64_t generation = pipe.generation();
    try {
      return parse([&pipe, generation](std::uint8_t* out, std::size_t cap) { return pipe.pull(generation, out, cap); },
                   source);
    } catch (const detail::BodyPipe::Restarted&) {
      // The download starts over: so does the parse.
    }
  }
}

Frame read_gzip_csv_by_chunks(const std::vector<std::uint8_t>& body, const std::string& source,
                              std::size_t chunksize, const formats::CsvOptions& options) {
  formats::GzipStream gz(body.data(), body.size(), source);
  return read_csv_chunks(gz, source, chunksize, options);
}

Frame read_gzip_csv_by_chunks(formats::GzipSource pull, const std::string& source, std::size_t chunksize,
                              const formats::CsvOptions& options) {
  formats::GzipStream gz(std::move(pull), source);
  return read_csv_chunks(gz, source, chunksize, options);
}

void BodyPipe::push_wait(std::unique_lock<std::mutex>& l, std::size_t n) {
  space_.wait(l, [&] { return cancelled_ || buffered_ == 0 || buffered_ + n <= kMaxBuffered; });
}

bool BodyPipe::push(const std::uint8_t* p, std::size_t n) {
  std::unique_lock<std::mutex> l(mu_);
  push_wait(l, n);
  if (cancelled_) return false;
  pieces_.emplace_back(p, p + n);
  buffered_ += n;
  filled_.notify_one();
  return true;
}

void BodyPipe::restart() {
  std::lock_guard<std::mutex> l(mu_);
  pieces_.clear();
  buffered_ = 0;
  front_used_ = 0;
  ++generation_;
  filled_.notify_all();
  space_.notify_all();
}

void BodyPipe::finish(std::exception_ptr error) {
  std::lock_guard<std::mutex> l(mu_);
  ended_ = true;
  error_ = std::move(error);
  filled_.notify_all();
}

void BodyPipe::cancel() {
  std::lock_guard<std::mutex> l(mu_);
  cancelled_ = true;
  space_.notify_all();
}

std::uint64_t BodyPipe::generation() const {
  std::lock_guard<std::mutex> l(mu_);
  return generation_;
}

std::size_t BodyPipe::pull(std::uint64_t generation, std::uint8_t* out, std::size_t cap) {
  std::unique_lock<std::mutex> l(mu_);
  filled_.wait(l, [&] { return generation_ != generation || !pieces_.empty() || ended_; });
  if (generation_ != generation) throw Restarted{};
  if (pieces_.empty()) {
    if (error_) std::rethrow_exception(error_);
    return 0;
  }
  std::size_t got = 0;
  while (got < cap && !pieces_.empty()) {
    const auto& front = pieces_.front();
    const std::size_t n = std::min(cap - got, front.size() - front_used_);
    std::memcpy(out + got, front.data() + front_used_, n);
    got += n;
    front_used_ += n;
    if (front_used_ == front.size()) {
      pieces_.pop_front();
      front_used_ = 0;
    }
  }
  buffered_ -= got;
  space_.notify_one();
  return got;
}

}  // namespace detail

Frame Store::read_by_chunks(const std::string& key, std::int64_t chunksize,
                            const formats::CsvOptions& options) const {
  const std::string& bucket = bucket_;
  if (chunksize < 1) throw ValueError("'chunksize' must be an integer >=1");
  return detail::parse_streamed(require_client(*this), bucket, key, [&](formats::GzipSource pull, const std::string& source) {
    return detail::read_gzip_csv_by_chunks(std::move(pull), source, static_cast<std::size_t>(chunksize), options);
  });
}

PickleRead Store::read_pickle(const std::string& file_path, bool allow_python_pickle) const {
  const std::string key = detail::join_key(prefix_, file_path);
  auto body = require_client(*this)->get_object(bucket_, key);
  const std::string source = detail::object_name(bucket_, key);
  PickleRead out;
  if (formats::is_python_pickle(body.data(), body.size())) {
    if (!allow_python_pickle) throw PythonPickleError(source);
    out.python_pickle = true;
    Bytes buf;
    buf.data = std::move(body);
    out.value = Value(std::move(buf));
    return out;
  }
  out.value = formats::deserialize(body.data(), body.size(), source);
  return out;
}

Value Store::read_from_s3(const std::string& file_path, const std::string& data_format, bool by_chunks,
                          std::int64_t chunksize) const {
  const std::string& bucket = bucket_;
  const std::optional<std::string>& prefix = prefix_;
  if (data_format == "pickle") return read_pickle(file_path, false).value;
  if (data_format == "bytesio") {
    const std::string key = detail::join_key(prefix, file_path);
    Bytes buf;
    buf.data = require_client(*this)->get_object(bucket, key);
    buf.pos = 0;
    buf.is_buffer = true;
    return Value(std::move(buf));
  }
  if (data_format == "csv" || data_format == "csv.gz") {
    const std::string key = tabular_key(prefix, file_path);
    if (by_chunks) return Value(read_by_chunks(key, chunksize));
    // Extensions match in any case ("x.CSV.GZ" is gzip too). The body is
    // parsed as it downloads (a gzip one inflated on the way), so the parse
    // overlaps the transfer and the object is never held whole.
    if (text::iends_with(key, ".gz"))
      return Value(detail::parse_streamed(require_client(*this), bucket, key, [](formats::GzipSource pull, const std::string& src) {
        formats::GzipStream gz(std::move(pull), src);
        return formats::read_csv_gzip(gz, src);
      }));
    return Value(detail::parse_streamed(require_client(*this), bucket, key, [](formats::GzipSource pull, const std::string& src) {
      formats::CsvChunkReader reader(
          [&pull](char* out, std::size_t cap) { return pull(reinterpret_cast<std::uint8_t*>(out), cap); }, src,
          std::size_t{1} << 20);
      return reader.read_all_in_one();
    }));
  }
  if (data_format == "xlsx") {
    const std::string key = tabular_key(prefix, file_path);
    auto body = require_client(*this)->get_object(bucket, key);
    return Value(formats::read_xlsx(body.data(), body.size(), detail::object_name(bucket, key)));
  }
  if (data_format == "parquet") {
    const std::string key = tabular_key(prefix, file_path);
    auto body = require_client(*this)->get_object(bucket, key);
    return Value(formats::read_parquet(body.data(), body.size(), detail::object_name(bucket, key)));
  }
  if (data_format == "local_file_path") {
    const std::string key = detail::join_key(prefix, file_path);
    const std::string target = detail::local_target(file_path);
    detail::make_local_folders(file_path);
    require_client(*this)->download_file(bucket, key, target);
    return Value();
  }
  throw ValueError("data_format=\"" + data_format +
                   "\" is not valid. Only (\"pickle\", \"csv\", \"csv.gz\", \"xlsx\") are allowed.");
}

}  // namespace quorin_data::from_s3::bucketry
