// Intraday bars through the package, labelled with each security's short
// name and parsekey from the query service.
#include <unordered_map>

#include "quorin_data/from_bqia/barwork.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::barwork {

namespace {

// figi -> value of the mapping's `col` (the last row of a repeated FIGI wins).
std::unordered_map<std::string, std::pair<std::string, bool>> keyed_by_figi(const Frame& m, const std::string& col) {
  std::unordered_map<std::string, std::pair<std::string, bool>> out;
  const Column& f = m.column("figi");
  const Column& v = m.column(col);
  for (std::size_t i = 0; i < m.num_rows(); ++i)
    out[f.cell_text(i)] = {v.is_missing(i) ? std::string() : v.cell_text(i), !v.is_missing(i)};
  return out;
}

// The mapped value of each row's security; KeyError naming a security the
// mapping does not hold.
Column map_security(const Column& security, const std::unordered_map<std::string, std::pair<std::string, bool>>& m) {
  std::vector<std::string> out(security.size());
  std::vector<std::uint8_t> valid(security.size(), 1);
  bool any_missing = false;
  for (std::size_t i = 0; i < security.size(); ++i) {
    const std::string s = security.cell_text(i);
    auto it = m.find(s);
    if (security.is_missing(i) || it == m.end()) throw KeyError("'" + s + "'");
    out[i] = it->second.first;
    if (!it->second.second) valid[i] = 0, any_missing = true;
  }
  return Column::texts(std::move(out), any_missing ? std::move(valid) : std::vector<std::uint8_t>{});
}

}  // namespace

Frame get_intraday_bars(const IntradayBarsArgs& a) {
  std::vector<std::string> list_sec;
  std::optional<Frame> id_mapping;
  std::optional<bqia::FuturesRollFactory> roll_config;
  if (a.dict_sec_pcs) {
    id_mapping = get_id_mapping(*a.dict_sec_pcs);
    const Column& custom = id_mapping->column("custom");
    for (std::size_t i = 0; i < custom.size(); ++i) list_sec.push_back(custom.cell_text(i));
  }
  if (a.dict_fut) {
    roll_config = get_roll_config(*a.dict_fut);
    for (const auto& [k, v] : *a.dict_fut) list_sec.push_back(k);
  }
  set_intraday_config(std::move(id_mapping), std::move(roll_config), a.packages);
  // set_intraday_config needed the package, so there is one.
  Frame df_bars = package()->get_bars({list_sec, a.security_id_type, a.start, a.end, a.tz, a.downsample_freq});
  if (!a.add_description) return df_bars;

  const Column& security = df_bars.column("security");
  std::vector<std::string> figis;
  for (std::size_t i : security.unique_positions()) figis.push_back(security.cell_text(i));
  const bql::Universe universe = bql::Universe::list(figis);
  Frame figi_to_name = querywork::get_figi_to_id_mapping(universe, "figi", "short_name", "name");
  auto figi_to_name_mapping = keyed_by_figi(figi_to_name, "short_name");
  Frame figi_to_pk = querywork::get_figi_to_id_mapping(universe, "figi", "parsekey", "parsekyable_des");
  auto figi_to_pk_mapping = keyed_by_figi(figi_to_pk, "parsekey");
  Column short_name = map_security(security, figi_to_name_mapping);
  Column parsekey = map_security(security, figi_to_pk_mapping);
  df_bars.set_column("short_name", std::move(short_name));
  df_bars.set_column("parsekey", std::move(parsekey));
  return df_bars;
}

}  // namespace quorin_data::from_bqia::barwork
