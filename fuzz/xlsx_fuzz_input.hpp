// Input layout of the workbook fuzzer, shared with the regression test that
// replays its crash inputs. The first byte picks the layer: even -> the
// bytes are the whole file (zip container and all); odd -> the rest is split
// at "\n--\n" into sheet XML, shared strings, styles and workbook XML, stored
// uncompressed in a package, so mutations reach the XML readers instead of
// dying on CRC checks.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace xlsx_fuzz {

inline void put16(std::string& s, std::uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& s, std::uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

inline std::string stored_zip(const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string out, dir;
  for (const auto& [name, data] : parts) {
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    const auto offset = static_cast<std::uint32_t>(out.size());
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, 0);
    put16(out, 0);
    put32(out, 0);
    put32(out, crc);
    put32(out, static_cast<std::uint32_t>(data.size()));
    put32(out, static_cast<std::uint32_t>(data.size()));
    put16(out, static_cast<std::uint32_t>(name.size()));
    put16(out, 0);
    out += name;
    out += data;
    put32(dir, 0x02014b50);
    put16(dir, 20);
    put16(dir, 20);
    put16(dir, 0);
    put16(dir, 0);
    put32(dir, 0);
    put32(dir, crc);
    put32(dir, static_cast<std::uint32_t>(data.size()));
    put32(dir, static_cast<std::uint32_t>(data.size()));
    put16(dir, static_cast<std::uint32_t>(name.size()));
    for (int i = 0; i < 4; ++i) put16(dir, 0);
    put32(dir, 0);
    put32(dir, offset);
    dir += name;
  }
  const auto dir_off = static_cast<std::uint32_t>(out.size());
  out += dir;
  put32(out, 0x06054b50);
  put32(out, 0);
  put16(out, static_cast<std::uint32_t>(parts.size()));
  put16(out, static_cast<std::uint32_t>(parts.size()));
  put32(out, static_cast<std::uint32_t>(dir.size()));
  put32(out, dir_off);
  put16(out, 0);
  return out;
}

inline const char* kDefaultWorkbook =
    "<workbook xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><workbookPr/>"
    "<sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
inline const char* kRels =
    "<Relationships>"
    "<Relationship Id=\"rId1\" Type=\"x/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"x/sharedStrings\" Target=\"sharedStrings.xml\"/>"
    "<Relationship Id=\"rId3\" Type=\"x/styles\" Target=\"/xl/styles.xml\"/></Relationships>";

// The workbook bytes an input stands for.
inline std::string workbook_bytes(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || !(data[0] & 1)) return std::string(reinterpret_cast<const char*>(data), size);
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> pieces;
  for (;;) {
    const auto at = rest.find("\n--\n");
    pieces.emplace_back(rest.substr(0, at));
    if (at == std::string_view::npos || pieces.size() == 4) break;
    rest.remove_prefix(at + 4);
  }
  pieces.resize(4);
  if (pieces[3].empty()) pieces[3] = kDefaultWorkbook;
  return stored_zip({{"_rels/.rels", "<Relationships><Relationship Id=\"a\" Type=\"x/officeDocument\" "
                                      "Target=\"xl/workbook.xml\"/></Relationships>"},
                      {"xl/workbook.xml", pieces[3]},
                      {"xl/_rels/workbook.xml.rels", kRels},
                      {"xl/worksheets/sheet1.xml", pieces[0]},
                      {"xl/sharedStrings.xml", pieces[1].empty() ? "<sst/>" : pieces[1]},
                      {"xl/styles.xml", pieces[2].empty() ? "<styleSheet/>" : pieces[2]}});
}

}  // namespace xlsx_fuzz
