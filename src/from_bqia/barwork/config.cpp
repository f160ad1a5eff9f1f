// Module load and the configuration of the intraday package: id mapping,
// futures rolls, enabled packages.
#include <mutex>

#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_bqia/barwork.hpp"

namespace quorin_data::from_bqia::barwork {

const std::vector<std::string> PACKAGES{"macro", "equity", "fixed-income"};

namespace {

struct Module {
  std::mutex mu;
  bool loaded = false;
  bool show_warnings = false;
  bqia::ModulePackage package;
  bql::ModuleHandle bq{"'bql' is not installed."};
};

Module& module() {
  static Module m;
  return m;
}

// The load steps, in order: the warnings setting, the intraday package, the
// query-service handle.
Module& loaded_module() {
  Module& m = module();
  std::lock_guard<std::mutex> lock(m.mu);
  if (!m.loaded) {
    m.show_warnings = read_show_warnings();
    m.package.get();
    m.bq.get();
    m.loaded = true;
  }
  return m;
}

}  // namespace

void load() { loaded_module(); }
std::shared_ptr<bqia::Package> package() { return loaded_module().package.get(); }
std::shared_ptr<bql::Service> bq() { return loaded_module().bq.get(); }
bqia::Package& require_package() { return loaded_module().package.require(); }

void detail::reset() {
  Module& m = module();
  std::lock_guard<std::mutex> lock(m.mu);
  m.loaded = false;
  m.package.reset();
  m.bq.reset();
}

Frame get_id_mapping(const DictSecPcs& dict_sec_pcs) {
  bql::Service& service = loaded_module().bq.require();
  std::vector<std::string> lst_custom, lst_pk, lst_pcs;
  for (const auto& [custom, sp] : dict_sec_pcs) {
    lst_custom.push_back(custom);
    lst_pk.push_back(sp.parsekey);
    lst_pcs.push_back(sp.pcs);
  }
  bql::Universe univ = service.univ.list(lst_pk);
  bql::NamedItems flds{{"figi", service.data("id_bb_global").droppe()}};
  bql::Results res = service.execute(bql::Request(univ, flds));
  const Frame& df = res[0].frame();
  const Column& figi = df.column("figi");

  // Inner join on parsekey: the caller's rows in order, each with every
  // result row of its parsekey (the service's order among those).
  std::vector<std::string> out_custom, out_pk, out_figi;
  std::vector<std::uint8_t> figi_valid;
  bool any_missing = false;
  for (std::size_t i = 0; i < lst_pk.size(); ++i)
    for (std::size_t r = 0; r < df.num_rows(); ++r) {
      if (df.index().label_text(r) != lst_pk[i]) continue;
      out_custom.push_back(lst_custom[i]);
      out_pk.push_back(lst_pk[i]);
      if (figi.is_missing(r)) {
        // droppe() leaves none; a missing FIGI stays missing rather than
        // becoming a made-up identifier.
        out_figi.emplace_back();
        figi_valid.push_back(0);
        any_missing = true;
        continue;
      }
      std::string f = figi.cell_text(r);
      if (!lst_pcs[i].empty()) f += "." + lst_pcs[i];
      out_figi.push_back(std::move(f));
      figi_valid.push_back(1);
    }
  Frame out;
  out.add_column("custom", Column::texts(std::move(out_custom)));
  out.add_column("parsekey", Column::texts(std::move(out_pk)));
  out.add_column("figi", Column::texts(std::move(out_figi), any_missing ? std::move(figi_valid)
                                                                         : std::vector<std::uint8_t>{}));
  return out;
}

bqia::FuturesRollFactory get_roll_config(const DictFut& dict_fut) {
  loaded_module().package.require();
  bqia::FuturesRollFactory::Mapping roll_configs;
  for (const auto& [key, v] : dict_fut)
    roll_configs.emplace_back(key, bqia::FuturesRollConfig(v.future_root, v.yellow_key, bqia::DayOffset{v.roll_offset}));
  return bqia::FuturesRollFactory(std::move(roll_configs));
}

void set_intraday_config(std::optional<Frame> id_mapping, std::optional<bqia::FuturesRollFactory> roll_config,
                         std::vector<std::string> packages) {
  bqia::Package& pkg = loaded_module().package.require();
  bqia::Config bqia_configs;
  if (id_mapping) bqia_configs.security_id_mapping = std::move(*id_mapping);
  if (roll_config) bqia_configs.futures_roll_factory = std::move(*roll_config);
  bqia_configs.enabled_packages = std::move(packages);
  pkg.set_config(bqia_configs);
}

// ------------------------------------------------------------------ dynamic

namespace dynamic {

namespace {

const Dict& dict_arg(const char* name, const Value& v) {
  if (!v.is_dict()) throw_argument_type(name, "dict", v.type_name());
  return v.as_dict();
}

const std::string& text_of(const char* name, const Value& v) {
  if (!v.is_str()) throw_argument_type(name, "str", v.type_name());
  return v.as_str();
}

const List& sequence_of(const char* name, const Value& v) {
  if (!v.is_list()) throw_argument_type(name, "tuple", v.type_name());
  return v.as_list();
}

}  // namespace

DictSecPcs to_dict_sec_pcs(const Value& dict_sec_pcs) {
  DictSecPcs d;
  for (const auto& [k, v] : dict_arg("dict_sec_pcs", dict_sec_pcs)) {
    const List& pair = sequence_of("dict_sec_pcs", v);
    // The parsekey is the first element and the pcs the second; others are
    // not read.
    if (pair.size() < 2) throw IndexError("tuple index out of range");
    d.emplace_back(text_of("custom", k), SecPcs{text_of("parsekey", pair[0]), text_of("pcs", pair[1])});
  }
  return d;
}

DictFut to_dict_fut(const Value& dict_fut) {
  DictFut d;
  for (const auto& [k, v] : dict_arg("dict_fut", dict_fut)) {
    const List& t = sequence_of("dict_fut", v);
    if (t.size() > 3) throw ValueError("too many values to unpack (expected 3)");
    if (t.size() < 3)
      throw ValueError("need more than " + std::to_string(t.size()) + " value" + (t.size() == 1 ? "" : "s") +
                       " to unpack");
    if (!t[2].is_int()) throw_argument_type("roll_offset", "int", t[2].type_name());
    d.emplace_back(text_of("key", k), FutRoll{text_of("future_root", t[0]), text_of("yellow_key", t[1]), t[2].as_int()});
  }
  return d;
}

Frame get_id_mapping(const Value& dict_sec_pcs) { return barwork::get_id_mapping(to_dict_sec_pcs(dict_sec_pcs)); }

bqia::FuturesRollFactory get_roll_config(const Value& dict_fut) {
  return barwork::get_roll_config(to_dict_fut(dict_fut));
}

}  // namespace dynamic

}  // namespace quorin_data::from_bqia::barwork
