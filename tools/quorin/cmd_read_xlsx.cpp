// `quorin read xlsx PATH`: the first worksheet of a workbook as CSV (header,
// then the row labels first on each line).
#include <fstream>
#include <iostream>
#include <iterator>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/formats/csv.hpp"
#include "quorin_data/formats/xlsx.hpp"
#include "read_formats.hpp"

namespace quorin_cli {
namespace {

int read_xlsx_file(const std::string& path, const Args& args) {
  if (!args.positional.empty()) throw UsageError("unexpected argument '" + args.positional[0] + "'");
  std::vector<std::uint8_t> bytes;
  if (path == "-") {
    bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw quorin_data::RuntimeError("cannot open " + path);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) throw quorin_data::RuntimeError("cannot read " + path);
  }
  const auto frame = quorin_data::formats::read_xlsx(bytes.data(), bytes.size(), path == "-" ? "<stdin>" : path);
  quorin_data::formats::write_csv(frame, true, std::cout);
  std::cout.flush();
  if (!std::cout) throw quorin_data::RuntimeError("cannot write to standard output");
  return 0;
}

const RegisterReadFormat reg_xlsx("xlsx", ReadFormat{read_xlsx_file, {}, {},
                                                     "  xlsx      the first worksheet of a workbook (- for stdin)"});

}  // namespace
}  // namespace quorin_cli
