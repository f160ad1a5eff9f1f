// snapshelf base: S3Data, the yyyymmdd helpers and the module's warnings.
#include <gtest/gtest.h>

#include <type_traits>

#include "from_s3/bucketry/client.hpp"
#include "from_s3/snapshelf/module.hpp"
#include "quorin_data/core/errors.hpp"
#include "quorin_data/core/settings.hpp"
#include "quorin_data/from_s3/bucketry.hpp"
#include "quorin_data/from_s3/snapshelf/base.hpp"
#include "store/s3_client.hpp"

namespace snapshelf = quorin_data::from_s3::snapshelf;
namespace bucketry = quorin_data::from_s3::bucketry;
namespace bql = quorin_data::from_bqia::bql;

namespace {

TEST(NextFriday, StrictlyAfterTheDate) {
  EXPECT_EQ(snapshelf::get_next_friday("20240103"), "20240105");  // Wednesday
  EXPECT_EQ(snapshelf::get_next_friday("20240105"), "20240112");  // Friday: a week on
  EXPECT_EQ(snapshelf::get_next_friday("20240106"), "20240112");  // Saturday
  EXPECT_EQ(snapshelf::get_next_friday("99991230"), "99991231");  // the last Friday there is
  EXPECT_THROW(snapshelf::get_next_friday("99991231"), quorin_data::ValueError);  // the next one is in year 10000
  EXPECT_EQ(snapshelf::get_next_friday("20240107"), "20240112");  // Sunday
  EXPECT_EQ(snapshelf::get_next_friday("20240108"), "20240112");  // Monday
  EXPECT_EQ(snapshelf::get_next_friday("20231229"), "20240105");  // year change
  EXPECT_EQ(snapshelf::get_next_friday("20240226"), "20240301");  // leap February
  EXPECT_EQ(snapshelf::get_next_friday("19700101"), "19700102");
}

TEST(NextFriday, TextsThatAreNotYyyymmddAreTheParsersValueError) {
  for (const std::string bad : {"2024-01-03", "2024013", "202401031", "20240230", "20241301", "", "abcdefgh"}) {
    try {
      snapshelf::get_next_friday(bad);
      ADD_FAILURE() << bad;
    } catch (const quorin_data::ValueError& e) {
      EXPECT_EQ(std::string(e.what()), "time data '" + bad + "' does not match format '%Y%m%d'") << bad;
    }
  }
}

TEST(ClosestEarlierDate, UpperBoundOnSortedTexts) {
  const std::vector<std::string> dates = {"20240105", "20240112"};
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20240110", dates), "20240105");
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20240112", dates), "20240112");
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20240105", dates), "20240105");
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20991231", dates), "20240112");
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20240101", dates), std::nullopt);
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20240101", {}), std::nullopt);
  // Repeated entries: the last of the equal ones.
  EXPECT_EQ(snapshelf::find_closest_earlier_date("20240107", {"20240101", "20240105", "20240105", "20240110"}),
            "20240105");
}

struct Dataset : snapshelf::S3Data {
  int loads = 0;
  void _load_snapshot() override { ++loads; }
  quorin_data::Frame get_data(const std::string&) override { return quorin_data::Frame(); }
};

TEST(S3Data, AbstractBaseWithTwoOperations) {
  static_assert(std::is_abstract_v<snapshelf::S3Data>);
  static_assert(std::has_virtual_destructor_v<snapshelf::S3Data>);
  static_assert(!std::is_abstract_v<Dataset>);
  Dataset d;
  snapshelf::S3Data& base = d;
  base._load_snapshot();
  EXPECT_EQ(d.loads, 1);
  EXPECT_STREQ(snapshelf::S3Data::doc, "\n    A base class for S3 data models.\n    ");
}

// The load steps with warnings on and off: "1" exactly turns them on.
TEST(ModuleSetup, WarningsOnlyWhenShowWarningsIsExactlyOne) {
  const char* saved = std::getenv("SHOW_WARNINGS");
  const std::string saved_value = saved ? saved : "";
  std::vector<std::string> seen;
  auto old = quorin_data::set_warning_handler([&](const std::string& t) { seen.push_back(t); });
  auto client = bucketry::set_s3_client(nullptr);
  bql::set_service_provider(nullptr);
  for (const char* value : {"true", "2", "yes", "", "01", "1"}) {
    ::setenv("SHOW_WARNINGS", value, 1);
    EXPECT_EQ(quorin_data::read_show_warnings(), std::string(value) == "1") << value;
    seen.clear();
    quorin_data::reset_warning_registry();
    bql::ModuleHandle handle("'bql' is not installed.");
    auto state = snapshelf::detail::load_module(handle);
    EXPECT_EQ(state.show_warnings, std::string(value) == "1");
    EXPECT_EQ(state.bq, nullptr);
    if (std::string(value) == "1")
      EXPECT_EQ(seen, (std::vector<std::string>{"'bql' is not installed.", "'boto3' is not installed."}));
    else
      EXPECT_TRUE(seen.empty()) << value;
  }
  ::unsetenv("SHOW_WARNINGS");
  EXPECT_FALSE(quorin_data::read_show_warnings());

  // With a provider and a store client there is nothing to warn about.
  ::setenv("SHOW_WARNINGS", "1", 1);
  seen.clear();
  quorin_data::reset_warning_registry();
  bucketry::set_s3_client(client ? client : std::make_shared<quorin_data::store::S3Client>(quorin_data::store::ClientConfig{}));
  struct Quiet : bql::Service {
    bql::Results execute(const bql::Request&) override { return {}; }
    bql::Results execute(const std::string&) override { return {}; }
  };
  bql::set_service_provider([] { return std::make_shared<Quiet>(); });
  bql::ModuleHandle handle("'bql' is not installed.");
  auto state = snapshelf::detail::load_module(handle);
  EXPECT_NE(state.bq, nullptr);
  EXPECT_TRUE(seen.empty());

  bql::set_service_provider(nullptr);
  bucketry::set_s3_client(client);
  quorin_data::set_warning_handler(old);
  if (saved) ::setenv("SHOW_WARNINGS", saved_value.c_str(), 1); else ::unsetenv("SHOW_WARNINGS");
}

}  // namespace
