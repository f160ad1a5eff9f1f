// DuckDB peer for the Parquet tests: runs tests/peers/duckdb_peer.mjs and
// compares what DuckDB reads with our frames. A missing node or DuckDB fails
// the test (the peer is part of every test run).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "quorin_data/core/frame.hpp"

namespace pq_test {

inline std::string shell_quote(const std::string& s) {
  std::string r = "'";
  for (char c : s) {
    if (c == '\'') r += "'\\''";
    else r += c;
  }
  return r + "'";
}

// Runs a command; returns its stdout, or fails the test on a non-zero status.
inline std::string run(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "cannot run: " << cmd;
    return out;
  }
  char buf[65536];
  std::size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int st = pclose(p);
  if (st != 0) ADD_FAILURE() << "command failed (" << st << "): " << cmd;
  return out;
}

inline std::string peer_cmd() {
  return std::string("cd ") + shell_quote(QUORIN_SOURCE_DIR) + " && node tests/peers/duckdb_peer.mjs";
}

inline void duck_exec(const std::vector<std::string>& sql) {
  std::string cmd = peer_cmd() + " exec";
  for (const auto& s : sql) cmd += " " + shell_quote(s);
  run(cmd);
}

inline std::string duck_query(const std::string& sql) { return run(peer_cmd() + " query " + shell_quote(sql)); }

struct Dump {
  std::vector<std::string> names, types;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

inline std::string unescape(const std::string& s) {
  std::string r;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      const char c = s[++i];
      r += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      r += s[i];
    }
  }
  return r;
}

inline std::vector<std::string> split_tab(const std::string& line) {
  std::vector<std::string> r;
  std::size_t start = 0;
  for (;;) {
    const std::size_t t = line.find('\t', start);
    r.push_back(line.substr(start, t == std::string::npos ? std::string::npos : t - start));
    if (t == std::string::npos) break;
    start = t + 1;
  }
  return r;
}

// What DuckDB reads from `file`; with `where`, only the rows of that condition.
inline Dump duck_dump(const std::string& file, const std::string& where = "") {
  const std::string out =
      run(peer_cmd() + " dump " + shell_quote(file) + (where.empty() ? "" : " '' " + shell_quote(where)));
  Dump d;
  std::size_t pos = 0, line_no = 0;
  while (pos < out.size()) {
    std::size_t nl = out.find('\n', pos);
    if (nl == std::string::npos) nl = out.size();
    const std::string line = out.substr(pos, nl - pos);
    pos = nl + 1;
    auto cells = split_tab(line);
    if (line_no == 0) {
      for (auto& c : cells) d.names.push_back(unescape(c));
    } else if (line_no == 1) {
      d.types = cells;
    } else {
      std::vector<std::optional<std::string>> row;
      for (auto& c : cells) {
        if (c == "\\N") row.emplace_back(std::nullopt);
        else row.emplace_back(unescape(c));
      }
      if (d.names.size() == 1 && line.empty()) row = {std::string()};
      d.rows.push_back(std::move(row));
    }
    ++line_no;
  }
  return d;
}

// Our cell in DuckDB's canonical form (see duckdb_peer.mjs).
inline std::optional<std::string> canonical(const quorin_data::Column& c, std::size_t i) {
  using quorin_data::DType;
  if (c.is_missing(i)) return std::nullopt;
  switch (c.type()) {
    case DType::Float64: return std::string("f:") + std::to_string(c.f64()[i]);
    case DType::Bool: return std::string(c.integer(i) ? "true" : "false");
    case DType::Text: return std::string(c.text(i));
    default: return std::to_string(c.integer(i));
  }
}

// Every cell of `f` equals what DuckDB read (doubles compared exactly after parsing).
inline void expect_same(const quorin_data::Frame& f, const Dump& d, const std::string& what) {
  using quorin_data::DType;
  ASSERT_EQ(f.names(), d.names) << what;
  ASSERT_EQ(f.num_rows(), d.rows.size()) << what;
  for (std::size_t c = 0; c < f.num_columns(); ++c) {
    const auto& col = f.column_at(c);
    std::size_t bad = 0;
    for (std::size_t r = 0; r < f.num_rows() && bad < 5; ++r) {
      const auto& want = d.rows[r].at(c);
      if (col.type() == DType::Float64) {
        const bool missing = col.is_missing(r);
        if (missing != !want.has_value() || (!missing && std::strtod(want->c_str(), nullptr) != col.f64()[r])) {
          ADD_FAILURE() << what << ": column " << f.names()[c] << " row " << r << ": ours "
                        << (missing ? "null" : std::to_string(col.f64()[r])) << ", DuckDB " << want.value_or("null");
          ++bad;
        }
        continue;
      }
      const auto ours = canonical(col, r);
      if (ours != want) {
        ADD_FAILURE() << what << ": column " << f.names()[c] << " (" << d.types[c] << ") row " << r << ": ours "
                      << ours.value_or("null") << ", DuckDB " << want.value_or("null");
        ++bad;
      }
    }
  }
}

struct TempDir {
  std::filesystem::path path;
  TempDir() {
    char tmpl[] = "/tmp/quorin_parquet_XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path); }
  std::string file(const std::string& name) const { return (path / name).string(); }
};

inline std::vector<std::uint8_t> read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void write_bytes(const std::string& path, const std::vector<std::uint8_t>& b) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

}  // namespace pq_test
