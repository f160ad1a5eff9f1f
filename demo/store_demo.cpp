// Demo of the object store module (bucketry) and of the quorin tool: sample
// tables written in every format to bucket "quorin-demo", listed, tested,
// read back (by chunks too) and deleted.
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/formats/parquet.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "sections.hpp"

namespace {

namespace bucketry = quorin_data::from_s3::bucketry;
using quorin_data::Bytes;
using quorin_data::Column;
using quorin_data::Frame;
using quorin_data::Value;

constexpr const char* kBucket = "quorin-demo";

Frame sample_table(std::size_t rows) {
  static const char* tickers[] = {"IBM US", "AAPL US", "7203 JT", "SAP GY", "VOD LN"};
  std::vector<std::string> ticker;
  std::vector<double> price;
  std::vector<std::int64_t> volume;
  for (std::size_t i = 0; i < rows; ++i) {
    ticker.push_back(tickers[i % 5]);
    price.push_back(100.0 + static_cast<double>(i % 97) * 0.25);
    volume.push_back(static_cast<std::int64_t>(1000 + 37 * i));
  }
  Frame f;
  f.add_column("TICKER", Column::texts(std::move(ticker)));
  f.add_column("PX_LAST", Column::floats(std::move(price)));
  f.add_column("VOLUME", Column::ints(std::move(volume)));
  return f;
}

Value buffer_of(std::vector<std::uint8_t> bytes) {
  Bytes b;
  b.data = std::move(bytes);
  return Value(std::move(b));
}

std::vector<std::uint8_t> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

void check(bool ok, const std::string& what) {
  std::cout << "  " << (ok ? "ok   " : "FAIL ") << what << "\n";
  if (!ok) throw std::runtime_error("check failed: " + what);
}

std::string describe(const Frame& f) {
  return std::to_string(f.num_rows()) + " rows x " + std::to_string(f.num_columns()) + " columns";
}

void store_section() {
  const Frame table = sample_table(5000);
  const std::string csv_text = quorin_data::formats::write_csv(table, false);
  std::cout << "sample table: " << describe(table) << " (TICKER text, PX_LAST float, VOLUME int)\n";
  std::cout << "bucket " << kBucket << ", prefix " << bucketry::PREFIX << "\n\nwriting:\n";

  bucketry::write_to_s3(Value(table), "demo/sample.pkl", "pickle", true, kBucket);
  std::cout << "  pickle           demo/sample.pkl\n";
  bucketry::write_to_s3(buffer_of(bytes_of("raw bytes, stored as they are\n")), "demo/sample.bin", "bytesio",
                        true, kBucket);
  std::cout << "  bytesio          demo/sample.bin\n";
  bucketry::write_to_s3(Value(table), "demo/sample.csv", "csv", false, kBucket);
  std::cout << "  csv              demo/sample.csv (no index column)\n";
  // A buffer is uploaded as it is whatever the format says: gzip bytes make a .csv.gz object.
  bucketry::write_to_s3(buffer_of(quorin_data::formats::gzip_compress(
                            reinterpret_cast<const std::uint8_t*>(csv_text.data()), csv_text.size())),
                        "demo/sample.csv.gz", "csv", true, kBucket);
  std::cout << "  csv.gz           demo/sample.csv.gz (a gzip buffer, uploaded unchanged)\n";
  bucketry::write_to_s3(Value(table), "demo/sample.xlsx", "xlsx", false, kBucket);
  std::cout << "  xlsx             demo/sample.xlsx\n";
  bucketry::write_to_s3(buffer_of(quorin_data::formats::write_parquet(table)), "demo/sample.parquet",
                        "bytesio", true, kBucket);
  std::cout << "  parquet          demo/sample.parquet (written with the Parquet writer)\n";
  const std::string local = "demo_notes.txt";
  {
    std::ofstream(local) << "notes uploaded from a local file\n";
  }
  bucketry::write_to_s3(Value(local), "demo/notes.txt", "local_file_path", true, kBucket);
  std::filesystem::remove(local);
  std::cout << "  local_file_path  demo/notes.txt (from the local file " << local << ")\n";

  std::cout << "\nlisting folder \"demo\":\n";
  const auto keys = bucketry::list_s3_objects("demo", kBucket);
  for (const auto& k : keys) std::cout << "  " << k << "\n";
  check(keys.size() == 7, "7 objects listed");

  std::cout << "\nexistence:\n";
  check(bucketry::s3_path_exists("demo/sample.csv", kBucket), "demo/sample.csv exists");
  check(!bucketry::s3_path_exists("demo/missing.csv", kBucket), "demo/missing.csv does not");

  std::cout << "\nreading back:\n";
  check(bucketry::read_from_s3("demo/sample.pkl", "pickle", kBucket) == Value(table),
        "pickle reads back equal to the table");
  Value raw = bucketry::read_from_s3("demo/sample.bin", "bytesio", kBucket);
  check(raw.is_buffer() && raw.as_bytes().pos == 0 && raw.as_bytes().data == bytes_of("raw bytes, stored as they are\n"),
        "bytesio: a buffer at position 0 with the bytes written");
  Value csv = bucketry::read_from_s3("demo/sample.csv", "csv", kBucket);
  check(csv.as_frame() == table, "csv: " + describe(csv.as_frame()) + ", equal to the table");
  Value gz = bucketry::read_from_s3("demo/sample.csv.gz", "csv.gz", kBucket);
  check(gz.as_frame() == table, "csv.gz whole: " + describe(gz.as_frame()));
  std::cout << "  csv.gz by chunks of 1000 rows (progress on stderr):\n" << std::flush;
  Value chunked = bucketry::read_from_s3("demo/sample.csv.gz", "csv.gz", kBucket, std::string(bucketry::PREFIX),
                                         true, 1000);
  check(chunked.as_frame() == table, "csv.gz by chunks: " + describe(chunked.as_frame()) + ", labels 0..4999");
  Value xlsx = bucketry::read_from_s3("demo/sample.xlsx", "xlsx", kBucket);
  check(xlsx.as_frame().num_rows() == table.num_rows() && xlsx.as_frame().names() == table.names(),
        "xlsx: " + describe(xlsx.as_frame()));
  Value pq = bucketry::read_from_s3("demo/sample.parquet", "parquet", kBucket);
  check(pq.as_frame() == table, "parquet: " + describe(pq.as_frame()) + ", equal to the table");
  bucketry::read_from_s3("demo/notes.txt", "local_file_path", kBucket);
  std::ifstream notes("temp/demo/notes.txt");
  std::string line;
  std::getline(notes, line);
  check(line == "notes uploaded from a local file", "local_file_path: downloaded to temp/demo/notes.txt");

  std::cout << "\nrefused before any request:\n";
  try {
    bucketry::read_from_s3("../../etc/passwd", "local_file_path", kBucket);
    check(false, "a path out of temp/ is refused");
  } catch (const quorin_data::ValueError& e) {
    std::cout << "  ValueError: " << e.what() << "\n";
  }
  try {
    bucketry::read_from_s3("demo/sample.csv", "json", kBucket);
  } catch (const quorin_data::ValueError& e) {
    std::cout << "  ValueError: " << e.what() << "\n";
  }

  std::cout << "\ndeleting:\n";
  bucketry::delete_s3_object("demo/sample.bin", kBucket);
  check(!bucketry::s3_path_exists("demo/sample.bin", kBucket), "demo/sample.bin deleted");
  std::cout << "  ";
  std::cout.flush();
  bucketry::delete_s3_folder("demo", kBucket);
  check(bucketry::list_s3_objects("demo", kBucket).empty(), "folder demo is empty");
  bucketry::delete_local_folder("temp/demo");
}

// ---------------------------------------------------------------- the tool

struct Run {
  int status;
  std::string out;
};

std::string quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

Run tool(const std::string& args) {
  const std::string cmd = quote(QUORIN_TOOL_PATH) + " " + args + " 2>&1";
  std::cout << "$ quorin " << args << "\n" << std::flush;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + cmd);
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = ::pclose(p);
  const int status = WIFEXITED(st) ? WEXITSTATUS(st) : 128;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) std::cout << "  " << line << "\n";
  return {status, out};
}

