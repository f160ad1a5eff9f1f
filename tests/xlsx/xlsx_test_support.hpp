// Helpers of the workbook tests: a small zip writer for hand-made packages,
// a minimal JSON reader for the openpyxl peer's dumps, and running the peer.
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace xlsx_test {

// ---- zip writer ---------------------------------------------------------

struct ZipPart {
  std::string name;
  std::string data;
  bool deflate = true;
};

inline void put16(std::string& s, std::uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& s, std::uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

inline std::string raw_deflate(const std::string& in) {
  z_stream zs{};
  deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&zs, in.size()) + 16, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

// `declared` overrides the uncompressed size written in the directory
// (a lying entry); -1 keeps the true size.
inline std::string make_zip(const std::vector<ZipPart>& parts, std::map<std::string, std::int64_t> declared = {}) {
  std::string out, dir;
  for (const auto& p : parts) {
    const std::string body = p.deflate ? raw_deflate(p.data) : p.data;
    const auto crc = static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p.data.data()),
                                                      static_cast<uInt>(p.data.size())));
    auto usize = static_cast<std::uint32_t>(p.data.size());
    if (auto it = declared.find(p.name); it != declared.end()) usize = static_cast<std::uint32_t>(it->second);
    const auto offset = static_cast<std::uint32_t>(out.size());
    put32(out, 0x04034b50);
    put16(out, 20);
    put16(out, 0);
    put16(out, p.deflate ? 8 : 0);
    put32(out, 0);
    put32(out, crc);
    put32(out, static_cast<std::uint32_t>(body.size()));
    put32(out, usize);
    put16(out, static_cast<std::uint32_t>(p.name.size()));
    put16(out, 0);
    out += p.name;
    out += body;
    put32(dir, 0x02014b50);
    put16(dir, 20);
    put16(dir, 20);
    put16(dir, 0);
    put16(dir, p.deflate ? 8 : 0);
    put32(dir, 0);
    put32(dir, crc);
    put32(dir, static_cast<std::uint32_t>(body.size()));
    put32(dir, usize);
    put16(dir, static_cast<std::uint32_t>(p.name.size()));
    put16(dir, 0);
    put16(dir, 0);
    put16(dir, 0);
    put16(dir, 0);
    put32(dir, 0);
    put32(dir, offset);
    dir += p.name;
  }
  const auto dir_off = static_cast<std::uint32_t>(out.size());
  out += dir;
  put32(out, 0x06054b50);
  put16(out, 0);
  put16(out, 0);
  put16(out, static_cast<std::uint32_t>(parts.size()));
  put16(out, static_cast<std::uint32_t>(parts.size()));
  put32(out, static_cast<std::uint32_t>(dir.size()));
  put32(out, dir_off);
  put16(out, 0);
  return out;
}

constexpr const char* kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
constexpr const char* kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
constexpr const char* kPkgRelNs = "http://schemas.openxmlformats.org/package/2006/relationships";

inline std::string sheet_xml(const std::string& rows) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?><worksheet xmlns=\"") + kMainNs +
         "\"><sheetData>" + rows + "</sheetData></worksheet>";
}

// A package with the given sheets (name, part file under xl/, xml) in
// workbook order, optional shared strings and styles.
struct Package {
  std::vector<std::tuple<std::string, std::string, std::string>> sheets;
  std::string shared_strings;  // <si> elements
  std::string styles;          // whole styles.xml, or empty
  bool date1904 = false;

  std::vector<ZipPart> parts() const {
    std::vector<ZipPart> out;
    out.push_back({"[Content_Types].xml",
                   "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/"
                   "content-types\"/>"});
    out.push_back({"_rels/.rels", std::string("<?xml version=\"1.0\"?><Relationships xmlns=\"") + kPkgRelNs +
                                      "\"><Relationship Id=\"rId1\" Type=\"" + kRelNs +
                                      "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>"});
    std::string wb = std::string("<?xml version=\"1.0\"?><workbook xmlns=\"") + kMainNs + "\" xmlns:r=\"" + kRelNs +
                     "\">" + (date1904 ? "<workbookPr date1904=\"1\"/>" : "") + "<sheets>";
    std::string rels = std::string("<?xml version=\"1.0\"?><Relationships xmlns=\"") + kPkgRelNs + "\">";
    int id = 1;
    for (const auto& [name, file, xml] : sheets) {
      wb += "<sheet name=\"" + name + "\" sheetId=\"" + std::to_string(id) + "\" r:id=\"rId" + std::to_string(id) +
            "\"/>";
      rels += "<Relationship Id=\"rId" + std::to_string(id) + "\" Type=\"" + kRelNs + "/worksheet\" Target=\"" +
              file + "\"/>";
      out.push_back({"xl/" + file, xml});
      ++id;
    }
    if (!shared_strings.empty()) {
      rels += "<Relationship Id=\"rIdS\" Type=\"" + std::string(kRelNs) +
              "/sharedStrings\" Target=\"sharedStrings.xml\"/>";
      out.push_back({"xl/sharedStrings.xml",
                     std::string("<?xml version=\"1.0\"?><sst xmlns=\"") + kMainNs + "\">" + shared_strings + "</sst>"});
    }
    if (!styles.empty()) {
      rels += "<Relationship Id=\"rIdT\" Type=\"" + std::string(kRelNs) + "/styles\" Target=\"styles.xml\"/>";
      out.push_back({"xl/styles.xml", styles});
    }
    wb += "</sheets></workbook>";
    rels += "</Relationships>";
    out.push_back({"xl/workbook.xml", wb});
    out.push_back({"xl/_rels/workbook.xml.rels", rels});
    return out;
  }
  std::string zip() const { return make_zip(parts()); }
};

