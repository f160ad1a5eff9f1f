// Identifier <-> FIGI mapping tables through the module's service handle.
#include <cctype>
#include <unordered_set>

#include "quorin_data/core/errors.hpp"
#include "quorin_data/from_bqia/querywork.hpp"

namespace quorin_data::from_bqia::querywork {

namespace {

// The result named `name` of one request, its ID index as the first column
// "ID" and rows 0..n-1.
Frame mapping_frame(const bql::Universe& universe, const std::string& name, const bql::Item& item) {
  bql::Service& service = bq_handle().require();
  bql::Results response = service.execute(bql::Request(universe, bql::NamedItems{{name, item}}));
  Frame df = response.get(name).df();
  Index idx = df.index();
  idx.name = "ID";
  df.set_index(std::move(idx));
  return df.reset_index_to_column();
}

std::string last_word_lower(const std::string& id) {
  const auto sp = id.rfind(' ');
  std::string w = sp == std::string::npos ? id : id.substr(sp + 1);
  for (char& c : w) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return w;
}

}  // namespace

Frame get_id_to_figi_mapping(const bql::Universe& universe, const std::string& figi_col_name,
                             const std::string& id_col_name,
                             const std::optional<std::vector<std::string>>& tickers_to_add_pcs) {
  bql::Service& service = bq_handle().require();
  Frame df = mapping_frame(universe, figi_col_name, service.data("ID_BB_GLOBAL"));
  if (df.num_columns() != 2)
    throw ValueError("the service answered " + std::to_string(df.num_columns() - 1) +
                     " columns for one FIGI item");
  const Column& ids = df.column_at(0);
  const Column& figi = df.column_at(1);
  std::unordered_set<std::string, TextHash, std::equal_to<>> members;
  if (tickers_to_add_pcs) members.insert(tickers_to_add_pcs->begin(), tickers_to_add_pcs->end());

  const std::size_t n = df.num_rows();
  std::vector<std::uint8_t> add(n, 0);
  bool any = false;
  for (std::size_t i = 0; i < n; ++i) {
    if (tickers_to_add_pcs) {
      add[i] = !ids.is_missing(i) && ids.type() == DType::Text && members.count(ids.text(i)) ? 1 : 0;
    } else {
      if (ids.type() != DType::Text || ids.is_missing(i))
        throw TypeError("ID '" + ids.cell_text(i) + "' of row " + std::to_string(i) +
                        " is not text: the currency and corporate rule needs its last word");
      const std::string w = last_word_lower(std::string(ids.text(i)));
      add[i] = w == "curncy" || w == "corp" ? 1 : 0;
    }
    // A missing FIGI stays missing: a suffix would make up an identifier.
    if (figi.is_missing(i)) add[i] = 0;
    any = any || add[i];
  }
  if (any) {
    // Non-text FIGIs become their text form to carry the suffix.
    TextBuilder out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (figi.is_missing(i)) {
        out.append_missing();
        continue;
      }
      std::string t = figi.type() == DType::Text ? std::string(figi.text(i)) : figi.cell_text(i);
      if (add[i]) t += ".BGN";
      out.append(t);
    }
    df.replace_column(1, out.finish());
  }
  df.rename_column("ID", id_col_name);
  return df;
}

Frame get_figi_to_id_mapping(const bql::Universe& universe, const std::string& figi_col_name,
                             const std::string& id_col_name, const std::string& id_data_item) {
  bql::Service& service = bq_handle().require();
  Frame df = mapping_frame(universe, id_col_name, service.data(id_data_item));
  df.rename_column("ID", figi_col_name);
  return df;
}

}  // namespace quorin_data::from_bqia::querywork
