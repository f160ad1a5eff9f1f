// The snapshelf module setup, S3Data and the yyyymmdd date helpers.
#include "quorin_data/from_s3/snapshelf/base.hpp"

#include <algorithm>
#include <mutex>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/snapshelf/module.hpp"
#include "quorin_data/core/dates.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_s3/bucketry.hpp"

namespace quorin_data::from_s3::snapshelf {

namespace detail {

LoadState load_module(from_bqia::bql::ModuleHandle& handle) {
  LoadState s;
  s.show_warnings = read_show_warnings();
  s.bq = handle.get();
  // The store itself is reached through bucketry; only the warning is ours.
  if (!bucketry::s3_client() && s.show_warnings) {
    const std::string cause = bucketry::s3_client_load_error();
    warn(cause.empty() ? "'boto3' is not installed." : "the S3 client could not be created: " + cause);
  }
  return s;
}

}  // namespace detail

const bool SHOW_WARNINGS = settings().show_warnings;

from_bqia::bql::ModuleHandle& bq_handle() {
  static from_bqia::bql::ModuleHandle h("'bql' is not installed.");
  return h;
}

// The load steps run once, at the first use of the module (not while the
// library loads), so that no warning is emitted before a program could
// install its warning handler.
void load() {
  static std::once_flag once;
  std::call_once(once, [] { detail::load_module(bq_handle()); });
}

std::shared_ptr<from_bqia::bql::Service> bq() {
  load();
  return bq_handle().get();
}

// Both operations do nothing in the base; datasets override them.
void S3Data::_load_snapshot() {}
Frame S3Data::get_data(const std::string&) { return Frame(); }

std::string get_next_friday(const std::string& date_string) {
  const Date d = parse_yyyymmdd(date_string);
  const int day_of_week = weekday_monday0(d.days);
  int days_to_add = ((4 - day_of_week) % 7 + 7) % 7;
  if (days_to_add == 0) days_to_add = 7;
  const Date next{d.days + days_to_add};
  // A Friday past 9999-12-31 has no "%Y%m%d" form.
  if (next.days > days_from_civil(9999, 12, 31)) throw ValueError("date value out of range");
  return format_yyyymmdd(next);
}

std::optional<std::string> find_closest_earlier_date(const std::string& target_date_str,
                                                     const std::vector<std::string>& date_list) {
  const auto it = std::upper_bound(date_list.begin(), date_list.end(), target_date_str);
  if (it == date_list.begin()) return std::nullopt;
  return *(it - 1);
}

}  // namespace quorin_data::from_s3::snapshelf
