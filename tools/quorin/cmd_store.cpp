// Store subcommands of the quorin tool (ls, exists, get, put, rm, rm-folder,
// rm-local) over the bucketry functions, and `read FORMAT PATH` that decodes a
// local file with the same decoders.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "commands.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/gzip.hpp"
#include "quorin_data/formats/serialize.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "read_formats.hpp"

namespace bucketry = quorin_data::from_s3::bucketry;
using quorin_data::Bytes;
using quorin_data::Frame;
using quorin_data::Value;

namespace quorin_cli {
namespace {

const std::vector<std::string> kStoreValues = {"bucket", "prefix"};

std::string store_options_help() {
  return "  --bucket B   bucket (default: $TRELUX_SANDBOX_BUCKET, else NOT_DEFINED)\n"
         "  --prefix P   key prefix (default: trelux_common_s3; --prefix \"\" for none)";
}

std::vector<std::string> with_store(std::vector<std::string> names) {
  names.insert(names.end(), kStoreValues.begin(), kStoreValues.end());
  return names;
}

std::string bucket_of(const Args& a) { return a.get_or("bucket", bucketry::BUCKET); }
std::string prefix_of(const Args& a) { return a.get_or("prefix", bucketry::PREFIX); }

const std::string& one_positional(const Args& a, const char* what) {
  if (a.positional.size() != 1)
    throw UsageError(std::string("expected one ") + what + " argument, got " +
                     std::to_string(a.positional.size()));
  return a.positional[0];
}

std::vector<std::uint8_t> read_local(const std::string& path) {
  if (path == "-") {
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    return data;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw quorin_data::RuntimeError("cannot open " + path);
  std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) throw quorin_data::RuntimeError("cannot read " + path);
  return data;
}

// Prints a decoded value: a table as CSV with its row labels first, bytes
// unchanged, nothing for none, anything else as its readable form.
void print_value(const Value& v) {
  if (v.is_frame()) {
    quorin_data::formats::write_csv(v.as_frame(), true, std::cout);
  } else if (v.is_bytes()) {
    const Bytes& b = v.as_bytes();
    std::cout.write(reinterpret_cast<const char*>(b.data.data()), static_cast<std::streamsize>(b.data.size()));
  } else if (!v.is_none()) {
    std::cout << v.repr() << "\n";
  }
  std::cout.flush();
  if (!std::cout) throw quorin_data::RuntimeError("cannot write to standard output");
}

int cmd_ls(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, kStoreValues);
  const auto& folder = one_positional(a, "FOLDER");
  for (const auto& key : bucketry::list_s3_objects(folder, bucket_of(a), prefix_of(a))) std::cout << key << "\n";
  return 0;
}

int cmd_exists(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, kStoreValues);
  const auto& file = one_positional(a, "FILE");
  std::cout << (bucketry::s3_path_exists(file, bucket_of(a), prefix_of(a)) ? "true" : "false") << "\n";
  return 0;
}

int cmd_get(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {"by-chunks"}, with_store({"format", "chunksize"}));
  const auto& file = one_positional(a, "FILE");
  auto format = a.get("format");
  if (!format) throw UsageError("--format is required");
  // The chunk size goes through the same integer check as the library's.
  const Value chunksize = a.has("chunksize") ? Value(*a.get("chunksize")) : Value(100000);
  Value v = bucketry::dynamic::read_from_s3(Value(file), Value(*format), Value(bucket_of(a)),
                                            Value(prefix_of(a)), Value(a.has("by-chunks")), chunksize);
  if (*format == "local_file_path" && v.is_none())
    std::cerr << "downloaded to temp/" << file << "\n";
  print_value(v);
  return 0;
}

int cmd_put(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {"no-index"}, with_store({"format"}));
  if (a.positional.size() != 2)
    throw UsageError("expected LOCAL and FILE arguments, got " + std::to_string(a.positional.size()));
  const std::string& local = a.positional[0];
  const std::string& file = a.positional[1];
  auto format = a.get("format");
  if (!format) throw UsageError("--format is required");
  Value data;
  if (*format == "local_file_path") {
    if (local == "-") throw UsageError("\"local_file_path\" uploads a file: LOCAL cannot be -");
    data = Value(local);
  } else {
    Bytes b;
    b.data = read_local(local);
    if (*format == "pickle" || *format == "csv" || *format == "xlsx") {
      const std::string text(b.data.begin(), b.data.end());
      data = Value(quorin_data::formats::read_csv(text, local == "-" ? "<stdin>" : local));
    } else {
      // Raw bytes as a buffer for "bytesio"; other names reach the library's
      // format check with plain bytes.
      b.is_buffer = *format == "bytesio";
      data = Value(std::move(b));
    }
  }
  bucketry::write_to_s3(data, file, *format, !a.has("no-index"), bucket_of(a), prefix_of(a));
  return 0;
}

int cmd_rm(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, kStoreValues);
  bucketry::delete_s3_object(one_positional(a, "FILE"), bucket_of(a), prefix_of(a));
  return 0;
}

int cmd_rm_folder(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, kStoreValues);
  bucketry::delete_s3_folder(one_positional(a, "FOLDER"), bucket_of(a), prefix_of(a));
  return 0;
}

int cmd_rm_local(const std::vector<std::string>& argv) {
  Args a = parse_args(argv, {}, {});
  // The library call only reports rm's status; the tool exits with it.
  const int code = bucketry::delete_local_folder_with_status(one_positional(a, "FOLDER"));
  return code == 0 ? 0 : code > 0 && code < 256 ? code : 1;
}