// ---- minimal JSON ---------------------------------------------------------

struct Json;
using JsonArray = std::vector<Json>;
using JsonObject = std::map<std::string, Json>;
struct Json {
  std::variant<std::nullptr_t, bool, double, std::string, std::shared_ptr<JsonArray>, std::shared_ptr<JsonObject>> v;
  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
  const JsonArray& arr() const { return *std::get<std::shared_ptr<JsonArray>>(v); }
  const JsonObject& obj() const { return *std::get<std::shared_ptr<JsonObject>>(v); }
  const Json& operator[](const std::string& k) const { return obj().at(k); }
  const std::string& str() const { return std::get<std::string>(v); }
  double num() const { return std::get<double>(v); }
  bool boolean() const { return std::get<bool>(v); }
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& s) : s_(s) {}
  Json parse() {
    Json j = value();
    ws();
    if (i_ != s_.size()) throw std::runtime_error("json: trailing data");
    return j;
  }

 private:
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\n' || s_[i_] == '\t' || s_[i_] == '\r')) ++i_;
  }
  Json value() {
    ws();
    if (i_ >= s_.size()) throw std::runtime_error("json: unexpected end");
    const char c = s_[i_];
    if (c == '{') {
      ++i_;
      auto o = std::make_shared<JsonObject>();
      ws();
      if (s_[i_] == '}') return ++i_, Json{o};
      for (;;) {
        ws();
        std::string k = string();
        ws();
        expect(':');
        (*o)[k] = value();
        ws();
        if (s_[i_] == ',') { ++i_; continue; }
        expect('}');
        return Json{o};
      }
    }
    if (c == '[') {
      ++i_;
      auto a = std::make_shared<JsonArray>();
      ws();
      if (s_[i_] == ']') return ++i_, Json{a};
      for (;;) {
        a->push_back(value());
        ws();
        if (s_[i_] == ',') { ++i_; continue; }
        expect(']');
        return Json{a};
      }
    }
    if (c == '"') return Json{string()};
    if (s_.compare(i_, 4, "null") == 0) return i_ += 4, Json{nullptr};
    if (s_.compare(i_, 4, "true") == 0) return i_ += 4, Json{true};
    if (s_.compare(i_, 5, "false") == 0) return i_ += 5, Json{false};
    std::size_t used = 0;
    const double d = std::stod(s_.substr(i_, 40), &used);
    i_ += used;
    return Json{d};
  }
  void expect(char c) {
    if (i_ >= s_.size() || s_[i_] != c) throw std::runtime_error(std::string("json: expected ") + c);
    ++i_;
  }
  std::string string() {
    expect('"');
    std::string out;
    while (i_ < s_.size() && s_[i_] != '"') {
      char c = s_[i_++];
      if (c != '\\') { out += c; continue; }
      c = s_[i_++];
      switch (c) {
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'r': out += '\r'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'u': {
          // The peer dumps with ensure_ascii=False; \u only for controls.
          const unsigned cp = static_cast<unsigned>(std::stoul(s_.substr(i_, 4), nullptr, 16));
          i_ += 4;
          if (cp < 0x80) out += static_cast<char>(cp);
          else if (cp < 0x800) { out += static_cast<char>(0xC0 | (cp >> 6)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
          else { out += static_cast<char>(0xE0 | (cp >> 12)); out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F)); out += static_cast<char>(0x80 | (cp & 0x3F)); }
          break;
        }
        default: out += c;
      }
    }
    expect('"');
    return out;
  }
  const std::string& s_;
  std::size_t i_ = 0;
};

// ---- files and the peer ---------------------------------------------------

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void write_file(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary);
  out << data;
}

// Runs the openpyxl peer and returns its JSON answer; the test fails when
// python3 or openpyxl is missing.
inline Json run_peer(const std::string& args) {
  const std::string cmd = std::string("/usr/bin/python3 ") + QUORIN_SOURCE_DIR + "/tests/peers/openpyxl_peer.py " + args;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) throw std::runtime_error("cannot run " + cmd);
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = pclose(p);
  if (rc != 0) throw std::runtime_error("peer failed (status " + std::to_string(rc) + "): " + cmd);
  return JsonParser(out).parse();
}

}  // namespace xlsx_test