void tool_section() {
  const std::string local = "demo_prices.csv";
  {
    std::ofstream(local) << "TICKER,PX_LAST\nIBM US,187.5\nAAPL US,191.25\n";
  }
  const std::string b = std::string(" --bucket ") + kBucket;
  check(tool("put " + local + " tool/prices.csv --format csv --no-index" + b).status == 0, "put a CSV file");
  check(tool("put " + local + " tool/prices.pkl --format pickle" + b).status == 0, "put it as a pickled table");
  Run ls = tool("ls tool" + b);
  check(ls.status == 0 && ls.out == "trelux_common_s3/tool/prices.csv\ntrelux_common_s3/tool/prices.pkl\n",
        "ls shows both keys");
  check(tool("exists tool/prices.csv" + b).out == "true\n", "exists: true");
  check(tool("exists tool/none.csv" + b).out == "false\n", "exists: false for a missing key");
  Run get = tool("get tool/prices.csv --format csv" + b);
  check(get.status == 0 && get.out == ",TICKER,PX_LAST\n0,IBM US,187.5\n1,AAPL US,191.25\n",
        "get prints the table as CSV with row labels");
  check(tool("get tool/prices.pkl --format pickle" + b).status == 0, "get the pickled table");
  Run bad = tool("get tool/prices.csv --format json" + b);
  check(bad.status == 1, "an unknown format is one error line and exit status 1");
  check(tool("rm tool/prices.csv" + b).status == 0, "rm one object");
  check(tool("rm-folder tool" + b).status == 0, "rm-folder the rest");
  check(tool("ls tool" + b).out.empty(), "nothing left under tool");
  std::filesystem::remove(local);
}

QUORIN_DEMO_SECTION(10, "Object store: every format written, listed, read back, deleted", store_section);
QUORIN_DEMO_SECTION(11, "The quorin tool: put, ls, exists, get, rm, rm-folder", tool_section);

}  // namespace