// ---------------------------------------------------------------- read

std::string source_name(const std::string& path) { return path == "-" ? "<stdin>" : path; }

int read_csv_file(const std::string& path, const Args&) {
  auto bytes = read_local(path);
  print_value(Value(quorin_data::formats::read_csv(
      std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), source_name(path))));
  return 0;
}

int read_csv_gz_file(const std::string& path, const Args&) {
  auto bytes = read_local(path);
  print_value(Value(quorin_data::formats::read_csv_gzip(bytes.data(), bytes.size(), source_name(path))));
  return 0;
}

int read_pickle_file(const std::string& path, const Args&) {
  auto bytes = read_local(path);
  print_value(quorin_data::formats::deserialize(bytes.data(), bytes.size(), source_name(path)));
  return 0;
}

int read_bytes_file(const std::string& path, const Args&) {
  Bytes b;
  b.data = read_local(path);
  print_value(Value(std::move(b)));
  return 0;
}

const RegisterReadFormat reg_csv("csv", ReadFormat{read_csv_file, {}, {}, "  csv       a CSV file, header first"});
const RegisterReadFormat reg_csv_gz("csv.gz", ReadFormat{read_csv_gz_file, {}, {}, "  csv.gz    a gzip-compressed CSV file"});
const RegisterReadFormat reg_pickle("pickle", ReadFormat{read_pickle_file, {}, {}, "  pickle    a value written with --format pickle"});
const RegisterReadFormat reg_bytes("bytesio", ReadFormat{read_bytes_file, {}, {}, "  bytesio   the bytes, unchanged"});

int cmd_read(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].rfind("--", 0) == 0) throw UsageError("expected FORMAT and PATH arguments");
  const std::string& format = argv[0];
  auto it = read_formats().find(format);
  if (it == read_formats().end()) {
    std::string known;
    for (const auto& [name, f] : read_formats()) known += (known.empty() ? "" : ", ") + name;
    throw UsageError("unknown format \"" + format + "\" (known: " + known + ")");
  }
  Args a = parse_args(std::vector<std::string>(argv.begin() + 1, argv.end()), it->second.flag_options,
                      it->second.value_options);
  if (a.positional.empty()) throw UsageError("expected a PATH argument");
  const std::string path = a.positional[0];
  a.positional.erase(a.positional.begin());
  return it->second.run(path, a);
}

}  // namespace

QUORIN_COMMAND("ls", "list the keys under a store folder",
               "usage: quorin ls FOLDER [--bucket B] [--prefix P]\n"
               "Prints every key that starts with PREFIX/FOLDER (a plain string prefix), one a line.\n" +
                   store_options_help(),
               cmd_ls);
QUORIN_COMMAND("exists", "test whether a store object exists (true/false)",
               "usage: quorin exists FILE [--bucket B] [--prefix P]\n"
               "Prints true when PREFIX/FILE can be read, else false.\n" +
                   store_options_help(),
               cmd_exists);
QUORIN_COMMAND("get", "read a store object and print it",
               "usage: quorin get FILE --format F [--by-chunks] [--chunksize N] [--bucket B] [--prefix P]\n"
               "Formats: pickle, bytesio, csv, csv.gz, xlsx, parquet, local_file_path.\n"
               "Tables print as CSV with a header and the row labels first; bytes as they are;\n"
               "local_file_path downloads to temp/FILE.\n"
               "  --by-chunks     read a gzip CSV in chunks (csv, csv.gz)\n"
               "  --chunksize N   rows per chunk (default 100000)\n" +
                   store_options_help(),
               cmd_get);
QUORIN_COMMAND("put", "write a local file or table to the store",
               "usage: quorin put LOCAL FILE --format F [--no-index] [--bucket B] [--prefix P]\n"
               "LOCAL is a path, or - for stdin. bytesio uploads the bytes, local_file_path the\n"
               "file itself; pickle, csv and xlsx read LOCAL as a CSV table first.\n"
               "  --no-index   write csv/xlsx without the row-label column\n" +
                   store_options_help(),
               cmd_put);
QUORIN_COMMAND("rm", "delete a store object",
               "usage: quorin rm FILE [--bucket B] [--prefix P]\n"
               "Deletes PREFIX/FILE (FILE alone with --prefix \"\").\n" +
                   store_options_help(),
               cmd_rm);
QUORIN_COMMAND("rm-folder", "delete every store object under a folder",
               "usage: quorin rm-folder FOLDER [--bucket B] [--prefix P]\n"
               "Deletes every key that starts with PREFIX/FOLDER (a plain string prefix).\n" +
                   store_options_help(),
               cmd_rm_folder);
QUORIN_COMMAND("rm-local", "delete a local folder tree (rm -r)",
               "usage: quorin rm-local FOLDER\n"
               "Runs rm -r on FOLDER, prints its output, errors and exit code, and exits with\n"
               "rm's status (1 when rm was ended by a signal).",
               cmd_rm_local);
QUORIN_COMMAND("read", "decode a local file and print it",
               "usage: quorin read FORMAT PATH [OPTIONS]\n"
               "Decodes the local file PATH (- for stdin) with the decoder of FORMAT and prints it:\n"
               "tables as CSV with a header and the row labels first, bytes unchanged.\n"
               "Formats: csv, csv.gz, pickle, bytesio, and those of the format modules (parquet,\n"
               "xlsx); an unknown FORMAT lists the known ones.", cmd_read);

}  // namespace quorin_cli
